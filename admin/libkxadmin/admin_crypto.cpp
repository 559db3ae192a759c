// Security configurations of tokens: the record and its printing.

#include <cstdlib>
#include <cstring>

#include "admin_crypto.h"
#include "admin_private.h"
#include "utils.h"

extern "C" void kx_freeCryptoEnt(kx_CryptoEnt_t *ent)
{
    if (!ent)
        return;
    std::free(ent->tokenID);
    std::free(ent->origin);
    free_args(ent->keyValue);
    std::free(ent);
}

extern "C" void kx_printCryptoEnt(FILE *fd, const kx_CryptoEnt_t *ent)
{
    if (!fd || !ent)
        return;
    fprintf(fd, "Token ID: %s\n", ent->tokenID ? ent->tokenID : "NULL");
    fprintf(fd, "\t%-15s\t%-15s\t%-15s\n", "Key", "Value", "Inherited");
    fprintf(fd, "\t---\t\t-----\t\t-------\n");
    if (!ent->keyValue)
        return;
    // A caller-built record may carry fewer marks than pairs, or none: the
    // pairs beyond the marks are shown as the token's own.
    size_t marks = ent->origin ? std::strlen(ent->origin) : 0;
    for (size_t i = 0; ent->keyValue[i]; ++i) {
        char *copy = strdup(ent->keyValue[i]);
        if (!copy) {
            dprintf("Error: Out of memory\n");
            return;
        }
        char *save = nullptr;
        char *key = strtok_r(copy, "=", &save);
        char *value = key ? strtok_r(nullptr, "=", &save) : nullptr;
        fprintf(fd, "\t%-15s\t", key ? key : "");
        fprintf(fd, "%-15s\t%c\n", value ? value : "", i < marks ? ent->origin[i] : ' ');
        std::free(copy);
    }
}

// The directory store of configurations is not part of this build yet:
// every lookup and change reports an internal error.
extern "C" int kx_getCryptoEntByTokenID(KXAdmin, char *, kx_CryptoEnt_t **result, int)
{
    if (result)
        *result = nullptr;
    return KXE_INTERNAL;
}

extern "C" int kx_addCryptoEnt(KXAdmin, kx_CryptoEnt_t *, int)
{
    return KXE_INTERNAL;
}

extern "C" int kx_delCryptoEnt(KXAdmin, char *)
{
    return KXE_INTERNAL;
}
