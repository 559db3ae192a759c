// The real kxcrypto against the test bed's directory: a first pass through
// the main operations.

#include <string>

#include <gtest/gtest.h>

#include "testbed_env.h"
#include "tool_runner.h"

namespace {

ToolResult kxcrypto(std::vector<std::string> args, const std::string &input = "")
{
    ToolRun run;
    run.argv.push_back(KXCRYPTO_BIN);
    run.argv.insert(run.argv.end(), args.begin(), args.end());
    run.argv0 = "kxcrypto";
    run.input = input;
    return run_tool(run);
}

TEST(KxcryptoSmoke, AddDisplayExportDelete)
{
    ASSERT_TRUE(TestBed::get().loaded);
    ToolResult r = kxcrypto({"-a", "enc_up_type=ARCFOUR", "mode=hard"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Configuration successfully added.\n"
                     "A warm or cold restart of services must be performed.\n");
    EXPECT_EQ(r.status, 0);
    r = kxcrypto({"-o"});
    EXPECT_EQ(r.out, "tokenID=default.token,enc_up_type=ARCFOUR,mode=hard\n");
    EXPECT_EQ(r.status, 0);
    r = kxcrypto({"-d"});
    EXPECT_EQ(r.status, 0);
    r = kxcrypto({"-d"});
    EXPECT_EQ(r.err, "kxcrypto: Configuration for the default token doesn't exist.\n");
    EXPECT_EQ(r.status, 1);
}

} // namespace
