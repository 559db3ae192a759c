// What the files of the general helpers (utils_*.cpp) share among
// themselves: the formatting of diagnostic lines and the small text
// helpers.  Nothing of it is exported; the helpers' interface is utils.h.
#ifndef KX_UTILS_HPP
#define KX_UTILS_HPP

#include <cstdarg>
#include <cstddef>
#include <string_view>

namespace kx::utils {

// Room of one diagnostic line, its end included; longer lines are cut.
constexpr size_t kLogBuffer = 1024;

// vsnprintf into buf, the strings and characters of the arguments escaped
// (escape_controls); the format's own text is kept.  The text is cut to
// what fits.  (utils_log_format.cpp)
void format_for_log(char *buf, size_t size, const char *format, va_list ap);

// Blanks, tabs and newlines: the characters the trimming helpers remove.
bool is_trim_char(char c);

// Copy of text without the characters for which trim() holds at either
// end, made with safe_malloc; nullptr when nothing is left.
char *trimmed_copy(std::string_view text, bool (*trim)(char));

// A heap copy (malloc) of s; nullptr when memory is exhausted.
char *dup_or_null(std::string_view s);

}  // namespace kx::utils

#endif
