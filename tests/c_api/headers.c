/* Every public header of the library compiles as C, and a C program links
   with the library and calls into it. */
#include <stdio.h>
#include <string.h>

#include "admin.h"
#include "admin_crypto.h"
#include "admin_token.h"
#include "utils.h"
#include "admin_private.h"
#include "kxerrno.h"
#include "kx_dbm.h"
/* A second round must be harmless. */
#include "admin.h"
#include "kx_dbm.h"
#include "utils.h"

static int check(int ok, const char *what)
{
    if (!ok)
        fprintf(stderr, "FAILED: %s\n", what);
    return ok ? 0 : 1;
}

int main(void)
{
    int failures = 0;
    char **args = parse_args("a=1, b=2", ',');
    KXAdminStruct record;
    kx_CryptoEnt_t ent;
    DBMDesktop desktop;
    DBMUser user;
    kx_LinkedList_t node;
    RawTokenIDList *ids = NULL;

    memset(&record, 0, sizeof record);
    memset(&ent, 0, sizeof ent);
    memset(&desktop, 0, sizeof desktop);
    memset(&user, 0, sizeof user);
    memset(&node, 0, sizeof node);

    failures += check(count_args(args) == 2, "parse_args splits at the separator");
    failures += check(strcmp(args[1], "b=2") == 0, "fields are trimmed");
    free_args(args);
    failures += check(strcmp(kx_err2str(KXE_NOTFOUND), "Object not found") == 0, "kx_err2str");
    failures += check(kx_errno2kxerr(0, KXE_FILEACCESS) == KXE_SUCCESS, "kx_errno2kxerr");
    add_to_raw_token_id_list(&ids, "default.token");
    failures += check(strcmp(ids->raw_token_id, "default.token") == 0, "raw token list");
    free_raw_token_list(&ids);
    dprintf("C caller %d\n", 1);
    failures += check(close_connection(NULL) == 0, "close_connection(NULL)");
    kx_freeCryptoEnt(NULL);
    (void)record; (void)ent; (void)desktop; (void)user; (void)node;
    return failures;
}
