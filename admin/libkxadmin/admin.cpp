// Administration sessions on the directory server: the configuration and
// password files, connecting and binding, the guarded directory writes, the
// generic entry operations and the generation counters.

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openldap.h>

#include "admin_private.h"
#include "kx_connect.hpp"
#include "kx_ldap.hpp"
#include "kx_paths.h"
#include "kx_raii.hpp"
#include "kx_swap.hpp"
#include "utils.h"

namespace {

constexpr size_t kConfigLine = 512;

// Splits one line of the configuration file into stripped key and value.
// False for comments, short lines, lines without "=" and empty parts.
bool split_config_line(const char *line, kx::CString &key, kx::CString &value)
{
    if (line[0] == '#' || std::strlen(line) <= 1)
        return false;
    const char *eq = std::strchr(line, '=');
    if (!eq)
        return false;
    std::string k(line, static_cast<size_t>(eq - line));
    key.reset(strip_leading_and_trailing_whitespace(k.c_str()));
    value.reset(strip_leading_and_trailing_whitespace(eq + 1));
    return key && value;
}

// Decimal value of a text made of digits only; false when it is not, or
// when it does not fit an int.
bool parse_count(const char *text, int &out)
{
    if (!is_numeric(text) || !*text)
        return false;
    errno = 0;
    long long v = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE || v > INT_MAX)
        return false;
    out = static_cast<int>(v);
    return true;
}

void replace_string(char *&field, const char *value)
{
    char *copy = safe_strdup(value);
    if (!copy)
        return;
    std::free(field);
    field = copy;
}

// The process-wide settings that every read of a configuration file
// writes, read and written atomically: sessions may be opened on several
// threads at once.
int setting(int &value) { return std::atomic_ref<int>(value).load(std::memory_order_relaxed); }

void set_setting(int &value, int number)
{
    std::atomic_ref<int>(value).store(number, std::memory_order_relaxed);
}

// Transport security of a session's connections, from the keys
// admin.server.tls and admin.server.cacert of the configuration file that
// filled its record.  Kept beside the records, whose layout is fixed.
struct TlsSettings {
    kx::Tls mode = kx::Tls::None;
    std::string cacert;
};
std::mutex tls_table_lock;
std::map<const KXAdminStruct *, TlsSettings> tls_table;

TlsSettings tls_settings_of(const KXAdminStruct *kxa)
{
    std::lock_guard<std::mutex> hold(tls_table_lock);
    auto found = tls_table.find(kxa);
    return found == tls_table.end() ? TlsSettings{} : found->second;
}

void set_tls_setting(const KXAdminStruct *kxa, const char *key, const char *value)
{
    std::lock_guard<std::mutex> hold(tls_table_lock);
    TlsSettings &tls = tls_table[kxa];
    if (std::strcmp(key, "admin.server.cacert") == 0)
        tls.cacert = value;
    else
        tls.mode = kx::tls_mode(value);
}

}  // namespace

int DStimeout = 10;
int DSldaptimeout = 60;

// ===== configuration and password files ===================================

KXAdminStruct *allocate_kxa(void)
{
    return static_cast<KXAdminStruct *>(safe_malloc(sizeof(KXAdminStruct)));
}

void free_kxa(KXAdminStruct *kxa)
{
    if (!kxa)
        return;
    std::free(kxa->server_name);
    std::free(kxa->user_name);
    std::free(kxa->subtree);
    std::free(kxa->defaultlocale);
    std::free(kxa->dstatus_fname);
    std::free(kxa->ustatus_fname);
    {
        std::lock_guard<std::mutex> hold(tls_table_lock);
        tls_table.erase(kxa);
    }
    std::free(kxa);
}

void set_kxa_val(KXAdminStruct *kxa, const char *key, const char *value)
{
    if (!kxa || !key || !value)
        return;
    int number;
    if (std::strcmp(key, "admin.server.name") == 0)
        replace_string(kxa->server_name, value);
    else if (std::strcmp(key, "admin.server.port") == 0) {
        if (parse_count(value, number))
            kxa->server_port = number;
    } else if (std::strcmp(key, "admin.user.name") == 0)
        replace_string(kxa->user_name, value);
    else if (std::strcmp(key, "admin.subtree") == 0)
        replace_string(kxa->subtree, value);
    else if (std::strcmp(key, "admin.dstatus.dbfile") == 0)
        replace_string(kxa->dstatus_fname, value);
    else if (std::strcmp(key, "admin.ustatus.dbfile") == 0)
        replace_string(kxa->ustatus_fname, value);
    else if (std::strcmp(key, "admin.defaultlocale") == 0)
        replace_string(kxa->defaultlocale, value);
    else if (std::strcmp(key, "admin.debug") == 0)
        set_gdebug(value);
    else if (std::strcmp(key, "admin.server.timeout") == 0) {
        if (parse_count(value, number))
            set_setting(DStimeout, number);
    } else if (std::strcmp(key, "admin.ldap.timeout") == 0) {
        if (parse_count(value, number))
            set_setting(DSldaptimeout, number);
    } else if (std::strcmp(key, "admin.server.tls") == 0 ||
               std::strcmp(key, "admin.server.cacert") == 0) {
        set_tls_setting(kxa, key, value);
    }
}

int read_config_file(KXAdminStruct *kxa, const char *path)
{
    kx::File fp(path ? std::fopen(path, "r") : nullptr);
    if (!fp) {
        int err = path ? errno : ENOENT;
        dprintf("read_config_file(): Could not open config file (%s), error %d\n", p(path), err);
        return kx_errno2kxerr(err, KXE_FILEACCESS);
    }
    char line[kConfigLine];
    while (std::fgets(line, sizeof line, fp.get())) {
        kx::CString key, value;
        if (split_config_line(line, key, value))
            set_kxa_val(kxa, key.get(), value.get());
    }
    return KXE_SUCCESS;
}

int check_kxa(KXAdminStruct *kxa)
{
    if (!kxa || !kxa->server_name || kxa->server_port == 0 || !kxa->subtree ||
        !kxa->dstatus_fname || !kxa->ustatus_fname) {
        dprintf("check_kxa(): kxa - important fields are not filled.\n");
        return KXE_INTERNAL;
    }
    if (kxa->mode == KX_MODE_ANONYMOUS)
        return KXE_SUCCESS;
    if (!kxa->user_name) {
        dprintf("check_kxa(): kxa - user fields are not filled.\n");
        return KXE_INTERNAL;
    }
    return KXE_SUCCESS;
}

char *read_passwd_file(const char *path, int *error)
{
    int dummy;
    if (!error)
        error = &dummy;
    *error = KXE_INTERNAL;
    kx::File fp(path ? std::fopen(path, "r") : nullptr);
    if (!fp) {
        *error = kx_errno2kxerr(path ? errno : ENOENT, KXE_FILEACCESS);
        return nullptr;
    }
    char line[kConfigLine];
    if (!std::fgets(line, sizeof line, fp.get()))
        return nullptr;
    kx::CString stripped(strip_leading_and_trailing_whitespace(line));
    if (!stripped)
        return nullptr;
    char *clear = scramble_text(stripped.get());
    if (clear)
        *error = KXE_SUCCESS;
    return clear;
}

char *get_defaultlocale(void)
{
    KXAdminStruct *kxa = allocate_kxa();
    if (read_config_file(kxa, KX_ADMIN_CONF) != KXE_SUCCESS) {
        dprintf("get_defaultlocale(): Could not read config file (%s)\n", KX_ADMIN_CONF);
        free_kxa(kxa);
        return nullptr;
    }
    char *locale = safe_strdup(kxa->defaultlocale);
    free_kxa(kxa);
    return locale;
}

char *get_kxadmin_info(const char *key)
{
    if (!key)
        return nullptr;
    kx::File fp(std::fopen(KX_ADMIN_CONF, "r"));
    if (!fp) {
        dprintf("get_kxadmin_info(): Could not open config file (%s)\n", KX_ADMIN_CONF);
        return nullptr;
    }
    char line[kConfigLine];
    while (std::fgets(line, sizeof line, fp.get())) {
        kx::CString k, v;
        if (split_config_line(line, k, v) && std::strcmp(k.get(), key) == 0)
            return v.release();
    }
    return nullptr;
}

char *get_server_name(KXAdmin kxa) { return kxa ? kxa->server_name : nullptr; }

// ===== connection ========================================================

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
    KXAdminStruct *kxa = allocate_kxa();
    kxa->mode = mode;
    const char *path = config_file ? config_file : KX_ADMIN_CONF;
    char *password = nullptr;

    auto fail = [&](int code) -> KXAdmin {
        std::free(password);
        if (kxa->dstat_db)
            close_desktop_dbm(kxa->dstat_db);
        if (kxa->ustat_db)
            close_user_dbm(kxa->ustat_db);
        if (kxa->ld)
            ldap_unbind_ext_s(kxa->ld, nullptr, nullptr);
        free_kxa(kxa);
        *error = code;
        return nullptr;
    };

    if (access(path, F_OK) != 0) {
        int err = errno;
        dprintf("open_connection(): Could not find config file (%s) - %s\n", path,
                std::strerror(err));
        return fail(kx_errno2kxerr(err, KXE_FILEACCESS));
    }
    int ret = read_config_file(kxa, path);
    if (ret != KXE_SUCCESS) {
        dprintf("open_connection(): Could not read config file (%s)\n", path);
        return fail(ret);
    }
    if (check_kxa(kxa) != KXE_SUCCESS) {
        dprintf("open_connection(): Config file (%s) contents are incomplete\n", path);
        return fail(KXE_INTERNAL);
    }
    if (server) {
        char *copy = safe_strdup(server);
        if (!copy) {
            dprintf("open_connection(): strdup server specified failed");
            return fail(KXE_INTERNAL);
        }
        std::free(kxa->server_name);
        kxa->server_name = copy;
    }

    const char *dn = nullptr;
    switch (mode) {
    case KX_MODE_ANONYMOUS:
        dn = "cn=anonymous";
        break;
    case KX_MODE_PASSWORD:
        dn = kxa->user_name;
        password = safe_strdup(passwd);
        break;
    case KX_MODE_PASSWD_FILE: {
        dn = kxa->user_name;
        int err = 0;
        password = read_passwd_file(KX_ADMIN_PW, &err);
        if (!password) {
            dprintf("open_connection(): Could not read KX password file (%s)\n", KX_ADMIN_PW);
            return fail(err);
        }
        break;
    }
    case KX_MODE_BIND_DN:
        dn = binddn;
        password = safe_strdup(passwd);
        break;
    }

    dlprintf("d", "connecting to ldap://%s:%d as |%s|\n", kxa->server_name, kxa->server_port,
             p(dn));

    TlsSettings tls = tls_settings_of(kxa);
    kx::Endpoint endpoint{kxa->server_name, kxa->server_port, tls.mode, tls.cacert,
                          setting(DSldaptimeout)};
    std::string reason;
    int connect_rc = LDAP_SUCCESS;
    kxa->ld = kx::open_ldap(endpoint, reason, connect_rc);
    if (!kxa->ld) {
        if (tls.mode == kx::Tls::StartTls && connect_rc != LDAP_SERVER_DOWN)
            reason = "StartTLS: " + reason;
        dprintf("open_connection(): Could not connect to LDAP server (%s) - %s\n",
                endpoint.uri().c_str(), reason.c_str());
        return fail(KXE_INTERNAL);
    }
    int version = LDAP_VERSION3;
    if (ldap_set_option(kxa->ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS) {
        dprintf("open_connection(): ");
        dprintf("Could not establish ldapv3 session with server.\n");
        return fail(KXE_INTERNAL);
    }
    // Referred connections of a TLS session start TLS before anything
    // crosses them.
    static const bool kTlsReferrals = true;
    if (ldap_set_rebind_proc(kxa->ld, kx::rebind_with_admin_credentials,
                             tls.mode == kx::Tls::None
                                 ? nullptr
                                 : const_cast<bool *>(&kTlsReferrals)) != LDAP_OPT_SUCCESS) {
        dprintf("open_connection(): ");
        dprintf("Could not install the rebind callback function.\n");
        return fail(KXE_INTERNAL);
    }

    berval cred{password ? std::strlen(password) : 0, password};
    int rc = ldap_sasl_bind_s(kxa->ld, dn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
        dprintf("open_connection(): Could not bind to LDAP server - %s\n", ldap_err2string(rc));
        return fail(rc == LDAP_INVALID_CREDENTIALS ? KXE_AUTHFAIL : KXE_INTERNAL);
    }

    kxa->dstat_db = open_desktop_dbm(kxa->dstatus_fname, mode);
    if (!kxa->dstat_db) {
        dprintf("open_connection(): Could not open dstatus DB at (%s)\n", kxa->dstatus_fname);
        return fail(KXE_INTERNAL);
    }
    kxa->ustat_db = open_user_dbm(kxa->ustatus_fname, mode);
    if (!kxa->ustat_db) {
        dprintf("open_connection(): Could not open ustatus DB at (%s)\n", kxa->ustatus_fname);
        return fail(KXE_INTERNAL);
    }
    std::free(password);
    return kxa;
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
    ret = kx_pingDShost(host, port, setting(DStimeout));
    if (ret != KXE_SUCCESS)
        dprintf("check_primary(): failed to contact LDAP primary server - %s", kx_err2str(ret));
    std::free(host);
    return ret;
}

// ===== entry operations ====================================================

namespace kx {

int modify_entry_quietly(LDAP *ld, char *dn, LDAPMod **mods, int &ldap_rc)
{
    ldap_rc = LDAP_OTHER;
    int ret = check_primary();
    if (ret != KXE_SUCCESS)
        return ret;
    ldap_rc = ldap_modify_ext_s(ld, dn, mods, nullptr, nullptr);
    if (write_outcome(ldap_rc) == Write::Failed)
        log_modify_failure(ldap_rc);
    return kx_dserr2kxerr(ldap_rc);
}

void log_modify_failure(int ldap_rc)
{
    dprintf("modify_entry(): LDAP modify failed - %s\n", ldap_err2string(ldap_rc));
}

std::optional<int> swap_entry(LDAP *ld, char *dn, Mods &conditional,
                              const std::function<Mods()> &unconditional)
{
    int ldap_rc = LDAP_SUCCESS;
    int rc = modify_entry_quietly(ld, dn, conditional.get(), ldap_rc);
    switch (write_outcome(ldap_rc)) {
    case Write::Done:
        return KXE_SUCCESS;
    case Write::Conflict:
        return std::nullopt;
    case Write::NoEquality: {
        Mods mods = unconditional();
        return modify_entry(ld, dn, mods.get());
    }
    case Write::Failed:
        break;
    }
    return rc;
}

void log_gave_up(const char *who)
{
    dprintf("%s(): gave up after %d attempts, the entry kept changing\n", who, kWriteAttempts);
}

void pause_before_attempt(int n)
{
    thread_local std::minstd_rand random(static_cast<unsigned>(std::random_device{}()));
    int ceiling_ms = 1 << std::min(n - 1, 5);
    std::uniform_int_distribution<int> micros(0, ceiling_ms * 1000);
    std::this_thread::sleep_for(std::chrono::microseconds(micros(random)));
}

}  // namespace kx

int global_num_entries = 0;

int add_entry(LDAP *ld, char *dn, LDAPMod **mods)
{
    int ret = check_primary();
    if (ret != KXE_SUCCESS)
        return ret;
    int rc = ldap_add_ext_s(ld, dn, mods, nullptr, nullptr);
    if (rc != LDAP_SUCCESS)
        dprintf("add_entry(): LDAP add failed - %s\n", ldap_err2string(rc));
    return kx_dserr2kxerr(rc);
}

int modify_entry(LDAP *ld, char *dn, LDAPMod **mods)
{
    int rc = LDAP_SUCCESS;
    int ret = kx::modify_entry_quietly(ld, dn, mods, rc);
    if (kx::write_outcome(rc) != kx::Write::Failed && rc != LDAP_SUCCESS)
        kx::log_modify_failure(rc);
    return ret;
}

int delete_entry(LDAP *ld, char *dn)
{
    int ret = check_primary();
    if (ret != KXE_SUCCESS)
        return ret;
    int rc = ldap_delete_ext_s(ld, dn, nullptr, nullptr);
    if (rc != LDAP_SUCCESS)
        dprintf("delete_entry(): LDAP delete failed - %s\n", ldap_err2string(rc));
    return kx_dserr2kxerr(rc);
}

LDAPMessage *search_for_entries(LDAP *ld, char *filter, char *base, char **attrs, int attrsonly,
                                int which)
{
    int scope = which == KX_SEARCH_CHILDREN ? LDAP_SCOPE_ONELEVEL : LDAP_SCOPE_SUBTREE;
    LDAPMessage *raw = nullptr;
    int rc = ldap_search_ext_s(ld, base, scope, filter, attrs, attrsonly, nullptr, nullptr, nullptr,
                               LDAP_NO_LIMIT, &raw);
    kx::LdapMessage result(raw);
    if (rc != LDAP_SUCCESS) {
        dprintf("search_for_entries(): LDAP search failed - %s\n", ldap_err2string(rc));
        return nullptr;
    }
    if (which == KX_SEARCH_ONE) {
        int n = ldap_count_entries(ld, result.get());
        if (n == 0)
            return nullptr;
        if (n > 1) {
            dprintf("%s", kx::kSeveralMatches);
            return nullptr;
        }
    }
    return result.release();
}

int entry_exists(LDAP *ld, char *filter, char *base)
{
    char objectclass[] = "objectclass";
    char *attrs[] = {objectclass, nullptr};
    kx::LdapMessage result(search_for_entries(ld, filter, base, attrs, 1, KX_SEARCH_ALL));
    if (!result)
        return -1;
    return ldap_count_entries(ld, result.get()) > 0 ? 1 : 0;
}

int _kx_dsEntryExists(KXAdmin kxa, char *filter, char *base, int on_primary)
{
    if (!kxa || !filter || !base)
        return KXE_INVAL;
    int found;
    if (!on_primary || kx_isDSprimary()) {
        found = entry_exists(kxa->ld, filter, base);
    } else {
        char *raw_host = nullptr;
        int port = -1;
        int ret = kx_getDSprimary(&raw_host, &port);
        kx::CString host(raw_host);
        if (ret != KXE_SUCCESS) {
            dprintf("kx_EntryExists(): failed to retrieve primary server name");
            return ret == KXE_NOMEM ? KXE_NOMEM : KXE_CONFIG;
        }
        if (kx_pingDShost(host.get(), port, 10) != KXE_SUCCESS) {
            dprintf("kx_EntryExists(): failed to contact primrary server %s", host.get());
            return KXE_UNREACHABLE;
        }
        int err = 0;
        KXAdmin primary = _kx_dsConnect(kxa->mode == KX_MODE_PASSWD_FILE ? KX_MODE_PASSWD_FILE
                                                                         : KX_MODE_ANONYMOUS,
                                        nullptr, nullptr, nullptr, host.get(), &err);
        if (!primary) {
            if (err == KXE_AUTHFAIL) {
                dprintf("kx_EntryExists(): failed to authenticate with %s", host.get());
                return KXE_AUTHFAIL;
            }
            dprintf("kx_EntryExists(): failed to connect to %s - %s", host.get(), kx_err2str(err));
            return KXE_INTERNAL;
        }
        found = entry_exists(primary->ld, filter, base);
        close_connection(primary);
    }
    return found == 1 ? KXE_SUCCESS : found == 0 ? KXE_NOTFOUND : KXE_INTERNAL;
}

namespace {
char kAnyObject[] = "objectclass=*";
char kIdAttr[] = "kxID";
}  // namespace

int count_child_entries(LDAP *ld, char *dn)
{
    char *attrs[] = {kIdAttr, nullptr};
    kx::LdapMessage result(search_for_entries(ld, kAnyObject, dn, attrs, 1, KX_SEARCH_CHILDREN));
    if (!result)
        return -1;
    return ldap_count_entries(ld, result.get());
}

int delete_child_entries(LDAP *ld, char *dn)
{
    char *attrs[] = {kIdAttr, nullptr};
    kx::LdapMessage result(search_for_entries(ld, kAnyObject, dn, attrs, 1, KX_SEARCH_CHILDREN));
    if (!result)
        return -1;
    int count = 0;
    for (LDAPMessage *e = ldap_first_entry(ld, result.get()); e; e = ldap_next_entry(ld, e)) {
        kx::LdapString child(ldap_get_dn(ld, e));
        if (!child)
            return -1;
        ++count;
        int rc = ldap_delete_ext_s(ld, child.get(), nullptr, nullptr);
        if (rc != LDAP_SUCCESS) {
            dprintf("delete_child_entries(): LDAP delete failed - %s\n", ldap_err2string(rc));
            return -1;
        }
    }
    return count;
}

char *normalize_search_filter(const char *filter)
{
    if (!filter)
        return nullptr;
    size_t parens = 0;
    for (const char *c = filter; *c; ++c)
        if (*c == '(')
            ++parens;
    if (parens < 2)
        return safe_strdup(filter);
    std::string wrapped = "(&" + std::string(filter) + ")";
    return safe_strdup(wrapped.c_str());
}

int print_entry_hierarchy(LDAP *ld, char *dn, int level, int show_attributes, int sort)
{
    int scope = LDAP_SCOPE_ONELEVEL;
    if (level == 1) {
        global_num_entries = 0;
        scope = LDAP_SCOPE_BASE;
    }
    LDAPMessage *raw = nullptr;
    int rc = ldap_search_ext_s(ld, dn, scope, kAnyObject, nullptr, 0, nullptr, nullptr, nullptr,
                               LDAP_NO_LIMIT, &raw);
    kx::LdapMessage result(raw);
    if (rc != LDAP_SUCCESS) {
        dprintf("print_entry_hierarchy(): LDAP search failed - %s\n", ldap_err2string(rc));
        return -1;
    }
    // The entries with their DNs, in result order or sorted by DN.
    std::vector<std::pair<kx::LdapString, LDAPMessage *>> entries;
    for (LDAPMessage *e = ldap_first_entry(ld, result.get()); e; e = ldap_next_entry(ld, e)) {
        kx::LdapString entry_dn(ldap_get_dn(ld, e));
        if (!entry_dn) {
            int err = LDAP_OTHER;
            ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &err);
            dprintf("print_entry_hierarchy(): LDAP get_dn failed - %s\n", ldap_err2string(err));
            return -1;
        }
        entries.emplace_back(std::move(entry_dn), e);
    }
    if (sort)
        std::stable_sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) {
            return std::strcmp(a.first.get(), b.first.get()) < 0;
        });

    // indent_spaces hands out one shared buffer: copy it before recursing.
    std::string indent = indent_spaces(level);
    for (auto &[entry_dn, e] : entries) {
        ++global_num_entries;
        std::printf("%s* %s\n", indent.c_str(), entry_dn.get());
        if (show_attributes) {
            BerElement *ber_raw = nullptr;
            for (char *attr = ldap_first_attribute(ld, e, &ber_raw); attr;
                 attr = ldap_next_attribute(ld, e, ber_raw)) {
                kx::LdapString name(attr);
                kx::BerValues values(ldap_get_values_len(ld, e, attr));
                int n = ldap_count_values_len(values.get());
                if (n == 0)
                    std::printf("%s  %-17s = %s\n", indent.c_str(), attr, "(nil)");
                for (int i = 0; i < n; ++i)
                    std::printf("%s  %-17s = %.*s\n", indent.c_str(), attr,
                                static_cast<int>(values.get()[i]->bv_len), values.get()[i]->bv_val);
            }
            kx::BerElementPtr ber(ber_raw);
            std::printf("\n");
        }
        if (int r = print_entry_hierarchy(ld, entry_dn.get(), level + 1, show_attributes, sort))
            return r;
    }
    if (level == 1)
        std::printf("\ntotal entries = %d\n", global_num_entries);
    return 0;
}

void print_hierarchy(KXAdmin kxa, int show_attributes, int sort)
{
    if (!kxa)
        return;
    print_entry_hierarchy(kxa->ld, kxa->subtree, 1, show_attributes, sort);
}

// ===== generation counters =================================================

namespace {

constexpr size_t kGenerationDnLimit = 500;
char kSynchFilter[] = "objectclass=kxSynch";
char kGenerationAttr[] = "kxGenerationNumber";

// The counter at dn as stored: whether a kxSynch entry is there, and its
// first value.
struct Counter {
    bool entry = false;
    std::optional<std::string> value;
    int number() const { return value ? std::atoi(value->c_str()) : -1; }
};

Counter read_counter(KXAdmin kxa, char *dn)
{
    char *attrs[] = {kGenerationAttr, nullptr};
    kx::LdapMessage result(search_for_entries(kxa->ld, kSynchFilter, dn, attrs, 0, KX_SEARCH_ONE));
    LDAPMessage *e = result ? ldap_first_entry(kxa->ld, result.get()) : nullptr;
    if (!e)
        return {};
    return {true, kx::first_value(kxa->ld, e, kGenerationAttr)};
}

bool generation_dn(KXAdmin kxa, const char *name, std::string &dn, const char *who)
{
    dn = "kxname=" + kx::dn_value(name) + "," + p(kxa->subtree);
    if (dn.size() >= kGenerationDnLimit) {
        dprintf("%s: basedn name too long", who);
        return false;
    }
    return true;
}

}  // namespace

int kx_getGeneration(KXAdmin kxa, char *name)
{
    if (!kxa || !name || !*name)
        return -1;
    std::string dn;
    if (!generation_dn(kxa, name, dn, "kx_getGeneration"))
        return -1;
    return read_counter(kxa, dn.data()).number();
}

int kx_incGeneration(KXAdmin kxa, char *name)
{
    if (!kxa || !name || !*name)
        return -1;
    std::string dn;
    if (!generation_dn(kxa, name, dn, "kx_incGeneration"))
        return -1;
    // Compare and swap: the number read is deleted and the next one added in
    // one modification, which fails when another writer has moved the counter
    // in between; then read it again.  A counter that does not exist yet is
    // created by adding the number with the object class, which fails when
    // another writer created it first.
    int next = -1;
    int rc = kx::retry_conflicts(
        "kx_incGeneration",
        [&]() -> std::optional<int> {
            Counter stored = read_counter(kxa, dn.data());
            next =
                stored.value
                    ? static_cast<int>((static_cast<unsigned>(stored.number()) + 1u) & 0x7FFFFFFFu)
                    : 0;
            std::string number = std::to_string(next);
            kx::Mods mods;
            if (stored.value) {
                mods.add(LDAP_MOD_DELETE, kGenerationAttr, {*stored.value});
                mods.add(LDAP_MOD_ADD, kGenerationAttr, {number});
            } else {
                mods.add(LDAP_MOD_ADD, kGenerationAttr, {number});
                mods.add(LDAP_MOD_ADD, "objectclass", {"kxSynch"});
            }
            // A kxSynch entry without a number cannot take the class again:
            // that is no conflict.
            if (stored.entry && !stored.value)
                return modify_entry(kxa->ld, dn.data(), mods.get());
            // Without an equality rule for the number, it is replaced.
            return kx::swap_entry(kxa->ld, dn.data(), mods, [&] {
                kx::Mods replace;
                replace.add(LDAP_MOD_REPLACE, kGenerationAttr, {number});
                return replace;
            });
        },
        KXE_INTERNAL);
    return rc == KXE_SUCCESS ? next : -1;
}

int kx_isGenerationValid(KXAdmin kxa, char *name, int generation)
{
    if (!kxa || !name || !*name || generation < 0)
        return 0;
    int current = kx_getGeneration(kxa, name);
    if (current == -1)
        return 0;
    unsigned diff = static_cast<unsigned>(current) - static_cast<unsigned>(generation);
    return (diff & 0x40000000u) ? 0 : 1;
}

int kx_DSConfigured(char **path)
{
    if (!path)
        return KXE_INVAL;
    *path = nullptr;
    struct stat st;
    if (stat(KX_ADMIN_CONF, &st) != 0) {
        int err = errno;
        int code = kx_errno2kxerr(err, KXE_INTERNAL);
        if (err == EACCES)
            dprintf("kx_DSConfigured(): No permission to access %s\n", KX_ADMIN_CONF);
        else if (err != ENOENT)
            dprintf("kx_DSConfigured(): Failed due to error - %s\n", std::strerror(err));
        return code;
    }
    *path = safe_strdup(KX_ADMIN_CONF);
    if (!*path) {
        dprintf("kx_DSConfigred(): Out of memory\n");
        return KXE_NOMEM;
    }
    return KXE_SUCCESS;
}
