// kxcrypto's command line, checked byte for byte: standard output,
// standard error and exit status.  The tool runs here against a store kept
// in a local file (file_store.cpp), so every path of the option parsing and
// of the operations can be reached without a directory server.

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kxcrypto_texts.h"
#include "tool_runner.h"

namespace {

const std::string kUsage = kxcrypto_usage_text;

const std::string kRestart = "A warm or cold restart of services must be performed.\n";
const std::string kOneOp =
    "kxcrypto: Must perform one operation at a time.\n"
    "Please specify only one of the -a, -d, -e, -m\n"
    "and -o options.\n";
const std::string kNoConfig = "kxcrypto: Configuration for the default token doesn't exist.\n";

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_scratch_dir("cli");
        ASSERT_FALSE(dir_.empty());
        store_ = dir_ + "/store";
    }

    ToolRun command(std::vector<std::string> args) const
    {
        ToolRun run;
        run.argv.push_back(KXCRYPTO_PROBE);
        run.argv.insert(run.argv.end(), args.begin(), args.end());
        run.argv0 = "kxcrypto";
        run.env["KXCRYPTO_STORE"] = store_;
        return run;
    }

    ToolResult kx(std::vector<std::string> args, const std::string &input = "") const
    {
        ToolRun run = command(std::move(args));
        run.input = input;
        return run_tool(run);
    }

    ToolResult kx_env(std::vector<std::string> args, const std::string &key,
                      const std::string &value) const
    {
        ToolRun run = command(std::move(args));
        run.env[key] = value;
        return run_tool(run);
    }

    void store(const std::string &crypto) const
    {
        write_file(store_, crypto);
        chmod(store_.c_str(), 0666);
    }

    // The stored crypto string, or "<none>".
    std::string stored() const
    {
        std::string s;
        return read_file(store_, s) ? s : "<none>";
    }

    std::string calls() const
    {
        std::string s;
        return read_file(store_ + ".calls", s) ? s : "";
    }

    std::string dir_;
    std::string store_;
};

// Runs once, then compares all three outcomes.
#define EXPECT_RUN(r, status_, out_, err_)      \
    do {                                         \
        const ToolResult run_result_ = (r);      \
        EXPECT_EQ(run_result_.out, (out_));      \
        EXPECT_EQ(run_result_.err, (err_));      \
        EXPECT_EQ(run_result_.status, (status_)); \
    } while (0)

// ---- who may do what -------------------------------------------------------

TEST_F(Cli, NonRootWithAnyArgumentIsRefusedBeforeConnecting)
{
    for (auto ids : {std::pair{65534, 65534}, std::pair{65534, 0}, std::pair{0, 65534}}) {
        SCOPED_TRACE(std::to_string(ids.first) + "/" + std::to_string(ids.second));
        ToolRun run = command({"-h"});
        run.ruid = ids.first;
        run.euid = ids.second;
        ToolResult r = run_tool(run);
        EXPECT_RUN(r, 1, "", std::string(KXCRYPTO_PROBE) + ": Must be root to set configuration.\n");
        EXPECT_EQ(calls(), "");
    }
}

TEST_F(Cli, NonRootWithoutArgumentsGetsTheDisplayOnAnAnonymousSession)
{
    store("enc_up_type=ARCFOUR,mode=hard");
    ToolRun run = command({});
    run.ruid = run.euid = 65534;
    ToolResult r = run_tool(run);
    EXPECT_RUN(r, 0,
               "Token ID: default.token\n"
               "\tKey            \tValue          \tInherited      \n"
               "\t---\t\t-----\t\t-------\n"
               "\tenc_up_type    \tARCFOUR        \t \n"
               "\tmode           \thard           \t \n"
               "\tenc_down_type  \tnone           \t*\n"
               "\tauth_up_type   \tnone           \t*\n"
               "\tauth_down_type \tnone           \t*\n",
               "");
    EXPECT_EQ(calls(), "open_connection mode=1\nget default.token merge=1\n");
}

TEST_F(Cli, RootUsesThePasswordFileMode)
{
    ToolResult r = kx({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(calls(), "open_connection mode=3\nget default.token merge=1\n");
}

TEST_F(Cli, ProgramNameIsArgv0AsGiven)
{
    ToolRun run = command({"-x"});
    run.argv0 = "./some/dir/kxc";
    ToolResult r = run_tool(run);
    EXPECT_RUN(r, 1, "", "./some/dir/kxc: invalid option -- 'x'\n" + kUsage);
}

TEST_F(Cli, UnreachableServerEndsEveryInvocation)
{
    for (auto args : std::vector<std::vector<std::string>>{{}, {"-h"}, {"-d"}, {"word"}}) {
        ToolRun run = command(args);
        run.env["KXCRYPTO_STORE_DOWN"] = "1";
        ToolResult r = run_tool(run);
        EXPECT_RUN(r, 1, "", "kxcrypto: Could not connect to admin server.\n");
    }
}

// ---- option rules ----------------------------------------------------------

TEST_F(Cli, HelpPrintsUsageToStandardOutput)
{
    EXPECT_RUN(kx({"-h"}), 0, kUsage, "");
    EXPECT_RUN(kx({"-h", "-h"}), 0, kUsage, "");
    EXPECT_EQ(calls(), "open_connection mode=3\nopen_connection mode=3\n");
}

TEST_F(Cli, OneOperationAtATime)
{
    for (auto args : std::vector<std::vector<std::string>>{
             {"-a", "-d"}, {"-a", "-a"}, {"-ad"}, {"-o", "-e"}, {"-d", "-m", "mode=hard"},
             {"-e", "-f", "x", "-o"}, {"-h", "-d", "-d"}}) {
        EXPECT_RUN(kx(args), 1, "", kOneOp);
    }
    // The rule fires while parsing, before an unknown option is reached.
    EXPECT_RUN(kx({"-a", "-d", "-x"}), 1, "", kOneOp);
}

TEST_F(Cli, UnexpectedArgumentsAfterOptionsWithoutPairs)
{
    for (std::string opt : {"-d", "-o", "-e", "-h"}) {
        SCOPED_TRACE(opt);
        EXPECT_RUN(kx({opt, "stray", "more"}), 1, "",
                   "kxcrypto: malformed command line. Unexpected argument: stray\n" + kUsage);
    }
    EXPECT_RUN(kx({"-e", "-f", "in.txt", "stray"}), 1, "",
               "kxcrypto: malformed command line. Unexpected argument: stray\n" + kUsage);
    EXPECT_EQ(stored(), "<none>");
}

TEST_F(Cli, HelpWithOtherOptions)
{
    const std::string err = "kxcrypto: Cannot specify -h with other options.\n" + kUsage;
    EXPECT_RUN(kx({"-h", "-f", "x"}), 1, "", err);
    EXPECT_RUN(kx({"-f", "x", "-h"}), 1, "", err);
    EXPECT_RUN(kx({"-a", "-h"}), 1, "", err);
    EXPECT_RUN(kx({"-h", "-o"}), 1, "", err);
}

TEST_F(Cli, FileOptionNeedsBatchOrOutput)
{
    const std::string err = "kxcrypto: -f must be used with either -e or -o.\n" + kUsage;
    EXPECT_RUN(kx({"-f", "x"}), 1, "", err);
    EXPECT_RUN(kx({"-a", "-f", "x", "mode=hard"}), 1, "", err);
    EXPECT_RUN(kx({"-m", "-f", "x", "mode=hard"}), 1, "", err);
    EXPECT_RUN(kx({"-d", "-f", "x"}), 1, "", err);
    // Checked before the missing key/value pairs of -a.
    EXPECT_RUN(kx({"-a", "-f", "x"}), 1, "", err);
    EXPECT_EQ(stored(), "<none>");
}

TEST_F(Cli, ChecksRunInTheirOrder)
{
    // Unexpected argument before -h with other options, before -f misuse.
    EXPECT_RUN(kx({"-h", "-f", "x", "stray"}), 1, "",
               "kxcrypto: malformed command line. Unexpected argument: stray\n" + kUsage);
    EXPECT_RUN(kx({"-d", "-h", "stray"}), 1, "",
               "kxcrypto: malformed command line. Unexpected argument: stray\n" + kUsage);
    EXPECT_RUN(kx({"-h", "-d", "-f", "x"}), 1, "",
               "kxcrypto: Cannot specify -h with other options.\n" + kUsage);
}

TEST_F(Cli, GetoptDiagnosticsAndUsage)
{
    EXPECT_RUN(kx({"-x"}), 1, "", "kxcrypto: invalid option -- 'x'\n" + kUsage);
    EXPECT_RUN(kx({"-e", "-f"}), 1, "", "kxcrypto: option requires an argument -- 'f'\n" + kUsage);
}

TEST_F(Cli, WordsWithoutOperationDoNothing)
{
    EXPECT_RUN(kx({"word"}), 0, "", "");
    // Scanning stops at the first word: the -a after it is not an option.
    EXPECT_RUN(kx({"word", "-a", "mode=hard"}), 0, "", "");
    EXPECT_EQ(stored(), "<none>");
    EXPECT_EQ(calls(), "open_connection mode=3\nclose_connection\n"
                       "open_connection mode=3\nclose_connection\n");
}

TEST_F(Cli, OptionsAfterPairsArePairs)
{
    EXPECT_RUN(kx({"-a", "mode=hard", "-d"}), 1, "", "kxcrypto: Ill-formed key/value pair -d\n");
    EXPECT_EQ(stored(), "<none>");
}

// ---- display ----------------------------------------------------------------

TEST_F(Cli, DisplayWithoutStoredConfigurationShowsInheritedDefaults)
{
    EXPECT_RUN(kx({}), 0,
               "Token ID: default.token\n"
               "\tKey            \tValue          \tInherited      \n"
               "\t---\t\t-----\t\t-------\n"
               "\tenc_up_type    \tnone           \t*\n"
               "\tenc_down_type  \tnone           \t*\n"
               "\tauth_up_type   \tnone           \t*\n"
               "\tauth_down_type \tnone           \t*\n"
               "\tmode           \tsoft           \t*\n",
               "");
}

TEST_F(Cli, DisplayFailures)
{
    EXPECT_RUN(kx_env({}, "KXCRYPTO_STORE_GET_CODE", "-4"), 1, "", kNoConfig);
    EXPECT_RUN(kx_env({}, "KXCRYPTO_STORE_GET_CODE", "-20"), 1, "",
               "kxcrypto: Unable to contact admin database\n");
}

// ---- add ----------------------------------------------------------------------

TEST_F(Cli, AddStoresThePairs)
{
    EXPECT_RUN(kx({"-a", "enc_up_type=ARCFOUR", "mode=hard"}), 0,
               "Configuration successfully added.\n" + kRestart, "");
    EXPECT_EQ(stored(), "enc_up_type=ARCFOUR,mode=hard");
    EXPECT_EQ(calls(), "open_connection mode=3\nget default.token merge=0\n"
                       "add default.token replace=0\nclose_connection\n");
}

TEST_F(Cli, AddWhenAConfigurationExists)
{
    store("mode=soft");
    EXPECT_RUN(kx({"-a", "mode=hard"}), 1, "",
               "kxcrypto: Configuration for the default token already exists.\n");
    EXPECT_EQ(stored(), "mode=soft");
}

TEST_F(Cli, AddOfDefaultsOnlyStoresNothing)
{
    EXPECT_RUN(kx({"-a", "mode=default", "enc_up_type=default"}), 0, kRestart, "");
    EXPECT_EQ(stored(), "<none>");
}

TEST_F(Cli, AddAndModifyNeedPairs)
{
    const std::string err = "kxcrypto: No key value pairs specified.\n" + kUsage;
    EXPECT_RUN(kx({"-a"}), 1, "", err);
    store("mode=hard");
    EXPECT_RUN(kx({"-m"}), 1, "", err);
}

TEST_F(Cli, AddValidatesEveryPair)
{
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-a", "mode"}, "kxcrypto: Ill-formed key/value pair mode\n"},
        {{"-a", "mode="}, "kxcrypto: Ill-formed key/value pair mode=\n"},
        {{"-a", "="}, "kxcrypto: Ill-formed key/value pair =\n"},
        {{"-a", ""}, "kxcrypto: Ill-formed key/value pair \n"},
        {{"-a", "colour=red"}, "kxcrypto: Invalid key 'colour'.\n"},
        {{"-a", "Mode=hard"}, "kxcrypto: Invalid key 'Mode'.\n"},
        {{"-a", "enc_up_type=arcfour"}, "kxcrypto: Invalid value 'arcfour' to key 'enc_up_type'.\n"},
        {{"-a", "auth_up_type=simple"}, "kxcrypto: Invalid value 'simple' to key 'auth_up_type'.\n"},
        {{"-a", "auth_down_type=simple", "auth_down_type=none"},
         "kxcrypto: Duplicate key 'auth_down_type=none'.\n"},
        {{"-a", "mode=default", "mode=hard"}, "kxcrypto: Duplicate key 'mode=hard'.\n"},
        // A repeated key with a bad value is reported as a bad value.
        {{"-a", "mode=hard", "mode=medium"}, "kxcrypto: Invalid value 'medium' to key 'mode'.\n"},
        // The first problem ends the check.
        {{"-a", "mode=hard", "x=y", "mode"}, "kxcrypto: Invalid key 'x'.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        EXPECT_RUN(kx(c.args), 1, "", c.err);
    }
    EXPECT_EQ(stored(), "<none>");
}

TEST_F(Cli, AddKeepsEntriesAsWritten)
{
    // Text after a second "=" is not looked at; leading "=" are skipped.
    EXPECT_RUN(kx({"-a", "mode=hard=x", "=enc_up_type=ARCFOUR", "auth_down_type=simple",
                   "auth_up_type=none", "enc_down_type=default"}),
               0, "Configuration successfully added.\n" + kRestart, "");
    EXPECT_EQ(stored(), "mode=hard=x,=enc_up_type=ARCFOUR,auth_down_type=simple,auth_up_type=none");
}

TEST_F(Cli, AddFailures)
{
    EXPECT_RUN(kx_env({"-a", "mode=hard"}, "KXCRYPTO_STORE_FAIL", "add"), 1, "",
               "kxcrypto: Unable to add configuration for default token.\n");
    EXPECT_RUN(kx_env({"-a", "mode=hard"}, "KXCRYPTO_STORE_GET_CODE", "-20"), 1, "",
               "kxcrypto: Unable to contact admin database\n");
    EXPECT_EQ(stored(), "<none>");
}

// ---- modify -------------------------------------------------------------------

TEST_F(Cli, ModifyMergesWithTheStoredPairs)
{
    store("enc_up_type=ARCFOUR");
    EXPECT_RUN(kx({"-m", "enc_down_type=none"}), 0,
               "Configuration successfully modified.\n" + kRestart, "");
    EXPECT_EQ(stored(), "enc_down_type=none,enc_up_type=ARCFOUR");

    store("enc_up_type=ARCFOUR,mode=hard");
    EXPECT_RUN(kx({"-m", "mode=default"}), 0, "Configuration successfully modified.\n" + kRestart, "");
    EXPECT_EQ(stored(), "enc_up_type=ARCFOUR");

    store("enc_up_type=ARCFOUR,mode=hard");
    EXPECT_RUN(kx({"-m", "mode=soft"}), 0, "Configuration successfully modified.\n" + kRestart, "");
    EXPECT_EQ(stored(), "mode=soft,enc_up_type=ARCFOUR");
}

TEST_F(Cli, ModifyToDefaultsRemovesTheConfiguration)
{
    store("enc_up_type=ARCFOUR,mode=hard");
    EXPECT_RUN(kx({"-m", "mode=default", "enc_up_type=default"}), 0,
               "Configuration successfully modified.\n" + kRestart, "");
    EXPECT_EQ(stored(), "<none>");
}

TEST_F(Cli, ModifyChecksTheStoredPairsToo)
{
    store("mode=hard,colour=red");
    EXPECT_RUN(kx({"-m", "enc_up_type=none"}), 1, "", "kxcrypto: Invalid key 'colour'.\n");
    EXPECT_EQ(stored(), "mode=hard,colour=red");
}

TEST_F(Cli, ModifyFailures)
{
    EXPECT_RUN(kx({"-m", "mode=hard"}), 1, "", kNoConfig);
    store("mode=soft");
    EXPECT_RUN(kx_env({"-m", "mode=hard"}, "KXCRYPTO_STORE_FAIL", "add"), 1, "",
               "kxcrypto: Unable to modify configuration for the default token.\n");
    EXPECT_RUN(kx_env({"-m", "mode=default"}, "KXCRYPTO_STORE_FAIL", "del"), 1, "",
               "kxcrypto: Unable to modify configuration for the default token.\n");
    EXPECT_RUN(kx_env({"-m", "mode=hard"}, "KXCRYPTO_STORE_GET_CODE", "-1"), 1, "",
               "kxcrypto: Internal system error\n");
    EXPECT_EQ(stored(), "mode=soft");
}

// ---- delete -------------------------------------------------------------------

TEST_F(Cli, Delete)
{
    EXPECT_RUN(kx({"-d"}), 1, "", kNoConfig);
    store("mode=hard");
    EXPECT_RUN(kx_env({"-d"}, "KXCRYPTO_STORE_FAIL", "del"), 1, "",
               "kxcrypto: Could not delete default token configuration.\n");
    EXPECT_EQ(stored(), "mode=hard");
    EXPECT_RUN(kx({"-d"}), 0,
               "Successfully deleted configuration for the default token.\n" + kRestart, "");
    EXPECT_EQ(stored(), "<none>");
}

// ---- export -------------------------------------------------------------------

TEST_F(Cli, ExportToStandardOutput)
{
    EXPECT_RUN(kx({"-o"}), 1, "",
               "kxcrypto: An explicit configuration for the default token doesn't exist.  "
               "Internal default values will be used.\n");
    store("enc_up_type=ARCFOUR,mode=hard");
    EXPECT_RUN(kx({"-o"}), 0, "tokenID=default.token,enc_up_type=ARCFOUR,mode=hard\n", "");
    store("");
    EXPECT_RUN(kx({"-o"}), 0, "tokenID=default.token,\n", "");
}

TEST_F(Cli, ExportToAFileNeverOverwrites)
{
    store("mode=hard");
    std::string out = dir_ + "/export.csv";
    EXPECT_RUN(kx({"-o", "-f", out}), 0, "", "");
    std::string content;
    ASSERT_TRUE(read_file(out, content));
    EXPECT_EQ(content, "tokenID=default.token,mode=hard\n");

    // Any existing name is refused and left alone: a file, an empty file,
    // a directory.
    EXPECT_RUN(kx({"-o", "-f", out}), 1, "", "kxcrypto: File '" + out + "' already exists.\n");
    ASSERT_TRUE(read_file(out, content));
    EXPECT_EQ(content, "tokenID=default.token,mode=hard\n");
    std::string empty = dir_ + "/empty";
    write_file(empty, "");
    EXPECT_RUN(kx({"-o", "-f", empty}), 1, "", "kxcrypto: File '" + empty + "' already exists.\n");
    EXPECT_RUN(kx({"-o", "-f", dir_}), 1, "", "kxcrypto: File '" + dir_ + "' already exists.\n");

    std::string nowhere = dir_ + "/missing/export.csv";
    EXPECT_RUN(kx({"-o", "-f", nowhere}), 1, "",
               "kxcrypto: Could not open file " + nowhere + " for writing.\n");
}

// ---- batch edit ---------------------------------------------------------------

TEST_F(Cli, BatchSkipsBadLinesAndStillSucceeds)
{
    std::string in = dir_ + "/batch";
    write_file(in,
               "\n"
               "tokenID=default\n"
               "tokenID=other,mode=hard\n"
               "tokenID=default,mode=hard,mode=soft,mode=hard,mode=soft,mode=hard,mode=soft\n");
    EXPECT_RUN(kx({"-e", "-f", in}), 0,
               "0 lines successfully processed.\n4 lines skipped due to errors.\n" + kRestart,
               "kxcrypto: line 1 is not complete....skipping\n"
               "kxcrypto: line 2 does not have enoughkey/value pairs...skipping\n"
               "kxcrypto: tokenID on line 3 is not 'default'...skipping\n"
               "kxcrypto: line 4 has extraneous info...skipping\n");
    EXPECT_EQ(stored(), "<none>");
}

TEST_F(Cli, BatchAddsThenModifiesFromStandardInput)
{
    std::string input =
        "tokenID=default,enc_up_type=ARCFOUR,mode=hard\n"
        "tokenID=default.token, mode = soft\n"
        "tokenID=default.token , mode=soft\n"
        "token=default,mode=hard\n"
        "=,mode=hard\n"
        "tokenID,mode=hard\n"
        ",mode=hard\n"
        "tokenID=default,colour=red\n"
        "tokenID=default,enc_down_type=none\\,x\n"
        "tokenID=default,auth_down_type=simple\n";
    EXPECT_RUN(kx({"-e"}, input), 0,
               "Configuration successfully added.\n"
               "Successfully added config on line 1\n"
               "Configuration successfully modified.\n"
               "Successfully modified config on line 3\n"
               "Configuration successfully modified.\n"
               "Successfully modified config on line 10\n"
               "3 lines successfully processed.\n"
               "7 lines skipped due to errors.\n" +
                   kRestart,
               "kxcrypto: Invalid key 'mode '.\n"
               "kxcrypto: could not modify line 2...skipping\n"
               "kxcrypto: line 4 does not begin with key 'tokenID='...skipping\n"
               "kxcrypto: line 5 does not begin with key 'tokenID='...skipping\n"
               "kxcrypto: tokenID on line 6 is not 'default'...skipping\n"
               "kxcrypto: line 7 is not complete....skipping\n"
               "kxcrypto: Invalid key 'colour'.\n"
               "kxcrypto: could not modify line 8...skipping\n"
               "kxcrypto: Invalid value 'none,x' to key 'enc_down_type'.\n"
               "kxcrypto: could not modify line 9...skipping\n");
    EXPECT_EQ(stored(), "auth_down_type=simple,mode=soft,enc_up_type=ARCFOUR");
}

TEST_F(Cli, BatchLongLinesAreReadInPieces)
{
    // 300 characters: the first 255 form line 1, the rest line 2.
    std::string line = "tokenID=default,mode=hard," + std::string(274, 'x') + "\n";
    ASSERT_EQ(line.size(), 301u);
    EXPECT_RUN(kx({"-e"}, line), 0,
               "0 lines successfully processed.\n2 lines skipped due to errors.\n" + kRestart,
               "kxcrypto: Ill-formed key/value pair " + std::string(229, 'x') + "\n"
               "kxcrypto: could not add line 1...skipping\n"
               "kxcrypto: line 2 does not have enoughkey/value pairs...skipping\n");
}

TEST_F(Cli, BatchStoreFailuresSkipTheLine)
{
    ToolRun run = command({"-e"});
    run.input = "tokenID=default,mode=hard\n";
    run.env["KXCRYPTO_STORE_GET_CODE"] = "-20";
    EXPECT_RUN(run_tool(run), 0,
               "0 lines successfully processed.\n1 lines skipped due to errors.\n" + kRestart,
               "kxcrypto: could not determine if configuration on line 1 exists...skipping\n");
    run.env.erase("KXCRYPTO_STORE_GET_CODE");
    run.env["KXCRYPTO_STORE_FAIL"] = "add";
    EXPECT_RUN(run_tool(run), 0,
               "0 lines successfully processed.\n1 lines skipped due to errors.\n" + kRestart,
               "kxcrypto: Unable to add configuration for default token.\n"
               "kxcrypto: could not add line 1...skipping\n");
}

TEST_F(Cli, BatchFromAMissingFile)
{
    std::string in = dir_ + "/nope";
    EXPECT_RUN(kx({"-e", "-f", in}), 1, "",
               "kxcrypto: Could not open file '" + in + "' for reading.\n\n"
               "kxcrypto: Unable to complete batch configuration.\n");
}

TEST_F(Cli, ExportReadsBackThroughBatch)
{
    store("enc_up_type=ARCFOUR,auth_down_type=simple,mode=hard");
    std::string out = dir_ + "/export.csv";
    ASSERT_EQ(kx({"-o", "-f", out}).status, 0);
    ASSERT_EQ(kx({"-d"}).status, 0);
    EXPECT_RUN(kx({"-e", "-f", out}), 0,
               "Configuration successfully added.\n"
               "Successfully added config on line 1\n"
               "1 lines successfully processed.\n0 lines skipped due to errors.\n" +
                   kRestart,
               "");
    EXPECT_EQ(stored(), "enc_up_type=ARCFOUR,auth_down_type=simple,mode=hard");
}

// ---- the real tool ----------------------------------------------------------------

TEST(RealTool, NonRootIsRefusedAndRootNeedsTheDirectory)
{
    ToolRun run;
    run.argv = {KXCRYPTO_BIN, "-h"};
    run.ruid = run.euid = 65534;
    EXPECT_RUN(run_tool(run), 1, "", std::string(KXCRYPTO_BIN) + ": Must be root to set configuration.\n");

    // This build's product root holds no administration files, so no
    // session can be opened: even -h ends there.
    run.ruid = run.euid = -1;
    run.argv0 = "kxcrypto";
    EXPECT_RUN(run_tool(run), 1, "", "kxcrypto: Could not connect to admin server.\n");
}

} // namespace
