// Directory connections: the one routine that opens and secures every LDAP
// handle of the library and of kxadmin, and the rebind procedure that
// follows referrals for a session.
#ifndef KX_CONNECT_HPP
#define KX_CONNECT_HPP

#include <string>

#include <ldap.h>

namespace kx {

// Transport security, as admin.server.tls names it.
enum class Tls { None, StartTls, Ldaps, Invalid };

// none, starttls or ldaps; NULL is none, anything else Invalid (which never
// falls back to plain text).
Tls tls_mode(const char *value);

struct Endpoint {
    std::string host;
    int port = 0;
    Tls tls = Tls::None;
    std::string cacert;  // "" for libldap's defaults (ca_defaults)
    int timeout = 0;     // seconds for the connection and each operation; 0: none
    std::string uri() const
    {
        return (tls == Tls::Ldaps ? "ldaps://" : "ldap://") + host + ":" + std::to_string(port);
    }
};

// A handle connected to the endpoint with LDAPv3 and, with TLS, secured
// with the server's certificate verified against a context of the handle's
// own.  Any step that fails ends the open: nullptr, with the reason and
// the LDAP result code of the step (LDAP_SERVER_DOWN when no connection
// was made, LDAP_CONNECT_ERROR when TLS could not be set up).
LDAP *open_ldap(const Endpoint &e, std::string &reason, int &rc);

// The certificate authority when admin.server.cacert names none, as
// libldap's system-wide configuration gives it: TLS_CACERT and
// TLS_CACERTDIR of ldap.conf and of the file that LDAPCONF names, then
// LDAPTLS_CACERT and LDAPTLS_CACERTDIR, each overriding the one before
// (none of them under LDAPNOINIT, as in libldap).
// The ldaprc files of the home and the current directory are never read:
// whoever can write where an administrator works must not choose the
// authority that the password is sent under.
struct CaFiles {
    std::string file, dir;
};
CaFiles ca_defaults();

// libldap's rebind procedure for a session's referrals (arg: the address of
// a bool, true when the session uses TLS).  A referred connection of a TLS
// session starts TLS first; the administrator's credentials go only to the
// primary server that the directory server's configuration file names, and
// any other host gets the request without them (and refuses the write).
int rebind_with_admin_credentials(LDAP *ld, LDAP_CONST char *url, ber_tag_t request,
                                  ber_int_t msgid, void *arg);

}  // namespace kx

#endif
