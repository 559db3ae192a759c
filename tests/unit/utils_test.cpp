// String helpers, id validators, the debug output and administrative log,
// lists and arrays, the local policy, the package root and the environment.
#include "unit.h"

static std::string s(const char *t) { return t ? t : "(null)"; }
static std::string released;

TEST(Strings, TrimmingClassesAndTexts)
{
    struct {
        const char *in;
        std::string blanks, quotes;
    } trims[] = {{"  a b \n", "a b", "  a b \n"},        {"", "(null)", "(null)"},
                 {" \t\n \n\t", "(null)", " \t\n \n\t"}, {" value\r\n", "value\r", " value\r\n"},
                 {"\"\"abc\"", "\"\"abc\"", "abc"},      {"\"\"\"", "\"\"\"", "(null)"},
                 {nullptr, "(null)", "(null)"}};
    for (auto &t : trims)
        EXPECT_EQ(kxt::take(strip_leading_and_trailing_whitespace(t.in)) + "|" +
                      kxt::take(strip_leading_and_trailing_quotes(t.in)),
                  t.blanks + "|" + t.quotes)
            << s(t.in);
    std::string got;
    for (const char *n : {"", "0123456789", "12a", "-1", "+1", " 1", "1.5"})
        got += std::to_string(is_numeric(n));
    for (auto [text, part] :
         {std::pair{"Mode=Hard", "hard"}, {"enc_up_type", "UP_T"}, {"abc", "abcd"}, {"", "a"}})
        got += std::to_string(is_substring(text, part));
    for (auto [a, b] : {std::pair<const char *, const char *>{nullptr, nullptr},
                        {nullptr, ""},
                        {"", nullptr},
                        {"abc", "abc"},
                        {"abc", "abd"},
                        {"b", "a"}})
        got += safe_strcmp(a, b) < 0 ? "-" : safe_strcmp(a, b) > 0 ? "+" : "0";
    char *two[] = {const_cast<char *>("a"), const_cast<char *>("b"), nullptr};
    got += std::to_string(num_strings(two)) + std::to_string(num_strings(nullptr)) +
           kxt::take(itos(INT_MIN));
    EXPECT_EQ(got + s(safe_strdup(nullptr)) + kxt::take(safe_strdup("c")),
              "110000011000+-0-+20-2147483648(null)c");
    EXPECT_EXIT(safe_malloc(-1), testing::ExitedWithCode(1), "^Could not malloc -1 bytes\n$");
    EXPECT_EXIT(safe_calloc(-1, 4), testing::ExitedWithCode(1),
                "^Could not calloc -1 elements of 4 bytes\n$");
    EXPECT_EQ(kxt::take(escape("a,b,,c", ',')) + "|" + kxt::take(escape(";;", ';')) + "|" +
                  kxt::take(escape("", ',')) + s(escape(nullptr, ',')) +
                  kxt::take(scramble_text(" Abc-Nz9 mMzZ!@[`{~")),
              "a\\,b\\,\\,c|\\;\\;|(null) "
              "Nop-Am9 zZmM!@[`{~");
    for (auto [in, out] : {std::pair<const char *, const char *>{nullptr, "&nbsp;"},
                           {"", "&nbsp;"},
                           {"plain 'x' #;=", "plain 'x' #;="},
                           {"<>\"&x", "&#060;&#062;&#034;&#038;x"}})
        EXPECT_EQ(kxt::take(kx_safe_str(in)), out);
    for (int n = 0; n < 1100; ++n)
        ASSERT_EQ(kxt::take(kx_safe_str((std::string(n, 'x') + "&").c_str())),
                  std::string(n, 'x') + "&#038;");
    for (auto [tz, text] : {std::pair{"UTC", "01/01/1970 00:00:00 Thu Jan  1 00:00:00 1970"},
                            {"EST5", "12/31/1969 19:00:00 Wed Dec 31 19:00:00 1969"}}) {
        setenv("TZ", tz, 1), tzset();
        EXPECT_EQ(kxt::take(time_field_to_time_string(0)) + " " +
                      kxt::take(time_field_to_time_string_i18n(0)),
                  text);
    }
}

TEST(Strings, TerminalIdsAndGroupNames)
{
    const std::string
        cid = "(null)|Incorrect CID format\n        Format is a 12-digit hexadecimal MAC address,\n"
              "        optionally prefixed by 'IEEE802.'",
        ok = "IEEE802.0123456789ab|(null)";
    struct {
        const char *id;
        int size;
        std::string result;
    } cids[] = {{"0123456789AB", 21, ok},
                {"IeEe802.0123456789aB", 64, ok},
                {"0123456789A", 21, cid},
                {"0123456789ABC", 21, cid},
                {"IEEE802.", 21, cid},
                {"IEEE8020123456789a", 21, cid},
                {"0123456789ab", 20, "(null)|Internal error: input buffer too small"}};
    for (auto &c : cids) {
        std::vector<char> buf(static_cast<size_t>(c.size), '?');
        char *err = const_cast<char *>("unset");
        std::string out = s(kx_normalize_CID(c.id, buf.data(), c.size, &err));
        EXPECT_EQ(out + "|" + s(err), c.result) << c.id;
    }
    const std::string group =
        "Incorrect group name format\n        Group name format is ASCII letter\n"
        "        followed by ASCII alphanumeric or '-'";
    struct {
        std::string name;
        int ok;
    } names[] = {{"g1-a", 1},
                 {std::string(256, 'g'), 1},
                 {"1abc", 0},
                 {"a_b", 0},
                 {"a-", 0},
                 {"", 0},
                 {std::string(257, 'g'), 0},
                 {std::string(255, 'h') + "-", 0},
                 {"z\xc3\xa4", 0}};
    for (auto &n : names) {
        char *err = nullptr;
        int valid = kx_validate_multihead_group_name(n.name.c_str(), &err);
        EXPECT_EQ(std::to_string(valid) + s(err), std::to_string(n.ok) + (n.ok ? "(null)" : group))
            << n.name;
    }
    char buf[21], *err = nullptr;
    EXPECT_EQ(kx_validate_multihead_group_name(nullptr, &err) +
                  kx_validate_multihead_group_name("valid", nullptr),
              0);
    EXPECT_EQ(s(err) + s(kx_normalize_CID("0123456789ab", buf, 21, nullptr)), group + "(null)");
}

TEST(Log, WritersSwitchesAndSelectors)
{
    set_gdebug(nullptr), kxt::clear_logs();
    dprintf("open_connection(): Could not read config file (%s)\n", "/x");
    log_admin("user", "User (%s) successfully added.", "jdoe");
    dlprintf("d", "not traced\n"), set_gdebug(nullptr), set_gdebug("ad");
    dlprintf("d", "connecting to ldap://%s:%d as |%s|\n", "h", 389, "cn=x");
    dlprintf("x", "not traced\n"), set_suppress_output(1), dprintf("hidden\n"),
        log_admin("user", "hidden");
    dlprintf("a", "traced %d\n", 7), set_suppress_output(0);
    EXPECT_EQ(
        kxt::logs(),
        "6 open_connection(): Could not read config file (/x)\n\n142 user : User (jdoe) "
        "successfully added.\n6  \n\n6 running with debug options |ad|\n\n6 (d) connecting to "
        "ldap://h:389 as |cn=x|\n\n6 (a) traced 7\n\n");
    std::string on;  // selectors none, "*", "xd", "" by categories a, d, blank, empty, xd
    for (const char *selector : {static_cast<const char *>(nullptr), "*", "xd", ""})
        for (const char *category : {"a", "d", " ", "", "xd"})
            on += std::to_string((set_gdebug(selector), gdebug(category)));
    EXPECT_EQ((set_gdebug(nullptr), on), "00000111110110100100");
    EXPECT_EQ(std::string(p(nullptr)) + "|" + p("x") + "|" + p2(nullptr) + "|" + p2("y"),
              "|x|&nbsp;|y");
    for (auto [level, blanks] :
         {std::pair{1, 0}, {0, 0}, {2, 2}, {3, 4}, {256, 510}, {257, 511}, {INT_MAX, 511}})
        EXPECT_EQ(std::string(indent_spaces(level)), std::string(blanks, ' ')) << level;
}

// Control characters in the values written to the system log appear
// escaped, so that no value forges a line or a record; the formats' own
// text and every other character stay as they are.
TEST(Log, ValuesCannotForgeRecords)
{
    struct {
        const char *value, *logged;
    } rows[] = {
        {"jdoe", "142 user : User (jdoe) added.\n"},
        {"a\nb", "142 user : User (a\\nb) added.\n"},
        {"x\r\t\x1b\x7f", "142 user : User (x\\015\\011\\033\\177) added.\n"},
        {"caf\xc3\xa9 \\ %s", "142 user : User (caf\xc3\xa9 \\ %s) added.\n"},
    };
    for (const auto &r : rows) {
        kxt::clear_logs();
        log_admin("user", "User (%s) added.", r.value);
        EXPECT_EQ(kxt::logs(), r.logged) << r.value;
    }
    set_gdebug("a"), kxt::clear_logs();
    dprintf("%s(): %c|%5.2s|%-3d|%ld|%x|%%\n", "f\n", '\n', "ab\x01", -3, 40L, 255);
    dlprintf("a", "id |%s|\n", "x\ny");
    set_gdebug(nullptr);
    EXPECT_EQ(kxt::logs(), "6 f\\n(): \\n|   ab|-3 |40|ff|%\n\n6 (a) id |x\\ny|\n\n");
}

TEST(Lists, KeyedListsArraysIdListsAndStreams)
{
    for (auto [order, freed] : {std::pair{0, "b2|a b2 b1 c "}, {1, "b2|c b2 b1 a "}}) {
        kx_LinkedList_t *list = nullptr;
        for (const char *k : {"b1", "a", "c", "b2"})
            ASSERT_EQ(kx_addNode2List(&list, strndup(k, 1), strdup(k), order), 0);
        char key[] = "x";
        void *found = nullptr, *none = key;
        EXPECT_EQ(kx_addNode2List(&list, nullptr, key, 0) +
                      kx_addNode2List(&list, key, nullptr, 0) +
                      kx_addNode2List(&list, key, key, 2) + kx_addNode2List(&list, key, key, -1),
                  4 * KXE_INVAL);
        EXPECT_EQ(kx_findLinkedListNode(list, "b", &found), 0);
        EXPECT_EQ(kx_findLinkedListNode(list, "bb", &none) + kx_findLinkedListNode(list, "", &none),
                  2 * KXE_NOTFOUND);
        EXPECT_EQ(kx_findLinkedListNode(list, nullptr, &found) +
                      kx_findLinkedListNode(list, "b", nullptr) +
                      kx_findLinkedListNode(nullptr, "b", &found) + (none == key ? 0 : 1),
                  3 * KXE_INVAL);
        released = static_cast<char *>(found) + std::string("|");
        kx_freeLinkedList(
            list, [](void *p) { released += static_cast<char *>(p) + std::string(" "), free(p); });
        EXPECT_EQ(released, freed);
    }
    char **array = nullptr, *first = strdup("first");
    EXPECT_EQ(kx_add_array(&array, nullptr) + kx_add_array(&array, first), KXE_INVAL);
    for (int i = 1; i < 100; ++i)
        kx_add_array(&array, strdup(std::to_string(i).c_str()));
    EXPECT_EQ(std::to_string(num_strings(array)) + array[99] + (array[0] == first ? "" : "copied"),
              "10099");
    kx_free_array(array);
    RawTokenIDList *ids = nullptr, *head;
    for (const char *i : {"MicroPayflex.5001", "Payflex.0000001", ""})
        add_to_raw_token_id_list(&ids, i);
    std::string seen;
    for (RawTokenIDList *node = head = ids; node; node = node->next)
        seen += std::string(node->raw_token_id) + "|";
    free_raw_token_list(&ids);
    EXPECT_EQ(seen + (ids == head ? "kept" : ""), "MicroPayflex.5001|Payflex.0000001||kept");
    for (size_t size : {0, 127, 300}) {
        FILE *fp = tmpfile();
        fseek((fputs(("skip|" + std::string(size, 'c')).c_str(), fp), fp), 5, SEEK_SET);
        EXPECT_EQ(kxt::take(kx_filetobuf(fp)), std::string(size, 'c')) << size;
        fclose(fp);
    }
}

TEST(Host, PolicyPackageRootAndEnvironment)
{
    SKIP_WITHOUT_PRODUCT_ROOT();
    unit::ProductFile policy(KX_POLICY_CMD), pkginfo(KX_PKGINFO_CMD);
    std::string out = kxt::scratch("host") + "/out", args = out + ".args", l300(300, 'w'),
                c = "#" + l300.substr(175);
    policy.put("#!/bin/sh\ncat " + kxt::q(out) + "\nexit 3\n", 0755);
    struct {
        std::string output, text;
        int pseudo;
    } rows[] = {{"#only a comment\n", "", 11},
                {"-r pseudo", "", 15},
                {"-r card\n", "-r card", 12},
                {"-r both\n\n", "-r both\n", 11},
                {" # x\n-r both\n", " # x\n-r both", 11},
                {"# x\n-r pseudo -s both\n#-r card\n", "-r pseudo -s both", 11},
                {l300 + "\n" + l300, "", 11},
                {c + "w-r both\n", "-r both", 15},
                {c + "\n-r card\n", "-r card", 12},
                {"-z card", "", 12},
                {"-r", "", 11},
                {"-r card -z pseudo", "", 11},
                {"-r both -s card", "", 15},
                {"-r -z card", "", 12},
                {"-s -r pseudo", "", 11},
                {"-z pseudo -r pseudo", "", 15}};
    for (auto &r : rows) {
        kxt::spit(out, r.output);
        EXPECT_EQ(kxt::take(get_local_policy()) + std::to_string(pseudo_allowed()),
                  (r.text.empty() && r.output[0] != '#' ? r.output : r.text) +
                      std::to_string(r.pseudo));
    }
    const std::string odd = "6 get_package_root(): Got unexpected data from pkginfo\n\n";
    struct {
        const char *body, *name;
        std::string root;
    } pkgs[] = {{"printf /opt/nolf", "SUNWcsr", "/opt/nolf"},
                {"echo /opt/a; echo /opt/b", "SUNWcsr", "(null)" + odd},
                {"true", "SUNWcsr", "(null)" + odd},
                {"echo /opt/x", "SUNWcsr", "/opt/x"},
                {"echo /opt/QRLNkx; exit 2", "SUNWcsr",
                 "(null)6 get_package_root(): Could not get package location\n\n"}};
    for (auto &r : pkgs) {
        pkginfo.put(std::string("#!/bin/sh\nprintf '%s\\n' \"$@\" > ") + kxt::q(args) + "\n" +
                        r.body + "\n",
                    0755);
        kxt::clear_logs();
        std::string root = kxt::take(get_package_root(r.name));
        EXPECT_EQ(root + kxt::logs() + kxt::slurp(args), r.root + "-r\n" + r.name + "\n") << r.body;
    }
    unlink(args.c_str());
    EXPECT_EQ(s(get_package_root(std::string(99, 'p').c_str())), "(null)");
    EXPECT_EQ(kxt::slurp(args), "");
    set_env_var(nullptr, "x"),
        set_env_var("KXU_ONE", "a=b");  // once only: a replaced entry stays allocated
    EXPECT_TRUE(get_env_var("KXU_ONE") == getenv("KXU_ONE") && !get_env_var("KXU_NONE") &&
                !get_env_var(nullptr));
    EXPECT_EQ(kxt::sh("echo $KXU_ONE"), "a=b\n");
}
