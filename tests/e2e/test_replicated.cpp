// kxcrypto on a host that keeps a replica of the data store: the session
// talks to the consumer, whose writes are referred to the provider, and the
// changes come back to the consumer by replication.

#include "e2e_support.h"

namespace e2e {
namespace {

std::string provider()
{
    return bed()["KX_PROVIDER_URI"];
}

std::string consumer()
{
    return bed()["KX_CONSUMER_URI"];
}

::testing::AssertionResult replicated_as(const std::string &expected)
{
    std::string last;
    if (eventually([&] { return (last = stored(consumer())) == expected; }, 10))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the consumer holds \"" << last << "\", not \"" << expected
                                         << "\"";
}

class ReplicatedKxcrypto : public Kxcrypto {
protected:
    void SetUp() override
    {
        ASSERT_EQ(bed()["KX_TESTBED_MODE"], "replicated");
        ASSERT_EQ(session_uri(), consumer());
        Kxcrypto::SetUp();
    }
};

TEST_F(ReplicatedKxcrypto, WritesFollowTheReferralToTheProvider)
{
    std::size_t log_start = slurp(bed()["KX_CONSUMER_LOG"]).size();

    EXPECT_RUN(kxcrypto({"-a", "enc_up_type=ARCFOUR", "mode=hard"}), 0, kAdded + kRestart, "");
    EXPECT_EQ(stored(provider()), "enc_up_type=ARCFOUR,mode=hard");
    TokenEntry e = read_token(provider());
    EXPECT_TRUE(e.has_class("kxRawToken"));
    EXPECT_EQ(e.first("kxTokenType"), "user");
    EXPECT_EQ(e.first("kxTokenState"), "unknown");
    EXPECT_EQ(e.first("kxEnabled"), "allowed");
    ASSERT_TRUE(replicated_as("enc_up_type=ARCFOUR,mode=hard"));
    EXPECT_RUN(kxcrypto({}), 0,
               display({{"enc_up_type", "ARCFOUR", ' '},
                        {"mode", "hard", ' '},
                        {"enc_down_type", "none", '*'},
                        {"auth_up_type", "none", '*'},
                        {"auth_down_type", "none", '*'}}),
               "");

    EXPECT_RUN(kxcrypto({"-m", "mode=soft", "auth_down_type=simple"}), 0, kModified + kRestart, "");
    EXPECT_EQ(stored(provider()), "mode=soft,auth_down_type=simple,enc_up_type=ARCFOUR");
    ASSERT_TRUE(replicated_as("mode=soft,auth_down_type=simple,enc_up_type=ARCFOUR"));
    EXPECT_RUN(kxcrypto({"-o"}), 0, "tokenID=default.token,mode=soft,auth_down_type=simple,enc_up_type=ARCFOUR\n", "");

    EXPECT_RUN(kxcrypto({"-m", "mode=default"}), 0, kModified + kRestart, "");
    EXPECT_EQ(stored(provider()), "auth_down_type=simple,enc_up_type=ARCFOUR");
    ASSERT_TRUE(replicated_as("auth_down_type=simple,enc_up_type=ARCFOUR"));

    EXPECT_RUN(kxcrypto({"-d"}), 0, kDeleted + kRestart, "");
    EXPECT_EQ(stored(provider()), "<none>");
    ASSERT_TRUE(replicated_as("<none>"));
    EXPECT_RUN(kxcrypto({}), 0, builtin_display(), "");

    // The changes were sent to the consumer, which referred them on.
    std::string log = slurp(bed()["KX_CONSUMER_LOG"]).substr(log_start);
    EXPECT_NE(log.find("MOD dn=\"kxID=default.token,"), std::string::npos) << log;
    EXPECT_NE(log.find("err=10 "), std::string::npos) << log;
}

TEST_F(ReplicatedKxcrypto, BatchWritesFollowTheReferralToo)
{
    EXPECT_RUN(kxcrypto({"-e"}, "tokenID=default,enc_down_type=ARCFOUR\n"), 0,
               kAdded + "Successfully added config on line 1\n"
                        "1 lines successfully processed.\n0 lines skipped due to errors.\n" +
                   kRestart,
               "");
    EXPECT_EQ(stored(provider()), "enc_down_type=ARCFOUR");
    ASSERT_TRUE(replicated_as("enc_down_type=ARCFOUR"));
    EXPECT_RUN(kxcrypto({"-e"}, "tokenID=default.token,mode=hard\n"), 0,
               kModified + "Successfully modified config on line 1\n"
                           "1 lines successfully processed.\n0 lines skipped due to errors.\n" +
                   kRestart,
               "");
    EXPECT_EQ(stored(provider()), "mode=hard,enc_down_type=ARCFOUR");
    ASSERT_TRUE(replicated_as("mode=hard,enc_down_type=ARCFOUR"));
    EXPECT_RUN(kxcrypto({"-d"}), 0, kDeleted + kRestart, "");
    EXPECT_EQ(stored(provider()), "<none>");
    EXPECT_TRUE(replicated_as("<none>"));
}

// The provider is stopped for the length of a scope and started again however
// the scope ends.
class ProviderStopped {
public:
    ProviderStopped() { ok_ = TestBed::control("stop-provider"); }
    ~ProviderStopped() { EXPECT_TRUE(TestBed::control("start-provider")) << "the provider did not come back"; }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

using ReplicatedProviderDown = ReplicatedKxcrypto;

TEST_F(ReplicatedProviderDown, ChangesFailAndNothingChanges)
{
    ASSERT_EQ(kxcrypto({"-a", "enc_up_type=ARCFOUR", "mode=hard"}).status, 0);
    ASSERT_TRUE(replicated_as("enc_up_type=ARCFOUR,mode=hard"));
    const std::string batch_counts = "0 lines successfully processed.\n1 lines skipped due to errors.\n";
    {
        ProviderStopped down;
        ASSERT_TRUE(down.ok());
        std::size_t log_start = slurp(bed()["KX_CONSUMER_LOG"]).size();

        // Reading needs the consumer only.
        EXPECT_RUN(kxcrypto({}), 0,
                   display({{"enc_up_type", "ARCFOUR", ' '},
                            {"mode", "hard", ' '},
                            {"enc_down_type", "none", '*'},
                            {"auth_up_type", "none", '*'},
                            {"auth_down_type", "none", '*'}}),
                   "");
        EXPECT_RUN(kxcrypto({"-o"}), 0, "tokenID=default.token,enc_up_type=ARCFOUR,mode=hard\n", "");
        EXPECT_RUN(kxcrypto_as(65534, 65534, {}), 0,
                   display({{"enc_up_type", "ARCFOUR", ' '},
                            {"mode", "hard", ' '},
                            {"enc_down_type", "none", '*'},
                            {"auth_up_type", "none", '*'},
                            {"auth_down_type", "none", '*'}}),
                   "");

        EXPECT_RUN(kxcrypto({"-m", "mode=soft"}), 1, "", kCannotModify);
        EXPECT_RUN(kxcrypto({"-m", "mode=default", "enc_up_type=default"}), 1, "", kCannotModify);
        EXPECT_RUN(kxcrypto({"-d"}), 1, "", kCannotDelete);
        EXPECT_RUN(kxcrypto({"-a", "mode=soft"}), 1, "", kExists);
        EXPECT_RUN(kxcrypto({"-e"}, "tokenID=default,mode=soft\n"), 0, batch_counts + kRestart,
                   kCannotModify + "kxcrypto: could not modify line 1...skipping\n");

        EXPECT_EQ(stored(consumer()), "enc_up_type=ARCFOUR,mode=hard");
        // No write reached the consumer.
        std::string log = slurp(bed()["KX_CONSUMER_LOG"]).substr(log_start);
        EXPECT_EQ(log.find("MOD dn="), std::string::npos) << log;
    }
    EXPECT_EQ(stored(provider()), "enc_up_type=ARCFOUR,mode=hard");
    EXPECT_EQ(stored(consumer()), "enc_up_type=ARCFOUR,mode=hard");
    // With the provider back, the same change goes through.
    EXPECT_RUN(kxcrypto({"-m", "mode=soft"}), 0, kModified + kRestart, "");
    EXPECT_EQ(stored(provider()), "mode=soft,enc_up_type=ARCFOUR");
    EXPECT_TRUE(replicated_as("mode=soft,enc_up_type=ARCFOUR"));
}

TEST_F(ReplicatedProviderDown, AddFailsWithoutTheEntry)
{
    {
        ProviderStopped down;
        ASSERT_TRUE(down.ok());
        EXPECT_RUN(kxcrypto({}), 0, builtin_display(), "");
        EXPECT_RUN(kxcrypto({"-a", "enc_up_type=ARCFOUR"}), 1, "", kCannotAdd);
        EXPECT_RUN(kxcrypto({"-e"}, "tokenID=default,mode=hard\n"), 0,
                   "0 lines successfully processed.\n1 lines skipped due to errors.\n" + kRestart,
                   kCannotAdd + "kxcrypto: could not add line 1...skipping\n");
        EXPECT_EQ(stored(consumer()), "<no entry>");
    }
    EXPECT_EQ(stored(provider()), "<no entry>");
    EXPECT_EQ(stored(consumer()), "<no entry>");
}

TEST_F(ReplicatedProviderDown, AddFailsOnTheEntryLeftByDelete)
{
    ASSERT_EQ(kxcrypto({"-a", "mode=hard"}).status, 0);
    ASSERT_TRUE(replicated_as("mode=hard"));
    ASSERT_EQ(kxcrypto({"-d"}).status, 0);
    ASSERT_TRUE(replicated_as("<none>"));
    {
        ProviderStopped down;
        ASSERT_TRUE(down.ok());
        EXPECT_RUN(kxcrypto({"-a", "enc_up_type=ARCFOUR"}), 1, "", kCannotAdd);
        EXPECT_RUN(kxcrypto({"-m", "mode=hard"}), 1, "", kNoConfig);
        EXPECT_RUN(kxcrypto({"-d"}), 1, "", kNoConfig);
        EXPECT_EQ(stored(consumer()), "<none>");
    }
    EXPECT_EQ(stored(provider()), "<none>");
    EXPECT_EQ(stored(consumer()), "<none>");
}

} // namespace
} // namespace e2e
