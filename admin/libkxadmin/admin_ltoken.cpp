// Logical tokens: the kxLogicalToken entries below kxName=logicalTokens.

#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"
#include "admin_token.h"
#include "kx_records.hpp"
#include "kx_raii.hpp"
#include "utils.h"

namespace kx {

// The attributes of a logical token entry from objectClass to kxMisc2.
void logical_token_attributes(Mods &mods, const KXLogicalToken *t)
{
    mods.add(LDAP_MOD_ADD, "objectClass", {"kxLogicalToken"});
    mods.add(LDAP_MOD_ADD, "kxID", {t->id});
    mods.add_if(LDAP_MOD_ADD, "kxTokenName", t->token_name);
    mods.add_if(LDAP_MOD_ADD, "kxSessionType", t->session_type);
    mods.add_if(LDAP_MOD_ADD, "kxSessionParams", t->session_params);
    mods.add_if(LDAP_MOD_ADD, "kxServerName", t->server_name);
    mods.add(LDAP_MOD_ADD, "kxServerPort", {std::to_string(t->server_port)});
    mods.add_if(LDAP_MOD_ADD, "kxMisc1", t->misc1);
    mods.add_if(LDAP_MOD_ADD, "kxMisc2", t->misc2);
}

} // namespace kx

extern "C" {

KXLogicalToken *allocate_logical_token(void)
{
    return static_cast<KXLogicalToken *>(safe_malloc(sizeof(KXLogicalToken)));
}

void free_logical_token(KXLogicalToken *t)
{
    if (!t)
        return;
    std::free(t->id);
    std::free(t->token_name);
    std::free(t->session_type);
    std::free(t->session_params);
    std::free(t->server_name);
    std::free(t->misc1);
    std::free(t->misc2);
    kx_free_array(t->raw_token_ids);
    std::free(t);
}

KXLogicalToken *fill_logical_token_struct(KXAdmin kxa, LDAPMessage *e)
{
    if (!kxa || !e)
        return nullptr;
    LDAP *ld = kxa->ld;
    KXLogicalToken *t = allocate_logical_token();
    t->id = kx::text_field(ld, e, "kxID");
    t->token_name = kx::text_field(ld, e, "kxTokenName");
    t->session_type = kx::text_field(ld, e, "kxSessionType");
    t->session_params = kx::text_field(ld, e, "kxSessionParams");
    t->server_name = kx::text_field(ld, e, "kxServerName");
    t->server_port = kx::int_field(ld, e, "kxServerPort");
    t->misc1 = kx::text_field(ld, e, "kxMisc1");
    t->misc2 = kx::text_field(ld, e, "kxMisc2");
    t->raw_token_ids = kx::array_field(ld, e, "kxRawTokenIDs");
    return t;
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
    std::vector<std::string> raw = kx::strings_of(t->raw_token_ids);
    if (!raw.empty())
        mods.add(LDAP_MOD_ADD, "kxRawTokenIDs", raw);
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
    mods.add(LDAP_MOD_REPLACE, "kxTokenName", kx::one_or_none(t->token_name));
    mods.add(LDAP_MOD_REPLACE, "kxSessionType", kx::one_or_none(t->session_type));
    mods.add(LDAP_MOD_REPLACE, "kxSessionParams", kx::one_or_none(t->session_params));
    mods.add(LDAP_MOD_REPLACE, "kxServerName", kx::one_or_none(t->server_name));
    mods.add(LDAP_MOD_REPLACE, "kxServerPort", {std::to_string(t->server_port)});
    mods.add(LDAP_MOD_REPLACE, "kxMisc1", kx::one_or_none(t->misc1));
    mods.add(LDAP_MOD_REPLACE, "kxMisc2", kx::one_or_none(t->misc2));
    return modify_entry(kxa->ld, dn->data(), mods.get()) == KXE_SUCCESS ? 0 : -1;
}

KXLogicalToken *get_logical_token(KXAdmin kxa, char *id)
{
    auto filter = kx::attr_filter("kxID", id);
    auto base = kx::container_base(kxa, KX_LTOKENS_RDN);
    if (!filter || !base)
        return nullptr;
    kx::LdapMessage result(
        search_for_entries(kxa->ld, filter->data(), base->data(), nullptr, 0, KX_SEARCH_ONE));
    if (!result)
        return nullptr;
    return fill_logical_token_struct(kxa, ldap_first_entry(kxa->ld, result.get()));
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
    if (!t)
        return;
    std::fprintf(stderr,
                 "logical token:\n  id                 = %s\n  token_name         = %s\n"
                 "  session_type       = %s\n  session_params     = %s\n"
                 "  server_name        = %s\n  server_port        = %d\n"
                 "  misc1              = %s\n  misc2              = %s\n",
                 kx::nil(t->id), kx::nil(t->token_name), kx::nil(t->session_type),
                 kx::nil(t->session_params), kx::nil(t->server_name), t->server_port,
                 kx::nil(t->misc1), kx::nil(t->misc2));
    if (!brief)
        kx::print_id_list("raw_token_ids", t->raw_token_ids);
}

} // extern "C"
