// Logical tokens: the kxLogicalToken entries below kxName=logicalTokens.

#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"
#include "admin_token.h"
#include "kx_records.hpp"
#include "utils.h"

namespace {

using kx::kAdd, kx::kLinks, kx::kRead, kx::kReplace;
using L = KXLogicalToken;

// The fields of a logical token entry.
constexpr kx::Field<L> kLogicalTokenFields[] = {
    kx::text("kxID", "id", &L::id, kRead),
    kx::text("kxTokenName", "token_name", &L::token_name, kRead | kAdd | kReplace),
    kx::text("kxSessionType", "session_type", &L::session_type, kRead | kAdd | kReplace),
    kx::text("kxSessionParams", "session_params", &L::session_params, kRead | kAdd | kReplace),
    kx::text("kxServerName", "server_name", &L::server_name, kRead | kAdd | kReplace),
    kx::number("kxServerPort", "server_port", &L::server_port, kRead | kAdd | kReplace),
    kx::text("kxMisc1", "misc1", &L::misc1, kRead | kAdd | kReplace),
    kx::text("kxMisc2", "misc2", &L::misc2, kRead | kAdd | kReplace),
    kx::ids("kxRawTokenIDs", "raw_token_ids", &L::raw_token_ids, kRead | kLinks),
};

}  // namespace

namespace kx {

void logical_token_attributes(Mods &mods, const KXLogicalToken *t)
{
    mods.add(LDAP_MOD_ADD, "objectClass", {"kxLogicalToken"});
    mods.add(LDAP_MOD_ADD, "kxID", {t->id});
    write_fields(mods, LDAP_MOD_ADD, *t, kLogicalTokenFields, kAdd);
}

}  // namespace kx

KXLogicalToken *allocate_logical_token(void)
{
    return static_cast<KXLogicalToken *>(safe_malloc(sizeof(KXLogicalToken)));
}

void free_logical_token(KXLogicalToken *t) { kx::free_record(t, kLogicalTokenFields); }

KXLogicalToken *fill_logical_token_struct(KXAdmin kxa, LDAPMessage *e)
{
    return kx::fill_record(kxa, e, kLogicalTokenFields);
}

int add_logical_token(KXAdmin kxa, KXLogicalToken *t)
{
    auto dn = (kxa && t && t->id) ? kx::record_dn(kxa, KX_LTOKENS_RDN, t->id) : std::nullopt;
    if (!dn) {
        dprintf("add_logical_token(): Could not add logical token\n");
        return -1;
    }
    kx::Mods mods;
    kx::logical_token_attributes(mods, t);
    kx::write_fields(mods, LDAP_MOD_ADD, *t, kLogicalTokenFields, kLinks);
    if (add_entry(kxa->ld, dn->data(), mods.get()) != KXE_SUCCESS) {
        dprintf("add_logical_token(): Could not add logical token\n");
        return -1;
    }
    return 0;
}

int modify_logical_token(KXAdmin kxa, KXLogicalToken *t)
{
    auto dn = (kxa && t) ? kx::record_dn(kxa, KX_LTOKENS_RDN, t->id) : std::nullopt;
    if (!dn)
        return -1;
    kx::Mods mods;
    kx::write_fields(mods, LDAP_MOD_REPLACE, *t, kLogicalTokenFields, kReplace);
    return modify_entry(kxa->ld, dn->data(), mods.get()) == KXE_SUCCESS ? 0 : -1;
}

KXLogicalToken *get_logical_token(KXAdmin kxa, char *id)
{
    return kx::get_record(kxa, KX_LTOKENS_RDN, id, fill_logical_token_struct);
}

int _kx_logicalTokenExists(KXAdmin kxa, char *id, char *raw_id, int on_primary)
{
    if (!id && !raw_id)
        return KXE_INVAL;
    std::string id_term, raw_term;
    if (id) {
        std::string v = kx::filter_value(id);
        auto term = kx::bounded(kx::kFilterBuffer, "(kxID=%s)", v.c_str());
        if (!term) {
            dprintf("_kx_logicalTokenExists(): logical token name too long");
            return KXE_NOBUFS;
        }
        id_term = *term;
    }
    if (raw_id) {
        std::string v = kx::filter_value(raw_id);
        auto term = kx::bounded(kx::kFilterBuffer, "(kxrawtokenids=%s)", v.c_str());
        if (!term) {
            dprintf("_kx_logicalTokenExists(): raw token name too long");
            return KXE_NOBUFS;
        }
        raw_term = *term;
    }
    auto filter = kx::bounded(kx::kFilterBuffer, "(&(objectclass=kxLogicalToken)%s%s)",
                              raw_term.c_str(), id_term.c_str());
    if (!filter) {
        dprintf("_kx_logicalTokenExists(): database search filter too long");
        return KXE_NOBUFS;
    }
    if (!kxa)
        return KXE_INVAL;
    auto base = kx::container_base(kxa, KX_LTOKENS_RDN);
    if (!base) {
        dprintf("_kx_logicalTokenExists(): database subtree name too long");
        return KXE_NOBUFS;
    }
    return _kx_dsEntryExists(kxa, filter->data(), base->data(), on_primary);
}

int logical_token_exists(KXAdmin kxa, char *id)
{
    if (!id)
        return 0;
    return _kx_logicalTokenExists(kxa, id, nullptr, 0) == KXE_SUCCESS ? 1 : 0;
}

void print_logical_token(void *, KXLogicalToken *t, int brief)
{
    if (t)
        kx::print_fields("logical token", *t, kLogicalTokenFields, brief);
}
