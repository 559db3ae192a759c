// kxcrypto when things go wrong around it: the directory server dying in the
// middle of a batch, a primary server that never answers, crypto strings at
// and beyond the stored limit.  The suite runs on a test bed of its own
// (ctest: kxcrypto.faults), since it kills its directory server.

#include <chrono>
#include <filesystem>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_support.h"
#include "kx_paths.h"

namespace {

using namespace e2e;

// A loopback port whose accept queue is full: connection attempts get no
// answer, as from a host that is down or cut off.
class SilentPort {
public:
    SilentPort()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(listener_, 0);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        for (int i = 0; i < 4; ++i) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
            fillers_.push_back(c);
        }
        usleep(100000);
    }
    ~SilentPort()
    {
        for (int c : fillers_)
            close(c);
        close(listener_);
    }
    int port() const { return port_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

class Faults : public Kxcrypto {
protected:
    void TearDown() override
    {
        if (!server_killed_) {
            Kxcrypto::TearDown();
            return;
        }
        std::error_code ec;
        std::filesystem::remove_all(scratch_, ec);
    }
    bool server_killed_ = false;
};

TEST_F(Faults, SilentPrimaryIsGivenUpAfterTheConfiguredTimeout)
{
    SilentPort silent;
    std::string conf = slurp(KX_ADMIN_CONF);
    SwappedFile timeout(KX_ADMIN_CONF, with_setting(conf, "admin.server.timeout", "2"));
    SwappedFile dsd(KX_DSD_CONF, "database ldbm\nsuffix o=kxdata\nslave subtree=o=kxdata\n"
                                 "\treferral=ldap://127.0.0.1:" +
                                     std::to_string(silent.port()) + "\n");
    auto start = std::chrono::steady_clock::now();
    ToolResult r = kxcrypto({"-a", "mode=hard"});
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_RUN(r, 1, "", kCannotAdd);
    // One probe of the primary per write, each given up after 2 seconds.
    EXPECT_GE(took, 2.0);
    EXPECT_LT(took, 15.0);
    EXPECT_EQ(stored(), "<no entry>");

    // Reading needs no primary.
    EXPECT_RUN(kxcrypto({}), 0, builtin_display(), "");
}

TEST_F(Faults, AdministrationFilesMissingUnreadableOrEmpty)
{
    std::string conf = slurp(KX_ADMIN_CONF);
    {
        SwappedFile empty(KX_ADMIN_CONF, "");
        EXPECT_RUN(kxcrypto({}), 1, "", kNoConnect);
        EXPECT_RUN(kxcrypto({"-d"}), 1, "", kNoConnect);
    }
    {
        SwappedFile gone(KX_ADMIN_CONF, "", true);
        EXPECT_RUN(kxcrypto({"-h"}), 1, "", kNoConnect);
    }
    {
        SwappedFile empty(KX_ADMIN_PW, "");
        EXPECT_RUN(kxcrypto({"-h"}), 1, "", kNoConnect);
        // An anonymous display needs no password.
        ToolResult r = kxcrypto_as(65534, 65534, {});
        EXPECT_EQ(r.status, 0);
    }
    {
        // Readable by root only: a display by another user cannot read it.
        SwappedFile locked(KX_ADMIN_CONF, conf);
        ASSERT_EQ(chmod(KX_ADMIN_CONF, 0600), 0);
        EXPECT_RUN(kxcrypto_as(65534, 65534, {}), 1, "",
                   std::string(KXCRYPTO_BIN) + ": Could not connect to admin server.\n");
        EXPECT_RUN(kxcrypto({"-h"}), 0, kUsage, "");
    }
    // The status databases: a session needs both.
    std::string dstatus = bed()["KX_DSTATUS_DB"];
    for (const char *part : {".pag", ".dir"}) {
        SCOPED_TRACE(part);
        std::string file = dstatus + part;
        SwappedFile gone(file, "", true);
        EXPECT_RUN(kxcrypto({"-h"}), 1, "", kNoConnect);
    }
    {
        SwappedFile garbage(dstatus + ".pag", "not a database\n");
        EXPECT_RUN(kxcrypto({"-h"}), 1, "", kNoConnect);
    }
    EXPECT_RUN(kxcrypto({"-h"}), 0, kUsage, "");
}

TEST_F(Faults, CryptoStringsAtAndBeyondTheStoredLimit)
{
    // A stored string of exactly 9,999 characters reads back whole.
    std::string limit;
    while (limit.size() < 9999 - 20)
        limit += "k" + std::to_string(limit.size()) + "=v,";
    limit += "last=" + std::string(9999 - limit.size() - 5, 'x');
    ASSERT_EQ(limit.size(), 9999u);
    put_crypto_string(limit);
    EXPECT_RUN(kxcrypto({"-o"}), 0, "tokenID=default.token," + limit + "\n", "");

    // A field of 512 characters or more cannot be read; the tool reports it
    // and goes on working.
    put_crypto_string("mode=" + std::string(600, 'h'));
    EXPECT_RUN(kxcrypto({}), 1, "", kInternal);
    EXPECT_RUN(kxcrypto({"-o"}), 1, "", kInternal);
    EXPECT_RUN(kxcrypto({"-m", "mode=soft"}), 1, "", kInternal);

    // A string of 20,000 characters of short pairs reads back whole.
    std::string many;
    while (many.size() < 20000)
        many += "k" + std::to_string(many.size()) + "=v,";
    many.pop_back();
    put_crypto_string(many);
    ToolResult r = kxcrypto({"-o"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "tokenID=default.token," + many + "\n");
}

TEST_F(Faults, DirectoryServerKilledInTheMiddleOfABatch)
{
    // Runs last in this suite: the server does not come back.
    std::string batch = scratch_ + "/batch";
    {
        std::ofstream out(batch);
        for (int i = 1; i <= 400; ++i)
            out << "tokenID=default,mode=" << (i % 2 ? "hard" : "soft") << "\n";
    }
    std::string out_path = scratch_ + "/out", err_path = scratch_ + "/err";
    pid_t pid = fork();
    if (pid == 0) {
        freopen(out_path.c_str(), "w", stdout);
        freopen(err_path.c_str(), "w", stderr);
        execl(KXCRYPTO_BIN, "kxcrypto", "-e", "-f", batch.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    // Let some lines through, then kill the server.
    ASSERT_TRUE(eventually([&] { return slurp(out_path).find("on line 20\n") != std::string::npos; }, 30));
    pid_t slapd = std::stoi(bed()["KX_SLAPD_PID"]);
    ASSERT_EQ(kill(slapd, SIGKILL), 0);
    server_killed_ = true;

    int status = 0;
    bool ended = false;
    for (int i = 0; i < 600 && !ended; ++i) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        if (!ended)
            usleep(100000);
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << "kxcrypto did not finish after its directory server died";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::string out = slurp(out_path), err = slurp(err_path);
    // Every line is accounted for: processed before the kill, skipped after.
    int processed = -1, skipped = -1;
    auto at = out.find(" lines successfully processed.\n");
    ASSERT_NE(at, std::string::npos) << out;
    processed = std::stoi(out.substr(out.rfind('\n', at) + 1));
    auto sk = out.find(" lines skipped due to errors.\n");
    ASSERT_NE(sk, std::string::npos);
    skipped = std::stoi(out.substr(out.rfind('\n', sk) + 1));
    EXPECT_EQ(processed + skipped, 400);
    EXPECT_GE(processed, 20);
    EXPECT_GT(skipped, 0);
    EXPECT_NE(err.find("...skipping\n"), std::string::npos);
    EXPECT_TRUE(out.size() >= kRestart.size() &&
                out.compare(out.size() - kRestart.size(), kRestart.size(), kRestart) == 0);
    // Each skipped line has its own message, the last one included.
    EXPECT_NE(err.find("line 400"), std::string::npos) << err.substr(err.size() > 400 ? err.size() - 400 : 0);
}

} // namespace
