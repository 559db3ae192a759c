// The security configuration store against one directory server: lookups with and without
// inheritance from the default token, iteration over all tokens, adding, replacing, deleting.
#include "admin_private.h"
#include "kxtest.h"

namespace {

using kxt::conf_of, kxt::m, kxt::Rows;
const std::string rest = "enc_down_type=none|auth_up_type=none|auth_down_type=none";
using DirCrypto = kxt::Dir;

const auto tok = kxt::token_ldif;

TEST_F(DirCrypto, LookupsWithAndWithoutInheritance)
{
    std::string def = kxt::rtoken_dn("default.token"), dup = kxt::rtoken_dn("cr.dup");
    kxt::Strings dns = {def, kxt::rtoken_dn("cr.one"), kxt::ltoken_dn("user.cr"), dup};
    dns.insert(dns.end(),
               {kxt::rtoken_dn("user.crraw"), kxt::rtoken_dn("cr.trail"), kxt::rtoken_dn("Cr.up")});
    ASSERT_EQ(kxt::ldapmodify(tok(def, "mode=hard") + tok(dns[1], "enc_up_type=ARCFOUR") +
                                  tok(dns[2], "auth_down_type=simple") + tok(dns[4], "mode=hard") +
                                  tok(dns[5], "enc_up_type=none,mode=hard,") +
                                  tok(dns[6], "mode=soft") + tok(dup, "mode=one") +
                                  tok("kxID=cr.dup," + dup, "mode=two"),
                              true),
              0);
    const std::string merged = "default.token mode=hard|enc_up_type=none|" + rest;
    // The origin marks a pair of the token's own with a blank, an inherited one with "*".
    for (auto [id, merge, rc, record] : Rows<const char *, int, int, std::string>{
             {"default.token", 1, KXE_SUCCESS, merged + " ' ****'"},
             {"cr.one", 0, KXE_SUCCESS, "cr.one enc_up_type=ARCFOUR ' '"},
             {"PSEUDO.cr.one", 1, KXE_SUCCESS,
              "cr.one enc_up_type=ARCFOUR|mode=hard|" + rest + " ' ****'"},
             {"cr.none", 1, KXE_SUCCESS, merged + " '*****'"},
             {"user.cr", 1, KXE_SUCCESS,
              "user.cr auth_down_type=simple|mode=hard|enc_up_type=none|enc_down_type=none|"
              "auth_up_type=none ' ****'"},
             {"user.crraw", 0, KXE_NOTFOUND, ""},  // a logical token's id on a raw token
             {"cr.trail", 0, KXE_SUCCESS, "cr.trail enc_up_type=none|mode=hard '  '"},
             {"abc", 0, KXE_INVAL, ""}}) {
        kx_CryptoEnt_t mark{}, *e = &mark;
        EXPECT_LOGGED(kx_getCryptoEntByTokenID(k, m(id), &e, merge), rc, "") << id << " " << merge;
        kxt::Crypto own(e != &mark ? e : nullptr);
        EXPECT_EQ(e == &mark ? "untouched" : e ? kxt::shown(e) : "", record) << id << " " << merge;
    }
    kx_CryptoEnt_t *e = nullptr;
    EXPECT_LOGGED(kx_getCryptoEntByTokenID(k, m("cr.dup"), &e, 0), KXE_INTERNAL,
                  "6 Error: kx_getCryptoEnt multiple entries for token 'cr.dup'\n\n");
    // Every configuration in ascending order of the ids (strcmp); of two with
    // one id, the one the search met later first.
    kxt::Strings all;
    ASSERT_EQ(kx_setCryptoEnt(k, nullptr, 0), KXE_SUCCESS);
    for (kx_CryptoEnt_t *e = nullptr; kx_getCryptoEnt(&e) == KXE_SUCCESS; kx_freeCryptoEnt(e))
        all.push_back(kxt::shown(e));
    EXPECT_EQ(all, (kxt::Strings{"Cr.up mode=soft ' '", "cr.dup mode=two ' '",
                                 "cr.dup mode=one ' '", "cr.one enc_up_type=ARCFOUR ' '",
                                 "cr.trail enc_up_type=none|mode=hard '  '",
                                 "default.token mode=hard ' '", "user.cr auth_down_type=simple ' '",
                                 "user.crraw mode=hard ' '"}));

    // A malformed default configuration fails every merging lookup.
    ASSERT_EQ(kxt::ldapmodify("dn: " + def +
                              "\nchangetype: modify\nreplace: kxCryptoString\n"
                              "kxCryptoString: mode=hard,mode=soft\n"),
              0);
    EXPECT_LOGGED(kx_getCryptoEntByTokenID(k, m("cr.one"), &e, 1), KXE_INTERNAL,
                  "6 ERROR: invalid key/value pair in entry.\n\n"
                  "6 Error: While allocating and filling kx_CryptoEnt_t struct.\n\n");
    ASSERT_EQ(kx_getCryptoEntByTokenID(k, m("default.token"), &e, 0), KXE_SUCCESS);
    EXPECT_EQ(kxt::shown(kxt::Crypto(e).get()), "default.token mode=hard|mode=soft '  '");

    // Without a stored default the built-in values are inherited.
    kxt::ldapdelete({def});
    EXPECT_LOGGED(kx_getCryptoEntByTokenID(k, m("cr.one"), &e, 1), KXE_SUCCESS, "");
    EXPECT_EQ(kxt::shown(kxt::Crypto(e).get()),
              "cr.one enc_up_type=ARCFOUR|" + rest + "|mode=soft ' ****'");
    kxt::ldapdelete(dns);
}

TEST_F(DirCrypto, AddReplaceDelete)
{
    auto add = [&](const char *id, const kxt::Strings &pairs, int replace) {
        kxt::Crypto e(allocate_cryptoEnt());
        e->tokenID = kxt::dup(id), e->keyValue = kxt::ids(pairs);
        return kx_addCryptoEnt(k, e.get(), replace);
    };
    std::string def = kxt::rtoken_dn("default.token"), p = kxt::rtoken_dn("cr.p");
    kxt::ldapdelete({def});
    EXPECT_EQ(add("default.token", {"enc_up_type=ARCFOUR", "mode=hard"}, 0), KXE_SUCCESS);
    EXPECT_EQ(kxt::at(def), "objectClass: kxRawToken\nobjectClass: kxCrypto\nkxID: default.token\n"
                            "kxTokenType: user\nkxTokenState: unknown\nkxEnabled: allowed\n"
                            "kxCryptoString: enc_up_type=ARCFOUR,mode=hard");
    EXPECT_EQ(add("default.token", {"mode=soft"}, 0), KXE_EXISTS);
    EXPECT_EQ(conf_of(def), "kxRawToken kxCrypto enc_up_type=ARCFOUR,mode=hard ");
    EXPECT_EQ(add("default.token", {"enc_up_type=none", "mode=soft"}, 1), KXE_SUCCESS);
    EXPECT_EQ(conf_of(def), "kxRawToken kxCrypto enc_up_type=none,mode=soft ");

    // A pseudo token's configuration goes to the raw token of its stored name.
    EXPECT_EQ(add("pseudo.cr.p", {"mode=hard"}, 0), KXE_SUCCESS);
    EXPECT_EQ(conf_of(p), "kxRawToken kxCrypto mode=hard ");
    EXPECT_EQ(kx_delCryptoEnt(k, m("pseudo.cr.p")), KXE_SUCCESS);
    EXPECT_EQ(conf_of(p), "kxRawToken ");
    EXPECT_EQ(kx_delCryptoEnt(k, m("cr.p")), KXE_NOTFOUND);

    // The crypto string is cut after KX_CRYPTO_STRING_MAX characters.
    kxt::Strings pairs;
    std::string joined;
    for (int i = 0; i < 1000; ++i)
        pairs.push_back("k" + std::to_string(1000 + i) + "=abcd"),
            joined += (i ? "," : "") + pairs.back();
    EXPECT_EQ(add("cr.p", pairs, 0), KXE_SUCCESS);
    EXPECT_EQ(conf_of(p), "kxRawToken kxCrypto " + joined.substr(0, KX_CRYPTO_STRING_MAX) + " ");
    EXPECT_EQ(add("abc", {"mode=hard"}, 1), KXE_INVAL) << "not a token id";
    EXPECT_EQ(kx_delCryptoEnt(k, m("abc")), KXE_INVAL) << "not a token id";
    kxt::ldapdelete({def, p});
}

}  // namespace
