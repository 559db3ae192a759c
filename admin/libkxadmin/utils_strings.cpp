// String and memory helpers: allocation that cannot fail, comparison,
// trimming, escaping, times as text, and the checks of a desktop's CID and
// of a multihead group name.

#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <strings.h>

#include "kx_utils.hpp"
#include "utils.h"

namespace kx::utils {

bool is_trim_char(char c) { return c == ' ' || c == '\t' || c == '\n'; }

char *trimmed_copy(std::string_view text, bool (*trim)(char))
{
    size_t first = 0;
    while (first < text.size() && trim(text[first]))
        ++first;
    if (first == text.size())
        return nullptr;
    size_t last = text.size();
    while (last > first && trim(text[last - 1]))
        --last;
    size_t len = last - first;
    char *out = static_cast<char *>(safe_malloc(static_cast<int>(len + 1)));
    std::memcpy(out, text.data() + first, len);
    out[len] = '\0';
    return out;
}

char *dup_or_null(std::string_view s)
{
    char *out = static_cast<char *>(std::malloc(s.size() + 1));
    if (!out)
        return nullptr;
    std::memcpy(out, s.data(), s.size());
    out[s.size()] = '\0';
    return out;
}

}  // namespace kx::utils

using kx::utils::dup_or_null;
using kx::utils::is_trim_char;
using kx::utils::trimmed_copy;

namespace {

// Restores the process's character classification when it goes out of
// scope; the validators check their input in the "C" classification.
class CTypeInC {
public:
    CTypeInC()
    {
        const char *current = std::setlocale(LC_CTYPE, nullptr);
        if (current)
            saved_ = current;
        std::setlocale(LC_CTYPE, "C");
    }
    ~CTypeInC()
    {
        if (!saved_.empty())
            std::setlocale(LC_CTYPE, saved_.c_str());
    }
    CTypeInC(const CTypeInC &) = delete;
    CTypeInC &operator=(const CTypeInC &) = delete;

private:
    std::string saved_;
};

}  // namespace

void *safe_calloc(int count, int size)
{
    void *block = nullptr;
    if (count >= 0 && size >= 0)
        block = std::calloc(count > 0 ? static_cast<size_t>(count) : 1,
                            size > 0 ? static_cast<size_t>(size) : 1);
    if (!block) {
        fprintf(stderr, "Could not calloc %d elements of %d bytes\n", count, size);
        exit(1);
    }
    return block;
}

void *safe_malloc(int size)
{
    void *block = nullptr;
    if (size >= 0)
        block = std::calloc(1, size > 0 ? static_cast<size_t>(size) : 1);
    if (!block) {
        fprintf(stderr, "Could not malloc %d bytes\n", size);
        exit(1);
    }
    return block;
}

char *safe_strdup(const char *s) { return s ? strdup(s) : nullptr; }

int safe_strcmp(const char *a, const char *b)
{
    if (!a && !b)
        return 0;
    if (!a)
        return 1;
    if (!b)
        return -1;
    return std::strcmp(a, b);
}

char *itos(int n) { return dup_or_null(std::to_string(n)); }

int num_strings(char **array) { return count_args(array); }

char *strip_leading_and_trailing_whitespace(const char *s)
{
    return s ? trimmed_copy(s, is_trim_char) : nullptr;
}

char *strip_leading_and_trailing_quotes(const char *s)
{
    return s ? trimmed_copy(s, [](char c) { return c == '"'; }) : nullptr;
}

int is_numeric(const char *s)
{
    if (!s)
        return 0;
    for (; *s; ++s)
        if (*s < '0' || *s > '9')
            return 0;
    return 1;
}

int is_substring(const char *s, const char *part)
{
    if (!s || !part)
        return 0;
    return strcasestr(s, part) ? 1 : 0;
}

char *escape(const char *s, char c)
{
    if (!s)
        return nullptr;
    size_t len = std::strlen(s);
    char *out = static_cast<char *>(safe_malloc(static_cast<int>(2 * len + 1)));
    char *o = out;
    for (; *s; ++s) {
        if (*s == c)
            *o++ = '\\';
        *o++ = *s;
    }
    *o = '\0';
    return out;
}

char *scramble_text(const char *s)
{
    if (!s)
        return nullptr;
    char *out = safe_strdup(s);
    if (!out)
        return nullptr;
    for (char *c = out; *c; ++c) {
        auto u = static_cast<unsigned char>(*c);
        if (std::isalpha(u))
            *c = static_cast<char>(std::tolower(u) < 'n' ? u + 13 : u - 13);
    }
    return out;
}

char *kx_safe_str(const char *s)
{
    if (!s || !*s)
        return safe_strdup("&nbsp;");
    if (!std::strpbrk(s, "<>\"&"))
        return safe_strdup(s);
    size_t cap = 512;
    auto *out = static_cast<char *>(std::malloc(cap));
    if (!out) {
        dprintf("Error: realloc failed. Out of Memory.");
        return nullptr;
    }
    size_t len = 0;
    for (; *s; ++s) {
        if (cap - len < 7) {
            auto *grown = static_cast<char *>(std::realloc(out, cap + 512));
            if (!grown) {
                std::free(out);
                dprintf("Error: realloc failed. Out of Memory.");
                return nullptr;
            }
            out = grown;
            cap += 512;
        }
        if (std::strchr("<>\"&", *s))
            len += static_cast<size_t>(
                snprintf(out + len, cap - len, "&#%03d;", static_cast<unsigned char>(*s)));
        else
            out[len++] = *s;
    }
    out[len] = '\0';
    return out;
}

namespace {

// The local time t in format, in a buffer of size bytes; NULL when it does
// not fit.
char *local_time_text(time_t t, const char *format, size_t size)
{
    struct tm tm;
    if (!localtime_r(&t, &tm))
        return nullptr;
    std::string buf(size, '\0');
    if (strftime(buf.data(), size, format, &tm) == 0)
        return nullptr;
    return safe_strdup(buf.c_str());
}

}  // namespace

char *time_field_to_time_string(time_t t) { return local_time_text(t, "%m/%d/%Y %H:%M:%S", 25); }

char *time_field_to_time_string_i18n(time_t t) { return local_time_text(t, "%c", 200); }

char *kx_normalize_CID(const char *cid, char *out, int size, char **errtext)
{
    static const char kTooSmall[] = "Internal error: input buffer too small";
    static const char kFormat[] = "Incorrect CID format\n"
                                  "        Format is a 12-digit hexadecimal MAC address,\n"
                                  "        optionally prefixed by 'IEEE802.'";
    static const char kPrefix[] = "IEEE802.";
    constexpr size_t kPrefixLen = sizeof kPrefix - 1;
    constexpr size_t kDigits = 12;

    if (!errtext)
        return nullptr;
    if (!out || size < static_cast<int>(kPrefixLen + kDigits + 1)) {
        *errtext = const_cast<char *>(kTooSmall);
        return nullptr;
    }
    *errtext = const_cast<char *>(kFormat);
    if (!cid)
        return nullptr;

    CTypeInC c_locale;
    const char *digits = cid;
    if (!std::isxdigit(static_cast<unsigned char>(cid[0]))) {
        if (strncasecmp(cid, kPrefix, kPrefixLen) != 0)
            return nullptr;
        digits = cid + kPrefixLen;
    }
    size_t n = 0;
    for (const char *c = digits; *c; ++c, ++n)
        if (!std::isxdigit(static_cast<unsigned char>(*c)))
            return nullptr;
    if (n != kDigits)
        return nullptr;

    std::memcpy(out, kPrefix, kPrefixLen);
    for (size_t i = 0; i < kDigits; ++i)
        out[kPrefixLen + i] =
            static_cast<char>(std::tolower(static_cast<unsigned char>(digits[i])));
    out[kPrefixLen + kDigits] = '\0';
    *errtext = nullptr;
    return out;
}

int kx_validate_multihead_group_name(const char *name, char **errtext)
{
    static char text[512];
    if (!errtext)
        return 0;
    snprintf(text, sizeof text, "%s",
             "Incorrect group name format\n"
             "        Group name format is ASCII letter\n"
             "        followed by ASCII alphanumeric or '-'");
    *errtext = text;
    if (!name)
        return 0;

    CTypeInC c_locale;
    if (!std::isalpha(static_cast<unsigned char>(name[0])))
        return 0;
    size_t len = 1;
    for (const char *c = name + 1; *c; ++c, ++len)
        if (!std::isalnum(static_cast<unsigned char>(*c)) && *c != '-')
            return 0;
    if (len > 256 || name[len - 1] == '-')
        return 0;
    *errtext = nullptr;
    return 1;
}
