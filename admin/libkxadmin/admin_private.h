/*
 * admin_private.h - the session record and the helpers that the library's
 * record code shares.  Programs outside the library use admin.h.
 */
#ifndef KX_ADMIN_PRIVATE_H
#define KX_ADMIN_PRIVATE_H

#include <ldap.h>
#include "admin.h"
#include "utils.h"

#ifdef __cplusplus
extern "C" {
#endif

struct KXAdminStruct {
    LDAP *ld;
    int mode;
    char *server_name;
    int server_port;
    char *user_name;
    char *subtree;
    char *defaultlocale;
    DBM *dstat_db;
    DBM *ustat_db;
    char *dstatus_fname;
    char *ustatus_fname;
};

#ifdef __cplusplus
}
#endif

#endif /* KX_ADMIN_PRIVATE_H */
