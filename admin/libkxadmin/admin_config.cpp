// The administration configuration and password files: the session record,
// the one table of the configuration file's keys, the reader that fills a
// record from the file, and the lookups of single settings.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

#include <sys/stat.h>
#include <unistd.h>

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

// A record that allocate_kxa makes is the first member of a block that
// also holds what the record's layout has no room for; the block goes with
// the record in free_kxa.  Records made otherwise have no such part, so the
// blocks alive are known by their addresses.
struct Block {
    KXAdminStruct record;
    kx::TlsSettings tls;
};
std::mutex blocks_lock;
std::unordered_set<const KXAdminStruct *> blocks;

// The block of a record that allocate_kxa made, else nullptr; with
// blocks_lock held.
Block *block_of(const KXAdminStruct *kxa)
{
    if (!blocks.count(kxa))
        return nullptr;
    return reinterpret_cast<Block *>(const_cast<KXAdminStruct *>(kxa));
}

void keep_tls_value(const KXAdminStruct *kxa, std::string kx::TlsSettings::*member,
                    const char *value)
{
    std::lock_guard<std::mutex> hold(blocks_lock);
    if (Block *block = block_of(kxa))
        block->tls.*member = value;
}

// ---- the keys of the configuration file --------------------------------------

// How a key's value is checked and kept.
enum class Kind {
    Text,     // a string field of the record
    Port,     // the record's server_port: digits (kxadmin check: from 1 to 65535)
    Seconds,  // a process-wide time limit: digits
    Debug,    // the debug selector of the process (set_gdebug)
    Tls,      // none, starttls or ldaps, kept in the record's private part
    CaCert,   // a readable file, kept in the record's private part
};

// Which sessions cannot do without a key (check_kxa).
enum class Need {
    Always,
    Bind,  // every session that binds with a name: all but anonymous ones
    No,
};

struct Key {
    const char *name;
    Need need = Need::No;
    Kind kind = Kind::Text;
    char *KXAdminStruct::*text = nullptr;         // Text: the field
    int *seconds = nullptr;                       // Seconds: the setting
    std::string kx::TlsSettings::*tls = nullptr;  // Tls, CaCert: the value
};

// Every key that the library reads, compared exactly; kxadmin check knows
// them, and what it says of their values, from here too.  A new key is a
// new row (and a line in the example file and the manual page).
const Key kKeys[] = {
    {.name = "admin.server.name", .need = Need::Always, .text = &KXAdminStruct::server_name},
    {.name = "admin.server.port", .need = Need::Always, .kind = Kind::Port},
    {.name = "admin.user.name", .need = Need::Bind, .text = &KXAdminStruct::user_name},
    {.name = "admin.subtree", .need = Need::Always, .text = &KXAdminStruct::subtree},
    {.name = "admin.dstatus.dbfile", .need = Need::Always, .text = &KXAdminStruct::dstatus_fname},
    {.name = "admin.ustatus.dbfile", .need = Need::Always, .text = &KXAdminStruct::ustatus_fname},
    {.name = "admin.defaultlocale", .text = &KXAdminStruct::defaultlocale},
    {.name = "admin.debug", .kind = Kind::Debug},
    {.name = "admin.server.timeout", .kind = Kind::Seconds, .seconds = &DStimeout},
    {.name = "admin.ldap.timeout", .kind = Kind::Seconds, .seconds = &DSldaptimeout},
    {.name = "admin.server.tls", .kind = Kind::Tls, .tls = &kx::TlsSettings::tls},
    {.name = "admin.server.cacert", .kind = Kind::CaCert, .tls = &kx::TlsSettings::cacert},
};

const Key *find_key(const char *name)
{
    for (const Key &key : kKeys)
        if (std::strcmp(key.name, name) == 0)
            return &key;
    return nullptr;
}

// Applies one value; a number that is not all digits, or too big, is
// ignored.
void store(KXAdminStruct *kxa, const Key &key, const char *value)
{
    int number;
    switch (key.kind) {
    case Kind::Text:
        replace_string(kxa->*key.text, value);
        break;
    case Kind::Port:
        if (parse_count(value, number))
            kxa->server_port = number;
        break;
    case Kind::Seconds:
        if (parse_count(value, number))
            kx::set_setting(*key.seconds, number);
        break;
    case Kind::Debug:
        set_gdebug(value);
        break;
    case Kind::Tls:
    case Kind::CaCert:
        keep_tls_value(kxa, key.tls, value);
        break;
    }
}

// Whether the record has a value of the key (0 is no port); keys that are
// not kept in the record count as there.
bool holds(const KXAdminStruct *kxa, const Key &key)
{
    switch (key.kind) {
    case Kind::Text:
        return kxa->*key.text != nullptr;
    case Kind::Port:
        return kxa->server_port != 0;
    default:
        return true;
    }
}

bool holds_every(const KXAdminStruct *kxa, Need need)
{
    return std::all_of(std::begin(kKeys), std::end(kKeys),
                       [&](const Key &key) { return key.need != need || holds(kxa, key); });
}

// What is wrong with a value that the library would ignore or that cannot
// work, in kxadmin check's words.
std::optional<std::string> problem(const Key &key, const char *value)
{
    std::string name = key.name;
    int number = 0;
    switch (key.kind) {
    case Kind::Port:
        if (!parse_count(value, number) || number < 1 || number > 65535)
            return name + " must be a number from 1 to 65535";
        break;
    case Kind::Seconds:
        if (!parse_count(value, number))
            return name + " must be a number";
        break;
    case Kind::Tls:
        if (kx::tls_mode(value) == kx::Tls::Invalid)
            return name + " must be none, starttls or ldaps";
        break;
    case Kind::CaCert:
        if (access(value, R_OK) != 0)
            return name + ": " + value + ": " + std::strerror(errno);
        break;
    default:
        break;
    }
    return std::nullopt;
}

// The value of a key that the record keeps, as text; nullptr without one.
char *value_of(const KXAdminStruct *kxa, const Key &key)
{
    switch (key.kind) {
    case Kind::Text:
        return safe_strdup(kxa->*key.text);
    case Kind::Port:
        return kxa->server_port ? safe_strdup(std::to_string(kxa->server_port).c_str()) : nullptr;
    case Kind::Tls:
    case Kind::CaCert: {
        std::string value = kx::tls_settings_of(kxa).*key.tls;
        return value.empty() ? nullptr : safe_strdup(value.c_str());
    }
    default:
        return nullptr;
    }
}

}  // namespace

kx::TlsSettings kx::tls_settings_of(const KXAdminStruct *kxa)
{
    std::lock_guard<std::mutex> hold(blocks_lock);
    Block *block = block_of(kxa);
    return block ? block->tls : TlsSettings{};
}

KXAdminStruct *allocate_kxa(void)
{
    // Zeroed memory, as safe_malloc gives, then the private part built in it.
    void *memory = safe_malloc(static_cast<int>(sizeof(Block)));
    Block *block;
    try {
        block = new (memory) Block{};
        std::lock_guard<std::mutex> hold(blocks_lock);
        blocks.insert(&block->record);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "Could not malloc %d bytes\n", static_cast<int>(sizeof(Block)));
        std::exit(1);
    }
    return &block->record;
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
    Block *block;
    {
        std::lock_guard<std::mutex> hold(blocks_lock);
        block = block_of(kxa);
        blocks.erase(kxa);
    }
    if (block)
        block->~Block();
    std::free(kxa);
}

void set_kxa_val(KXAdminStruct *kxa, const char *key, const char *value)
{
    if (!kxa || !key || !value)
        return;
    if (const Key *known = find_key(key))
        store(kxa, *known, value);
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
    if (!kxa || !holds_every(kxa, Need::Always)) {
        dprintf("check_kxa(): kxa - important fields are not filled.\n");
        return KXE_INTERNAL;
    }
    if (kxa->mode == KX_MODE_ANONYMOUS)
        return KXE_SUCCESS;
    if (!holds_every(kxa, Need::Bind)) {
        dprintf("check_kxa(): kxa - user fields are not filled.\n");
        return KXE_INTERNAL;
    }
    return KXE_SUCCESS;
}

const char *_kx_configKey(int index, int *required)
{
    if (index < 0 || static_cast<size_t>(index) >= std::size(kKeys))
        return nullptr;
    if (required)
        *required = kKeys[index].need != Need::No;
    return kKeys[index].name;
}

char *_kx_configProblem(const char *key, const char *value)
{
    const Key *known = key && value ? find_key(key) : nullptr;
    std::optional<std::string> text = known ? problem(*known, value) : std::nullopt;
    return text ? safe_strdup(text->c_str()) : nullptr;
}

char *_kx_configValue(const KXAdminStruct *kxa, const char *key)
{
    const Key *known = kxa && key ? find_key(key) : nullptr;
    return known ? value_of(kxa, *known) : nullptr;
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
