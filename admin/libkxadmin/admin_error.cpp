// Error codes of the library and their catalogue texts.

#include <cerrno>
#include <libintl.h>

#include "kx_paths.h"
#include "kxerrno.h"

// Marks a message id for the catalogue template; the lookup is dgettext's.
#define N_(text) text

namespace {

// Message ids, indexed by -code for the codes 0 .. -27.  The unassigned
// code -21 has the text of an undefined code.
constexpr const char *kNegativeTexts[] = {
    N_("Success"),                               //   0
    N_("Internal system error"),                 //  -1
    N_("No changes were made"),                  //  -2
    N_("Authentication failed"),                 //  -3
    N_("Object not found"),                      //  -4
    N_("No permission"),                         //  -5
    N_("Invalid arguments"),                     //  -6
    N_("Data already exists"),                   //  -7
    N_("Terminal already in use"),               //  -8
    N_("Token not found"),                       //  -9
    N_("Not enough memory"),                     // -10
    N_("Duplicate Terminal ID"),                 // -11
    N_("Server unreachable"),                    // -12
    N_("Failed to open socket"),                 // -13
    N_("Socket write failed"),                   // -14
    N_("Authentication Manager timeout"),        // -15
    N_("File access error"),                     // -16
    N_("Invalid call sequence"),                 // -17
    N_("No more data"),                          // -18
    N_("File or directory does not exist"),      // -19
    N_("Unable to contact admin database"),      // -20
    N_("Undefined error code"),                  // -21
    N_("Session detached"),                      // -22
    N_("Not currently in a Tessaly session"),    // -23
    N_("Operation timed out"),                   // -24
    N_("Failed to contact the remote service"),  // -25
    N_("Configuration error"),                   // -26
    N_("No buffer space available"),             // -27
};

constexpr const char *kUndefined = N_("Undefined error code");
constexpr const char *kUnknown = N_("Unknown system error");
constexpr const char *kNotPrivileged =
    N_("Administrator privilege is required to perform this activity");

constexpr int kLowestCode = -(int)(sizeof kNegativeTexts / sizeof kNegativeTexts[0]) + 1;

char *lookup(const char *msgid) { return dgettext(KX_TEXT_DOMAIN, msgid); }

}  // namespace

char *kx_err2str(int code)
{
    const char *msgid = kUndefined;
    if (code <= 0 && code >= kLowestCode)
        msgid = kNegativeTexts[-code];
    else if (code == KXE_UNKNOWN)
        msgid = kUnknown;
    return lookup(msgid);
}

void kx_err2str_init(void) { bindtextdomain(KX_TEXT_DOMAIN, KX_LOCALE_DIR); }

char *kx_errNotPrivileged(void) { return lookup(kNotPrivileged); }

int kx_errno2kxerr(int err, int default_code)
{
    switch (err) {
    case 0:
        return KXE_SUCCESS;
    case ENOENT:
        return KXE_NOENT;
    case ENOMEM:
        return KXE_NOMEM;
    case EACCES:
        return KXE_NOPERM;
    case EEXIST:
        return KXE_EXISTS;
    default:
        return default_code;
    }
}
