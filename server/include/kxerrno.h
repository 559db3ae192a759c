/*
 * kxerrno.h - error codes of the administration library.
 *
 * Every library call that can fail reports 0 for success or one of the
 * negative codes below.  The numbers are part of the interface: programs
 * compare against them, so they never change.
 */
#ifndef KXERRNO_H
#define KXERRNO_H

#define KXE_SUCCESS 0
#define KXE_INTERNAL -1
#define KXE_NOCHANGE -2
#define KXE_AUTHFAIL -3
#define KXE_NOTFOUND -4
#define KXE_NOPERM -5
#define KXE_INVAL -6
#define KXE_EXISTS -7
#define KXE_TERMINUSE -8
#define KXE_NOTOKEN -9
#define KXE_NOMEM -10
#define KXE_DUPTERMID -11
#define KXE_UNREACHABLE -12
#define KXE_SOCKET -13
#define KXE_SOCKWRITE -14
#define KXE_AMTIMEOUT -15
#define KXE_FILEACCESS -16
#define KXE_SEQUENCE -17
#define KXE_NOMOREDATA -18
#define KXE_NOENT -19
#define KXE_NODB -20
/* -21 is not assigned. */
#define KXE_DETACHED -22
#define KXE_NOTINSESSION -23
#define KXE_TIMEOUT -24
#define KXE_REMOTE -25
#define KXE_CONFIG -26
#define KXE_NOBUFS -27
/* 1 is not assigned. */
#define KXE_UNKNOWN 2

/* Message catalogue of the error texts. */
#define KX_TEXT_DOMAIN "kx_libkxadmin"

#ifdef __cplusplus
extern "C" {
#endif
/* The library exports what its headers declare, and nothing else: it is
   built with hidden visibility. */
#pragma GCC visibility push(default)

char *kx_err2str(int code);
void kx_err2str_init(void);
char *kx_errNotPrivileged(void);
int kx_errno2kxerr(int err, int default_code);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif /* KXERRNO_H */
