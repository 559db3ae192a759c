// The formatting of the library's diagnostic lines: printf formats whose
// string and character arguments are escaped, so that no value a caller
// hands in forges a line of the system log.

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "kx_text.hpp"
#include "kx_utils.hpp"

namespace {

// One conversion of a printf format with its argument taken from ap.
template <typename T> void convert(std::string &out, const std::string &spec, T value)
{
    char piece[kx::utils::kLogBuffer];
    std::snprintf(piece, sizeof piece, spec.c_str(), value);
    out += piece;
}

}  // namespace

namespace kx::utils {

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

}  // namespace kx::utils
