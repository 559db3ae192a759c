// Administration and server configuration files, session failures needing no
// server, and primary discovery and probing (its caches live in children).
#include "unit.h"

using unit::s;
using unit::Said;

namespace {
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

struct Files : testing::Test {
    std::string dir = kxt::scratch("conf"), conf = dir + "/kxadmin.conf", dsd = dir + "/kxdsd.conf";
    int saved = DStimeout;
    BackendTable table{0, 0, nullptr};
    void TearDown() override { DStimeout = saved, set_gdebug(nullptr), free_backend(&table); }
    // A record filled by read_config_file from the text, and f's result for it.
    template <class F> auto read(const std::string &text, F f)
    {
        kxt::spit(conf, text);
        KXAdminStruct *k = allocate_kxa();
        EXPECT_EQ(read_config_file(k, conf.c_str()), KXE_SUCCESS) << text;
        auto got = f(k);
        return free_kxa(k), got;
    }
    std::string record(const std::string &text)
    {
        return read(text, [](KXAdminStruct *k) {
            return s(k->server_name) + "|" + std::to_string(k->server_port) + "|" +
                   s(k->user_name) + "|" + s(k->subtree) + "|" + s(k->dstatus_fname) + "|" +
                   s(k->ustatus_fname) + "|" + s(k->defaultlocale);
        });
    }
    // read_ds_config_file of the text: its result, the table and the log.
    std::tuple<int, std::string, std::string> read_ds(const std::string &text)
    {
        kxt::spit(dsd, text);
        free_backend(&table), kxt::clear_logs();
        int rc = read_ds_config_file(&table, dsd.c_str());
        std::string backends;
        for (Backend *b = table.backends; b && b < table.backends + table.count; ++b)
            backends += s(b->type) + " " + list(b->suffixes) + " " + s(b->rootdn) + " " +
                        list(b->replicas) + " S" + trees(b->slaves) + " M" + trees(b->masters) +
                        "\n";
        return {rc, backends, kxt::logs()};
    }
};
}  // namespace

TEST_F(Files, ConfigurationFile)
{
    const std::string u495(495, 'u'), l491(491, 'l'), s497(497, 's'),
        none = "(null)|0|(null)|(null)|(null)|(null)|(null)";
    unit::expect_rows<std::string>(
        {{"every key",
          record("# settings\n\nadmin.server.name = ds1\nadmin.server.port\t=\t389\nadmin.user.name"
                 "=cn=M, o=kxdata\nadmin.subtree=o=kxdata\nadmin.dstatus.dbfile=/d\nadmin.ustatus"
                 ".dbfile=/u\nadmin.defaultlocale=en\nx.y=v\n"),
          "ds1|389|cn=M, o=kxdata|o=kxdata|/d|/u|en"},
         {"lines skipped",
          record("#admin.server.name=c\n  # admin.server.name = x\nadmin.server.name\nadmin.subtree"
                 " =   \t\n  =  v\n=\nx\n \nAdmin.Server.Name=case\nadmin.server.port=7\n"
                 "admin.server.port=0\nadmin.server.port=389x\n"),
          none},
         {"last wins, split at the first =",
          record("admin.server.name=first\nadmin.server.name=dos\r\nadmin.subtree==lead=kept=\n"
                 "admin.defaultlocale=last"),
          "dos\r|0|(null)|=lead=kept=|(null)|(null)|last"},
         {"pieces of 511 characters",
          record("#" + std::string(510, 'c') + "admin.server.name=hidden\nadmin.subtree=" +
                 std::string(600, 's') + "\nadmin.defaultlocale=" + l491 +
                 "\nadmin.user.name=" + u495 + "admin.ustatus.dbfile=/u\n"),
          "hidden|0|" + u495 + "|" + s497 + "|(null)|/u|" + l491}});
    // check_kxa of a record read from the text, in a mode, and its log.
    auto checked = [&](const std::string &text, int mode) {
        return read(text, [&](KXAdminStruct *k) {
            k->mode = mode;
            int rc = 0;
            std::string logged = kxt::logs_of([&] { rc = check_kxa(k); });
            return Said{rc, logged};
        });
    };
    const std::string important = "6 check_kxa(): kxa - important fields are not filled.\n\n",
                      all = "admin.server.name=h\nadmin.server.port=1\nadmin.subtree=o\n"
                            "admin.dstatus.dbfile=/d\nadmin.ustatus.dbfile=/u\n",
                      user = "admin.user.name=cn=a\n";
    auto without = [&](const std::string &key) {
        size_t at = all.find(key);
        return user + all.substr(0, at) + all.substr(all.find('\n', at) + 1);
    };
    unit::expect_rows<Said>(
        {{"mode 3", checked(all + user, 3), {KXE_SUCCESS, ""}},
         {"no user name, mode 1", checked(all, 1), {KXE_SUCCESS, ""}},
         {"no user name, mode 3",
          checked(all, 3),
          {KXE_INTERNAL, "6 check_kxa(): kxa - user fields are not filled.\n\n"}},
         {"no server name", checked(without("admin.server.name"), 1), {KXE_INTERNAL, important}},
         {"no port", checked(without("admin.server.port"), 1), {KXE_INTERNAL, important}},
         {"no subtree", checked(without("admin.subtree"), 1), {KXE_INTERNAL, important}},
         {"no dstatus", checked(without("admin.dstatus"), 1), {KXE_INTERNAL, important}},
         {"no ustatus", checked(without("admin.ustatus"), 1), {KXE_INTERNAL, important}}});
    int rc = 0;
    EXPECT_EQ(kxt::logs_of([&] { rc = check_kxa(nullptr); }), important);
    EXPECT_EQ(rc, KXE_INTERNAL);
    auto opened = [](const std::string &path) {
        KXAdminStruct *k = allocate_kxa();
        int rc = 0;
        std::string logged = kxt::logs_of([&] { rc = read_config_file(k, path.c_str()); });
        return free_kxa(k), Said{rc, logged};
    };
    const std::string cannot = "6 read_config_file(): Could not open config file (";
    unit::expect_rows<Said>(
        {{"missing", opened(dir + "/none"), {KXE_NOENT, cannot + dir + "/none), error 2\n\n"}},
         {"below a file",
          opened(conf + "/x"),
          {KXE_FILEACCESS, cannot + conf + "/x), error 20\n\n"}}});
    KXAdminStruct *k = allocate_kxa();  // NULL arguments: nothing happens
    set_kxa_val(nullptr, "admin.debug", "x"), set_kxa_val(k, nullptr, "x"), free_kxa(k);
}

TEST_F(Files, ProcessSettingsAndPasswordFile)
{
    auto timeout = [&](const std::string &value) {
        DStimeout = 25;
        return read("admin.server.timeout = " + value + "\n", [](KXAdminStruct *) { return 0; }),
               DStimeout;
    };
    unit::expect_rows<int>({{"seconds, blank after", timeout("7 "), 7},
                            {"negative", timeout("-5"), 25},
                            {"past INT_MAX", timeout("2147483648"), 25}});
    std::string logged = kxt::logs_of([&] { record("admin.debug = d\n"); });
    EXPECT_TRUE(unit::has(logged, "6 running with debug options |d|\n"));
    EXPECT_EQ(gdebug("d"), 1);
    EXPECT_EQ(gdebug("a"), 0);
    // The password and the error code of the file at path, first holding text.
    std::string pw = dir + "/kxadmin.pw";
    auto password = [&](const char *text, const std::string &path = "") {
        if (text)
            kxt::spit(pw, text);
        int err = 12345;
        std::string got = kxt::take(read_passwd_file((path.empty() ? pw : path).c_str(), &err));
        return Said{err, got};
    };
    unit::expect_rows<Said>(
        {{"empty", password(""), {KXE_INTERNAL, "(null)"}},
         {"blank", password("  \t \n"), {KXE_INTERNAL, "(null)"}},
         {"first line", password(" \t Frperg-123 Nz \t\nsecond line\n"), {0, "Secret-123 Am"}},
         {"600 characters", password(std::string(600, 'n').c_str()), {0, std::string(511, 'a')}},
         {"missing", password(nullptr, dir + "/none"), {KXE_NOENT, "(null)"}}});
    EXPECT_EQ(read_passwd_file(nullptr, nullptr), nullptr);
}

TEST_F(Files, ProductConfiguration)
{
    SKIP_WITHOUT_PRODUCT_ROOT();
    unit::ProductFile product(KX_ADMIN_CONF);
    product.put("admin.server.name = first\n  site.key \t=  some value = x  \n"
                "admin.server.name=second\n  #indented=yes\nblank =   \nadmin.defaultlocale=C\n"
                "admin.defaultlocale = de_DE \nadmin.debug=d\nadmin.server.timeout=4\n");
    DStimeout = 10;
    auto info = [](const char *key) { return kxt::take(get_kxadmin_info(key)); };
    unit::expect_rows<std::string>({{"first of two", info("admin.server.name"), "first"},
                                    {"empty value", info("blank"), "(null)"},
                                    {"null key", info(nullptr), "(null)"}});
    EXPECT_EQ(DStimeout, 10);  // get_kxadmin_info applies nothing
    EXPECT_EQ(gdebug("d"), 0);
    EXPECT_EQ(kxt::take(get_defaultlocale()), "de_DE");
    EXPECT_EQ(DStimeout, 4);
    EXPECT_EQ(gdebug("d"), 1);
    char mark[] = "unset", *path = mark;
    EXPECT_EQ(kx_DSConfigured(&path), KXE_SUCCESS);
    EXPECT_EQ(kxt::take(path), KX_ADMIN_CONF);
    product.put("admin.server.name=h\n");
    EXPECT_EQ(get_defaultlocale(), nullptr);
    product.remove();
    EXPECT_EQ(kxt::logs_of([] { EXPECT_EQ(get_kxadmin_info("admin.server.name"), nullptr); }),
              "6 get_kxadmin_info(): Could not open config file (" KX_ADMIN_CONF ")\n\n");
    EXPECT_EQ(kxt::logs_of([] { EXPECT_EQ(get_defaultlocale(), nullptr); }),
              "6 read_config_file(): Could not open config file (" KX_ADMIN_CONF "), error 2\n\n"
              "6 get_defaultlocale(): Could not read config file (" KX_ADMIN_CONF ")\n\n");
    EXPECT_EQ(kx_DSConfigured(&(path = mark)), KXE_NOENT);
    EXPECT_EQ(path, nullptr);
}

TEST_F(Files, FailedOpening)
{
    SKIP_WITHOUT_PRODUCT_ROOT();
    unit::ProductFile pw(KX_ADMIN_PW);
    pw.put("nqzva");
    std::string port = std::to_string(kxt::Listener(1).port), uri = "ldap://127.0.0.1:" + port,
                base = "admin.server.name=127.0.0.1\nadmin.subtree=o=kxdata\nadmin.dstatus.dbfile="
                       "/d\nadmin.ustatus.dbfile=/u\nadmin.server.port=" +
                       port + "\n";
    // With the configuration file holding text: _kx_dsConnect's error code
    // and log, and open_connection's error code (KXE_INTERNAL whatever the
    // reason); neither opens a session.
    auto connect = [&](int mode, const std::string &text) {
        text.empty() ? (void)unlink(conf.c_str()) : kxt::spit(conf, text);
        int err = 99, open_err = 99;
        KXAdmin k = nullptr, o = nullptr;
        std::string logged = kxt::logs_of(
            [&] { k = _kx_dsConnect(mode, nullptr, nullptr, conf.data(), nullptr, &err); });
        o = open_connection(mode, nullptr, nullptr, conf.data(), &open_err);
        EXPECT_TRUE(!k && !o) << "a session opened";
        return std::tuple{err, logged, open_err};
    };
    const std::string refused = "6 (d) connecting to " + uri +
                                " as |cn=a|\n\n6 open_connection("
                                "): Could not connect to LDAP server (" +
                                uri +
                                ") - Connection "
                                "refused\n\n";
    unit::expect_rows<std::tuple<int, std::string, int>>(
        {{"no configuration file",
          connect(1, ""),
          {KXE_NOENT,
           "6 open_connection(): Could not find config file (" + conf +
               ") - No such file or directory\n\n",
           KXE_INTERNAL}},
         {"no user name",
          connect(3, base),
          {KXE_INTERNAL,
           "6 check_kxa(): kxa - user fields are not filled.\n\n6 open_connection():"
           " Config file (" +
               conf + ") contents are incomplete\n\n",
           KXE_INTERNAL}},
         {"mode 5", connect(5, base), {KXE_INVAL, "", KXE_INTERNAL}}});
    auto [err, logged, open_err] = connect(3, base + "admin.user.name=cn=a\nadmin.debug=d\n");
    EXPECT_EQ(err, KXE_INTERNAL);
    EXPECT_TRUE(unit::has(logged, refused)) << "connection refused";
    EXPECT_EQ(open_err, KXE_INTERNAL);
    EXPECT_EQ(close_connection(nullptr), 0);
}

TEST_F(Files, ServerConfigurationFile)
{
    char text[] = "  x\\ y \"\"\t", *pos = nullptr, *argv[101];
    unit::Strings tokens;
    for (char *t = strtok_quote(text, " \t", &pos); t; t = strtok_quote(nullptr, " \t", &pos))
        tokens.push_back(t);
    EXPECT_EQ(tokens, (unit::Strings{"x", "y", ""}));
    EXPECT_EQ(pos, nullptr);
    std::string hundred, more;
    for (int i = 0; i < 100; ++i)
        more = (hundred += "t" + std::to_string(i) + " ") + "x";
    int argc = -1;
    fp_parse_line(hundred.data(), &argc, argv, 100);
    EXPECT_EQ(argc, 100);
    EXPECT_STREQ(argv[99], "t99");
    EXPECT_EQ(argv[100], nullptr);
    EXPECT_EXIT(fp_parse_line(more.data(), &argc, argv, 100), testing::ExitedWithCode(1), "");
    const std::string ign = "line must appear inside a database definition", a992(992, 'a');
    auto msg = [&](const std::string &text, const char *tail = "") {
        return "6 read_ds_config(): " + text + " in " + dsd + " file." + tail + "\n";
    };
    unit::expect_rows<std::tuple<int, std::string, std::string>>(
        {{"comments and blank lines",
          read_ds("\t \n# nothing\n\n   \n#database ldbm\n"),
          {0, "", ""}},
         {"every keyword",
          read_ds("include /etc/schema\n\tdatabase LDBM\nsuffix \"o=kx data\"\nsuffix o=kxdata\n"
                  "rootdn cn=one\nrootdn \"cn=root, o=kxdata\"\nreplica host=r1:389 binddn=x\n"
                  "push_replica binddn=y HOST=r2\npull_replica x\nslave subtree=a referral="
                  "ldap://m1:389 replicadn=cn=r\n# between\n\treferral=ldap://m2:390 SUBTREE=b\n"
                  "slave referral=ldap://m3:391\nmaster subtree=x junk subtree=y referral=r "
                  "replicadn=d\ndatabase bdb\n"),
          {0,
           "ldbm [o=kx data,o=kxdata] cn=root, o=kxdata [r1:389,r2] S{[ldap://m3:391]}"
           "{b a [ldap://m1:389,ldap://m2:390] cn=r} M{y x []}\n(null) [] (null) [] S M\n",
           ""}},
         {"lines ignored",
          read_ds("suffix o=e\nrootdn cn=e\n# note\nreplica host=e\nslave referral=ldap://x:1\n  "
                  "\nmaster\ndatabase ldbm\nsuffix o=kxdata extra more\n\treplica binddn=nohost\n"
                  "replica binddn=x\n"),
          {0, "ldbm [o=kxdata] (null) [] S M\n",
           msg("[line 1] suffix " + ign, " (ignored)") +
               msg("[line 3] rootdn " + ign, " (ignored)") +
               msg("[line 4] replica " + ign, " (ignored)") +
               msg("[line 6] slave " + ign, " (ignored)") +
               msg("[line 7] master " + ign, " (ignored)") +
               msg("[line 10] extra nonsense after <dn> in \"suffix extra\" line", " (ignored)") +
               msg("[line 11] missing host in \"replica\" line", " (ignored)")}},
         {"999 characters",
          read_ds("database ldbm\nsuffix\n\t" + a992 + "\n"),
          {0, "ldbm [" + a992 + "] (null) [] S M\n", ""}},
         {"database without type",
          read_ds("database\n"),
          {-1, "", msg("[line 1] missing type in \"database <type>\" line")}},
         {"suffix without dn",
          read_ds("database ldbm\nsuffix\n"),
          {-1, "", msg("[line 2] missing dn in \"suffix <dn>\" line")}},
         {"rootdn without dn",
          read_ds("# c\ndatabase ldbm\nrootdn\n"),
          {-1, "", msg("[line 3] missing dn in \"rootdn <dn>\" line")}},
         {"replica without host",
          read_ds("database ldbm\nreplica\n"),
          {-1, "",
           "6 read_ds_config(): [line 2] missing host in \"replica <host[:port]>\" line in" + dsd +
               " file.\n"}},
         {"1000 characters",
          read_ds("database ldbm\nsuffix\n\t" + a992 + "a\n"),
          {-1, "", "6 fp_getline(): buffer larger than 1000\n"}}});
    BackendTable none{0, 0, nullptr};
    EXPECT_EQ(kxt::logs_of(
                  [&] { EXPECT_EQ(read_ds_config_file(&none, (dsd + "x").c_str()), KXE_NOENT); }),
              "6 read_ds_config(): could not open config file \"" + dsd +
                  "x\" (No such file or directory)\n");
    read_ds("database bdb\nsuffix o=x\ndatabase ldbm\nsuffix kxdata\nsuffix xo=other\n");
    auto index = [&](const char *dn) {
        Backend *be = select_backend(&table, dn);
        return be ? be - table.backends : -1;
    };
    unit::expect_rows<long>({{"trailing characters", index("o=KXDATA"), 1},
                             {"whole dn", index("O=X"), 0},
                             {"suffix longer than dn", index("o=other"), -1}});
}

TEST(Primary, DiscoveryProbesAndTheWriteGuard)
{
    SKIP_WITHOUT_PRODUCT_ROOT();
    unit::ProductFile conf(KX_DSD_CONF);
    kxt::Listener server(8);
    char name[256] = "", lo[] = "127.0.0.1", nowhere[] = "no-such-host.invalid";
    gethostname(name, sizeof name);
    std::string closed = std::to_string(kxt::Listener(1).port), up = std::to_string(server.port),
                me = name, head = "database ldbm\nsuffix \"o=kxdata\"\n",
                port = "6 kx_getDSprimary(): invalid or missing port number in datastore config "
                       "file.\n",
                nofile = "6 read_ds_config(): could not open config file \"" KX_DSD_CONF
                         "\" (No such file or directory)\n";
    // body's texts and then the log, in a child (fresh caches) with the
    // file holding text; a child that failed gives fewer.
    auto child = [&](const std::string &text, const std::function<unit::Strings()> &body) {
        text.empty() ? conf.remove() : conf.put(text);
        unit::Strings got = unit::in_child([&] {
            unit::Strings out = body();
            return out.push_back(kxt::logs()), out;
        });
        return got.resize(4), got;
    };
    auto found = [&](const std::string &text) {  // kx_getDSprimary's result, host, port, log
        unit::Strings got = child(text, [] {
            char *host = nullptr;
            int port = 0, rc = kx_getDSprimary(&host, &port);
            return unit::Strings{std::to_string(rc), kxt::take(host), std::to_string(port)};
        });
        return std::tuple{atoi(got[0].c_str()), got[1], atoi(got[2].c_str()), got[3]};
    };
    auto primary = [&](const std::string &text) {
        return atoi(
            child(text, [] { return unit::Strings{std::to_string(kx_isDSprimary())}; })[0].c_str());
    };
    auto guard = [&](const std::string &text) {  // check_primary's result and its own message
        unit::Strings got =
            child(text, [] { return unit::Strings{std::to_string(check_primary())}; });
        std::string &log = got[1];  // its last record
        return Said{atoi(got[0].c_str()),
                    log.substr(log.empty() ? 0 : log.rfind('\n', log.size() - 2) + 1)};
    };
    const std::string master = head + "master subtree=o=kxdata\nslave referral=ldap://x:1\n",
                      slave = head +
                              "slave referral=ldap://old:1\nslave referral=ldap://"
                              "127.0.0.1:" +
                              up + " referral=ldap://b:2\n",
                      no_port = head + "slave referral=ldap://ds1\n",
                      no_referral = head + "slave referral=ldap://ds1:1\nslave replicadn=cn=x\n",
                      other = "database ldbm\nsuffix o=other\nmaster\n",
                      unable = "6 check_primary(): unable to retrieve LDAP primary server info - ";
    using Found = std::tuple<int, std::string, int, std::string>;
    unit::expect_rows<Found>(
        {{"master line", found(master), {KXE_SUCCESS, me, -1, ""}},
         {"first referral of the last slave line",
          found(slave),
          {KXE_SUCCESS, "127.0.0.1", server.port, ""}},
         {"referral without port", found(no_port), {KXE_CONFIG, "(null)", -1, port}},
         {"last slave line without referral", found(no_referral), {KXE_CONFIG, "(null)", -1, port}},
         {"no definition of o=kxdata", found(other), {KXE_NOTFOUND, "(null)", -1, ""}},
         {"neither master nor slave", found(head), {KXE_SUCCESS, me, -1, ""}},
         {"no file", found(""), {KXE_NOENT, "(null)", -1, nofile}}});
    unit::expect_rows<int>({{"master line", primary(master), 1},
                            {"slave line", primary(slave), 0},
                            {"no definition of o=kxdata", primary(other), 0}});
    unit::expect_rows<Said>({{"this host", guard(master), {KXE_SUCCESS, ""}},
                             {"primary answers", guard(slave), {KXE_SUCCESS, ""}},
                             {"referral without port",
                              guard(no_port),
                              {KXE_CONFIG, unable + "Configuration error\n"}}});
    Said refused = guard(head + "slave referral=ldap://127.0.0.1:" + closed + "\n");
    EXPECT_NE(refused.first, KXE_SUCCESS);
    EXPECT_TRUE(
        unit::has(refused.second, "6 check_primary(): failed to contact LDAP primary server"));
    for (char &c : me)
        c = static_cast<char>(toupper(c));
    unit::expect_rows<int>({{"listening", kx_pingDShost(lo, server.port, 2), KXE_SUCCESS},
                            {"no time limit", kx_pingDShost(lo, server.port, 0), KXE_SUCCESS},
                            {"this host", kx_pingDShost(me.data(), -1, 1), KXE_SUCCESS},
                            {"unknown host", kx_pingDShost(nowhere, 389, 1), KXE_NOTFOUND},
                            {"no host", kx_pingDShost(nullptr, 389, 1), KXE_INVAL},
                            {"negative time limit", kx_pingDShost(lo, 389, -1), KXE_INVAL},
                            {"port 0", kx_pingDShost(lo, 0, 1), KXE_INVAL}});
}
