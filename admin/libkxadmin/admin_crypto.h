/*
 * admin_crypto.h - security configurations of tokens.
 *
 * A configuration is a list of "key=value" pairs stored on the token's
 * directory entry as one comma-separated crypto string.
 */
#ifndef KX_ADMIN_CRYPTO_H
#define KX_ADMIN_CRYPTO_H

#include <stdio.h>
#include "admin.h"

#ifdef __cplusplus
extern "C" {
#endif
/* The library exports what its headers declare, and nothing else: it is
   built with hidden visibility. */
#pragma GCC visibility push(default)

#define KX_DEFAULT_TOKEN "default.token"
#define KX_CRYPTO_STRING_MAX 9999 /* longest crypto string stored */

typedef struct kx_CryptoEnt_t {
    char *tokenID;   /* token the configuration belongs to */
    char **keyValue; /* NULL-terminated "key=value" pairs */
    char *origin;    /* per pair: ' ' own value, '*' inherited */
    int numEntries;  /* number of pairs when read from the directory */
} kx_CryptoEnt_t;

/* Iteration over stored configurations: begin, take records, end. */
int kx_setCryptoEnt(KXAdmin kxa, char *tokenID, int mergeMode);
int kx_getCryptoEnt(kx_CryptoEnt_t **ent);
void kx_endCryptoEnt(void);

void kx_freeCryptoEnt(kx_CryptoEnt_t *ent);
void kx_printCryptoEnt(FILE *fd, const kx_CryptoEnt_t *ent);
int kx_getCryptoEntByTokenID(KXAdmin kxa, char *tokenID, kx_CryptoEnt_t **result,
                             const int mergeMode);
int kx_addCryptoEnt(KXAdmin kxa, kx_CryptoEnt_t *ent, int replace);
int kx_delCryptoEnt(KXAdmin kxa, char *tokenID);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif /* KX_ADMIN_CRYPTO_H */
