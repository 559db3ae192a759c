/*
 * kxlogin - what a login helper of the thin-client server does with
 * libkxadmin, as an example to start from:
 *
 *   kxlogin <raw token id> <desktop id>
 *
 * finds the user that the card (the raw token) belongs to, shows the
 * security and screen configurations that apply to the card, and records
 * the login in the user status database.  It runs as root: the session
 * binds as the administrator with the password file, and only such a
 * session may write the status database.
 *
 *   cc kxlogin.c $(pkg-config --cflags --libs kxadmin) -o kxlogin
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <admin.h>
#include <admin_crypto.h>
#include <admin_token.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: kxlogin <raw token id> <desktop id>\n");
        return 2;
    }
    /* libldap writes to its connections: a server that goes away in the
       middle of a request must not end the program. */
    signal(SIGPIPE, SIG_IGN);
    kx_err2str_init(); /* the library's messages in the user's language */
    int err = 0;
    KXAdmin kxa = open_connection(KX_MODE_PASSWD_FILE, NULL, NULL, NULL, &err);
    if (!kxa) {
        /* The cause is in the system log. */
        fprintf(stderr, "kxlogin: %s\n", kx_err2str(err));
        return 1;
    }

    /* The user: found through the logical token that lists the card;
       the status fields come from the status database when it has a
       record of the user.  The record is the caller's to free. */
    KXUser *user = raw_token_id_to_user(kxa, argv[1]);
    if (!user) {
        fprintf(stderr, "kxlogin: no user owns the token %s\n", argv[1]);
        close_connection(kxa);
        return 1;
    }
    printf("user %s (%s)\n", user->id, user->name ? user->name : "");

    /* The security configuration in force: mode 1 merges in what the
       card does not set itself, from the default token or the built-in
       values (marked "*" as inherited). */
    kx_CryptoEnt_t *crypto = NULL;
    int rc = kx_getCryptoEntByTokenID(kxa, argv[1], &crypto, 1);
    if (rc == KXE_SUCCESS) {
        kx_printCryptoEnt(stdout, crypto);
        kx_freeCryptoEnt(crypto);
    } else {
        fprintf(stderr, "kxlogin: security configuration: %s\n", kx_err2str(rc));
    }

    /* The screen configuration, when the card has one. */
    KXXconfig *screen = NULL;
    if (kx_getXconfByTokenID(kxa, argv[1], &screen) == KXE_SUCCESS) {
        kx_printXconfig(stdout, screen);
        kx_freeXconf(screen);
    } else {
        printf("no screen configuration\n");
    }

    /* The login: status 1 (logged in) at this desktop, now.  add_dbm_user
       only adds a record that is not there yet; modify_ustatus, on a
       handle of the database opened for writing, stores it either way. */
    char *path = get_kxadmin_info("admin.ustatus.dbfile");
    DBM *db = path ? open_user_dbm(path, KX_MODE_PASSWD_FILE) : NULL;
    DBMUser login = {user->id, user->name, user->create_time, 1, argv[2], (int)time(NULL)};
    rc = db ? modify_ustatus(db, &login) : -1;
    if (db)
        close_user_dbm(db);
    free(path);
    if (rc == 0)
        printf("login recorded at %s\n", argv[2]);
    else
        fprintf(stderr, "kxlogin: the login could not be recorded\n");

    free_user(user);
    close_connection(kxa);
    return rc == 0 ? 0 : 1;
}
