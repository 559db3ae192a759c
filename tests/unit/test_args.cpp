// Key/value arrays and line arrays: splitting, searching, merging and the
// round trip of a small configuration file through a line array.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxerrno.h"
#include "utils.h"

namespace {

using Strings = std::vector<std::string>;

// Owns a key/value array and releases it with free_args.
class KvArray {
public:
    explicit KvArray(char **a = nullptr) : a_(a) {}
    ~KvArray() { free_args(a_); }
    KvArray(const KvArray &) = delete;
    KvArray &operator=(const KvArray &) = delete;
    char **get() const { return a_; }
    char ***addr() { return &a_; }
    Strings strings() const
    {
        Strings out;
        for (char **e = a_; e && *e; ++e)
            out.emplace_back(*e);
        return out;
    }

private:
    char **a_;
};

// Heap key/value array built from literals, as parse_args would hand one out.
char **make_kv(const Strings &entries)
{
    auto **a = static_cast<char **>(std::calloc(entries.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < entries.size(); ++i)
        a[i] = strdup(entries[i].c_str());
    return a;
}

// A line array with room for the full capacity and the NULL end; the number
// of lines in use is kept beside it, as the library's callers do.
class LineArray {
public:
    LineArray() : lines_(static_cast<char **>(std::calloc(KX_MAX_LINES + 1, sizeof(char *)))) {}
    explicit LineArray(const Strings &init) : LineArray()
    {
        for (const auto &s : init)
            lines_[count_++] = strdup(s.c_str());
    }
    ~LineArray()
    {
        free_string_array(lines_, count_);
        std::free(lines_);
    }
    LineArray(const LineArray &) = delete;
    LineArray &operator=(const LineArray &) = delete;
    char **get() { return lines_; }
    int &count() { return count_; }
    Strings strings() const
    {
        Strings out;
        for (int i = 0; i < count_; ++i)
            out.emplace_back(lines_[i] ? lines_[i] : "<null>");
        return out;
    }

private:
    char **lines_;
    int count_ = 0;
};

// Directory made with mkdtemp under /tmp, removed with its contents.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/kx_args_XXXXXX";
        const char *made = mkdtemp(tmpl);
        if (made)
            path_ = made;
    }
    ~TempDir()
    {
        if (!path_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
        }
    }
    bool ok() const { return !path_.empty(); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Strings split(const char *text, char sep)
{
    KvArray a(parse_args(text, sep));
    EXPECT_NE(a.get(), nullptr);
    return a.strings();
}

std::string too_long_message(const std::string &first511)
{
    // Anchored: the two lines and nothing else on the error stream.
    return "^Error - Argument string too long:\n '" + first511 + "\\.\\.\\.'\n$";
}

} // namespace

// ---- parse_args ------------------------------------------------------------

TEST(ParseArgs, SplitsAndTrimsFields)
{
    EXPECT_EQ(split("tokenID=default, mode=hard\n", ','),
              (Strings{"tokenID=default", "mode=hard"}));
    EXPECT_EQ(split(" \t a b \n,\n\tc=d\t\n", ','), (Strings{"a b", "c=d"}));
}

TEST(ParseArgs, EmptyAndBlankFieldsBecomeEmptyStrings)
{
    EXPECT_EQ(split("", ','), (Strings{""}));
    EXPECT_EQ(split(",,", ','), (Strings{"", "", ""}));
    EXPECT_EQ(split(" , \t,\n", ','), (Strings{"", "", ""}));
    EXPECT_EQ(split("a,", ','), (Strings{"a", ""}));
    EXPECT_EQ(split(",a", ','), (Strings{"", "a"}));
}

TEST(ParseArgs, KSeparatorsGiveKPlusOneFields)
{
    std::string text(100, ',');
    Strings fields = split(text.c_str(), ',');
    ASSERT_EQ(fields.size(), 101u);
    for (const auto &f : fields)
        EXPECT_EQ(f, "");
}

TEST(ParseArgs, OnlyTrimsBlanksTabsAndNewlines)
{
    EXPECT_EQ(split("\ra\r,\vb", ','), (Strings{"\ra\r", "\vb"}));
}

TEST(ParseArgs, OtherSeparators)
{
    EXPECT_EQ(split("a b  c", ' '), (Strings{"a", "b", "", "c"}));
    EXPECT_EQ(split("x=1;y=2", ';'), (Strings{"x=1", "y=2"}));
    // A separator that does not occur leaves one field.
    EXPECT_EQ(split("x=1,y=2", ';'), (Strings{"x=1,y=2"}));
}

TEST(ParseArgs, BackslashEscapes)
{
    EXPECT_EQ(split("a\\,b,c", ','), (Strings{"a,b", "c"}));
    EXPECT_EQ(split("a\\b", ','), (Strings{"ab"}));
    EXPECT_EQ(split("ab\\", ','), (Strings{"ab"}));
    EXPECT_EQ(split("\\,", ','), (Strings{","}));
    EXPECT_EQ(split("a\\,", ','), (Strings{"a,"}));
    // The first backslash is dropped, the second escapes the separator.
    EXPECT_EQ(split("a\\\\,b", ','), (Strings{"a,b"}));
    EXPECT_EQ(split("\\,\\,\\,", ','), (Strings{",,,"}));
    EXPECT_EQ(split("k=a\\;b;m=c", ';'), (Strings{"k=a;b", "m=c"}));
}

TEST(ParseArgs, FieldOf511CharactersIsAccepted)
{
    std::string f511(511, 'x');
    EXPECT_EQ(split(f511.c_str(), ','), (Strings{f511}));

    // The limit applies to each field on its own.
    std::string two = f511 + "," + std::string(511, 'y');
    EXPECT_EQ(split(two.c_str(), ','), (Strings{f511, std::string(511, 'y')}));

    // An escaped separator is one character of the field; dropped
    // backslashes take no room.
    std::string escaped = std::string(509, 'z') + "\\,q";
    EXPECT_EQ(split(escaped.c_str(), ','), (Strings{std::string(509, 'z') + ",q"}));
    std::string dropped;
    for (int i = 0; i < 511; ++i)
        dropped += (i % 50 == 0) ? "\\w" : "w";
    EXPECT_EQ(split(dropped.c_str(), ','), (Strings{std::string(511, 'w')}));
}

TEST(ParseArgsDeathTest, FieldOf512CharactersEndsTheProcess)
{
    std::string text = std::string(511, 'a') + "b";
    EXPECT_EXIT(parse_args(text.c_str(), ','), ::testing::ExitedWithCode(1),
                too_long_message(std::string(511, 'a')));
}

TEST(ParseArgsDeathTest, MessageShowsOnlyTheFirst511Characters)
{
    std::string first;
    for (int i = 0; i < 511; ++i)
        first += static_cast<char>('a' + i % 26);
    std::string text = "ok=1," + first + "TAIL-NOT-SHOWN,rest=2";
    EXPECT_EXIT(parse_args(text.c_str(), ','), ::testing::ExitedWithCode(1),
                too_long_message(first));
}

TEST(ParseArgsDeathTest, BlanksCountTowardsTheLimit)
{
    // Blanks are part of the field until it is stored and trimmed.
    std::string text = " " + std::string(511, 'c');
    EXPECT_EXIT(parse_args(text.c_str(), ','), ::testing::ExitedWithCode(1),
                too_long_message(" " + std::string(510, 'c')));
}

// ---- count_args / free_args / kx_alloc_args_storage -------------------------

TEST(ArgsArray, CountArgs)
{
    char *empty[] = {nullptr};
    EXPECT_EQ(count_args(empty), 0);
    KvArray a(parse_args("a=1,b=2,c=3", ','));
    EXPECT_EQ(count_args(a.get()), 3);
    KvArray e(parse_args("", ','));
    EXPECT_EQ(count_args(e.get()), 1);
}

TEST(ArgsArray, FreeArgsAcceptsNullAndEmpty)
{
    free_args(nullptr);
    free_args(static_cast<char **>(std::calloc(1, sizeof(char *))));
}

TEST(ArgsArray, AllocStorageGivesZeroFilledBuffers)
{
    constexpr int n = 4, size = 16;
    KvArray a(kx_alloc_args_storage(n, size));
    ASSERT_NE(a.get(), nullptr);
    for (int i = 0; i < n; ++i) {
        ASSERT_NE(a.get()[i], nullptr);
        for (int j = 0; j <= size; ++j)
            EXPECT_EQ(a.get()[i][j], '\0') << i << "," << j;
        // Every buffer holds size characters and the NUL.
        std::memset(a.get()[i], 'k', size);
        a.get()[i][size] = '\0';
    }
    EXPECT_EQ(a.get()[n], nullptr);
    EXPECT_EQ(count_args(a.get()), n);
}

TEST(ArgsArray, AllocStorageEdgeSizes)
{
    KvArray none(kx_alloc_args_storage(0, 10));
    ASSERT_NE(none.get(), nullptr);
    EXPECT_EQ(none.get()[0], nullptr);

    KvArray tiny(kx_alloc_args_storage(2, 0));
    ASSERT_NE(tiny.get(), nullptr);
    EXPECT_STREQ(tiny.get()[0], "");
    EXPECT_STREQ(tiny.get()[1], "");
    EXPECT_EQ(tiny.get()[2], nullptr);
}

// ---- parse_key_and_value ----------------------------------------------------

namespace {
// Result of one parse_key_and_value call.  Both outputs start out as a
// marker so that a call that forgets to reset them is noticed.
char kUnset[] = "unset";

struct KeyValue {
    int ret;
    char *key = kUnset;
    char *value = kUnset;
    explicit KeyValue(const char *line) { ret = parse_key_and_value(line, &key, &value); }
    ~KeyValue()
    {
        if (key != kUnset)
            std::free(key);
        if (value != kUnset)
            std::free(value);
    }
    KeyValue(const KeyValue &) = delete;
    KeyValue &operator=(const KeyValue &) = delete;
};
} // namespace

TEST(ParseKeyAndValue, SplitsAtTheFirstEqualsSign)
{
    KeyValue kv(" key \t= value \n");
    EXPECT_EQ(kv.ret, 1);
    EXPECT_STREQ(kv.key, "key");
    EXPECT_STREQ(kv.value, "value");

    KeyValue more("a=b=c= d");
    EXPECT_EQ(more.ret, 1);
    EXPECT_STREQ(more.key, "a");
    EXPECT_STREQ(more.value, "b=c= d");
}

TEST(ParseKeyAndValue, EmptyPartsAreNull)
{
    KeyValue novalue("a=");
    EXPECT_EQ(novalue.ret, 1);
    EXPECT_STREQ(novalue.key, "a");
    EXPECT_EQ(novalue.value, nullptr);

    KeyValue nokey("=b");
    EXPECT_EQ(nokey.ret, 1);
    EXPECT_EQ(nokey.key, nullptr);
    EXPECT_STREQ(nokey.value, "b");

    KeyValue blank(" \t=\n ");
    EXPECT_EQ(blank.ret, 1);
    EXPECT_EQ(blank.key, nullptr);
    EXPECT_EQ(blank.value, nullptr);
}

TEST(ParseKeyAndValue, RejectedLinesLeaveBothOutputsNull)
{
    for (const char *line : {"#a=b", "# comment", "", "=", "a", "ab", "no equals sign\n"}) {
        KeyValue kv(line);
        EXPECT_EQ(kv.ret, 0) << "line '" << line << "'";
        EXPECT_EQ(kv.key, nullptr) << "line '" << line << "'";
        EXPECT_EQ(kv.value, nullptr) << "line '" << line << "'";
    }
    // Only a "#" in the first column makes a comment.
    KeyValue indented(" #a=b");
    EXPECT_EQ(indented.ret, 1);
    EXPECT_STREQ(indented.key, "#a");
    EXPECT_STREQ(indented.value, "b");
}

TEST(ParseKeyAndValue, PartsOf511CharactersAreKept)
{
    std::string k(511, 'k'), v(511, 'v');
    std::string line = k + "=" + v + "\n";
    KeyValue kv(line.c_str());
    EXPECT_EQ(kv.ret, 1);
    EXPECT_EQ(std::string(kv.key ? kv.key : ""), k);
    EXPECT_EQ(std::string(kv.value ? kv.value : ""), v);
}

TEST(ParseKeyAndValue, OverlongPartsStayWithinTheWorkingBuffer)
{
    // Refusing the line or cutting the parts are both acceptable; reading
    // or writing past the 512-byte working buffer is not.
    std::string k(2000, 'K'), v(3000, 'V');
    std::string line = k + "=" + v;
    KeyValue kv(line.c_str());
    if (kv.ret == 0) {
        EXPECT_EQ(kv.key, nullptr);
        EXPECT_EQ(kv.value, nullptr);
    } else {
        ASSERT_NE(kv.key, nullptr);
        ASSERT_NE(kv.value, nullptr);
        EXPECT_LE(std::strlen(kv.key), 511u);
        EXPECT_LE(std::strlen(kv.value), 511u);
        EXPECT_EQ(k.compare(0, std::strlen(kv.key), kv.key), 0);
        EXPECT_EQ(v.compare(0, std::strlen(kv.value), kv.value), 0);
    }

    std::string longvalue = "short=" + std::string(512, 'w');
    KeyValue lv(longvalue.c_str());
    if (lv.ret == 1) {
        EXPECT_STREQ(lv.key, "short");
        ASSERT_NE(lv.value, nullptr);
        EXPECT_LE(std::strlen(lv.value), 511u);
    }
}

// ---- make_fields ------------------------------------------------------------

TEST(MakeFields, SplitsAtWhiteSpaceInPlace)
{
    char line[] = "  alpha beta\t\tgamma  ";
    char *fields[8] = {};
    ASSERT_EQ(make_fields(line, fields), 3);
    EXPECT_STREQ(fields[0], "alpha");
    EXPECT_STREQ(fields[1], "beta");
    EXPECT_STREQ(fields[2], "gamma");
    // The fields live in the line itself.
    EXPECT_EQ(fields[0], line + 2);
    EXPECT_EQ(fields[1], line + 8);
    EXPECT_EQ(line[7], '\0');
    EXPECT_EQ(line[12], '\0');
    EXPECT_EQ(line[13], '\0');
}

TEST(MakeFields, NewlineEndsTheLine)
{
    char line[] = "one two\nthree four";
    char *fields[8] = {};
    ASSERT_EQ(make_fields(line, fields), 2);
    EXPECT_STREQ(fields[0], "one");
    EXPECT_STREQ(fields[1], "two");
    EXPECT_EQ(fields[2], nullptr);
}

TEST(MakeFields, EmptyAndBlankLinesHaveNoFields)
{
    char *fields[4] = {};
    char empty[] = "";
    EXPECT_EQ(make_fields(empty, fields), 0);
    char blank[] = " \t \r ";
    EXPECT_EQ(make_fields(blank, fields), 0);
    char nl[] = "\n later";
    EXPECT_EQ(make_fields(nl, fields), 0);
    EXPECT_EQ(fields[0], nullptr);
}

TEST(MakeFields, EveryIsspaceCharacterSeparates)
{
    char line[] = "a\vb\fc\rd";
    char *fields[8] = {};
    ASSERT_EQ(make_fields(line, fields), 4);
    EXPECT_STREQ(fields[0], "a");
    EXPECT_STREQ(fields[3], "d");
}

TEST(MakeFields, SingleField)
{
    char line[] = "word";
    char *fields[2] = {};
    ASSERT_EQ(make_fields(line, fields), 1);
    EXPECT_EQ(fields[0], line);
}

// ---- key_index_of / same_keyValue -------------------------------------------

TEST(KeyIndexOf, FindsFirstEntryWithKey)
{
    KvArray a(make_kv({"mode=hard", "enc_up_type=none", "mode=soft"}));
    EXPECT_EQ(key_index_of(a.get(), 3, "mode"), 0);
    EXPECT_EQ(key_index_of(a.get(), 3, "enc_up_type"), 1);
    EXPECT_EQ(key_index_of(a.get(), 3, "auth_up_type"), -1);
    // A key shorter than the entry's key does not match.
    EXPECT_EQ(key_index_of(a.get(), 3, "mod"), -1);
    EXPECT_EQ(key_index_of(a.get(), 3, "enc"), -1);
}

TEST(KeyIndexOf, ComparesAsManyCharactersAsTheEntryKeyHas)
{
    KvArray a(make_kv({"mode=hard"}));
    EXPECT_EQ(key_index_of(a.get(), 1, "modes"), 0);
}

TEST(KeyIndexOf, CountLimitsTheSearch)
{
    KvArray a(make_kv({"a=1", "b=2", "c=3"}));
    EXPECT_EQ(key_index_of(a.get(), 1, "b"), -1);
    EXPECT_EQ(key_index_of(a.get(), 2, "b"), 1);
    EXPECT_EQ(key_index_of(a.get(), 2, "c"), -1);
    // A count past the end stops at the NULL entry.
    EXPECT_EQ(key_index_of(a.get(), 100, "c"), 2);
    EXPECT_EQ(key_index_of(a.get(), 100, "d"), -1);
}

TEST(KeyIndexOf, NullEmptyOrNonPositiveCount)
{
    char *empty[] = {nullptr};
    KvArray a(make_kv({"a=1"}));
    EXPECT_EQ(key_index_of(nullptr, 3, "a"), -1);
    EXPECT_EQ(key_index_of(empty, 3, "a"), -1);
    EXPECT_EQ(key_index_of(a.get(), 0, "a"), -1);
    EXPECT_EQ(key_index_of(a.get(), -1, "a"), -1);
}

TEST(KeyIndexOf, EntryWithoutEqualsEndsTheSearch)
{
    KvArray a(make_kv({"a=1", "garbage", "b=2"}));
    EXPECT_EQ(key_index_of(a.get(), 3, "a"), 0);
    EXPECT_EQ(key_index_of(a.get(), 3, "b"), -1);
}

TEST(SameKeyValue, ComparesTheWholeValue)
{
    KvArray a(make_kv({"mode=hard", "enc_up_type=ARCFOUR=x", "auth_up_type="}));
    EXPECT_EQ(same_keyValue(a.get(), "mode", "hard"), 1);
    EXPECT_EQ(same_keyValue(a.get(), "mode", "soft"), 0);
    EXPECT_EQ(same_keyValue(a.get(), "mode", "har"), 0);
    EXPECT_EQ(same_keyValue(a.get(), "mode", "hardx"), 0);
    EXPECT_EQ(same_keyValue(a.get(), "mode", "HARD"), 0);
    // The value ends at the next "=".
    EXPECT_EQ(same_keyValue(a.get(), "enc_up_type", "ARCFOUR"), 1);
    EXPECT_EQ(same_keyValue(a.get(), "enc_up_type", "ARCFOUR=x"), 0);
    // An empty stored value matches nothing, not even "".
    EXPECT_EQ(same_keyValue(a.get(), "auth_up_type", ""), 0);
    EXPECT_EQ(same_keyValue(a.get(), "auth_down_type", "none"), 0);
}

TEST(SameKeyValue, EmptyArray)
{
    char *empty[] = {nullptr};
    EXPECT_EQ(same_keyValue(empty, "mode", "hard"), 0);
}

// ---- merge_keyValue_arrays --------------------------------------------------

TEST(MergeKeyValue, DestinationValuesWinAndOrderIsKept)
{
    KvArray dest(make_kv({"mode=hard"}));
    KvArray src(make_kv({"enc_up_type=none", "mode=soft"}));
    EXPECT_EQ(merge_keyValue_arrays(dest.addr(), src.get()), 0);
    EXPECT_EQ(dest.strings(), (Strings{"mode=hard", "enc_up_type=none"}));
    // The source is left alone.
    EXPECT_EQ(src.strings(), (Strings{"enc_up_type=none", "mode=soft"}));
}

TEST(MergeKeyValue, LongerArrays)
{
    KvArray dest(make_kv({"enc_down_type=ARCFOUR", "mode=hard"}));
    KvArray src(make_kv({"auth_up_type=none", "mode=soft", "enc_up_type=none",
                         "enc_down_type=none", "auth_down_type=simple"}));
    ASSERT_EQ(merge_keyValue_arrays(dest.addr(), src.get()), 0);
    EXPECT_EQ(dest.strings(),
              (Strings{"enc_down_type=ARCFOUR", "mode=hard", "auth_up_type=none",
                       "enc_up_type=none", "auth_down_type=simple"}));
}

TEST(MergeKeyValue, NullDestinationCopiesTheSource)
{
    KvArray dest;
    KvArray src(make_kv({"a=1", "b=2"}));
    ASSERT_EQ(merge_keyValue_arrays(dest.addr(), src.get()), 0);
    ASSERT_NE(dest.get(), nullptr);
    EXPECT_EQ(dest.strings(), (Strings{"a=1", "b=2"}));
    // Copies, not the source's own strings.
    EXPECT_NE(dest.get()[0], src.get()[0]);
}

TEST(MergeKeyValue, NullSourceLeavesDestinationAlone)
{
    KvArray dest(make_kv({"a=1"}));
    char **before = dest.get();
    EXPECT_EQ(merge_keyValue_arrays(dest.addr(), nullptr), 0);
    EXPECT_EQ(dest.get(), before);
    EXPECT_EQ(dest.strings(), (Strings{"a=1"}));

    KvArray none;
    EXPECT_EQ(merge_keyValue_arrays(none.addr(), nullptr), 0);
    EXPECT_EQ(none.get(), nullptr);
}

TEST(MergeKeyValue, EmptyArrays)
{
    KvArray dest(make_kv({}));
    KvArray src(make_kv({"x=1"}));
    ASSERT_EQ(merge_keyValue_arrays(dest.addr(), src.get()), 0);
    EXPECT_EQ(dest.strings(), (Strings{"x=1"}));

    KvArray dest2(make_kv({"y=2"}));
    KvArray empty(make_kv({}));
    ASSERT_EQ(merge_keyValue_arrays(dest2.addr(), empty.get()), 0);
    EXPECT_EQ(dest2.strings(), (Strings{"y=2"}));

    KvArray dest3;
    ASSERT_EQ(merge_keyValue_arrays(dest3.addr(), empty.get()), 0);
    ASSERT_NE(dest3.get(), nullptr);
    EXPECT_EQ(dest3.get()[0], nullptr);
}

TEST(MergeKeyValue, SourceIsCheckedAgainstTheOriginalDestinationOnly)
{
    KvArray dest(make_kv({"a=1"}));
    KvArray src(make_kv({"b=2", "b=3", "a=9"}));
    ASSERT_EQ(merge_keyValue_arrays(dest.addr(), src.get()), 0);
    EXPECT_EQ(dest.strings(), (Strings{"a=1", "b=2", "b=3"}));
}

TEST(MergeKeyValue, RepeatedMergesKeepTheFirstValues)
{
    KvArray dest(make_kv({"mode=hard"}));
    for (int i = 0; i < 5; ++i) {
        KvArray src(make_kv({"mode=soft", "enc_up_type=none"}));
        ASSERT_EQ(merge_keyValue_arrays(dest.addr(), src.get()), 0);
    }
    EXPECT_EQ(dest.strings(), (Strings{"mode=hard", "enc_up_type=none"}));
}

// ---- index_of / get_value ---------------------------------------------------

TEST(IndexOf, FindsFirstLineMentioningKey)
{
    LineArray l({"# mode=hard\n", "ulimit -n mode\n", "export MODE=x\n", "mode=soft\n",
                 "mode=hard\n"});
    EXPECT_EQ(index_of(l.get(), l.count(), "mode"), 3);
    // Anywhere in the line, case-sensitively.
    EXPECT_EQ(index_of(l.get(), l.count(), "MODE"), 2);
    EXPECT_EQ(index_of(l.get(), l.count(), "=hard"), 4);
    EXPECT_EQ(index_of(l.get(), l.count(), "absent"), -1);
}

TEST(IndexOf, SkipsCommentsAndUlimitLines)
{
    LineArray l({"# mode=hard\n", "x=1 ulimit mode=2\n", " # mode=3\n"});
    // Only a "#" in the first column marks a comment.
    EXPECT_EQ(index_of(l.get(), l.count(), "mode"), 2);
    EXPECT_EQ(index_of(l.get(), 2, "mode"), -1);
    EXPECT_EQ(index_of(l.get(), l.count(), "ulimit"), -1);
}

TEST(IndexOf, CountAndNull)
{
    LineArray l({"a=1\n", "b=2\n"});
    EXPECT_EQ(index_of(l.get(), 1, "b"), -1);
    EXPECT_EQ(index_of(l.get(), 0, "a"), -1);
    EXPECT_EQ(index_of(l.get(), -5, "a"), -1);
    EXPECT_EQ(index_of(nullptr, 2, "a"), -1);
}

namespace {
std::string value_of(char **lines, int count, const char *key)
{
    char *v = get_value(lines, count, key);
    std::string out = v ? v : "<null>";
    std::free(v);
    return out;
}
} // namespace

TEST(GetValue, ValueIsTrimmedAndEndsAtNextEquals)
{
    LineArray l({"#mode=x\n", "mode = \thard \n", "path=/a=b\n", "empty=\n", "blank=  \t\n",
                 "noequals\n"});
    EXPECT_EQ(value_of(l.get(), l.count(), "mode"), "hard");
    EXPECT_EQ(value_of(l.get(), l.count(), "path"), "/a");
    EXPECT_EQ(value_of(l.get(), l.count(), "empty"), "<null>");
    EXPECT_EQ(value_of(l.get(), l.count(), "blank"), "<null>");
    EXPECT_EQ(value_of(l.get(), l.count(), "noequals"), "<null>");
    EXPECT_EQ(value_of(l.get(), l.count(), "missing"), "<null>");
    EXPECT_EQ(value_of(nullptr, 3, "mode"), "<null>");
    // The lines are not changed.
    EXPECT_EQ(l.strings()[2], "path=/a=b\n");
}

TEST(GetValue, WorksOnKeyValueArrays)
{
    KvArray a(make_kv({"enc_up_type=none", "mode=soft"}));
    EXPECT_EQ(value_of(a.get(), count_args(a.get()), "mode"), "soft");
    EXPECT_EQ(value_of(a.get(), count_args(a.get()), "enc_up_type"), "none");
    // The key is matched anywhere in an entry, its value included.
    KvArray b(make_kv({"auth_up_type=mode_x", "mode=hard"}));
    EXPECT_EQ(value_of(b.get(), count_args(b.get()), "mode"), "mode_x");
}

// ---- replace_line / append_line --------------------------------------------

TEST(ReplaceLine, ReplacesTheFirstQualifyingLine)
{
    LineArray l({"# mode=x\n", "a=1\n", "mode=soft\n", "mode=other\n"});
    ASSERT_EQ(replace_line(l.get(), l.count(), "mode", "hard"), 0);
    EXPECT_EQ(l.strings(), (Strings{"# mode=x\n", "a=1\n", "mode=hard\n", "mode=other\n"}));
    EXPECT_EQ(l.count(), 4);
}

TEST(ReplaceLine, NoQualifyingLine)
{
    LineArray l({"# mode=x\n", "a=1\n"});
    EXPECT_EQ(replace_line(l.get(), l.count(), "mode", "hard"), -1);
    EXPECT_EQ(l.strings(), (Strings{"# mode=x\n", "a=1\n"}));
    EXPECT_EQ(replace_line(nullptr, 2, "a", "2"), -1);
    EXPECT_EQ(replace_line(l.get(), 0, "a", "2"), -1);
}

TEST(ReplaceLine, LineIsCutAt255Characters)
{
    std::string key252(252, 'k');
    LineArray l({key252 + "=old\n"});
    ASSERT_EQ(replace_line(l.get(), 1, key252.c_str(), "x"), 0);
    EXPECT_EQ(l.strings()[0], key252 + "=x\n");
    EXPECT_EQ(l.strings()[0].size(), 255u);

    std::string key253(253, 'k');
    LineArray m({key253 + "=old\n"});
    ASSERT_EQ(replace_line(m.get(), 1, key253.c_str(), "x"), 0);
    EXPECT_EQ(m.strings()[0], key253 + "=x");

    LineArray n({"k=old\n"});
    std::string big(1000, 'v');
    ASSERT_EQ(replace_line(n.get(), 1, "k", big.c_str()), 0);
    EXPECT_EQ(n.strings()[0], "k=" + std::string(253, 'v'));
}

TEST(AppendLine, AppendsAndLeavesTheNextEntryAlone)
{
    LineArray l;
    char sentinel[] = "sentinel";
    l.get()[1] = sentinel;
    ASSERT_EQ(append_line(l.get(), &l.count(), "mode", "hard"), 0);
    EXPECT_EQ(l.count(), 1);
    EXPECT_STREQ(l.get()[0], "mode=hard\n");
    EXPECT_EQ(l.get()[1], sentinel);
    l.get()[1] = nullptr;

    ASSERT_EQ(append_line(l.get(), &l.count(), "a", ""), 0);
    EXPECT_EQ(l.strings(), (Strings{"mode=hard\n", "a=\n"}));
}

TEST(AppendLine, LineIsCutAt255Characters)
{
    LineArray l;
    std::string value(400, 'v');
    ASSERT_EQ(append_line(l.get(), &l.count(), "key", value.c_str()), 0);
    EXPECT_EQ(l.strings()[0], "key=" + std::string(251, 'v'));
}

TEST(AppendLine, FullArrayIsRefused)
{
    LineArray l;
    for (int i = 0; i < KX_MAX_LINES - 1; ++i)
        l.get()[l.count()++] = strdup("x=1\n");
    // The thousandth line still fits.
    ASSERT_EQ(append_line(l.get(), &l.count(), "last", "1"), 0);
    ASSERT_EQ(l.count(), KX_MAX_LINES);
    EXPECT_STREQ(l.get()[KX_MAX_LINES - 1], "last=1\n");

    char sentinel[] = "end";
    l.get()[KX_MAX_LINES] = sentinel;
    EXPECT_EQ(append_line(l.get(), &l.count(), "more", "1"), -1);
    EXPECT_EQ(l.count(), KX_MAX_LINES);
    EXPECT_EQ(l.get()[KX_MAX_LINES], sentinel);
    l.get()[KX_MAX_LINES] = nullptr;
}

TEST(AppendLine, NullArray)
{
    int count = 0;
    EXPECT_EQ(append_line(nullptr, &count, "a", "b"), -1);
    EXPECT_EQ(count, 0);
}

// ---- file_to_array / array_to_file / free_string_array ----------------------

TEST(FileToArray, ReadsLinesWithTheirNewlines)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir.file("kx.conf");
    write_file(path, "a=1\n# comment\n\nlast");
    LineArray l;
    l.count() = file_to_array(path.c_str(), l.get());
    ASSERT_EQ(l.count(), 4);
    EXPECT_EQ(l.strings(), (Strings{"a=1\n", "# comment\n", "\n", "last"}));
    EXPECT_EQ(l.get()[4], nullptr);
}

TEST(FileToArray, EmptyAndMissingFiles)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir.file("empty");
    write_file(path, "");
    LineArray l;
    char sentinel[] = "x";
    l.get()[0] = sentinel;
    EXPECT_EQ(file_to_array(path.c_str(), l.get()), 0);
    EXPECT_EQ(l.get()[0], nullptr);

    EXPECT_EQ(file_to_array(dir.file("missing").c_str(), l.get()), -1);
}

TEST(FileToArray, LongLinesAreSplitInto255CharacterPieces)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir.file("long");
    std::string l254(254, 'a'), l255(255, 'b'), l600(600, 'c');
    write_file(path, l254 + "\n" + l255 + "\n" + l600 + "\n");
    LineArray l;
    l.count() = file_to_array(path.c_str(), l.get());
    EXPECT_EQ(l.strings(),
              (Strings{l254 + "\n", l255, "\n", std::string(255, 'c'), std::string(255, 'c'),
                       std::string(90, 'c') + "\n"}));
}

TEST(FileToArray, StopsAtTheArrayCapacity)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir.file("big");
    std::string content;
    for (int i = 0; i < KX_MAX_LINES + 25; ++i)
        content += "line" + std::to_string(i) + "\n";
    write_file(path, content);

    LineArray l;
    l.count() = file_to_array(path.c_str(), l.get());
    ASSERT_EQ(l.count(), KX_MAX_LINES);
    EXPECT_STREQ(l.get()[0], "line0\n");
    EXPECT_STREQ(l.get()[KX_MAX_LINES - 1], "line999\n");
    EXPECT_EQ(l.get()[KX_MAX_LINES], nullptr);
}

TEST(FileToArray, ExactlyAtCapacity)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir.file("full");
    std::string content;
    for (int i = 0; i < KX_MAX_LINES; ++i)
        content += "k" + std::to_string(i) + "=v\n";
    write_file(path, content);
    LineArray l;
    l.count() = file_to_array(path.c_str(), l.get());
    ASSERT_EQ(l.count(), KX_MAX_LINES);
    EXPECT_STREQ(l.get()[KX_MAX_LINES - 1], "k999=v\n");
    EXPECT_EQ(l.get()[KX_MAX_LINES], nullptr);
}

TEST(ArrayToFile, WritesLinesAsStoredAndSkipsEmptyOnes)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir.file("out");
    write_file(path, "old content that must go away\n");
    LineArray l({"a", "", "b\n", "c", ""});
    ASSERT_EQ(array_to_file(path.c_str(), l.get(), l.count()), 0);
    EXPECT_EQ(read_file(path), "ab\nc");
}

TEST(ArrayToFile, CountLimitsTheLinesWritten)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir.file("out");
    LineArray l({"1\n", "2\n", "3\n"});
    ASSERT_EQ(array_to_file(path.c_str(), l.get(), 2), 0);
    EXPECT_EQ(read_file(path), "1\n2\n");
    ASSERT_EQ(array_to_file(path.c_str(), l.get(), 0), 0);
    EXPECT_EQ(read_file(path), "");
}

TEST(ArrayToFile, UncreatableFile)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    LineArray l({"a\n"});
    EXPECT_EQ(array_to_file(dir.file("no/such/dir/file").c_str(), l.get(), 1), -1);
}

TEST(LineFile, EditRoundTrip)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir.file("kxadmin.conf");
    write_file(path, "# admin settings\nadmin.server=ds1\nulimit admin.port=1\nadmin.port=389\n");

    LineArray l;
    l.count() = file_to_array(path.c_str(), l.get());
    ASSERT_EQ(l.count(), 4);
    EXPECT_EQ(value_of(l.get(), l.count(), "admin.port"), "389");
    ASSERT_EQ(replace_line(l.get(), l.count(), "admin.server", "ds2"), 0);
    ASSERT_EQ(append_line(l.get(), &l.count(), "admin.debug", "a"), 0);
    l.get()[l.count()] = nullptr;
    ASSERT_EQ(array_to_file(path.c_str(), l.get(), l.count()), 0);
    EXPECT_EQ(read_file(path),
              "# admin settings\nadmin.server=ds2\nulimit admin.port=1\nadmin.port=389\n"
              "admin.debug=a\n");
}

TEST(FreeStringArray, FreesOnlyTheFirstCountStrings)
{
    auto **lines = static_cast<char **>(std::calloc(4, sizeof(char *)));
    lines[0] = strdup("a");
    lines[1] = strdup("b");
    lines[2] = strdup("c");
    free_string_array(lines, 2);
    EXPECT_STREQ(lines[2], "c");
    std::free(lines[2]);
    std::free(lines);
}
