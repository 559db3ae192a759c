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

#ifdef __cplusplus
}
#endif

#endif /* KX_ADMIN_TOKEN_H */
