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

// One conversion of a format ("%-5.2s" and the like), as snprintf is to see it.
struct Conversion {
    std::string spec;    // "%", flags, width, precision, length and letter
    std::string length;  // the length modifier alone ("", "l", "ll", ...)
    char letter;         // the conversion letter; '\0' at the end of the format
};

// A width (or, with precision, a precision) at f into spec; a '*' takes its
// number from the arguments, and a negative precision counts as none.
void read_number(const char *&f, std::string &spec, va_list *args, bool precision)
{
    if (*f != '*') {
        while (std::isdigit(static_cast<unsigned char>(*f)))
            spec += *f++;
        return;
    }
    ++f;
    int n = va_arg(*args, int);
    if (precision && n < 0)
        spec.pop_back();  // a negative precision is none
    else
        spec += std::to_string(n);
}

// The conversion that begins at f, on its '%'; f is moved
// past it.
Conversion read_conversion(const char *&f, va_list *args)
{
    Conversion c;
    c.spec.assign(1, *f++);
    while (*f && std::strchr("-+ #0'", *f))
        c.spec += *f++;
    read_number(f, c.spec, args, false);
    if (*f == '.') {
        c.spec += *f++;
        read_number(f, c.spec, args, true);
    }
    while (*f && std::strchr("hlLqjzt", *f))
        c.length += *f++;
    c.letter = *f ? *f++ : '\0';
    c.spec += c.length;
    c.spec += c.letter;
    return c;
}

// An integer argument of the conversion's length.
void convert_integer(std::string &out, const Conversion &c, va_list *args)
{
    if (c.length == "l")
        convert(out, c.spec, va_arg(*args, long));
    else if (c.length == "ll" || c.length == "q")
        convert(out, c.spec, va_arg(*args, long long));
    else if (c.length == "z")
        convert(out, c.spec, va_arg(*args, size_t));
    else if (c.length == "j")
        convert(out, c.spec, va_arg(*args, intmax_t));
    else if (c.length == "t")
        convert(out, c.spec, va_arg(*args, ptrdiff_t));
    else
        convert(out, c.spec, va_arg(*args, int));
}

// A floating-point argument of the conversion's length.
void convert_floating(std::string &out, const Conversion &c, va_list *args)
{
    if (c.length == "L")
        convert(out, c.spec, va_arg(*args, long double));
    else
        convert(out, c.spec, va_arg(*args, double));
}

// The text of one conversion, its argument (if any) taken from args: a
// string or a character escaped, %m the text of saved_errno, an unknown
// conversion as written.
void convert_argument(std::string &out, Conversion &c, va_list *args, int saved_errno)
{
    switch (c.letter) {
    case '%':
        out += '%';
        break;
    case 's': {
        const char *value = va_arg(*args, const char *);
        convert(out, c.spec, kx::escape_controls(value ? value : "(null)").c_str());
        break;
    }
    case 'c': {
        char ch = static_cast<char>(va_arg(*args, int));
        c.spec.back() = 's';
        convert(out, c.spec, kx::escape_controls(std::string_view(&ch, 1)).c_str());
        break;
    }
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        convert_integer(out, c, args);
        break;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        convert_floating(out, c, args);
        break;
    case 'p':
        convert(out, c.spec, va_arg(*args, void *));
        break;
    case 'n':
        (void)va_arg(*args, void *);
        break;
    case 'm':
        out += kx::escape_controls(std::strerror(saved_errno));
        break;
    default:
        out += c.spec;
        break;
    }
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
        Conversion c = read_conversion(f, &args);
        convert_argument(out, c, &args, saved_errno);
    }
    va_end(args);
    std::snprintf(buf, size, "%s", out.c_str());
}

}  // namespace kx::utils
