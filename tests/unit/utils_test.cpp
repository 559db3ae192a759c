// String helpers, id validators, the debug output and administrative log,
// lists and arrays, the local policy, the package root and the environment.
#include "unit.h"

using unit::s;
using unit::Said;

TEST(Strings, TrimmingAndClasses)
{
    auto blanks = [](const char *t) { return kxt::take(strip_leading_and_trailing_whitespace(t)); };
    auto quotes = [](const char *t) { return kxt::take(strip_leading_and_trailing_quotes(t)); };
    unit::expect_rows<std::string>({{"both ends", blanks("  a b \n"), "a b"},
                                    {"nothing left", blanks(" \t\n \n\t"), "(null)"},
                                    {"null", blanks(nullptr), "(null)"}});
    unit::expect_rows<std::string>({{"both ends", quotes("\"\"abc\""), "abc"},
                                    {"nothing left", quotes("\"\"\""), "(null)"},
                                    {"null", quotes(nullptr), "(null)"}});
    unit::expect_rows<int>({{"empty", is_numeric(""), 1},
                            {"digits", is_numeric("0123456789"), 1},
                            {"a letter", is_numeric("12a"), 0},
                            {"a sign", is_numeric("-1"), 0},
                            {"null", is_numeric(nullptr), 0}});
    unit::expect_rows<int>({{"case ignored", is_substring("Mode=Hard", "hard"), 1},
                            {"part longer", is_substring("abc", "abcd"), 0},
                            {"null", is_substring(nullptr, "a"), 0}});
    unit::expect_rows<int>({{"both null", safe_strcmp(nullptr, nullptr), 0},
                            {"first null", safe_strcmp(nullptr, ""), 1},
                            {"second null", safe_strcmp("", nullptr), -1},
                            {"strings", safe_strcmp("abc", "abd") < 0, 1}});
}

TEST(Strings, CopiesAndTexts)
{
    char *two[] = {kxt::m("a"), kxt::m("b"), nullptr};
    EXPECT_EQ(num_strings(two), 2);
    EXPECT_EQ(kxt::take(itos(INT_MIN)), "-2147483648");
    EXPECT_EQ(kxt::take(safe_strdup("c")), "c");
    EXPECT_EQ(safe_strdup(nullptr), nullptr);
    EXPECT_EQ(kxt::take(escape("a,b,,c", ',')), "a\\,b\\,\\,c");
    EXPECT_EQ(escape(nullptr, ','), nullptr);
    EXPECT_EQ(kxt::take(scramble_text(" Abc-Nz9 mMzZ!@[`{~")), " Nop-Am9 zZmM!@[`{~");
    EXPECT_EXIT(safe_malloc(-1), testing::ExitedWithCode(1), "^Could not malloc -1 bytes\n$");
    EXPECT_EXIT(safe_calloc(-1, 4), testing::ExitedWithCode(1),
                "^Could not calloc -1 elements of 4 bytes\n$");
    // The HTML text grows its buffer of 512 bytes when fewer than 7 are left.
    auto html = [](const std::string &t) { return kxt::take(kx_safe_str(t.c_str())); };
    const std::string x506(506, 'x');
    unit::expect_rows<std::string>({{"null", kxt::take(kx_safe_str(nullptr)), "&nbsp;"},
                                    {"empty", html(""), "&nbsp;"},
                                    {"plain", html("plain 'x' #;="), "plain 'x' #;="},
                                    {"specials", html("<>\"&x"), "&#060;&#062;&#034;&#038;x"},
                                    {"grows", html(x506 + "&"), x506 + "&#038;"}});
    setenv("TZ", "EST5", 1), tzset();
    EXPECT_EQ(kxt::take(time_field_to_time_string(0)), "12/31/1969 19:00:00");
    EXPECT_EQ(kxt::take(time_field_to_time_string_i18n(0)), "Wed Dec 31 19:00:00 1969");
}

TEST(Strings, TerminalIdsAndGroupNames)
{
    // The normalized id (or NULL) and the error text that came with it.
    auto cid = [](const char *id, int size = 21) {
        std::vector<char> buf(static_cast<size_t>(size), '?');
        char *err = kxt::m("unset"), *out = kx_normalize_CID(id, buf.data(), size, &err);
        return std::pair{s(out), s(err)};
    };
    const std::string format = "Incorrect CID format\n        Format is a 12-digit hexadecimal "
                               "MAC address,\n        optionally prefixed by 'IEEE802.'",
                      normal = "IEEE802.0123456789ab";
    unit::expect_rows<std::pair<std::string, std::string>>(
        {{"digits", cid("0123456789AB"), {normal, "(null)"}},
         {"prefix in any case", cid("IeEe802.0123456789aB", 64), {normal, "(null)"}},
         {"11 digits", cid("0123456789A"), {"(null)", format}},
         {"colons", cid("01:23:45:67:89:ab"), {"(null)", format}},
         {"prefix without period", cid("IEEE8020123456789a"), {"(null)", format}},
         {"20 bytes",
          cid("0123456789ab", 20),
          {"(null)", "Internal error: input buffer too small"}}});
    char buf[21];
    EXPECT_EQ(kx_normalize_CID("0123456789ab", buf, 21, nullptr), nullptr);
    auto group = [](const std::string &name) {
        char *err = nullptr;
        int valid = kx_validate_multihead_group_name(name.c_str(), &err);
        return Said{valid, s(err)};
    };
    const std::string bad = "Incorrect group name format\n        Group name format is ASCII "
                            "letter\n        followed by ASCII alphanumeric or '-'";
    unit::expect_rows<Said>({{"letter, digit, hyphen", group("g1-a"), {1, "(null)"}},
                             {"256 characters", group(std::string(256, 'g')), {1, "(null)"}},
                             {"first a digit", group("1abc"), {0, bad}},
                             {"underscore", group("a_b"), {0, bad}},
                             {"last a hyphen", group("a-"), {0, bad}},
                             {"257 characters", group(std::string(257, 'g')), {0, bad}}});
    char *err = nullptr;
    EXPECT_EQ(kx_validate_multihead_group_name(nullptr, &err), 0);
    EXPECT_EQ(s(err), bad);
    EXPECT_EQ(kx_validate_multihead_group_name("valid", nullptr), 0);
}

// What a call wrote to the system log, with the debug selector and the
// suppression switch set first.
static std::string logged(const char *selector, int suppress, const std::function<void()> &f)
{
    set_gdebug(selector), set_suppress_output(suppress);
    std::string text = kxt::logs_of(f);
    return set_suppress_output(0), text;
}

// Control characters in the values written to the system log appear
// escaped, so that no value forges a line or a record; the formats' own
// text and every other character stay as they are.
TEST(Log, WritersSwitchesAndSelectors)
{
    auto conversions = [] {
        dprintf("%s(): %c|%5.2s|%-3d|%ld|%x|%%\n", "f\n", '\n', "ab\x01", -3, 40L, 255);
    };
    auto added = [](const char *value) {
        return logged(nullptr, 0, [&] { log_admin("user", "User (%s) added.", value); });
    };
    unit::expect_rows<std::string>(
        {{"newline", added("a\nb"), "142 user : User (a\\nb) added.\n"},
         {"controls", added("x\r\t\x1b\x7f"), "142 user : User (x\\015\\011\\033\\177) added.\n"},
         {"UTF-8, \\, %s", added("caf\xc3\xa9 \\ %s"),
          "142 user : User (caf\xc3\xa9 \\ %s) added.\n"},
         {"dprintf", logged(nullptr, 0, conversions), "6 f\\n(): \\n|   ab|-3 |40|ff|%\n\n"},
         {"dlprintf, category on", logged("ad", 0, [] { dlprintf("d", "id |%s|\n", "x\ny"); }),
          "6 (d) id |x\\ny|\n\n"},
         {"dlprintf, category off", logged("ad", 0, [] { dlprintf("x", "x\n"); }), ""},
         {"dprintf, suppressed", logged(nullptr, 1, [] { dprintf("hidden\n"); }), ""},
         {"log_admin, suppressed", logged(nullptr, 1, [] { log_admin("user", "hidden"); }), ""},
         {"dlprintf, suppressed", logged("ad", 1, [] { dlprintf("a", "traced %d\n", 7); }),
          "6 (a) traced 7\n\n"}});
    EXPECT_TRUE(unit::has(logged(nullptr, 0, [] { set_gdebug("ad"); }),
                          "6 running with debug options |ad|\n"));
    EXPECT_EQ(logged("ad", 0, [] { set_gdebug(nullptr); }), "");
    auto on = [](const char *selector, const char *category) {
        return set_gdebug(selector), gdebug(category);
    };
    unit::expect_rows<int>({{"no selector", on(nullptr, "d"), 0},
                            {"everything", on("*", ""), 1},
                            {"blank category", on("xd", " "), 1},
                            {"empty category", on("xd", ""), 0},
                            {"null category", on("xd", nullptr), 0},
                            {"letter not selected", on("xd", "a"), 0},
                            {"letter selected", on("xd", "ad"), 1}});
    set_gdebug(nullptr);
    unit::expect_rows<std::string>({{"p of null", p(nullptr), ""},
                                    {"p", p("x"), "x"},
                                    {"p2 of null", p2(nullptr), "&nbsp;"},
                                    {"p2", p2("y"), "y"}});
    unit::expect_rows<std::string>({{"level 1", indent_spaces(1), ""},
                                    {"level 3", indent_spaces(3), "    "},
                                    {"level 257", indent_spaces(257), std::string(511, ' ')},
                                    {"INT_MAX", indent_spaces(INT_MAX), std::string(511, ' ')}});
}

static std::string released;  // the payloads that a list released, in order

TEST(Lists, KeyedListsArraysIdListsAndStreams)
{
    for (auto [row, order, freed] :
         {std::tuple{"ascending", 0, "a b2 b1 c "}, {"descending", 1, "c b2 b1 a "}}) {
        kx_LinkedList_t *list = nullptr;
        for (const char *k : {"b1", "a", "c", "b2"})
            ASSERT_EQ(kx_addNode2List(&list, strndup(k, 1), strdup(k), order), 0) << row;
        void *found = nullptr;
        EXPECT_EQ(kx_findLinkedListNode(list, "b", &found), 0) << row;
        EXPECT_STREQ(static_cast<char *>(found), "b2") << row;  // the newer of equal keys
        released.clear();
        kx_freeLinkedList(
            list, [](void *p) { released += static_cast<char *>(p) + std::string(" "), free(p); });
        EXPECT_EQ(released, freed) << row;
    }
    kx_LinkedList_t *list = nullptr;
    char key[] = "x";
    void *found = key;
    ASSERT_EQ(kx_addNode2List(&list, strdup("b"), strdup("b"), 0), 0);
    unit::expect_rows<int>(
        {{"add: no key", kx_addNode2List(&list, nullptr, key, 0), KXE_INVAL},
         {"add: no payload", kx_addNode2List(&list, key, nullptr, 0), KXE_INVAL},
         {"add: order 2", kx_addNode2List(&list, key, key, 2), KXE_INVAL},
         {"find: absent", kx_findLinkedListNode(list, "bb", &found), KXE_NOTFOUND},
         {"find: no key", kx_findLinkedListNode(list, nullptr, &found), KXE_INVAL},
         {"find: no out", kx_findLinkedListNode(list, "b", nullptr), KXE_INVAL},
         {"find: no list", kx_findLinkedListNode(nullptr, "b", &found), KXE_INVAL}});
    EXPECT_EQ(found, key);
    kx_freeLinkedList(list, free);
    char **array = nullptr, *first = strdup("first");
    EXPECT_EQ(kx_add_array(&array, nullptr), KXE_INVAL);
    EXPECT_EQ(kx_add_array(&array, first), 0);
    EXPECT_EQ(kx_add_array(&array, strdup("second")), 0);
    EXPECT_EQ(kxt::strs(array), (unit::Strings{"first", "second"}));
    EXPECT_EQ(array[0], first);  // the string itself, not a copy
    kx_free_array(array);
    RawTokenIDList *ids = nullptr, *head;
    const unit::Strings added{"MicroPayflex.5001", "Payflex.0000001", ""};
    for (const std::string &id : added)
        add_to_raw_token_id_list(&ids, id.c_str());
    unit::Strings seen;
    for (RawTokenIDList *node = head = ids; node; node = node->next)
        seen.push_back(node->raw_token_id);
    EXPECT_EQ(seen, added);
    free_raw_token_list(&ids);
    EXPECT_EQ(ids, head);          // the caller's pointer is not reset
    auto read = [](size_t size) {  // a stream of size bytes after 5 already read
        FILE *fp = tmpfile();
        fseek((fputs(("skip|" + std::string(size, 'c')).c_str(), fp), fp), 5, SEEK_SET);
        std::string text = kxt::take(kx_filetobuf(fp));
        return fclose(fp), text;
    };
    // The buffer starts at 128 bytes, one of them for the terminating zero.
    unit::expect_rows<std::string>(
        {{"empty", read(0), ""}, {"127 bytes", read(127), std::string(127, 'c')}});
}

TEST(Host, PolicyPackageRootAndEnvironment)
{
    SKIP_WITHOUT_PRODUCT_ROOT();
    unit::ProductFile policy(KX_POLICY_CMD), pkginfo(KX_PKGINFO_CMD);
    std::string out = kxt::scratch("host") + "/out", args = out + ".args",
                c = "#" + std::string(125, 'w');  // a comment line of 126 characters
    policy.put("#!/bin/sh\ncat " + kxt::q(out) + "\nexit 3\n", 0755);
    struct {
        const char *row;
        std::string output, text;
        int pseudo;
    } rows[] = {
        {"comments only", "#only a comment\n", "", 11},
        {"-r pseudo", "-r pseudo", "-r pseudo", 15},
        {"-r card, final newline", "-r card\n", "-r card", 12},
        {"# in column 2, two lines", " # x\n-r both", " # x\n-r both", 11},
        {"-s both", "# x\n-r pseudo -s both\n#-r card\n", "-r pseudo -s both", 11},
        {"-s card", "-r both -s card", "-r both -s card", 15},
        {"comment of two pieces", c + "w-r both\n", "-r both", 15},
        {"-z card", "-z card", "-z card", 12},
        {"-z pseudo", "-r card -z pseudo", "-r card -z pseudo", 11},
        {"card after -z pseudo", "-z pseudo -r card", "-z pseudo -r card", 11},
        {"-r last", "-r", "-r", 11},
        {"-r -z card", "-r -z card", "-r -z card", 12},
    };
    for (auto &r : rows) {
        kxt::spit(out, r.output);
        EXPECT_EQ(kxt::take(get_local_policy()), r.text) << r.row;
        EXPECT_EQ(pseudo_allowed(), r.pseudo) << r.row;
    }
    // The package root (or NULL), the log and the query's arguments.
    auto root_of = [&](const std::string &body) {
        pkginfo.put("#!/bin/sh\nprintf '%s\\n' \"$@\" > " + kxt::q(args) + "\n" + body + "\n",
                    0755);
        kxt::clear_logs();
        std::string root = kxt::take(get_package_root("SUNWcsr"));
        return unit::Strings{root, kxt::logs(), kxt::slurp(args)};
    };
    const std::string odd = "6 get_package_root(): Got unexpected data from pkginfo\n\n",
                      query = "-r\nSUNWcsr\n";
    unit::expect_rows<unit::Strings>(
        {{"no final newline", root_of("printf /opt/nolf"), {"/opt/nolf", "", query}},
         {"two lines", root_of("echo /opt/a; echo /opt/b"), {"(null)", odd, query}},
         {"one line", root_of("echo /opt/x"), {"/opt/x", "", query}},
         {"failed",
          root_of("echo /opt/QRLNkx; exit 2"),
          {"(null)", "6 get_package_root(): Could not get package location\n\n", query}}});
    unlink(args.c_str());
    EXPECT_EQ(get_package_root(std::string(99, 'p').c_str()), nullptr);
    EXPECT_EQ(get_package_root("a;b"), nullptr);
    EXPECT_EQ(kxt::slurp(args), "");  // neither was asked for
    set_env_var(nullptr, "x");
    set_env_var("KXU_ONE", "a=b");  // once only: a replaced entry stays allocated
    EXPECT_EQ(get_env_var("KXU_ONE"), getenv("KXU_ONE"));
    EXPECT_EQ(get_env_var("KXU_NONE"), nullptr);
    EXPECT_EQ(get_env_var(nullptr), nullptr);
    EXPECT_EQ(kxt::sh("echo $KXU_ONE"), "a=b\n");
}
