/*
 * kx_mkdbm - create empty ndbm status databases, or store a record in one.
 *
 *     kx_mkdbm <base path> [<base path> ...]
 *     kx_mkdbm -s <base path> <key> <value>
 *
 * Each base path gets the .dir/.pag pair that dbm_open() makes (gdbm's ndbm
 * compatibility layer).  An existing database is opened and left as it is,
 * so remove both files first for an empty one.  With -s the value (its
 * bytes as given, without a terminating zero) is stored under the key in an
 * existing database, replacing any value there.  Exit status 0 on success,
 * 1 otherwise, 2 on a usage error.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <ndbm.h>

static int store(char *base, char *key, char *value)
{
    DBM *db = dbm_open(base, O_RDWR, 0);
    datum k = {key, (int)strlen(key)}, v = {value, (int)strlen(value)};
    int rc;

    if (db == NULL) {
        fprintf(stderr, "kx_mkdbm: cannot open database %s\n", base);
        return 1;
    }
    rc = dbm_store(db, k, v, DBM_REPLACE);
    dbm_close(db);
    return rc == 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    int status = 0;

    if (argc == 5 && strcmp(argv[1], "-s") == 0)
        return store(argv[2], argv[3], argv[4]);
    if (argc < 2 || argv[1][0] == '-') {
        fprintf(stderr,
                "usage: %s <base path> [<base path> ...]\n"
                "       %s -s <base path> <key> <value>\n",
                argv[0], argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; i++) {
        DBM *db;

        errno = 0;
        db = dbm_open(argv[i], O_RDWR | O_CREAT, 0664);
        if (db == NULL) {
            fprintf(stderr, "%s: cannot create database %s: %s\n", argv[0], argv[i],
                    errno ? strerror(errno) : "unknown error");
            status = 1;
            continue;
        }
        dbm_close(db);
    }
    return status;
}
