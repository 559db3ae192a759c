// Directory users: the kxUser entries below kxName=users, joined with the
// user status database when read.

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <unistd.h>

#include "admin_private.h"
#include "admin_token.h"
#include "kx_records.hpp"
#include "utils.h"

namespace {

using kx::kAdd, kx::kLinks, kx::kRead, kx::kReplace;

// The fields of a user entry.  Status, last desktop and last time are kept
// in the user status database and only replaced in the directory.
constexpr kx::Field<KXUser> kUserFields[] = {
    kx::text("kxID", "id", &KXUser::id, kRead),
    kx::text("kxName", "name", &KXUser::name, kRead | kAdd | kReplace),
    kx::text("kxOtherInfo", "other_info", &KXUser::other_info, kRead | kAdd | kReplace),
    kx::number("kxFirstTime", "create_time", &KXUser::create_time, kRead | kAdd | kReplace),
    kx::number("kxStatus", "status", &KXUser::status, kRead | kReplace),
    kx::text("kxLastDesktop", "last_desktop", &KXUser::last_desktop, kRead | kReplace),
    kx::number("kxLastTime", "last_time", &KXUser::last_time, kRead | kReplace),
    kx::text("kxMisc1", "misc1", &KXUser::misc1, kRead | kAdd | kReplace),
    kx::text("kxMisc2", "misc2", &KXUser::misc2, kRead | kAdd | kReplace),
    kx::ids("kxLogicalTokenIDs", "logical_token_ids", &KXUser::logical_token_ids, kRead | kLinks),
};

}  // namespace

KXUser *allocate_user(void) { return static_cast<KXUser *>(safe_malloc(sizeof(KXUser))); }

void free_user(KXUser *u) { kx::free_record(u, kUserFields); }

KXUser *fill_user_struct(KXAdmin kxa, LDAPMessage *e)
{
    return kx::fill_record(kxa, e, kUserFields);
}

int fill_user_status(KXAdmin kxa, KXUser **user)
{
    if (!kxa || !user || !*user)
        return -1;
    KXUser *u = *user;
    DBMUser *status = get_dbm_user(kxa->ustat_db, u->id);
    if (!status) {
        dprintf("fill_user_status(): Could not find equivalent dbm user with user_id (%s)\n",
                p(u->id));
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

int user_exists(KXAdmin kxa, char *id) { return kx::record_exists(kxa, KX_USERS_RDN, id); }

KXUser *get_user(KXAdmin kxa, char *id)
{
    KXUser *u = kx::get_record(kxa, KX_USERS_RDN, id, fill_user_struct);
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
    kx::write_fields(mods, LDAP_MOD_ADD, *user, kUserFields, kAdd | kLinks);
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
    kx::write_fields(mods, LDAP_MOD_REPLACE, *u, kUserFields, kReplace);
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
    if (u)
        kx::print_fields("user", *u, kUserFields, brief);
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

// ===== enrolment ===============================================================

namespace {

constexpr int kMaxUserName = 100;
constexpr int kReplicationTries = 5;
constexpr unsigned kReplicationPause = 2;  // seconds

bool same_text(const char *a, const char *b) { return safe_strcmp(a, b) == 0; }

// A one-entry heap array holding a copy of id.
char **single_id(const char *id)
{
    auto **list = static_cast<char **>(safe_calloc(2, sizeof(char *)));
    list[0] = safe_strdup(id);
    return list;
}

using Xconfig = kx::Owned<KXXconfig, kx_freeXconf>;

// A user name of kMaxUserName characters or more is refused, in the log.
bool user_name_fits(const char *user_name)
{
    if (std::strlen(user_name) < static_cast<size_t>(kMaxUserName))
        return true;
    log_admin("user", "add_simple_user2(): Entered User Name is [%s]\n", user_name);
    log_admin("user", "add_simple_user2(): User Name should be less than %d characters in length\n",
              kMaxUserName);
    return false;
}

// True when the primary data store has no logical token for the raw token
// yet; otherwise, or when it cannot be asked, false after the message.
bool no_logical_token_yet(KXAdmin kxa, char *raw_id)
{
    int rc = _kx_logicalTokenExists(kxa, nullptr, raw_id, 1);
    if (rc == KXE_NOTFOUND)
        return true;
    if (rc == KXE_SUCCESS)
        dprintf("add_simple_user2(): there is already a logical token for raw\ntoken %s on the "
                "primary datastore.  The local datastore may be\nout of sync with the primary.  "
                "Please inform your administrator.",
                raw_id);
    else
        dprintf("add_simple_user2(): error encountered while trying to contact\nthe primary "
                "datastore. (%s)",
                kx_err2str(rc));
    return false;
}

// Adds the raw token, which neither the local nor the primary data store
// has; false after the messages when that fails or the primary has it.
bool add_new_raw_token(KXAdmin kxa, char *raw_id, const char *user_name)
{
    int rc = _kx_rawTokenExists(kxa, raw_id, 1);
    if (rc == KXE_SUCCESS) {
        dprintf("add_simple_user2(): there is already a raw token %s on\nthe primary datastore.  "
                "The local datastore may be out of sync\nwith the primary.  Please inform your "
                "administrator.",
                raw_id);
        return false;
    }
    if (rc != KXE_NOTFOUND) {
        dprintf("add_simple_user2(): failed to contact the primary datastore server.");
        return false;
    }
    KXRawToken *raw = _kx_newUserRawToken(raw_id);
    int added = raw ? add_raw_token(kxa, raw) : -1;
    free_raw_token(raw);
    if (added == -1) {
        log_admin("user", "Adding raw token for user (%s) failed.", user_name);
        dprintf("Adding raw token for user (%s) failed. (raw token=%s)", user_name, raw_id);
        return false;
    }
    return true;
}

// Makes sure that the raw token exists: a new one is added; an existing
// one hands its screen configuration, if it has one, to *xconf.  False
// after the messages when that fails.
bool prepare_raw_token(KXAdmin kxa, char *raw_id, const char *user_name, Xconfig *xconf)
{
    int rc = _kx_rawTokenExists(kxa, raw_id, 0);
    if (rc == KXE_NOTFOUND)
        return add_new_raw_token(kxa, raw_id, user_name);
    if (rc != KXE_SUCCESS) {
        dprintf("add_simple_user2(): failed to contact the local datastore server.");
        return false;
    }
    KXXconfig *found_xconf = nullptr;
    int found = kx_getXconfByTokenID(kxa, raw_id, &found_xconf);
    xconf->reset(found_xconf);
    if (found != KXE_SUCCESS && found != KXE_NOTFOUND) {
        log_admin("user", "Checking for Xconf info for user (%s) failed.", user_name);
        dprintf("Checking for Xconf info for user (%s) failed. (raw token=%s)", user_name, raw_id);
        return false;
    }
    return true;
}

// Adds the user's logical token, linked to the raw token; false after the
// messages when that fails.
bool add_user_logical_token(KXAdmin kxa, const std::string &logical_id, char *raw_id,
                            char *server_name, int server_port, const char *user_name)
{
    KXLogicalToken *lt = allocate_logical_token();
    lt->id = safe_strdup(logical_id.c_str());
    lt->session_type = safe_strdup("default");
    lt->server_name = safe_strdup(server_name);
    lt->server_port = server_port;
    lt->raw_token_ids = single_id(raw_id);
    int rc = add_logical_token(kxa, lt);
    free_logical_token(lt);
    if (rc == -1) {
        dprintf("add_simple_user2(): Could not add logical token for user %s. (raw token=%s)",
                user_name, raw_id);
        log_admin("user", "Adding logical token for user (%s) failed.", user_name);
        return false;
    }
    return true;
}

// Gives the raw token's screen configuration to the logical token (one
// that has one already keeps it); false after the messages when that fails.
bool promote_xconf(KXAdmin kxa, Xconfig xconf, const std::string &logical_id, const char *user_name,
                   const char *raw_id)
{
    std::free(xconf->id);
    xconf->id = safe_strdup(logical_id.c_str());
    int rc = kx_addXconf(kxa, xconf.get(), 0);
    xconf.reset();
    if (rc != KXE_SUCCESS && rc != KXE_EXISTS) {
        dprintf("add_simple_user2(): failed to promote Xconf info (%s) for user %s. (raw token=%s)",
                kx_err2str(rc), user_name, raw_id);
        log_admin("user", "Promoting Xconfig info for user (%s) failed.", user_name);
        return false;
    }
    return true;
}

// Adds the user entry with the id, linked to the logical token; false after
// the messages when that fails.
bool add_user_entry(KXAdmin kxa, const char *uid, const std::string &logical_id,
                    const char *user_name, char *other_info, const char *raw_id)
{
    KXUser *u = allocate_user();
    u->id = safe_strdup(uid);
    u->name = safe_strdup(user_name);
    u->other_info = safe_strdup(other_info);
    u->logical_token_ids = single_id(logical_id.c_str());
    kx::CString stored(add_user(kxa, u, 0));
    free_user(u);
    if (!stored) {
        dprintf(
            "add_simple_user2(): Could not add user into the datastore for user %s. (raw token=%s)",
            user_name, raw_id);
        log_admin("user", "Adding user (%s) to datastore failed.", user_name);
        return false;
    }
    return true;
}

// Waits for the new user to show on the local server, which may be a copy
// that has not caught up yet; logs it when the user is not there in time.
void wait_for_replica(KXAdmin kxa, char *uid, const char *user_name, const char *raw_id)
{
    int present = 0;
    for (int i = 0; i < kReplicationTries; ++i) {
        present = user_exists(kxa, uid);
        if (present != 0)
            break;
        sleep(kReplicationPause);
    }
    if (present == 0) {
        log_admin("user", "User (%s) is not in the secondary yet.", user_name);
        dprintf("User %s (raw token=%s) is not in the secondary yet.", user_name, raw_id);
    }
}

}  // namespace

char *add_simple_user2(KXAdmin kxa, char *raw_id, char *server_name, int server_port,
                       char *user_name, char *other_info)
{
    if (!kxa || !raw_id || !user_name)
        return nullptr;
    if (!user_name_fits(user_name) || !no_logical_token_yet(kxa, raw_id))
        return nullptr;
    kx::CString uid(gen_unique_user_id(kxa));
    if (!uid)
        return nullptr;

    Xconfig xconf;
    if (!prepare_raw_token(kxa, raw_id, user_name, &xconf))
        return nullptr;
    std::string logical_id = "user." + std::string(uid.get());
    if (!add_user_logical_token(kxa, logical_id, raw_id, server_name, server_port, user_name))
        return nullptr;
    if (xconf && !promote_xconf(kxa, std::move(xconf), logical_id, user_name, raw_id))
        return nullptr;
    if (!add_user_entry(kxa, uid.get(), logical_id, user_name, other_info, raw_id))
        return nullptr;
    dlprintf("a", "Created datastore user |%s|\n", uid.get());
    log_admin("user", "User (%s) successfully added.", user_name);
    wait_for_replica(kxa, uid.get(), user_name, raw_id);
    return uid.release();
}

char *add_simple_user3(KXAdmin kxa, KXRawToken *raw, KXLogicalToken *lt, KXUser *u)
{
    if (!kxa || !raw || !lt || !u)
        return nullptr;
    kx::CString uid(gen_unique_user_id(kxa));
    if (!uid)
        return nullptr;
    if (add_raw_token(kxa, raw) == -1) {
        dprintf("add_simple_user3(): Could not add raw token\n");
        return nullptr;
    }
    std::string logical_id = "user." + std::string(uid.get());
    std::free(lt->id);
    lt->id = safe_strdup(logical_id.c_str());
    kx_free_array(lt->raw_token_ids);
    lt->raw_token_ids = single_id(raw->id);
    if (add_logical_token(kxa, lt) == -1) {
        dprintf("add_simple_user3(): Could not add logical token\n");
        return nullptr;
    }
    std::free(u->id);
    u->id = safe_strdup(uid.get());
    kx_free_array(u->logical_token_ids);
    u->logical_token_ids = single_id(logical_id.c_str());
    kx::CString stored(add_user(kxa, u, 0));
    if (!stored) {
        dprintf("add_simple_user3(): Could not add user\n");
        return nullptr;
    }
    dlprintf("a", "got user |%s|\n", uid.get());
    return uid.release();
}

int edit_simple_user(KXAdmin kxa, char *raw_id, char *server_name, int server_port, char *user_name,
                     char *other_info)
{
    KXLogicalToken *lt = raw_token_id_to_logical_token(kxa, raw_id);
    if (!lt) {
        dprintf("edit_simple_user(): Could not translate rt to lt.");
        return -1;
    }
    bool changed = false;
    if (!same_text(server_name, lt->server_name) || server_port != lt->server_port) {
        std::free(lt->server_name);
        lt->server_name = strip_leading_and_trailing_whitespace(server_name);
        lt->server_port = server_port;
        if (modify_logical_token(kxa, lt) == -1) {
            dprintf("edit_simple_user(): Modify LDAP logical token failed.");
            free_logical_token(lt);
            return -1;
        }
        changed = true;
    }
    KXUser *u = logical_token_id_to_user(kxa, lt->id);
    free_logical_token(lt);
    if (!u) {
        dprintf("edit_simple_user(): Could not get LDAP user.");
        return -1;
    }
    if (same_text(user_name, u->name) && same_text(other_info, u->other_info)) {
        free_user(u);
        return changed ? KXE_SUCCESS : KXE_NOCHANGE;
    }
    std::free(u->name);
    u->name = safe_strdup(user_name);
    std::free(u->other_info);
    u->other_info = strip_leading_and_trailing_whitespace(other_info);
    int rc = modify_user(kxa, u);
    free_user(u);
    if (rc == -1) {
        dprintf("edit_simple_user(): Modify LDAP user failed.");
        return -1;
    }
    return KXE_SUCCESS;
}

int delete_simple_user(KXAdmin kxa, char *raw_id)
{
    int result = -1;
    char **users = nullptr;
    if (_kx_getUidByRid(kxa, raw_id, &users) == KXE_SUCCESS) {
        for (int i = 0; users[i]; ++i)
            if (delete_user(kxa, users[i]) == 0)
                result = 0;
        kx_free_array(users);
    } else {
        char **logical = nullptr;
        if (_kx_getLidByRid(kxa, raw_id, &logical) != KXE_SUCCESS) {
            if (raw_token_exists(kxa, raw_id) != 1)
                return KXE_NOTFOUND;
            result = delete_raw_token(kxa, raw_id);
        } else {
            for (int i = 0; logical[i]; ++i)
                if (delete_logical_token(kxa, logical[i]) == 0)
                    result = 0;
            kx_free_array(logical);
        }
    }
    if (result == 0)
        log_admin("user", "Successfully deleted user for token id '%s'.", p(raw_id));
    else
        log_admin("user", "Error deleting user for token id '%s' (%s).", p(raw_id),
                  kx_err2str(result));
    return result;
}
