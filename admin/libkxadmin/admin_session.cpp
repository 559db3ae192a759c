// Administration sessions: opening one (the configuration, the connection
// and bind to the directory server, the status databases) and closing it,
// the administrator's credentials for referrals, the guard that every
// directory write passes first, and the mapping of LDAP result codes.  The
// LDAP handle itself is opened and secured by kx::open_ldap (kx_connect.cpp).

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

#include "admin_private.h"
#include "kx_connect.hpp"
#include "kx_paths.h"
#include "kx_raii.hpp"
#include "kx_session.hpp"
#include "utils.h"

namespace {

// A session record under construction: what is open of it is closed again
// unless it is released.
struct SessionClose {
    void operator()(KXAdminStruct *kxa) const { close_connection(kxa); }
};
using Session = std::unique_ptr<KXAdminStruct, SessionClose>;

// The configuration file into the record, checked for the record's mode,
// and the server override.
int load_configuration(KXAdminStruct *kxa, const char *path, const char *server)
{
    if (access(path, F_OK) != 0) {
        int err = errno;
        dprintf("open_connection(): Could not find config file (%s) - %s\n", path,
                std::strerror(err));
        return kx_errno2kxerr(err, KXE_FILEACCESS);
    }
    int ret = read_config_file(kxa, path);
    if (ret != KXE_SUCCESS) {
        dprintf("open_connection(): Could not read config file (%s)\n", path);
        return ret;
    }
    if (check_kxa(kxa) != KXE_SUCCESS) {
        dprintf("open_connection(): Config file (%s) contents are incomplete\n", path);
        return KXE_INTERNAL;
    }
    if (server) {
        char *copy = safe_strdup(server);
        if (!copy) {
            dprintf("open_connection(): strdup server specified failed");
            return KXE_INTERNAL;
        }
        std::free(kxa->server_name);
        kxa->server_name = copy;
    }
    return KXE_SUCCESS;
}

struct Credentials {
    const char *dn = nullptr;
    kx::CString password;
};

// The bind DN and password of the record's mode.
int credentials_of(const KXAdminStruct *kxa, const char *binddn, const char *passwd,
                   Credentials &out)
{
    switch (kxa->mode) {
    case KX_MODE_ANONYMOUS:
        out.dn = "cn=anonymous";
        break;
    case KX_MODE_PASSWORD:
        out.dn = kxa->user_name;
        out.password.reset(safe_strdup(passwd));
        break;
    case KX_MODE_PASSWD_FILE: {
        out.dn = kxa->user_name;
        int err = 0;
        out.password.reset(read_passwd_file(KX_ADMIN_PW, &err));
        if (!out.password) {
            dprintf("open_connection(): Could not read KX password file (%s)\n", KX_ADMIN_PW);
            return err;
        }
        break;
    }
    case KX_MODE_BIND_DN:
        out.dn = binddn;
        out.password.reset(safe_strdup(passwd));
        break;
    }
    return KXE_SUCCESS;
}

// Connects the record to its server, secured by the TLS keys of its
// configuration file, with LDAPv3 and the rebind procedure for referrals.
int connect_record(KXAdminStruct *kxa, const char *dn)
{
    dlprintf("d", "connecting to ldap://%s:%d as |%s|\n", kxa->server_name, kxa->server_port,
             p(dn));
    kx::TlsSettings tls = kx::tls_settings_of(kxa);
    kx::Tls mode = kx::tls_mode(tls.tls.empty() ? nullptr : tls.tls.c_str());
    kx::Endpoint endpoint{kxa->server_name, kxa->server_port, mode, tls.cacert,
                          kx::setting(DSldaptimeout)};
    std::string reason;
    int connect_rc = LDAP_SUCCESS;
    kxa->ld = kx::open_ldap(endpoint, reason, connect_rc);
    if (!kxa->ld) {
        if (mode == kx::Tls::StartTls && connect_rc != LDAP_SERVER_DOWN)
            reason = "StartTLS: " + reason;
        dprintf("open_connection(): Could not connect to LDAP server (%s) - %s\n",
                endpoint.uri().c_str(), reason.c_str());
        return KXE_INTERNAL;
    }
    int version = LDAP_VERSION3;
    if (ldap_set_option(kxa->ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS) {
        dprintf("open_connection(): ");
        dprintf("Could not establish ldapv3 session with server.\n");
        return KXE_INTERNAL;
    }
    // Referred connections of a TLS session start TLS before anything
    // crosses them.
    static const bool kTlsReferrals = true;
    if (ldap_set_rebind_proc(kxa->ld, kx::rebind_with_admin_credentials,
                             mode == kx::Tls::None
                                 ? nullptr
                                 : const_cast<bool *>(&kTlsReferrals)) != LDAP_OPT_SUCCESS) {
        dprintf("open_connection(): ");
        dprintf("Could not install the rebind callback function.\n");
        return KXE_INTERNAL;
    }
    return KXE_SUCCESS;
}

int bind_with(LDAP *ld, const Credentials &c)
{
    char *password = c.password.get();
    berval cred{password ? std::strlen(password) : 0, password};
    int rc = ldap_sasl_bind_s(ld, c.dn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
        dprintf("open_connection(): Could not bind to LDAP server - %s\n", ldap_err2string(rc));
        return rc == LDAP_INVALID_CREDENTIALS ? KXE_AUTHFAIL : KXE_INTERNAL;
    }
    return KXE_SUCCESS;
}

// Both status databases, read-only for an anonymous session.
int open_status_databases(KXAdminStruct *kxa)
{
    kxa->dstat_db = open_desktop_dbm(kxa->dstatus_fname, kxa->mode);
    if (!kxa->dstat_db) {
        dprintf("open_connection(): Could not open dstatus DB at (%s)\n", kxa->dstatus_fname);
        return KXE_INTERNAL;
    }
    kxa->ustat_db = open_user_dbm(kxa->ustatus_fname, kxa->mode);
    if (!kxa->ustat_db) {
        dprintf("open_connection(): Could not open ustatus DB at (%s)\n", kxa->ustatus_fname);
        return KXE_INTERNAL;
    }
    return KXE_SUCCESS;
}

}  // namespace

int kx_dserr2kxerr(int ldap_result)
{
    switch (ldap_result) {
    case LDAP_SUCCESS:
        return KXE_SUCCESS;
    case LDAP_INSUFFICIENT_ACCESS:
        return KXE_NOPERM;
    case LDAP_ALREADY_EXISTS:
        return KXE_EXISTS;
    default:
        return KXE_INTERNAL;
    }
}

int _kx_get_authinfo(char **dn, char **passwd)
{
    if (!dn || !passwd)
        return KXE_INVAL;
    *dn = nullptr;
    *passwd = nullptr;
    KXAdminStruct *kxa = allocate_kxa();
    int ret = read_config_file(kxa, KX_ADMIN_CONF);
    if (ret != KXE_SUCCESS) {
        free_kxa(kxa);
        return ret;
    }
    *dn = safe_strdup(kxa->user_name);
    free_kxa(kxa);
    if (!*dn)
        return KXE_NOMEM;
    int err = 0;
    *passwd = read_passwd_file(KX_ADMIN_PW, &err);
    if (!*passwd) {
        std::free(*dn);
        *dn = nullptr;
        return KXE_NOMEM;
    }
    return KXE_SUCCESS;
}

int kx_ldap_rebind_callback(LDAP *, char **dnp, char **passwdp, int *authmethodp, int freeit,
                            void *)
{
    if (!freeit) {
        if (_kx_get_authinfo(dnp, passwdp) != KXE_SUCCESS)
            return LDAP_OTHER;
        *authmethodp = LDAP_AUTH_SIMPLE;
        return LDAP_SUCCESS;
    }
    if (*passwdp) {
        std::free(*passwdp);
        *passwdp = nullptr;
    } else {
        dprintf("%s: %s; warning, *passwdp is already NULL.\n", "kx_ldap_rebind_callback",
                "LDAP phase error");
    }
    if (*dnp) {
        std::free(*dnp);
        *dnp = nullptr;
    } else {
        dprintf("%s: %s; warning, *dnp is already NULL.\n", "kx_ldap_rebind_callback",
                "LDAP phase error");
    }
    return LDAP_SUCCESS;
}

KXAdmin _kx_dsConnect(int mode, char *binddn, char *passwd, char *config_file, char *server,
                      int *error)
{
    int dummy;
    if (!error)
        error = &dummy;
    *error = 0;
    if (mode < KX_MODE_ANONYMOUS || mode > KX_MODE_BIND_DN) {
        *error = KXE_INVAL;
        return nullptr;
    }
    Session kxa(allocate_kxa());
    kxa->mode = mode;
    Credentials credentials;
    int ret = load_configuration(kxa.get(), config_file ? config_file : KX_ADMIN_CONF, server);
    if (ret == KXE_SUCCESS)
        ret = credentials_of(kxa.get(), binddn, passwd, credentials);
    if (ret == KXE_SUCCESS)
        ret = connect_record(kxa.get(), credentials.dn);
    if (ret == KXE_SUCCESS)
        ret = bind_with(kxa->ld, credentials);
    if (ret == KXE_SUCCESS)
        ret = open_status_databases(kxa.get());
    *error = ret;
    return ret == KXE_SUCCESS ? kxa.release() : nullptr;
}

KXAdmin open_connection(int mode, char *binddn, char *passwd, char *config_file, int *error)
{
    int err = 0;
    KXAdmin kxa = _kx_dsConnect(mode, binddn, passwd, config_file, nullptr, &err);
    if (error)
        *error = kxa ? 0 : KXE_INTERNAL;
    return kxa;
}

int close_connection(KXAdmin kxa)
{
    if (!kxa)
        return 0;
    if (kxa->dstat_db)
        close_desktop_dbm(kxa->dstat_db);
    if (kxa->ustat_db)
        close_user_dbm(kxa->ustat_db);
    if (kxa->ld)
        ldap_unbind_ext_s(kxa->ld, nullptr, nullptr);
    free_kxa(kxa);
    return 0;
}

int check_primary(void)
{
    if (kx_isDSprimary())
        return KXE_SUCCESS;
    char *host = nullptr;
    int port = -1;
    int ret = kx_getDSprimary(&host, &port);
    if (ret != KXE_SUCCESS) {
        dprintf("check_primary(): unable to retrieve LDAP primary server info - %s",
                kx_err2str(ret));
        return ret;
    }
    ret = kx_pingDShost(host, port, kx::setting(DStimeout));
    if (ret != KXE_SUCCESS)
        dprintf("check_primary(): failed to contact LDAP primary server - %s", kx_err2str(ret));
    std::free(host);
    return ret;
}
