// Text splitting shared by the argument splitter and the readers that must
// not end the process on bad input.
#ifndef KX_TEXT_HPP
#define KX_TEXT_HPP

#include <string>
#include <vector>

namespace kx {

// Splits text at every separator not preceded by a backslash, as
// parse_args() does: "\<sep>" is a literal separator, any other backslash is
// dropped, each field is stripped of blanks, tabs and newlines.  Returns
// false when a field reaches 512 characters; *too_long (if given) then holds
// its first 511 characters.
bool split_args(const char *text, char separator, std::vector<std::string> &fields,
                std::string *too_long = nullptr);

} // namespace kx

#endif
