// Conditional writes against one directory server: the compare-and-swap of a
// configuration that kxcrypto uses, the requests a change sends, and the
// unconditional fallback where the schema cannot compare values
// (NoEquality, a test bed of its own).  Writers at once: DirThreads.
#include <sstream>
#include <tuple>

#include "admin_private.h"
#include "kxtest.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using kxt::m, kxt::Rows;
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
    const kxt::Strings hard = {"mode=hard"}, both = {"mode=hard", "enc_up_type=ARCFOUR"},
                       soft = {"mode=soft"}, *none = nullptr;
    const char *was_soft = "kxRawToken kxCrypto mode=soft ";
    for (auto [what, stored, expected, next, rc, after] :
         Rows<const char *, const char *, const kxt::Strings *, const kxt::Strings *, int,
              const char *>{
             {"as read", "mode=hard", &hard, &soft, KXE_SUCCESS, was_soft},
             {"changed since", "mode=soft", &hard, &both, KX_CHANGED, was_soft},
             {"read in another form", "mode=hard , enc_up_type=ARCFOUR,", &both, &soft, KXE_SUCCESS,
              was_soft},
             {"removed as read", "mode=hard", &hard, none, KXE_SUCCESS, "kxRawToken "},
             {"added to none", nullptr, none, &both, KXE_SUCCESS,
              "kxRawToken kxCrypto mode=hard,enc_up_type=ARCFOUR "},
             {"added since", "mode=soft", none, &both, KX_CHANGED, was_soft},
             {"none to none", nullptr, none, none, KXE_SUCCESS, "kxRawToken "}}) {
        put("sw.tok", stored);
        EXPECT_EQ(swap(k, "sw.tok", expected, next), rc) << what;
        EXPECT_EQ(conf_of("sw.tok"), after) << what;
    }
    kxt::ldapdelete({kxt::rtoken_dn("sw.tok")});
    EXPECT_EQ(swap(k, "sw.tok", nullptr, &hard), KXE_SUCCESS) << "a new raw token";
    EXPECT_EQ(conf_of("sw.tok"), "kxRawToken kxCrypto mode=hard ");
    EXPECT_EQ(swap(k, "bad", &hard, &soft), KXE_INVAL);
    EXPECT_EQ(swap(nullptr, "sw.tok", &hard, &soft), KXE_INVAL);
    kxt::ldapdelete({kxt::rtoken_dn("sw.tok")});
}

// A call's result with the searches and the modifications that slapd logged
// while it ran.
template <class F> std::tuple<int, int, int> trips(F call)
{
    size_t from = kxt::slurp(kxt::bed("KX_SLAPD_LOG")).size();
    int rc = call(), searches = 0, modifications = 0;
    std::istringstream log(kxt::slurp(kxt::bed("KX_SLAPD_LOG")).substr(from));
    for (std::string line; std::getline(log, line);) {
        searches += line.find(" SRCH base=") != std::string::npos;
        modifications += line.find(" MOD dn=") != std::string::npos;
    }
    return {rc, searches, modifications};
}

TEST_F(DirSwap, OneSearchAndOneModificationPerChange)
{
    put("sw.trips", "mode=hard");
    char *pairs[] = {m("mode=soft"), nullptr};
    kx_CryptoEnt_t ent{m("sw.trips"), pairs, nullptr, 0};
    KXXconfig screen{m("sw.trips"), m("1280x1024")}, other{m("sw.trips"), m("800x600")};
    ASSERT_EQ(kx_addXconf(k, &screen, 0), KXE_SUCCESS);
    const kxt::Strings soft = {"mode=soft"}, hard = {"mode=hard"};
    using Trips = std::tuple<int, int, int>;  // result, searches, modifications
    EXPECT_EQ(trips([&] { return kx_addCryptoEnt(k, &ent, 1); }), Trips(KXE_SUCCESS, 1, 1));
    EXPECT_EQ(trips([&] { return swap(k, "sw.trips", &soft, &hard); }), Trips(KXE_SUCCESS, 0, 1));
    EXPECT_EQ(trips([&] { return kx_delCryptoEnt(k, m("sw.trips")); }), Trips(KXE_SUCCESS, 1, 1));
    EXPECT_EQ(trips([&] { return kx_addXconf(k, &other, 1); }), Trips(KXE_SUCCESS, 1, 1));
    // A counter that its first increment makes, with the number 0.
    EXPECT_EQ(trips([&] { return kx_incGeneration(k, m("rawTokens")); }), Trips(0, 1, 1));
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
    std::string dn = kxt::rtoken_dn("ne.tok");
    auto entry = [&] {
        return kxt::at(dn, "objectClass kxCryptoString kxScreenResolution kxScreenRefresh");
    };
    const std::string crypto = "objectClass: kxRawToken\nobjectClass: kxCrypto\nkxCryptoString: ";
    EXPECT_LOGGED(swap(k, "ne.tok", nullptr, &hard), KXE_SUCCESS, "");
    EXPECT_LOGGED(swap(k, "ne.tok", &stale, &soft), KXE_SUCCESS, "");
    EXPECT_EQ(entry(), crypto + "mode=soft");
    EXPECT_LOGGED(kx_addCryptoEnt(k, &ent, 1), KXE_SUCCESS, "");
    EXPECT_EQ(entry(), crypto + "enc_up_type=ARCFOUR");
    EXPECT_LOGGED(kx_delCryptoEnt(k, m("ne.tok")), KXE_SUCCESS, "");
    EXPECT_EQ(entry(), "objectClass: kxRawToken");
    EXPECT_LOGGED(kx_addXconf(k, &screen, 0), KXE_SUCCESS, "");
    EXPECT_LOGGED(kx_addXconf(k, &other, 1), KXE_SUCCESS, "");
    EXPECT_EQ(entry(),
              "objectClass: kxRawToken\nobjectClass: kxXconfig\nkxScreenResolution: 800x600");
    EXPECT_LOGGED(kx_delXconfByTokenID(k, m("ne.tok")), KXE_SUCCESS, "");
    EXPECT_EQ(entry(), "objectClass: kxRawToken");
    for (int expected : {0, 1, 2})
        EXPECT_LOGGED(kx_incGeneration(k, m("users")), expected, "");
    kxt::ldapdelete({dn});
}

}  // namespace
