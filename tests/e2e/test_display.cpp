// The readable display (kxcrypto without arguments): the default token's
// effective configuration, stored pairs first and the built-in values of the
// keys it does not state behind them, marked as inherited.

#include "e2e_support.h"

namespace e2e {
namespace {

using KxcryptoDisplay = Kxcrypto;

TEST_F(KxcryptoDisplay, WithoutAnEntryShowsTheBuiltInValuesAsInherited)
{
    EXPECT_RUN(kxcrypto({}), 0, builtin_display(), "");
    EXPECT_EQ(stored(), "<no entry>");
}

TEST_F(KxcryptoDisplay, EntryWithoutConfigurationShowsTheBuiltInValues)
{
    ASSERT_EQ(kxcrypto({"-a", "mode=hard"}).status, 0);
    ASSERT_EQ(kxcrypto({"-d"}).status, 0);
    ASSERT_EQ(stored(), "<none>");
    EXPECT_RUN(kxcrypto({}), 0, builtin_display(), "");
}

TEST_F(KxcryptoDisplay, StoredPairsComeFirstAndTheMissingKeysAreInherited)
{
    ASSERT_EQ(kxcrypto({"-a", "enc_up_type=ARCFOUR", "mode=hard"}).status, 0);
    ASSERT_EQ(stored(), "enc_up_type=ARCFOUR,mode=hard");
    EXPECT_RUN(kxcrypto({}), 0,
               display({{"enc_up_type", "ARCFOUR", ' '},
                        {"mode", "hard", ' '},
                        {"enc_down_type", "none", '*'},
                        {"auth_up_type", "none", '*'},
                        {"auth_down_type", "none", '*'}}),
               "");
}

TEST_F(KxcryptoDisplay, ModeAloneStored)
{
    put_crypto_string("mode=hard");
    EXPECT_RUN(kxcrypto({}), 0,
               display({{"mode", "hard", ' '},
                        {"enc_up_type", "none", '*'},
                        {"enc_down_type", "none", '*'},
                        {"auth_up_type", "none", '*'},
                        {"auth_down_type", "none", '*'}}),
               "");
}

TEST_F(KxcryptoDisplay, AllFiveStoredInTheirStoredOrder)
{
    put_crypto_string("mode=soft,auth_down_type=simple,auth_up_type=none,enc_down_type=ARCFOUR,enc_up_type=none");
    EXPECT_RUN(kxcrypto({}), 0,
               display({{"mode", "soft", ' '},
                        {"auth_down_type", "simple", ' '},
                        {"auth_up_type", "none", ' '},
                        {"enc_down_type", "ARCFOUR", ' '},
                        {"enc_up_type", "none", ' '}}),
               "");
}

TEST_F(KxcryptoDisplay, TrailingCommaAndBlanksAroundPairsAreIgnored)
{
    put_crypto_string("mode=hard,");
    EXPECT_RUN(kxcrypto({}), 0,
               display({{"mode", "hard", ' '},
                        {"enc_up_type", "none", '*'},
                        {"enc_down_type", "none", '*'},
                        {"auth_up_type", "none", '*'},
                        {"auth_down_type", "none", '*'}}),
               "");
    put_crypto_string("mode=hard , \tenc_down_type=ARCFOUR");
    EXPECT_RUN(kxcrypto({}), 0,
               display({{"mode", "hard", ' '},
                        {"enc_down_type", "ARCFOUR", ' '},
                        {"enc_up_type", "none", '*'},
                        {"auth_up_type", "none", '*'},
                        {"auth_down_type", "none", '*'}}),
               "");
}

TEST_F(KxcryptoDisplay, EmptyStoredStringShowsTheBuiltInValues)
{
    put_crypto_string("");
    EXPECT_RUN(kxcrypto({}), 0, builtin_display(), "");
}

TEST_F(KxcryptoDisplay, PairsKeptAsWrittenAreShownByTheirFirstTwoRuns)
{
    // Text after a second "=" is not shown; leading "=" are skipped.
    ASSERT_EQ(kxcrypto({"-a", "mode=hard=x", "=enc_up_type=ARCFOUR", "auth_down_type=simple"}).status, 0);
    ASSERT_EQ(stored(), "mode=hard=x,=enc_up_type=ARCFOUR,auth_down_type=simple");
    EXPECT_RUN(kxcrypto({}), 0,
               display({{"mode", "hard", ' '},
                        {"enc_up_type", "ARCFOUR", ' '},
                        {"auth_down_type", "simple", ' '},
                        {"enc_down_type", "none", '*'},
                        {"auth_up_type", "none", '*'}}),
               "");
}

// A default token string that does not complete to exactly the five keys
// cannot be displayed.
TEST_F(KxcryptoDisplay, MalformedStoredStringIsAnInternalError)
{
    for (std::string bad : {"mode=hard,mode=soft",                      // a key twice
                            "enc_up_type=ARCFOUR,colour=red",           // an unknown key
                            "enc_up_type=ARCFOUR,,mode=hard",           // an empty pair
                            "mode=",                                    // a key without value
                            "enc_up_type=none,enc_down_type=none,auth_up_type=none,"
                            "auth_down_type=none,mode=soft,mode=hard"}) {   // six pairs
        SCOPED_TRACE(bad);
        put_crypto_string(bad);
        EXPECT_RUN(kxcrypto({}), 1, "", kInternal);
        EXPECT_EQ(stored(), bad);
    }
}

} // namespace
} // namespace e2e
