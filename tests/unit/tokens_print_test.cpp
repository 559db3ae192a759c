// Token name rules and classes, the crypto string reader, search filters,
// screen orderings, and the exact printouts of records built here.
#include "unit.h"

template <class F> static std::string printed(F f)
{
    char *buf = nullptr;
    size_t size = 0;
    FILE *fp = open_memstream(&buf, &size);
    f(fp), fclose(fp);
    return kxt::take(buf);
}

TEST(Tokens, NameRulesAndClasses)
{
    const std::string alpha = "Letter required but not found",
                      alnum = "Letter or digit required but not found",
                      dot = "Letter or digit required before period", bad = "Illegal character",
                      end = "Final "
                            "character must be letter or digit",
                      none = "At least one period is required",
                      id64 = std::string(30, 'a') + "." + std::string(33, 'b'), o = "",
                      tl = "Too long";
    struct {
        std::string id, message;
    } rows[] = {{"a-b_c.d9", o},
                {"a.b.c", o},
                {id64, o},
                {"", alpha},
                {"1abc.d", alpha},
                {"-ab.c", alpha},
                {"\xc9t.c", alpha},
                {"a..b", alnum},
                {"a.\xe9t", alnum},
                {"a_.b", dot},
                {"a b.c", bad},
                {"ab\xe9.c", bad},
                {id64 + " ", bad},
                {"abc.", end},
                {"a.b_", end},
                {"abc", none},
                {id64.substr(0, 63) + "-", end},
                {std::string(64, 'a'), none},
                {id64 + "b", tl},
                {id64 + "-", tl}};
    for (auto &r : rows) {
        const char *sentinel = "", *message = sentinel;
        EXPECT_EQ(kx_isLegalToken(r.id.c_str(), &message) * 10 +
                      kx_isLegalToken(r.id.c_str(), nullptr),
                  r.message.empty() ? 11 : 0)
            << r.id;
        EXPECT_EQ(message == sentinel ? "" : std::string(message), r.message) << r.id;
    }
    const char *message = nullptr;
    EXPECT_EQ(kx_isLegalToken(nullptr, &message), 0);
    EXPECT_STREQ(message, "Token pointer is NULL");
    // Bound, directory logical, raw form, class, fixed, personal; stored name.
    struct {
        std::string id, kinds, stored;
    } kinds[] = {{"PSEUDO.abc", "101210", "abc"},
                 {"pseudo.abc.def", "100210", "abc.def"},
                 {"Escape.x", "101210", "Escape.x"},
                 {"terminalid.1", "101210", "terminalid.1"},
                 {"pseudoabc.x", "001201", "pseudoabc.x"},
                 {"user.x", "011101", "user.x"},
                 {"USER.a.b", "010101", "USER.a.b"},
                 {"users.x", "001201", "users.x"},
                 {"user.", "000000", "user."},
                 {".a.b", "000000", ".a.b"},
                 {"", "000000", ""},
                 {"pseudo.", "000000", ""},
                 {"pseudo.x y", "000200", "x y"},
                 {"pseudo." + std::string(57, 'a'), "101210", std::string(57, 'a')},
                 {"pseudo." + id64, "000200", id64}};
    for (auto &k : kinds) {
        const char *id = k.id.c_str();
        std::string got;
        for (int v :
             {kx_isDtuBoundToken(id), kx_isDsLogicalToken(id), legal_raw_token_id(k.id.data()),
              isValidToken(id), kx_isFixedToken(nullptr, id), kx_isPersonalToken(nullptr, id)})
            got += std::to_string(v);
        EXPECT_EQ(got + " " + getTokenID(k.id.data()), k.kinds + " " + k.stored) << k.id;
    }
    EXPECT_EQ(isValidToken(nullptr) + kx_isDtuBoundToken(nullptr) + kx_isDsLogicalToken(nullptr) +
                  legal_raw_token_id(nullptr) + kx_isPersonalToken(nullptr, nullptr) +
                  !!getTokenID(nullptr),
              0);
}

TEST(Tokens, CryptoStringsFiltersAndOrderings)
{
    const std::string
        defaults = "enc_up_type=none,enc_down_type=none,auth_up_type=none,auth_down_type=none,"
                   "mode=soft",
        invalid = "-1 6 ERROR: invalid key/value pair in entry.\n\n", six = defaults + ",x=1",
        split = std::string(600, 'x');
    struct {
        const char *crypto;
        int flag;
        std::string result;
    } rows[] = {
        {"enc_up_type=ARCFOUR,mode=hard", 0, "0 enc_up_type=ARCFOUR,mode=hard [  ] 2"},
        {"mode=hard,", 0, "0 mode=hard [ ] 1"},
        {"", 0, "0  [] 0"},
        {"a=b,,c=d", 2, "0 a=b,,c=d [   ] 3"},
        {" mode = hard \n, x\\,y=1", 0, "0 mode = hard,x,y=1 [  ] 2"},
        {nullptr, 1, "0 " + defaults + " [*****] 5"},
        {"mode=hard,enc_up_type=ARCFOUR", 1,
         "0 mode=hard,enc_up_type=ARCFOUR,enc_down_type=none,auth_up_type=none,auth_down_type=none "
         "[  ***] 5"},
        {"mode=h,auth_down_type=s,auth_up_type=n,enc_down_type=A,enc_up_type=n", 1,
         "0 mode=h,auth_down_type=s,auth_up_type=n,enc_down_type=A,enc_up_type=n [     ] 5"},
        {six.c_str(), 1, invalid},
        {"mode=hard,mode=soft", 1, invalid},
        {"mode=", 1, invalid},
        {split.c_str(), 0, "-1 6 Error: Could not obtain key/value pairs from crypto entry.\n\n"}};
    for (auto &r : rows) {
        kxt::clear_logs();
        kxt::Crypto e(allocate_cryptoEnt());
        int rc = _kx_cryptoStringToEnt(e.get(), r.crypto, r.flag);
        std::string out = std::to_string(rc) + " ";
        for (char **kv = rc ? nullptr : e->keyValue; kv && *kv; ++kv)
            out += std::string(kv == e->keyValue ? "" : ",") + *kv;
        out += rc ? "" : " [" + std::string(e->origin) + "] " + std::to_string(e->numEntries);
        EXPECT_EQ(out + kxt::logs(), r.result) << (r.crypto ? r.crypto : "(null)");
    }
    kxt::Crypto rec(allocate_cryptoEnt());
    *rec =
        kx_CryptoEnt_t{kxt::dup("default.token"),
                       kxt::ids({"enc_up_type=ARCFOUR", "mode=hard", "a=b=c"}), kxt::dup(" * "), 3};
    const std::string head =
        "\tKey            \tValue          \tInherited      \n\t---\t\t-----\t\t-------\n";
    EXPECT_EQ(printed([&](FILE *fp) {
                  kx_printCryptoEnt(fp, rec.get()), kx_printCryptoEnt(fp, nullptr);
              }),
              "Token ID: default.token\n" + head +
                  "\tenc_up_type    \tARCFOUR        \t \n"
                  "\tmode           \thard           \t*\n\ta              \tb              \t \n");
    // The cache keeps its records in token id order; a record without an id empties it.
    kx_LinkedList_t *cache = nullptr;
    for (const char *id : {"b.t", "a.t"}) {
        kx_CryptoEnt_t *e = allocate_cryptoEnt();
        *e = kx_CryptoEnt_t{kxt::dup(id), kxt::ids({"mode=hard"}), kxt::dup(" "), 1};
        EXPECT_EQ(insert_cache(e, &cache), 0);
    }
    EXPECT_EQ(printed([&](FILE *fp) { print_cache(fp, cache); }).substr(0, 18) + cache->next->key,
              "Token ID: a.t\n\tKeyb.t");
    kxt::Crypto anonymous(allocate_cryptoEnt());
    EXPECT_EQ(insert_cache(anonymous.get(), &cache), KXE_NOMEM);
    EXPECT_EQ(cache, nullptr);
    for (auto [filter, normal] : {std::pair{"(a=1)(b=2)", "(&(a=1)(b=2))"},
                                  {"a=1", "a=1"},
                                  {"(a=1)", "(a=1)"},
                                  {"(&(a=1)(b=2))", "(&(&(a=1)(b=2)))"},
                                  {nullptr, "(null)"}})
        EXPECT_EQ(kxt::take(normalize_search_filter(filter)), normal);
    struct {
        const char *text;
        int count;
        std::string ints;
    } orders[] = {{"3,1,4,2", 4, "3 1 4 2 "},
                  {"3,1,4", 4, "(null)"},
                  {" 7 ,\t8\n,9", 2, "7 8 "},
                  {"", 2, "(null)"}};
    for (auto &r : orders) {
        int mark = 0, *ints = &mark;
        parse_intList(r.text, &ints, r.count);
        std::string out = ints == &mark ? "unset" : ints ? "" : "(null)";
        for (int i = 0; ints && ints != &mark && i < r.count; ++i)
            out += std::to_string(ints[i]) + " ";
        free(ints == &mark ? nullptr : ints);
        EXPECT_EQ(out, r.ints) << r.text;
    }
}

TEST(Tokens, RecordPrintouts)
{
    kxt::Xconf empty(allocate_xconfig());  // a full record: DirXconf
    EXPECT_EQ(
        printed([&](FILE *fp) { kx_printXconfig(fp, nullptr), kx_printXconfig(fp, empty.get()); }),
        "\tLogical Token: <not defined>\n\tScreen Resolution: <not defined>\n\tScreen Refresh: -1\n"
        "\tScreen EnablePC: <not defined>\n\tScreen DefaultPC: <not defined>\n\tScreen Ordering "
        "Dimension: "
        "0 x 0\n\tScreen Ordering: <not set>\n\tScreen EnableAutoSizing: <not defined>\n\tScreen "
        "EnableXinerama: "
        "<not defined>\n\tScreen EnableMultiscreen: <not defined>\n");
    kxt::User u(allocate_user());
    *u = KXUser{kxt::dup("1700000000-4711"),
                kxt::dup("Jane"),
                nullptr,
                5,
                1,
                nullptr,
                -2,
                kxt::dup("m1"),
                nullptr,
                kxt::ids({"user.a", "user.b"})};
    kxt::LToken l(allocate_logical_token());
    *l = KXLogicalToken{
        kxt::dup("user.a"), kxt::dup("Card"), nullptr, kxt::dup("p"), kxt::dup("srv"), 0, nullptr,
        kxt::dup("m2"),     nullptr};
    kxt::RToken r(allocate_raw_token());
    *r = KXRawToken{kxt::dup("card.1"),  kxt::dup("s3cret"),  kxt::dup("user"),
                    kxt::dup("unknown"), kxt::dup("allowed"), nullptr,
                    kxt::dup("x")};
    const std::string
        user =
            "user:\n  id                 = 1700000000-4711\n  name               = Jane\n"
            "  other_info         = (nil)\n  create_time        = 5\n  status             = 1\n"
            "  last_desktop       = (nil)\n  last_time          = -2\n  misc1              = m1\n"
            "  misc2              = (nil)\n",
        ltoken =
            "logical token:\n  id                 = user.a\n  token_name         = Card\n"
            "  session_type       = (nil)\n  session_params     = p\n  server_name        = srv\n"
            "  server_port        = 0\n  misc1              = (nil)\n  misc2              = m2\n";
    const std::string raw =
        "raw token:\n  id                 = card.1\n  secret             = s3cret\n  token_type   "
        "      = user\n  token_state        = unknown\n  enabled            = allowed\n  misc1   "
        "           = (nil)\n  misc2              = x\n";
    EXPECT_EQ(unit::stderr_of([&] {
                  print_user(nullptr, u.get(), 0), print_user(nullptr, u.get(), 1);
                  print_logical_token(nullptr, l.get(), 0),
                      print_logical_token(nullptr, l.get(), 1);
                  print_raw_token(nullptr, r.get());
              }),
              user + "  logical_token_ids  = user.a\n                     = user.b\n" + user +
                  ltoken + "  raw_token_ids      = (nil)\n" + ltoken + raw);
}
