/*
 * kx_dbm.h - records of the desktop and user status databases.
 *
 * Both databases are ndbm files (a .dir and a .pag file sharing a base
 * path).  A stored value is the record's fields, each followed by the
 * byte KX_DBM_SEP, and holds at most KX_DBM_MAXVAL bytes.
 */
#ifndef KX_DBM_H
#define KX_DBM_H

/* gdbm's <ndbm.h> has neither an include guard nor C++ linkage
   declarations: include it once, with C linkage. */
#ifndef DBM_INSERT
#ifdef __cplusplus
extern "C" {
#endif
#include <ndbm.h>
#ifdef __cplusplus
}
#endif
#endif

#define KX_DBM_SEP '\x1e'
#define KX_DBM_MAXVAL 511

#ifdef __cplusplus
extern "C" {
#endif
/* The library exports what its headers declare, and nothing else: it is
   built with hidden visibility. */
#pragma GCC visibility push(default)

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

#ifndef KX_ADMIN_HANDLE_DEFINED
#define KX_ADMIN_HANDLE_DEFINED
typedef struct KXAdminStruct KXAdminStruct;
typedef KXAdminStruct *KXAdmin;
#endif

/* Desktop status database. */
DBM *open_desktop_dbm(char *path, int mode);
void close_desktop_dbm(DBM *db);
int add_dbm_desktop(KXAdmin kxa, DBMDesktop *desktop);
int modify_dstatus(DBM *db, DBMDesktop *desktop);
int delete_dbm_desktop(KXAdmin kxa, char *id);
DBMDesktop *get_dbm_desktop(DBM *db, char *id);
DesktopList *get_all_dbm_desktops(DBM *db);
int dbm_desktop_exists(DBM *db, char *id);
void add_desktop_to_list(DesktopList **list, DBMDesktop *desktop);
void free_DesktopList(DesktopList **list);
void print_dbm_desktop(DBMDesktop *desktop);
DBMDesktop *fill_dbm_desktop_struct(datum value);
DBMDesktop *allocate_dbm_desktop(void);
void free_dbm_desktop(DBMDesktop *desktop);

/* User status database. */
DBM *open_user_dbm(char *path, int mode);
void close_user_dbm(DBM *db);
int add_dbm_user(KXAdmin kxa, DBMUser *user);
int modify_ustatus(DBM *db, DBMUser *user);
int delete_dbm_user(KXAdmin kxa, char *id);
DBMUser *get_dbm_user(DBM *db, char *id);
UserList *get_all_dbm_users(DBM *db);
int dbm_user_exists(DBM *db, char *id);
void add_user_to_list(UserList **list, DBMUser *user);
void free_UserList(UserList **list);
void print_dbm_user(DBMUser *user);
DBMUser *fill_dbm_user_struct(datum value);
DBMUser *allocate_dbm_user(void);
void free_dbm_user(DBMUser *user);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif /* KX_DBM_H */
