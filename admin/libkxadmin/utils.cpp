// General helpers of the administration library: diagnostics, key/value
// text, strings, lists.  Everything here has C linkage (see utils.h).

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <optional>

#include <strings.h>
#include <sys/wait.h>
#include <syslog.h>

#include "kx_paths.h"
#include "kx_text.hpp"
#include "kxerrno.h"
#include "utils.h"

namespace {

// ---- module state of the diagnostic writers ------------------------------

// Written by any thread that reads a configuration file, read by every
// diagnostic writer.
std::atomic<int> suppress_output{0};
std::atomic<char *> gdebug_string{nullptr};

// set_gdebug never frees a selector that another thread may still be
// reading; superseded copies are parked here so they stay reachable.
std::mutex retired_lock;
std::vector<std::unique_ptr<char, decltype(&std::free)>> retired_selectors;

constexpr size_t kLogBuffer = 1024;

// One conversion of a printf format with its argument taken from ap.
template <typename T> void convert(std::string &out, const std::string &spec, T value)
{
    char piece[kLogBuffer];
    std::snprintf(piece, sizeof piece, spec.c_str(), value);
    out += piece;
}

// vsnprintf into buf, the strings and characters of the arguments escaped
// (escape_controls); the format's own text is kept.  The text is cut to
// what fits.
void format_for_log(char *buf, size_t size, const char *format, va_list ap)
{
    int saved_errno = errno;
    va_list args;
    va_copy(args, ap);
    std::string out;
    for (const char *f = format; *f;) {
        if (*f != '%') {
            out += *f++;
            continue;
        }
        std::string spec(1, *f++);
        while (*f && std::strchr("-+ #0'", *f))
            spec += *f++;
        auto number = [&](bool precision) {
            if (*f != '*') {
                while (std::isdigit(static_cast<unsigned char>(*f)))
                    spec += *f++;
                return;
            }
            ++f;
            int n = va_arg(args, int);
            if (precision && n < 0)
                spec.pop_back();  // a negative precision is none
            else
                spec += std::to_string(n);
        };
        number(false);
        if (*f == '.') {
            spec += *f++;
            number(true);
        }
        std::string length;
        while (*f && std::strchr("hlLqjzt", *f))
            length += *f++;
        char conversion = *f ? *f++ : '\0';
        spec += length;
        spec += conversion;
        switch (conversion) {
        case '%':
            out += '%';
            break;
        case 's': {
            const char *value = va_arg(args, const char *);
            convert(out, spec, kx::escape_controls(value ? value : "(null)").c_str());
            break;
        }
        case 'c': {
            char c = static_cast<char>(va_arg(args, int));
            spec.back() = 's';
            convert(out, spec, kx::escape_controls(std::string_view(&c, 1)).c_str());
            break;
        }
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            if (length == "l")
                convert(out, spec, va_arg(args, long));
            else if (length == "ll" || length == "q")
                convert(out, spec, va_arg(args, long long));
            else if (length == "z")
                convert(out, spec, va_arg(args, size_t));
            else if (length == "j")
                convert(out, spec, va_arg(args, intmax_t));
            else if (length == "t")
                convert(out, spec, va_arg(args, ptrdiff_t));
            else
                convert(out, spec, va_arg(args, int));
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (length == "L")
                convert(out, spec, va_arg(args, long double));
            else
                convert(out, spec, va_arg(args, double));
            break;
        case 'p':
            convert(out, spec, va_arg(args, void *));
            break;
        case 'n':
            (void)va_arg(args, void *);
            break;
        case 'm':
            out += kx::escape_controls(std::strerror(saved_errno));
            break;
        default:
            out += spec;
            break;
        }
    }
    va_end(args);
    std::snprintf(buf, size, "%s", out.c_str());
}

// Blanks, tabs and newlines: the characters the trimming helpers remove.
bool is_trim_char(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Copy of [begin, end) without the characters for which trim() holds at
// either end, made with safe_malloc; NULL when nothing is left.
template <typename Pred> char *trimmed_copy(std::string_view text, Pred trim)
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

char *dup_or_null(std::string_view s)
{
    char *out = static_cast<char *>(std::malloc(s.size() + 1));
    if (!out)
        return nullptr;
    std::memcpy(out, s.data(), s.size());
    out[s.size()] = '\0';
    return out;
}

}  // namespace

namespace kx {

bool split_args(const char *text, char separator, std::vector<std::string> &fields,
                std::string *too_long)
{
    fields.clear();
    if (!text)
        text = "";
    constexpr size_t kField = 512;  // a field holds at most kField - 1 characters
    std::string field;
    auto store = [&]() {
        std::string_view f(field);
        size_t first = 0, last = f.size();
        while (first < last && is_trim_char(f[first]))
            ++first;
        while (last > first && is_trim_char(f[last - 1]))
            --last;
        fields.emplace_back(f.substr(first, last - first));
        field.clear();
    };
    for (const char *c = text; *c; ++c) {
        if (*c == '\\') {
            if (c[1] == separator && separator != '\0')
                ++c;  // the escaped separator is taken as text below
            else
                continue;  // a lone backslash is dropped
        } else if (*c == separator) {
            store();
            continue;
        }
        field += *c;
        if (field.size() == kField) {
            if (too_long)
                *too_long = field.substr(0, kField - 1);
            fields.clear();
            return false;
        }
    }
    store();
    return true;
}

}  // namespace kx

// ===== Debug output and administrative log ================================

void dprintf(const char *format, ...)
{
    if (suppress_output || !format)
        return;
    char buf[kLogBuffer];
    va_list ap;
    va_start(ap, format);
    format_for_log(buf, sizeof buf, format, ap);
    va_end(ap);
    syslog(LOG_INFO, "%s", buf);
}

void dlprintf(const char *category, const char *format, ...)
{
    if (!format || gdebug(category) != 1)
        return;
    static thread_local char buf[kLogBuffer];
    va_list ap;
    va_start(ap, format);
    format_for_log(buf, sizeof buf, format, ap);
    va_end(ap);
    syslog(LOG_INFO, "(%s) %s", category, buf);
}

void log_admin(const char *category, const char *format, ...)
{
    if (suppress_output || !format)
        return;
    char buf[kLogBuffer];
    va_list ap;
    va_start(ap, format);
    format_for_log(buf, sizeof buf, format, ap);
    va_end(ap);
    syslog(LOG_LOCAL1 | LOG_INFO, "%s : %s", p(category), buf);
}

int gdebug(const char *category)
{
    const char *selector = gdebug_string;
    if (!selector)
        return 0;
    if (std::strcmp(selector, "*") == 0)
        return 1;
    if (!category)
        return 0;
    if (std::strcmp(category, " ") == 0)
        return 1;
    if (*category == '\0')
        return 0;
    for (const char *c = category; *c; ++c)
        if (std::strchr(selector, *c))
            return 1;
    return 0;
}

void set_gdebug(const char *selector)
{
    char *copy = safe_strdup(selector);
    char *previous = gdebug_string.load();
    if (previous && copy && std::strcmp(previous, copy) == 0) {
        // Same selector as before: keep the one already in use.
        std::free(copy);
        copy = previous;
    } else {
        previous = gdebug_string.exchange(copy);
        if (previous) {
            std::lock_guard<std::mutex> guard(retired_lock);
            retired_selectors.emplace_back(previous, &std::free);
        }
    }
    if (copy) {
        dprintf(" \n");
        dprintf("running with debug options |%s|\n", copy);
    }
}

void set_suppress_output(int flag) { suppress_output = flag; }

const char *p(const char *s) { return s ? s : ""; }

const char *p2(const char *s) { return s ? s : "&nbsp;"; }

char *indent_spaces(int level)
{
    static char text[512];
    long long n = level > 1 ? 2LL * (level - 1) : 0;
    if (n > 511)
        n = 511;
    std::memset(text, ' ', static_cast<size_t>(n));
    text[n] = '\0';
    return text;
}

// ===== Argument and key/value text handling ==============================

char **parse_args(const char *text, char separator)
{
    std::vector<std::string> fields;
    std::string too_long;
    if (!kx::split_args(text, separator, fields, &too_long)) {
        fputs("Error - Argument string too long:\n", stderr);
        fflush(stderr);
        fprintf(stderr, " '%s...'\n", too_long.c_str());
        exit(1);
    }
    auto **array = static_cast<char **>(std::calloc(fields.size() + 1, sizeof(char *)));
    if (!array) {
        fprintf(stderr, "Could not calloc %d elements of %d bytes\n",
                static_cast<int>(fields.size() + 1), static_cast<int>(sizeof(char *)));
        exit(1);
    }
    for (size_t i = 0; i < fields.size(); ++i) {
        array[i] = static_cast<char *>(safe_malloc(static_cast<int>(fields[i].size() + 1)));
        std::memcpy(array[i], fields[i].c_str(), fields[i].size() + 1);
    }
    return array;
}

int count_args(char **array)
{
    int n = 0;
    if (array)
        while (array[n])
            ++n;
    return n;
}

void free_args(char **array)
{
    if (!array)
        return;
    for (char **a = array; *a; ++a)
        std::free(*a);
    std::free(array);
}

char **kx_alloc_args_storage(int n, int size)
{
    if (n < 0 || size < 0)
        return nullptr;
    auto **array = static_cast<char **>(std::calloc(static_cast<size_t>(n) + 1, sizeof(char *)));
    if (!array)
        return nullptr;
    for (int i = 0; i < n; ++i) {
        array[i] = static_cast<char *>(std::calloc(static_cast<size_t>(size) + 1, 1));
        if (!array[i]) {
            free_args(array);
            return nullptr;
        }
    }
    return array;
}

int parse_key_and_value(const char *line, char **key, char **value)
{
    if (key)
        *key = nullptr;
    if (value)
        *value = nullptr;
    if (!line || !key || !value)
        return 0;
    if (line[0] == '#' || std::strlen(line) < 2)
        return 0;
    const char *eq = std::strchr(line, '=');
    if (!eq)
        return 0;
    // Each part is taken from a 511-character working buffer.
    constexpr size_t kPart = 511;
    std::string_view k(line, std::min<size_t>(static_cast<size_t>(eq - line), kPart));
    std::string_view rest(eq + 1);
    std::string_view v(rest.data(), std::min(rest.size(), kPart));
    *key = trimmed_copy(k, is_trim_char);
    *value = trimmed_copy(v, is_trim_char);
    return 1;
}

int make_fields(char *line, char **fields)
{
    if (!line || !fields)
        return 0;
    int n = 0;
    bool in_field = false;
    for (char *c = line; *c; ++c) {
        if (*c == '\n') {
            *c = '\0';
            break;
        }
        if (std::isspace(static_cast<unsigned char>(*c))) {
            *c = '\0';
            in_field = false;
        } else if (!in_field) {
            fields[n++] = c;
            in_field = true;
        }
    }
    return n;
}

int key_index_of(char **array, int count, const char *key)
{
    if (!array || !array[0] || count <= 0 || !key)
        return -1;
    for (int i = 0; i < count && array[i]; ++i) {
        const char *eq = std::strchr(array[i], '=');
        if (!eq)
            return -1;
        if (std::strncmp(array[i], key, static_cast<size_t>(eq - array[i])) == 0)
            return i;
    }
    return -1;
}

int same_keyValue(char **array, const char *key, const char *value)
{
    int i = key_index_of(array, count_args(array), key);
    if (i < 0 || !value)
        return 0;
    const char *start = std::strchr(array[i], '=') + 1;
    const char *end = std::strchr(start, '=');
    std::string_view stored(start, end ? static_cast<size_t>(end - start) : std::strlen(start));
    if (stored.empty())
        return 0;
    return stored == value ? 1 : 0;
}

int merge_keyValue_arrays(char ***dest, char **src)
{
    if (!dest)
        return KXE_INVAL;
    if (!src)
        return 0;
    char **old = *dest;
    int nd = count_args(old);
    int ns = count_args(src);
    auto **merged =
        static_cast<char **>(std::calloc(static_cast<size_t>(nd) + ns + 1, sizeof(char *)));
    if (!merged) {
        dprintf("Error: merge_keyValue_arrays - Not enough memory.\n");
        return KXE_NOMEM;
    }
    int used = 0;
    auto fail = [&]() {
        free_args(merged);
        dprintf("Error: merge_keyValue_arrays - Not enough memory.\n");
        return KXE_NOMEM;
    };
    for (int i = 0; i < nd; ++i)
        if (!(merged[used++] = safe_strdup(old[i])))
            return fail();
    for (int i = 0; i < ns; ++i) {
        std::string_view entry(src[i]);
        std::string key(entry.substr(0, entry.find('=')));
        if (!old || key_index_of(old, nd, key.c_str()) < 0)
            if (!(merged[used++] = safe_strdup(src[i])))
                return fail();
    }
    merged[used] = nullptr;
    auto **shrunk = static_cast<char **>(
        std::realloc(merged, (static_cast<size_t>(used) + 1) * sizeof(char *)));
    if (!shrunk) {
        free_args(merged);
        free_args(old);
        *dest = nullptr;
        dprintf("Error: merge_keyValue_arrays - Not enough memory.\n");
        return KXE_NOMEM;
    }
    free_args(old);
    *dest = shrunk;
    return 0;
}

int index_of(char **lines, int count, const char *key)
{
    if (!lines || count <= 0 || !key)
        return -1;
    for (int i = 0; i < count && lines[i]; ++i) {
        const char *line = lines[i];
        if (line[0] != '#' && std::strstr(line, key) && !std::strstr(line, "ulimit"))
            return i;
    }
    return -1;
}

char *get_value(char **lines, int count, const char *key)
{
    if (!lines)
        return nullptr;
    int i = index_of(lines, count, key);
    if (i < 0)
        return nullptr;
    char *copy = safe_strdup(lines[i]);
    if (!copy) {
        dprintf("Error: strdup - Unable to allocate memory.\n");
        return nullptr;
    }
    char *result = nullptr;
    if (char *start = std::strchr(copy, '=')) {
        ++start;
        if (char *end = std::strchr(start, '='))
            *end = '\0';
        result = strip_leading_and_trailing_whitespace(start);
    }
    std::free(copy);
    return result;
}

namespace {
char *format_line(const char *key, const char *value)
{
    char line[KX_LINE_PIECE + 1];
    snprintf(line, sizeof line, "%s=%s\n", p(key), p(value));
    return dup_or_null(line);
}
}  // namespace

int replace_line(char **lines, int count, const char *key, const char *value)
{
    if (!lines)
        return -1;
    int i = index_of(lines, count, key);
    if (i < 0)
        return -1;
    char *line = format_line(key, value);
    if (!line)
        return -1;
    std::free(lines[i]);
    lines[i] = line;
    return 0;
}

int append_line(char **lines, int *count, const char *key, const char *value)
{
    if (!lines || !count || *count < 0 || *count >= KX_MAX_LINES)
        return -1;
    char *line = format_line(key, value);
    if (!line)
        return -1;
    lines[(*count)++] = line;
    return 0;
}

int file_to_array(const char *path, char **lines)
{
    if (!path || !lines)
        return -1;
    FILE *fp = fopen(path, "r");
    if (!fp)
        return -1;
    char piece[KX_LINE_PIECE + 1];
    int n = 0;
    // The array has room for KX_MAX_LINES lines; reading stops there.
    while (n < KX_MAX_LINES && fgets(piece, sizeof piece, fp)) {
        char *copy = dup_or_null(piece);
        if (!copy)
            break;
        lines[n++] = copy;
    }
    lines[n] = nullptr;
    fclose(fp);
    return n;
}

int array_to_file(const char *path, char **lines, int count)
{
    if (!path)
        return -1;
    FILE *fp = fopen(path, "w");
    if (!fp)
        return -1;
    bool ok = true;
    for (int i = 0; lines && i < count; ++i)
        if (lines[i] && lines[i][0] != '\0' && fputs(lines[i], fp) == EOF)
            ok = false;
    if (fclose(fp) != 0)
        ok = false;
    return ok ? 0 : -1;
}

void free_string_array(char **lines, int count)
{
    if (!lines)
        return;
    for (int i = 0; i < count; ++i) {
        std::free(lines[i]);
        lines[i] = nullptr;
    }
}

// ===== String and memory helpers ==========================================

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

char *time_field_to_time_string(time_t t)
{
    struct tm tm;
    if (!localtime_r(&t, &tm))
        return nullptr;
    char buf[25];
    if (strftime(buf, sizeof buf, "%m/%d/%Y %H:%M:%S", &tm) == 0)
        return nullptr;
    return safe_strdup(buf);
}

char *time_field_to_time_string_i18n(time_t t)
{
    struct tm tm;
    if (!localtime_r(&t, &tm))
        return nullptr;
    char buf[200];
    if (strftime(buf, sizeof buf, "%c", &tm) == 0)
        return nullptr;
    return safe_strdup(buf);
}

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

// ===== Lists, arrays and stream buffers ===================================

kx_LinkedList_t *kx_allocLinkedListNode(void)
{
    return static_cast<kx_LinkedList_t *>(std::calloc(1, sizeof(kx_LinkedList_t)));
}

int kx_addNode2List(kx_LinkedList_t **list, char *key, void *node, int order)
{
    if (!list || !key || !node || (order != 0 && order != 1))
        return KXE_INVAL;
    kx_LinkedList_t *n = kx_allocLinkedListNode();
    if (!n)
        return KXE_NOMEM;
    n->key = key;
    n->node = node;
    kx_LinkedList_t **link = list;
    while (*link) {
        int cmp = std::strcmp((*link)->key, key);
        if (order == 0 ? cmp >= 0 : cmp <= 0)
            break;
        link = &(*link)->next;
    }
    n->next = *link;
    *link = n;
    return 0;
}

int kx_findLinkedListNode(kx_LinkedList_t *list, const char *key, void **node)
{
    if (!list || !key || !node)
        return KXE_INVAL;
    for (; list; list = list->next)
        if (list->key && std::strcmp(list->key, key) == 0) {
            *node = list->node;
            return 0;
        }
    return KXE_NOTFOUND;
}

void kx_freeLinkedListNode(kx_LinkedList_t *node, void (*release)(void *))
{
    if (!node)
        return;
    std::free(node->key);
    if (release)
        release(node->node);
    std::free(node);
}

void kx_freeLinkedList(kx_LinkedList_t *list, void (*release)(void *))
{
    while (list) {
        kx_LinkedList_t *next = list->next;
        kx_freeLinkedListNode(list, release);
        list = next;
    }
}

int kx_add_array(char ***array, char *s)
{
    if (!array || !s)
        return KXE_INVAL;
    int n = count_args(*array);
    auto **grown =
        static_cast<char **>(std::realloc(*array, (static_cast<size_t>(n) + 2) * sizeof(char *)));
    if (!grown) {
        kx_free_array(*array);
        *array = nullptr;
        return KXE_NOMEM;
    }
    grown[n] = s;
    grown[n + 1] = nullptr;
    *array = grown;
    return 0;
}

void kx_free_array(char **array) { free_args(array); }

void add_to_raw_token_id_list(RawTokenIDList **list, const char *id)
{
    if (!list)
        return;
    auto *node = static_cast<RawTokenIDList *>(safe_malloc(sizeof(RawTokenIDList)));
    node->raw_token_id = safe_strdup(id);
    if (id && !node->raw_token_id) {
        fprintf(stderr, "Could not malloc %d bytes\n", static_cast<int>(std::strlen(id) + 1));
        exit(1);
    }
    node->next = nullptr;
    RawTokenIDList **link = list;
    while (*link)
        link = &(*link)->next;
    *link = node;
}

void free_raw_token_list(RawTokenIDList **list)
{
    if (!list)
        return;
    for (RawTokenIDList *node = *list; node;) {
        RawTokenIDList *next = node->next;
        std::free(node->raw_token_id);
        std::free(node);
        node = next;
    }
}

char *kx_filetobuf(FILE *stream)
{
    if (!stream)
        return nullptr;
    size_t cap = 128;
    size_t len = 0;
    auto *buf = static_cast<char *>(std::malloc(cap));
    if (!buf)
        return nullptr;
    for (;;) {
        size_t want = cap - 1 - len;
        size_t got = fread(buf + len, 1, want, stream);
        len += got;
        if (got < want) {
            buf[len] = '\0';
            return buf;
        }
        auto *grown = static_cast<char *>(std::realloc(buf, cap * 2));
        if (!grown) {
            std::free(buf);
            return nullptr;
        }
        buf = grown;
        cap *= 2;
    }
}

// ===== Local policy, package root and environment ===========================

namespace {

struct PipeClose {
    void operator()(FILE *f) const { pclose(f); }
};

// A package name goes into a shell command: only the characters of package
// names are let through.
bool plain_package_name(const char *name)
{
    if (!name || !*name)
        return false;
    for (const char *c = name; *c; ++c)
        if (!std::isalnum(static_cast<unsigned char>(*c)) && !std::strchr("._+-", *c))
            return false;
    return true;
}

}  // namespace

char *get_local_policy(void)
{
    FILE *pipe = popen(KX_POLICY_CMD, "r");
    if (!pipe) {
        dprintf("Error obtaining local policy! %s\n", std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<FILE, PipeClose> closer(pipe);
    std::string text;
    char piece[128];
    while (fgets(piece, sizeof piece, pipe))
        if (piece[0] != '#')
            text += piece;
    closer.reset();
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    char *out = dup_or_null(text);
    if (!out)
        dprintf("Error validating local policy! Out of Memory");
    return out;
}

int pseudo_allowed(void)
{
    char *raw = get_local_policy();
    if (!raw)
        return -1;
    std::vector<std::string> words;
    std::string word;
    for (const char *c = raw;; ++c) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            if (!*c)
                break;
        } else {
            word += *c;
        }
    }
    std::free(raw);

    int policy = 0;
    bool s_mark = false;
    auto pseudo_or_both = [](const std::string &v) { return v == "both" || v == "pseudo"; };
    for (size_t i = 0; i < words.size(); ++i) {
        std::string current = words[i];
        // A flag that is the last word has no value and is ignored.
        if (current == "-r" && i + 1 < words.size()) {
            current = words[++i];
            if (pseudo_or_both(current))
                policy = 15;
            else if (current == "card" && policy == 0)
                policy = 2;
        }
        if (current == "-z" && i + 1 < words.size()) {
            current = words[++i];
            if (pseudo_or_both(current))
                policy = 16;
            else if (current == "card" && policy == 0)
                policy = 2;
        }
        if (current == "-s" && i + 1 < words.size()) {
            current = words[++i];
            if (pseudo_or_both(current))
                s_mark = true;
        }
    }
    switch (policy) {
    case 2:
        return 12;
    case 15:
        return s_mark ? 11 : 15;
    default:
        return 11;
    }
}

char *get_package_root(const char *package)
{
    auto query = plain_package_name(package)
                     ? std::optional<std::string>(std::string(KX_PKGINFO_CMD) + " -r " + package +
                                                  " 2> /dev/null")
                     : std::nullopt;
    if (!query || query->size() > 127)
        return nullptr;
    FILE *pipe = popen(query->c_str(), "r");
    if (!pipe) {
        dprintf("get_package_root(): Could not open pipe to determine locale dir\n");
        return nullptr;
    }
    std::string last, line;
    int lines = 0;
    char piece[128];
    while (fgets(piece, sizeof piece, pipe)) {
        line += piece;
        if (line.back() == '\n') {
            last = line;
            line.clear();
            ++lines;
        }
    }
    if (!line.empty()) {
        last = line;
        ++lines;
    }
    int status = pclose(pipe);
    if (lines != 1) {
        dprintf("get_package_root(): Got unexpected data from pkginfo\n");
        return nullptr;
    }
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        dprintf("get_package_root(): Could not get package location\n");
        return nullptr;
    }
    if (!last.empty() && last.back() == '\n')
        last.pop_back();
    return dup_or_null(last);
}

void set_env_var(const char *name, const char *value)
{
    if (!name)
        return;
    std::string entry = std::string(name) + "=" + p(value);
    // putenv keeps the string itself: it stays allocated.
    char *kept = dup_or_null(entry);
    if (kept)
        putenv(kept);
}

char *get_env_var(const char *name) { return name ? getenv(name) : nullptr; }
