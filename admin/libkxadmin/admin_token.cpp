// Token name rules and kinds, and the operations that follow the links
// between users, logical tokens and raw tokens.

#include <cstdlib>
#include <cstring>
#include <string>

#include <strings.h>

#include "admin_private.h"
#include "admin_token.h"
#include "kx_records.hpp"
#include "kx_raii.hpp"
#include "utils.h"

namespace {

struct Prefix {
    const char *text;
    int length;
};

const Prefix boundTokens[] = {{"pseudo.", 7}, {"escape.", 7}, {"TerminalId.", 11}, {nullptr, 0}};
const Prefix dsLogicalTokens[] = {{"user.", 5}, {nullptr, 0}};

bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

constexpr int kMaxTokenLength = 64;

}  // namespace

// ===== name rules ==============================================================

int prefixMatch(const char *id, const void *table)
{
    if (!id || !table)
        return 0;
    for (const Prefix *p = static_cast<const Prefix *>(table); p->text; ++p)
        if (strncasecmp(id, p->text, static_cast<size_t>(p->length)) == 0)
            return 1;
    return 0;
}

int kx_isLegalToken(const char *id, const char **message)
{
    static const char *ERR_NULLPOINTER = "Token pointer is NULL";
    static const char *ERR_NEEDALPHA = "Letter required but not found";
    static const char *ERR_NEEDALNUM = "Letter or digit required but not found";
    static const char *ERR_NEEDALNUM_PREPERIOD = "Letter or digit required before period";
    static const char *ERR_BADCHARACTER = "Illegal character";
    static const char *ERR_TOOLONG = "Too long";
    static const char *ERR_NEEDALNUM_ATEND = "Final character must be letter or digit";
    static const char *ERR_NOPERIODS = "At least one period is required";

    auto fail = [&](const char *text) {
        if (message)
            *message = text;
        return 0;
    };
    if (!id)
        return fail(ERR_NULLPOINTER);

    int periods = 0;
    int length = 0;
    unsigned char prev = 0;
    for (const char *c = id; *c; ++c) {
        auto ch = static_cast<unsigned char>(*c);
        if (length == 0 && !is_letter(ch))
            return fail(ERR_NEEDALPHA);
        if (prev == '.' && !is_letter(ch) && !is_digit(ch))
            return fail(ERR_NEEDALNUM);
        if (ch == '.') {
            if (!is_letter(prev) && !is_digit(prev))
                return fail(ERR_NEEDALNUM_PREPERIOD);
            ++periods;
        } else if (!is_letter(ch) && !is_digit(ch) && ch != '-' && ch != '_') {
            return fail(ERR_BADCHARACTER);
        }
        if (++length > kMaxTokenLength)
            return fail(ERR_TOOLONG);
        prev = ch;
    }
    if (length == 0)
        return fail(ERR_NEEDALPHA);
    if (prev == '.' || prev == '-' || prev == '_')
        return fail(ERR_NEEDALNUM_ATEND);
    if (periods == 0)
        return fail(ERR_NOPERIODS);
    return 1;
}

int kx_isDtuBoundToken(const char *id)
{
    return kx_isLegalToken(id, nullptr) && prefixMatch(id, boundTokens) ? 1 : 0;
}

int kx_isDsLogicalToken(const char *id)
{
    return kx_isLegalToken(id, nullptr) && prefixMatch(id, dsLogicalTokens) ? 1 : 0;
}

int kx_isFixedToken(KXAdmin kxa, const char *id)
{
    if (!kx_isLegalToken(id, nullptr))
        return 0;
    if (kx_isDsLogicalToken(id)) {
        if (!kxa)
            return 0;
        KXLogicalToken *t = get_logical_token(kxa, const_cast<char *>(id));
        int fixed = 0;
        if (t && t->raw_token_ids && t->raw_token_ids[0])
            fixed = kx_isDtuBoundToken(t->raw_token_ids[0]);
        free_logical_token(t);
        return fixed;
    }
    return kx_isDtuBoundToken(id);
}

int kx_isPersonalToken(KXAdmin kxa, const char *id)
{
    return kx_isLegalToken(id, nullptr) && !kx_isFixedToken(kxa, id) ? 1 : 0;
}

int legal_raw_token_id(char *id)
{
    if (!id || !*id || !kx_isLegalToken(id, nullptr))
        return 0;
    int periods = 0;
    for (const char *c = id; *c; ++c)
        if (*c == '.')
            ++periods;
    return periods == 1 ? 1 : 0;
}

// ===== links =================================================================

int add_logical_token_to_user(KXAdmin kxa, char *user_id, KXLogicalToken *t)
{
    if (!kxa || !t || !t->id || user_exists(kxa, user_id) != 1) {
        dprintf("add_logical_token_to_user(): user (%s) doesn't exist\n", p(user_id));
        return -1;
    }
    if (_kx_logicalTokenExists(kxa, t->id, nullptr, 0) != KXE_NOTFOUND) {
        dprintf("add_logical_token_to_user(): logical token (%s) already exists\n", t->id);
        return -1;
    }
    auto dn = kx::record_dn(kxa, KX_LTOKENS_RDN, t->id);
    kx::Mods mods;
    kx::logical_token_attributes(mods, t);
    if (!dn || add_entry(kxa->ld, dn->data(), mods.get()) != KXE_SUCCESS) {
        dprintf("add_logical_token_to_user(): Could not add logical token\n");
        return -1;
    }
    auto user_dn = kx::record_dn(kxa, KX_USERS_RDN, user_id);
    if (!user_dn ||
        kx::modify_list(kxa, *user_dn, LDAP_MOD_ADD, "kxLogicalTokenIDs", t->id) != KXE_SUCCESS) {
        dprintf("add_logical_token_to_user(): Could not modify user\n");
        return -1;
    }
    return 0;
}

int add_raw_token_to_logical_token(KXAdmin kxa, char *logical_id, KXRawToken *t)
{
    const char *raw_id = t ? p(t->id) : "";
    if (!kxa || !t || !t->id || logical_token_exists(kxa, logical_id) != 1) {
        dprintf("add_raw_token_to_logical_token(): logical token id (%s) doesn't exist\n",
                p(logical_id));
        log_admin("user", "Error adding user token id (%s).", raw_id);
        log_admin("user", "Logical token id (%s) does not exist.", p(logical_id));
        return -1;
    }
    if (raw_token_exists(kxa, t->id) != 0) {
        dprintf("add_raw_token_to_logical_token(): raw token (%s) already exists\n", t->id);
        log_admin("user", "Error adding user token id (%s).", t->id);
        log_admin("user", "Token already exists.");
        return -1;
    }
    auto dn = kx::record_dn(kxa, KX_RTOKENS_RDN, t->id);
    kx::Mods mods;
    kx::raw_token_attributes(mods, t);
    if (!dn || add_entry(kxa->ld, dn->data(), mods.get()) != KXE_SUCCESS) {
        dprintf("add_raw_token_to_logical_token(): Could not add raw token\n");
        log_admin("user", "Error adding user token (%s).", t->id);
        log_admin("user", "Could not add raw token.");
        return -1;
    }
    auto logical_dn = kx::record_dn(kxa, KX_LTOKENS_RDN, logical_id);
    if (!logical_dn ||
        kx::modify_list(kxa, *logical_dn, LDAP_MOD_ADD, "kxRawTokenIDs", t->id) != KXE_SUCCESS) {
        dprintf("add_raw_token_to_logical_token(): Could not modify user\n");
        log_admin("user", "Error adding user token (%s).", t->id);
        log_admin("user", "Could not modify user in ldap.");
        return -1;
    }
    log_admin("user", "User token (%s) successfully added.", t->id);
    return 0;
}

int add_simple_logical_token(KXAdmin kxa, char *raw_id, char *logical_id)
{
    if (!raw_id || !logical_id)
        return -1;
    KXRawToken *raw = allocate_raw_token();
    raw->id = safe_strdup(raw_id);
    int rc = add_raw_token(kxa, raw);
    free_raw_token(raw);
    if (rc == -1)
        return -1;
    KXLogicalToken *t = allocate_logical_token();
    t->id = safe_strdup(logical_id);
    t->raw_token_ids = static_cast<char **>(safe_calloc(2, sizeof(char *)));
    t->raw_token_ids[0] = safe_strdup(raw_id);
    rc = add_logical_token(kxa, t);
    free_logical_token(t);
    return rc == 0 ? 0 : -1;
}

int delete_raw_token(KXAdmin kxa, char *id)
{
    if (!kxa || !id)
        return KXE_INVAL;
    auto dn = kx::record_dn(kxa, KX_RTOKENS_RDN, id);
    if (!dn) {
        log_admin("user", "Error deleting token (%s).", id);
        return KXE_NOBUFS;
    }
    if (kx::CString logical{raw_token_id_to_logical_token_id(kxa, id)}) {
        auto logical_dn = kx::record_dn(kxa, KX_LTOKENS_RDN, logical.get());
        int rc = logical_dn
                     ? kx::modify_list(kxa, *logical_dn, LDAP_MOD_DELETE, "kxRawTokenIDs", id)
                     : KXE_NOBUFS;
        if (rc != KXE_SUCCESS) {
            dprintf("delete_raw_token(): Could not remove raw token id (%s) from logical token id "
                    "(%s)\n",
                    id, logical.get());
            log_admin("user", "Error deleting raw token (%s) from logical token id (%s).", id,
                      logical.get());
            return rc;
        }
    }
    int rc = delete_entry(kxa->ld, dn->data());
    if (rc == KXE_SUCCESS)
        log_admin("user", "Successfully deleted token id (%s).", id);
    else
        log_admin("user", "Error deleting token (%s).", id);
    return rc;
}

int delete_logical_token(KXAdmin kxa, char *id)
{
    if (!kxa || !id)
        return -1;
    auto dn = kx::record_dn(kxa, KX_LTOKENS_RDN, id);
    if (!dn)
        return -1;
    if (kx::CString user{logical_token_id_to_user_id(kxa, id)}) {
        auto user_dn = kx::record_dn(kxa, KX_USERS_RDN, user.get());
        if (!user_dn || kx::modify_list(kxa, *user_dn, LDAP_MOD_DELETE, "kxLogicalTokenIDs", id) !=
                            KXE_SUCCESS) {
            dprintf(
                "delete_logical_token(): Could not remove logical token id (%s) from user (%s)\n",
                id, user.get());
            return -1;
        }
    }
    KXLogicalToken *t = get_logical_token(kxa, id);
    if (!t)
        return -1;
    for (int i = 0; t->raw_token_ids && t->raw_token_ids[i]; ++i)
        if (raw_token_exists(kxa, t->raw_token_ids[i]) == 1)
            delete_raw_token(kxa, t->raw_token_ids[i]);
    free_logical_token(t);
    return delete_entry(kxa->ld, dn->data()) == KXE_SUCCESS ? 0 : -1;
}

int delete_user(KXAdmin kxa, char *id)
{
    KXUser *u = get_user(kxa, id);
    if (!u)
        return -1;
    for (int i = 0; u->logical_token_ids && u->logical_token_ids[i]; ++i)
        delete_logical_token(kxa, u->logical_token_ids[i]);
    free_user(u);
    auto dn = kx::record_dn(kxa, KX_USERS_RDN, id);
    int rc = dn && delete_entry(kxa->ld, dn->data()) == KXE_SUCCESS ? 0 : -1;
    delete_dbm_user(kxa, id);
    return rc;
}

int kx_raw_and_logical_tokens_exist(KXAdmin kxa, char *raw_id)
{
    if (raw_token_exists(kxa, raw_id) != 1)
        return 0;
    kx::CString logical(raw_token_id_to_logical_token_id(kxa, raw_id));
    return logical ? 1 : 0;
}
