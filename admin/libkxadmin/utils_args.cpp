// Argument and key/value text: the splitter of separated arguments, the
// NULL-terminated key/value arrays, and the line arrays of small
// configuration files.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kx_text.hpp"
#include "kx_utils.hpp"
#include "kxerrno.h"
#include "utils.h"

using kx::utils::dup_or_null;
using kx::utils::is_trim_char;
using kx::utils::trimmed_copy;

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
