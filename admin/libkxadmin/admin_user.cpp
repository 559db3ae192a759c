// Directory users: the kxUser entries below kxName=users, joined with the
// user status database when read.

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "admin_private.h"
#include "kx_records.hpp"
#include "kx_raii.hpp"
#include "utils.h"

extern "C" {

KXUser *allocate_user(void)
{
    return static_cast<KXUser *>(safe_malloc(sizeof(KXUser)));
}

void free_user(KXUser *u)
{
    if (!u)
        return;
    std::free(u->id);
    std::free(u->name);
    std::free(u->other_info);
    std::free(u->last_desktop);
    std::free(u->misc1);
    std::free(u->misc2);
    kx_free_array(u->logical_token_ids);
    std::free(u);
}

KXUser *fill_user_struct(KXAdmin kxa, LDAPMessage *e)
{
    if (!kxa || !e)
        return nullptr;
    LDAP *ld = kxa->ld;
    KXUser *u = allocate_user();
    u->id = kx::text_field(ld, e, "kxID");
    u->name = kx::text_field(ld, e, "kxName");
    u->other_info = kx::text_field(ld, e, "kxOtherInfo");
    u->create_time = kx::int_field(ld, e, "kxFirstTime");
    u->status = kx::int_field(ld, e, "kxStatus");
    u->last_desktop = kx::text_field(ld, e, "kxLastDesktop");
    u->last_time = kx::int_field(ld, e, "kxLastTime");
    u->misc1 = kx::text_field(ld, e, "kxMisc1");
    u->misc2 = kx::text_field(ld, e, "kxMisc2");
    u->logical_token_ids = kx::array_field(ld, e, "kxLogicalTokenIDs");
    return u;
}

int fill_user_status(KXAdmin kxa, KXUser **user)
{
    if (!kxa || !user || !*user)
        return -1;
    KXUser *u = *user;
    DBMUser *status = get_dbm_user(kxa->ustat_db, u->id);
    if (!status) {
        dprintf("fill_user_status(): Could not find equivalent dbm user with user_id (%s)\n", p(u->id));
        return -1;
    }
    u->create_time = status->create_time;
    u->status = status->status;
    std::free(u->last_desktop);
    u->last_desktop = safe_strdup(status->last_desktop);
    u->last_time = status->last_time;
    free_dbm_user(status);
    return 0;
}

int user_exists(KXAdmin kxa, char *id)
{
    auto filter = kx::attr_filter("kxID", id);
    auto base = kx::container_base(kxa, KX_USERS_RDN);
    if (!filter || !base)
        return -1;
    return entry_exists(kxa->ld, filter->data(), base->data());
}

KXUser *get_user(KXAdmin kxa, char *id)
{
    auto filter = kx::attr_filter("kxID", id);
    auto base = kx::container_base(kxa, KX_USERS_RDN);
    if (!filter || !base)
        return nullptr;
    kx::LdapMessage result(
        search_for_entries(kxa->ld, filter->data(), base->data(), nullptr, 0, KX_SEARCH_ONE));
    if (!result)
        return nullptr;
    KXUser *u = fill_user_struct(kxa, ldap_first_entry(kxa->ld, result.get()));
    if (u && u->id && dbm_user_exists(kxa->ustat_db, u->id))
        fill_user_status(kxa, &u);
    return u;
}

char *gen_unique_user_id(KXAdmin kxa)
{
    for (int retry = 0;; ++retry) {
        long now = static_cast<long>(std::time(nullptr));
        std::string number = std::to_string(random());
        if (number.size() > 4)
            number = number.substr(number.size() - 4);
        std::string candidate = std::to_string(now) + "-" + number;
        if (user_exists(kxa, candidate.data()) == 0)
            return safe_strdup(candidate.c_str());
        dlprintf("a", "RETRY\n");
        if (retry == 5) {
            dprintf("gen_unique_user_id(): Could not generate unique ID after %d tries", 5);
            return nullptr;
        }
    }
}

char *add_user(KXAdmin kxa, KXUser *user, int generate)
{
    if (!kxa || !user)
        return nullptr;
    char *id;
    if (generate == 1) {
        id = gen_unique_user_id(kxa);
        if (!id)
            return nullptr;
        dlprintf("a", "generated id |%s|\n", id);
    } else {
        id = safe_strdup(user->id);
    }
    if (!id) {
        dprintf("add_user(): Could not add user\n");
        return nullptr;
    }
    if (user->create_time == 0)
        user->create_time = static_cast<int>(std::time(nullptr));

    auto dn = kx::record_dn(kxa, KX_USERS_RDN, id);
    kx::Mods mods;
    mods.add(LDAP_MOD_ADD, "objectClass", {"kxUser"});
    mods.add(LDAP_MOD_ADD, "kxID", {id});
    mods.add_if(LDAP_MOD_ADD, "kxName", user->name);
    mods.add_if(LDAP_MOD_ADD, "kxOtherInfo", user->other_info);
    mods.add(LDAP_MOD_ADD, "kxFirstTime", {std::to_string(user->create_time)});
    // Status, last desktop and last time live in the user status database.
    mods.add_if(LDAP_MOD_ADD, "kxMisc1", user->misc1);
    mods.add_if(LDAP_MOD_ADD, "kxMisc2", user->misc2);
    std::vector<std::string> ids = kx::strings_of(user->logical_token_ids);
    if (!ids.empty())
        mods.add(LDAP_MOD_ADD, "kxLogicalTokenIDs", ids);
    if (!dn || add_entry(kxa->ld, dn->data(), mods.get()) != KXE_SUCCESS) {
        dprintf("add_user(): Could not add user\n");
        std::free(id);
        return nullptr;
    }
    return id;
}

int modify_user(KXAdmin kxa, KXUser *u)
{
    if (!kxa || !u)
        return -1;
    auto dn = kx::record_dn(kxa, KX_USERS_RDN, u->id);
    kx::Mods mods;
    mods.add(LDAP_MOD_REPLACE, "kxName", kx::one_or_none(u->name));
    mods.add(LDAP_MOD_REPLACE, "kxOtherInfo", kx::one_or_none(u->other_info));
    mods.add(LDAP_MOD_REPLACE, "kxFirstTime", {std::to_string(u->create_time)});
    mods.add(LDAP_MOD_REPLACE, "kxStatus", {std::to_string(u->status)});
    mods.add(LDAP_MOD_REPLACE, "kxLastDesktop", kx::one_or_none(u->last_desktop));
    mods.add(LDAP_MOD_REPLACE, "kxLastTime", {std::to_string(u->last_time)});
    mods.add(LDAP_MOD_REPLACE, "kxMisc1", kx::one_or_none(u->misc1));
    mods.add(LDAP_MOD_REPLACE, "kxMisc2", kx::one_or_none(u->misc2));
    if (!dn || modify_entry(kxa->ld, dn->data(), mods.get()) != KXE_SUCCESS) {
        dprintf("modify_user(): Could not modify user\n");
        log_admin("user", "Error modifying properties for user (%s).", p(u->name));
        return -1;
    }
    log_admin("user", "User properties for (%s) modified.", p(u->name));
    return 0;
}

void print_user(void *, KXUser *u, int brief)
{
    if (!u)
        return;
    std::fprintf(stderr,
                 "user:\n  id                 = %s\n  name               = %s\n"
                 "  other_info         = %s\n  create_time        = %d\n"
                 "  status             = %d\n  last_desktop       = %s\n"
                 "  last_time          = %d\n  misc1              = %s\n  misc2              = %s\n",
                 kx::nil(u->id), kx::nil(u->name), kx::nil(u->other_info), u->create_time, u->status,
                 kx::nil(u->last_desktop), u->last_time, kx::nil(u->misc1), kx::nil(u->misc2));
    if (!brief)
        kx::print_id_list("logical_token_ids", u->logical_token_ids);
}

int kx_getLtokenByUser(KXAdmin kxa, char *name, char ***ids)
{
    if (!ids)
        return KXE_INVAL;
    *ids = nullptr;
    if (!kxa || !name)
        return KXE_NOTFOUND;
    // The name goes into the filter as given.
    auto filter = kx::bounded(kx::kFilterBuffer, "kxname=%s", name);
    auto base = kx::container_base(kxa, KX_USERS_RDN);
    if (!filter || !base)
        return KXE_NOTFOUND;
    kx::LdapMessage result(
        search_for_entries(kxa->ld, filter->data(), base->data(), nullptr, 0, KX_SEARCH_ALL));
    if (!result)
        return KXE_NOTFOUND;
    char **gathered = nullptr;
    size_t count = 0;
    for (LDAPMessage *e = ldap_first_entry(kxa->ld, result.get()); e;
         e = ldap_next_entry(kxa->ld, e)) {
        std::vector<std::string> values = kx::all_values(kxa->ld, e, "kxLogicalTokenIDs");
        if (values.empty())
            continue;
        auto **grown = static_cast<char **>(
            std::realloc(gathered, (count + values.size() + 1) * sizeof(char *)));
        if (!grown) {
            kx_free_array(gathered);
            return KXE_NOMEM;
        }
        gathered = grown;
        for (const std::string &v : values) {
            gathered[count] = safe_strdup(v.c_str());
            if (!gathered[count]) {
                kx_free_array(gathered);
                return KXE_NOMEM;
            }
            gathered[++count] = nullptr;
        }
    }
    if (!gathered)
        return KXE_NOTFOUND;
    *ids = gathered;
    return KXE_SUCCESS;
}

} // extern "C"
