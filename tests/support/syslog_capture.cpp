// Replacement of the C library's syslog() family for tests: there is no
// system log daemon on the test machines, so records are kept in memory and
// optionally appended to the file named by KX_SYSLOG_CAPTURE.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "syslog_capture.h"

namespace {

struct Record {
    int priority;
    std::string message;
};

std::mutex lock;
std::vector<Record> &records()
{
    static auto *r = new std::vector<Record>;  // outlives static destructors
    return *r;
}

void keep(int priority, const char *format, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        vsnprintf(text.data(), text.size() + 1, format, ap);

    std::lock_guard<std::mutex> guard(lock);
    records().push_back({priority, text});
    if (const char *path = std::getenv("KX_SYSLOG_CAPTURE")) {
        if (FILE *fp = std::fopen(path, "a")) {
            std::string line = std::to_string(priority) + "\t";
            for (char c : text) {
                if (c == '\n')
                    line += "\\n";
                else if (c == '\\')
                    line += "\\\\";
                else
                    line += c;
            }
            line += "\n";
            std::fputs(line.c_str(), fp);
            std::fclose(fp);
        }
    }
}

} // namespace

extern "C" {

int kxcap_count(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(records().size());
}

const char *kxcap_message(int i, int *priority)
{
    std::lock_guard<std::mutex> guard(lock);
    if (i < 0 || i >= static_cast<int>(records().size()))
        return nullptr;
    if (priority)
        *priority = records()[static_cast<size_t>(i)].priority;
    return records()[static_cast<size_t>(i)].message.c_str();
}

void kxcap_clear(void)
{
    std::lock_guard<std::mutex> guard(lock);
    records().clear();
}

void openlog(const char *, int, int) {}
void closelog(void) {}

void vsyslog(int priority, const char *format, va_list ap)
{
    keep(priority, format, ap);
}

void syslog(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    keep(priority, format, ap);
    va_end(ap);
}

// The fortified entry points that <syslog.h> may route calls to.
void __vsyslog_chk(int priority, int, const char *format, va_list ap)
{
    keep(priority, format, ap);
}

void __syslog_chk(int priority, int, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    keep(priority, format, ap);
    va_end(ap);
}

} // extern "C"
