// Batch edit (-e): lines read from a file (-f) or from standard input, each
// adding or modifying the default token's configuration by itself.

#include "e2e_support.h"

namespace e2e {
namespace {

using KxcryptoBatch = Kxcrypto;

std::string counts(int ok, int skipped)
{
    return std::to_string(ok) + " lines successfully processed.\n" + std::to_string(skipped) +
           " lines skipped due to errors.\n";
}

TEST_F(KxcryptoBatch, FileMixingGoodAndBadLines)
{
    std::string in = scratch_ + "/batch.csv";
    write_file(in,
               "tokenID=default,enc_up_type=ARCFOUR,mode=hard\n"                       // 1 add
               "\n"                                                                    // 2
               "tokenID=default.token, mode = soft\n"                                  // 3
               "tokenID=default.token , mode=soft\n"                                   // 4 modify
               "tokenID=other,mode=hard\n"                                             // 5
               "token=default,mode=hard\n"                                             // 6
               "tokenID=default\n"                                                     // 7
               "tokenID=default,mode=hard,mode=soft,mode=hard,mode=soft,mode=hard,mode=soft\n"   // 8
               "tokenID=default,auth_up_type=simple\n"                                 // 9
               "tokenID=default,enc_down_type=none,enc_down_type=ARCFOUR\n"            // 10
               "   \t \n"                                                              // 11
               ",mode=hard\n"                                                          // 12
               "tokenID=default,auth_down_type=simple\t\n"                             // 13 modify
               "tokenID=default.token,enc_down_type=none\\,x\n"                        // 14
               "tokenID=Default,mode=hard\n"                                           // 15
               "tokenID=default,colour=red\n"                                          // 16
               "tokenID=default,enc_down_type=ARCFOUR");                               // 17 modify, no newline
    EXPECT_RUN(kxcrypto({"-e", "-f", in}), 0,
               kAdded + "Successfully added config on line 1\n" +
                   kModified + "Successfully modified config on line 4\n" +
                   kModified + "Successfully modified config on line 13\n" +
                   kModified + "Successfully modified config on line 17\n" +
                   counts(4, 13) + kRestart,
               "kxcrypto: line 2 is not complete....skipping\n"
               "kxcrypto: Invalid key 'mode '.\n"
               "kxcrypto: could not modify line 3...skipping\n"
               "kxcrypto: tokenID on line 5 is not 'default'...skipping\n"
               "kxcrypto: line 6 does not begin with key 'tokenID='...skipping\n"
               "kxcrypto: line 7 does not have enoughkey/value pairs...skipping\n"
               "kxcrypto: line 8 has extraneous info...skipping\n"
               "kxcrypto: Invalid value 'simple' to key 'auth_up_type'.\n"
               "kxcrypto: could not modify line 9...skipping\n"
               "kxcrypto: Duplicate key 'enc_down_type=ARCFOUR'.\n"
               "kxcrypto: could not modify line 10...skipping\n"
               "kxcrypto: line 11 is not complete....skipping\n"
               "kxcrypto: line 12 is not complete....skipping\n"
               "kxcrypto: Invalid value 'none,x' to key 'enc_down_type'.\n"
               "kxcrypto: could not modify line 14...skipping\n"
               "kxcrypto: tokenID on line 15 is not 'default'...skipping\n"
               "kxcrypto: Invalid key 'colour'.\n"
               "kxcrypto: could not modify line 16...skipping\n");
    EXPECT_EQ(stored(), "enc_down_type=ARCFOUR,auth_down_type=simple,mode=soft,enc_up_type=ARCFOUR");
}

TEST_F(KxcryptoBatch, StandardInputAddsModifiesAndRemoves)
{
    std::string input =
        "tokenID=default,mode=default\n"                        // nothing to store
        "tokenID=default,mode=hard,enc_up_type=default\n"       // adds mode=hard
        "tokenID=default.token,mode=default\n"                  // removes it again
        "tokenID=default,mode=soft,auth_down_type=simple\n"     // adds anew
        "tokenID=default,enc_up_type=ARCFOUR,mode=hard\n";      // modifies
    EXPECT_RUN(kxcrypto({"-e"}, input), 0,
               "Successfully added config on line 1\n" +
                   kAdded + "Successfully added config on line 2\n" +
                   kModified + "Successfully modified config on line 3\n" +
                   kAdded + "Successfully added config on line 4\n" +
                   kModified + "Successfully modified config on line 5\n" +
                   counts(5, 0) + kRestart,
               "");
    EXPECT_EQ(stored(), "enc_up_type=ARCFOUR,mode=hard,auth_down_type=simple");
}

TEST_F(KxcryptoBatch, OnlyDefaultsStoresNothing)
{
    EXPECT_RUN(kxcrypto({"-e"}, "tokenID=default,mode=default,enc_up_type=default\n"), 0,
               "Successfully added config on line 1\n" + counts(1, 0) + kRestart, "");
    EXPECT_EQ(stored(), "<no entry>");
}

TEST_F(KxcryptoBatch, AddRefusalsAreCountedAsSkipped)
{
    std::string input =
        "tokenID=default,mode\n"
        "tokenID=default,mode=hard,mode=soft\n"
        "tokenID=default,enc_up_type=rc4\n"
        "tokenID=default,=\n";
    EXPECT_RUN(kxcrypto({"-e"}, input), 0, counts(0, 4) + kRestart,
               "kxcrypto: Ill-formed key/value pair mode\n"
               "kxcrypto: could not add line 1...skipping\n"
               "kxcrypto: Duplicate key 'mode=soft'.\n"
               "kxcrypto: could not add line 2...skipping\n"
               "kxcrypto: Invalid value 'rc4' to key 'enc_up_type'.\n"
               "kxcrypto: could not add line 3...skipping\n"
               "kxcrypto: Ill-formed key/value pair =\n"
               "kxcrypto: could not add line 4...skipping\n");
    EXPECT_EQ(stored(), "<no entry>");
}

TEST_F(KxcryptoBatch, EveryLineSkippedStillSucceeds)
{
    std::string in = scratch_ + "/batch.csv";
    write_file(in,
               "\n"
               "tokenID=default\n"
               "tokenID=other,mode=hard\n"
               "tokenID=default,mode=hard,mode=soft,mode=hard,mode=soft,mode=hard,mode=soft\n");
    EXPECT_RUN(kxcrypto({"-e", "-f", in}), 0, counts(0, 4) + kRestart,
               "kxcrypto: line 1 is not complete....skipping\n"
               "kxcrypto: line 2 does not have enoughkey/value pairs...skipping\n"
               "kxcrypto: tokenID on line 3 is not 'default'...skipping\n"
               "kxcrypto: line 4 has extraneous info...skipping\n");
    EXPECT_EQ(stored(), "<no entry>");
}

TEST_F(KxcryptoBatch, EmptyInput)
{
    EXPECT_RUN(kxcrypto({"-e"}, ""), 0, counts(0, 0) + kRestart, "");
    std::string in = scratch_ + "/empty.csv";
    write_file(in, "");
    EXPECT_RUN(kxcrypto({"-e", "-f", in}), 0, counts(0, 0) + kRestart, "");
    EXPECT_EQ(stored(), "<no entry>");
}

TEST_F(KxcryptoBatch, SixFieldsAreTheMost)
{
    EXPECT_RUN(kxcrypto({"-e"}, "tokenID=default,enc_up_type=none,enc_down_type=ARCFOUR,auth_up_type=none,"
                                "auth_down_type=simple,mode=hard\n"),
               0, kAdded + "Successfully added config on line 1\n" + counts(1, 0) + kRestart, "");
    EXPECT_EQ(stored(), "enc_up_type=none,enc_down_type=ARCFOUR,auth_up_type=none,auth_down_type=simple,mode=hard");
}

TEST_F(KxcryptoBatch, LinesOver255CharactersAreReadInPieces)
{
    // 300 characters: the first 255 form line 1, the rest line 2.
    std::string line = "tokenID=default,mode=hard," + std::string(274, 'x') + "\n";
    ASSERT_EQ(line.size(), 301u);
    EXPECT_RUN(kxcrypto({"-e"}, line), 0, counts(0, 2) + kRestart,
               "kxcrypto: Ill-formed key/value pair " + std::string(229, 'x') + "\n"
               "kxcrypto: could not add line 1...skipping\n"
               "kxcrypto: line 2 does not have enoughkey/value pairs...skipping\n");
    EXPECT_EQ(stored(), "<no entry>");
}

TEST_F(KxcryptoBatch, LineLengthBoundary)
{
    // 254 characters and the newline fit in one piece.
    std::string fits = "tokenID=default,mode=hard";
    fits += std::string(254 - fits.size(), ' ') + "\n";
    EXPECT_RUN(kxcrypto({"-e"}, fits), 0,
               kAdded + "Successfully added config on line 1\n" + counts(1, 0) + kRestart, "");
    EXPECT_EQ(stored(), "mode=hard");

    // With 255 characters the newline is a piece of its own.
    std::string spills = "tokenID=default,mode=soft";
    spills += std::string(255 - spills.size(), ' ') + "\n";
    EXPECT_RUN(kxcrypto({"-e"}, spills), 0,
               kModified + "Successfully modified config on line 1\n" + counts(1, 1) + kRestart,
               "kxcrypto: line 2 is not complete....skipping\n");
    EXPECT_EQ(stored(), "mode=soft");

    // A pair cut at the piece boundary.
    std::string cut = "tokenID=default" + std::string(231, ' ') + ",enc_up_type=ARCFOUR\n";
    ASSERT_EQ(cut.find("ARCFOUR"), 259u);
    EXPECT_RUN(kxcrypto({"-e"}, cut), 0, counts(0, 2) + kRestart,
               "kxcrypto: Ill-formed key/value pair enc_up_t\n"
               "kxcrypto: could not modify line 1...skipping\n"
               "kxcrypto: line 2 does not have enoughkey/value pairs...skipping\n");
    EXPECT_EQ(stored(), "mode=soft");
}

TEST_F(KxcryptoBatch, MissingFile)
{
    std::string in = scratch_ + "/nope.csv";
    EXPECT_RUN(kxcrypto({"-e", "-f", in}), 1, "",
               "kxcrypto: Could not open file '" + in + "' for reading.\n\n"
               "kxcrypto: Unable to complete batch configuration.\n");
    EXPECT_EQ(stored(), "<no entry>");
}

TEST_F(KxcryptoBatch, MalformedStoredStringMakesModifyingLinesFail)
{
    put_crypto_string("mode=hard,mode=soft");
    EXPECT_RUN(kxcrypto({"-e"}, "tokenID=default,enc_up_type=ARCFOUR\ntokenID=default,mode=hard\n"), 0,
               kModified + "Successfully modified config on line 2\n" + counts(1, 1) + kRestart,
               "kxcrypto: Duplicate key 'mode=soft'.\n"
               "kxcrypto: could not modify line 1...skipping\n");
    EXPECT_EQ(stored(), "mode=hard");
}

} // namespace
} // namespace e2e
