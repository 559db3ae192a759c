// Conditional writes against one directory server: the compare-and-swap of a
// configuration that kxcrypto uses, the requests a change sends, and the
// unconditional fallback where the schema cannot compare values
// (NoEquality, a test bed of its own).  Writers at once: DirThreads.
#include <functional>
#include <sstream>

#include "admin_private.h"
#include "kxtest.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using kxt::m;
using DirSwap = kxt::Dir;
using NoEquality = kxt::Dir;

std::string conf_of(const std::string &id) { return kxt::conf_of(kxt::rtoken_dn(id)); }

// Puts back a raw token's entry with the crypto string (none: no configuration).
void put(const std::string &id, const char *crypto)
{
    kxt::ldapdelete({kxt::rtoken_dn(id)});
    ASSERT_EQ(kxt::ldapmodify(kxt::token_ldif(kxt::rtoken_dn(id), crypto), true), 0) << id;
}

int swap(KXAdmin k, const char *id, const kxt::Strings *expected, const kxt::Strings *next)
{
    char **old = expected ? kxt::ids(*expected) : nullptr;
    kxt::Crypto ent(next ? allocate_cryptoEnt() : nullptr);
    if (ent)
        ent->tokenID = kxt::dup(id), ent->keyValue = kxt::ids(*next);
    int rc = _kx_swapCryptoEnt(k, m(id), old, ent.get());
    kx_free_array(old);
    return rc;
}

TEST_F(DirSwap, ConditionalReplacementOfAConfiguration)
{
    const kxt::Strings hard = {"mode=hard"}, both = {"mode=hard", "enc_up_type=ARCFOUR"};
    const kxt::Strings soft = {"mode=soft"};
    struct Row {
        const char *what, *stored;
        const kxt::Strings *expected, *next;
        int rc;
        std::string after;
    } rows[] = {
        {"as read", "mode=hard", &hard, &soft, KXE_SUCCESS, "kxRawToken kxCrypto mode=soft "},
        {"changed since", "mode=soft", &hard, &both, KX_CHANGED, "kxRawToken kxCrypto mode=soft "},
        {"read in another form", "mode=hard , enc_up_type=ARCFOUR,", &both, &soft, KXE_SUCCESS,
         "kxRawToken kxCrypto mode=soft "},
        {"removed as read", "mode=hard", &hard, nullptr, KXE_SUCCESS, "kxRawToken "},
        {"removed, changed since", "mode=soft", &hard, nullptr, KX_CHANGED,
         "kxRawToken kxCrypto mode=soft "},
        {"added to none", nullptr, nullptr, &both, KXE_SUCCESS,
         "kxRawToken kxCrypto mode=hard,enc_up_type=ARCFOUR "},
        {"added since", "mode=soft", nullptr, &both, KX_CHANGED, "kxRawToken kxCrypto mode=soft "},
        {"none to none", nullptr, nullptr, nullptr, KXE_SUCCESS, "kxRawToken "},
    };
    for (const Row &r : rows) {
        put("sw.tok", r.stored);
        EXPECT_EQ(swap(k, "sw.tok", r.expected, r.next), r.rc) << r.what;
        EXPECT_EQ(conf_of("sw.tok"), r.after) << r.what;
    }
    kxt::ldapdelete({kxt::rtoken_dn("sw.tok")});
    EXPECT_EQ(swap(k, "sw.tok", nullptr, &hard), KXE_SUCCESS) << "a new raw token";
    EXPECT_EQ(conf_of("sw.tok"), "kxRawToken kxCrypto mode=hard ");
    EXPECT_EQ(swap(k, "bad", &hard, &soft), KXE_INVAL);
    EXPECT_EQ(swap(nullptr, "sw.tok", &hard, &soft), KXE_INVAL);
    kxt::ldapdelete({kxt::rtoken_dn("sw.tok")});
}

// The searches and modifications that slapd logged after `from` bytes of
// its log.
std::pair<int, int> requests_since(size_t from)
{
    std::istringstream log(kxt::slurp(kxt::bed("KX_SLAPD_LOG")).substr(from));
    std::pair<int, int> count;
    for (std::string line; std::getline(log, line);) {
        count.first += line.find(" SRCH base=") != std::string::npos;
        count.second += line.find(" MOD dn=") != std::string::npos;
    }
    return count;
}

TEST_F(DirSwap, OneSearchAndOneModificationPerChange)
{
    put("sw.trips", "mode=hard");
    char *pairs[] = {m("mode=soft"), nullptr};
    kx_CryptoEnt_t ent{m("sw.trips"), pairs, nullptr, 0};
    KXXconfig screen{m("sw.trips"), m("1280x1024")}, other{m("sw.trips"), m("800x600")};
    ASSERT_EQ(kx_addXconf(k, &screen, 0), KXE_SUCCESS);
    const kxt::Strings soft = {"mode=soft"}, hard = {"mode=hard"};
    struct Row {
        const char *what;
        std::function<int()> call;
        int rc;
        std::pair<int, int> requests;
    } rows[] = {
        {"replacing a configuration", [&] { return kx_addCryptoEnt(k, &ent, 1); }, 0, {1, 1}},
        {"kxcrypto's compare-and-swap",
         [&] { return swap(k, "sw.trips", &soft, &hard); },
         0,
         {0, 1}},
        {"deleting a configuration", [&] { return kx_delCryptoEnt(k, m("sw.trips")); }, 0, {1, 1}},
        {"replacing a screen configuration", [&] { return kx_addXconf(k, &other, 1); }, 0, {1, 1}},
        {"creating a counter", [&] { return kx_incGeneration(k, m("rawTokens")); }, 0, {1, 1}},
    };
    for (const Row &r : rows) {
        size_t from = kxt::slurp(kxt::bed("KX_SLAPD_LOG")).size();
        EXPECT_EQ(r.call(), r.rc) << r.what;
        EXPECT_EQ(requests_since(from), r.requests) << r.what;
    }
    kxt::ldapdelete({kxt::rtoken_dn("sw.trips")});
    kxt::remove_counter("rawTokens");
}

// Where the schema gives the values no equality rule, a single value cannot
// be deleted: replacements and increments are written unconditionally, and
// a compare-and-swap with a stale expectation overwrites what is stored.
TEST_F(NoEquality, ChangesAreWrittenUnconditionally)
{
    put("ne.tok", nullptr);
    const kxt::Strings hard = {"mode=hard"}, soft = {"mode=soft"}, stale = {"mode=stale"};
    char *pairs[] = {m("enc_up_type=ARCFOUR"), nullptr};
    kx_CryptoEnt_t ent{m("ne.tok"), pairs, nullptr, 0};
    KXXconfig screen{m("ne.tok"), m("1280x1024"), 60}, other{m("ne.tok"), m("800x600"), -1};
    const std::string attrs = "objectClass kxCryptoString kxScreenResolution kxScreenRefresh";
    struct Row {
        const char *what;
        std::function<int()> call;
        int rc;
        std::string after;
    } rows[] = {
        {"a configuration added", [&] { return swap(k, "ne.tok", nullptr, &hard); }, KXE_SUCCESS,
         "objectClass: kxRawToken\nobjectClass: kxCrypto\nkxCryptoString: mode=hard"},
        {"a stale swap", [&] { return swap(k, "ne.tok", &stale, &soft); }, KXE_SUCCESS,
         "objectClass: kxRawToken\nobjectClass: kxCrypto\nkxCryptoString: mode=soft"},
        {"replaced", [&] { return kx_addCryptoEnt(k, &ent, 1); }, KXE_SUCCESS,
         "objectClass: kxRawToken\nobjectClass: kxCrypto\nkxCryptoString: enc_up_type=ARCFOUR"},
        {"deleted", [&] { return kx_delCryptoEnt(k, m("ne.tok")); }, KXE_SUCCESS,
         "objectClass: kxRawToken"},
        {"a screen added", [&] { return kx_addXconf(k, &screen, 0); }, KXE_SUCCESS,
         "objectClass: kxRawToken\nobjectClass: kxXconfig\nkxScreenResolution: 1280x1024\n"
         "kxScreenRefresh: 60"},
        {"a screen replaced", [&] { return kx_addXconf(k, &other, 1); }, KXE_SUCCESS,
         "objectClass: kxRawToken\nobjectClass: kxXconfig\nkxScreenResolution: 800x600"},
        {"a screen deleted", [&] { return kx_delXconfByTokenID(k, m("ne.tok")); }, KXE_SUCCESS,
         "objectClass: kxRawToken"},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(kxt::logged(r.call), kxt::Logged(r.rc, "")) << r.what;
        EXPECT_EQ(kxt::at(kxt::rtoken_dn("ne.tok"), attrs), r.after) << r.what;
    }
    for (int expected : {0, 1, 2})
        EXPECT_EQ(kxt::logged([&] { return kx_incGeneration(k, m("users")); }),
                  kxt::Logged(expected, ""));
    kxt::ldapdelete({kxt::rtoken_dn("ne.tok")});
}

}  // namespace
