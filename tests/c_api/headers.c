/* Every public header of the library compiles as C (twice over, too), and a
   C program links with the library and calls into it. */
#include <stdio.h>
#include <string.h>

#include "admin.h"
#include "admin_crypto.h"
#include "admin_token.h"
#include "utils.h"
#include "admin_private.h"
#include "kxerrno.h"
#include "kx_dbm.h"
#include "admin.h"
#include "kx_dbm.h"
#include "utils.h"

static int failures;
#define CHECK(ok) ((ok) ? (void)0 : (void)(failures++, fprintf(stderr, "FAILED: %s\n", #ok)))

int main(void)
{
    char **args = parse_args("a=1, b=2", ',');
    RawTokenIDList *ids = NULL;
    KXAdminStruct record = {0};
    kx_CryptoEnt_t ent = {0};
    DBMDesktop desktop = {0};
    DBMUser user = {0};
    kx_LinkedList_t node = {0};

    CHECK(count_args(args) == 2 && strcmp(args[1], "b=2") == 0);
    free_args(args);
    CHECK(strcmp(kx_err2str(KXE_NOTFOUND), "Object not found") == 0);
    CHECK(kx_errno2kxerr(0, KXE_FILEACCESS) == KXE_SUCCESS);
    add_to_raw_token_id_list(&ids, "default.token");
    CHECK(strcmp(ids->raw_token_id, "default.token") == 0);
    free_raw_token_list(&ids);
    dprintf("C caller %d\n", 1);
    CHECK(close_connection(NULL) == 0);
    kx_freeCryptoEnt(NULL);
    (void)record, (void)ent, (void)desktop, (void)user, (void)node;
    return failures;
}
