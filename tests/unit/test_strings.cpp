// String and memory helpers: allocation, trimming, classification, the
// password scrambling, HTML-safe text, time formatting and the validators
// of terminal ids and group names.

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "utils.h"

namespace {

// Takes a heap string from the library, frees it, and returns its text
// (or "<null>").
std::string take(char *s)
{
    std::string out = s ? s : "<null>";
    std::free(s);
    return out;
}

const char kCidFormat[] =
    "Incorrect CID format\n"
    "        Format is a 12-digit hexadecimal MAC address,\n"
    "        optionally prefixed by 'IEEE802.'";
const char kCidTooSmall[] = "Internal error: input buffer too small";
const char kGroupFormat[] =
    "Incorrect group name format\n"
    "        Group name format is ASCII letter\n"
    "        followed by ASCII alphanumeric or '-'";

// Sets one locale category for a test and puts the previous setting back.
class ScopedCategory {
public:
    ScopedCategory(int category, const char *name) : category_(category)
    {
        if (const char *cur = std::setlocale(category, nullptr))
            saved_ = cur;
        const char *now = std::setlocale(category, name);
        if (now)
            current_ = now;
    }
    ~ScopedCategory() { std::setlocale(category_, saved_.empty() ? "C" : saved_.c_str()); }
    bool ok() const { return !current_.empty(); }
    const std::string &current() const { return current_; }

private:
    int category_;
    std::string saved_;
    std::string current_;
};

std::string ctype_now()
{
    const char *cur = std::setlocale(LC_CTYPE, nullptr);
    return cur ? cur : "";
}

// HTML-safe form, built independently of the library.
std::string html_safe(const std::string &s)
{
    if (s.empty())
        return "&nbsp;";
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&#060;"; break;
        case '>': out += "&#062;"; break;
        case '"': out += "&#034;"; break;
        case '&': out += "&#038;"; break;
        default: out += c;
        }
    }
    return out;
}

} // namespace

// ---- allocation -------------------------------------------------------------

TEST(SafeAlloc, BlocksAreZeroFilledAndFullSize)
{
    auto *m = static_cast<unsigned char *>(safe_malloc(100));
    ASSERT_NE(m, nullptr);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(m[i], 0) << i;
    std::memset(m, 0xAB, 100);
    std::free(m);

    auto *c = static_cast<int *>(safe_calloc(25, sizeof(int)));
    ASSERT_NE(c, nullptr);
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(c[i], 0) << i;
    std::memset(c, 0xCD, 25 * sizeof(int));
    std::free(c);
}

TEST(SafeAllocDeathTest, MallocFailureEndsTheProcess)
{
    EXPECT_EXIT(safe_malloc(-1), ::testing::ExitedWithCode(1), "^Could not malloc -1 bytes\n$");
}

TEST(SafeAllocDeathTest, CallocFailureEndsTheProcess)
{
    EXPECT_EXIT(safe_calloc(-1, 4), ::testing::ExitedWithCode(1),
                "^Could not calloc -1 elements of 4 bytes\n$");
    EXPECT_EXIT(safe_calloc(3, -1), ::testing::ExitedWithCode(1),
                "^Could not calloc 3 elements of -1 bytes\n$");
}

TEST(SafeAlloc, Strdup)
{
    EXPECT_EQ(safe_strdup(nullptr), nullptr);
    const char text[] = "copy me";
    char *copy = safe_strdup(text);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, text);
    std::free(copy);
    EXPECT_EQ(take(safe_strdup("")), "");
}

// ---- comparison, numbers, counting -------------------------------------------

TEST(SafeStrcmp, NullSortsAfterEveryString)
{
    EXPECT_EQ(safe_strcmp(nullptr, nullptr), 0);
    EXPECT_EQ(safe_strcmp(nullptr, "a"), 1);
    EXPECT_EQ(safe_strcmp(nullptr, ""), 1);
    EXPECT_EQ(safe_strcmp("a", nullptr), -1);
    EXPECT_EQ(safe_strcmp("", nullptr), -1);
    EXPECT_EQ(safe_strcmp("abc", "abc"), 0);
    EXPECT_LT(safe_strcmp("abc", "abd"), 0);
    EXPECT_GT(safe_strcmp("b", "a"), 0);
    EXPECT_LT(safe_strcmp("ab", "abc"), 0);
}

TEST(Itos, DecimalText)
{
    EXPECT_EQ(take(itos(0)), "0");
    EXPECT_EQ(take(itos(-1)), "-1");
    EXPECT_EQ(take(itos(389)), "389");
    EXPECT_EQ(take(itos(INT_MAX)), "2147483647");
    EXPECT_EQ(take(itos(INT_MIN)), "-2147483648");
}

TEST(NumStrings, CountsEntries)
{
    EXPECT_EQ(num_strings(nullptr), 0);
    char *empty[] = {nullptr};
    EXPECT_EQ(num_strings(empty), 0);
    char a[] = "a", b[] = "b";
    char *two[] = {a, b, nullptr};
    EXPECT_EQ(num_strings(two), 2);
}

// ---- trimming ------------------------------------------------------------------

TEST(StripWhitespace, RemovesBlanksTabsAndNewlinesAtBothEnds)
{
    EXPECT_EQ(take(strip_leading_and_trailing_whitespace("  a b \n")), "a b");
    EXPECT_EQ(take(strip_leading_and_trailing_whitespace("\t\n x\ty \t\n\n")), "x\ty");
    EXPECT_EQ(take(strip_leading_and_trailing_whitespace("x")), "x");
    EXPECT_EQ(take(strip_leading_and_trailing_whitespace("x ")), "x");
    EXPECT_EQ(take(strip_leading_and_trailing_whitespace(" x")), "x");
}

TEST(StripWhitespace, NothingLeftIsNull)
{
    EXPECT_EQ(strip_leading_and_trailing_whitespace(nullptr), nullptr);
    EXPECT_EQ(strip_leading_and_trailing_whitespace(""), nullptr);
    EXPECT_EQ(strip_leading_and_trailing_whitespace(" \t\n \n\t"), nullptr);
}

TEST(StripWhitespace, KeepsCarriageReturnsAndOtherWhiteSpace)
{
    EXPECT_EQ(take(strip_leading_and_trailing_whitespace("\r a \r")), "\r a \r");
    EXPECT_EQ(take(strip_leading_and_trailing_whitespace(" value\r\n")), "value\r");
    EXPECT_EQ(take(strip_leading_and_trailing_whitespace("\v\f")), "\v\f");
}

TEST(StripWhitespace, LongText)
{
    std::string core(5000, 'z');
    std::string text = std::string(300, ' ') + core + std::string(300, '\n');
    EXPECT_EQ(take(strip_leading_and_trailing_whitespace(text.c_str())), core);
}

TEST(StripQuotes, RemovesDoubleQuotesOnly)
{
    EXPECT_EQ(take(strip_leading_and_trailing_quotes("\"\"abc\"")), "abc");
    EXPECT_EQ(take(strip_leading_and_trailing_quotes("a\"b")), "a\"b");
    EXPECT_EQ(take(strip_leading_and_trailing_quotes(" \"a\" ")), " \"a\" ");
    EXPECT_EQ(take(strip_leading_and_trailing_quotes("'a'")), "'a'");
    EXPECT_EQ(take(strip_leading_and_trailing_quotes("\"a b\"\n")), "a b\"\n");
    EXPECT_EQ(strip_leading_and_trailing_quotes("\"\"\""), nullptr);
    EXPECT_EQ(strip_leading_and_trailing_quotes(""), nullptr);
    EXPECT_EQ(strip_leading_and_trailing_quotes(nullptr), nullptr);
}

// ---- classification ------------------------------------------------------------

TEST(IsNumeric, DigitsOnly)
{
    EXPECT_EQ(is_numeric(""), 1);
    EXPECT_EQ(is_numeric("0"), 1);
    EXPECT_EQ(is_numeric("0123456789"), 1);
    for (const char *s : {"12a", "a12", "-1", "+1", " 1", "1 ", "1.5", "0x1F", "1\n", "\xd9\xa1"})
        EXPECT_EQ(is_numeric(s), 0) << "'" << s << "'";
}

TEST(IsSubstring, IgnoresLetterCase)
{
    EXPECT_EQ(is_substring("Mode=Hard", "hard"), 1);
    EXPECT_EQ(is_substring("mode=hard", "MODE"), 1);
    EXPECT_EQ(is_substring("abc", "abc"), 1);
    EXPECT_EQ(is_substring("abc", "abcd"), 0);
    EXPECT_EQ(is_substring("abc", "x"), 0);
    EXPECT_EQ(is_substring("", "a"), 0);
    EXPECT_EQ(is_substring("enc_up_type", "UP_T"), 1);
}

// ---- escape and scramble ---------------------------------------------------------

TEST(Escape, BackslashBeforeEveryOccurrence)
{
    EXPECT_EQ(take(escape("a,b,,c", ',')), "a\\,b\\,\\,c");
    EXPECT_EQ(take(escape("none here", ',')), "none here");
    EXPECT_EQ(take(escape("", ',')), "");
    EXPECT_EQ(escape(nullptr, ','), nullptr);
    EXPECT_EQ(take(escape("a\\b", '\\')), "a\\\\b");
}

TEST(Escape, EveryCharacterEscaped)
{
    // Worst case: the result fills twice the length plus the NUL.
    std::string text(1000, ';');
    std::string expected;
    for (int i = 0; i < 1000; ++i)
        expected += "\\;";
    EXPECT_EQ(take(escape(text.c_str(), ';')), expected);
}

TEST(Escape, SplitsBackIntoTheSameField)
{
    char *escaped = escape("k=a,b,c", ',');
    ASSERT_NE(escaped, nullptr);
    char **fields = parse_args(escaped, ',');
    std::free(escaped);
    ASSERT_NE(fields, nullptr);
    EXPECT_EQ(count_args(fields), 1);
    EXPECT_STREQ(fields[0], "k=a,b,c");
    free_args(fields);
}

TEST(ScrambleText, Rot13KeepsCase)
{
    EXPECT_EQ(take(scramble_text("Abc-Nz9")), "Nop-Am9");
    EXPECT_EQ(take(scramble_text("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")),
              "nopqrstuvwxyzabcdefghijklmNOPQRSTUVWXYZABCDEFGHIJKLM");
    EXPECT_EQ(take(scramble_text("0123 !@#[]`{}~")), "0123 !@#[]`{}~");
    EXPECT_EQ(take(scramble_text("")), "");
}

TEST(ScrambleText, TwiceRestoresTheText)
{
    const char secret[] = "S3cret Pa$$word-with-Zz";
    char *once = scramble_text(secret);
    ASSERT_NE(once, nullptr);
    EXPECT_STRNE(once, secret);
    EXPECT_EQ(take(scramble_text(once)), secret);
    std::free(once);
}

// ---- kx_safe_str -------------------------------------------------------------------

TEST(SafeStr, EmptyTextIsNbsp)
{
    EXPECT_EQ(take(kx_safe_str(nullptr)), "&nbsp;");
    EXPECT_EQ(take(kx_safe_str("")), "&nbsp;");
}

TEST(SafeStr, PlainTextIsCopied)
{
    const char text[] = "plain text, with 'quotes' and #;=";
    char *out = kx_safe_str(text);
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out, text);
    EXPECT_STREQ(out, text);
    std::free(out);
}

TEST(SafeStr, MarkupCharactersBecomeEntities)
{
    EXPECT_EQ(take(kx_safe_str("a<b")), "a&#060;b");
    EXPECT_EQ(take(kx_safe_str("<>\"&")), "&#060;&#062;&#034;&#038;");
    EXPECT_EQ(take(kx_safe_str("&nbsp;")), "&#038;nbsp;");
    EXPECT_EQ(take(kx_safe_str("x>")), "x&#062;");
}

TEST(SafeStr, LongTextGrowsTheBuffer)
{
    std::string all_markup(1000, '<');
    std::string out = take(kx_safe_str(all_markup.c_str()));
    ASSERT_EQ(out.size(), 6000u);
    EXPECT_EQ(out, html_safe(all_markup));

    std::string mixed;
    for (int i = 0; i < 3000; ++i)
        mixed += "ab<c>d\"&"[i % 8];
    EXPECT_EQ(take(kx_safe_str(mixed.c_str())), html_safe(mixed));
}

TEST(SafeStr, EveryLengthAroundTheGrowthSteps)
{
    // Walks the output length across several 512-byte steps, with the
    // markup character at the end where the last entity has to fit.
    for (int n = 0; n < 1100; ++n) {
        std::string text = std::string(static_cast<size_t>(n), 'x') + "&";
        ASSERT_EQ(take(kx_safe_str(text.c_str())), html_safe(text)) << "n=" << n;
    }
    for (int n = 1; n < 200; ++n) {
        std::string text(static_cast<size_t>(n), '"');
        text += "tail";
        ASSERT_EQ(take(kx_safe_str(text.c_str())), html_safe(text)) << "n=" << n;
    }
}

// ---- time formatting ---------------------------------------------------------------

class TimeFormat : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char *tz = std::getenv("TZ")) {
            had_tz_ = true;
            saved_tz_ = tz;
        }
        use_tz("UTC");
    }
    void TearDown() override
    {
        if (had_tz_)
            setenv("TZ", saved_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void use_tz(const char *tz)
    {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    bool had_tz_ = false;
    std::string saved_tz_;
};

TEST_F(TimeFormat, NumericForm)
{
    EXPECT_EQ(take(time_field_to_time_string(0)), "01/01/1970 00:00:00");
    EXPECT_EQ(take(time_field_to_time_string(1700000000)), "11/14/2023 22:13:20");
    EXPECT_EQ(take(time_field_to_time_string(951782400)), "02/29/2000 00:00:00");
}

TEST_F(TimeFormat, NumericFormUsesLocalTime)
{
    use_tz("EST5");
    EXPECT_EQ(take(time_field_to_time_string(0)), "12/31/1969 19:00:00");
}

TEST_F(TimeFormat, NumericFormHas19Characters)
{
    for (time_t t : {time_t(0), time_t(86399), time_t(1234567890), time_t(2147483647)}) {
        std::string s = take(time_field_to_time_string(t));
        EXPECT_EQ(s.size(), 19u) << s;
    }
}

TEST_F(TimeFormat, LocaleForm)
{
    ScopedCategory c_time(LC_TIME, "C");
    EXPECT_EQ(take(time_field_to_time_string_i18n(0)), "Thu Jan  1 00:00:00 1970");
    EXPECT_EQ(take(time_field_to_time_string_i18n(1700000000)), "Tue Nov 14 22:13:20 2023");
    use_tz("EST5");
    EXPECT_EQ(take(time_field_to_time_string_i18n(0)), "Wed Dec 31 19:00:00 1969");
}

// ---- kx_normalize_CID -------------------------------------------------------------

namespace {
struct CidResult {
    bool ok;
    std::string out;
    std::string err;
};

CidResult normalize(const char *cid)
{
    // An output buffer of exactly the needed size, on the heap so that a
    // write past it is caught.
    std::unique_ptr<char[]> buf(new char[21]);
    std::memset(buf.get(), '?', 21);
    char *err = const_cast<char *>("unset");
    char *r = kx_normalize_CID(cid, buf.get(), 21, &err);
    CidResult res;
    res.ok = r != nullptr;
    if (r) {
        EXPECT_EQ(r, buf.get());
        res.out = r;
    }
    res.err = err ? err : "<null>";
    return res;
}
} // namespace

TEST(NormalizeCid, CanonicalForm)
{
    for (const char *cid : {"0123456789AB", "0123456789ab", "ieee802.0123456789AB",
                            "IEEE802.0123456789ab", "IeEe802.0123456789Ab"}) {
        CidResult r = normalize(cid);
        EXPECT_TRUE(r.ok) << cid;
        EXPECT_EQ(r.out, "IEEE802.0123456789ab") << cid;
        EXPECT_EQ(r.err, "<null>") << cid;
    }
    EXPECT_EQ(normalize("ABCDEFabcdef").out, "IEEE802.abcdefabcdef");
    EXPECT_EQ(normalize("000000000000").out, "IEEE802.000000000000");
}

TEST(NormalizeCid, MalformedIdsGiveTheFormatText)
{
    for (const char *cid :
         {"0123456789A", "0123456789ABC", "01:23:45:67:89:ab", "IEEE802.", "IEEE802",
          "", "IEEE8020123456789ab", "IEEE802.0123456789a", "IEEE802.0123456789abc",
          "g123456789ab", " 0123456789ab", "0123456789ab ", "0123456789ab\n",
          "IEEE802.IEEE802.0123", "IEEE803.0123456789ab", "0x0123456789", "EEE802.012345678"}) {
        CidResult r = normalize(cid);
        EXPECT_FALSE(r.ok) << "'" << cid << "'";
        EXPECT_EQ(r.err, kCidFormat) << "'" << cid << "'";
    }
}

TEST(NormalizeCid, BufferOf20BytesIsTooSmall)
{
    char buf[20];
    char *err = nullptr;
    EXPECT_EQ(kx_normalize_CID("0123456789ab", buf, 20, &err), nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, kCidTooSmall);

    err = nullptr;
    EXPECT_EQ(kx_normalize_CID("0123456789ab", buf, 0, &err), nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, kCidTooSmall);
}

TEST(NormalizeCid, LargerBufferIsFine)
{
    char buf[64];
    std::memset(buf, 'z', sizeof buf);
    char *err = nullptr;
    ASSERT_EQ(kx_normalize_CID("IEEE802.AABBCCDDEEFF", buf, sizeof buf, &err), buf);
    EXPECT_STREQ(buf, "IEEE802.aabbccddeeff");
    EXPECT_EQ(err, nullptr);
}

TEST(NormalizeCid, NullErrorTextAddress)
{
    char buf[32] = "untouched";
    EXPECT_EQ(kx_normalize_CID("0123456789ab", buf, sizeof buf, nullptr), nullptr);
    EXPECT_STREQ(buf, "untouched");
}

TEST(NormalizeCid, RestoresCharacterClassification)
{
    ScopedCategory ctype(LC_CTYPE, "C.UTF-8");
    if (!ctype.ok())
        GTEST_SKIP() << "C.UTF-8 locale not available";
    const std::string before = ctype_now();
    char buf[21];
    char *err = nullptr;
    EXPECT_NE(kx_normalize_CID("0123456789ab", buf, sizeof buf, &err), nullptr);
    EXPECT_EQ(ctype_now(), before);
    EXPECT_EQ(kx_normalize_CID("xyz", buf, sizeof buf, &err), nullptr);
    EXPECT_EQ(ctype_now(), before);
    EXPECT_EQ(kx_normalize_CID("IEEE802.0123456789a", buf, sizeof buf, &err), nullptr);
    EXPECT_EQ(ctype_now(), before);
    EXPECT_EQ(kx_normalize_CID("0123456789ab", buf, 5, &err), nullptr);
    EXPECT_EQ(ctype_now(), before);
}

// ---- kx_validate_multihead_group_name ----------------------------------------------

namespace {
std::string group_check(const char *name, int expected)
{
    char *err = const_cast<char *>("unset");
    int r = kx_validate_multihead_group_name(name, &err);
    EXPECT_EQ(r, expected) << "'" << (name ? name : "(null)") << "'";
    return err ? err : "<null>";
}
} // namespace

TEST(GroupName, ValidNames)
{
    for (const char *name : {"g1-a", "a", "Z", "A-b-C9", "ab--cd", "x0"})
        EXPECT_EQ(group_check(name, 1), "<null>") << name;
}

TEST(GroupName, InvalidNamesGiveTheFormatText)
{
    for (const char *name :
         {"1abc", "a_b", "a-", "", "-a", "a b", "ab.c", "a\n", "\xc3\xa4z", "z\xc3\xa4"})
        EXPECT_EQ(group_check(name, 0), kGroupFormat) << "'" << name << "'";
    EXPECT_EQ(group_check(nullptr, 0), kGroupFormat);
}

TEST(GroupName, LengthLimit)
{
    std::string n256(256, 'g');
    EXPECT_EQ(group_check(n256.c_str(), 1), "<null>");
    std::string n257(257, 'g');
    EXPECT_EQ(group_check(n257.c_str(), 0), kGroupFormat);
    std::string mixed256 = "a" + std::string(254, '-') + "9";
    EXPECT_EQ(group_check(mixed256.c_str(), 1), "<null>");
    std::string dash256 = std::string(255, 'h') + "-";
    EXPECT_EQ(group_check(dash256.c_str(), 0), kGroupFormat);
    std::string n1000(1000, 'q');
    EXPECT_EQ(group_check(n1000.c_str(), 0), kGroupFormat);
}

TEST(GroupName, NullErrorTextAddress)
{
    EXPECT_EQ(kx_validate_multihead_group_name("valid", nullptr), 0);
}

TEST(GroupName, RestoresCharacterClassification)
{
    ScopedCategory ctype(LC_CTYPE, "C.UTF-8");
    if (!ctype.ok())
        GTEST_SKIP() << "C.UTF-8 locale not available";
    const std::string before = ctype_now();
    char *err = nullptr;
    EXPECT_EQ(kx_validate_multihead_group_name("good-name1", &err), 1);
    EXPECT_EQ(ctype_now(), before);
    EXPECT_EQ(kx_validate_multihead_group_name("9bad", &err), 0);
    EXPECT_EQ(ctype_now(), before);
    EXPECT_EQ(kx_validate_multihead_group_name("bad-", &err), 0);
    EXPECT_EQ(ctype_now(), before);
}
