// Who may run kxcrypto, the command line against the real directory, and
// what happens when no administration session can be opened.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "e2e_support.h"
#include "kx_paths.h"

namespace e2e {
namespace {

// ---- the command line ---------------------------------------------------------------

using KxcryptoCommandLine = Kxcrypto;

TEST_F(KxcryptoCommandLine, HelpPrintsTheUsage)
{
    EXPECT_RUN(kxcrypto({"-h"}), 0, kUsage, "");
    EXPECT_RUN(kxcrypto({"-h", "-h"}), 0, kUsage, "");
    EXPECT_EQ(stored(), "<no entry>");
}

TEST_F(KxcryptoCommandLine, RefusedCommandLinesChangeNothing)
{
    ASSERT_EQ(kxcrypto({"-a", "mode=hard"}).status, 0);
    const std::string help = "kxcrypto: Cannot specify -h with other options.\n" + kUsage;
    const std::string file = "kxcrypto: -f must be used with either -e or -o.\n" + kUsage;
    auto stray = [](const std::string &word) {
        return "kxcrypto: malformed command line. Unexpected argument: " + word + "\n" + kUsage;
    };
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-a", "-d"}, kOneOp},
        {{"-d", "-d"}, kOneOp},
        {{"-md", "mode=soft"}, kOneOp},
        {{"-o", "-e"}, kOneOp},
        {{"-a", "-d", "-x"}, kOneOp},
        {{"-d", "stray", "more"}, stray("stray")},
        {{"-o", "mode=soft"}, stray("mode=soft")},
        {{"-e", "-f", "in.csv", "stray"}, stray("stray")},
        {{"-h", "stray"}, stray("stray")},
        {{"-h", "-d"}, help},
        {{"-f", "x", "-h"}, help},
        {{"-f", "x"}, file},
        {{"-d", "-f", "x"}, file},
        {{"-m", "-f", "x", "mode=soft"}, file},
        {{"-x"}, "kxcrypto: invalid option -- 'x'\n" + kUsage},
        {{"-o", "-f"}, "kxcrypto: option requires an argument -- 'f'\n" + kUsage},
    };
    for (const auto &c : cases) {
        std::string line;
        for (const auto &a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        EXPECT_RUN(kxcrypto(c.args), 1, "", c.err);
        EXPECT_EQ(stored(), "mode=hard");
    }
}

TEST_F(KxcryptoCommandLine, WordsWithoutAnOperationDoNothing)
{
    EXPECT_RUN(kxcrypto({"word"}), 0, "", "");
    // Scanning stops at the first word: the -d after it is not an option.
    ASSERT_EQ(kxcrypto({"-a", "mode=hard"}).status, 0);
    EXPECT_RUN(kxcrypto({"word", "-d"}), 0, "", "");
    EXPECT_RUN(kxcrypto({"mode=soft"}), 0, "", "");
    EXPECT_EQ(stored(), "mode=hard");
}

TEST_F(KxcryptoCommandLine, OptionsMayBeGroupedAndTheEndMarked)
{
    EXPECT_RUN(kxcrypto({"-a", "--", "mode=hard"}), 0, kAdded + kRestart, "");
    EXPECT_EQ(stored(), "mode=hard");
    std::string out = scratch_ + "/export.csv";
    EXPECT_RUN(kxcrypto({"-of", out}), 0, "", "");
    EXPECT_EQ(slurp(out), "tokenID=default.token,mode=hard\n");
}

// ---- callers other than root -----------------------------------------------------------

using KxcryptoNonRoot = Kxcrypto;

TEST_F(KxcryptoNonRoot, DisplayThroughAnAnonymousSession)
{
    const std::string log_path = bed()["KX_SLAPD_LOG"];
    std::size_t log_start = slurp(log_path).size();
    EXPECT_RUN(kxcrypto_as(65534, 65534, {}), 0, builtin_display(), "");
    std::string log = slurp(log_path).substr(log_start);
    EXPECT_NE(log.find("BIND dn=\"cn=anonymous\" method=128"), std::string::npos) << log;
    EXPECT_EQ(log.find("BIND dn=\"" + bed()["KX_ADMIN_DN"] + "\""), std::string::npos) << log;
    // Root binds as the administrator for the same display.
    log_start = slurp(log_path).size();
    EXPECT_RUN(kxcrypto({}), 0, builtin_display(), "");
    log = slurp(log_path).substr(log_start);
    EXPECT_NE(log.find("BIND dn=\"" + bed()["KX_ADMIN_DN"] + "\" method=128"), std::string::npos) << log;

    ASSERT_EQ(kxcrypto({"-a", "enc_up_type=ARCFOUR", "mode=hard"}).status, 0);
    EXPECT_RUN(kxcrypto_as(65534, 65534, {}), 0,
               display({{"enc_up_type", "ARCFOUR", ' '},
                        {"mode", "hard", ' '},
                        {"enc_down_type", "none", '*'},
                        {"auth_up_type", "none", '*'},
                        {"auth_down_type", "none", '*'}}),
               "");
}

TEST_F(KxcryptoNonRoot, ErrorsCarryTheProgramPathAsInvoked)
{
    put_crypto_string("mode=hard,mode=soft");
    EXPECT_RUN(kxcrypto_as(65534, 65534, {}), 1, "", std::string(KXCRYPTO_BIN) + ": Internal system error\n");
}

TEST_F(KxcryptoNonRoot, AnyArgumentIsRefused)
{
    ASSERT_EQ(kxcrypto({"-a", "mode=hard"}).status, 0);
    const std::string refused = std::string(KXCRYPTO_BIN) + ": Must be root to set configuration.\n";
    for (auto ids : {std::pair{65534, 65534}, std::pair{65534, 0}, std::pair{0, 65534}}) {
        for (const auto &args : std::vector<std::vector<std::string>>{
                 {"-d"}, {"-m", "mode=soft"}, {"-a", "mode=soft"}, {"-o"}, {"-h"}, {"-e"}, {"word"}, {""}}) {
            std::string line;
            for (const auto &a : args)
                line += a + " ";
            SCOPED_TRACE(std::to_string(ids.first) + "/" + std::to_string(ids.second) + ": " + line);
            EXPECT_RUN(kxcrypto_as(ids.first, ids.second, args), 1, "", refused);
        }
    }
    EXPECT_EQ(stored(), "mode=hard");
}

// ---- no session -----------------------------------------------------------------------

// A TCP port on the loopback that nothing listens on while this object
// lives: bound, never listening.
class DeadPort {
public:
    DeadPort()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~DeadPort()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

const std::vector<std::vector<std::string>> kEveryKind = {
    {}, {"-h"}, {"-d"}, {"-a", "mode=soft"}, {"-m", "mode=soft"}, {"-o"}, {"-e"}, {"word"}, {"-x"}, {"-a", "-d"},
};

using KxcryptoNoSession = Kxcrypto;

TEST_F(KxcryptoNoSession, ServerDownEndsEveryInvocation)
{
    ASSERT_EQ(kxcrypto({"-a", "mode=hard"}).status, 0);
    DeadPort dead;
    ASSERT_NE(dead.port(), 0);
    {
        SwappedFile conf(KX_ADMIN_CONF,
                         with_setting(slurp(KX_ADMIN_CONF), "admin.server.port", std::to_string(dead.port())));
        for (const auto &args : kEveryKind) {
            std::string line;
            for (const auto &a : args)
                line += a + " ";
            SCOPED_TRACE(line);
            EXPECT_RUN(kxcrypto(args, "tokenID=default,mode=soft\n"), 1, "", kNoConnect);
        }
        EXPECT_RUN(kxcrypto_as(65534, 65534, {}), 1, "", std::string(KXCRYPTO_BIN) + ": Could not connect to admin server.\n");
    }
    EXPECT_EQ(stored(), "mode=hard");
    // With the configuration back the tool reaches the server again.
    EXPECT_RUN(kxcrypto({"-o"}), 0, "tokenID=default.token,mode=hard\n", "");
}

TEST_F(KxcryptoNoSession, WrongPasswordInThePasswordFile)
{
    ASSERT_EQ(kxcrypto({"-a", "mode=hard"}).status, 0);
    {
        SwappedFile pw(KX_ADMIN_PW, rot13("kx-Wrong-Secret2") + "\n");
        ASSERT_NE(slurp(KX_ADMIN_PW), rot13(bed()["KX_ADMIN_PW"]) + "\n");
        for (const auto &args : kEveryKind) {
            std::string line;
            for (const auto &a : args)
                line += a + " ";
            SCOPED_TRACE(line);
            EXPECT_RUN(kxcrypto(args, "tokenID=default,mode=soft\n"), 1, "", kNoConnect);
        }
        // The anonymous session needs no password.
        EXPECT_RUN(kxcrypto_as(65534, 65534, {}), 0,
                   display({{"mode", "hard", ' '},
                            {"enc_up_type", "none", '*'},
                            {"enc_down_type", "none", '*'},
                            {"auth_up_type", "none", '*'},
                            {"auth_down_type", "none", '*'}}),
                   "");
    }
    EXPECT_EQ(stored(), "mode=hard");
    EXPECT_RUN(kxcrypto({"-m", "mode=soft"}), 0, kModified + kRestart, "");
    EXPECT_EQ(stored(), "mode=soft");
}

TEST_F(KxcryptoNoSession, PasswordFileInPlainTextIsWrong)
{
    // The file holds the password in ROT13; the clear text is another one.
    SwappedFile pw(KX_ADMIN_PW, bed()["KX_ADMIN_PW"] + "\n");
    EXPECT_RUN(kxcrypto({"-a", "mode=hard"}), 1, "", kNoConnect);
    EXPECT_RUN(kxcrypto({}), 1, "", kNoConnect);
    EXPECT_EQ(stored(), "<no entry>");
}

TEST_F(KxcryptoNoSession, MissingPasswordFile)
{
    {
        SwappedFile pw(KX_ADMIN_PW, "", /*remove=*/true);
        EXPECT_RUN(kxcrypto({"-a", "mode=hard"}), 1, "", kNoConnect);
        EXPECT_RUN(kxcrypto({}), 1, "", kNoConnect);
        EXPECT_RUN(kxcrypto_as(65534, 65534, {}), 0, builtin_display(), "");
    }
    EXPECT_EQ(stored(), "<no entry>");
}

} // namespace
} // namespace e2e
