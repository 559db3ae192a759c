// Directory connections: opening and securing every LDAP handle, the
// certificate authority of libldap's defaults, and the rebind procedure of
// a session's referrals.

#include "kx_connect.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>

#include <openldap.h>

#include "admin_private.h"
#include "kx_ldap.hpp"
#include "kx_paths.h"
#include "kx_raii.hpp"
#include "kx_tcp.hpp"
#include "utils.h"

namespace {

// The TLS options of a handle: the server's certificate always verified,
// against the given authority or libldap's defaults, in a context of the
// handle's own, so that nothing falls back to the process-wide context
// (which the environment or an ldaprc file may have told to check nothing).
bool verify_certificates(LDAP *ld, const std::string &cacert)
{
    kx::CaFiles ca = cacert.empty() ? kx::ca_defaults() : kx::CaFiles{cacert, ""};
    auto text = [](const std::string &s) { return s.empty() ? nullptr : s.c_str(); };
    int demand = LDAP_OPT_X_TLS_DEMAND, fresh = 0;
    return ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) == LDAP_OPT_SUCCESS &&
           ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, text(ca.file)) == LDAP_OPT_SUCCESS &&
           ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTDIR, text(ca.dir)) == LDAP_OPT_SUCCESS &&
           ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &fresh) == LDAP_OPT_SUCCESS;
}

// The TLS keys of one ldap.conf file into ca.
void read_ca_keys(const char *path, kx::CaFiles &ca)
{
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        size_t end = line.find_first_of(" \t", start);
        std::string key = line.substr(start, end - start);
        size_t value = end == std::string::npos ? end : line.find_first_not_of(" \t", end);
        if (value == std::string::npos)
            continue;
        size_t last = line.find_last_not_of(" \t\r");
        if (strcasecmp(key.c_str(), "TLS_CACERT") == 0)
            ca.file = line.substr(value, last + 1 - value);
        else if (strcasecmp(key.c_str(), "TLS_CACERTDIR") == 0)
            ca.dir = line.substr(value, last + 1 - value);
    }
}

// Whether two host names name the same machine: the same name, or an
// address in common.
bool same_host(const std::string &a, const std::string &b)
{
    if (strcasecmp(a.c_str(), b.c_str()) == 0)
        return true;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *first = nullptr, *second = nullptr;
    bool same = false;
    if (getaddrinfo(a.c_str(), nullptr, &hints, &first) == 0 &&
        getaddrinfo(b.c_str(), nullptr, &hints, &second) == 0) {
        for (addrinfo *x = first; x && !same; x = x->ai_next)
            for (addrinfo *y = second; y && !same; y = y->ai_next) {
                if (x->ai_family != y->ai_family)
                    continue;
                if (x->ai_family == AF_INET)
                    same = std::memcmp(&reinterpret_cast<sockaddr_in *>(x->ai_addr)->sin_addr,
                                       &reinterpret_cast<sockaddr_in *>(y->ai_addr)->sin_addr,
                                       sizeof(in_addr)) == 0;
                else if (x->ai_family == AF_INET6)
                    same = std::memcmp(&reinterpret_cast<sockaddr_in6 *>(x->ai_addr)->sin6_addr,
                                       &reinterpret_cast<sockaddr_in6 *>(y->ai_addr)->sin6_addr,
                                       sizeof(in6_addr)) == 0;
            }
    }
    if (first)
        freeaddrinfo(first);
    if (second)
        freeaddrinfo(second);
    return same;
}

// Whether a referral's URL names the primary server of the directory
// server's configuration file (host and port as kx_getDSprimary gives
// them).  A host that is its own primary refers nowhere with credentials.
bool names_primary(const char *url)
{
    LDAPURLDesc *lud = nullptr;
    if (!url || ldap_url_parse(url, &lud) != LDAP_URL_SUCCESS)
        return false;
    std::unique_ptr<LDAPURLDesc, void (*)(LDAPURLDesc *)> owned(lud, ldap_free_urldesc);
    int port = lud->lud_port
                   ? lud->lud_port
                   : (lud->lud_scheme && strcasecmp(lud->lud_scheme, "ldaps") == 0 ? 636 : 389);
    char *raw = nullptr;
    int primary_port = -1;
    int rc = kx_getDSprimary(&raw, &primary_port);
    kx::CString primary(raw);
    return rc == KXE_SUCCESS && primary && primary_port != -1 && port == primary_port &&
           lud->lud_host && same_host(lud->lud_host, primary.get());
}

}  // namespace

namespace kx {

Tls tls_mode(const char *value)
{
    if (!value || std::strcmp(value, "none") == 0)
        return Tls::None;
    if (std::strcmp(value, "starttls") == 0)
        return Tls::StartTls;
    if (std::strcmp(value, "ldaps") == 0)
        return Tls::Ldaps;
    return Tls::Invalid;
}

CaFiles ca_defaults()
{
    CaFiles ca;
    if (std::getenv("LDAPNOINIT"))
        return ca;  // libldap reads no configuration at all then
    read_ca_keys(KX_LDAP_CONF, ca);
    if (const char *alt = std::getenv("LDAPCONF"); alt && *alt)
        read_ca_keys(alt, ca);
    if (const char *file = std::getenv("LDAPTLS_CACERT"))
        ca.file = file;
    if (const char *dir = std::getenv("LDAPTLS_CACERTDIR"))
        ca.dir = dir;
    return ca;
}

LDAP *open_ldap(const Endpoint &e, std::string &reason, int &rc)
{
    // libldap sets up its global state on first use, and that set-up is not
    // safe for several threads at once: do it once, first.
    static const bool ldap_ready = [] {
        int version = 0;
        return ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_OPT_SUCCESS;
    }();
    (void)ldap_ready;
    LDAP *ld = nullptr;
    auto fail = [&](int code, const std::string &why) -> LDAP * {
        rc = code;
        reason = why;
        if (ld)
            ldap_unbind_ext_s(ld, nullptr, nullptr);
        return nullptr;
    };
    if (e.tls == Tls::Invalid)
        return fail(LDAP_PARAM_ERROR, "admin.server.tls is none, starttls or ldaps");
    std::string uri = e.uri();
    int version = LDAP_VERSION3;
    if (e.tls == Tls::Ldaps) {
        // libldap makes the connection and its TLS session itself.
        rc = ldap_initialize(&ld, uri.c_str());
        if (rc != LDAP_SUCCESS)
            return fail(rc, ldap_err2string(rc));
        limit_time(ld, e.timeout);
        ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
        if (!verify_certificates(ld, e.cacert))
            return fail(LDAP_CONNECT_ERROR, "TLS settings: " + ldap_reason(ld, LDAP_CONNECT_ERROR));
        rc = ldap_connect(ld);
        if (rc != LDAP_SUCCESS)
            return fail(rc, ldap_reason(ld, rc));
        return ld;
    }
    // The connection is made here rather than inside libldap so that the
    // reason of a failure (a refused connection, an unknown host, a timeout)
    // is known.
    TcpConnection tcp = connect_tcp(e.host.c_str(), e.port, e.timeout);
    if (!tcp.socket)
        return fail(LDAP_SERVER_DOWN, tcp.reason());
    if (ldap_init_fd(tcp.socket.get(), LDAP_PROTO_TCP, uri.c_str(), &ld) != LDAP_SUCCESS)
        return fail(LDAP_NO_MEMORY, std::strerror(ENOMEM));
    tcp.socket.release();  // the handle's now
    limit_time(ld, e.timeout);
    if (ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS)
        return fail(LDAP_OTHER, "Could not establish ldapv3 session with server.");
    if (e.tls == Tls::StartTls) {
        if (!verify_certificates(ld, e.cacert))
            return fail(LDAP_CONNECT_ERROR, "TLS settings: " + ldap_reason(ld, LDAP_CONNECT_ERROR));
        rc = ldap_start_tls_s(ld, nullptr, nullptr);
        if (rc != LDAP_SUCCESS)
            return fail(rc, ldap_reason(ld, rc));
    }
    rc = LDAP_SUCCESS;
    return ld;
}

int rebind_with_admin_credentials(LDAP *ld, LDAP_CONST char *url, ber_tag_t, ber_int_t, void *arg)
{
    if (arg && *static_cast<const bool *>(arg) && !ldap_tls_inplace(ld)) {
        int rc = ldap_start_tls_s(ld, nullptr, nullptr);
        if (rc != LDAP_SUCCESS) {
            dprintf("kx_ldap_rebind_callback: StartTLS with %s failed - %s\n", p(url),
                    ldap_err2string(rc));
            return rc;
        }
    }
    if (!names_primary(url)) {
        dprintf("kx_ldap_rebind_callback: %s is not the primary server; referral followed without "
                "credentials\n",
                p(url));
        return LDAP_SUCCESS;
    }
    char *dn = nullptr;
    char *pw = nullptr;
    int method = 0;
    int rc = kx_ldap_rebind_callback(ld, &dn, &pw, &method, 0, nullptr);
    if (rc != LDAP_SUCCESS)
        return rc;
    berval cred{pw ? std::strlen(pw) : 0, pw};
    rc = ldap_sasl_bind_s(ld, dn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    kx_ldap_rebind_callback(ld, &dn, &pw, &method, 1, nullptr);
    return rc;
}

}  // namespace kx

LDAP *_kx_ldapOpen(const char *host, int port, const char *tls, const char *cacert, int timeout,
                   int *rc, char **reason)
{
    kx::Endpoint e{host ? host : "", port, kx::tls_mode(tls), cacert ? cacert : "", timeout};
    std::string why;
    int code = LDAP_SUCCESS;
    LDAP *ld = kx::open_ldap(e, why, code);
    if (rc)
        *rc = code;
    if (reason)
        *reason = ld ? nullptr : safe_strdup(why.c_str());
    return ld;
}

int _kx_isPrimaryURL(const char *url) { return names_primary(url) ? 1 : 0; }
