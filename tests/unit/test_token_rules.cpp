// Token name rules and the kinds of token ids, without a directory.

#include <clocale>
#include <string>

#include <gtest/gtest.h>

#include "admin_token.h"

namespace {

const char *const kNull = "Token pointer is NULL";
const char *const kNeedAlpha = "Letter required but not found";
const char *const kNeedAlnum = "Letter or digit required but not found";
const char *const kNeedAlnumBeforePeriod = "Letter or digit required before period";
const char *const kBadCharacter = "Illegal character";
const char *const kTooLong = "Too long";
const char *const kNeedAlnumAtEnd = "Final character must be letter or digit";
const char *const kNoPeriods = "At least one period is required";

// The message for an id, or "" when it is legal (the message pointer is
// then left alone).
std::string verdict(const char *id)
{
    const char *sentinel = "untouched";
    const char *message = sentinel;
    int legal = kx_isLegalToken(id, &message);
    EXPECT_EQ(legal == 1, message == sentinel) << (id ? id : "(null)");
    EXPECT_TRUE(legal == 0 || legal == 1);
    if (legal)
        return "";
    EXPECT_NE(message, nullptr);
    return message ? message : "(null message)";
}

std::string verdict(const std::string &id)
{
    return verdict(id.c_str());
}

// An id of n characters made of legal characters: a letter, then letters
// and digits, with one period in the middle.
std::string legal_id(size_t n)
{
    std::string s(n, 'a');
    for (size_t i = 1; i < n; ++i)
        s[i] = static_cast<char>('0' + i % 10);
    if (n >= 3)
        s[n / 2] = '.';
    return s;
}

TEST(TokenRules, LegalIds)
{
    for (const char *id : {"a.b", "pseudo.080020a1b2c3", "user.1234", "escape.x1", "a-b_c.d9", "Z.9",
                           "a.b.c", "x1.y2.z3", "a1.b-2_c", "mycard.1234"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(verdict(id), "");
        EXPECT_EQ(kx_isLegalToken(id, nullptr), 1);
    }
}

TEST(TokenRules, EveryMessage)
{
    const char *message = nullptr;
    EXPECT_EQ(kx_isLegalToken(nullptr, &message), 0);
    EXPECT_STREQ(message, kNull);
    EXPECT_EQ(kx_isLegalToken(nullptr, nullptr), 0);

    struct Case {
        const char *id;
        const char *message;
    };
    const Case cases[] = {
        {"", kNeedAlpha},
        {"1abc.d", kNeedAlpha},
        {".abc", kNeedAlpha},
        {"-ab.c", kNeedAlpha},
        {"_ab.c", kNeedAlpha},
        {" a.b", kNeedAlpha},
        {"a..b", kNeedAlnum},
        {"a.-b", kNeedAlnum},
        {"a._b", kNeedAlnum},
        {"a. b", kNeedAlnum},
        {"a.b..c", kNeedAlnum},
        {"a-.b", kNeedAlnumBeforePeriod},
        {"a_.b", kNeedAlnumBeforePeriod},
        {"a b.c", kBadCharacter},
        {"a.b/c", kBadCharacter},
        {"a.b:c", kBadCharacter},
        {"a.b*", kBadCharacter},
        {"a.b,c", kBadCharacter},
        {"a.b=c", kBadCharacter},
        {"a.b(c", kBadCharacter},
        {"a.b\tc", kBadCharacter},
        {"abc.", kNeedAlnumAtEnd},
        {"a.b-", kNeedAlnumAtEnd},
        {"a.b_", kNeedAlnumAtEnd},
        {"abc", kNoPeriods},
        {"a-b_c", kNoPeriods},
        {"a", kNoPeriods},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(verdict(c.id), c.message);
        EXPECT_EQ(kx_isLegalToken(c.id, nullptr), 0);
    }
}

TEST(TokenRules, FirstBrokenRuleDecides)
{
    // The checks run from the left; the first rule broken is reported.
    EXPECT_EQ(verdict("1.."), kNeedAlpha);
    EXPECT_EQ(verdict("a.-"), kNeedAlnum);          // not the final-character rule
    EXPECT_EQ(verdict("a-."), kNeedAlnumBeforePeriod);
    EXPECT_EQ(verdict("a b"), kBadCharacter);       // not the period rule
    EXPECT_EQ(verdict("ab-"), kNeedAlnumAtEnd);     // before the period rule
    EXPECT_EQ(verdict("a..b c"), kNeedAlnum);
    EXPECT_EQ(verdict("a.b c."), kBadCharacter);
    EXPECT_EQ(verdict("a.."), kNeedAlnum);
}

TEST(TokenRules, LengthLimitIs64Characters)
{
    std::string id64 = legal_id(64);
    ASSERT_EQ(id64.size(), 64u);
    EXPECT_EQ(verdict(id64), "");
    std::string id65 = legal_id(65);
    EXPECT_EQ(verdict(id65), kTooLong);
    EXPECT_EQ(verdict(id64 + "b"), kTooLong);
    EXPECT_EQ(verdict(id64 + "-"), kTooLong);
    EXPECT_EQ(verdict(id64 + "."), kTooLong);
    EXPECT_EQ(verdict(id64 + "bbbbbbbbbb"), kTooLong);
    EXPECT_EQ(verdict(std::string(1000, 'a')), kTooLong);
    // A 65th character that is itself refused reports its own rule.
    EXPECT_EQ(verdict(id64 + " "), kBadCharacter);
    EXPECT_EQ(verdict(id64.substr(0, 63) + ".-"), kNeedAlnum);
    // At 64 characters the end rules still apply.
    EXPECT_EQ(verdict(id64.substr(0, 63) + "-"), kNeedAlnumAtEnd);
    EXPECT_EQ(verdict(std::string(64, 'a')), kNoPeriods);
    EXPECT_EQ(verdict(std::string(65, 'a')), kTooLong);
    // A rule broken before the 65th character wins.
    EXPECT_EQ(verdict("a b" + std::string(70, 'c')), kBadCharacter);
}

TEST(TokenRules, CharacterClassesAreThoseOfThePosixLocale)
{
    // Bytes above 127 are neither letters nor digits, whatever the locale.
    const char *saved = std::setlocale(LC_ALL, nullptr);
    std::string restore = saved ? saved : "C";
    for (const char *locale : {"C", "C.UTF-8", "en_US.ISO-8859-1", "de_DE.ISO-8859-1"}) {
        if (!std::setlocale(LC_ALL, locale))
            continue;
        SCOPED_TRACE(locale);
        EXPECT_EQ(verdict("ab\xe9.c"), kBadCharacter);
        EXPECT_EQ(verdict("\xc9t\xe9.c"), kNeedAlpha);
        EXPECT_EQ(verdict("a.\xe9t\xe9"), kNeedAlnum);
        EXPECT_EQ(verdict("a.b\xb2"), kBadCharacter);  // superscript two
        EXPECT_EQ(verdict("a.b\xc3\xa9"), kBadCharacter);
    }
    std::setlocale(LC_ALL, restore.c_str());
}

TEST(TokenRules, MessagesAreHandedOutByAddress)
{
    const char *first = nullptr;
    const char *second = nullptr;
    EXPECT_EQ(kx_isLegalToken("abc", &first), 0);
    EXPECT_EQ(kx_isLegalToken("a-b", &second), 0);
    EXPECT_EQ(first, second);
    EXPECT_EQ(kx_isLegalToken("1", &first), 0);
    EXPECT_EQ(kx_isLegalToken("", &second), 0);
    EXPECT_EQ(first, second);
}

TEST(TokenRules, TerminalBoundTokens)
{
    for (const char *id : {"PSEUDO.abc", "pseudo.080020a1b2c3", "Escape.x", "escape.x1", "terminalid.12",
                           "TerminalId.0800200c9a66", "pSeUdO.x.y"})
        EXPECT_EQ(kx_isDtuBoundToken(id), 1) << id;
    for (const char *id : {"pseudoabc.x", "user.x", "pseudo", "escape", "terminalid", "terminal.12",
                           "xpseudo.abc", "mycard.1234", "pseudo.", "pseudo.a b", "pseudo._x",
                           "pseudo.x-", "escapex.1", "terminalidx.1"})
        EXPECT_EQ(kx_isDtuBoundToken(id), 0) << id;
    EXPECT_EQ(kx_isDtuBoundToken(nullptr), 0);
    EXPECT_EQ(kx_isDtuBoundToken(""), 0);
    // The prefix counts, the id must also be legal as a whole.
    EXPECT_EQ(kx_isDtuBoundToken(("pseudo." + std::string(57, 'a')).c_str()), 1);
    EXPECT_EQ(kx_isDtuBoundToken(("pseudo." + std::string(58, 'a')).c_str()), 0);
}

TEST(TokenRules, DirectoryLogicalTokens)
{
    for (const char *id : {"USER.abc", "user.1718000000-4711", "User.x", "user.a.b"})
        EXPECT_EQ(kx_isDsLogicalToken(id), 1) << id;
    for (const char *id : {"users.x", "user", "user.", "useR", "pseudo.x", "xuser.a", "user._a", "user.a b",
                           "user-x.a"})
        EXPECT_EQ(kx_isDsLogicalToken(id), 0) << id;
    EXPECT_EQ(kx_isDsLogicalToken(nullptr), 0);
    EXPECT_EQ(kx_isDsLogicalToken(""), 0);
}

TEST(TokenRules, FixedAndPersonalTokensWithoutASession)
{
    // A user. id can only be fixed through its logical token, which needs a
    // session.
    EXPECT_EQ(kx_isFixedToken(nullptr, "user.abc"), 0);
    EXPECT_EQ(kx_isFixedToken(nullptr, "USER.pseudo"), 0);
    EXPECT_EQ(kx_isFixedToken(nullptr, "pseudo.x"), 1);
    EXPECT_EQ(kx_isFixedToken(nullptr, "Escape.x"), 1);
    EXPECT_EQ(kx_isFixedToken(nullptr, "terminalid.12"), 1);
    EXPECT_EQ(kx_isFixedToken(nullptr, "mycard.1234"), 0);
    EXPECT_EQ(kx_isFixedToken(nullptr, "pseudo.x y"), 0);
    EXPECT_EQ(kx_isFixedToken(nullptr, "pseudo."), 0);
    EXPECT_EQ(kx_isFixedToken(nullptr, nullptr), 0);
    EXPECT_EQ(kx_isFixedToken(nullptr, ""), 0);

    EXPECT_EQ(kx_isPersonalToken(nullptr, "mycard.1234"), 1);
    EXPECT_EQ(kx_isPersonalToken(nullptr, "user.abc"), 1);
    EXPECT_EQ(kx_isPersonalToken(nullptr, "a.b.c"), 1);
    EXPECT_EQ(kx_isPersonalToken(nullptr, "pseudo.x"), 0);
    EXPECT_EQ(kx_isPersonalToken(nullptr, "ESCAPE.x"), 0);
    EXPECT_EQ(kx_isPersonalToken(nullptr, "mycard"), 0);
    EXPECT_EQ(kx_isPersonalToken(nullptr, "my card.1"), 0);
    EXPECT_EQ(kx_isPersonalToken(nullptr, legal_id(65).c_str()), 0);
    EXPECT_EQ(kx_isPersonalToken(nullptr, legal_id(64).c_str()), 1);
    EXPECT_EQ(kx_isPersonalToken(nullptr, nullptr), 0);
    EXPECT_EQ(kx_isPersonalToken(nullptr, ""), 0);
}

TEST(TokenRules, RawTokenIdsHaveExactlyOnePeriod)
{
    char def[] = "default.token";
    EXPECT_EQ(legal_raw_token_id(def), 1);
    for (std::string id : {"pseudo.080020a1b2c3", "mycard.1234", "a.b", "a-b_c.d9"})
        EXPECT_EQ(legal_raw_token_id(id.data()), 1) << id;
    // Two or more periods: legal names, but not raw token ids.
    for (std::string id : {"a.b.c", "user.a.b", "a.b.c.d"}) {
        EXPECT_EQ(kx_isLegalToken(id.c_str(), nullptr), 1) << id;
        EXPECT_EQ(legal_raw_token_id(id.data()), 0) << id;
    }
    for (std::string id : {"", "abc", "default", "a..b", "1.b", "a.b-", "a b.c"})
        EXPECT_EQ(legal_raw_token_id(id.data()), 0) << id;
    std::string id64 = legal_id(64), id65 = legal_id(65);
    EXPECT_EQ(legal_raw_token_id(id64.data()), 1);
    EXPECT_EQ(legal_raw_token_id(id65.data()), 0);
    EXPECT_EQ(legal_raw_token_id(nullptr), 0);
}

} // namespace
