// Export (-o) of the stored configuration, to standard output and to a new
// file, and its reading back through the batch edit.

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e_support.h"

namespace e2e {
namespace {

using KxcryptoExport = Kxcrypto;

bool exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

TEST_F(KxcryptoExport, ToStandardOutput)
{
    ASSERT_EQ(kxcrypto({"-a", "enc_up_type=ARCFOUR", "mode=hard"}).status, 0);
    EXPECT_RUN(kxcrypto({"-o"}), 0, "tokenID=default.token,enc_up_type=ARCFOUR,mode=hard\n", "");
    EXPECT_EQ(stored(), "enc_up_type=ARCFOUR,mode=hard");
}

TEST_F(KxcryptoExport, WithoutAnExplicitConfiguration)
{
    EXPECT_RUN(kxcrypto({"-o"}), 1, "", kNoExplicit);
    ASSERT_EQ(kxcrypto({"-a", "mode=hard"}).status, 0);
    ASSERT_EQ(kxcrypto({"-d"}).status, 0);
    EXPECT_RUN(kxcrypto({"-o"}), 1, "", kNoExplicit);
    // Nothing is created either.
    std::string out = scratch_ + "/export.csv";
    EXPECT_RUN(kxcrypto({"-o", "-f", out}), 1, "", kNoExplicit);
    EXPECT_FALSE(exists(out));
    // The missing configuration is reported before an existing file.
    std::string existing = scratch_ + "/existing";
    write_file(existing, "keep\n");
    EXPECT_RUN(kxcrypto({"-o", "-f", existing}), 1, "", kNoExplicit);
    EXPECT_EQ(slurp(existing), "keep\n");
}

TEST_F(KxcryptoExport, EmptyStoredString)
{
    put_crypto_string("");
    EXPECT_RUN(kxcrypto({"-o"}), 0, "tokenID=default.token,\n", "");
}

TEST_F(KxcryptoExport, PairsAreWrittenAsStored)
{
    for (auto [s, line] : std::vector<std::pair<std::string, std::string>>{
             {"mode=hard,mode=soft", "tokenID=default.token,mode=hard,mode=soft\n"},
             {"enc_up_type=ARCFOUR,colour=red", "tokenID=default.token,enc_up_type=ARCFOUR,colour=red\n"},
             {"enc_up_type=ARCFOUR,,mode=hard", "tokenID=default.token,enc_up_type=ARCFOUR,,mode=hard\n"},
             {"mode=hard=x,=enc_up_type=ARCFOUR", "tokenID=default.token,mode=hard=x,=enc_up_type=ARCFOUR\n"},
             // As read back: the trailing comma is gone, the blanks too.
             {"mode=hard,", "tokenID=default.token,mode=hard\n"},
             {"mode=hard , \tenc_up_type=none", "tokenID=default.token,mode=hard,enc_up_type=none\n"},
         }) {
        SCOPED_TRACE(s);
        put_crypto_string(s);
        EXPECT_RUN(kxcrypto({"-o"}), 0, line, "");
        EXPECT_EQ(stored(), s);
    }
}

TEST_F(KxcryptoExport, ToANewFile)
{
    ASSERT_EQ(kxcrypto({"-a", "auth_down_type=simple", "mode=hard"}).status, 0);
    std::string out = scratch_ + "/export.csv";
    EXPECT_RUN(kxcrypto({"-o", "-f", out}), 0, "", "");
    EXPECT_EQ(slurp(out), "tokenID=default.token,auth_down_type=simple,mode=hard\n");
    // -f may come first, and the last -f wins.
    std::string second = scratch_ + "/second.csv";
    EXPECT_RUN(kxcrypto({"-f", scratch_ + "/unused.csv", "-f", second, "-o"}), 0, "", "");
    EXPECT_EQ(slurp(second), "tokenID=default.token,auth_down_type=simple,mode=hard\n");
    EXPECT_FALSE(exists(scratch_ + "/unused.csv"));
}

TEST_F(KxcryptoExport, NeverOverwritesAnythingThatExists)
{
    ASSERT_EQ(kxcrypto({"-a", "mode=hard"}).status, 0);
    auto refused = [](const std::string &path) {
        return "kxcrypto: File '" + path + "' already exists.\n";
    };

    std::string file = scratch_ + "/file";
    write_file(file, "old content\n");
    EXPECT_RUN(kxcrypto({"-o", "-f", file}), 1, "", refused(file));
    EXPECT_EQ(slurp(file), "old content\n");

    std::string empty = scratch_ + "/empty";
    write_file(empty, "");
    EXPECT_RUN(kxcrypto({"-o", "-f", empty}), 1, "", refused(empty));
    EXPECT_EQ(slurp(empty), "");

    EXPECT_RUN(kxcrypto({"-o", "-f", scratch_}), 1, "", refused(scratch_));

    std::string link = scratch_ + "/link";
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    EXPECT_RUN(kxcrypto({"-o", "-f", link}), 1, "", refused(link));
    EXPECT_EQ(slurp(file), "old content\n");

    EXPECT_RUN(kxcrypto({"-o", "-f", "/dev/null"}), 1, "", refused("/dev/null"));

    // A fifo is refused before it is opened: with our end open for
    // reading, anything written to it would be found there.
    std::string fifo = scratch_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    EXPECT_RUN(kxcrypto({"-o", "-f", fifo}), 1, "", refused(fifo));
    char buf[64];
    EXPECT_LE(read(rd, buf, sizeof buf), 0);
    close(rd);

    EXPECT_EQ(stored(), "mode=hard");
}

TEST_F(KxcryptoExport, UnwritablePath)
{
    ASSERT_EQ(kxcrypto({"-a", "mode=hard"}).status, 0);
    auto refused = [](const std::string &path) {
        return "kxcrypto: Could not open file " + path + " for writing.\n";
    };
    std::string missing_dir = scratch_ + "/missing/export.csv";
    EXPECT_RUN(kxcrypto({"-o", "-f", missing_dir}), 1, "", refused(missing_dir));
    EXPECT_FALSE(exists(scratch_ + "/missing"));

    std::string file = scratch_ + "/plain";
    write_file(file, "x");
    std::string below_file = file + "/export.csv";
    EXPECT_RUN(kxcrypto({"-o", "-f", below_file}), 1, "", refused(below_file));
    EXPECT_EQ(slurp(file), "x");

    // Not even root may create a file here.
    EXPECT_RUN(kxcrypto({"-o", "-f", "/proc/kxcrypto-export.csv"}), 1, "",
               refused("/proc/kxcrypto-export.csv"));

    EXPECT_RUN(kxcrypto({"-o", "-f", ""}), 1, "", refused(""));
}

TEST_F(KxcryptoExport, ReadBackFromAFileAfterDelete)
{
    ASSERT_EQ(kxcrypto({"-a", "enc_up_type=ARCFOUR", "auth_down_type=simple", "mode=hard"}).status, 0);
    std::string out = scratch_ + "/export.csv";
    ASSERT_EQ(kxcrypto({"-o", "-f", out}).status, 0);
    ASSERT_EQ(kxcrypto({"-d"}).status, 0);
    ASSERT_EQ(stored(), "<none>");
    EXPECT_RUN(kxcrypto({"-e", "-f", out}), 0,
               kAdded + "Successfully added config on line 1\n"
                        "1 lines successfully processed.\n0 lines skipped due to errors.\n" +
                   kRestart,
               "");
    EXPECT_EQ(stored(), "enc_up_type=ARCFOUR,auth_down_type=simple,mode=hard");
    EXPECT_EQ(slurp(out), "tokenID=default.token,enc_up_type=ARCFOUR,auth_down_type=simple,mode=hard\n");
}

TEST_F(KxcryptoExport, ReadBackThroughStandardInput)
{
    ASSERT_EQ(kxcrypto({"-a", "enc_down_type=ARCFOUR", "mode=soft"}).status, 0);
    ToolResult exported = kxcrypto({"-o"});
    ASSERT_EQ(exported.status, 0);
    // Onto a directory without the entry: the raw token is made again.
    remove_token_entry();
    EXPECT_RUN(kxcrypto({"-e"}, exported.out), 0,
               kAdded + "Successfully added config on line 1\n"
                        "1 lines successfully processed.\n0 lines skipped due to errors.\n" +
                   kRestart,
               "");
    EXPECT_EQ(stored(), "enc_down_type=ARCFOUR,mode=soft");
    // Onto an existing configuration: its pairs replace the stored ones.
    ASSERT_EQ(kxcrypto({"-m", "enc_up_type=ARCFOUR", "mode=hard"}).status, 0);
    ASSERT_EQ(stored(), "enc_up_type=ARCFOUR,mode=hard,enc_down_type=ARCFOUR");
    EXPECT_RUN(kxcrypto({"-e"}, exported.out), 0,
               kModified + "Successfully modified config on line 1\n"
                           "1 lines successfully processed.\n0 lines skipped due to errors.\n" +
                   kRestart,
               "");
    EXPECT_EQ(stored(), "enc_down_type=ARCFOUR,mode=soft,enc_up_type=ARCFOUR");
}

} // namespace
} // namespace e2e
