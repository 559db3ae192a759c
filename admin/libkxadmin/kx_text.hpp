// Text splitting shared by the argument splitter and the readers that must
// not end the process on bad input, and the escaping of values shown in
// logs and reports.
#ifndef KX_TEXT_HPP
#define KX_TEXT_HPP

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// Splits text at every separator not preceded by a backslash, as
// parse_args() does: "\<sep>" is a literal separator, any other backslash is
// dropped, each field is stripped of blanks, tabs and newlines.  Returns
// false when a field reaches 512 characters; *too_long (if given) then holds
// its first 511 characters.
bool split_args(const char *text, char separator, std::vector<std::string> &fields,
                std::string *too_long = nullptr);

// The fields of text between separators, empty ones included: "a,,b" gives
// "a", "" and "b"; "" gives one empty field.
inline std::vector<std::string> split(std::string_view text, char separator)
{
    std::vector<std::string> fields;
    for (size_t at = 0;; ++at) {
        size_t end = text.find(separator, at);
        fields.emplace_back(text.substr(at, end - at));
        if (end == std::string_view::npos)
            return fields;
        at = end;
    }
}

// A value as a log or a terminal may show it: control characters (below
// 0x20, and 0x7f) escaped, a newline as \n and the others as \ooo, so that
// no value forges a line; with backslash, the backslash too (as \134), so
// that the escaping cannot be imitated.  Everything else as it is.
inline std::string escape_controls(std::string_view value, bool backslash = false)
{
    std::string out;
    for (unsigned char c : value) {
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7f || (backslash && c == '\\')) {
            char code[5];
            std::snprintf(code, sizeof code, "\\%03o", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace kx

#endif
