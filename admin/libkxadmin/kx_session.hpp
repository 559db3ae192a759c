// What the reader of the administration configuration file leaves to a
// session's connect step besides the session record: the transport
// security keys of the file, and the process-wide time limits, which every
// read of a configuration file sets.
#ifndef KX_SESSION_HPP
#define KX_SESSION_HPP

#include <atomic>
#include <string>

#include "admin_private.h"
#include "kx_connect.hpp"

namespace kx {

// Transport security of a session's connections, from the keys
// admin.server.tls and admin.server.cacert of the configuration file that
// filled its record.  Kept beside the records, whose layout is fixed.
struct TlsSettings {
    Tls mode = Tls::None;
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
