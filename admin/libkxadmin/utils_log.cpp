// The library's diagnostics: the debug printers dprintf and dlprintf, the
// administrative log, the debug selector and the module state they share.

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <syslog.h>

#include "kx_utils.hpp"
#include "utils.h"

using kx::utils::format_for_log;
using kx::utils::kLogBuffer;

namespace {

// ---- module state of the diagnostic writers ------------------------------

// The caller's switch that silences dprintf and log_admin
// (set_suppress_output), and the debug selector, written by any thread that
// reads a configuration file (set_gdebug); read by every diagnostic writer.
std::atomic<int> suppress_output{0};
std::atomic<char *> gdebug_string{nullptr};

// set_gdebug never frees a selector that another thread may still be
// reading; superseded copies are parked here so they stay reachable.
std::mutex retired_lock;
std::vector<std::unique_ptr<char, decltype(&std::free)>> retired_selectors;

}  // namespace

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
