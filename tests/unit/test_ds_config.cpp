// The directory server's configuration file, primary-server discovery and
// probing.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "admin_private.h"
#include "kx_paths.h"
#include "syslog_capture.h"

namespace {

std::vector<std::string> log_lines()
{
    std::vector<std::string> out;
    for (int i = 0; i < kxcap_count(); ++i)
        out.emplace_back(kxcap_message(i, nullptr));
    return out;
}

bool logged(const std::string &text)
{
    for (const auto &l : log_lines())
        if (l == text)
            return true;
    return false;
}

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/kxdsconf.XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string &name, const std::string &content) const
    {
        std::string p = path_ + "/" + name;
        std::ofstream(p) << content;
        return p;
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

struct Table {
    BackendTable t{0, 0, nullptr};
    ~Table() { free_backend(&t); }
};

class DsConfigRead : public ::testing::Test {
protected:
    void SetUp() override { kxcap_clear(); }
    int read(const std::string &content)
    {
        path_ = dir_.file("kxdsd.conf", content);
        free_backend(&table_.t);
        return read_ds_config_file(&table_.t, path_.c_str());
    }
    TempDir dir_;
    std::string path_;
    Table table_;
};

std::vector<std::string> strings(char **array)
{
    std::vector<std::string> out;
    for (char **a = array; a && *a; ++a)
        out.emplace_back(*a);
    return out;
}

std::vector<std::string> subtrees(const TreeS *t)
{
    std::vector<std::string> out;
    for (const SubtreeNode *n = t->subtrees; n; n = n->next)
        out.emplace_back(n->dn);
    return out;
}

// ---- logical lines and tokens ----------------------------------------------

TEST(FpGetline, JoinsContinuationsAndCountsLines)
{
    TempDir dir;
    std::string path = dir.file("f", "first a\n\tb c\n# comment\n  d\nsecond\n\n#tail\n");
    FILE *fp = fopen(path.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    char buf[1024] = "";
    char line[1000];
    int lineno = -1;

    ASSERT_EQ(fp_getline(fp, &lineno, buf, sizeof buf, line, sizeof line), 0);
    EXPECT_STREQ(line, "");  // the first call only primes the look-ahead
    EXPECT_EQ(lineno, 0);

    ASSERT_EQ(fp_getline(fp, &lineno, buf, sizeof buf, line, sizeof line), 0);
    EXPECT_STREQ(line, "first a\tb c  d");
    EXPECT_EQ(lineno, 4);

    ASSERT_EQ(fp_getline(fp, &lineno, buf, sizeof buf, line, sizeof line), 0);
    EXPECT_STREQ(line, "second");
    EXPECT_EQ(lineno, 5);

    // The empty line and the comment after it end the file: no more lines.
    EXPECT_EQ(fp_getline(fp, &lineno, buf, sizeof buf, line, sizeof line), KXE_NOMOREDATA);
    EXPECT_EQ(lineno, 7);
    fclose(fp);
}

TEST(FpGetline, IncludeLinesStandAlone)
{
    TempDir dir;
    std::string path = dir.file("f", "INCLUDE /x/y.schema\n\tnot a continuation\n");
    FILE *fp = fopen(path.c_str(), "r");
    char buf[1024] = "";
    char line[1000];
    int lineno = -1;
    ASSERT_EQ(fp_getline(fp, &lineno, buf, sizeof buf, line, sizeof line), 0);
    ASSERT_EQ(fp_getline(fp, &lineno, buf, sizeof buf, line, sizeof line), 0);
    EXPECT_STREQ(line, "INCLUDE /x/y.schema");
    // The blank-led line after it is not joined to it: it forms a line of
    // its own.
    ASSERT_EQ(fp_getline(fp, &lineno, buf, sizeof buf, line, sizeof line), 0);
    EXPECT_STREQ(line, "\tnot a continuation");
    EXPECT_EQ(fp_getline(fp, &lineno, buf, sizeof buf, line, sizeof line), KXE_NOMOREDATA);
    fclose(fp);
}

TEST(StrtokQuote, QuotesAndBackslashes)
{
    char text[] = "  suffix \"o=a b, c\"  x\\ y \"\"\t";
    char *pos = nullptr;
    std::vector<std::string> toks;
    for (char *t = strtok_quote(text, " \t", &pos); t; t = strtok_quote(nullptr, " \t", &pos))
        toks.emplace_back(t);
    // A backslash is removed and does not protect the blank after it.
    EXPECT_EQ(toks, (std::vector<std::string>{"suffix", "o=a b, c", "x", "y", ""}));
    EXPECT_EQ(pos, nullptr);
}

TEST(FpParseLine, HundredTokensAreAcceptedAndTheNextEndsTheProcess)
{
    std::string hundred;
    for (int i = 0; i < 100; ++i)
        hundred += "t" + std::to_string(i) + " ";
    std::vector<char> buf(hundred.begin(), hundred.end());
    buf.push_back('\0');
    char *argv[101];
    int argc = -1;
    fp_parse_line(buf.data(), &argc, argv, 100);
    EXPECT_EQ(argc, 100);
    EXPECT_STREQ(argv[99], "t99");
    EXPECT_EQ(argv[100], nullptr);

    TempDir dir;
    std::string capture = dir.path() + "/log";
    setenv("KX_SYSLOG_CAPTURE", capture.c_str(), 1);
    std::string more = hundred + "extra";
    EXPECT_EXIT(
        {
            std::vector<char> b(more.begin(), more.end());
            b.push_back('\0');
            char *v[101];
            int c = 0;
            fp_parse_line(b.data(), &c, v, 100);
        },
        ::testing::ExitedWithCode(1), "");
    unsetenv("KX_SYSLOG_CAPTURE");
    std::ifstream in(capture);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(content.find("6\tfp_parse_line(): Too many tokens (max 100)\n"), std::string::npos)
        << content;
}

// ---- the reader --------------------------------------------------------------

TEST_F(DsConfigRead, CommentsAndEmptyLinesOnly)
{
    EXPECT_EQ(read("# nothing\n\n   \n#database ldbm\n"), KXE_SUCCESS);
    EXPECT_EQ(table_.t.count, 0);
}

TEST_F(DsConfigRead, MissingFile)
{
    BackendTable t{0, 0, nullptr};
    std::string missing = dir_.path() + "/none.conf";
    EXPECT_EQ(read_ds_config_file(&t, missing.c_str()), KXE_NOENT);
    EXPECT_TRUE(logged("read_ds_config(): could not open config file \"" + missing +
                       "\" (No such file or directory)"));
}

TEST_F(DsConfigRead, DefinitionsSuffixesAndTopology)
{
    ASSERT_EQ(read("include /etc/schema\n"
                   "database LDBM\n"
                   "suffix \"o=kx data\"\n"
                   "suffix o=kxdata\n"
                   "rootdn cn=one\n"
                   "rootdn \"cn=root, o=kxdata\"\n"
                   "replica host=r1:389 binddn=x\n"
                   "push_replica binddn=y HOST=r2\n"
                   "pull_replica whatever\n"
                   "slave subtree=a referral=ldap://m1:389 replicadn=cn=r\n"
                   "\treferral=ldap://m2:390 SUBTREE=b\n"
                   "# between\n"
                   "slave referral=ldap://m3:391\n"
                   "master subtree=x junk subtree=y\n"
                   "database bdb\n"
                   "suffix o=other\n"),
              KXE_SUCCESS);
    ASSERT_EQ(table_.t.count, 2);
    const Backend &be = table_.t.backends[0];
    EXPECT_STREQ(be.type, "ldbm");
    EXPECT_EQ(strings(be.suffixes), (std::vector<std::string>{"o=kx data", "o=kxdata"}));
    EXPECT_STREQ(be.rootdn, "cn=root, o=kxdata");
    EXPECT_EQ(strings(be.replicas), (std::vector<std::string>{"r1:389", "r2"}));
    // Last slave line first; referrals in line order; subtrees last first.
    ASSERT_NE(be.slaves, nullptr);
    EXPECT_EQ(strings(be.slaves->referrals), (std::vector<std::string>{"ldap://m3:391"}));
    ASSERT_NE(be.slaves->next, nullptr);
    EXPECT_EQ(strings(be.slaves->next->referrals),
              (std::vector<std::string>{"ldap://m1:389", "ldap://m2:390"}));
    EXPECT_EQ(subtrees(be.slaves->next), (std::vector<std::string>{"b", "a"}));
    EXPECT_STREQ(be.slaves->next->replicadn, "cn=r");
    ASSERT_NE(be.masters, nullptr);
    EXPECT_EQ(subtrees(be.masters), (std::vector<std::string>{"y", "x"}));
    EXPECT_EQ(be.masters->referrals, nullptr);
    EXPECT_EQ(table_.t.backends[1].type, nullptr);

    EXPECT_EQ(select_backend(&table_.t, "o=kxdata"), &table_.t.backends[0]);
    EXPECT_EQ(select_backend(&table_.t, "ou=x,O=OTHER"), &table_.t.backends[1]);
    EXPECT_EQ(select_backend(&table_.t, "o=elsewhere"), nullptr);
}

TEST_F(DsConfigRead, SelectBackendComparesTrailingCharacters)
{
    ASSERT_EQ(read("database ldbm\nsuffix O=KXDATA\n"), KXE_SUCCESS);
    EXPECT_NE(select_backend(&table_.t, "o=kxdata"), nullptr);
    ASSERT_EQ(read("database ldbm\nsuffix kxdata\n"), KXE_SUCCESS);
    EXPECT_NE(select_backend(&table_.t, "o=kxdata"), nullptr);
    ASSERT_EQ(read("database ldbm\nsuffix xo=kxdata\n"), KXE_SUCCESS);
    EXPECT_EQ(select_backend(&table_.t, "o=kxdata"), nullptr);
    ASSERT_EQ(read("database ldbm\n"), KXE_SUCCESS);
    EXPECT_EQ(select_backend(&table_.t, "o=kxdata"), nullptr);
}

TEST_F(DsConfigRead, MisplacedAndExtraLinesAreIgnoredWithMessages)
{
    ASSERT_EQ(read("suffix o=early\n"
                   "rootdn cn=early\n"
                   "replica host=early\n"
                   "slave referral=ldap://x:1\n"
                   "master\n"
                   "database ldbm\n"
                   "suffix o=kxdata extra more\n"
                   "replica binddn=nohost\n"),
              KXE_SUCCESS);
    const std::string f = path_;
    EXPECT_TRUE(logged("read_ds_config(): [line 1] suffix line must appear inside a database "
                       "definition in " + f + " file. (ignored)"));
    EXPECT_TRUE(logged("read_ds_config(): [line 2] rootdn line must appear inside a database "
                       "definition in " + f + " file. (ignored)"));
    EXPECT_TRUE(logged("read_ds_config(): [line 3] replica line must appear inside a database "
                       "definition in " + f + " file. (ignored)"));
    EXPECT_TRUE(logged("read_ds_config(): [line 4] slave line must appear inside a database "
                       "definition in " + f + " file. (ignored)"));
    EXPECT_TRUE(logged("read_ds_config(): [line 5] master line must appear inside a database "
                       "definition in " + f + " file. (ignored)"));
    EXPECT_TRUE(logged("read_ds_config(): [line 7] extra nonsense after <dn> in \"suffix extra\" "
                       "line in " + f + " file. (ignored)"));
    EXPECT_TRUE(logged("read_ds_config(): [line 8] missing host in \"replica\" line in " + f +
                       " file. (ignored)"));
    ASSERT_EQ(table_.t.count, 1);
    EXPECT_EQ(strings(table_.t.backends[0].suffixes), (std::vector<std::string>{"o=kxdata"}));
    EXPECT_EQ(table_.t.backends[0].replicas, nullptr);
}

TEST_F(DsConfigRead, StructuralErrorsFailTheWholeRead)
{
    struct Case {
        std::string content;
        std::string message;  // %s stands for the file's path
    } cases[] = {
        {"database\n", "read_ds_config(): [line 1] missing type in \"database <type>\" line in %s file."},
        {"database ldbm\nsuffix\n", "read_ds_config(): [line 2] missing dn in \"suffix <dn>\" line in %s file."},
        {"# c\ndatabase ldbm\nrootdn\n", "read_ds_config(): [line 3] missing dn in \"rootdn <dn>\" line in %s file."},
        {"database ldbm\nreplica\n",
         "read_ds_config(): [line 2] missing host in \"replica <host[:port]>\" line in%s file."},
        {"database ldbm\nsuffix\t\n", "read_ds_config(): [line 2] missing dn in \"suffix <dn>\" line in %s file."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content);
        kxcap_clear();
        EXPECT_EQ(read(c.content), -1);
        // Nothing is handed back after a failure.
        EXPECT_EQ(table_.t.count, 0);
        EXPECT_EQ(table_.t.backends, nullptr);
        std::string msg = c.message;
        msg.replace(msg.find("%s"), 2, path_);
        EXPECT_TRUE(logged(msg)) << msg;
    }
}

TEST_F(DsConfigRead, LogicalLineLimit)
{
    // 999 characters in a logical line are fine, 1000 are not: the
    // continuation lines count.
    std::string ok = "suffix " + std::string(989, 'a') + "\n\tbc\n";
    std::string head = "database ldbm\n";
    EXPECT_EQ(read(head + ok), KXE_SUCCESS);
    ASSERT_EQ(table_.t.count, 1);
    EXPECT_EQ(std::string(table_.t.backends[0].suffixes[0]), std::string(989, 'a'));

    kxcap_clear();
    std::string too_long = "suffix " + std::string(989, 'a') + "\n\tbcd\n";
    EXPECT_EQ(read(head + too_long), -1);
    EXPECT_TRUE(logged("fp_getline(): buffer larger than 1000"));

    // A physical line of 1000 characters fails as well.
    kxcap_clear();
    EXPECT_EQ(read(head + "suffix " + std::string(993, 'z') + "\n"), -1);
    EXPECT_TRUE(logged("fp_getline(): buffer larger than 1000"));
}

// ---- discovery and probing ------------------------------------------------------
// The primary server and the host name are cached for the life of the
// process, so every scenario runs in a child process of its own.

std::string local_host_name()
{
    char name[256] = "";
    gethostname(name, sizeof name);
    return name;
}

class Discovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = KX_DSD_CONF;
        std::string dir = path_.substr(0, path_.rfind('/'));
        ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
        saved_ = read_back(had_file_);
    }
    void TearDown() override
    {
        if (had_file_)
            std::ofstream(path_) << saved_;
        else
            std::remove(path_.c_str());
    }
    std::string read_back(bool &exists)
    {
        std::ifstream in(path_);
        exists = static_cast<bool>(in);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    void write(const std::string &content) { std::ofstream(path_) << content; }

    // Runs body in a child; it returns "" when all its checks held.
    void in_child(const std::function<std::string()> &body)
    {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            std::string r = body();
            if (::write(fds[1], r.data(), r.size()) < 0)
                _exit(2);
            _exit(0);
        }
        close(fds[1]);
        std::string out;
        char buf[512];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(out, "");
    }

    std::string path_;
    std::string saved_;
    bool had_file_ = false;
};

std::string primary(int expect_code, const std::string &expect_host, int expect_port)
{
    char *host = nullptr;
    int port = 0;
    int rc = kx_getDSprimary(&host, &port);
    std::string got = std::to_string(rc) + " " + (host ? host : "(null)") + " " + std::to_string(port);
    std::free(host);
    std::string want = std::to_string(expect_code) + " " + expect_host + " " + std::to_string(expect_port);
    return got == want ? "" : "kx_getDSprimary gave " + got + ", expected " + want + "\n";
}

TEST_F(Discovery, MasterLineMakesThisHostThePrimary)
{
    write("database ldbm\nsuffix \"o=kxdata\"\nmaster subtree=o=kxdata\n");
    in_child([] {
        std::string r = primary(KXE_SUCCESS, local_host_name(), -1);
        if (kx_isDSprimary() != 1)
            r += "not primary\n";
        std::string me = local_host_name();
        if (kx_pingDShost(me.data(), -1, 1) != KXE_SUCCESS)
            r += "probe of this host failed\n";
        if (check_primary() != KXE_SUCCESS)
            r += "check_primary failed\n";
        return r;
    });
}

TEST_F(Discovery, NeitherMasterNorSlaveMeansThisHost)
{
    write("database ldbm\nsuffix o=kxdata\n");
    in_child([] { return primary(KXE_SUCCESS, local_host_name(), -1); });
}

TEST_F(Discovery, SlaveLineNamesThePrimaryThroughItsReferral)
{
    write("database ldbm\nsuffix o=kxdata\n"
          "slave subtree=o=kxdata referral=ldap://old.example:1\n"
          "slave subtree=o=kxdata referral=ldap://ds1.example:389 referral=ldap://ds2:2\n");
    in_child([this] {
        std::string r = primary(KXE_SUCCESS, "ds1.example", 389);
        if (kx_isDSprimary() != 0)
            r += "claims to be primary\n";
        // Cached: a changed or removed file is not read again.
        std::remove(path_.c_str());
        r += primary(KXE_SUCCESS, "ds1.example", 389);
        return r;
    });
}

TEST_F(Discovery, ReferralWithoutPortIsAConfigurationErrorAndNotCached)
{
    write("database ldbm\nsuffix o=kxdata\nslave referral=ldap://ds1.example\n");
    in_child([this] {
        kxcap_clear();
        std::string r = primary(KXE_CONFIG, "(null)", -1);
        if (!logged("kx_getDSprimary(): invalid or missing port number in datastore config file."))
            r += "no message\n";
        write("database ldbm\nsuffix o=kxdata\nslave referral=ldap://ds1.example:0\n");
        r += primary(KXE_CONFIG, "(null)", -1);
        write("database ldbm\nsuffix o=kxdata\nslave replicadn=cn=x\n");
        r += primary(KXE_CONFIG, "(null)", -1);
        write("database ldbm\nsuffix o=kxdata\nslave referral=ds3:4000\n");
        r += primary(KXE_SUCCESS, "ds3", 4000);
        return r;
    });
}

TEST_F(Discovery, NoDefinitionOrNoFile)
{
    write("database ldbm\nsuffix o=other\nmaster\n");
    in_child([this] {
        std::string r = primary(KXE_NOTFOUND, "(null)", -1);
        if (kx_isDSprimary() != 0)
            r += "primary without definition\n";
        std::remove(path_.c_str());
        r += primary(KXE_NOENT, "(null)", -1);
        kxcap_clear();
        if (check_primary() != KXE_NOENT)
            r += "check_primary did not fail with the read error\n";
        if (!logged("check_primary(): unable to retrieve LDAP primary server info - File or "
                    "directory does not exist"))
            r += "check_primary gave no message\n";
        return r;
    });
}

// A loopback listener on a free port.
struct Listener {
    int fd = -1;
    int port = 0;
    explicit Listener(int backlog)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd, backlog);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
};

TEST(PingDShost, ReachableRefusedUnresolvableAndInvalid)
{
    char loopback[] = "127.0.0.1";
    Listener open_port(8);
    EXPECT_EQ(kx_pingDShost(loopback, open_port.port, 2), KXE_SUCCESS);
    EXPECT_EQ(kx_pingDShost(loopback, open_port.port, 0), KXE_SUCCESS);

    int closed_port;
    {
        Listener gone(1);
        closed_port = gone.port;
    }
    kxcap_clear();
    int refused = kx_pingDShost(loopback, closed_port, 2);
    EXPECT_TRUE(refused == KXE_REMOTE || refused == KXE_INTERNAL) << refused;
    if (refused == KXE_REMOTE)
        EXPECT_TRUE(logged("kx_pingDShost(): connect failed (Connection refused)"));
    else
        EXPECT_TRUE(logged("kx_pingDShost(): internal socket error 111"));

    char nowhere[] = "no-such-host.invalid";
    EXPECT_EQ(kx_pingDShost(nowhere, 389, 1), KXE_NOTFOUND);
    EXPECT_EQ(kx_pingDShost(nullptr, 389, 1), KXE_INVAL);
    EXPECT_EQ(kx_pingDShost(loopback, 389, -1), KXE_INVAL);
    EXPECT_EQ(kx_pingDShost(loopback, 0, 1), KXE_INVAL);
    EXPECT_EQ(kx_pingDShost(loopback, -1, 1), KXE_INVAL);
}

TEST(PingDShost, SilentServerTimesOut)
{
    // A listener whose accept queue is full drops further connection
    // attempts without an answer.
    Listener full(0);
    std::vector<int> clients;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(full.port));
    for (int i = 0; i < 4; ++i) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
        clients.push_back(c);
    }
    usleep(100000);
    char loopback[] = "127.0.0.1";
    EXPECT_EQ(kx_pingDShost(loopback, full.port, 1), KXE_TIMEOUT);
    for (int c : clients)
        close(c);
}

TEST_F(Discovery, CheckPrimaryProbesAReplicaPrimary)
{
    Listener primary_server(8);
    write("database ldbm\nsuffix o=kxdata\nslave referral=ldap://127.0.0.1:" +
          std::to_string(primary_server.port) + "\n");
    in_child([] { return check_primary() == KXE_SUCCESS ? "" : "check_primary failed\n"; });

    int closed_port;
    {
        Listener gone(1);
        closed_port = gone.port;
    }
    write("database ldbm\nsuffix o=kxdata\nslave referral=ldap://127.0.0.1:" +
          std::to_string(closed_port) + "\n");
    in_child([] {
        kxcap_clear();
        int rc = check_primary();
        std::string r;
        if (rc != KXE_REMOTE && rc != KXE_INTERNAL)
            r += "check_primary gave " + std::to_string(rc) + "\n";
        if (!logged(std::string("check_primary(): failed to contact LDAP primary server - ") +
                    kx_err2str(rc)))
            r += "no message\n";
        return r;
    });
}

} // namespace
