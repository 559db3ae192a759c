// What the reader of the administration configuration file leaves to a
// session's connect step besides the session record: the transport
// security keys of the file, and the process-wide time limits, which every
// read of a configuration file sets.
#ifndef KX_SESSION_HPP
#define KX_SESSION_HPP

#include <atomic>
#include <string>

#include "admin_private.h"

namespace kx {

// The values of admin.server.tls and admin.server.cacert in the
// configuration file that filled a session's record, as written there (""
// when absent).  Kept in a private part that allocate_kxa allocates with
// the record (whose layout is fixed) and free_kxa frees with it.
struct TlsSettings {
    std::string tls;
    std::string cacert;
};

TlsSettings tls_settings_of(const KXAdminStruct *kxa);

// DStimeout and DSldaptimeout, read and written atomically: sessions may be
// opened on several threads at once.
inline int setting(int &value)
{
    return std::atomic_ref<int>(value).load(std::memory_order_relaxed);
}

inline void set_setting(int &value, int number)
{
    std::atomic_ref<int>(value).store(number, std::memory_order_relaxed);
}

}  // namespace kx

#endif
