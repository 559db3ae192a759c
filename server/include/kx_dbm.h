/*
 * kx_dbm.h - records of the desktop and user status databases.
 *
 * Both databases are ndbm files (a .dir and a .pag file sharing a base
 * path).  A stored value is the record's fields, each followed by the
 * byte KX_DBM_SEP, and holds at most KX_DBM_MAXVAL bytes.
 */
#ifndef KX_DBM_H
#define KX_DBM_H

/* gdbm's <ndbm.h> has no include guard: include it only once. */
#ifndef DBM_INSERT
#include <ndbm.h>
#endif

#define KX_DBM_SEP    '\x1e'
#define KX_DBM_MAXVAL 511

#ifdef __cplusplus
extern "C" {
#endif

typedef struct DBMDesktop {
    char *id;
    char *model;
    char *firmware_rev;
    char *status;
    char *last_status_time;
    char *first_conn_time;
} DBMDesktop;

typedef struct DesktopList {
    DBMDesktop *desktop;
    struct DesktopList *next;
} DesktopList;

typedef struct DBMUser {
    char *id;
    char *name;
    int create_time;
    int status;
    char *last_desktop;
    int last_time;
} DBMUser;

typedef struct UserList {
    DBMUser *user;
    struct UserList *next;
} UserList;

#ifdef __cplusplus
}
#endif

#endif /* KX_DBM_H */
