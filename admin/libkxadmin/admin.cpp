// Administration sessions on the directory server.

#include "admin_private.h"
#include "utils.h"

extern "C" {

int DStimeout = 10;

// Directory sessions are not part of this build yet: opening one always
// fails, as it would with no directory server to reach.
KXAdmin open_connection(int, char *, char *, char *, int *error)
{
    if (error)
        *error = KXE_INTERNAL;
    dprintf("open_connection(): directory sessions are not available in this build\n");
    return nullptr;
}

int close_connection(KXAdmin)
{
    return 0;
}

} // extern "C"
