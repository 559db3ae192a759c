// Helpers of the unit tests: tables of calls, checks in a child process of
// their own, what a call wrote to standard error, product files put back.
#ifndef KX_UNIT_H
#define KX_UNIT_H

#include <climits>
#include <clocale>
#include <cstring>
#include <functional>
#include <source_location>
#include <tuple>
#include <sys/wait.h>

#include "admin_private.h"
#include "kx_paths.h"
#include "kxtest.h"

// Tests that put product files in place run only in a build whose product
// paths lie below a root of their own: a default build's are the machine's.
#define SKIP_WITHOUT_PRODUCT_ROOT()                                                                \
    if (std::string(KX_PRODUCT_ROOT).empty())                                                      \
    GTEST_SKIP() << "puts product files in place: needs a build with KX_PRODUCT_ROOT"

namespace unit {
using kxt::Strings;
using Said = std::pair<int, std::string>;  // a result and a text that came with it

// A C string as text, "(null)" for NULL (as kxt::take gives it).
inline std::string s(const char *t) { return t ? t : "(null)"; }

// One row of a table of calls: what its call gave and what it should give.
// The calls run in the order of the rows; a failure names its row.
template <class T> struct Row {
    const char *row;
    T got, want;
};
template <class T>
void expect_rows(std::initializer_list<Row<T>> rows,
                 std::source_location table = std::source_location::current())
{
    testing::ScopedTrace trace(table.file_name(), static_cast<int>(table.line()), "the table");
    for (const Row<T> &r : rows)
        EXPECT_EQ(r.got, r.want) << "row: " << r.row;
}

// Whether text holds part, saying what it holds when not.
inline testing::AssertionResult has(const std::string &text, const std::string &part)
{
    if (text.find(part) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << text << "\" does not hold \"" << part << "\"";
}

// body runs in a forked child (fresh caches and locale, no log records yet);
// its texts come back, then "[child failed]" if the child did not end well.
inline Strings in_child(const std::function<Strings()> &body)
{
    std::string file = kxt::scratch("child") + "/out", joined;
    int st = 0;
    pid_t pid = (fflush(nullptr), fork());
    if (pid == 0) {
        kxt::clear_logs();
        for (const std::string &text : body())
            joined += text + '\0';
        kxt::spit(file, joined), exit(0);
    }
    waitpid(pid, &st, 0);
    Strings texts;
    joined = kxt::slurp(file);
    for (size_t at = 0, end; (end = joined.find('\0', at)) != std::string::npos; at = end + 1)
        texts.push_back(joined.substr(at, end - at));
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
        texts.push_back("[child failed]");
    return texts;
}

template <class F> std::string stderr_of(F f)
{
    testing::internal::CaptureStderr();
    return f(), testing::internal::GetCapturedStderr();
}

struct ProductFile {  // put back as it was when the test ends
    std::string path, saved = kxt::slurp(path);
    bool had = access(path.c_str(), F_OK) == 0;
    explicit ProductFile(const std::string &p) : path(p)
    {
        kxt::sh("mkdir -p " + kxt::q(p.substr(0, p.rfind('/'))));
    }
    ~ProductFile() { had ? kxt::spit(path, saved) : remove(); }
    void put(const std::string &text, int mode = 0644) const { kxt::spit(path, text, mode); }
    void remove() const { unlink(path.c_str()); }
};

}  // namespace unit

#endif
