/*
 * admin_token.h - logical and raw tokens and the links between users and
 * tokens.
 */
#ifndef KX_ADMIN_TOKEN_H
#define KX_ADMIN_TOKEN_H

#include "admin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Token id classes. */
#define KX_TOKEN_INVALID 0
#define KX_TOKEN_LOGICAL 1
#define KX_TOKEN_RAW     2

/* A raw token: the directory object for one token id. */
typedef struct KXRawToken {
    char *id;
    char *secret;
    char *token_type;
    char *token_state;
    char *enabled;
    char *misc1;
    char *misc2;
} KXRawToken;

int add_raw_token(KXAdmin kxa, KXRawToken *token);
int modify_raw_token(KXAdmin kxa, KXRawToken *token);
KXRawToken *get_raw_token(KXAdmin kxa, char *id);
int raw_token_exists(KXAdmin kxa, char *id);
void print_raw_token(void *unused, KXRawToken *token);
KXRawToken *allocate_raw_token(void);
void free_raw_token(KXRawToken *token);
int _kx_rawTokenExists(KXAdmin kxa, char *id, int on_primary);

#ifdef __cplusplus
}
#endif

#endif /* KX_ADMIN_TOKEN_H */
