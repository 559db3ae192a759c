// The desktop status database: one record per terminal in a local ndbm
// file, keyed by the terminal id.

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

std::string time_text(const char *seconds)
{
    if (!seconds)
        return "";
    kx::CString text(time_field_to_time_string(static_cast<time_t>(std::atol(seconds))));
    return text ? text.get() : "";
}

int store(DBM *db, const DBMDesktop *d, int how, bool nulls_as_empty)
{
    if (!db || !d || !d->id)
        return -1;
    const char *fields[] = {
        d->id, d->model, d->firmware_rev, d->status, d->last_status_time, d->first_conn_time};
    for (const char *&f : fields) {
        if (!f) {
            if (!nulls_as_empty)
                return -1;
            f = "";
        }
    }
    auto value =
        kx::dbm::encode({fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]});
    return kx::dbm::store(db, d->id, value, how);
}

// The record of an id; the database is locked.
DBMDesktop *fetch(DBM *db, char *id)
{
    datum value = dbm_fetch(db, kx::dbm::key_datum(id));
    if (!value.dptr || value.dsize <= 0) {
        dlprintf("a", "No desktop record.\n");
        return nullptr;
    }
    return fill_dbm_desktop_struct(value);
}

}  // namespace

DBM *open_desktop_dbm(char *path, int mode) { return kx::dbm::open_existing(path, mode); }

void close_desktop_dbm(DBM *db) { kx::dbm::close(db); }

DBMDesktop *allocate_dbm_desktop(void)
{
    return static_cast<DBMDesktop *>(safe_malloc(sizeof(DBMDesktop)));
}

void free_dbm_desktop(DBMDesktop *d)
{
    if (!d)
        return;
    std::free(d->id);
    std::free(d->model);
    std::free(d->firmware_rev);
    std::free(d->status);
    std::free(d->last_status_time);
    std::free(d->first_conn_time);
    std::free(d);
}

DBMDesktop *fill_dbm_desktop_struct(datum value)
{
    char *f[6];
    kx::dbm::decode(value, f);
    DBMDesktop *d = allocate_dbm_desktop();
    d->id = f[0];
    d->model = f[1];
    d->firmware_rev = f[2];
    d->status = f[3];
    d->last_status_time = f[4];
    d->first_conn_time = f[5];
    return d;
}

int add_dbm_desktop(KXAdmin kxa, DBMDesktop *desktop)
{
    return kxa ? store(kxa->dstat_db, desktop, DBM_INSERT, true) : -1;
}

int modify_dstatus(DBM *db, DBMDesktop *desktop) { return store(db, desktop, DBM_REPLACE, false); }

DBMDesktop *get_dbm_desktop(DBM *db, char *id)
{
    if (!db || !id)
        return nullptr;
    kx::dbm::Access access(db, kx::dbm::Access::kRead);
    return access ? fetch(db, id) : nullptr;
}

int dbm_desktop_exists(DBM *db, char *id)
{
    if (!db || !id)
        return 0;
    kx::dbm::Access access(db, kx::dbm::Access::kRead);
    return access && dbm_fetch(db, kx::dbm::key_datum(id)).dptr ? 1 : 0;
}

int delete_dbm_desktop(KXAdmin kxa, char *id)
{
    return kx::dbm::remove(kxa ? kxa->dstat_db : nullptr, id, fetch, free_dbm_desktop,
                           "delete_dbm_desktop", "dbm_desktop");
}

void add_desktop_to_list(DesktopList **list, DBMDesktop *desktop)
{
    if (!list || !desktop)
        return;
    auto *node = static_cast<DesktopList *>(safe_malloc(sizeof(DesktopList)));
    node->desktop = desktop;
    DesktopList **link = list;
    while (*link && std::strcmp(p((*link)->desktop->id), p(desktop->id)) <= 0)
        link = &(*link)->next;
    node->next = *link;
    *link = node;
}

DesktopList *get_all_dbm_desktops(DBM *db)
{
    kx::dbm::Access access(db, kx::dbm::Access::kRead);
    if (!db || !access)
        return nullptr;
    return kx::dbm::all_records<DesktopList>(db, fill_dbm_desktop_struct,
                                             [](DesktopList *n, DBMDesktop *d) { n->desktop = d; });
}

void free_DesktopList(DesktopList **list)
{
    if (!list)
        return;
    for (DesktopList *n = *list; n;) {
        DesktopList *next = n->next;
        free_dbm_desktop(n->desktop);
        std::free(n);
        n = next;
    }
    *list = nullptr;
}

void print_dbm_desktop(DBMDesktop *d)
{
    if (!d)
        return;
    std::string last = time_text(d->last_status_time);
    std::string first = time_text(d->first_conn_time);
    std::fprintf(stderr,
                 "desktop:\n  id                 = %s\n  model              = %s\n"
                 "  firmware_rev       = %s\n  status             = %s\n"
                 "  last_status_time   = %s (%s)\n  first_conn_time    = %s (%s)\n",
                 nil(d->id), nil(d->model), nil(d->firmware_rev), nil(d->status),
                 nil(d->last_status_time), last.c_str(), nil(d->first_conn_time), first.c_str());
}
