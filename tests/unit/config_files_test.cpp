// Administration and server configuration files, session failures needing no
// server, and primary discovery and probing (its caches live in children).
#include "unit.h"

namespace {
std::string s(const char *t) { return t ? t : "-"; }
std::string list(char **a, std::string out = "[")
{
    for (; a && *a; ++a)
        out += std::string(*a) + (a[1] ? "," : "");
    return out + "]";
}
std::string trees(TreeS *t, std::string out = "")
{
    for (; t; t = t->next, out += "}") {
        out += "{";
        for (SubtreeNode *n = t->subtrees; n; n = n->next)
            out += n->dn + std::string(" ");
        out += list(t->referrals) + (t->replicadn ? std::string(" ") + t->replicadn : "");
    }
    return out;
}
std::string primary()
{
    char *host = nullptr;
    int port = 0, rc = kx_getDSprimary(&host, &port);
    return std::to_string(rc) + " " + kxt::take(host) + " " + std::to_string(port);
}

struct Files : testing::Test {
    std::string dir = kxt::scratch("conf"), conf = dir + "/kxadmin.conf", dsd = dir + "/kxdsd.conf";
    int saved = DStimeout;
    BackendTable table{0, 0, nullptr};
    void TearDown() override { DStimeout = saved, set_gdebug(nullptr), free_backend(&table); }
    std::string read(const std::string &text)
    {
        kxt::spit(conf, text);
        KXAdminStruct *k = allocate_kxa();
        std::string out = std::to_string(read_config_file(k, conf.c_str())) + " ";
        out += s(k->server_name) + "|" + std::to_string(k->server_port) + "|" + s(k->user_name) +
               "|" + s(k->subtree) + "|" + s(k->dstatus_fname) + "|" + s(k->ustatus_fname) + "|" +
               s(k->defaultlocale) + " ";
        out += std::to_string((k->mode = 1, check_kxa(k)));
        out += std::to_string((k->mode = 3, check_kxa(k)));
        free_kxa(k);
        return out;
    }
    std::string read_ds(const std::string &text)
    {
        kxt::spit(dsd, text);
        kxt::clear_logs();
        free_backend(&table);
        std::string out = std::to_string(read_ds_config_file(&table, dsd.c_str())) + "\n";
        for (Backend *b = table.backends; b && b < table.backends + table.count; ++b)
            out += s(b->type) + " " + list(b->suffixes) + " " + s(b->rootdn) + " " +
                   list(b->replicas) + " S" + trees(b->slaves) + " M" + trees(b->masters) + "\n";
        return out + kxt::logs() + (out[0] == '-' && table.backends ? "kept" : "");
    }
};
}  // namespace

TEST_F(Files, ConfigurationAndPasswordFiles)
{
    const std::string u495(495, 'u'), l491(491, 'l'),
        none = "0 -|0|-|-|-|-|- -1-1",
        all = "admin.server.name=h\nadmin.server.port=1\nadmin.subtree=o\nadmin.dstatus.dbfile=/d\n"
              "admin.ustatus.dbfile=/u\n";
    struct {
        std::string text, record;
    } rows[] = {{"# settings\n\nadmin.server.name = "
                 "ds1\nadmin.server.port\t=\t389\nadmin.user.name=cn=M, o=kxdata\n"
                 "admin.subtree=o=kxdata\nadmin.dstatus.dbfile=/d\nadmin.ustatus.dbfile=/"
                 "u\nadmin.defaultlocale=en\nx.y=v\n",
                 "0 ds1|389|cn=M, o=kxdata|o=kxdata|/d|/u|en 00"},
                {all, "0 h|1|-|o|/d|/u|- 0-1"},
                {all.substr(20), "0 -|1|-|o|/d|/u|- -1-1"},
                {all.substr(0, 20) + all.substr(40), "0 h|0|-|o|/d|/u|- -1-1"},
                {all.substr(0, 40) + all.substr(56), "0 h|1|-|-|/d|/u|- -1-1"},
                {all.substr(0, 56) + all.substr(80), "0 h|1|-|o|-|/u|- -1-1"},
                {all.substr(0, 80), "0 h|1|-|o|/d|-|- -1-1"},
                {"#admin.server.name=c\n  # admin.server.name = "
                 "x\nadmin.server.name\nadmin.subtree =   \t\n  =  v\n=\nx\n"
                 " \nAdmin.Server.Name=case\nadmin.server.port=7\nadmin.server.port=0\n",
                 none},
                {"admin.server.name=first\nadmin.server.name=dos\r\nadmin.subtree==lead=kept="
                 "\nadmin.defaultlocale=last",
                 "0 dos\r|0|-|=lead=kept=|-|-|last -1-1"},
                {"admin.server.port =  0636 "
                 "\nadmin.server.port=389x\nadmin.server.port=-38\nadmin.server.port=+1\n",
                 "0 -|636|-|-|-|-|- -1-1"},
                {"#" + std::string(510, 'c') + "admin.server.name=hidden\nadmin.subtree=" +
                     std::string(600, 's') + "\nadmin.defaultlocale=" + l491 +
                     "\nadmin.user.name=" + u495 + "admin.ustatus.dbfile=/u\n",
                 "0 hidden|0|" + u495 + "|" + std::string(497, 's') + "|-|/u|" + l491 + " -1-1"}};
    for (auto &r : rows)
        EXPECT_EQ(read(r.text), r.record) << r.text;
    const std::string user = "6 check_kxa(): kxa - user fields are not filled.\n\n",
                      important = "6 check_kxa(): kxa - important fields are not filled.\n\n";
    kxt::clear_logs();
    read(all);
    EXPECT_EQ(check_kxa(nullptr), -1);
    EXPECT_EQ(kxt::logs(), user + important);
    KXAdminStruct *k = allocate_kxa();
    kxt::clear_logs();
    int missing = read_config_file(k, (dir + "/none").c_str());
    EXPECT_EQ(missing * 100 + read_config_file(k, (conf + "/x").c_str()), -1916);
    set_kxa_val(nullptr, "admin.debug", "x"), set_kxa_val(k, nullptr, "x"), free_kxa(k);
    EXPECT_EQ(kxt::logs(), "6 read_config_file(): Could not open config file (" + dir +
                               "/none), error 2\n\n6 "
                               "read_config_file(): Could not open config file (" +
                               conf + "/x), error 20\n\n");
    for (auto [timeout, now] : {std::pair{"25", 25}, {"-5", 25}, {"abc", 25}, {"7 ", 7}})
        EXPECT_EQ((read(std::string("admin.server.timeout = ") + timeout + "\n"), DStimeout), now)
            << timeout;
    kxt::clear_logs();
    read("admin.server.timeout=0\nadmin.debug = d\n");
    EXPECT_EQ(std::to_string(DStimeout * 100 + gdebug("d") * 10 + gdebug("a")) + kxt::logs(),
              "106  \n\n6 running with debug options |d|\n\n" + important + important);
    std::string pw = dir + "/kxadmin.pw";
    for (auto [text, password] : {std::pair<std::string, std::string>{"", "(null) -1"},
                                  {"  \t \n", "(null) -1"},
                                  {" \t Frperg-123 Nz \t\nsecond line\n", "Secret-123 Am 0"},
                                  {std::string(600, 'n'), std::string(511, 'a') + " 0"}}) {
        kxt::spit(pw, text);
        int err = 12345;
        std::string got = kxt::take(read_passwd_file(pw.c_str(), &err)) + " ";
        EXPECT_EQ(got + std::to_string(err), password) << text;
    }
    int err = missing = 0;
    EXPECT_TRUE(!read_passwd_file((pw + "/x").c_str(), &err) &&
                !read_passwd_file((dir + "/none").c_str(), &missing) &&
                !read_passwd_file(nullptr, nullptr) && err * 100 + missing == -1619);
}

TEST_F(Files, ProductConfigurationAndFailedOpening)
{
    SKIP_WITHOUT_PRODUCT_ROOT();
    unit::ProductFile product(KX_ADMIN_CONF), pw(KX_ADMIN_PW);
    product.put(
        "admin.server.name = first\n  site.key \t=  some value = x  \nadmin.server.name=second\n"
        "  #indented=yes\nblank =   \nadmin.defaultlocale=C\nadmin.defaultlocale = de_DE "
        "\nadmin.debug=d\n"
        "admin.server.timeout=4\n");
    DStimeout = 10;
    for (auto [key, value] : {std::pair<const char *, const char *>{"admin.server.name", "first"},
                              {"site.key", "some value = x"},
                              {"#indented", "yes"},
                              {"blank", "(null)"},
                              {nullptr, "(null)"}})
        EXPECT_EQ(kxt::take(get_kxadmin_info(key)), value) << s(key);
    EXPECT_EQ(DStimeout * 10 + gdebug("d"), 100);
    EXPECT_EQ(kxt::take(get_defaultlocale()), "de_DE");
    EXPECT_EQ(DStimeout * 10 + gdebug("d"), 41);
    char mark[] = "unset", *path = mark;
    EXPECT_EQ(kx_DSConfigured(&path), KXE_SUCCESS);
    EXPECT_EQ(kxt::take(path), KX_ADMIN_CONF);
    product.put("admin.server.name=h\n");
    EXPECT_EQ(get_defaultlocale(), nullptr);
    product.remove(), kxt::clear_logs();
    EXPECT_TRUE(!get_kxadmin_info("admin.server.name") && !get_defaultlocale());
    EXPECT_TRUE(kx_DSConfigured(&(path = mark)) == KXE_NOENT && !path);
    EXPECT_EQ(kxt::logs(),
              "6 get_kxadmin_info(): Could not open config file (" KX_ADMIN_CONF ")\n\n"
              "6 read_config_file(): Could not open config file (" KX_ADMIN_CONF "), error 2\n\n"
              "6 get_defaultlocale(): Could not read config file (" KX_ADMIN_CONF ")\n\n");
    std::string port = std::to_string(kxt::Listener(1).port), uri = "ldap://127.0.0.1:" + port;
    std::string base =
        "admin.server.name=127.0.0.1\nadmin.server.port=" + port +
        "\nadmin.subtree=o=kxdata\nadmin.dstatus.dbfile=/d\nadmin.ustatus.dbfile=/u\n";
    struct {
        int mode;
        std::string text, result;
    } opens[] = {{3, base + "admin.user.name=cn=a\nadmin.debug=d\n",
                  "-1 -1\n6  \n\n6 running with debug options |d|\n\n6 (d) connecting to " + uri +
                      " as |cn=a|\n\n"
                      "6 open_connection(): Could not connect to LDAP server (" +
                      uri + ") - Connection refused\n\n"},
                 {1, "",
                  "-19 -1\n6 open_connection(): Could not find config file (" + conf +
                      ") - No such file or "
                      "directory\n\n"},
                 {3, base,
                  "-1 -1\n6 check_kxa(): kxa - user fields are not filled.\n\n"
                  "6 open_connection(): Config file (" +
                      conf + ") contents are incomplete\n\n"}};
    pw.put("nqzva");
    for (auto &r : opens) {
        r.text.empty() ? (void)unlink(conf.c_str()) : kxt::spit(conf, r.text);
        kxt::clear_logs();
        int err = 99, open_err = 99;
        KXAdmin k = _kx_dsConnect(r.mode, nullptr, nullptr, conf.data(), nullptr, &err);
        std::string logs = kxt::logs();
        KXAdmin o = open_connection(r.mode, nullptr, nullptr, conf.data(), &open_err);
        EXPECT_EQ(std::to_string(err) + " " + std::to_string(open_err) + "\n" + logs, r.result)
            << r.text;
        EXPECT_TRUE(!k && !o && (pw.remove(), true) && close_connection(nullptr) == 0);
    }
}

TEST_F(Files, ServerConfigurationFile)
{
    char text[] = "  x\\ y \"\"\t", *pos = nullptr, *argv[101];
    std::string toks, hundred, more;
    for (char *t = strtok_quote(text, " \t", &pos); t; t = strtok_quote(nullptr, " \t", &pos))
        toks += std::string(t) + "|";
    for (int i = 0; i < 100; ++i)
        more = (hundred += "t" + std::to_string(i) + " ") + "x";
    int argc = -1;
    fp_parse_line(hundred.data(), &argc, argv, 100);
    EXPECT_EQ(toks + (pos ? "" : "end") + std::to_string(argc) + argv[99] + (argv[100] ? "" : "|"),
              "x|y||end100t99|");
    EXPECT_EXIT(fp_parse_line(more.data(), &argc, argv, 100), testing::ExitedWithCode(1), "");
    const std::string ign = "line must appear inside a database definition", a992(992, 'a'),
                      big = "6 fp_getline(): buffer larger than 1000\n";
    auto msg = [&](const std::string &text, const char *tail = "") {
        return "6 read_ds_config(): " + text + " in " + dsd + " file." + tail + "\n";
    };
    struct {
        std::string text, result;
    } rows[] = {
        {"\t \n# nothing\n\n   \n#database ldbm\n", "0\n"},
        {"include /etc/schema\n\tdatabase LDBM\nsuffix \"o=kx data\"\nsuffix o=kxdata\nrootdn "
         "cn=one\n"
         "rootdn \"cn=root, o=kxdata\"\nreplica host=r1:389 binddn=x\npush_replica binddn=y "
         "HOST=r2\npull_replica x\n"
         "slave subtree=a referral=ldap://m1:389 replicadn=cn=r\n# "
         "between\n\treferral=ldap://m2:390 SUBTREE=b\n"
         "slave referral=ldap://m3:391\nmaster subtree=x junk subtree=y referral=r "
         "replicadn=d\ndatabase bdb\n",
         "0\nldbm [o=kx data,o=kxdata] cn=root, o=kxdata [r1:389,r2] S{[ldap://m3:391]}"
         "{b a [ldap://m1:389,ldap://m2:390] cn=r} M{y x []}\n- [] - [] S M\n"},
        {"suffix o=e\nrootdn cn=e\n# note\nreplica host=e\nslave referral=ldap://x:1\n  "
         "\nmaster\ndatabase ldbm\n"
         "suffix o=kxdata extra more\n\treplica binddn=nohost\nreplica binddn=x\n",
         "0\nldbm [o=kxdata] - [] S M\n" + msg("[line 1] suffix " + ign, " (ignored)") +
             msg("[line 3] rootdn " + ign, " (ignored)") +
             msg("[line 4] replica " + ign, " (ignored)") +
             msg("[line 6] slave " + ign, " (ignored)") +
             msg("[line 7] master " + ign, " (ignored)") +
             msg("[line 10] extra nonsense after <dn> in \"suffix extra\" "
                 "line",
                 " (ignored)") +
             msg("[line 11] missing host in \"replica\" line", " (ignored)")},
        {"database ldbm\nsuffix\n\t" + a992 + "\n", "0\nldbm [" + a992 + "] - [] S M\n"},
        {"database\n", "-1\n" + msg("[line 1] missing type in \"database <type>\" line")},
        {"database ldbm\nsuffix\n", "-1\n" + msg("[line 2] missing dn in \"suffix <dn>\" line")},
        {"# c\ndatabase ldbm\nrootdn\n",
         "-1\n" + msg("[line 3] missing dn in \"rootdn <dn>\" line")},
        {"database ldbm\nreplica\n",
         "-1\n6 read_ds_config(): [line 2] missing host in \"replica <host[:port]>\" "
         "line in" +
             dsd + " file.\n"},
        {"database ldbm\nsuffix\n\t" + a992 + "a\n", "-1\n" + big}};
    for (auto &r : rows)
        EXPECT_EQ(read_ds(r.text), r.result) << r.text;
    kxt::clear_logs();
    BackendTable none{0, 0, nullptr};
    std::string missing = std::to_string(read_ds_config_file(&none, (dsd + "x").c_str()));
    EXPECT_EQ(missing + kxt::logs(), "-196 read_ds_config(): could not open config file \"" + dsd +
                                         "x\" (No such file "
                                         "or directory)\n");
    read_ds("database bdb\nsuffix o=x\ndatabase ldbm\nsuffix kxdata\nsuffix xo=other\n");
    for (auto [dn, index] :
         {std::pair{"o=KXDATA", 1}, {"o=xo=other", 1}, {"O=X", 0}, {"o=other", -1}, {"", -1}}) {
        Backend *be = select_backend(&table, dn);
        EXPECT_EQ(be ? be - table.backends : -1, index) << dn;
    }
}

TEST(Primary, DiscoveryProbesAndTheWriteGuard)
{
    SKIP_WITHOUT_PRODUCT_ROOT();
    unit::ProductFile conf(KX_DSD_CONF);
    kxt::Listener server(8);
    char name[256] = "", lo[] = "127.0.0.1", nowhere[] = "no-such-host.invalid";
    gethostname(name, sizeof name);
    std::string
        closed = std::to_string(kxt::Listener(1).port),
        up = std::to_string(server.port), me = name, head = "database ldbm\nsuffix \"o=kxdata\"\n",
        port = "6 kx_getDSprimary(): invalid or missing port number in datastore config file.\n",
        nofile =
            "6 read_ds_config(): could not open config file \"" KX_DSD_CONF "\" (No such file or "
            "directory)\n",
        guard = "6 check_primary(): unable to retrieve LDAP primary server info - ";
    auto run = [&](const std::string &text, bool with_guard) {
        text.empty() ? conf.remove() : conf.put(text);
        return unit::in_child([&] {
            std::string out = primary() + " ";
            out += std::to_string(kx_isDSprimary());
            out += with_guard ? " " + std::to_string(check_primary()) : "";
            return out + "\n" + kxt::logs();
        });
    };
    struct {
        std::string text;
        bool guard;
        std::string result;
    } rows[] = {
        {head + "master subtree=o=kxdata\nslave referral=ldap://x:1\n", true,
         "0 " + me + " -1 1 0\n"},
        {head + "slave referral=ldap://old:1\nslave referral=ldap://127.0.0.1:" + up +
             " referral=ldap://b:2\n",
         true, "0 127.0.0.1 " + up + " 0 0\n"},
        {head + "slave referral=ldap://ds1\n", true,
         "-26 (null) -1 0 -26\n" + port + port + port + port + guard + "Configuration error\n"},
        {head + "slave referral=ldap://ds1:0\nslave replicadn=cn=x\n", false,
         "-26 (null) -1 0\n" + port + port},
        {"database ldbm\nsuffix o=other\nmaster\n", false, "-4 (null) -1 0\n"},
        {head, false, "0 " + me + " -1 1\n"},
        {"", true,
         "-19 (null) -1 0 -19\n" + nofile + nofile + nofile + nofile + guard +
             "File or directory does "
             "not exist\n"}};
    for (auto &r : rows)
        EXPECT_EQ(run(r.text, r.guard), r.result) << r.text;
    std::string got = run(head + "slave referral=ldap://127.0.0.1:" + closed + "\n", true);
    EXPECT_NE(got.find("6 check_primary(): failed to contact LDAP primary server - "),
              std::string::npos)
        << got;
    for (char &c : me)
        c = static_cast<char>(toupper(c));
    EXPECT_EQ(kx_pingDShost(lo, server.port, 2) + kx_pingDShost(lo, server.port, 0) +
                  kx_pingDShost(me.data(), -1, 1) + kx_pingDShost(nowhere, 389, 1) * 100 +
                  kx_pingDShost(nullptr, 389, 1) + kx_pingDShost(lo, 389, -1) +
                  kx_pingDShost(lo, 0, 1),
              100 * KXE_NOTFOUND + 3 * KXE_INVAL);
}
