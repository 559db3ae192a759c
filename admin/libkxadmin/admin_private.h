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
/* The library exports what its headers declare, and nothing else: it is
   built with hidden visibility. */
#pragma GCC visibility push(default)

#define KX_DS_SUFFIX "o=kxdata"
#define KX_USERS_RDN "kxName=users"
#define KX_LTOKENS_RDN "kxName=logicalTokens"
#define KX_RTOKENS_RDN "kxName=rawTokens"

/* Search result disciplines of search_for_entries(). */
#define KX_SEARCH_ALL 0      /* subtree, every match */
#define KX_SEARCH_ONE 1      /* subtree, exactly one match */
#define KX_SEARCH_CHILDREN 2 /* one level, every match */

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

/* ---- administration configuration and password files ------------------ */

KXAdminStruct *allocate_kxa(void);
void free_kxa(KXAdminStruct *kxa);
int read_config_file(KXAdminStruct *kxa, const char *path);
void set_kxa_val(KXAdminStruct *kxa, const char *key, const char *value);
int check_kxa(KXAdminStruct *kxa);
char *read_passwd_file(const char *path, int *error);

/* Private to kxadmin: the keys of the administration configuration file,
   from the library's one table of them, which its reader applies.
   _kx_configKey gives the name of the index-th key (from 0; static text)
   and in *required (unless NULL) 1 when kxadmin reports the key missing
   from a file, else 0; NULL past the last key. */
const char *_kx_configKey(int index, int *required);
/* What kxadmin check reports about value as the value of key when the
   library would ignore it or it cannot work, for example "admin.server.port
   must be a number from 1 to 65535": a new string that the caller frees, or
   NULL when the value is sound or the key unknown. */
char *_kx_configProblem(const char *key, const char *value);
/* The value of key that read_config_file left for the record kxa, as a new
   string that the caller frees (the TLS keys, kept in a private part of the record,
   included); NULL when there is none or the key is not kept per record
   (admin.debug, and the time limits, which set DStimeout and DSldaptimeout
   for the whole process). */
char *_kx_configValue(const KXAdminStruct *kxa, const char *key);

/* ---- directory connection ------------------------------------------------ */

KXAdmin _kx_dsConnect(int mode, char *binddn, char *passwd, char *config_file, char *server,
                      int *error);
int kx_ldap_rebind_callback(LDAP *ld, char **dnp, char **passwdp, int *authmethodp, int freeit,
                            void *arg);
int _kx_get_authinfo(char **dn, char **passwd);
/* Opens an LDAP connection to host:port and secures it as every session's
   is: tls "none", "starttls" or "ldaps" (NULL: none), the server's
   certificate verified against cacert (NULL or "": libldap's system-wide
   defaults), each step within timeout seconds (0: no limit).  kxadmin's
   connections are made here.  NULL when any step fails, with the LDAP
   result code of that step in *rc and the reason in *reason (allocated;
   the caller frees it). */
LDAP *_kx_ldapOpen(const char *host, int port, const char *tls, const char *cacert, int timeout,
                   int *rc, char **reason);
/* 1 when an LDAP URL names the primary server of the directory server's
   configuration file by the rule that the library follows before it gives
   a referral the administrator's credentials (the same port, 389 or 636 by
   the scheme when the URL gives none, and the same host name or an address
   in common), else 0.  kxadmin check compares a replica's referral with
   kxdsd.conf by it. */
int _kx_isPrimaryURL(const char *url);

/* ---- directory entry operations ------------------------------------------ */

int add_entry(LDAP *ld, char *dn, LDAPMod **mods);
int modify_entry(LDAP *ld, char *dn, LDAPMod **mods);
int delete_entry(LDAP *ld, char *dn);
LDAPMessage *search_for_entries(LDAP *ld, char *filter, char *base, char **attrs, int attrsonly,
                                int which);
int entry_exists(LDAP *ld, char *filter, char *base);
int _kx_dsEntryExists(KXAdmin kxa, char *filter, char *base, int on_primary);
int count_child_entries(LDAP *ld, char *dn);
int delete_child_entries(LDAP *ld, char *dn);
char *normalize_search_filter(const char *filter);
int print_entry_hierarchy(LDAP *ld, char *dn, int level, int show_attributes, int sort);

extern int global_num_entries;

/* ---- security configuration store ----------------------------------------- */

struct kx_CryptoEnt_t;
struct kx_LinkedList_t;
struct KXRawToken;

struct kx_CryptoEnt_t *allocate_cryptoEnt(void);
struct kx_CryptoEnt_t *fill_crypto_struct(KXAdmin kxa, LDAPMessage *entry, int default_flag,
                                          int *error);
int _kx_cryptoStringToEnt(struct kx_CryptoEnt_t *ent, const char *crypto, int default_flag);
int isValidToken(const char *tokenID);
char *getTokenID(char *tokenID);
int add2cache_from_ldap(KXAdmin kxa, char *tokenID, LDAPMessage *result, int mergeMode);
int insert_cache(struct kx_CryptoEnt_t *ent, struct kx_LinkedList_t **list);
void free_cache(struct kx_LinkedList_t **list);
void print_cache(FILE *fd, struct kx_LinkedList_t *list);
int _modCrypto(KXAdmin kxa, struct kx_CryptoEnt_t *ent, int op);
char *constructDN(KXAdmin kxa, char *tokenID);

/* Private to the project's own programs (kxcrypto): a compare-and-swap of a
   token's configuration.  Stores ent's pairs (with ent NULL: removes the
   configuration) in one modification, provided that the pairs stored are
   still `expected`, as a lookup without merging gave them (NULL: no
   configuration was stored).  Returns KXE_SUCCESS, KX_CHANGED when another
   writer changed the configuration since it was read (nothing is written;
   read it again and retry), or another library code.  Where the schema
   gives kxCryptoString no equality rule the write is unconditional. */
#define KX_CHANGED 1
int _kx_swapCryptoEnt(KXAdmin kxa, char *tokenID, char **expected, struct kx_CryptoEnt_t *ent);

/* ---- raw tokens ------------------------------------------------------------- */

struct KXRawToken *fill_raw_token_struct(KXAdmin kxa, LDAPMessage *entry);
/* A new raw token record as the library creates it for a user's token:
   type "user", state "unknown", enabled "allowed"; NULL without memory. */
struct KXRawToken *_kx_newUserRawToken(const char *id);
/* Makes sure the entry that carries a token's per-token settings exists:
   a missing raw token entry is created, a missing logical token is
   KXE_NOTOKEN. */
int _kx_ensureTokenEntry(KXAdmin kxa, char *tokenID);

/* ---- users and logical tokens ------------------------------------------------ */

struct KXLogicalToken;

KXUser *fill_user_struct(KXAdmin kxa, LDAPMessage *entry);
struct KXLogicalToken *fill_logical_token_struct(KXAdmin kxa, LDAPMessage *entry);
int prefixMatch(const char *id, const void *table);

/* ---- screen configurations ---------------------------------------------------- */

KXXconfig *allocate_xconfig(void);
KXXconfig *fill_Xconfig_struct(KXAdmin kxa, LDAPMessage *entry);
void parse_intList(const char *text, int **result, int count);
int _modXconf(KXAdmin kxa, KXXconfig *conf, int op);

/* ---- status databases ------------------------------------------------------ */

/* Private to kxadmin: reads every record of a status database opened with
   open_desktop_dbm or open_user_dbm (users: 1 for the user database) under
   its lock.  Returns the number of records, -1 when the database cannot be
   read; *bad receives a new NULL-terminated list (kx_free_array) of
   "<id> (<reason>)" texts for the records that do not decode, or NULL. */
int _kx_checkStatusDb(DBM *db, int users, char ***bad);

/* ---- data-store server configuration -------------------------------------- */

typedef struct SubtreeNode {
    char *dn;
    struct SubtreeNode *next;
} SubtreeNode;

typedef struct TreeS {
    SubtreeNode *subtrees;
    char **referrals;
    char *replicadn;
    struct TreeS *next;
} TreeS;

typedef struct Backend {
    char **suffixes;
    char *rootdn;
    char **replicas;
    const char *type;
    TreeS *slaves;
    TreeS *masters;
} Backend;

typedef struct BackendTable {
    int count;
    int capacity;
    Backend *backends;
} BackendTable;

#define KX_DSCONF_READ_BUFFER 1024
#define KX_DSCONF_LINE_LIMIT 1000
#define KX_DSCONF_MAX_TOKENS 100

int read_ds_config(BackendTable *table);
int read_ds_config_file(BackendTable *table, const char *path);
int fp_getline(FILE *fp, int *lineno, char *buf, int bufsize, char *line, int linesize);
void fp_parse_line(char *line, int *argc, char **argv, int limit);
char *strtok_quote(char *text, const char *sep, char **pos);
Backend *new_backend(BackendTable *table, const char *type);
void free_backend(BackendTable *table);
Backend *select_backend(BackendTable *table, const char *dn);
int configure_treeS(Backend *be, int argc, char **argv, int slave);
void free_treeS(TreeS *list);
void setLocalHostname(void);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif /* KX_ADMIN_PRIVATE_H */
