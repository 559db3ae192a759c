// The security configuration store against one directory server: lookups with and without
// inheritance from the default token, iteration over many tokens, adding, replacing, deleting.
#include <algorithm>
#include <sstream>

#include "admin_private.h"
#include "kxtest.h"

namespace {

using kxt::m;
using DirCrypto = kxt::Dir;

// "id pair|pair 'origin'" of a record.
std::string show(const kx_CryptoEnt_t *e)
{
    std::string s = std::string(e->tokenID ? e->tokenID : "(null)") + " ";
    for (char **p = e->keyValue; p && *p; ++p)
        s += (p == e->keyValue ? "" : "|") + std::string(*p);
    return s + " '" + (e->origin ? e->origin : "(null)") + "'";
}

using kxt::conf_of;
const auto tok = kxt::token_ldif;

TEST_F(DirCrypto, LookupsWithAndWithoutInheritance)
{
    std::string def = kxt::rtoken_dn("default.token"), dup = kxt::rtoken_dn("cr.dup");
    kxt::Strings dns = {def,
                        kxt::rtoken_dn("cr.one"),
                        kxt::rtoken_dn("cr.two"),
                        kxt::ltoken_dn("user.cr"),
                        kxt::rtoken_dn("user.crraw"),
                        kxt::rtoken_dn("cr.trail"),
                        dup};
    ASSERT_EQ(kxt::ldapmodify(tok(def, "mode=hard") + tok(dns[1], "enc_up_type=ARCFOUR") +
                                  tok(dns[2], nullptr) + tok(dns[3], "auth_down_type=simple") +
                                  tok(dns[4], "mode=hard") +
                                  tok(dns[5], "enc_up_type=none,mode=hard,") +
                                  tok(dup, "mode=one") + tok("kxID=cr.dup," + dup, "mode=two"),
                              true),
              0);
    const std::string rest = "enc_down_type=none|auth_up_type=none|auth_down_type=none";
    const std::string merged = "default.token mode=hard|enc_up_type=none|" + rest;
    struct {
        const char *id;
        int merge, rc;
        std::string record, log;
    } lookups[] = {
        {"default.token", 0, KXE_SUCCESS, "default.token mode=hard ' '"},
        {"default.token", 1, KXE_SUCCESS, merged + " ' ****'"},
        {"cr.one", 0, KXE_SUCCESS, "cr.one enc_up_type=ARCFOUR ' '"},
        {"cr*.one", 0, KXE_NOTFOUND, ""},
        {"cr.two", 0, KXE_NOTFOUND, ""},
        {"PSEUDO.cr.one", 1, KXE_SUCCESS,
         "cr.one enc_up_type=ARCFOUR|mode=hard|" + rest + " ' ****'"},
        {"cr.two", 1, KXE_SUCCESS, merged + " '*****'"},
        {"user.cr", 1, KXE_SUCCESS,
         "user.cr auth_down_type=simple|mode=hard|enc_up_type=none|enc_down_type=none|"
         "auth_up_type=none ' ****'"},
        {"user.crraw", 0, KXE_NOTFOUND, ""},
        {"cr.trail", 0, KXE_SUCCESS, "cr.trail enc_up_type=none|mode=hard '  '"},
        {"abc", 0, KXE_INVAL, ""},
        {"cr.dup", 0, KXE_INTERNAL, "",
         "6 Error: kx_getCryptoEnt multiple entries for token 'cr.dup'\n\n"},
    };
    for (const auto &l : lookups) {
        kx_CryptoEnt_t mark{}, *e = &mark;
        kxt::clear_logs();
        EXPECT_EQ(kx_getCryptoEntByTokenID(k, m(l.id), &e, l.merge), l.rc)
            << l.id << " " << l.merge;
        kxt::Crypto own(e != &mark ? e : nullptr);
        EXPECT_NE(e, &mark) << l.id << " " << l.merge;
        EXPECT_EQ(e && e != &mark ? show(e) : "", l.record) << l.id << " " << l.merge;
        EXPECT_EQ(kxt::logs(), l.log) << l.id << " " << l.merge;
    }
    // Of two records with one id, the one the search met later comes first.
    kxt::Strings both;
    ASSERT_EQ(kx_setCryptoEnt(k, m("cr.dup"), 0), KXE_SUCCESS);
    for (kx_CryptoEnt_t *e = nullptr; kx_getCryptoEnt(&e) == KXE_SUCCESS; kx_freeCryptoEnt(e))
        both.push_back(show(e));
    EXPECT_EQ(both, (kxt::Strings{"cr.dup mode=two ' '", "cr.dup mode=one ' '"}));

    // A malformed default configuration fails every merging lookup.
    ASSERT_EQ(kxt::ldapmodify("dn: " + def +
                              "\nchangetype: modify\nreplace: kxCryptoString\n"
                              "kxCryptoString: mode=hard,mode=soft\n"),
              0);
    kx_CryptoEnt_t *e = nullptr;
    EXPECT_EQ(kxt::logged([&] { return kx_getCryptoEntByTokenID(k, m("cr.one"), &e, 1); }),
              kxt::Logged(KXE_INTERNAL, "6 ERROR: invalid key/value pair in entry.\n\n"
                                        "6 Error: While allocating and filling kx_CryptoEnt_t "
                                        "struct.\n\n"));
    EXPECT_EQ(e, nullptr);
    ASSERT_EQ(kx_getCryptoEntByTokenID(k, m("default.token"), &e, 0), KXE_SUCCESS);
    EXPECT_EQ(show(kxt::Crypto(e).get()), "default.token mode=hard|mode=soft '  '");

    // Without a stored default the built-in values are inherited.
    kxt::ldapdelete({def});
    EXPECT_EQ(kxt::logged([&] { return kx_getCryptoEntByTokenID(k, m("cr.one"), &e, 1); }),
              kxt::Logged(KXE_SUCCESS, ""));
    EXPECT_EQ(show(kxt::Crypto(e).get()),
              "cr.one enc_up_type=ARCFOUR|" + rest + "|mode=soft ' ****'");
    kxt::ldapdelete(dns);
}

TEST_F(DirCrypto, IterationOverManyTokens)
{
    kxt::Strings ids = {"default.token", "B.tok", "a.tok",    "_x.tok",
                        "a-b.tok",       "0.tok", "user.Zed", "USER.amy"};
    for (int i = 0; i < 60; ++i)
        ids.push_back("it" + std::to_string(i * 37 % 101) + ".t" + std::to_string(i));
    kxt::Strings dns = {kxt::rtoken_dn("it.plain")};
    std::string ldif = tok(dns[0], nullptr);
    for (const auto &id : ids) {
        dns.push_back(isValidToken(id.c_str()) == KX_TOKEN_LOGICAL ? kxt::ltoken_dn(id)
                                                                   : kxt::rtoken_dn(id));
        ldif += tok(dns.back(), ("mode=soft,enc_up_type=" + id).c_str());
    }
    ASSERT_EQ(kxt::ldapmodify(ldif, true), 0);
    auto iterate = [&](int merge) {
        kxt::Strings out;
        EXPECT_EQ(kx_setCryptoEnt(k, nullptr, merge), KXE_SUCCESS);
        for (kx_CryptoEnt_t *e = nullptr; kx_getCryptoEnt(&e) == KXE_SUCCESS; kx_freeCryptoEnt(e))
            out.push_back(show(e));
        return out;
    };
    std::sort(ids.begin(), ids.end());
    kxt::Strings plain, merged;
    for (const auto &id : ids) {
        plain.push_back(id + " mode=soft|enc_up_type=" + id + " '  '");
        if (id != "default.token")
            merged.push_back(id + " mode=soft|enc_up_type=" + id +
                             "|enc_down_type=none|auth_up_type=none|auth_down_type=none '  ***'");
    }
    EXPECT_EQ(iterate(0), plain);
    EXPECT_EQ(iterate(1), merged);

    // Taking past the end, or after the iteration has ended, finds nothing and
    // leaves the out-parameter alone; a new begin discards an abandoned one.
    kx_CryptoEnt_t mark{}, *e = &mark;
    EXPECT_EQ(kx_getCryptoEnt(&e), KXE_NOMOREDATA);
    kx_endCryptoEnt();
    EXPECT_EQ(kx_getCryptoEnt(&e), KXE_NOMOREDATA);
    EXPECT_EQ(e, &mark);
    ASSERT_EQ(kx_setCryptoEnt(k, nullptr, 0), KXE_SUCCESS);
    ASSERT_EQ(kx_getCryptoEnt(&e), KXE_SUCCESS);
    kx_freeCryptoEnt(e);
    EXPECT_EQ(iterate(0), plain);
    kxt::ldapdelete(dns);
    EXPECT_EQ(kx_setCryptoEnt(k, nullptr, 0), KXE_NOTFOUND);
    kx_endCryptoEnt();
}

TEST_F(DirCrypto, AddReplaceDelete)
{
    auto add = [&](const char *id, const kxt::Strings &pairs, int replace, KXAdmin on = nullptr) {
        kxt::Crypto e(allocate_cryptoEnt());
        e->tokenID = kxt::dup(id), e->keyValue = kxt::ids(pairs);
        return kx_addCryptoEnt(on ? on : k, e.get(), replace);
    };
    std::string def = kxt::rtoken_dn("default.token"), p = kxt::rtoken_dn("cr.p"),
                l = kxt::ltoken_dn("user.crl");
    kxt::ldapdelete({def});
    EXPECT_EQ(add("default.token", {"enc_up_type=ARCFOUR", "mode=hard"}, 0), KXE_SUCCESS);
    EXPECT_EQ(kxt::at(def), "objectClass: kxRawToken\nobjectClass: kxCrypto\nkxID: default.token\n"
                            "kxTokenType: user\nkxTokenState: unknown\nkxEnabled: allowed\n"
                            "kxCryptoString: enc_up_type=ARCFOUR,mode=hard");
    for (int replace : {0, 2})
        EXPECT_EQ(add("default.token", {"mode=soft"}, replace), KXE_EXISTS) << replace;
    EXPECT_EQ(conf_of(def), "kxRawToken kxCrypto enc_up_type=ARCFOUR,mode=hard ");
    EXPECT_EQ(add("default.token", {"enc_up_type=none", "mode=soft"}, 1), KXE_SUCCESS);
    EXPECT_EQ(conf_of(def), "kxRawToken kxCrypto enc_up_type=none,mode=soft ");

    // A pseudo token's configuration goes to the raw token of its stored name.
    EXPECT_EQ(add("pseudo.cr.p", {"mode=hard"}, 0), KXE_SUCCESS);
    EXPECT_EQ(conf_of(p), "kxRawToken kxCrypto mode=hard ");
    EXPECT_EQ(add("PSEUDO.cr.p", {"mode=soft"}, 1), KXE_SUCCESS);
    EXPECT_EQ(conf_of(p), "kxRawToken kxCrypto mode=soft ");
    EXPECT_EQ(kx_delCryptoEnt(k, m("pseudo.cr.p")), KXE_SUCCESS);
    EXPECT_EQ(conf_of(p), "kxRawToken ");
    EXPECT_EQ(kx_delCryptoEnt(k, m("cr.p")), KXE_NOTFOUND);
    EXPECT_EQ(add("cr.p", {"mode=hard"}, 0, anon.get()), KXE_INTERNAL);
    EXPECT_EQ(conf_of(p), "kxRawToken ");

    // A logical token must exist before it carries a configuration.
    EXPECT_EQ(add("user.crl", {"mode=hard"}, 0), KXE_NOTOKEN);
    EXPECT_EQ(conf_of(l), "-");
    ASSERT_EQ(kxt::ldapmodify(tok(l, nullptr), true), 0);
    EXPECT_EQ(add("user.crl", {"mode=hard", "enc_up_type=ARCFOUR"}, 0), KXE_SUCCESS);
    EXPECT_EQ(conf_of(l), "kxLogicalToken kxCrypto mode=hard,enc_up_type=ARCFOUR ");
    EXPECT_EQ(conf_of(kxt::rtoken_dn("user.crl")), "-");

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
    EXPECT_EQ(kx_addCryptoEnt(k, nullptr, 0), KXE_INVAL) << "no record";
    EXPECT_EQ(kx_delCryptoEnt(nullptr, m("a.b")), KXE_INVAL) << "no session";
    kxt::ldapdelete({def, p, l});
}

}  // namespace
