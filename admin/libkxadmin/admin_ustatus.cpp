// The user status database: one record per directory user in a local ndbm
// file, keyed by the user id.

#include <cstdlib>
#include <cstring>
#include <fcntl.h>

#include "admin_private.h"
#include "kx_dbm_access.hpp"
#include "kx_dbm_codec.hpp"
#include "kx_raii.hpp"
#include "utils.h"

namespace {

const char *nil(const char *s) { return s ? s : "(nil)"; }

std::string time_text(int seconds)
{
    kx::CString text(time_field_to_time_string(static_cast<time_t>(seconds)));
    return text ? text.get() : "";
}

const char *status_text(int status)
{
    switch (status) {
    case 0:
        return "Never";
    case 1:
        return "Logged in";
    case 2:
        return "Logged out";
    default:
        return "Unknown";
    }
}

int store(DBM *db, const DBMUser *u, int how, bool desktop_may_be_null)
{
    if (!db || !u || !u->id || !u->name)
        return -1;
    if (!u->last_desktop && !desktop_may_be_null)
        return -1;
    std::string create = std::to_string(u->create_time);
    std::string status = std::to_string(u->status);
    std::string last_time = std::to_string(u->last_time);
    auto value = kx::dbm::encode({u->id, u->name, create, status, p(u->last_desktop), last_time});
    return kx::dbm::store(db, u->id, value, how);
}

// The record of an id; the database is locked.
DBMUser *fetch(DBM *db, char *id)
{
    datum value = dbm_fetch(db, kx::dbm::key_datum(id));
    if (!value.dptr || value.dsize <= 0) {
        dlprintf("a", "No user record.\n");
        return nullptr;
    }
    return fill_dbm_user_struct(value);
}

}  // namespace

DBM *open_user_dbm(char *path, int mode) { return kx::dbm::open_existing(path, mode); }

void close_user_dbm(DBM *db) { kx::dbm::close(db); }

DBMUser *allocate_dbm_user(void) { return static_cast<DBMUser *>(safe_malloc(sizeof(DBMUser))); }

void free_dbm_user(DBMUser *u)
{
    if (!u)
        return;
    std::free(u->id);
    std::free(u->name);
    std::free(u->last_desktop);
    std::free(u);
}

DBMUser *fill_dbm_user_struct(datum value)
{
    std::string_view f[6];
    size_t found = kx::dbm::split(value, 6, f);
    auto text = [&](size_t i) { return i < found ? kx::dbm::copy(f[i]) : nullptr; };
    auto number = [&](size_t i) {
        char digits[KX_DBM_MAXVAL + 1];
        digits[i < found ? f[i].copy(digits, f[i].size()) : 0] = '\0';
        return std::atoi(digits);
    };
    DBMUser *u = allocate_dbm_user();
    u->id = text(0);
    u->name = text(1);
    u->create_time = number(2);
    u->status = number(3);
    u->last_desktop = text(4);
    u->last_time = number(5);
    return u;
}

int add_dbm_user(KXAdmin kxa, DBMUser *user)
{
    return kxa ? store(kxa->ustat_db, user, DBM_INSERT, true) : -1;
}

int modify_ustatus(DBM *db, DBMUser *user) { return store(db, user, DBM_REPLACE, false); }

DBMUser *get_dbm_user(DBM *db, char *id)
{
    if (!db || !id)
        return nullptr;
    kx::dbm::Access access(db, kx::dbm::Access::kRead);
    return access ? fetch(db, id) : nullptr;
}

int dbm_user_exists(DBM *db, char *id)
{
    if (!db || !id)
        return 0;
    kx::dbm::Access access(db, kx::dbm::Access::kRead);
    return access && dbm_fetch(db, kx::dbm::key_datum(id)).dptr ? 1 : 0;
}

int delete_dbm_user(KXAdmin kxa, char *id)
{
    return kx::dbm::remove(kxa ? kxa->ustat_db : nullptr, id, fetch, free_dbm_user,
                           "delete_dbm_user", "dbm_user");
}

void add_user_to_list(UserList **list, DBMUser *user)
{
    if (!list || !user)
        return;
    auto *node = static_cast<UserList *>(safe_malloc(sizeof(UserList)));
    node->user = user;
    UserList **link = list;
    while (*link && std::strcmp(p((*link)->user->id), p(user->id)) <= 0)
        link = &(*link)->next;
    node->next = *link;
    *link = node;
}

UserList *get_all_dbm_users(DBM *db)
{
    kx::dbm::Access access(db, kx::dbm::Access::kRead);
    if (!db || !access)
        return nullptr;
    return kx::dbm::all_records<UserList>(db, fill_dbm_user_struct,
                                          [](UserList *n, DBMUser *u) { n->user = u; });
}

void free_UserList(UserList **list)
{
    if (!list)
        return;
    for (UserList *n = *list; n;) {
        UserList *next = n->next;
        free_dbm_user(n->user);
        std::free(n);
        n = next;
    }
    *list = nullptr;
}

void print_dbm_user(DBMUser *u)
{
    if (!u)
        return;
    std::string created = time_text(u->create_time);
    std::string last = time_text(u->last_time);
    std::fprintf(stderr,
                 "user:\n  id                 = %s\n  name               = %s\n"
                 "  create_time        = %d (%s)\n  status             = %s\n"
                 "  last_desktop       = %s\n  last_time          = %d (%s)\n",
                 nil(u->id), nil(u->name), u->create_time, created.c_str(), status_text(u->status),
                 nil(u->last_desktop), u->last_time, last.c_str());
}
