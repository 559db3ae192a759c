// Helpers of the unit tests: checks in a child process of their own, what a
// call wrote to standard error, product files put back.
#ifndef KX_UNIT_H
#define KX_UNIT_H

#include <climits>
#include <clocale>
#include <cstring>
#include <functional>
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
// body runs in a forked child (fresh caches and locale); its text comes back.
inline std::string in_child(const std::function<std::string()> &body)
{
    std::string file = kxt::scratch("child") + "/out";
    int st = 0;
    pid_t pid = (fflush(nullptr), fork());
    if (pid == 0)
        kxt::clear_logs(), kxt::spit(file, body()), exit(0);
    waitpid(pid, &st, 0);
    return kxt::slurp(file) + (WIFEXITED(st) && WEXITSTATUS(st) == 0 ? "" : "[child failed]");
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
