// Error texts and their catalogue; key/value arrays and line arrays.
#include <libintl.h>

#include "unit.h"

using kxt::Strings;

TEST(Errors, TextsErrnoMappingAndCatalogue)
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
    for (int code : {INT_MIN, -28, -27, -26, -25, -24, -23, -22, -21, -20,    -19, -18,
                     -17,     -16, -15, -14, -13, -12, -11, -10, -9,  -8,     -7,  -6,
                     -5,      -4,  -3,  -2,  -1,  0,   1,   2,   3,   INT_MAX})
        EXPECT_STREQ(kx_err2str(code), code <= 0 && code >= -27 ? texts[-code]
                                       : code == 2              ? "Unknown system error"
                                                                : "Undefined error code")
            << code;
    for (auto [err, fallback, code] : {std::tuple{0, -16, 0},
                                       {ENOENT, 5, -19},
                                       {ENOMEM, 42, -10},
                                       {EACCES, -1, -5},
                                       {EEXIST, 6, -7},
                                       {EIO, 3, 3}})
        EXPECT_EQ(kx_errno2kxerr(err, fallback), code) << err;
    SKIP_WITHOUT_PRODUCT_ROOT();
    std::string locales = kxt::scratch("locales");
    kxt::sh("localedef -i fr_FR -f UTF-8 " + kxt::q(locales + "/fr_FR.UTF-8") + " >/dev/null 2>&1");
    ASSERT_EQ(access((locales + "/fr_FR.UTF-8").c_str(), F_OK), 0)
        << "localedef cannot build fr_FR.UTF-8";
    unit::ProductFile mo(KX_LOCALE_DIR "/fr/LC_MESSAGES/kx_libkxadmin.mo");
    kxt::sh("msgfmt -o " + kxt::q(mo.path) + " " KX_SOURCE_DIR "/po/fr.po");
    std::string none = kxt::scratch("no-catalogue");  // keeps an installed package's out
    auto french = [&] {
        bindtextdomain("kx_libkxadmin", none.c_str());
        std::string out = (setenv("LOCPATH", locales.c_str(), 1), setlocale(LC_ALL, "fr_FR.UTF-8"))
                              ? kx_err2str(KXE_NOTFOUND)
                              : "no locale";
        for (int code : {KXE_NOTFOUND, -21, 12345, KXE_NOMEM})
            out += std::string("|") + (kx_err2str_init(), kx_err2str(code));
        return out + "|" + kx_errNotPrivileged();
    };
    EXPECT_EQ(unit::in_child(french),
              "Object not found|Objet introuvable|Code d'erreur indéfini|Code d'erreur "
              "indéfini|Mémoire insuffisante|Cette activité demande les droits d'administrateur");
    EXPECT_EQ((mo.remove(), unit::in_child(french)),
              "Object not found|Object not found|Undefined error code|"
              "Undefined error code|Not enough memory|Administrator privilege is required to "
              "perform this activity");
}

TEST(Args, SplittingSearchingAndMerging)
{
    std::string x511(511, 'x'), z509(509, 'z');
    struct {
        std::string text;
        char sep;
        Strings fields;
    } rows[] = {{"tokenID=default, mode=hard\n", ',', {"tokenID=default", "mode=hard"}},
                {"", ',', {""}},
                {" , \t,\n", ',', {"", "", ""}},
                {"\ra\r,\vb", ',', {"\ra\r", "\vb"}},
                {"a\\,b,c\\", ',', {"a,b", "c"}},
                {"a\\\\;b", ';', {"a;b"}},
                {x511 + "," + z509 + "\\,q", ',', {x511, z509 + ",q"}}};
    for (auto &r : rows) {
        char **a = parse_args(r.text.c_str(), r.sep);
        EXPECT_EQ(kxt::strs(a), r.fields) << r.text;
        EXPECT_EQ(count_args(a), static_cast<int>(r.fields.size())) << r.text;
        free_args(a);
    }
    EXPECT_EXIT(parse_args(("ok=1, " + std::string(510, 'c') + "d,x").c_str(), ','),
                testing::ExitedWithCode(1),
                "^Error - Argument string too long:\n ' " + std::string(510, 'c') +
                    "\\.\\.\\.'\n$");
    char **a = kx_alloc_args_storage(3, 4);
    EXPECT_EQ(std::to_string(count_args(a)) + std::string(a[2], 5), "3" + std::string(5, '\0'));
    free_args((memset(a[2], 'k', 5), a));
    EXPECT_EQ(kxt::strs(a = parse_args(nullptr, ',')), Strings{""});
    struct {
        std::string line, parts;
    } pairs[] = {{" key \t= value \n", "1 key|value"},
                 {"a=b=c= d", "1 a|b=c= d"},
                 {" \t=\n ", "1 (null)|(null)"},
                 {" #a=b", "1 #a|b"},
                 {z509 + "xx=" + x511 + "\n", "1 " + z509 + "xx|" + x511},
                 {"#a=b", "0 (null)|(null)"},
                 {"=", "0 (null)|(null)"},
                 {"no equals\n", "0 (null)|(null)"}};
    for (auto &r : pairs) {
        char mark[] = "unset", *k = mark, *v = mark;
        std::string got = std::to_string(parse_key_and_value(r.line.c_str(), &k, &v)) + " ";
        EXPECT_EQ(got + (k == mark ? "?" : kxt::take(k)) + "|" + (v == mark ? "?" : kxt::take(v)),
                  r.parts);
    }
    char line[] = "  alpha beta\t\tgamma  ", two[] = "one\vtwo\nthree", *f[8] = {};
    ASSERT_EQ(make_fields(line, f) * 10 + make_fields(two, f + 4), 32);
    EXPECT_EQ(std::string(f[1]) + f[2] + f[5] + std::to_string((f[0] - line) * 10 + line[7]),
              "betagammatwo20");
    free_args(a),
        a = kxt::ids({"mode=hard", "enc_up_type=ARCFOUR=x", "auth_up_type=", "junk", "b=2"});
    for (auto [count, key, index] : {std::tuple{5, "mode", 0},
                                     {5, "auth_up_type", 2},
                                     {5, "b", -1},
                                     {5, "mod", -1},
                                     {5, "modes", 0},
                                     {1, "enc_up_type", -1},
                                     {0, "mode", -1}})
        EXPECT_EQ(key_index_of(a, count, key), index) << key << " " << count;
    EXPECT_EQ(key_index_of(nullptr, 3, "a") + key_index_of(a + 5, 3, "a"), -2);
    for (auto [key, value, same] : {std::tuple{"mode", "hard", 1},
                                    {"mode", "har", 0},
                                    {"mode", "hardx", 0},
                                    {"enc_up_type", "ARCFOUR", 1},
                                    {"enc_up_type", "ARCFOUR=x", 0},
                                    {"auth_up_type", "", 0}})
        EXPECT_EQ(same_keyValue(a, key, value), same) << key << "=" << value;
    free_args(a);
    const Strings null{"<null>"};
    struct {
        Strings dest, src, merged;
    } merges[] = {
        {{"enc_down_type=ARCFOUR", "mode=hard"},
         {"auth_up_type=none", "mode=soft", "enc_down_type=none", "b=2", "b=3"},
         {"enc_down_type=ARCFOUR", "mode=hard", "auth_up_type=none", "b=2", "b=3"}},
        {{"mode=soft"}, {"=mode=hard", "junk", "mode=x"}, {"mode=soft", "=mode=hard", "junk"}},
        {null, {"a=1", "b=2"}, {"a=1", "b=2"}},
        {{"a=1"}, null, {"a=1"}}};
    for (auto &m : merges) {
        char **dest = m.dest == null ? nullptr : kxt::ids(m.dest),
             **src = m.src == null ? nullptr : kxt::ids(m.src);
        EXPECT_EQ(merge_keyValue_arrays(&dest, src), 0);
        EXPECT_EQ(kxt::strs(dest), m.merged);
        EXPECT_EQ(kxt::strs(src), m.src == null ? Strings{} : m.src);
        free_args(dest);
        free_args(src);
    }
}

TEST(Args, LineArrays)
{
    char **l = kxt::ids(
        {"# mode=hard\n", "x=1 ulimit mode=2\n", "export MODE = x \n", "mode = \thard=no \n"});
    for (auto [count, key, found] : {std::tuple{4, "mode", "3hard"},
                                     {4, "MODE", "2x"},
                                     {4, "ulimit", "-1(null)"},
                                     {3, "mode", "-1(null)"},
                                     {0, "x", "-1(null)"}})
        EXPECT_EQ(std::to_string(index_of(l, count, key)) + kxt::take(get_value(l, count, key)),
                  found);
    EXPECT_EQ(index_of(nullptr, 2, "a") + replace_line(l, 4, "absent", "x") +
                  replace_line(nullptr, 4, "a", "x") + !!get_value(nullptr, 2, "a"),
              -3);
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
    EXPECT_EQ(std::to_string(n) + lines[7], "8k=" + std::string(253, 'v'));
    EXPECT_EQ(array_to_file(path.c_str(), lines, 7), 0);
    EXPECT_EQ(kxt::slurp(path),
              "# admin\nadmin.server=ds2\nulimit admin.port=1\n" + c300 + "\nadmin.debug=a\n");
    EXPECT_EQ(array_to_file((dir + "/no/x").c_str(), lines, n) +
                  file_to_array((dir + "/none").c_str(), lines),
              -2);
    free_string_array(lines, n);
    EXPECT_TRUE(append_line(lines, &(n = KX_MAX_LINES), "more", "v") == -1 && n == KX_MAX_LINES);
    free(lines);
}
