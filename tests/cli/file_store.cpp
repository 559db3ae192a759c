// A session and configuration store for exercising kxcrypto's command line
// without a directory server.  The default token's crypto string is kept in
// the file named by KXCRYPTO_STORE (no file: no configuration); every call
// is appended to "<store>.calls" so that tests can see what was asked.
//
//   KXCRYPTO_STORE_DOWN=1          open_connection fails
//   KXCRYPTO_STORE_FAIL=get|add|del that call fails with KXE_INTERNAL
//   KXCRYPTO_STORE_GET_CODE=n      lookups fail with code n

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "admin.h"
#include "admin_crypto.h"
#include "utils.h"

namespace {

struct KXAdminFake {
    int mode;
};

std::string store_path()
{
    const char *p = std::getenv("KXCRYPTO_STORE");
    return p ? p : "";
}

void note(const std::string &line)
{
    if (store_path().empty())
        return;
    std::ofstream f(store_path() + ".calls", std::ios::app);
    f << line << "\n";
}

bool fails(const char *op)
{
    const char *f = std::getenv("KXCRYPTO_STORE_FAIL");
    return f && std::strcmp(f, op) == 0;
}

bool load(std::string &crypto)
{
    std::ifstream f(store_path(), std::ios::binary);
    if (!f)
        return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    crypto = ss.str();
    return true;
}

char **split(const std::string &crypto)
{
    char **pairs = parse_args(crypto.c_str(), ',');
    int n = count_args(pairs);
    if (n > 0 && pairs[n - 1][0] == '\0') {
        std::free(pairs[n - 1]);
        pairs[n - 1] = nullptr;
    }
    return pairs;
}

} // namespace

extern "C" {

KXAdmin open_connection(int mode, char *, char *, char *, int *error)
{
    note("open_connection mode=" + std::to_string(mode));
    if (std::getenv("KXCRYPTO_STORE_DOWN")) {
        *error = KXE_INTERNAL;
        return nullptr;
    }
    *error = 0;
    auto *s = static_cast<KXAdminFake *>(std::calloc(1, sizeof(KXAdminFake)));
    s->mode = mode;
    return reinterpret_cast<KXAdmin>(s);
}

int close_connection(KXAdmin kxa)
{
    note("close_connection");
    std::free(kxa);
    return 0;
}

int kx_getCryptoEntByTokenID(KXAdmin, char *tokenID, kx_CryptoEnt_t **result, int mergeMode)
{
    note(std::string("get ") + tokenID + " merge=" + std::to_string(mergeMode));
    *result = nullptr;
    if (const char *code = std::getenv("KXCRYPTO_STORE_GET_CODE"))
        return std::atoi(code);
    if (fails("get"))
        return KXE_INTERNAL;
    std::string crypto;
    bool stored = load(crypto);
    if (!stored && mergeMode == 0)
        return KXE_NOTFOUND;

    auto *ent = static_cast<kx_CryptoEnt_t *>(std::calloc(1, sizeof(kx_CryptoEnt_t)));
    ent->tokenID = strdup(tokenID);
    ent->keyValue = stored ? split(crypto) : static_cast<char **>(std::calloc(1, sizeof(char *)));
    std::string origin(static_cast<size_t>(count_args(ent->keyValue)), ' ');
    if (mergeMode == 1) {
        static const char *defaults[] = {"enc_up_type=none", "enc_down_type=none",
                                         "auth_up_type=none", "auth_down_type=none",
                                         "mode=soft"};
        for (const char *d : defaults) {
            std::string key(d, std::strchr(d, '=') - d);
            char *v = get_value(ent->keyValue, count_args(ent->keyValue), key.c_str());
            if (!v) {
                kx_add_array(&ent->keyValue, strdup(d));
                origin += '*';
            }
            std::free(v);
        }
    }
    ent->origin = strdup(origin.c_str());
    ent->numEntries = count_args(ent->keyValue);
    *result = ent;
    return 0;
}

int kx_addCryptoEnt(KXAdmin, kx_CryptoEnt_t *ent, int replace)
{
    note("add " + std::string(ent->tokenID) + " replace=" + std::to_string(replace));
    if (fails("add"))
        return KXE_INTERNAL;
    std::string crypto;
    if (replace == 0 && load(crypto))
        return KXE_EXISTS;
    std::string joined;
    for (int i = 0; ent->keyValue && ent->keyValue[i]; ++i)
        joined += (i ? "," : "") + std::string(ent->keyValue[i]);
    std::ofstream(store_path(), std::ios::binary | std::ios::trunc) << joined;
    return 0;
}

int kx_delCryptoEnt(KXAdmin, char *tokenID)
{
    note(std::string("del ") + tokenID);
    if (fails("del"))
        return KXE_INTERNAL;
    std::string crypto;
    if (!load(crypto))
        return KXE_NOTFOUND;
    std::remove(store_path().c_str());
    return 0;
}

} // extern "C"
