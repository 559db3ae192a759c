// Questions the library asks the host: the local authentication policy (from
// the product's policy command), whether it lets pseudo tokens in, where a
// package is installed (from the System V package tool) and the process
// environment.  The policy command and the package tool are replaced by
// small shell scripts at their places below the product root, each printing
// what the test needs.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kx_paths.h"
#include "syslog_capture.h"
#include "utils.h"

namespace {

std::string dirname_of(const std::string &path)
{
    return path.substr(0, path.rfind('/'));
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string sh_quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct LogRecord {
    int priority;
    std::string text;
};

std::vector<LogRecord> captured()
{
    std::vector<LogRecord> out;
    for (int i = 0; i < kxcap_count(); ++i) {
        int pri = -1;
        const char *m = kxcap_message(i, &pri);
        out.push_back({pri, m ? m : ""});
    }
    return out;
}

class HostQuery : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(KX_PRODUCT_ROOT).empty())
            GTEST_SKIP() << "the stand-in commands would go to the real product paths";
        char tmpl[] = "/tmp/kxhostq.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        scratch_ = tmpl;
        make_dirs(dirname_of(KX_POLICY_CMD));
        make_dirs(dirname_of(KX_PKGINFO_CMD));
        ASSERT_FALSE(exists(KX_POLICY_CMD)) << "a policy command is already in place";
        ASSERT_FALSE(exists(KX_PKGINFO_CMD)) << "a package tool is already in place";
        set_suppress_output(0);
        set_gdebug(nullptr);
        kxcap_clear();
    }
    void TearDown() override
    {
        if (scratch_.empty())
            return;
        std::remove(KX_POLICY_CMD);
        std::remove(KX_PKGINFO_CMD);
        for (auto it = made_.rbegin(); it != made_.rend(); ++it)
            rmdir(it->c_str());
        std::system(("rm -rf " + sh_quote(scratch_)).c_str());
        kxcap_clear();
    }
    void make_dirs(const std::string &dir)
    {
        if (dir.empty() || exists(dir))
            return;
        make_dirs(dirname_of(dir));
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir << ": " << std::strerror(errno);
        made_.push_back(dir);
    }
    void script(const std::string &path, const std::string &body)
    {
        {
            std::ofstream out(path);
            out << "#!/bin/sh\n" << body << "\n";
        }
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    }
    // The policy command prints exactly text and ends with status.
    void policy(const std::string &text, int status = 0)
    {
        std::string data = scratch_ + "/policy.out";
        std::ofstream(data, std::ios::binary) << text;
        script(KX_POLICY_CMD, "cat " + sh_quote(data) + "\nexit " + std::to_string(status));
    }
    // The package tool records its arguments, then runs body.
    void pkginfo(const std::string &body)
    {
        script(KX_PKGINFO_CMD, "printf '%s\\n' \"$@\" > " + sh_quote(ran()) + "\n" + body);
    }
    std::string ran() const { return scratch_ + "/pkginfo.args"; }
    std::string local_policy()
    {
        char *text = get_local_policy();
        std::string out = text ? text : "(null)";
        std::free(text);
        return out;
    }
    std::string package_root(const std::string &name, bool *null_result)
    {
        char *root = get_package_root(name.c_str());
        *null_result = root == nullptr;
        std::string out = root ? root : "";
        std::free(root);
        return out;
    }

    std::string scratch_;
    std::vector<std::string> made_;
};

// ---- the policy text -----------------------------------------------------------

TEST_F(HostQuery, LocalPolicyIsTheOutputWithoutCommentsAndFinalNewline)
{
    struct Case {
        std::string output, text;
    };
    std::string long_line(300, 'w');
    const std::vector<Case> cases = {
        {"-r card -z pseudo\n", "-r card -z pseudo"},
        {"-r pseudo", "-r pseudo"},
        {"# generated\n-r pseudo\n#-r card\n", "-r pseudo"},
        {" # indented\n-r pseudo\n", " # indented\n-r pseudo"},
        {"-r card\n-z pseudo\n", "-r card\n-z pseudo"},
        {"-r pseudo\n\n", "-r pseudo\n"},
        {"", ""},
        {"#only a comment\n", ""},
        {long_line + "\n" + long_line + "\n" + long_line + "\n", long_line + "\n" + long_line + "\n" + long_line},
        // The output is read in pieces of 127 characters: the rest of a long
        // comment line is a piece of its own.
        {"#" + std::string(126, 'c') + "-r pseudo\n", "-r pseudo"},
        {"#" + std::string(126, 'c') + "\n-r pseudo\n", "\n-r pseudo"},
        {"#" + std::string(125, 'c') + "\n-r pseudo\n", "-r pseudo"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("output [" + c.output + "]");
        policy(c.output);
        EXPECT_EQ(local_policy(), c.text);
    }
}

TEST_F(HostQuery, TheStatusOfThePolicyCommandIsNotLookedAt)
{
    policy("-r pseudo\n", 3);
    EXPECT_EQ(local_policy(), "-r pseudo");
    EXPECT_EQ(pseudo_allowed(), 15);
}

TEST_F(HostQuery, PseudoAllowedByPolicy)
{
    struct Case {
        const char *output;
        int result;
    };
    const std::vector<Case> cases = {
        {"", 11},
        {"-r card", 12},
        {"-r pseudo", 15},
        {"-r both", 15},
        {"-r pseudo -s both", 11},
        {"-r pseudo -s pseudo", 11},
        {"-r both -s both", 11},
        {"-r pseudo -s card", 15},
        {"-s both -r pseudo", 11},
        {"-z pseudo", 11},
        {"-z both", 11},
        {"-z card", 12},
        {"-r card -z pseudo", 11},
        {"-z pseudo -r card", 11},
        {"-r pseudo -z pseudo", 11},
        {"-z pseudo -r pseudo", 15},
        {"-r pseudo -r card", 15},
        {"-r card -r pseudo", 15},
        {"-r card -z card", 12},
        {"-s both", 11},
        {"-s both -r card", 12},
        {"-x pseudo -r card -y both", 12},
        {"card pseudo both", 11},
        {"-r unknown", 11},
        // A flag that is the last word has no value.
        {"-r", 11},
        {"-r pseudo -s", 15},
        {"-r pseudo -z", 15},
        {"-r card -r", 12},
        // A value word taken by a flag is not a flag itself, but the checks
        // that follow on the same word see it.
        {"-s -r pseudo", 11},
        {"-r -z card", 12},
        {"-r pseudo -r -s both", 11},
        {"-z -r pseudo", 11},
        // Two lines: the newline stays inside a word.
        {"-r card\n-r pseudo", 11},
        {"-r\npseudo\n", 11},
        {"-r pseudo\n", 15},
        {"# -r card\n-r pseudo\n", 15},
        {"-r card\n# -r pseudo\n", 12},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("output [") + c.output + "]");
        policy(c.output);
        EXPECT_EQ(pseudo_allowed(), c.result);
    }
}

// ---- the package root --------------------------------------------------------------

TEST_F(HostQuery, PackageRootIsTheOneLineOfThePackageTool)
{
    bool null_result = true;
    pkginfo("echo /opt/QRLNkx");
    EXPECT_EQ(package_root("QRLNkxsrv", &null_result), "/opt/QRLNkx");
    EXPECT_FALSE(null_result);
    EXPECT_EQ(slurp(ran()), "-r\nQRLNkxsrv\n");

    // What the tool writes on its error stream is not read.
    pkginfo("echo 'pkginfo: warning' >&2\necho /var/opt");
    EXPECT_EQ(package_root("SUNWcsr", &null_result), "/var/opt");
    EXPECT_FALSE(null_result);

    pkginfo("printf /opt/nolf");
    EXPECT_EQ(package_root("SUNWcsr", &null_result), "/opt/nolf");
    EXPECT_FALSE(null_result);

    pkginfo("echo");
    EXPECT_EQ(package_root("SUNWcsr", &null_result), "");
    EXPECT_FALSE(null_result);

    pkginfo("echo '/opt/with blanks  '");
    EXPECT_EQ(package_root("pkg-name_1.2+x", &null_result), "/opt/with blanks  ");
    EXPECT_FALSE(null_result);
    EXPECT_EQ(slurp(ran()), "-r\npkg-name_1.2+x\n");
    EXPECT_TRUE(captured().empty());
}

TEST_F(HostQuery, PackageToolOutputOfTwoLinesOrNone)
{
    for (const char *body : {"echo /opt/a\necho /opt/b", "true", "exit 0", "exit 1", "printf '\\n\\n'"}) {
        SCOPED_TRACE(body);
        pkginfo(body);
        kxcap_clear();
        bool null_result = false;
        package_root("SUNWcsr", &null_result);
        EXPECT_TRUE(null_result);
        auto log = captured();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].priority, LOG_INFO);
        EXPECT_EQ(log[0].text, "get_package_root(): Got unexpected data from pkginfo\n");
    }
}

TEST_F(HostQuery, PackageToolFailing)
{
    for (const char *body : {"echo /opt/QRLNkx\nexit 1", "echo /opt/QRLNkx\nexit 2"}) {
        SCOPED_TRACE(body);
        pkginfo(body);
        kxcap_clear();
        bool null_result = false;
        package_root("SUNWcsr", &null_result);
        EXPECT_TRUE(null_result);
        auto log = captured();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].priority, LOG_INFO);
        EXPECT_EQ(log[0].text, "get_package_root(): Could not get package location\n");
    }
}

TEST_F(HostQuery, PackageNamesThatCannotBeQueried)
{
    pkginfo("echo /opt/QRLNkx");
    std::string injected = ran() + ".injected";
    const std::vector<std::string> names = {
        std::string(99, 'p'),
        std::string(200, 'p'),
        "SUNWcsr;touch " + injected,
        "SUNWcsr && touch " + injected,
        "SUNWcsr|touch " + injected,
        "$(touch " + injected + ")",
        "`touch " + injected + "`",
        "SUNWcsr >" + injected,
        "SUNW'csr",
        "SUNW\"csr",
        "SUNW csr",
        "SUNWcsr\ntouch " + injected,
    };
    for (const auto &name : names) {
        SCOPED_TRACE("name [" + name + "]");
        bool null_result = false;
        package_root(name, &null_result);
        EXPECT_TRUE(null_result);
        EXPECT_FALSE(exists(ran())) << "the package tool ran";
        EXPECT_FALSE(exists(injected)) << "a command in the name ran";
        std::remove(ran().c_str());
        std::remove(injected.c_str());
    }
}

// ---- the environment ------------------------------------------------------------------

// Strings that the environment no longer points to once a variable is set
// again; kept reachable here until the process ends.
const char *volatile replaced_value = nullptr;

TEST_F(HostQuery, EnvironmentVariables)
{
    EXPECT_EQ(get_env_var("KX_HOSTQ_NEVER_SET"), nullptr);

    set_env_var("KX_HOSTQ_ONE", "value 1");
    ASSERT_NE(getenv("KX_HOSTQ_ONE"), nullptr);
    EXPECT_STREQ(getenv("KX_HOSTQ_ONE"), "value 1");
    // The environment's own string, not a copy.
    EXPECT_EQ(get_env_var("KX_HOSTQ_ONE"), getenv("KX_HOSTQ_ONE"));

    set_env_var("KX_HOSTQ_EQ", "a=b");
    EXPECT_STREQ(get_env_var("KX_HOSTQ_EQ"), "a=b");
    set_env_var("KX_HOSTQ_EMPTY", "");
    ASSERT_NE(get_env_var("KX_HOSTQ_EMPTY"), nullptr);
    EXPECT_STREQ(get_env_var("KX_HOSTQ_EMPTY"), "");

    set_env_var("KX_HOSTQ_TWO", "first");
    replaced_value = get_env_var("KX_HOSTQ_TWO");
    set_env_var("KX_HOSTQ_TWO", "second");
    EXPECT_STREQ(get_env_var("KX_HOSTQ_TWO"), "second");

    // Programs started afterwards see the variables.
    FILE *child = popen("printf '%s|%s' \"$KX_HOSTQ_ONE\" \"$KX_HOSTQ_TWO\"", "r");
    ASSERT_NE(child, nullptr);
    char buf[64] = {0};
    size_t n = fread(buf, 1, sizeof buf - 1, child);
    pclose(child);
    EXPECT_EQ(std::string(buf, n), "value 1|second");
}

} // namespace
