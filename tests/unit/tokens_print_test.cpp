// Token name rules and classes, the crypto string reader, search filters,
// screen orderings, and the exact printouts of records built here.
#include "unit.h"

using unit::s;

TEST(Tokens, NameRules)
{
    // The result and the message; asked without a message, the same result.
    auto legal = [](const std::string &id) {
        const char *message = "unset";
        int rc = kx_isLegalToken(id.c_str(), &message);
        EXPECT_EQ(kx_isLegalToken(id.c_str(), nullptr), rc) << id;
        return unit::Said{rc, message};
    };
    const std::string alpha = "Letter required but not found", bad = "Illegal character",
                      end = "Final character must be letter or digit",
                      id64 = std::string(30, 'a') + "." + std::string(33, 'b');
    unit::expect_rows<unit::Said>(
        {{"letters, digits, - and _", legal("a-b_c.d9"), {1, "unset"}},
         {"64 characters", legal(id64), {1, "unset"}},
         {"empty", legal(""), {0, alpha}},
         {"first a digit", legal("1abc.d"), {0, alpha}},
         {"first not ASCII", legal("\xc9t.c"), {0, alpha}},
         {"period after period", legal("a..b"), {0, "Letter or digit required but not found"}},
         {"_ before period", legal("a_.b"), {0, "Letter or digit required before period"}},
         {"blank", legal("a b.c"), {0, bad}},
         {"not ASCII", legal("ab\xe9.c"), {0, bad}},
         {"final period", legal("abc."), {0, end}},
         {"final _", legal("a.b_"), {0, end}},
         {"final -", legal("a.b-"), {0, end}},
         {"no period", legal("abc"), {0, "At least one period is required"}},
         {"65 characters", legal(id64 + "b"), {0, "Too long"}}});
    const char *message = nullptr;
    EXPECT_EQ(kx_isLegalToken(nullptr, &message), 0);
    EXPECT_STREQ(message, "Token pointer is NULL");
}

TEST(Tokens, Classes)
{
    const std::string a57 = "pseudo." + std::string(57, 'a'), a58 = a57 + "a";
    struct {
        const char *row, *id;
        int bound, logical, raw, cls, fixed, personal;
        const char *stored;
    } rows[] = {
        {"pseudo token", "PSEUDO.abc", 1, 0, 1, KX_TOKEN_RAW, 1, 0, "abc"},
        {"terminal id", "terminalid.1", 1, 0, 1, KX_TOKEN_RAW, 1, 0, "terminalid.1"},
        {"pseudo without period", "pseudoabc.x", 0, 0, 1, KX_TOKEN_RAW, 0, 1, "pseudoabc.x"},
        {"user token", "user.x", 0, 1, 1, KX_TOKEN_LOGICAL, 0, 1, "user.x"},
        {"user token, two periods", "USER.a.b", 0, 1, 0, KX_TOKEN_LOGICAL, 0, 1, "USER.a.b"},
        {"user. alone", "user.", 0, 0, 0, KX_TOKEN_INVALID, 0, 0, "user."},
        {"first a period", ".a.b", 0, 0, 0, KX_TOKEN_INVALID, 0, 0, ".a.b"},
        {"empty", "", 0, 0, 0, KX_TOKEN_INVALID, 0, 0, ""},
        {"64 characters", a57.c_str(), 1, 0, 1, KX_TOKEN_RAW, 1, 0, a57.c_str() + 7},
        {"65 characters", a58.c_str(), 0, 0, 0, KX_TOKEN_RAW, 0, 0, a58.c_str() + 7},
        {"null", nullptr, 0, 0, 0, KX_TOKEN_INVALID, 0, 0, nullptr},
    };
    for (auto &r : rows) {
        SCOPED_TRACE(r.row);
        EXPECT_EQ(kx_isDtuBoundToken(r.id), r.bound);
        EXPECT_EQ(kx_isDsLogicalToken(r.id), r.logical);
        EXPECT_EQ(legal_raw_token_id(kxt::m(r.id)), r.raw);
        EXPECT_EQ(isValidToken(r.id), r.cls);
        EXPECT_EQ(kx_isFixedToken(nullptr, r.id), r.fixed);
        EXPECT_EQ(kx_isPersonalToken(nullptr, r.id), r.personal);
        EXPECT_EQ(s(getTokenID(kxt::m(r.id))), s(r.stored));
    }
}

TEST(Tokens, CryptoStrings)
{
    const std::string defaults = "enc_up_type=none,enc_down_type=none,auth_up_type=none,"
                                 "auth_down_type=none,mode=soft",
                      five = "mode=h,auth_down_type=s,auth_up_type=n,enc_down_type=A,enc_up_type=n",
                      invalid = "6 ERROR: invalid key/value pair in entry.\n\n";
    // The result, the record (its pairs, origin marks and count) and the log.
    auto read = [](const char *crypto, int flag) {
        kxt::clear_logs();
        kxt::Crypto e(allocate_cryptoEnt());
        int rc = _kx_cryptoStringToEnt(e.get(), crypto, flag);
        std::string record;
        for (char **kv = rc ? nullptr : e->keyValue; kv && *kv; ++kv)
            record += std::string(kv == e->keyValue ? "" : ",") + *kv;
        record += rc ? "" : " [" + std::string(e->origin) + "] " + std::to_string(e->numEntries);
        return std::tuple{rc, record, kxt::logs()};
    };
    unit::expect_rows<std::tuple<int, std::string, std::string>>(
        {{"pairs",
          read("enc_up_type=ARCFOUR,mode=hard", 0),
          {0, "enc_up_type=ARCFOUR,mode=hard [  ] 2", ""}},
         {"final comma", read("mode=hard,", 0), {0, "mode=hard [ ] 1", ""}},
         {"blanks around", read(" mode = hard \n, x=1", 0), {0, "mode = hard,x=1 [  ] 2", ""}},
         {"defaults only", read(nullptr, 1), {0, defaults + " [*****] 5", ""}},
         {"defaults added",
          read("mode=hard,enc_up_type=ARCFOUR", 1),
          {0,
           "mode=hard,enc_up_type=ARCFOUR,enc_down_type=none,auth_up_type=none,"
           "auth_down_type=none [  ***] 5",
           ""}},
         {"no default needed", read(five.c_str(), 1), {0, five + " [     ] 5", ""}},
         {"six pairs", read((defaults + ",x=1").c_str(), 1), {KXE_INTERNAL, "", invalid}},
         {"field too long",
          read(std::string(600, 'x').c_str(), 0),
          {KXE_INTERNAL, "", "6 Error: Could not obtain key/value pairs from crypto entry.\n\n"}}});
    kxt::Crypto rec(allocate_cryptoEnt());
    *rec =
        kx_CryptoEnt_t{kxt::dup("default.token"),
                       kxt::ids({"enc_up_type=ARCFOUR", "mode=hard", "a=b=c"}), kxt::dup(" * "), 3};
    EXPECT_EQ(unit::stderr_of([&] { kx_printCryptoEnt(stderr, rec.get()); }),
              "Token ID: default.token\n"
              "\tKey            \tValue          \tInherited      \n\t---\t\t-----\t\t-------\n"
              "\tenc_up_type    \tARCFOUR        \t \n"
              "\tmode           \thard           \t*\n\ta              \tb              \t \n");
    EXPECT_EQ(unit::stderr_of([] { kx_printCryptoEnt(stderr, nullptr); }), "");
    // The cache keeps its records in token id order; a record without an id empties it.
    kx_LinkedList_t *cache = nullptr;
    for (const char *id : {"b.t", "a.t"}) {
        kx_CryptoEnt_t *e = allocate_cryptoEnt();
        *e = kx_CryptoEnt_t{kxt::dup(id), kxt::ids({"mode=hard"}), kxt::dup(" "), 1};
        EXPECT_EQ(insert_cache(e, &cache), 0);
    }
    EXPECT_EQ(unit::stderr_of([&] { print_cache(stderr, cache); }).substr(0, 14),
              "Token ID: a.t\n");
    EXPECT_STREQ(cache->next->key, "b.t");
    kxt::Crypto anonymous(allocate_cryptoEnt());
    EXPECT_EQ(insert_cache(anonymous.get(), &cache), KXE_NOMEM);
    EXPECT_EQ(cache, nullptr);
}

TEST(Tokens, FiltersAndOrderings)
{
    unit::expect_rows<std::string>(
        {{"two filters", kxt::take(normalize_search_filter("(a=1)(b=2)")), "(&(a=1)(b=2))"},
         {"one filter", kxt::take(normalize_search_filter("(a=1)")), "(a=1)"},
         {"null", kxt::take(normalize_search_filter(nullptr)), "(null)"}});
    auto ints = [](const char *text, int count) {  // parse_intList's numbers, or "(null)"
        int mark = 0, *list = &mark;
        parse_intList(text, &list, count);
        std::string got = list == &mark ? "unset" : list ? "" : "(null)";
        for (int i = 0; list && list != &mark && i < count; ++i)
            got += std::to_string(list[i]) + " ";
        return free(list == &mark ? nullptr : list), got;
    };
    unit::expect_rows<std::string>({{"blanks, more than asked for", ints(" 7 ,\t8\n,9", 2), "7 8 "},
                                    {"fewer than asked for", ints("3,1,4", 4), "(null)"},
                                    {"empty", ints("", 2), "(null)"}});
}

TEST(Tokens, RecordPrintouts)
{
    kxt::Xconf empty(allocate_xconfig());  // a full record: DirXconf
    EXPECT_EQ(unit::stderr_of([] { kx_printXconfig(stderr, nullptr); }), "");
    EXPECT_EQ(unit::stderr_of([&] { kx_printXconfig(stderr, empty.get()); }),
              "\tLogical Token: <not defined>\n\tScreen Resolution: <not defined>\n\tScreen "
              "Refresh: -1\n\tScreen EnablePC: <not defined>\n\tScreen DefaultPC: <not defined>\n"
              "\tScreen Ordering Dimension: 0 x 0\n\tScreen Ordering: <not set>\n\tScreen "
              "EnableAutoSizing: <not defined>\n\tScreen EnableXinerama: <not defined>\n\tScreen "
              "EnableMultiscreen: <not defined>\n");
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
        ltoken = "logical token:\n  id                 = user.a\n  token_name         = Card\n"
                 "  session_type       = (nil)\n  session_params     = p\n  server_name        = "
                 "srv\n  server_port        = 0\n  misc1              = (nil)\n  misc2         "
                 "     = m2\n";
    unit::expect_rows<std::string>(
        {{"user, brief", unit::stderr_of([&] { print_user(nullptr, u.get(), 1); }), user},
         {"user", unit::stderr_of([&] { print_user(nullptr, u.get(), 0); }),
          user + "  logical_token_ids  = user.a\n                     = user.b\n"},
         {"logical token, brief",
          unit::stderr_of([&] { print_logical_token(nullptr, l.get(), 1); }), ltoken},
         {"logical token", unit::stderr_of([&] { print_logical_token(nullptr, l.get(), 0); }),
          ltoken + "  raw_token_ids      = (nil)\n"},
         {"raw token", unit::stderr_of([&] { print_raw_token(nullptr, r.get()); }),
          "raw token:\n  id                 = card.1\n  secret             = s3cret\n  "
          "token_type         = user\n  token_state        = unknown\n  enabled            = "
          "allowed\n  misc1              = (nil)\n  misc2              = x\n"}});
}
