// From owned ids to their owners: a user lists its logical tokens in
// kxLogicalTokenIDs, a logical token its raw tokens in kxRawTokenIDs; these
// lookups search for the entry whose list holds an id.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "admin_private.h"
#include "admin_token.h"
#include "kx_records.hpp"
#include "kx_raii.hpp"
#include "utils.h"

namespace {

char kIdAttr[] = "kxID";

// The single owner entry whose list attribute holds id, below container;
// all attributes, or kxID only.
kx::LdapMessage single_owner(KXAdmin kxa, const char *container, const char *list_attr,
                             const char *id, bool all_attributes)
{
    auto filter = kx::attr_filter(list_attr, id);
    auto base = kx::container_base(kxa, container);
    if (!filter || !base)
        return nullptr;
    char *id_only[] = {kIdAttr, nullptr};
    return kx::LdapMessage(search_for_entries(kxa->ld, filter->data(), base->data(),
                                              all_attributes ? nullptr : id_only, 0,
                                              KX_SEARCH_ONE));
}

char *owner_id(KXAdmin kxa, const char *container, const char *list_attr, const char *id)
{
    kx::LdapMessage result = single_owner(kxa, container, list_attr, id, false);
    if (!result)
        return nullptr;
    return kx::text_field(kxa->ld, ldap_first_entry(kxa->ld, result.get()), "kxID");
}

// Text that caseIgnoreMatch compares by ASCII case folding alone: printable
// ASCII without blanks (no insignificant spaces, no Unicode folding).
bool plain(std::string_view s)
{
    for (unsigned char c : s)
        if (c < 0x21 || c > 0x7e)
            return false;
    return !s.empty();
}

// s with A-Z as a-z, in out.
void fold(std::string_view s, std::string &out)
{
    out.assign(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
}

// What the single-owner lookup of one logical token id answers.
struct Owner {
    int users = 0;                  // users whose list holds the id
    LDAPMessage *user = nullptr;    // the first of them
    std::optional<std::string> id;  // its kxID, when it is the only one
};

constexpr size_t kIdsPerSearch = 200;

// The owners of every logical token id, as logical_token_id_to_user_id would
// find them one search each, found with one search per kIdsPerSearch ids: an
// OR of the lookups' own filters, the users' lists matched to the ids here.
// Nothing when that cannot be exact: a search fails or is cut by a limit,
// or an id or a listed value is not plain text, or an entry the directory
// matched matches none of the ids here. The caller then looks them up one
// by one.
std::optional<std::vector<Owner>> owners_of(KXAdmin kxa, char **logical, int count)
{
    std::vector<Owner> owners(static_cast<size_t>(count));
    auto base = kx::container_base(kxa, KX_USERS_RDN);
    if (!base)
        return owners;
    char list_attr[] = "kxLogicalTokenIDs";
    char *attrs[] = {kIdAttr, list_attr, nullptr};
    std::string key;
    for (size_t first = 0; first < owners.size(); first += kIdsPerSearch) {
        size_t end = std::min(owners.size(), first + kIdsPerSearch);
        std::vector<std::pair<std::string, size_t>> wanted;  // folded id, index; sorted
        std::string filter = "(|";
        for (size_t i = first; i < end; ++i) {
            if (!plain(logical[i]))
                return std::nullopt;
            auto one = kx::attr_filter(list_attr, logical[i]);
            if (!one)
                continue;  // too long for a lookup of its own: no owner
            filter.append("(").append(*one).append(")");
            fold(logical[i], key);
            wanted.emplace_back(key, i);
        }
        if (wanted.empty())
            continue;
        filter += ")";
        std::sort(wanted.begin(), wanted.end());
        LDAPMessage *raw = nullptr;
        int rc = ldap_search_ext_s(kxa->ld, base->data(), LDAP_SCOPE_SUBTREE, filter.data(), attrs,
                                   0, nullptr, nullptr, nullptr, LDAP_NO_LIMIT, &raw);
        kx::LdapMessage result(raw);
        if (rc != LDAP_SUCCESS)
            return std::nullopt;
        for (LDAPMessage *e = ldap_first_entry(kxa->ld, result.get()); e;
             e = ldap_next_entry(kxa->ld, e)) {
            bool matched = false;
            kx::BerValues values(ldap_get_values_len(kxa->ld, e, list_attr));
            for (berval **v = values.get(); v && *v; ++v) {
                std::string_view text((*v)->bv_val, (*v)->bv_len);
                if (!plain(text))
                    return std::nullopt;
                fold(text, key);
                auto from =
                    std::lower_bound(wanted.begin(), wanted.end(), std::pair{key, size_t{0}});
                for (; from != wanted.end() && from->first == key; ++from) {
                    Owner &o = owners[from->second];
                    if (o.users++ == 0)
                        o.user = e;
                    matched = true;
                }
            }
            if (!matched)
                return std::nullopt;
        }
        for (size_t i = first; i < end; ++i)
            if (owners[i].users == 1)
                owners[i].id = kx::first_value(kxa->ld, owners[i].user, kIdAttr);
    }
    return owners;
}

}  // namespace

char *logical_token_id_to_user_id(KXAdmin kxa, char *id)
{
    return owner_id(kxa, KX_USERS_RDN, "kxLogicalTokenIDs", id);
}

char *raw_token_id_to_logical_token_id(KXAdmin kxa, char *id)
{
    return owner_id(kxa, KX_LTOKENS_RDN, "kxRawTokenIDs", id);
}

char *raw_token_id_to_user_id(KXAdmin kxa, char *id)
{
    kx::CString logical(raw_token_id_to_logical_token_id(kxa, id));
    return logical ? logical_token_id_to_user_id(kxa, logical.get()) : nullptr;
}

KXUser *logical_token_id_to_user(KXAdmin kxa, char *id)
{
    kx::LdapMessage result = single_owner(kxa, KX_USERS_RDN, "kxLogicalTokenIDs", id, true);
    if (!result)
        return nullptr;
    KXUser *u = fill_user_struct(kxa, ldap_first_entry(kxa->ld, result.get()));
    if (u && u->id && dbm_user_exists(kxa->ustat_db, u->id))
        fill_user_status(kxa, &u);
    return u;
}

KXUser *raw_token_id_to_user(KXAdmin kxa, char *id)
{
    kx::CString logical(raw_token_id_to_logical_token_id(kxa, id));
    return logical ? logical_token_id_to_user(kxa, logical.get()) : nullptr;
}

KXLogicalToken *raw_token_id_to_logical_token(KXAdmin kxa, char *id)
{
    kx::LdapMessage result = single_owner(kxa, KX_LTOKENS_RDN, "kxRawTokenIDs", id, true);
    if (!result)
        return nullptr;
    return fill_logical_token_struct(kxa, ldap_first_entry(kxa->ld, result.get()));
}

int count_user_raw_tokens(KXAdmin kxa, char *user_id)
{
    KXUser *u = get_user(kxa, user_id);
    if (!u)
        return -1;
    int total = 0;
    for (int i = 0; u->logical_token_ids && u->logical_token_ids[i]; ++i) {
        KXLogicalToken *t = get_logical_token(kxa, u->logical_token_ids[i]);
        if (!t) {
            free_user(u);
            return -1;
        }
        total += count_args(t->raw_token_ids);
        free_logical_token(t);
    }
    free_user(u);
    return total;
}

int _kx_getLidByRid(KXAdmin kxa, char *raw_id, char ***ids)
{
    if (!ids)
        return KXE_INVAL;
    *ids = nullptr;
    if (!kxa || !raw_id || !*raw_id)
        return KXE_INVAL;
    auto filter = kx::attr_filter("kxRawTokenIDs", raw_id);
    if (!filter) {
        dprintf("_kx_getLidByRid(): search filter too long");
        return KXE_NOBUFS;
    }
    auto base = kx::container_base(kxa, KX_LTOKENS_RDN);
    if (!base) {
        dprintf("_kx_getLidByRid(): subtree name too long");
        return KXE_NOBUFS;
    }
    char *id_only[] = {kIdAttr, nullptr};
    kx::LdapMessage result(
        search_for_entries(kxa->ld, filter->data(), base->data(), id_only, 0, KX_SEARCH_ALL));
    int count = result ? ldap_count_entries(kxa->ld, result.get()) : 0;
    if (count <= 0)
        return KXE_NOTFOUND;
    auto **out = static_cast<char **>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char *)));
    if (!out) {
        dprintf("_kx_getLidByRid(): failed to malloc result array");
        return KXE_NOMEM;
    }
    int n = 0;
    for (LDAPMessage *e = ldap_first_entry(kxa->ld, result.get()); e;
         e = ldap_next_entry(kxa->ld, e)) {
        auto id = kx::first_value(kxa->ld, e, "kxID");
        if (!id)
            continue;
        if (n == count) {
            dprintf("_kx_getLidByRid(): got more than %d expected entries", count);
            kx_free_array(out);
            return KXE_INTERNAL;
        }
        if (!(out[n] = safe_strdup(id->c_str()))) {
            dprintf("_kx_getLidByRid(): failed to duplicate the logial token");
            kx_free_array(out);
            return KXE_NOMEM;
        }
        ++n;
    }
    *ids = out;
    return KXE_SUCCESS;
}

int _kx_getUidByRid(KXAdmin kxa, char *raw_id, char ***ids)
{
    if (!ids)
        return KXE_INVAL;
    *ids = nullptr;
    if (!kxa || !raw_id || !*raw_id)
        return KXE_INVAL;
    char **logical = nullptr;
    int rc = _kx_getLidByRid(kxa, raw_id, &logical);
    if (rc != KXE_SUCCESS)
        return rc;
    int count = count_args(logical);
    auto **out = static_cast<char **>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char *)));
    if (!out) {
        dprintf("_kx_getUidByRid(): failed to malloc user_id array");
        kx_free_array(logical);
        return KXE_NOMEM;
    }
    int n = 0;
    if (auto owners = owners_of(kxa, logical, count)) {
        for (const Owner &o : *owners) {
            if (o.users > 1)
                dprintf("%s", kx::kSeveralMatches);
            else if (o.id && (out[n] = safe_strdup(o.id->c_str())))
                ++n;
        }
    } else {
        for (int i = 0; i < count; ++i)
            if (char *user = logical_token_id_to_user_id(kxa, logical[i]))
                out[n++] = user;
    }
    kx_free_array(logical);
    if (n == 0) {
        std::free(out);
        return KXE_NOTFOUND;
    }
    *ids = out;
    return KXE_SUCCESS;
}
