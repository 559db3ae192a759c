// The administration configuration and password files: the session record,
// the reader that fills it from the configuration file, and the lookups of
// single settings.

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <sys/stat.h>

#include "admin_private.h"
#include "kx_connect.hpp"
#include "kx_paths.h"
#include "kx_raii.hpp"
#include "kx_session.hpp"
#include "utils.h"

int DStimeout = 10;
int DSldaptimeout = 60;

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

std::mutex tls_table_lock;
std::map<const KXAdminStruct *, kx::TlsSettings> tls_table;

void set_tls_setting(const KXAdminStruct *kxa, const char *key, const char *value)
{
    std::lock_guard<std::mutex> hold(tls_table_lock);
    kx::TlsSettings &tls = tls_table[kxa];
    if (std::strcmp(key, "admin.server.cacert") == 0)
        tls.cacert = value;
    else
        tls.mode = kx::tls_mode(value);
}

}  // namespace

kx::TlsSettings kx::tls_settings_of(const KXAdminStruct *kxa)
{
    std::lock_guard<std::mutex> hold(tls_table_lock);
    auto found = tls_table.find(kxa);
    return found == tls_table.end() ? TlsSettings{} : found->second;
}

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
            kx::set_setting(DStimeout, number);
    } else if (std::strcmp(key, "admin.ldap.timeout") == 0) {
        if (parse_count(value, number))
            kx::set_setting(DSldaptimeout, number);
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
