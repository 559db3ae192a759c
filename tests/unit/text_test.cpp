// Error texts and their catalogue; key/value arrays and line arrays.
#include <libintl.h>

#include "unit.h"

using unit::s;
using unit::Strings;

TEST(Errors, TextsAndErrnoMapping)
{
    const char *texts[] = {"Success",
                           "Internal system error",
                           "No changes were made",
                           "Authentication failed",
                           "Object not found",
                           "No permission",
                           "Invalid arguments",
                           "Data already exists",
                           "Terminal already in use",
                           "Token not found",
                           "Not enough memory",
                           "Duplicate Terminal ID",
                           "Server unreachable",
                           "Failed to open socket",
                           "Socket write failed",
                           "Authentication Manager timeout",
                           "File access error",
                           "Invalid call sequence",
                           "No more data",
                           "File or directory does not exist",
                           "Unable to contact admin database",
                           "Undefined error code",
                           "Session detached",
                           "Not currently in a Tessaly session",
                           "Operation timed out",
                           "Failed to contact the remote service",
                           "Configuration error",
                           "No buffer space available"};
    for (int code = 0; code >= -27; --code)
        EXPECT_STREQ(kx_err2str(code), texts[-code]) << code;
    unit::expect_rows<std::string>(
        {{"-28", kx_err2str(-28), "Undefined error code"},
         {"1", kx_err2str(1), "Undefined error code"},
         {"KXE_UNKNOWN", kx_err2str(KXE_UNKNOWN), "Unknown system error"}});
    unit::expect_rows<int>({{"0", kx_errno2kxerr(0, -16), KXE_SUCCESS},
                            {"ENOENT", kx_errno2kxerr(ENOENT, 5), KXE_NOENT},
                            {"ENOMEM", kx_errno2kxerr(ENOMEM, 42), KXE_NOMEM},
                            {"EACCES", kx_errno2kxerr(EACCES, -1), KXE_NOPERM},
                            {"EEXIST", kx_errno2kxerr(EEXIST, 6), KXE_EXISTS},
                            {"EIO: the default", kx_errno2kxerr(EIO, 3), 3}});
}

// The texts in French from the product's catalogue once kx_err2str_init()
// has bound it, in English without it.
TEST(Errors, Catalogue)
{
    SKIP_WITHOUT_PRODUCT_ROOT();
    std::string locales = kxt::scratch("locales");
    kxt::sh("localedef -i fr_FR -f UTF-8 " + kxt::q(locales + "/fr_FR.UTF-8") + " >/dev/null 2>&1");
    ASSERT_EQ(access((locales + "/fr_FR.UTF-8").c_str(), F_OK), 0)
        << "localedef cannot build fr_FR.UTF-8";
    unit::ProductFile mo(KX_LOCALE_DIR "/fr/LC_MESSAGES/kx_libkxadmin.mo");
    kxt::sh("msgfmt -o " + kxt::q(mo.path) + " " KX_SOURCE_DIR "/po/fr.po");
    std::string none = kxt::scratch("no-catalogue");  // keeps an installed package's out
    auto in_french = [&](bool init, int code) {
        return unit::in_child([&] {
            bindtextdomain("kx_libkxadmin", none.c_str());
            if (setenv("LOCPATH", locales.c_str(), 1) || !setlocale(LC_ALL, "fr_FR.UTF-8"))
                return Strings{"no locale"};
            if (init)
                kx_err2str_init();
            return Strings{code ? kx_err2str(code) : kx_errNotPrivileged()};
        });
    };
    struct {
        const char *row;
        bool init;
        int code;
        const char *french, *english;
    } rows[] = {
        {"before kx_err2str_init", false, KXE_NOTFOUND, "Object not found", "Object not found"},
        {"object not found", true, KXE_NOTFOUND, "Objet introuvable", "Object not found"},
        {"kx_errNotPrivileged", true, 0, "Cette activité demande les droits d'administrateur",
         "Administrator privilege is required to perform this activity"},
    };
    for (auto &r : rows)
        EXPECT_EQ(in_french(r.init, r.code), Strings{r.french}) << r.row;
    mo.remove();
    for (auto &r : rows)
        EXPECT_EQ(in_french(r.init, r.code), Strings{r.english}) << r.row << ", no catalogue";
}

TEST(Args, Splitting)
{
    auto split = [](const char *text) {  // the fields, counted by count_args
        char **a = parse_args(text, ',');
        Strings fields = kxt::strs(a);
        EXPECT_EQ(count_args(a), static_cast<int>(fields.size())) << s(text);
        return free_args(a), fields;
    };
    const std::string x511(511, 'x'), z509(509, 'z'), z511 = z509 + "xx";
    unit::expect_rows<Strings>(
        {{"two pairs", split("tokenID=default, mode=hard\n"), {"tokenID=default", "mode=hard"}},
         {"blank fields", split(" , \t,\n"), {"", "", ""}},
         {"backslashes", split("a\\,b,c\\"), {"a,b", "c"}},
         {"511 characters", split((x511 + "," + z509 + "\\,q").c_str()), {x511, z509 + ",q"}},
         {"null", split(nullptr), {""}}});
    EXPECT_EXIT(parse_args(("ok=1, " + std::string(510, 'c') + "d,x").c_str(), ','),
                testing::ExitedWithCode(1),
                "^Error - Argument string too long:\n ' " + std::string(510, 'c') +
                    "\\.\\.\\.'\n$");
    char **a = kx_alloc_args_storage(3, 4);
    EXPECT_EQ(count_args(a), 3);
    EXPECT_EQ(std::string(a[2], 5), std::string(5, '\0'));
    free_args(a);
    auto pair = [](const std::string &line) {  // the result, the key and the value
        char mark[] = "unset", *k = mark, *v = mark;
        int rc = parse_key_and_value(line.c_str(), &k, &v);
        return std::tuple{rc, k == mark ? "unset" : kxt::take(k),
                          v == mark ? "unset" : kxt::take(v)};
    };
    unit::expect_rows<std::tuple<int, std::string, std::string>>(
        {{"blanks around", pair(" key \t= value \n"), {1, "key", "value"}},
         {"nothing around =", pair(" \t=\n "), {1, "(null)", "(null)"}},
         {"511 characters", pair(z511 + "=" + x511 + "\n"), {1, z511, x511}},
         {"comment", pair("#a=b"), {0, "(null)", "(null)"}},
         {"one character", pair("="), {0, "(null)", "(null)"}},
         {"no =", pair("no equals\n"), {0, "(null)", "(null)"}}});
    auto fields = [](std::string line) {
        char *f[8] = {};
        return Strings(f, f + make_fields(line.data(), f));
    };
    unit::expect_rows<Strings>(
        {{"blanks and tabs", fields("  alpha beta\t\tgamma  "), {"alpha", "beta", "gamma"}},
         {"ends at newline", fields("one\vtwo\nthree"), {"one", "two"}}});
}

TEST(Args, SearchingAndMerging)
{
    char **a = kxt::ids({"mode=hard", "enc_up_type=ARCFOUR=x", "auth_up_type=", "junk", "b=2"});
    unit::expect_rows<int>({{"first", key_index_of(a, 5, "mode"), 0},
                            {"after an entry without =", key_index_of(a, 5, "b"), -1},
                            {"shorter key", key_index_of(a, 5, "mod"), -1},
                            {"past the count", key_index_of(a, 1, "enc_up_type"), -1},
                            {"count 0", key_index_of(a, 0, "mode"), -1},
                            {"null array", key_index_of(nullptr, 3, "a"), -1},
                            {"empty array", key_index_of(a + 5, 3, "a"), -1}});
    unit::expect_rows<int>({{"same", same_keyValue(a, "mode", "hard"), 1},
                            {"shorter", same_keyValue(a, "mode", "har"), 0},
                            {"up to the next =", same_keyValue(a, "enc_up_type", "ARCFOUR"), 1},
                            {"empty value", same_keyValue(a, "auth_up_type", ""), 0}});
    free_args(a);
    // The result and the merged destination; the source stays as it was.
    const Strings null{"<null>"};  // stands for a NULL array
    auto merged = [&](const Strings &dest, const Strings &src) {
        char **to = dest == null ? nullptr : kxt::ids(dest),
             **from = src == null ? nullptr : kxt::ids(src);
        int rc = merge_keyValue_arrays(&to, from);
        EXPECT_EQ(kxt::strs(from), src == null ? Strings{} : src) << "source changed";
        Strings got = kxt::strs(to);
        return free_args(to), free_args(from), std::pair{rc, got};
    };
    unit::expect_rows<std::pair<int, Strings>>(
        {{"destination wins",
          merged({"enc_down_type=ARCFOUR", "mode=hard"},
                 {"auth_up_type=none", "mode=soft", "enc_down_type=none", "b=2", "b=3"}),
          {0, {"enc_down_type=ARCFOUR", "mode=hard", "auth_up_type=none", "b=2", "b=3"}}},
         {"null destination", merged(null, {"a=1", "b=2"}), {0, {"a=1", "b=2"}}},
         {"null source", merged({"a=1"}, null), {0, {"a=1"}}}});
}

TEST(Args, LineArrays)
{
    char **l = kxt::ids(
        {"# mode=hard\n", "x=1 ulimit mode=2\n", "export MODE = x \n", "mode = \thard=no \n"});
    struct {
        const char *row;
        int count;
        const char *key;
        int index;
        const char *value;
    } rows[] = {{"after a comment and ulimit", 4, "mode", 3, "hard"},
                {"past the count", 3, "mode", -1, nullptr},
                {"count 0", 0, "x", -1, nullptr}};
    for (auto &r : rows) {
        EXPECT_EQ(index_of(l, r.count, r.key), r.index) << r.row;
        EXPECT_EQ(kxt::take(get_value(l, r.count, r.key)), s(r.value)) << r.row;
    }
    unit::expect_rows<int>({{"index_of, null", index_of(nullptr, 2, "a"), -1},
                            {"replace, absent key", replace_line(l, 4, "absent", "x"), -1},
                            {"replace, null", replace_line(nullptr, 4, "a", "x"), -1}});
    EXPECT_EQ(get_value(nullptr, 2, "a"), nullptr);
    free_args(l);
    std::string dir = kxt::scratch("lines"), path = dir + "/kx.conf", c300(300, 'c');
    kxt::spit(path, "# admin\nadmin.server=ds1\nulimit admin.port=1\n" + c300 + "\nlast");
    char **lines = static_cast<char **>(calloc(KX_MAX_LINES + 1, sizeof(char *)));
    int n = file_to_array(path.c_str(), lines);
    EXPECT_EQ(kxt::strs(lines), (Strings{"# admin\n", "admin.server=ds1\n", "ulimit admin.port=1\n",
                                         c300.substr(0, 255), c300.substr(0, 45) + "\n", "last"}));
    EXPECT_EQ(replace_line(lines, n, "admin.server", "ds2"), 0);
    lines[5][0] = '\0';
    EXPECT_EQ(append_line(lines, &n, "admin.debug", "a"), 0);
    EXPECT_EQ(append_line(lines, &n, "k", std::string(400, 'v').c_str()), 0);
    EXPECT_EQ(n, 8);
    EXPECT_EQ(lines[7], "k=" + std::string(253, 'v'));
    EXPECT_EQ(array_to_file(path.c_str(), lines, 7), 0);
    EXPECT_EQ(kxt::slurp(path),
              "# admin\nadmin.server=ds2\nulimit admin.port=1\n" + c300 + "\nadmin.debug=a\n");
    EXPECT_EQ(array_to_file((dir + "/no/x").c_str(), lines, n), -1);
    EXPECT_EQ(file_to_array((dir + "/none").c_str(), lines), -1);
    free_string_array(lines, n);
    EXPECT_EQ(append_line(lines, &(n = KX_MAX_LINES), "more", "v"), -1);
    EXPECT_EQ(n, KX_MAX_LINES);
    free(lines);
}
