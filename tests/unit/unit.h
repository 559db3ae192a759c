// Helpers of the unit tests: checks in a child process of their own, what a
// call wrote to standard error, product files put back, a loopback listener.
#ifndef KX_UNIT_H
#define KX_UNIT_H

#include <climits>
#include <clocale>
#include <cstring>
#include <functional>
#include <tuple>
#include <netinet/in.h>
#include <sys/wait.h>

#include "admin_private.h"
#include "kx_paths.h"
#include "kxtest.h"

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
    explicit ProductFile(const std::string &p) : path(p) { kxt::sh("mkdir -p " + kxt::q(p.substr(0, p.rfind('/')))); }
    ~ProductFile() { had ? kxt::spit(path, saved) : remove(); }
    void put(const std::string &text, int mode = 0644) const { kxt::spit(path, text, mode); }
    void remove() const { unlink(path.c_str()); }
};

struct Listener {  // on a free port of 127.0.0.1; Listener(1).port is a closed port
    int fd = socket(AF_INET, SOCK_STREAM, 0), port = 0;
    explicit Listener(int backlog, sockaddr_in a = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}}, socklen_t n = 16)
    {
        bind(fd, reinterpret_cast<sockaddr *>(&a), n), listen(fd, backlog);
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n), port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
};
}  // namespace unit

#endif
