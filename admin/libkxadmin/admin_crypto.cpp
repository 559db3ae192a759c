// Security configurations of tokens: the record and its crypto string, the
// per-iteration cache with lookup and inheritance from the default token.
// The changes written to the directory are in admin_crypto_store.cpp.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <strings.h>

#include "admin_crypto.h"
#include "admin_private.h"
#include "admin_token.h"
#include "kx_crypto.hpp"
#include "kx_crypto_keys.hpp"
#include "kx_ldap.hpp"
#include "kx_raii.hpp"
#include "kx_swap.hpp"
#include "kx_text.hpp"
#include "utils.h"

using kx::crypto::dup_heap;
using kx::crypto::kBuffer;
using kx::crypto::kCryptoBuffer;

namespace {

constexpr char kAllTokensFilter[] =
    "(&(objectclass=kxCrypto)(|(objectclass=kxRawToken)(objectclass=kxLogicalToken)))";

// ---- iteration state, one per thread, calls serialised by one_lane ---------
//
// Each thread has an iteration of its own, so that threads may iterate and
// look up (a lookup is an iteration) at the same time, and the lookups of
// writers do not disturb another thread's iteration.

std::mutex one_lane;
struct Iteration {
    kx_LinkedList_t *cacheList = nullptr;
    kx_LinkedList_t *cacheCurr = nullptr;
    kx_CryptoEnt_t *defaultConfig = nullptr;
    int defaultSpecified = 0;
    int mergeMode = 0;
    ~Iteration();
};
thread_local Iteration iteration;

void release_record(void *p) { kx_freeCryptoEnt(static_cast<kx_CryptoEnt_t *>(p)); }

// Discards the state of an iteration; one_lane is held.
void reset_iteration()
{
    iteration.mergeMode = 0;
    kx_freeCryptoEnt(iteration.defaultConfig);
    iteration.defaultConfig = nullptr;
    iteration.defaultSpecified = 0;
    free_cache(&iteration.cacheList);
}

// A thread that ends in the middle of an iteration leaves nothing behind.
Iteration::~Iteration()
{
    kx_freeCryptoEnt(defaultConfig);
    free_cache(&cacheList);
}

// Appends to *pairs a copy of each entry of defaults whose key *pairs lacks,
// in the order of defaults: what merge_keyValue_arrays gives with *pairs as
// destination, without copying the pairs already there.
int append_missing_pairs(char ***pairs, char **defaults)
{
    int own = count_args(*pairs);
    std::vector<const char *> missing;
    for (int i = 0; defaults && defaults[i]; ++i) {
        const char *eq = std::strchr(defaults[i], '=');
        std::string key(defaults[i],
                        eq ? static_cast<size_t>(eq - defaults[i]) : std::strlen(defaults[i]));
        if (key.empty())
            continue;
        if (!*pairs || key_index_of(*pairs, own, key.c_str()) < 0)
            missing.push_back(defaults[i]);
    }
    if (missing.empty())
        return 0;
    auto **grown = static_cast<char **>(
        std::realloc(*pairs, (static_cast<size_t>(own) + missing.size() + 1) * sizeof(char *)));
    if (!grown)
        return KXE_NOMEM;
    *pairs = grown;
    for (const char *m : missing) {
        if (!(grown[own] = strdup(m)))
            return KXE_NOMEM;
        grown[++own] = nullptr;
    }
    return 0;
}

// A new origin of own blanks and total - own asterisks.
char *make_origin(int own, int total)
{
    std::string o(static_cast<size_t>(own), ' ');
    o.append(static_cast<size_t>(std::max(total - own, 0)), '*');
    return dup_heap(o);
}

}  // namespace

std::string kx::crypto::crypto_string(char **pairs)
{
    std::string s;
    for (int i = 0; pairs && pairs[i]; ++i) {
        if (i > 0)
            s += ',';
        s += pairs[i];
    }
    if (s.size() > kCryptoBuffer - 1)
        s.resize(kCryptoBuffer - 1);
    return s;
}

char *kx::crypto::dup_heap(const std::string &s)
{
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    if (p)
        std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// ===== the record ===========================================================

kx_CryptoEnt_t *allocate_cryptoEnt(void)
{
    return static_cast<kx_CryptoEnt_t *>(std::calloc(1, sizeof(kx_CryptoEnt_t)));
}

void kx_freeCryptoEnt(kx_CryptoEnt_t *ent)
{
    if (!ent)
        return;
    std::free(ent->tokenID);
    std::free(ent->origin);
    free_args(ent->keyValue);
    std::free(ent);
}

void kx_printCryptoEnt(FILE *fd, const kx_CryptoEnt_t *ent)
{
    if (!fd || !ent)
        return;
    fprintf(fd, "Token ID: %s\n", ent->tokenID ? ent->tokenID : "NULL");
    fprintf(fd, "\t%-15s\t%-15s\t%-15s\n", "Key", "Value", "Inherited");
    fprintf(fd, "\t---\t\t-----\t\t-------\n");
    if (!ent->keyValue)
        return;
    // A caller-built record may carry fewer marks than pairs, or none: the
    // pairs beyond the marks are shown as the token's own.
    size_t marks = ent->origin ? std::strlen(ent->origin) : 0;
    for (size_t i = 0; ent->keyValue[i]; ++i) {
        char *copy = strdup(ent->keyValue[i]);
        if (!copy) {
            dprintf("Error: Out of memory\n");
            return;
        }
        char *save = nullptr;
        char *key = strtok_r(copy, "=", &save);
        char *value = key ? strtok_r(nullptr, "=", &save) : nullptr;
        fprintf(fd, "\t%-15s\t", key ? key : "");
        fprintf(fd, "%-15s\t%c\n", value ? value : "", i < marks ? ent->origin[i] : ' ');
        std::free(copy);
    }
}

int isValidToken(const char *id)
{
    if (!id)
        return KX_TOKEN_INVALID;
    size_t len = std::strlen(id);
    if (len > 5 && strncasecmp(id, "user.", 5) == 0)
        return KX_TOKEN_LOGICAL;
    if (id[0] == '.' || len == 0)
        return KX_TOKEN_INVALID;
    const char *dot = std::strchr(id + 1, '.');
    if (!dot || dot[1] == '\0')
        return KX_TOKEN_INVALID;
    return KX_TOKEN_RAW;
}

char *getTokenID(char *id)
{
    if (!id)
        return nullptr;
    if (strncasecmp(id, "pseudo", 6) == 0 && id[6] == '.')
        return id + 7;
    return id;
}

int _kx_cryptoStringToEnt(kx_CryptoEnt_t *ent, const char *crypto, int default_flag)
{
    if (!ent)
        return KXE_INVAL;
    int n = 0;
    if (crypto) {
        std::vector<std::string> fields;
        if (!kx::split_args(crypto, ',', fields)) {
            dprintf("Error: Could not obtain key/value pairs from crypto entry.\n");
            return KXE_INTERNAL;
        }
        if (!fields.empty() && fields.back().empty())
            fields.pop_back();
        ent->keyValue = static_cast<char **>(std::calloc(fields.size() + 1, sizeof(char *)));
        if (!ent->keyValue) {
            dprintf("Error: Could not obtain key/value pairs from crypto entry.\n");
            return KXE_INTERNAL;
        }
        for (const std::string &f : fields) {
            if (!(ent->keyValue[n] = dup_heap(f))) {
                dprintf("Error: Could not obtain key/value pairs from crypto entry.\n");
                return KXE_INTERNAL;
            }
            ++n;
        }
    }

    int k = 0;
    if (default_flag == 1) {
        std::vector<std::string> missing;
        for (const kx::CryptoKey &key : kx::kCryptoKeys) {
            char *value = get_value(ent->keyValue, n, key.key);
            if (!value)
                missing.push_back(std::string(key.key) + "=" + key.builtin);
            std::free(value);
        }
        k = static_cast<int>(missing.size());
        if (n + k != static_cast<int>(kx::kCryptoKeyCount)) {
            dprintf("ERROR: invalid key/value pair in entry.\n");
            return KXE_INTERNAL;
        }
        if (k > 0) {
            auto **grown = static_cast<char **>(
                std::realloc(ent->keyValue, static_cast<size_t>(n + k + 1) * sizeof(char *)));
            if (!grown) {
                dprintf("Error: Out of memory.\n");
                return KXE_NOMEM;
            }
            ent->keyValue = grown;
            for (int i = 0; i < k; ++i) {
                grown[n + i] = dup_heap(missing[static_cast<size_t>(i)]);
                grown[n + i + 1] = nullptr;
                if (!grown[n + i]) {
                    dprintf("Error: Out of memory.\n");
                    return KXE_NOMEM;
                }
            }
        }
    }
    if (!(ent->origin = make_origin(n, n + k))) {
        dprintf("Error: Out of memory.\n");
        return KXE_NOMEM;
    }
    ent->numEntries = n + k;
    return KXE_SUCCESS;
}

kx_CryptoEnt_t *fill_crypto_struct(KXAdmin kxa, LDAPMessage *entry, int default_flag, int *error)
{
    int dummy;
    if (!error)
        error = &dummy;
    *error = KXE_SUCCESS;
    kx_CryptoEnt_t *ent = allocate_cryptoEnt();
    if (!ent) {
        *error = KXE_INTERNAL;
        return nullptr;
    }
    auto fail = [&](int code, const char *message) -> kx_CryptoEnt_t * {
        if (message)
            dprintf("%s", message);
        kx_freeCryptoEnt(ent);
        *error = code;
        return nullptr;
    };

    std::optional<std::string> crypto;
    if (!entry && default_flag == 1) {
        if (!(ent->tokenID = strdup(KX_DEFAULT_TOKEN)))
            return fail(KXE_NOMEM, "Error: Out of memory.\n");
    } else {
        auto id = (entry && kxa) ? kx::first_value(kxa->ld, entry, "kxID") : std::nullopt;
        if (!id)
            return fail(KXE_INTERNAL, "Error: Could not get kxID attribute\n");
        if (!(ent->tokenID = dup_heap(*id)))
            return fail(KXE_NOMEM, "Error: Out of memory.\n");
        crypto = kx::first_value(kxa->ld, entry, "kxCryptoString");
        if (!crypto)
            return fail(KXE_INTERNAL, "Error: Could not get kxCryptoString attribute\n");
    }
    if (int rc = _kx_cryptoStringToEnt(ent, crypto ? crypto->c_str() : nullptr, default_flag))
        return fail(rc, nullptr);
    return ent;
}

// ===== the cache ==============================================================

int insert_cache(kx_CryptoEnt_t *ent, kx_LinkedList_t **list)
{
    char *key = safe_strdup(ent ? ent->tokenID : nullptr);
    if (!key) {
        free_cache(list);
        return KXE_NOMEM;
    }
    int rc = kx_addNode2List(list, key, ent, 0);
    if (rc != 0) {
        free_cache(list);
        std::free(key);
        return rc;
    }
    iteration.cacheCurr = *list;
    return 0;
}

void free_cache(kx_LinkedList_t **list)
{
    iteration.cacheCurr = nullptr;
    if (!list)
        return;
    kx_freeLinkedList(*list, release_record);
    *list = nullptr;
}

void print_cache(FILE *fd, kx_LinkedList_t *list)
{
    for (; list; list = list->next)
        if (list->node)
            kx_printCryptoEnt(fd, static_cast<const kx_CryptoEnt_t *>(list->node));
}

namespace {

void free_records(const std::vector<kx_CryptoEnt_t *> &records)
{
    for (kx_CryptoEnt_t *r : records)
        kx_freeCryptoEnt(r);
}

// Reads the entries of result into records, in result order.  With merge 1
// the first entry of the default token becomes the iteration's default
// configuration instead.  On failure the records read so far are freed.
int read_cache_records(KXAdmin kxa, LDAPMessage *result, int merge,
                       std::vector<kx_CryptoEnt_t *> &records)
{
    LDAP *ld = kxa->ld;
    bool default_met = false;
    for (LDAPMessage *e = ldap_first_entry(ld, result); e; e = ldap_next_entry(ld, e)) {
        int err = 0;
        if (merge == 1 && !default_met) {
            auto id = kx::first_value(ld, e, "kxID");
            if (!id) {
                dprintf("Error: Could not get value for kxID attribute.\n");
                free_records(records);
                return KXE_INTERNAL;
            }
            if (*id == KX_DEFAULT_TOKEN) {
                kx_CryptoEnt_t *def = fill_crypto_struct(kxa, e, 1, &err);
                if (!def) {
                    dprintf("Error: While allocating and filling kx_CryptoEnt_t struct.\n");
                    free_records(records);
                    return err;
                }
                kx_freeCryptoEnt(iteration.defaultConfig);
                iteration.defaultConfig = def;
                default_met = true;
                continue;
            }
        }
        kx_CryptoEnt_t *rec = fill_crypto_struct(kxa, e, 0, &err);
        if (!rec) {
            dprintf("Error: While allocating and filling kx_CryptoEnt_t struct.\n");
            free_records(records);
            return err;
        }
        records.push_back(rec);
    }
    return KXE_SUCCESS;
}

// The order of the records in the cache: ascending token id; among equal
// ids the one met later comes first, as if each had been put in front of
// its equals one by one.  Sorting keeps a large fill at n log n.
std::vector<size_t> cache_order(const std::vector<kx_CryptoEnt_t *> &records)
{
    std::vector<size_t> order(records.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        int c = std::strcmp(records[a]->tokenID, records[b]->tokenID);
        return c != 0 ? c < 0 : a > b;
    });
    return order;
}

// Makes the records, in cache order, the iteration's cache list, which
// then owns them.  On failure every record is freed and the list is empty.
int link_cache(std::vector<kx_CryptoEnt_t *> &records)
{
    std::vector<size_t> order = cache_order(records);
    free_cache(&iteration.cacheList);
    kx_LinkedList_t **tail = &iteration.cacheList;
    for (size_t i : order) {
        kx_LinkedList_t *node = kx_allocLinkedListNode();
        char *key = node ? safe_strdup(records[i]->tokenID) : nullptr;
        if (!key) {
            std::free(node);
            dprintf("Error: Could not add kx_CryptoEnt_t struct to iteration.cacheList.\n");
            // Records already in the list are released with it.
            for (size_t j : order)
                if (j == i)
                    break;
                else
                    records[j] = nullptr;
            free_records(records);
            free_cache(&iteration.cacheList);
            return KXE_INTERNAL;
        }
        node->key = key;
        node->node = records[i];
        *tail = node;
        tail = &node->next;
    }
    iteration.cacheCurr = iteration.cacheList;
    return KXE_SUCCESS;
}

}  // namespace

int add2cache_from_ldap(KXAdmin kxa, char *, LDAPMessage *result, int merge)
{
    if (ldap_count_entries(kxa->ld, result) <= 0 && merge != 1)
        return KXE_NOTFOUND;

    std::vector<kx_CryptoEnt_t *> records;
    if (int rc = read_cache_records(kxa, result, merge, records))
        return rc;
    if (int rc = link_cache(records))
        return rc;

    if (merge == 1 && !iteration.defaultConfig) {
        int err = 0;
        iteration.defaultConfig = fill_crypto_struct(kxa, nullptr, 1, &err);
        if (!iteration.defaultConfig) {
            dprintf("Error: While allocating and filling kx_CryptoEnt_t struct.\n");
            return err;
        }
    }
    return KXE_SUCCESS;
}

// ===== lookup ===================================================================

namespace {

// Begins an iteration (kx_setCryptoEnt); with `stored`, also hands over the
// crypto strings of the first entry found, as the directory holds them.
int begin_iteration(KXAdmin kxa, char *tokenID, int merge, std::vector<std::string> *stored)
{
    std::lock_guard<std::mutex> guard(one_lane);
    if (!kxa)
        return KXE_INVAL;
    reset_iteration();
    iteration.mergeMode = merge;

    std::string searched;
    int cls = KX_TOKEN_INVALID;
    if (tokenID) {
        cls = isValidToken(tokenID);
        if (cls == KX_TOKEN_INVALID)
            return KXE_INVAL;
        searched = cls == KX_TOKEN_RAW ? getTokenID(tokenID) : tokenID;
        if (searched == KX_DEFAULT_TOKEN)
            iteration.defaultSpecified = 1;
    }

    const char *subtree = p(kxa->subtree);
    std::string id = kx::filter_value(searched);
    std::string filter, base;
    if (!tokenID) {
        filter = kx::cut(kBuffer, "%s", kAllTokensFilter);
        base = kx::cut(kBuffer, "%s", subtree);
    } else if (merge == 1 && std::strcmp(tokenID, KX_DEFAULT_TOKEN) == 0) {
        filter = kx::cut(kBuffer, "(&(kxID=%s)(objectclass=kxCrypto))", KX_DEFAULT_TOKEN);
        base = kx::cut(kBuffer, "%s, %s", KX_RTOKENS_RDN, subtree);
    } else if (merge == 1) {
        filter = kx::cut(kBuffer,
                         "(&(|(kxID=%s)(kxID=%s))(objectclass=kxCrypto)(|(objectclass=kxRawToken)"
                         "(objectclass=kxLogicalToken)))",
                         id.c_str(), KX_DEFAULT_TOKEN);
        base = kx::cut(kBuffer, "%s", subtree);
    } else {
        filter = kx::cut(kBuffer, "(&(kxID=%s)(objectclass=kxCrypto))", id.c_str());
        base = kx::cut(kBuffer, "%s, %s", cls == KX_TOKEN_RAW ? KX_RTOKENS_RDN : KX_LTOKENS_RDN,
                       subtree);
    }

    kx::LdapMessage result(
        search_for_entries(kxa->ld, filter.data(), base.data(), nullptr, 0, KX_SEARCH_ALL));
    if (result && stored)
        if (LDAPMessage *first = ldap_first_entry(kxa->ld, result.get()))
            *stored = kx::all_values(kxa->ld, first, "kxCryptoString");
    if (result)
        return add2cache_from_ldap(kxa, tokenID, result.get(), merge);
    if (merge != 1)
        return KXE_NOTFOUND;
    return check_primary() != KXE_SUCCESS ? KXE_INTERNAL : KXE_SUCCESS;
}

}  // namespace

int kx_setCryptoEnt(KXAdmin kxa, char *tokenID, int merge)
{
    return begin_iteration(kxa, tokenID, merge, nullptr);
}

int kx_getCryptoEnt(kx_CryptoEnt_t **out)
{
    std::lock_guard<std::mutex> guard(one_lane);
    if (!out)
        return KXE_INVAL;
    if (!iteration.cacheCurr && (iteration.cacheList || !iteration.defaultConfig))
        return KXE_NOMOREDATA;

    kx_CryptoEnt_t *rec;
    int own, total;
    if (iteration.cacheCurr) {
        rec = static_cast<kx_CryptoEnt_t *>(iteration.cacheCurr->node);
        iteration.cacheCurr->node = nullptr;
        iteration.cacheCurr = iteration.cacheCurr->next;
        *out = rec;
        own = total = count_args(rec->keyValue);
        if (iteration.mergeMode == 1) {
            if (iteration.defaultConfig &&
                append_missing_pairs(&rec->keyValue, iteration.defaultConfig->keyValue) != 0)
                return KXE_NOMEM;
            total = count_args(rec->keyValue);
        }
    } else {
        rec = iteration.defaultConfig;
        iteration.defaultConfig = nullptr;
        *out = rec;
        own = 0;
        total = count_args(rec->keyValue);
    }
    if (iteration.defaultSpecified == 1)
        return KXE_SUCCESS;

    char *origin = make_origin(own, total);
    if (!origin) {
        dprintf("Error: Not enough memory.\n");
        kx_freeCryptoEnt(rec);
        *out = nullptr;
        return KXE_NOMEM;
    }
    std::free(rec->origin);
    rec->origin = origin;
    return KXE_SUCCESS;
}

void kx_endCryptoEnt(void)
{
    std::lock_guard<std::mutex> guard(one_lane);
    reset_iteration();
}

int kx::crypto::lookup(KXAdmin kxa, char *tokenID, kx_CryptoEnt_t **result, int merge,
                       std::vector<std::string> *stored)
{
    if (!result)
        return KXE_INVAL;
    *result = nullptr;
    int rc = begin_iteration(kxa, tokenID, merge, stored);
    if (rc != KXE_SUCCESS)
        return rc;

    kx_CryptoEnt_t *first = nullptr;
    rc = kx_getCryptoEnt(&first);
    if (rc == KXE_SUCCESS) {
        kx_CryptoEnt_t *second = nullptr;
        if (kx_getCryptoEnt(&second) == KXE_SUCCESS) {
            dprintf("Error: kx_getCryptoEnt multiple entries for token '%s'\n", p(tokenID));
            kx_freeCryptoEnt(first);
            kx_freeCryptoEnt(second);
            return KXE_INTERNAL;
        }
        kx_freeCryptoEnt(second);
    }
    kx_endCryptoEnt();
    if (rc == KXE_SUCCESS) {
        *result = first;
        return KXE_SUCCESS;
    }
    kx_freeCryptoEnt(first);
    return KXE_NOTFOUND;
}

int kx_getCryptoEntByTokenID(KXAdmin kxa, char *tokenID, kx_CryptoEnt_t **result, const int merge)
{
    return kx::crypto::lookup(kxa, tokenID, result, merge, nullptr);
}
