// Shared pieces of the fuzz targets.
#ifndef KX_FUZZ_SUPPORT_H
#define KX_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "utils.h"

namespace fuzz {

// The input as a C string (up to its first NUL).
inline std::string text(const uint8_t *data, size_t size)
{
    std::string s(reinterpret_cast<const char *>(data), size);
    return s.substr(0, s.find('\0'));
}

// A file holding the input, named by a path, for readers that open paths.
class MemFile {
public:
    MemFile(const uint8_t *data, size_t size)
    {
        fd_ = memfd_create("kxfuzz", 0);
        if (fd_ >= 0 && size > 0 && write(fd_, data, size) != static_cast<ssize_t>(size)) {
            close(fd_);
            fd_ = -1;
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemFile()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    const char *path() const { return path_.c_str(); }

private:
    int fd_ = -1;
    std::string path_;
};

// Library diagnostics are not wanted in the fuzzer's output.  (The tool's
// messages on standard error are dropped by running with -close_fd_mask=2,
// which keeps the fuzzer's and the sanitizers' own reports.)
inline void quiet() { set_suppress_output(1); }

}  // namespace fuzz

#endif
