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
/* The library exports what its headers declare, and nothing else: it is
   built with hidden visibility. */
#pragma GCC visibility push(default)

/* Token id classes. */
#define KX_TOKEN_INVALID 0
#define KX_TOKEN_LOGICAL 1
#define KX_TOKEN_RAW 2

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

/* A logical token: between a user and the user's raw tokens. */
typedef struct KXLogicalToken {
    char *id;
    char *token_name;
    char *session_type;
    char *session_params;
    char *server_name;
    int server_port;
    char *misc1;
    char *misc2;
    char **raw_token_ids;
} KXLogicalToken;

int add_logical_token(KXAdmin kxa, KXLogicalToken *token);
int modify_logical_token(KXAdmin kxa, KXLogicalToken *token);
KXLogicalToken *get_logical_token(KXAdmin kxa, char *id);
int logical_token_exists(KXAdmin kxa, char *id);
void print_logical_token(void *unused, KXLogicalToken *token, int brief);
KXLogicalToken *allocate_logical_token(void);
void free_logical_token(KXLogicalToken *token);
int _kx_logicalTokenExists(KXAdmin kxa, char *id, char *raw_id, int on_primary);

int add_raw_token(KXAdmin kxa, KXRawToken *token);
int modify_raw_token(KXAdmin kxa, KXRawToken *token);
KXRawToken *get_raw_token(KXAdmin kxa, char *id);
int raw_token_exists(KXAdmin kxa, char *id);
void print_raw_token(void *unused, KXRawToken *token);
KXRawToken *allocate_raw_token(void);
void free_raw_token(KXRawToken *token);
int _kx_rawTokenExists(KXAdmin kxa, char *id, int on_primary);

/* From owned ids to their owners. */
char *logical_token_id_to_user_id(KXAdmin kxa, char *id);
char *raw_token_id_to_logical_token_id(KXAdmin kxa, char *id);
char *raw_token_id_to_user_id(KXAdmin kxa, char *id);
KXUser *logical_token_id_to_user(KXAdmin kxa, char *id);
KXUser *raw_token_id_to_user(KXAdmin kxa, char *id);
KXLogicalToken *raw_token_id_to_logical_token(KXAdmin kxa, char *id);
int count_user_raw_tokens(KXAdmin kxa, char *user_id);
int _kx_getLidByRid(KXAdmin kxa, char *raw_id, char ***ids);
int _kx_getUidByRid(KXAdmin kxa, char *raw_id, char ***ids);

/* Token name rules and kinds. */
int kx_isLegalToken(const char *id, const char **message);
int kx_isDtuBoundToken(const char *id);
int kx_isDsLogicalToken(const char *id);
int kx_isFixedToken(KXAdmin kxa, const char *id);
int kx_isPersonalToken(KXAdmin kxa, const char *id);
int legal_raw_token_id(char *id);

/* Links between users, logical tokens and raw tokens. */
int add_logical_token_to_user(KXAdmin kxa, char *user_id, KXLogicalToken *token);
int add_raw_token_to_logical_token(KXAdmin kxa, char *logical_id, KXRawToken *token);
int add_simple_logical_token(KXAdmin kxa, char *raw_id, char *logical_id);
int delete_raw_token(KXAdmin kxa, char *id);
int delete_logical_token(KXAdmin kxa, char *id);
int kx_raw_and_logical_tokens_exist(KXAdmin kxa, char *raw_id);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif /* KX_ADMIN_TOKEN_H */
