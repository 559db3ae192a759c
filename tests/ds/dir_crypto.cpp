// The security configuration store against one directory server: lookups with and without
// inheritance from the default token, iteration over many tokens, adding, replacing, deleting.
#include <algorithm>
#include <sstream>

#include "admin_private.h"
#include "kxtest.h"

namespace {

using kxt::m;
using DirCrypto = kxt::Dir;

// "code id pair|pair 'origin'" of a record, the code alone without one.
std::string show(int rc, const kx_CryptoEnt_t *e)
{
    std::string s = std::to_string(rc) +
                    (e ? std::string(" ") + (e->tokenID ? e->tokenID : "(null)") + " " : "");
    for (char **p = e ? e->keyValue : nullptr; p && *p; ++p)
        s += (p == e->keyValue ? "" : "|") + std::string(*p);
    return e ? s + " '" + (e->origin ? e->origin : "(null)") + "'" : s;
}

std::string look(KXAdmin k, const char *id, int merge)
{
    kx_CryptoEnt_t mark{}, *e = &mark;
    int rc = kx_getCryptoEntByTokenID(k, m(id), &e, merge);
    kxt::Crypto own(e != &mark ? e : nullptr);
    return e == &mark ? "out-parameter untouched" : show(rc, e);
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
                        kxt::ltoken_dn("cr.lt"),
                        kxt::rtoken_dn("cr.trail"),
                        dup};
    ASSERT_EQ(kxt::ldapmodify(tok(def, "mode=hard") + tok(dns[1], "enc_up_type=ARCFOUR") +
                                  tok(dns[2], nullptr) + tok(dns[3], "auth_down_type=simple") +
                                  tok(dns[4], "mode=hard") + tok(dns[5], "mode=hard") +
                                  tok(dns[6], "enc_up_type=none,mode=hard,") +
                                  tok(dup, "mode=one") + tok("kxID=cr.dup," + dup, "mode=two"),
                              true),
              0);
    const std::string rest = "enc_down_type=none|auth_up_type=none|auth_down_type=none";
    const std::string merged = "0 default.token mode=hard|enc_up_type=none|" + rest;
    struct {
        const char *id;
        int merge;
        std::string want;
    } lookups[] = {
        {"default.token", 0, "0 default.token mode=hard ' '"},
        {"default.token", 1, merged + " ' ****'"},
        {"pseudo.default.token", 1, merged + " ' ****'"},
        {"cr.one", 0, "0 cr.one enc_up_type=ARCFOUR ' '"},
        {"cr.one", 2, "0 cr.one enc_up_type=ARCFOUR ' '"},
        {"cr*.one", 0, "-4"},
        {"cr.two", 0, "-4"},
        {"PSEUDO.cr.one", 1, "0 cr.one enc_up_type=ARCFOUR|mode=hard|" + rest + " ' ****'"},
        {"cr.two", 1, merged + " '*****'"},
        {"cr.none", 1, merged + " '*****'"},
        {"user.cr", 1,
         "0 user.cr auth_down_type=simple|mode=hard|enc_up_type=none|enc_down_type=none|"
         "auth_up_type=none ' ****'"},
        {"user.crraw", 0, "-4"},
        {"cr.lt", 0, "-4"},
        {"cr.trail", 0, "0 cr.trail enc_up_type=none|mode=hard '  '"},
        {"abc", 0, "-6"},
        {"user.", 1, "-6"},
        {".abc", 0, "-6"},
        {"abc.", 1, "-6"},
        {"", 0, "-6"},
        {"cr.dup", 0, "-1"},
    };
    for (const auto &l : lookups) {
        kxt::clear_logs();
        EXPECT_EQ(look(k, l.id, l.merge), l.want) << l.id << " " << l.merge;
    }
    EXPECT_EQ(kxt::logs(), "6 Error: kx_getCryptoEnt multiple entries for token 'cr.dup'\n\n");
    std::string both;  // of two records with one id, the one the search met later comes first
    ASSERT_EQ(kx_setCryptoEnt(k, m("cr.dup"), 0), KXE_SUCCESS);
    for (kx_CryptoEnt_t *e = nullptr; kx_getCryptoEnt(&e) == KXE_SUCCESS; kx_freeCryptoEnt(e))
        both += show(0, e) + " ";
    EXPECT_EQ(both, "0 cr.dup mode=two ' ' 0 cr.dup mode=one ' ' ");

    // A malformed default configuration fails every merging lookup.
    ASSERT_EQ(kxt::ldapmodify("dn: " + def +
                              "\nchangetype: modify\nreplace: kxCryptoString\n"
                              "kxCryptoString: mode=hard,mode=soft\n"),
              0);
    kxt::clear_logs();
    EXPECT_EQ(look(k, "cr.one", 1), "-1");
    EXPECT_EQ(kxt::logs(), "6 ERROR: invalid key/value pair in entry.\n\n"
                           "6 Error: While allocating and filling kx_CryptoEnt_t struct.\n\n");
    EXPECT_EQ(look(k, "default.token", 0), "0 default.token mode=hard|mode=soft '  '");

    // Without a stored default the built-in values are inherited.
    kxt::ldapdelete({def});
    kxt::clear_logs();
    EXPECT_EQ(look(k, "cr.one", 1), "0 cr.one enc_up_type=ARCFOUR|" + rest + "|mode=soft ' ****'");
    EXPECT_EQ(kxt::logs(), "");
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
        std::string out;
        EXPECT_EQ(kx_setCryptoEnt(k, nullptr, merge), KXE_SUCCESS);
        for (kx_CryptoEnt_t *e = nullptr; kx_getCryptoEnt(&e) == KXE_SUCCESS; kx_freeCryptoEnt(e))
            out += show(0, e) + "\n";
        return out;
    };
    std::sort(ids.begin(), ids.end());
    std::string plain, merged,
        rest = "|enc_down_type=none|auth_up_type=none|auth_down_type=none '  ***'\n";
    for (const auto &id : ids) {
        plain += "0 " + id + " mode=soft|enc_up_type=" + id + " '  '\n";
        merged += id == "default.token" ? "" : "0 " + id + " mode=soft|enc_up_type=" + id + rest;
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
    EXPECT_EQ(kxt::ldif(def),
              "dn: " + def +
                  "\nobjectClass: kxRawToken\nobjectClass: kxCrypto\nkxID: default.token\n"
                  "kxTokenType: user\nkxTokenState: unknown\nkxEnabled: allowed\n"
                  "kxCryptoString: enc_up_type=ARCFOUR,mode=hard\n\n");
    EXPECT_EQ(add("default.token", {"mode=soft"}, 0) + add("default.token", {"mode=soft"}, 2),
              2 * KXE_EXISTS);
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
    for (const char *id : {"abc", "user.", ".abc", "abc.", ""})
        EXPECT_EQ(add(id, {"mode=hard"}, 1) + kx_delCryptoEnt(k, m(id)), 2 * KXE_INVAL) << id;
    EXPECT_EQ(kx_addCryptoEnt(k, nullptr, 0) + kx_delCryptoEnt(nullptr, m("a.b")), 2 * KXE_INVAL);
    kxt::ldapdelete({def, p, l});
}

}  // namespace
