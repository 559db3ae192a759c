// Error codes of the library and their catalogue texts.

#include <cerrno>
#include <libintl.h>

#include "kx_paths.h"
#include "kxerrno.h"

namespace {

// Message ids, indexed by -code for the codes 0 .. -27.  The unassigned
// code -21 has the text of an undefined code.
constexpr const char *kNegativeTexts[] = {
    "Success",                                 //   0
    "Internal system error",                   //  -1
    "No changes were made",                    //  -2
    "Authentication failed",                   //  -3
    "Object not found",                        //  -4
    "No permission",                           //  -5
    "Invalid arguments",                       //  -6
    "Data already exists",                     //  -7
    "Terminal already in use",                 //  -8
    "Token not found",                         //  -9
    "Not enough memory",                       // -10
    "Duplicate Terminal ID",                   // -11
    "Server unreachable",                      // -12
    "Failed to open socket",                   // -13
    "Socket write failed",                     // -14
    "Authentication Manager timeout",          // -15
    "File access error",                       // -16
    "Invalid call sequence",                   // -17
    "No more data",                            // -18
    "File or directory does not exist",        // -19
    "Unable to contact admin database",        // -20
    "Undefined error code",                    // -21
    "Session detached",                        // -22
    "Not currently in a Tessaly session",      // -23
    "Operation timed out",                     // -24
    "Failed to contact the remote service",    // -25
    "Configuration error",                     // -26
    "No buffer space available",               // -27
};

constexpr const char *kUndefined = "Undefined error code";
constexpr const char *kUnknown = "Unknown system error";
constexpr const char *kNotPrivileged =
    "Administrator privilege is required to perform this activity";

constexpr int kLowestCode = -(int)(sizeof kNegativeTexts / sizeof kNegativeTexts[0]) + 1;

char *lookup(const char *msgid)
{
    return dgettext(KX_TEXT_DOMAIN, msgid);
}

} // namespace

extern "C" char *kx_err2str(int code)
{
    const char *msgid = kUndefined;
    if (code <= 0 && code >= kLowestCode)
        msgid = kNegativeTexts[-code];
    else if (code == KXE_UNKNOWN)
        msgid = kUnknown;
    return lookup(msgid);
}

extern "C" void kx_err2str_init(void)
{
    bindtextdomain(KX_TEXT_DOMAIN, KX_LOCALE_DIR);
}

extern "C" char *kx_errNotPrivileged(void)
{
    return lookup(kNotPrivileged);
}

extern "C" int kx_errno2kxerr(int err, int default_code)
{
    switch (err) {
    case 0:      return KXE_SUCCESS;
    case ENOENT: return KXE_NOENT;
    case ENOMEM: return KXE_NOMEM;
    case EACCES: return KXE_NOPERM;
    case EEXIST: return KXE_EXISTS;
    default:     return default_code;
    }
}
