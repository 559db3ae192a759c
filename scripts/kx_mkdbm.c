/*
 * kx_mkdbm - create empty ndbm status databases.
 *
 *     kx_mkdbm <base path> [<base path> ...]
 *
 * Each base path gets the .dir/.pag pair that dbm_open() makes (gdbm's ndbm
 * compatibility layer).  An existing database is opened and left as it is,
 * so remove both files first for an empty one.  Exit status 0 when every
 * database could be created, 1 otherwise, 2 on a usage error.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <ndbm.h>

int main(int argc, char **argv)
{
    int status = 0;

    if (argc < 2) {
        fprintf(stderr, "usage: %s <base path> [<base path> ...]\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; i++) {
        DBM *db;

        errno = 0;
        db = dbm_open(argv[i], O_RDWR | O_CREAT, 0664);
        if (db == NULL) {
            fprintf(stderr, "%s: cannot create database %s: %s\n", argv[0],
                    argv[i], errno ? strerror(errno) : "unknown error");
            status = 1;
            continue;
        }
        dbm_close(db);
    }
    return status;
}
