/*
 * admin.h - public records and functions of the administration library.
 *
 * A program opens a session with open_connection(), passes the returned
 * KXAdmin handle to the record functions and releases it with
 * close_connection().  The session record itself is private to the
 * library.
 */
#ifndef KX_ADMIN_H
#define KX_ADMIN_H

#include <stdio.h>

#include "kxerrno.h"
#include "kx_dbm.h"

#ifdef __cplusplus
extern "C" {
#endif
/* The library exports what its headers declare, and nothing else: it is
   built with hidden visibility. */
#pragma GCC visibility push(default)

/* Connection modes of open_connection(). */
#define KX_MODE_ANONYMOUS 1   /* anonymous bind, status databases read-only */
#define KX_MODE_PASSWORD 2    /* administrator DN, caller's password */
#define KX_MODE_PASSWD_FILE 3 /* administrator DN, password file */
#define KX_MODE_BIND_DN 4     /* caller's DN and password */

#ifndef KX_ADMIN_HANDLE_DEFINED
#define KX_ADMIN_HANDLE_DEFINED
typedef struct KXAdminStruct KXAdminStruct;
typedef KXAdminStruct *KXAdmin;
#endif

/* Seconds a probe of the primary directory server may take; 0: no limit. */
extern int DStimeout;
/* Seconds that a connection to a directory server, and each directory
   operation, may take (key admin.ldap.timeout, default 60); 0: no limit. */
extern int DSldaptimeout;

/* Sessions. */
KXAdmin open_connection(int mode, char *binddn, char *passwd, char *config_file, int *error);
int close_connection(KXAdmin kxa);
char *get_server_name(KXAdmin kxa); /* the session's own string */
char *get_defaultlocale(void);
char *get_kxadmin_info(const char *key);
int check_primary(void);
int kx_dserr2kxerr(int ldap_result);

/* The directory tree. */
void print_hierarchy(KXAdmin kxa, int show_attributes, int sort);

/* Generation counters. */
int kx_getGeneration(KXAdmin kxa, char *name);
int kx_incGeneration(KXAdmin kxa, char *name);
int kx_isGenerationValid(KXAdmin kxa, char *name, int generation);
int kx_DSConfigured(char **path);

/* Directory users. */
typedef struct KXUser {
    char *id;
    char *name;
    char *other_info;
    int create_time;
    int status;
    char *last_desktop;
    int last_time;
    char *misc1;
    char *misc2;
    char **logical_token_ids;
} KXUser;

char *add_user(KXAdmin kxa, KXUser *user, int generate);
int modify_user(KXAdmin kxa, KXUser *user);
KXUser *get_user(KXAdmin kxa, char *id);
int user_exists(KXAdmin kxa, char *id);
char *gen_unique_user_id(KXAdmin kxa);
void print_user(void *unused, KXUser *user, int brief);
KXUser *allocate_user(void);
void free_user(KXUser *user);
int fill_user_status(KXAdmin kxa, KXUser **user);
int kx_getLtokenByUser(KXAdmin kxa, char *name, char ***ids);
int delete_user(KXAdmin kxa, char *id);

/* Multihead screen configurations of tokens. */
typedef struct KXXconfig {
    char *id;
    char *screenResolution;
    int screenRefresh;
    char *screenEnablePC;
    char *screenDefaultPC;
    int *screenOrdering;
    int screenDimRows;
    int screenDimColumns;
    char *screenEnableAutoSizing;
    char *screenEnableMultiscreen;
    char *screenEnableXinerama;
} KXXconfig;

/* The screen configuration read from a directory entry (libldap's
   LDAPMessage) of the session's connection; NULL without an entry or without
   its kxID.  The caller frees it with kx_freeXconf(). */
struct ldapmsg;
KXXconfig *fill_Xconfig_struct(KXAdmin kxa, struct ldapmsg *entry);
int kx_getXconfByTokenID(KXAdmin kxa, char *tokenID, KXXconfig **result);
int kx_addXconf(KXAdmin kxa, KXXconfig *conf, int replace);
int kx_delXconfByTokenID(KXAdmin kxa, char *tokenID);
void kx_printXconfig(FILE *fd, KXXconfig *conf);
void kx_freeXconf(KXXconfig *conf);

/* Enrolment of users against raw tokens. */
struct KXRawToken;
struct KXLogicalToken;
char *add_simple_user2(KXAdmin kxa, char *raw_id, char *server_name, int server_port,
                       char *user_name, char *other_info);
char *add_simple_user3(KXAdmin kxa, struct KXRawToken *raw, struct KXLogicalToken *logical,
                       KXUser *user);
int edit_simple_user(KXAdmin kxa, char *raw_id, char *server_name, int server_port, char *user_name,
                     char *other_info);
int delete_simple_user(KXAdmin kxa, char *raw_id);

/* The primary directory server. */
int kx_getDSprimary(char **host, int *port);
int kx_isDSprimary(void);
int kx_pingDShost(char *host, int port, int timeout);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif /* KX_ADMIN_H */
