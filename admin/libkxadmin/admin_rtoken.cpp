// Raw tokens: the directory entry of one token id, below kxName=rawTokens.

#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"
#include "admin_token.h"
#include "kx_records.hpp"
#include "utils.h"

namespace {

using kx::kAdd, kx::kRead, kx::kReplace;
using R = KXRawToken;

// The fields of a raw token entry.
constexpr kx::Field<R> kRawTokenFields[] = {
    kx::text("kxID", "id", &R::id, kRead),
    kx::text("kxSecret", "secret", &R::secret, kRead | kAdd | kReplace),
    kx::text("kxTokenType", "token_type", &R::token_type, kRead | kAdd | kReplace),
    kx::text("kxTokenState", "token_state", &R::token_state, kRead | kAdd | kReplace),
    kx::text("kxEnabled", "enabled", &R::enabled, kRead | kAdd | kReplace),
    kx::text("kxMisc1", "misc1", &R::misc1, kRead | kAdd | kReplace),
    kx::text("kxMisc2", "misc2", &R::misc2, kRead | kAdd | kReplace),
};

}  // namespace

namespace kx {

void raw_token_attributes(Mods &mods, const KXRawToken *t)
{
    mods.add(LDAP_MOD_ADD, "objectClass", {"kxRawToken"});
    mods.add(LDAP_MOD_ADD, "kxID", {t->id});
    write_fields(mods, LDAP_MOD_ADD, *t, kRawTokenFields, kAdd);
}

}  // namespace kx

KXRawToken *allocate_raw_token(void)
{
    return static_cast<KXRawToken *>(safe_malloc(sizeof(KXRawToken)));
}

void free_raw_token(KXRawToken *t) { kx::free_record(t, kRawTokenFields); }

KXRawToken *fill_raw_token_struct(KXAdmin kxa, LDAPMessage *entry)
{
    return kx::fill_record(kxa, entry, kRawTokenFields);
}

KXRawToken *_kx_newUserRawToken(const char *id)
{
    KXRawToken *raw = allocate_raw_token();
    raw->id = safe_strdup(id);
    raw->token_type = safe_strdup("user");
    raw->token_state = safe_strdup("unknown");
    raw->enabled = safe_strdup("allowed");
    if (!raw->id || !raw->token_type || !raw->token_state || !raw->enabled) {
        free_raw_token(raw);
        return nullptr;
    }
    return raw;
}

int raw_token_exists(KXAdmin kxa, char *id) { return kx::record_exists(kxa, KX_RTOKENS_RDN, id); }

int add_raw_token(KXAdmin kxa, KXRawToken *t)
{
    if (!kxa || !t || !t->id)
        return -1;
    if (raw_token_exists(kxa, t->id) != 0) {
        dprintf("add_raw_token(): raw token (%s) already exists\n", t->id);
        return -1;
    }
    auto dn = kx::record_dn(kxa, KX_RTOKENS_RDN, t->id);
    if (!dn) {
        dprintf("add_raw_token(): Could not add raw token\n");
        return -1;
    }
    kx::Mods mods;
    kx::raw_token_attributes(mods, t);
    if (add_entry(kxa->ld, dn->data(), mods.get()) != KXE_SUCCESS) {
        dprintf("add_raw_token(): Could not add raw token\n");
        return -1;
    }
    return 0;
}

int modify_raw_token(KXAdmin kxa, KXRawToken *t)
{
    auto dn = (kxa && t) ? kx::record_dn(kxa, KX_RTOKENS_RDN, t->id) : std::nullopt;
    if (!dn) {
        log_admin("user", "Error modifying user entry.");
        return -1;
    }
    kx::Mods mods;
    kx::write_fields(mods, LDAP_MOD_REPLACE, *t, kRawTokenFields, kReplace);
    if (modify_entry(kxa->ld, dn->data(), mods.get()) != KXE_SUCCESS) {
        log_admin("user", "Error modifying user entry.");
        return -1;
    }
    log_admin("user", "Successfully modified user entry.");
    return 0;
}

KXRawToken *get_raw_token(KXAdmin kxa, char *id)
{
    return kx::get_record(kxa, KX_RTOKENS_RDN, id, fill_raw_token_struct);
}

void print_raw_token(void *, KXRawToken *t)
{
    if (t)
        kx::print_fields("raw token", *t, kRawTokenFields, false);
}

int _kx_rawTokenExists(KXAdmin kxa, char *id, int on_primary)
{
    if (!id)
        return KXE_INVAL;
    std::string value = kx::filter_value(id);
    auto filter =
        kx::bounded(kx::kFilterBuffer, "(&(objectclass=kxRawToken)(kxID=%s))", value.c_str());
    if (!filter) {
        dprintf("_kx_rawTokenExists(): database search filter too long");
        return KXE_NOBUFS;
    }
    if (!kxa)
        return KXE_INVAL;
    auto base = kx::container_base(kxa, KX_RTOKENS_RDN);
    if (!base) {
        dprintf("_kx_rawTokenExists(): database subtree name too long");
        return KXE_NOBUFS;
    }
    return _kx_dsEntryExists(kxa, filter->data(), base->data(), on_primary);
}
