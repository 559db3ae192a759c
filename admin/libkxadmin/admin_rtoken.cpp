// Raw tokens: the directory entry of one token id, below kxName=rawTokens.

#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"
#include "admin_token.h"
#include "kx_records.hpp"
#include "kx_raii.hpp"
#include "utils.h"

namespace {

struct Field {
    const char *attr;
    char *KXRawToken::*member;
};

// The changeable attributes, in the order they are written.
constexpr Field kFields[] = {
    {"kxSecret", &KXRawToken::secret},       {"kxTokenType", &KXRawToken::token_type},
    {"kxTokenState", &KXRawToken::token_state}, {"kxEnabled", &KXRawToken::enabled},
    {"kxMisc1", &KXRawToken::misc1},         {"kxMisc2", &KXRawToken::misc2},
};

} // namespace

namespace kx {

void raw_token_attributes(Mods &mods, const KXRawToken *t)
{
    mods.add(LDAP_MOD_ADD, "objectClass", {"kxRawToken"});
    mods.add(LDAP_MOD_ADD, "kxID", {t->id});
    for (const Field &f : kFields)
        mods.add_if(LDAP_MOD_ADD, f.attr, t->*f.member);
}

} // namespace kx

extern "C" {

KXRawToken *allocate_raw_token(void)
{
    return static_cast<KXRawToken *>(safe_malloc(sizeof(KXRawToken)));
}

void free_raw_token(KXRawToken *t)
{
    if (!t)
        return;
    std::free(t->id);
    for (const Field &f : kFields)
        std::free(t->*f.member);
    std::free(t);
}

KXRawToken *fill_raw_token_struct(KXAdmin kxa, LDAPMessage *entry)
{
    if (!kxa || !entry)
        return nullptr;
    KXRawToken *t = allocate_raw_token();
    auto take = [&](const char *attr) -> char * {
        auto v = kx::first_value(kxa->ld, entry, attr);
        return v ? safe_strdup(v->c_str()) : nullptr;
    };
    t->id = take("kxID");
    for (const Field &f : kFields)
        t->*f.member = take(f.attr);
    return t;
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

int raw_token_exists(KXAdmin kxa, char *id)
{
    if (!kxa || !id)
        return -1;
    auto filter = kx::attr_filter("kxID", id);
    auto base = kx::container_base(kxa, KX_RTOKENS_RDN);
    if (!filter || !base)
        return -1;
    return entry_exists(kxa->ld, filter->data(), base->data());
}

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
    for (const Field &f : kFields) {
        const char *value = t->*f.member;
        mods.add(LDAP_MOD_REPLACE, f.attr, value ? std::vector<std::string>{value}
                                                 : std::vector<std::string>{});
    }
    if (modify_entry(kxa->ld, dn->data(), mods.get()) != KXE_SUCCESS) {
        log_admin("user", "Error modifying user entry.");
        return -1;
    }
    log_admin("user", "Successfully modified user entry.");
    return 0;
}

KXRawToken *get_raw_token(KXAdmin kxa, char *id)
{
    if (!kxa || !id)
        return nullptr;
    auto filter = kx::attr_filter("kxID", id);
    auto base = kx::container_base(kxa, KX_RTOKENS_RDN);
    if (!filter || !base)
        return nullptr;
    kx::LdapMessage result(
        search_for_entries(kxa->ld, filter->data(), base->data(), nullptr, 0, KX_SEARCH_ONE));
    if (!result)
        return nullptr;
    return fill_raw_token_struct(kxa, ldap_first_entry(kxa->ld, result.get()));
}

void print_raw_token(void *, KXRawToken *t)
{
    if (!t)
        return;
    std::fprintf(stderr,
                 "raw token:\n  id                 = %s\n  secret             = %s\n"
                 "  token_type         = %s\n  token_state        = %s\n"
                 "  enabled            = %s\n  misc1              = %s\n  misc2              = %s\n",
                 kx::nil(t->id), kx::nil(t->secret), kx::nil(t->token_type),
                 kx::nil(t->token_state), kx::nil(t->enabled), kx::nil(t->misc1), kx::nil(t->misc2));
}

int _kx_rawTokenExists(KXAdmin kxa, char *id, int on_primary)
{
    if (!id)
        return KXE_INVAL;
    std::string value = kx::filter_value(id);
    auto filter = kx::bounded(kx::kFilterBuffer, "(&(objectclass=kxRawToken)(kxID=%s))", value.c_str());
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

} // extern "C"
