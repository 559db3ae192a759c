// Security configurations of tokens: the changes written to the directory
// (add, replace, delete, and the conditional change that kxcrypto makes).

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <strings.h>

#include "admin_crypto.h"
#include "admin_private.h"
#include "admin_token.h"
#include "kx_crypto.hpp"
#include "kx_crypto_keys.hpp"
#include "kx_ldap.hpp"
#include "kx_raii.hpp"
#include "kx_swap.hpp"
#include "kx_text.hpp"
#include "utils.h"

using kx::crypto::crypto_string;
using kx::crypto::dup_heap;
using kx::crypto::kBuffer;
using kx::crypto::lookup;

namespace {
// Serialises this store's directory modifications.
std::mutex ds_lock;
}  // namespace

char *constructDN(KXAdmin kxa, char *tokenID)
{
    int cls = isValidToken(tokenID);
    if (cls == KX_TOKEN_INVALID || !kxa)
        return nullptr;
    std::string id = kx::dn_value(cls == KX_TOKEN_RAW ? getTokenID(tokenID) : tokenID);
    auto dn = kx::bounded(kBuffer, "kxID=%s,%s,%s", id.c_str(),
                          cls == KX_TOKEN_RAW ? KX_RTOKENS_RDN : KX_LTOKENS_RDN, p(kxa->subtree));
    if (!dn)
        return nullptr;
    char *copy = dup_heap(*dn);
    if (!copy)
        dprintf("Error: Out of memory.\n");
    return copy;
}

int _modCrypto(KXAdmin kxa, kx_CryptoEnt_t *ent, int op)
{
    std::lock_guard<std::mutex> guard(ds_lock);
    int ldap_op = op == 1 ? LDAP_MOD_DELETE : LDAP_MOD_ADD;
    kx::Mods mods;
    mods.add(ldap_op, "objectclass", {"kxCrypto"});
    mods.add(ldap_op, "kxCryptoString", {crypto_string(ent->keyValue)});
    kx::CString dn(constructDN(kxa, ent->tokenID));
    if (!dn)
        return KXE_INTERNAL;
    return modify_entry(kxa->ld, dn.get(), mods.get());
}

int _kx_ensureTokenEntry(KXAdmin kxa, char *tokenID)
{
    const char *subtree = p(kxa->subtree);
    if (isValidToken(tokenID) == KX_TOKEN_LOGICAL) {
        std::string id = kx::filter_value(tokenID);
        std::string filter =
            kx::cut(kBuffer, "(&(kxID=%s)(objectclass=kxLogicalToken))", id.c_str());
        std::string base = kx::cut(kBuffer, "%s,%s", KX_LTOKENS_RDN, subtree);
        // A failing test counts as an existing entry.
        return entry_exists(kxa->ld, filter.data(), base.data()) == 0 ? KXE_NOTOKEN : KXE_SUCCESS;
    }
    std::string id = kx::filter_value(getTokenID(tokenID));
    std::string filter = kx::cut(kBuffer, "(&(kxID=%s)(objectclass=kxRawToken))", id.c_str());
    std::string base = kx::cut(kBuffer, "%s,%s", KX_RTOKENS_RDN, subtree);
    if (entry_exists(kxa->ld, filter.data(), base.data()) != 0)
        return KXE_SUCCESS;
    // The raw token is created under the stored name (without a "pseudo."
    // prefix), the entry that the configuration goes to.
    KXRawToken *raw = _kx_newUserRawToken(getTokenID(tokenID));
    if (!raw) {
        dprintf("Error: Out of memory.\n");
        return KXE_NOMEM;
    }
    int added = add_raw_token(kxa, raw);
    free_raw_token(raw);
    // Another writer may have created it in the meantime.
    if (added == -1 && entry_exists(kxa->ld, filter.data(), base.data()) != 1)
        return KXE_INTERNAL;
    return KXE_SUCCESS;
}

namespace {

using Record = kx::Owned<kx_CryptoEnt_t, kx_freeCryptoEnt>;

// A token's configuration as a change reads it: what a lookup without
// merging gives, and the crypto strings that it was read from.
struct Stored {
    int rc;
    Record record;
    std::vector<std::string> values;
};

Stored read_stored(KXAdmin kxa, char *tokenID)
{
    kx_CryptoEnt_t *record = nullptr;
    std::vector<std::string> values;
    int rc = lookup(kxa, tokenID, &record, 0, &values);
    return {rc, Record(record), std::move(values)};
}

// Adds the record's configuration to its token, which had none when it was
// read; nullopt when the addition failed because another writer added one
// in the meantime.
std::optional<int> add_config(KXAdmin kxa, kx_CryptoEnt_t *ent)
{
    int rc = _modCrypto(kxa, ent, 0);
    if (rc == KXE_SUCCESS || read_stored(kxa, ent->tokenID).rc != KXE_SUCCESS)
        return rc;
    return std::nullopt;
}

// Makes `next` the configuration of the token's entry (nullptr: removes the
// configuration) in one modification, provided that the entry still holds
// the crypto strings `stored`.  nullopt when it does not: another writer
// came first.
std::optional<int> swap_config(KXAdmin kxa, char *tokenID, const std::vector<std::string> &stored,
                               const std::string *next)
{
    std::lock_guard<std::mutex> guard(ds_lock);
    kx::CString dn(constructDN(kxa, tokenID));
    if (!dn)
        return KXE_INTERNAL;
    kx::Mods mods;
    if (!next)
        mods.add(LDAP_MOD_DELETE, "objectclass", {"kxCrypto"});
    mods.add(LDAP_MOD_DELETE, "kxCryptoString", stored);
    if (next)
        mods.add(LDAP_MOD_ADD, "kxCryptoString", {*next});
    // Where the schema cannot compare crypto strings, the write is
    // unconditional.
    return kx::swap_entry(kxa->ld, dn.get(), mods, [&] {
        kx::Mods blind;
        if (next) {
            blind.add(LDAP_MOD_REPLACE, "kxCryptoString", {*next});
        } else {
            blind.add(LDAP_MOD_DELETE, "objectclass", {"kxCrypto"});
            blind.add(LDAP_MOD_DELETE, "kxCryptoString", {});
        }
        return blind;
    });
}

bool same_pairs(char **a, char **b) { return kx::strings_of(a) == kx::strings_of(b); }

}  // namespace

int kx_delCryptoEnt(KXAdmin kxa, char *tokenID)
{
    if (!kxa || isValidToken(tokenID) == KX_TOKEN_INVALID)
        return KXE_INVAL;
    return kx::retry_conflicts(
        "kx_delCryptoEnt",
        [&]() -> std::optional<int> {
            Stored stored = read_stored(kxa, tokenID);
            if (stored.rc != KXE_SUCCESS)
                return stored.rc;
            return swap_config(kxa, stored.record->tokenID, stored.values, nullptr);
        },
        KXE_INTERNAL);
}

int kx_addCryptoEnt(KXAdmin kxa, kx_CryptoEnt_t *ent, int replace)
{
    if (!kxa || !ent || isValidToken(ent->tokenID) == KX_TOKEN_INVALID)
        return KXE_INVAL;
    const std::string next = crypto_string(ent->keyValue);
    return kx::retry_conflicts(
        "kx_addCryptoEnt",
        [&]() -> std::optional<int> {
            Stored stored = read_stored(kxa, ent->tokenID);
            if (stored.rc == KXE_SUCCESS) {
                if (replace != 1)
                    return KXE_EXISTS;
                // Replaced in one modification on the entry that the stored
                // configuration was read from; a refusal leaves it in place.
                std::optional<int> rc =
                    swap_config(kxa, stored.record->tokenID, stored.values, &next);
                if (rc && *rc != KXE_SUCCESS)
                    return KXE_INTERNAL;
                return rc;
            }
            if (stored.rc != KXE_NOTFOUND)
                return stored.rc;
            if (int rc = _kx_ensureTokenEntry(kxa, ent->tokenID))
                return rc;
            std::optional<int> rc = add_config(kxa, ent);
            // A configuration added by another writer in the meantime is
            // replaced on the next attempt, or refused as if it had been there.
            if (!rc && replace != 1)
                return KXE_EXISTS;
            return rc;
        },
        KXE_INTERNAL);
}

int _kx_swapCryptoEnt(KXAdmin kxa, char *tokenID, char **expected, kx_CryptoEnt_t *ent)
{
    if (!kxa || isValidToken(tokenID) == KX_TOKEN_INVALID)
        return KXE_INVAL;
    const std::string next = ent ? crypto_string(ent->keyValue) : std::string();
    const std::string *want = ent ? &next : nullptr;
    if (!expected) {
        if (!ent)
            return KXE_SUCCESS;
        if (int rc = _kx_ensureTokenEntry(kxa, tokenID))
            return rc;
        return add_config(kxa, ent).value_or(KX_CHANGED);
    }
    std::vector<std::string> stored{crypto_string(expected)};
    if (std::optional<int> rc = swap_config(kxa, tokenID, stored, want))
        return *rc;
    // The stored string may hold the pairs read in another form than this
    // library writes (blanks around them, empty fields): then the
    // configuration is still the one read, stored as the directory says.
    Stored now = read_stored(kxa, tokenID);
    if (now.rc != KXE_SUCCESS || now.values == stored ||
        !same_pairs(now.record->keyValue, expected))
        return KX_CHANGED;
    return swap_config(kxa, tokenID, now.values, want).value_or(KX_CHANGED);
}
