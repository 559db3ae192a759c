// The security configuration store against the real slapd of the directory
// test bed: reading stored crypto strings into records, lookups with and
// without inheritance from the default token, iteration over all tokens,
// and adding, replacing and deleting configurations.  What each change
// stored is confirmed with ldapsearch, an independent client.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "admin_crypto.h"
#include "admin_private.h"
#include "admin_token.h"
#include "ds_support.h"
#include "syslog_capture.h"
#include "testbed_env.h"

namespace {

using namespace ds;

// ---- the directory seen through the OpenLDAP command line tools ---------------

// One LDIF attribute line; values in base64 so that any text is kept.
std::string ldif_line(const std::string &attr, const std::string &value)
{
    return value.empty() ? attr + ":\n" : attr + ":: " + base64(value) + "\n";
}

// The attributes of the entry named dn, values sorted; empty when there is
// none.
Attrs attrs_of(const std::string &dn)
{
    auto found = read_entry(dn);
    return found ? sorted_attrs(*found) : Attrs{};
}

// The token entries anywhere below the base with this id.
std::vector<Attrs> entries_with_id(const std::string &id)
{
    return ldap_find(subtree(), "(kxID=" + filter_escape(id) + ")");
}

// ---- records --------------------------------------------------------------------

struct FreeCrypto {
    void operator()(kx_CryptoEnt_t *e) const { kx_freeCryptoEnt(e); }
};
using Crypto = std::unique_ptr<kx_CryptoEnt_t, FreeCrypto>;

// A caller-built record: heap copies that kx_freeCryptoEnt releases.
Crypto record(const char *id, const std::vector<std::string> &pairs, const char *origin = nullptr)
{
    Crypto e(allocate_cryptoEnt());
    e->tokenID = id ? strdup(id) : nullptr;
    e->keyValue = static_cast<char **>(calloc(pairs.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < pairs.size(); ++i)
        e->keyValue[i] = strdup(pairs[i].c_str());
    e->origin = origin ? strdup(origin) : nullptr;
    e->numEntries = static_cast<int>(pairs.size());
    return e;
}

struct View {
    std::string id;
    std::vector<std::string> pairs;
    std::string origin;
    bool operator==(const View &) const = default;
};

std::ostream &operator<<(std::ostream &os, const View &v)
{
    os << "{" << v.id << " [";
    for (size_t i = 0; i < v.pairs.size(); ++i)
        os << (i ? " | " : "") << v.pairs[i];
    return os << "] origin \"" << v.origin << "\"}";
}

View view(const kx_CryptoEnt_t *e)
{
    View v;
    if (!e)
        return {"(no record)", {}, ""};
    v.id = e->tokenID ? e->tokenID : "(null)";
    for (int i = 0; e->keyValue && e->keyValue[i]; ++i)
        v.pairs.emplace_back(e->keyValue[i]);
    v.origin = e->origin ? e->origin : "(null)";
    return v;
}

const std::vector<std::string> kBuiltIn = {"enc_up_type=none", "enc_down_type=none", "auth_up_type=none",
                                           "auth_down_type=none", "mode=soft"};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string join(const std::vector<std::string> &pairs)
{
    std::string s;
    for (size_t i = 0; i < pairs.size(); ++i)
        s += (i ? "," : "") + pairs[i];
    return s;
}

// ---- the fixture ------------------------------------------------------------------

class CryptoStore : public DirectoryTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testbed_ready());
        kxcap_clear();
        kxa_ = open(3);
        ASSERT_NE(kxa_, nullptr);
    }
    void TearDown() override
    {
        kx_endCryptoEnt();
        DirectoryTest::TearDown();
    }

    // A raw token entry, with a configuration when crypto is given.
    void add_raw(const std::string &id, const char *crypto = nullptr, const std::string &parent = "")
    {
        add_token(id, "kxRawToken", parent.empty() ? raw_tokens_base() : parent, crypto);
    }
    void add_logical(const std::string &id, const char *crypto = nullptr)
    {
        add_token(id, "kxLogicalToken", logical_tokens_base(), crypto);
    }
    void add_token(const std::string &id, const std::string &cls, const std::string &parent,
                   const char *crypto)
    {
        std::string dn = "kxID=" + dn_escape(id) + "," + parent;
        std::string ldif = "dn: " + dn + "\nobjectClass: " + cls + "\nkxID: " + id + "\n";
        if (crypto)
            ldif += "objectClass: kxCrypto\n" + ldif_line("kxCryptoString", crypto);
        remove_later(dn);
        ASSERT_EQ(ldapadd(ldif), 0) << ldif;
    }
    void replace_crypto(const std::string &dn, const std::string &crypto)
    {
        ASSERT_EQ(ldapmodify("dn: " + dn + "\nchangetype: modify\nreplace: kxCryptoString\n" +
                                         ldif_line("kxCryptoString", crypto)),
                  0);
    }
    // The default token without any entry, removed again at TearDown
    // whatever the test made of it.
    void forget_default()
    {
        ldapdelete({raw_dn(KX_DEFAULT_TOKEN)});
        remove_later(raw_dn(KX_DEFAULT_TOKEN));
    }
    void store_default(const char *crypto)
    {
        forget_default();
        add_raw(KX_DEFAULT_TOKEN, crypto);
    }
    // Nothing in the store holds a configuration.
    void expect_no_configuration()
    {
        auto found = ldap_find(subtree(), "(objectClass=kxCrypto)");
        ASSERT_TRUE(found.empty()) << "left over: " << found[0].at("dn")[0];
    }

    // One lookup; the out-parameter is NULL whenever the result is not
    // KXE_SUCCESS.
    struct Found {
        int rc;
        Crypto rec;
    };
    Found lookup(const std::string &id, int merge, KXAdmin k = nullptr)
    {
        static kx_CryptoEnt_t sentinel;
        kx_CryptoEnt_t *out = &sentinel;
        std::string copy = id;
        int rc = kx_getCryptoEntByTokenID(k ? k : kxa_, copy.data(), &out, merge);
        if (out == &sentinel) {
            ADD_FAILURE() << "out-parameter not set for " << id;
            out = nullptr;
        }
        if (rc != KXE_SUCCESS)
            EXPECT_EQ(out, nullptr) << id;
        else
            EXPECT_NE(out, nullptr) << id;
        return {rc, Crypto(out)};
    }
    View found(const std::string &id, int merge)
    {
        Found f = lookup(id, merge);
        EXPECT_EQ(f.rc, KXE_SUCCESS) << id << " merge " << merge;
        return view(f.rec.get());
    }

    // A whole iteration; the records in the order they were handed out.
    std::vector<View> iterate(const char *id, int merge, int expect_begin = KXE_SUCCESS)
    {
        std::string copy = id ? id : "";
        EXPECT_EQ(kx_setCryptoEnt(kxa_, id ? copy.data() : nullptr, merge), expect_begin);
        std::vector<View> out;
        kx_CryptoEnt_t *ent = nullptr;
        int rc;
        while ((rc = kx_getCryptoEnt(&ent)) == KXE_SUCCESS) {
            out.push_back(view(ent));
            kx_freeCryptoEnt(ent);
            ent = nullptr;
        }
        EXPECT_EQ(rc, KXE_NOMOREDATA);
        kx_endCryptoEnt();
        return out;
    }

    int add(const char *id, const std::vector<std::string> &pairs, int replace, KXAdmin k = nullptr)
    {
        Crypto r = record(id, pairs);
        return kx_addCryptoEnt(k ? k : kxa_, r.get(), replace);
    }
    int del(const std::string &id)
    {
        std::string copy = id;
        return kx_delCryptoEnt(kxa_, copy.data());
    }

    // The record fill_crypto_struct reads from the entry dn.
    Crypto read_entry(const std::string &dn, int default_flag, int *error)
    {
        LDAPMessage *res = nullptr;
        int rc = ldap_search_ext_s(kxa_->ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", nullptr, 0,
                                   nullptr, nullptr, nullptr, 0, &res);
        EXPECT_EQ(rc, LDAP_SUCCESS) << dn;
        *error = 99;
        Crypto rec(fill_crypto_struct(kxa_, res ? ldap_first_entry(kxa_->ld, res) : nullptr, default_flag,
                                      error));
        ldap_msgfree(res);
        return rec;
    }

    KXAdmin kxa_ = nullptr;
};

// ===== token ids and records ==========================================================

TEST(CryptoRecord, TokenIdClassesAndStoredNames)
{
    struct {
        const char *id;
        int cls;
    } cases[] = {
        {"user.x", KX_TOKEN_LOGICAL},       {"User.x", KX_TOKEN_LOGICAL},   {"USER.alice", KX_TOKEN_LOGICAL},
        {"user..", KX_TOKEN_LOGICAL},       {"user.", KX_TOKEN_INVALID},    {"user", KX_TOKEN_INVALID},
        {"default.token", KX_TOKEN_RAW},    {"pseudo.abc.def", KX_TOKEN_RAW}, {"usera.b", KX_TOKEN_RAW},
        {"a.b", KX_TOKEN_RAW},              {"a..", KX_TOKEN_RAW},          {"a.b.", KX_TOKEN_RAW},
        {"abc", KX_TOKEN_INVALID},          {"abc.", KX_TOKEN_INVALID},     {".abc", KX_TOKEN_INVALID},
        {".user.x", KX_TOKEN_INVALID},      {".", KX_TOKEN_INVALID},        {"a", KX_TOKEN_INVALID},
        {"", KX_TOKEN_INVALID},
    };
    for (const auto &c : cases)
        EXPECT_EQ(isValidToken(c.id), c.cls) << "\"" << c.id << "\"";
    EXPECT_EQ(isValidToken(nullptr), KX_TOKEN_INVALID);

    // The stored name of a pseudo token is the text after the prefix, in
    // the same string.
    char upper[] = "PSEUDO.abc.def";
    EXPECT_EQ(getTokenID(upper), upper + 7);
    char mixed[] = "Pseudo.x";
    EXPECT_EQ(getTokenID(mixed), mixed + 7);
    char glued[] = "pseudoabc.d";
    EXPECT_EQ(getTokenID(glued), glued);
    char plain[] = "default.token";
    EXPECT_EQ(getTokenID(plain), plain);
    char in_middle[] = "a.pseudo.b";
    EXPECT_EQ(getTokenID(in_middle), in_middle);
    EXPECT_EQ(getTokenID(nullptr), nullptr);
}

std::string printed(const kx_CryptoEnt_t *e)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    kx_printCryptoEnt(f, e);
    fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

TEST(CryptoRecord, PrintShowsKeyValueAndInheritanceMark)
{
    const std::string head = "\tKey            \tValue          \tInherited      \n\t---\t\t-----\t\t-------\n";
    Crypto r = record("tok.one", {"enc_up_type=ARCFOUR", "mode=soft", "a=b=c"}, " * ");
    EXPECT_EQ(printed(r.get()), "Token ID: tok.one\n" + head +
                                    "\tenc_up_type    \tARCFOUR        \t \n"
                                    "\tmode           \tsoft           \t*\n"
                                    "\ta              \tb              \t \n");

    // Keys and values longer than the columns are not cut.
    Crypto wide = record(nullptr, {"authentication_down=simple_and_strong"}, "*");
    EXPECT_EQ(printed(wide.get()), "Token ID: NULL\n" + head + "\tauthentication_down\tsimple_and_strong\t*\n");

    Crypto empty = record("tok.two", {}, "");
    EXPECT_EQ(printed(empty.get()), "Token ID: tok.two\n" + head);
    EXPECT_EQ(printed(nullptr), "");

    // A caller-built record with fewer marks than pairs, or none: every pair
    // is printed and nothing beyond the marks is read.
    for (const char *origin : {static_cast<const char *>(nullptr), "*"}) {
        Crypto partial = record("tok.three", {"mode=hard", "enc_up_type=none"}, origin);
        std::string out = printed(partial.get());
        EXPECT_EQ(out.rfind("Token ID: tok.three\n" + head, 0), 0u) << out;
        EXPECT_NE(out.find("\tmode           \thard           \t"), std::string::npos) << out;
        EXPECT_NE(out.find("\tenc_up_type    \tnone           \t"), std::string::npos) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;
    }
}

TEST(CryptoRecord, FreshRecordsAndRelease)
{
    kx_CryptoEnt_t *e = allocate_cryptoEnt();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->tokenID, nullptr);
    EXPECT_EQ(e->keyValue, nullptr);
    EXPECT_EQ(e->origin, nullptr);
    EXPECT_EQ(e->numEntries, 0);
    kx_freeCryptoEnt(e);
    kx_freeCryptoEnt(nullptr);
    kx_CryptoEnt_t *partial = allocate_cryptoEnt();
    partial->tokenID = strdup("a.b");
    kx_freeCryptoEnt(partial);  // no pairs, no marks
}

// Equal ids: the record put in later goes before the earlier one.
TEST(CryptoRecord, CacheKeepsAscendingOrderAndPutsNewEqualsFirst)
{
    kx_LinkedList_t *list = nullptr;
    const char *ids[] = {"b.x", "a.x", "b.x", "B.x", "c.x", "b.x"};
    std::vector<kx_CryptoEnt_t *> recs;
    for (size_t i = 0; i < std::size(ids); ++i) {
        recs.push_back(record(ids[i], {"n=" + std::to_string(i)}).release());
        ASSERT_EQ(insert_cache(recs.back(), &list), 0);
    }
    std::vector<std::string> order;
    for (kx_LinkedList_t *n = list; n; n = n->next) {
        auto *e = static_cast<kx_CryptoEnt_t *>(n->node);
        EXPECT_STREQ(n->key, e->tokenID);
        EXPECT_NE(n->key, e->tokenID);  // the key is a copy
        order.push_back(std::string(e->tokenID) + "/" + e->keyValue[0]);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"B.x/n=3", "a.x/n=1", "b.x/n=5", "b.x/n=2", "b.x/n=0",
                                               "c.x/n=4"}));
    free_cache(&list);
    EXPECT_EQ(list, nullptr);
}

// ===== reading stored strings =============================================================

TEST_F(CryptoStore, ReaderSplitsTheStoredString)
{
    struct {
        const char *id;
        const char *stored;
        std::vector<std::string> pairs;
    } cases[] = {
        {"read.trailing", "enc_up_type=ARCFOUR,mode=hard,", {"enc_up_type=ARCFOUR", "mode=hard"}},
        {"read.empty", "", {}},
        {"read.blanks", " \tenc_up_type=none ,\n mode=hard\t\n", {"enc_up_type=none", "mode=hard"}},
        {"read.escaped", "a=b\\,c,d=e", {"a=b,c", "d=e"}},
        {"read.inner", "mode=hard,,enc_up_type=none", {"mode=hard", "", "enc_up_type=none"}},
        {"read.six", "enc_up_type=none,enc_down_type=none,auth_up_type=none,auth_down_type=none,mode=soft,x=y",
         concat(kBuiltIn, {"x=y"})},
    };
    for (const auto &c : cases)
        add_raw(c.id, c.stored);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        int err = 0;
        Crypto r = read_entry(raw_dn(c.id), 0, &err);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(err, KXE_SUCCESS);
        EXPECT_EQ(view(r.get()), (View{c.id, c.pairs, std::string(c.pairs.size(), ' ')}));
        EXPECT_EQ(r->numEntries, static_cast<int>(c.pairs.size()));
        // The same through a lookup without merging.
        EXPECT_EQ(found(c.id, 0), (View{c.id, c.pairs, std::string(c.pairs.size(), ' ')}));
    }
}

TEST_F(CryptoStore, ReaderCompletesOrRefusesTheDefaultConfiguration)
{
    struct {
        const char *id;
        const char *stored;
        std::vector<std::string> pairs;  // empty: refused
        std::string origin;
    } cases[] = {
        {"def.full", "mode=hard,auth_down_type=simple,auth_up_type=none,enc_down_type=ARCFOUR,enc_up_type=ARCFOUR",
         {"mode=hard", "auth_down_type=simple", "auth_up_type=none", "enc_down_type=ARCFOUR",
          "enc_up_type=ARCFOUR"},
         "     "},
        {"def.two", "enc_up_type=ARCFOUR,mode=hard",
         {"enc_up_type=ARCFOUR", "mode=hard", "enc_down_type=none", "auth_up_type=none", "auth_down_type=none"},
         "  ***"},
        {"def.trailing", "enc_up_type=none,enc_down_type=none,auth_up_type=none,auth_down_type=none,mode=hard,",
         {"enc_up_type=none", "enc_down_type=none", "auth_up_type=none", "auth_down_type=none", "mode=hard"},
         "     "},
        {"def.empty", "", kBuiltIn, "*****"},
        {"def.six", "enc_up_type=none,enc_down_type=none,auth_up_type=none,auth_down_type=none,mode=soft,mode=hard",
         {}, ""},
        {"def.dup", "mode=hard,mode=soft", {}, ""},
        {"def.novalue", "mode=", {}, ""},
        {"def.unknown", "colour=red", {}, ""},
        {"def.inner", "enc_up_type=none,,mode=hard", {}, ""},
    };
    for (const auto &c : cases)
        add_raw(c.id, c.stored);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        kxcap_clear();
        int err = 0;
        Crypto r = read_entry(raw_dn(c.id), 1, &err);
        if (c.pairs.empty()) {
            EXPECT_EQ(r, nullptr) << view(r.get());
            EXPECT_EQ(err, KXE_INTERNAL);
            EXPECT_TRUE(logged("ERROR: invalid key/value pair in entry.\n"));
        } else {
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(err, KXE_SUCCESS);
            EXPECT_EQ(view(r.get()), (View{c.id, c.pairs, c.origin}));
            EXPECT_EQ(r->numEntries, 5);
        }
        // Read as an ordinary token the same string is taken unchanged.
        Crypto plain = read_entry(raw_dn(c.id), 0, &err);
        ASSERT_NE(plain, nullptr);
        std::vector<std::string> split = view(plain.get()).pairs;
        EXPECT_EQ(plain->origin, std::string(split.size(), ' '));
    }
}

TEST_F(CryptoStore, ReaderNeedsIdAndCryptoString)
{
    add_raw("read.plain");
    int err = 0;
    Crypto r = read_entry(raw_dn("read.plain"), 0, &err);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(err, KXE_INTERNAL);
    EXPECT_TRUE(logged("Error: Could not get kxCryptoString attribute\n"));

    kxcap_clear();
    r = read_entry(raw_tokens_base(), 1, &err);  // the container has no kxID
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(err, KXE_INTERNAL);
    EXPECT_TRUE(logged("Error: Could not get kxID attribute\n"));

    kxcap_clear();
    err = 99;
    EXPECT_EQ(fill_crypto_struct(kxa_, nullptr, 0, &err), nullptr);
    EXPECT_EQ(err, KXE_INTERNAL);
    EXPECT_TRUE(logged("Error: Could not get kxID attribute\n"));

    // Without an entry the default flag gives the built-in configuration.
    err = 99;
    Crypto builtin(fill_crypto_struct(kxa_, nullptr, 1, &err));
    ASSERT_NE(builtin, nullptr);
    EXPECT_EQ(err, KXE_SUCCESS);
    EXPECT_EQ(view(builtin.get()), (View{"default.token", kBuiltIn, "*****"}));
    EXPECT_EQ(builtin->numEntries, 5);
}

// ===== lookups ================================================================================

TEST_F(CryptoStore, DefaultTokenWithoutConfiguration)
{
    forget_default();
    EXPECT_EQ(lookup(KX_DEFAULT_TOKEN, 0).rc, KXE_NOTFOUND);
    EXPECT_EQ(found(KX_DEFAULT_TOKEN, 1), (View{"default.token", kBuiltIn, "*****"}));

    // An entry without kxCrypto is no configuration either.
    add_raw(KX_DEFAULT_TOKEN);
    EXPECT_EQ(lookup(KX_DEFAULT_TOKEN, 0).rc, KXE_NOTFOUND);
    EXPECT_EQ(found(KX_DEFAULT_TOKEN, 1), (View{"default.token", kBuiltIn, "*****"}));
}

TEST_F(CryptoStore, DefaultTokenIsCompletedWithBuiltInValues)
{
    store_default("mode=hard");
    EXPECT_EQ(found(KX_DEFAULT_TOKEN, 0), (View{"default.token", {"mode=hard"}, " "}));
    View completed{"default.token",
                   {"mode=hard", "enc_up_type=none", "enc_down_type=none", "auth_up_type=none", "auth_down_type=none"},
                   " ****"};
    EXPECT_EQ(found(KX_DEFAULT_TOKEN, 1), completed);
    // Asking for it through its pseudo name is asking for the default token.
    EXPECT_EQ(found("pseudo.default.token", 1), completed);
    Found merged = lookup(KX_DEFAULT_TOKEN, 1);
    ASSERT_EQ(merged.rc, KXE_SUCCESS);
    EXPECT_EQ(printed(merged.rec.get()), "Token ID: default.token\n"
                                         "\tKey            \tValue          \tInherited      \n"
                                         "\t---\t\t-----\t\t-------\n"
                                         "\tmode           \thard           \t \n"
                                         "\tenc_up_type    \tnone           \t*\n"
                                         "\tenc_down_type  \tnone           \t*\n"
                                         "\tauth_up_type   \tnone           \t*\n"
                                         "\tauth_down_type \tnone           \t*\n");

    replace_crypto(raw_dn(KX_DEFAULT_TOKEN),
                   "auth_down_type=simple,mode=hard,enc_up_type=ARCFOUR,auth_up_type=none,enc_down_type=ARCFOUR");
    EXPECT_EQ(found(KX_DEFAULT_TOKEN, 1),
              (View{"default.token",
                    {"auth_down_type=simple", "mode=hard", "enc_up_type=ARCFOUR", "auth_up_type=none",
                     "enc_down_type=ARCFOUR"},
                    "     "}));
}

TEST_F(CryptoStore, MalformedDefaultConfigurationFailsEveryMergingLookup)
{
    add_raw("own.tok", "mode=hard");
    forget_default();
    add_raw(KX_DEFAULT_TOKEN, "mode=soft");
    for (const char *bad : {"enc_up_type=none,enc_down_type=none,auth_up_type=none,auth_down_type=none,mode=soft,"
                            "mode=hard",
                            "mode=soft,mode=hard", "mode=", "enc_up_type=none,,"}) {
        SCOPED_TRACE(bad);
        replace_crypto(raw_dn(KX_DEFAULT_TOKEN), bad);
        kxcap_clear();
        EXPECT_EQ(lookup(KX_DEFAULT_TOKEN, 1).rc, KXE_INTERNAL);
        EXPECT_TRUE(logged("ERROR: invalid key/value pair in entry.\n"));
        EXPECT_TRUE(logged("Error: While allocating and filling kx_CryptoEnt_t struct.\n"));
        EXPECT_EQ(lookup("own.tok", 1).rc, KXE_INTERNAL);
        EXPECT_EQ(lookup("no.such.tok", 1).rc, KXE_INTERNAL);
        EXPECT_EQ(kx_setCryptoEnt(kxa_, nullptr, 1), KXE_INTERNAL);
        kx_endCryptoEnt();

        // Without merging the strings are read as they are.
        Found raw = lookup(KX_DEFAULT_TOKEN, 0);
        EXPECT_EQ(raw.rc, KXE_SUCCESS);
        EXPECT_EQ(found("own.tok", 0), (View{"own.tok", {"mode=hard"}, " "}));
    }
}

TEST_F(CryptoStore, TokenInheritsMissingKeysFromTheDefaultToken)
{
    const char *def = "enc_up_type=ARCFOUR,enc_down_type=ARCFOUR,auth_up_type=none,auth_down_type=simple,mode=hard";
    store_default(def);
    add_raw("card.one", "enc_up_type=none");
    add_raw("card.two");
    add_raw("card.all", "mode=soft,auth_down_type=none,auth_up_type=none,enc_down_type=none,enc_up_type=none");
    add_raw("card.odd", "colour=red,mode=soft");

    EXPECT_EQ(found("card.one", 0), (View{"card.one", {"enc_up_type=none"}, " "}));
    EXPECT_EQ(found("card.one", 1),
              (View{"card.one",
                    {"enc_up_type=none", "enc_down_type=ARCFOUR", "auth_up_type=none", "auth_down_type=simple",
                     "mode=hard"},
                    " ****"}));
    EXPECT_EQ(found("card.all", 1),
              (View{"card.all",
                    {"mode=soft", "auth_down_type=none", "auth_up_type=none", "enc_down_type=none",
                     "enc_up_type=none"},
                    "     "}));
    EXPECT_EQ(found("card.odd", 1),
              (View{"card.odd",
                    {"colour=red", "mode=soft", "enc_up_type=ARCFOUR", "enc_down_type=ARCFOUR", "auth_up_type=none",
                     "auth_down_type=simple"},
                    "  ****"}));

    // Tokens without a configuration of their own, with or without an
    // entry, get the default token's record with every value inherited.
    std::vector<std::string> def_pairs = {"enc_up_type=ARCFOUR", "enc_down_type=ARCFOUR", "auth_up_type=none",
                                          "auth_down_type=simple", "mode=hard"};
    EXPECT_EQ(found("card.two", 1), (View{"default.token", def_pairs, "*****"}));
    EXPECT_EQ(found("card.none", 1), (View{"default.token", def_pairs, "*****"}));
    EXPECT_EQ(lookup("card.two", 0).rc, KXE_NOTFOUND);
    EXPECT_EQ(lookup("card.none", 0).rc, KXE_NOTFOUND);

    // Without a stored default the built-in values are inherited.
    ldapdelete({raw_dn(KX_DEFAULT_TOKEN)});
    EXPECT_EQ(found("card.one", 1), (View{"card.one", concat({"enc_up_type=none"}, {kBuiltIn.begin() + 1, kBuiltIn.end()}),
                                          " ****"}));
    EXPECT_EQ(found("card.two", 1), (View{"default.token", kBuiltIn, "*****"}));
}

TEST_F(CryptoStore, PseudoTokenIsLookedUpUnderItsStoredName)
{
    forget_default();
    add_raw("card.three", "mode=hard");
    EXPECT_EQ(found("pseudo.card.three", 0), (View{"card.three", {"mode=hard"}, " "}));
    EXPECT_EQ(found("PSEUDO.card.three", 1),
              (View{"card.three", concat({"mode=hard"}, {kBuiltIn.begin(), kBuiltIn.end() - 1}), " ****"}));
    EXPECT_EQ(lookup("pseudo.card.absent", 0).rc, KXE_NOTFOUND);

    // An entry literally named with the prefix is not the pseudo token's.
    add_raw("pseudo.card.four", "mode=hard");
    EXPECT_EQ(lookup("pseudo.card.four", 0).rc, KXE_NOTFOUND);
}

TEST_F(CryptoStore, LogicalAndRawTokensAreLookedUpInTheirOwnContainers)
{
    forget_default();
    add_logical("user.alice", "auth_down_type=simple");
    EXPECT_EQ(found("user.alice", 0), (View{"user.alice", {"auth_down_type=simple"}, " "}));
    EXPECT_EQ(found("user.alice", 1),
              (View{"user.alice",
                    {"auth_down_type=simple", "enc_up_type=none", "enc_down_type=none", "auth_up_type=none",
                     "mode=soft"},
                    " ****"}));

    // A raw token entry with a logical token's id, and a logical token
    // entry with a raw token's id, are not found without merging.
    add_raw("user.bob", "mode=hard");
    EXPECT_EQ(lookup("user.bob", 0).rc, KXE_NOTFOUND);
    add_logical("lt.cd", "mode=hard");
    EXPECT_EQ(lookup("lt.cd", 0).rc, KXE_NOTFOUND);
}

TEST_F(CryptoStore, TwoEntriesWithTheSameIdFailTheLookup)
{
    forget_default();
    add_raw("holder.tok");
    add_raw("dup.tok", "mode=hard");
    add_raw("dup.tok", "mode=soft", raw_dn("holder.tok"));
    add_raw("single.tok", "enc_up_type=none");

    for (int merge : {0, 1}) {
        SCOPED_TRACE(merge);
        kxcap_clear();
        EXPECT_EQ(lookup("dup.tok", merge).rc, KXE_INTERNAL);
        EXPECT_TRUE(logged("Error: kx_getCryptoEnt multiple entries for token 'dup.tok'\n"));
        kxcap_clear();
        EXPECT_EQ(lookup("pseudo.dup.tok", merge).rc, KXE_INTERNAL);
        EXPECT_TRUE(logged("Error: kx_getCryptoEnt multiple entries for token 'pseudo.dup.tok'\n"));
    }
    // What the failed lookup left behind does not reach the next one.
    EXPECT_EQ(found("single.tok", 0), (View{"single.tok", {"enc_up_type=none"}, " "}));
    kx_CryptoEnt_t *left = nullptr;
    EXPECT_EQ(kx_getCryptoEnt(&left), KXE_NOMOREDATA);
    EXPECT_EQ(left, nullptr);
}

TEST_F(CryptoStore, IdsWithFilterSyntaxMatchOnlyThemselves)
{
    forget_default();
    add_raw("ab.tok", "mode=hard");
    add_raw("holder.tok", "mode=hard");
    for (const char *id : {"a*.tok", "*.tok", "a(b.tok", "a)b.tok", "a\\b.tok", "*"}) {
        SCOPED_TRACE(id);
        if (isValidToken(id) == KX_TOKEN_INVALID) {
            EXPECT_EQ(lookup(id, 0).rc, KXE_INVAL);
            continue;
        }
        EXPECT_EQ(lookup(id, 0).rc, KXE_NOTFOUND);
        EXPECT_EQ(found(id, 1), (View{"default.token", kBuiltIn, "*****"}));
    }

    // Configurations for such ids go onto entries of their own.
    const char *ids[] = {"a*.tok", "x(y).tok", "back\\slash.tok", "c,d.tok", "e+f.tok", "g=h.tok", "#hash.tok",
                         "q\"uote.tok", "l<t>.tok", "semi;colon.tok"};
    for (const char *id : ids) {
        SCOPED_TRACE(id);
        remove_later(raw_dn(id));
        EXPECT_EQ(add(id, {"enc_up_type=ARCFOUR", "mode=hard"}, 0), KXE_SUCCESS);
        auto entries = entries_with_id(id);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0]["kxID"], std::vector<std::string>{id});
        EXPECT_EQ(entries[0]["kxCryptoString"], std::vector<std::string>{"enc_up_type=ARCFOUR,mode=hard"});
        EXPECT_EQ(found(id, 0), (View{id, {"enc_up_type=ARCFOUR", "mode=hard"}, "  "}));
        EXPECT_EQ(add(id, {"mode=soft"}, 1), KXE_SUCCESS);
        EXPECT_EQ(found(id, 0), (View{id, {"mode=soft"}, " "}));
        EXPECT_EQ(del(id), KXE_SUCCESS);
        EXPECT_EQ(lookup(id, 0).rc, KXE_NOTFOUND);
        entries = entries_with_id(id);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].count("kxCryptoString"), 0u);
    }
    EXPECT_EQ(attrs_of(raw_dn("ab.tok"))["kxCryptoString"], std::vector<std::string>{"mode=hard"});
    EXPECT_EQ(attrs_of(raw_dn("holder.tok"))["kxCryptoString"], std::vector<std::string>{"mode=hard"});
}

// The base of the session names no entry: no container can be searched.
TEST_F(CryptoStore, SessionBelowAMissingBase)
{
    forget_default();
    KXAdmin k = open(3, config_variant({{"admin.subtree", "kxName=nowhere," + bed()["KX_SUFFIX"]}}));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(lookup(KX_DEFAULT_TOKEN, 0, k).rc, KXE_NOTFOUND);
    EXPECT_EQ(lookup(KX_DEFAULT_TOKEN, 1, k).rc, KXE_NOTFOUND);
    EXPECT_EQ(lookup("card.one", 1, k).rc, KXE_NOTFOUND);
    EXPECT_EQ(kx_setCryptoEnt(k, nullptr, 0), KXE_NOTFOUND);
    kx_endCryptoEnt();
    EXPECT_EQ(kx_setCryptoEnt(k, nullptr, 1), KXE_SUCCESS);
    kx_CryptoEnt_t *ent = nullptr;
    EXPECT_EQ(kx_getCryptoEnt(&ent), KXE_NOMOREDATA);
    kx_endCryptoEnt();

    // The existence test cannot be made, so the entry is taken to exist and
    // only the modification fails; no raw token is made anywhere.
    kxcap_clear();
    EXPECT_EQ(add(KX_DEFAULT_TOKEN, {"mode=hard"}, 0, k), KXE_INTERNAL);
    EXPECT_TRUE(logged("modify_entry(): LDAP modify failed - No such object\n"));
    EXPECT_EQ(times_logged("add_raw_token(): raw token (default.token) already exists\n"), 0);
    EXPECT_TRUE(entries_with_id(KX_DEFAULT_TOKEN).empty());
}

// ===== iteration ==============================================================================

TEST_F(CryptoStore, IterationHandsOutEveryTokenInByteOrderOfId)
{
    forget_default();
    expect_no_configuration();
    if (HasFatalFailure())
        return;
    std::vector<std::string> ids = {"default.token", "B.tok", "a.tok", "Z9.tok", "_x.tok", "aa.tok", "a.toka",
                                    "a-b.tok", "0.tok", "~.tok", "user.zed", "USER.amy", "user.Bob"};
    for (int i = 0; i < 120; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "%c%d.t%02d", "kKmM"[i % 4], (i * 37) % 101, i);
        ids.push_back(id);
    }
    std::vector<std::string> creation = ids;
    std::shuffle(creation.begin(), creation.end(), std::mt19937(20240601));
    std::string ldif;
    std::map<std::string, std::string> crypto;
    for (const auto &id : creation) {
        bool logical = isValidToken(id.c_str()) == KX_TOKEN_LOGICAL;
        std::string dn = logical ? logical_dn(id) : raw_dn(id);
        crypto[id] = "mode=hard,enc_up_type=v-" + id;
        ldif += "dn: " + dn + "\nobjectClass: " + (logical ? "kxLogicalToken" : "kxRawToken") + "\nkxID: " + id +
                "\nobjectClass: kxCrypto\nkxCryptoString: " + crypto[id] + "\n\n";
        remove_later(dn);
    }
    // Tokens without a configuration are not handed out.
    ldif += "dn: " + raw_dn("plain.tok") + "\nobjectClass: kxRawToken\nkxID: plain.tok\n\n";
    remove_later(raw_dn("plain.tok"));
    ASSERT_EQ(ldapadd(ldif), 0);

    std::vector<std::string> expected = ids;
    std::sort(expected.begin(), expected.end());
    std::vector<View> want;
    for (const auto &id : expected)
        want.push_back({id, {"mode=hard", "enc_up_type=v-" + id}, "  "});

    ASSERT_EQ(kx_setCryptoEnt(kxa_, nullptr, 0), KXE_SUCCESS);
    std::vector<View> got;
    kx_CryptoEnt_t *ent = nullptr;
    while (kx_getCryptoEnt(&ent) == KXE_SUCCESS) {
        got.push_back(view(ent));
        kx_freeCryptoEnt(ent);
    }
    EXPECT_EQ(got, want);

    // Once exhausted it stays exhausted and leaves the out-parameter alone.
    kx_CryptoEnt_t sentinel{};
    ent = &sentinel;
    EXPECT_EQ(kx_getCryptoEnt(&ent), KXE_NOMOREDATA);
    EXPECT_EQ(kx_getCryptoEnt(&ent), KXE_NOMOREDATA);
    EXPECT_EQ(ent, &sentinel);
    kx_endCryptoEnt();
    EXPECT_EQ(kx_getCryptoEnt(&ent), KXE_NOMOREDATA);
    EXPECT_EQ(ent, &sentinel);

    // An iteration abandoned half-way is discarded by the next begin.
    ASSERT_EQ(kx_setCryptoEnt(kxa_, nullptr, 0), KXE_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(kx_getCryptoEnt(&ent), KXE_SUCCESS);
        kx_freeCryptoEnt(ent);
    }
    EXPECT_EQ(found("a.tok", 0), (View{"a.tok", {"mode=hard", "enc_up_type=v-a.tok"}, "  "}));
    EXPECT_EQ(iterate(nullptr, 0).size(), ids.size());
}

TEST_F(CryptoStore, MergingIterationCompletesEveryTokenFromTheDefault)
{
    forget_default();
    expect_no_configuration();
    if (HasFatalFailure())
        return;
    add_raw("b.tok", "auth_down_type=simple");
    add_raw("a.tok", "mode=soft");
    add_logical("user.c", "enc_down_type=ARCFOUR");

    // Completed from the built-in values.
    EXPECT_EQ(iterate(nullptr, 1),
              (std::vector<View>{
                  {"a.tok",
                   {"mode=soft", "enc_up_type=none", "enc_down_type=none", "auth_up_type=none", "auth_down_type=none"},
                   " ****"},
                  {"b.tok",
                   {"auth_down_type=simple", "enc_up_type=none", "enc_down_type=none", "auth_up_type=none",
                    "mode=soft"},
                   " ****"},
                  {"user.c",
                   {"enc_down_type=ARCFOUR", "enc_up_type=none", "auth_up_type=none", "auth_down_type=none",
                    "mode=soft"},
                   " ****"},
              }));

    // Completed from the stored default, which is not handed out itself.
    add_raw(KX_DEFAULT_TOKEN, "mode=hard,enc_up_type=ARCFOUR");
    EXPECT_EQ(iterate(nullptr, 1),
              (std::vector<View>{
                  {"a.tok",
                   {"mode=soft", "enc_up_type=ARCFOUR", "enc_down_type=none", "auth_up_type=none",
                    "auth_down_type=none"},
                   " ****"},
                  {"b.tok",
                   {"auth_down_type=simple", "mode=hard", "enc_up_type=ARCFOUR", "enc_down_type=none",
                    "auth_up_type=none"},
                   " ****"},
                  {"user.c",
                   {"enc_down_type=ARCFOUR", "mode=hard", "enc_up_type=ARCFOUR", "auth_up_type=none",
                    "auth_down_type=none"},
                   " ****"},
              }));
    // Without merging every stored record comes, the default's among them.
    EXPECT_EQ(iterate(nullptr, 0),
              (std::vector<View>{{"a.tok", {"mode=soft"}, " "},
                                 {"b.tok", {"auth_down_type=simple"}, " "},
                                 {"default.token", {"mode=hard", "enc_up_type=ARCFOUR"}, "  "},
                                 {"user.c", {"enc_down_type=ARCFOUR"}, " "}}));
}

TEST_F(CryptoStore, DefaultIsHandedOutOnlyWhenNoOtherTokenHasAConfiguration)
{
    forget_default();
    expect_no_configuration();
    if (HasFatalFailure())
        return;
    EXPECT_EQ(iterate(nullptr, 1), (std::vector<View>{{"default.token", kBuiltIn, "*****"}}));
    EXPECT_TRUE(iterate(nullptr, 0, KXE_NOTFOUND).empty());

    add_raw(KX_DEFAULT_TOKEN, "mode=hard");
    EXPECT_EQ(iterate(nullptr, 1),
              (std::vector<View>{{"default.token", concat({"mode=hard"}, {kBuiltIn.begin(), kBuiltIn.end() - 1}),
                                  "*****"}}));
    EXPECT_EQ(iterate(nullptr, 0), (std::vector<View>{{"default.token", {"mode=hard"}, " "}}));

    // Begin refuses what it cannot search for.
    EXPECT_EQ(kx_setCryptoEnt(nullptr, nullptr, 0), KXE_INVAL);
    char bad[] = "abc";
    EXPECT_EQ(kx_setCryptoEnt(kxa_, bad, 1), KXE_INVAL);
    kx_endCryptoEnt();
}

TEST_F(CryptoStore, EqualIdsAreHandedOutLastMetFirst)
{
    forget_default();
    expect_no_configuration();
    if (HasFatalFailure())
        return;
    add_raw("holder.tok");
    add_raw("tie.tok", "mode=one");
    add_raw("tie.tok", "mode=two", raw_dn("holder.tok"));
    add_logical("tie.tok", "mode=three");
    add_raw("tie.tol", "mode=four");

    // The order in which the search meets them.
    auto met = ldap_find(subtree(), "(&(objectclass=kxCrypto)(|(objectclass=kxRawToken)(objectclass=kxLogicalToken)))");
    std::vector<View> ties;
    for (const auto &e : met)
        if (e.at("kxID")[0] == "tie.tok")
            ties.insert(ties.begin(), View{"tie.tok", {e.at("kxCryptoString")[0]}, " "});
    ASSERT_EQ(ties.size(), 3u);
    ties.push_back({"tie.tol", {"mode=four"}, " "});
    EXPECT_EQ(iterate(nullptr, 0), ties);
}

// ===== adding, replacing, deleting ===========================================================

TEST_F(CryptoStore, AddCreatesTheMissingRawTokenOfTheDefaultToken)
{
    forget_default();
    EXPECT_EQ(add(KX_DEFAULT_TOKEN, {"enc_up_type=ARCFOUR", "mode=hard"}, 0), KXE_SUCCESS);
    EXPECT_EQ(attrs_of(raw_dn(KX_DEFAULT_TOKEN)), (Attrs{{"objectClass", {"kxCrypto", "kxRawToken"}},
                                                         {"kxID", {"default.token"}},
                                                         {"kxTokenType", {"user"}},
                                                         {"kxTokenState", {"unknown"}},
                                                         {"kxEnabled", {"allowed"}},
                                                         {"kxCryptoString", {"enc_up_type=ARCFOUR,mode=hard"}}}));
    EXPECT_EQ(entries_with_id(KX_DEFAULT_TOKEN).size(), 1u);
    EXPECT_EQ(found(KX_DEFAULT_TOKEN, 0), (View{"default.token", {"enc_up_type=ARCFOUR", "mode=hard"}, "  "}));
}

TEST_F(CryptoStore, AddToAnExistingEntryKeepsItsAttributes)
{
    ASSERT_EQ(ldapadd("dn: " + raw_dn("kept.tok") +
                                      "\nobjectClass: kxRawToken\nkxID: kept.tok\nkxSecret: s3cr3t\n"
                                      "kxTokenType: card\nkxMisc1: m1\n"),
              0);
    remove_later(raw_dn("kept.tok"));
    Attrs before = attrs_of(raw_dn("kept.tok"));
    EXPECT_EQ(add("kept.tok", {"enc_up_type=none", "mode=soft"}, 0), KXE_SUCCESS);
    Attrs after = attrs_of(raw_dn("kept.tok"));
    EXPECT_EQ(after["kxCryptoString"], std::vector<std::string>{"enc_up_type=none,mode=soft"});
    EXPECT_EQ(after["objectClass"], (std::vector<std::string>{"kxCrypto", "kxRawToken"}));
    after.erase("kxCryptoString");
    after.erase("objectClass");
    before.erase("objectClass");
    EXPECT_EQ(after, before);
    EXPECT_EQ(entries_with_id("kept.tok").size(), 1u);
}

TEST_F(CryptoStore, ExistingConfigurationIsReplacedOnlyWithFlagOne)
{
    add_raw("rep.tok", "mode=hard");
    for (int flag : {0, 2, -1}) {
        EXPECT_EQ(add("rep.tok", {"mode=soft"}, flag), KXE_EXISTS) << flag;
        EXPECT_EQ(attrs_of(raw_dn("rep.tok"))["kxCryptoString"], std::vector<std::string>{"mode=hard"});
    }
    EXPECT_EQ(add("rep.tok", {"auth_down_type=simple", "enc_up_type=ARCFOUR"}, 1), KXE_SUCCESS);
    Attrs a = attrs_of(raw_dn("rep.tok"));
    EXPECT_EQ(a["kxCryptoString"], std::vector<std::string>{"auth_down_type=simple,enc_up_type=ARCFOUR"});
    EXPECT_EQ(a["objectClass"], (std::vector<std::string>{"kxCrypto", "kxRawToken"}));
}

TEST_F(CryptoStore, PseudoTokenConfigurationIsWrittenToItsStoredName)
{
    add_raw("pt.one");
    EXPECT_EQ(add("pseudo.pt.one", {"mode=hard"}, 0), KXE_SUCCESS);
    EXPECT_EQ(attrs_of(raw_dn("pt.one"))["kxCryptoString"], std::vector<std::string>{"mode=hard"});
    EXPECT_EQ(add("PSEUDO.pt.one", {"mode=soft"}, 0), KXE_EXISTS);
    EXPECT_EQ(add("PSEUDO.pt.one", {"mode=soft"}, 1), KXE_SUCCESS);
    EXPECT_EQ(attrs_of(raw_dn("pt.one"))["kxCryptoString"], std::vector<std::string>{"mode=soft"});
    EXPECT_EQ(del("pseudo.pt.one"), KXE_SUCCESS);
    EXPECT_EQ(attrs_of(raw_dn("pt.one")).count("kxCryptoString"), 0u);
    EXPECT_TRUE(entries_with_id("pseudo.pt.one").empty());

    // Without a raw token for it, the configuration still ends up on the
    // entry named by the stored name.
    remove_later(raw_dn("pt.two"));
    remove_later(raw_dn("pseudo.pt.two"));
    EXPECT_EQ(add("pseudo.pt.two", {"mode=hard"}, 0), KXE_SUCCESS);
    EXPECT_EQ(attrs_of(raw_dn("pt.two"))["kxCryptoString"], std::vector<std::string>{"mode=hard"});
    EXPECT_EQ(found("pseudo.pt.two", 0), (View{"pt.two", {"mode=hard"}, " "}));
}

TEST_F(CryptoStore, LogicalTokenMustExistBeforeItCarriesAConfiguration)
{
    EXPECT_EQ(add("user.ghost", {"mode=hard"}, 0), KXE_NOTOKEN);
    EXPECT_TRUE(entries_with_id("user.ghost").empty());

    add_logical("user.carol");
    EXPECT_EQ(add("user.carol", {"mode=hard", "enc_up_type=ARCFOUR"}, 0), KXE_SUCCESS);
    Attrs a = attrs_of(logical_dn("user.carol"));
    EXPECT_EQ(a["kxCryptoString"], std::vector<std::string>{"mode=hard,enc_up_type=ARCFOUR"});
    EXPECT_EQ(a["objectClass"], (std::vector<std::string>{"kxCrypto", "kxLogicalToken"}));
    EXPECT_EQ(entries_with_id("user.carol").size(), 1u);  // no raw token was made
    EXPECT_EQ(found("user.carol", 0), (View{"user.carol", {"mode=hard", "enc_up_type=ARCFOUR"}, "  "}));

    EXPECT_EQ(del("user.carol"), KXE_SUCCESS);
    a = attrs_of(logical_dn("user.carol"));
    EXPECT_EQ(a, (Attrs{{"objectClass", {"kxLogicalToken"}}, {"kxID", {"user.carol"}}}));
}

TEST_F(CryptoStore, DeleteRemovesTheConfigurationAndKeepsTheEntry)
{
    store_default("mode=hard");
    remove_later(raw_dn("del.tok"));
    EXPECT_EQ(add("del.tok", {"enc_up_type=ARCFOUR"}, 0), KXE_SUCCESS);
    EXPECT_EQ(del("del.tok"), KXE_SUCCESS);
    EXPECT_EQ(attrs_of(raw_dn("del.tok")), (Attrs{{"objectClass", {"kxRawToken"}},
                                                  {"kxID", {"del.tok"}},
                                                  {"kxTokenType", {"user"}},
                                                  {"kxTokenState", {"unknown"}},
                                                  {"kxEnabled", {"allowed"}}}));
    EXPECT_EQ(lookup("del.tok", 0).rc, KXE_NOTFOUND);
    EXPECT_EQ(found("del.tok", 1),
              (View{"default.token", concat({"mode=hard"}, {kBuiltIn.begin(), kBuiltIn.end() - 1}), "*****"}));
    EXPECT_EQ(del("del.tok"), KXE_NOTFOUND);
    EXPECT_EQ(del("none.such"), KXE_NOTFOUND);

    EXPECT_EQ(del(KX_DEFAULT_TOKEN), KXE_SUCCESS);
    EXPECT_EQ(found(KX_DEFAULT_TOKEN, 1), (View{"default.token", kBuiltIn, "*****"}));
    EXPECT_EQ(attrs_of(raw_dn(KX_DEFAULT_TOKEN)),
              (Attrs{{"objectClass", {"kxRawToken"}}, {"kxID", {"default.token"}}}));
}

// The value deleted is the string rebuilt from the pairs read; a stored
// string that reads back differently (here with a trailing comma) is not
// matched, and nothing is changed.
TEST_F(CryptoStore, StoredStringThatIsNotRebuiltExactlyIsKept)
{
    add_raw("trail.tok", "mode=hard,");
    kxcap_clear();
    EXPECT_EQ(del("trail.tok"), KXE_INTERNAL);
    EXPECT_TRUE(logged("modify_entry(): LDAP modify failed - No such attribute\n"));
    EXPECT_EQ(add("trail.tok", {"mode=soft"}, 1), KXE_INTERNAL);
    Attrs a = attrs_of(raw_dn("trail.tok"));
    EXPECT_EQ(a["kxCryptoString"], std::vector<std::string>{"mode=hard,"});
    EXPECT_EQ(a["objectClass"], (std::vector<std::string>{"kxCrypto", "kxRawToken"}));
}

TEST_F(CryptoStore, CryptoStringIsCutAfter9999Characters)
{
    add_raw("long.tok");
    std::vector<std::string> pairs;
    for (int i = 0; i < 1000; ++i) {
        char pair[16];
        std::snprintf(pair, sizeof pair, "k%04d=abcd", i);
        pairs.push_back(pair);
    }
    std::string joined = join(pairs);
    ASSERT_GT(joined.size(), 9999u);
    EXPECT_EQ(add("long.tok", pairs, 0), KXE_SUCCESS);
    EXPECT_EQ(attrs_of(raw_dn("long.tok"))["kxCryptoString"], std::vector<std::string>{joined.substr(0, 9999)});

    // 9999 characters are stored whole.
    add_raw("fits.tok");
    std::vector<std::string> fit(pairs.begin(), pairs.begin() + 900);
    fit.push_back("z=" + std::string(9999 - join(fit).size() - 3, 'y'));
    ASSERT_EQ(join(fit).size(), 9999u);
    EXPECT_EQ(add("fits.tok", fit, 0), KXE_SUCCESS);
    EXPECT_EQ(attrs_of(raw_dn("fits.tok"))["kxCryptoString"], std::vector<std::string>{join(fit)});
}

std::string dn_of(KXAdmin k, const std::string &id)
{
    std::string copy = id;
    char *dn = constructDN(k, copy.data());
    std::string s = dn ? dn : "(null)";
    free(dn);
    return s;
}

TEST_F(CryptoStore, DistinguishedNameOfAToken)
{
    EXPECT_EQ(dn_of(kxa_, KX_DEFAULT_TOKEN), "kxID=default.token,kxName=rawTokens," + subtree());
    EXPECT_EQ(dn_of(kxa_, "pseudo.card.one"), "kxID=card.one,kxName=rawTokens," + subtree());
    EXPECT_EQ(dn_of(kxa_, "Pseudo.card.one"), "kxID=card.one,kxName=rawTokens," + subtree());
    EXPECT_EQ(dn_of(kxa_, "user.alice"), "kxID=user.alice,kxName=logicalTokens," + subtree());
    EXPECT_EQ(dn_of(kxa_, "abc"), "(null)");
    EXPECT_EQ(dn_of(kxa_, ""), "(null)");
    EXPECT_EQ(constructDN(kxa_, nullptr), nullptr);
}

// The name of the entry must stay below 500 characters.  The session's base
// is made long, below the test bed's, so that the limit is reached with ids
// short enough for the directory server to store.
TEST_F(CryptoStore, DistinguishedNameStaysBelow500Characters)
{
    std::string outer = "kxName=" + std::string(190, 'b') + "," + subtree();
    std::string base = "kxName=" + std::string(190, 'a') + "," + outer;
    std::string ldif;
    for (const std::string &dn : {outer, base, "kxName=rawTokens," + base, "kxName=logicalTokens," + base}) {
        ldif += "dn: " + dn + "\nobjectClass: kxContainer\nkxName: " +
                dn.substr(7, dn.find(',') - 7) + "\n\n";
        remove_later(dn);
    }
    ASSERT_EQ(ldapadd(ldif), 0);
    KXAdmin k = open(3, config_variant({{"admin.subtree", base}}));
    ASSERT_NE(k, nullptr);

    size_t raw_room = 499 - std::string("kxID=,kxName=rawTokens,").size() - base.size();
    size_t logical_room = 499 - std::string("kxID=,kxName=logicalTokens,").size() - base.size();
    std::string raw_max = std::string(raw_room - 4, 'r') + ".tok";
    std::string logical_max = "user." + std::string(logical_room - 5, 'l');
    EXPECT_EQ(dn_of(k, raw_max), "kxID=" + raw_max + ",kxName=rawTokens," + base);
    EXPECT_EQ(dn_of(k, raw_max).size(), 499u);
    EXPECT_EQ(dn_of(k, "pseudo." + raw_max).size(), 499u);
    EXPECT_EQ(dn_of(k, "r" + raw_max), "(null)");
    EXPECT_EQ(dn_of(k, logical_max), "kxID=" + logical_max + ",kxName=logicalTokens," + base);
    EXPECT_EQ(dn_of(k, logical_max).size(), 499u);
    EXPECT_EQ(dn_of(k, logical_max + "l"), "(null)");

    // A configuration is written to an entry at the limit, but not to one
    // whose name is a character longer.
    std::string raw_over = "r" + raw_max;
    std::string logical_over = logical_max + "l";
    for (const std::string &id : {raw_max, raw_over})
        add_raw(id, nullptr, "kxName=rawTokens," + base);
    for (const std::string &id : {logical_max, logical_over}) {
        std::string dn = "kxID=" + id + ",kxName=logicalTokens," + base;
        remove_later(dn);
        ASSERT_EQ(ldapadd("dn: " + dn + "\nobjectClass: kxLogicalToken\nkxID: " + id + "\n"), 0);
    }
    for (const std::string &id : {raw_max, logical_max}) {
        SCOPED_TRACE(id.size());
        EXPECT_EQ(add(id.c_str(), {"mode=hard"}, 0, k), KXE_SUCCESS);
        auto e = ldap_find(base, "(kxID=" + id + ")");
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0]["kxCryptoString"], std::vector<std::string>{"mode=hard"});
        EXPECT_EQ(view(lookup(id, 0, k).rec.get()), (View{id, {"mode=hard"}, " "}));
        EXPECT_EQ(kx_delCryptoEnt(k, const_cast<char *>(id.c_str())), KXE_SUCCESS);
    }
    for (const std::string &id : {raw_over, logical_over}) {
        SCOPED_TRACE(id.size());
        EXPECT_EQ(add(id.c_str(), {"mode=hard"}, 0, k), KXE_INTERNAL);
        auto e = ldap_find(base, "(kxID=" + id + ")");
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].count("kxCryptoString"), 0u);
    }
    close_session(k);
}

TEST_F(CryptoStore, InvalidArgumentsChangeNothing)
{
    forget_default();
    for (const char *id : {"abc", "user.", ".abc", "abc.", ""}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(add(id, {"mode=hard"}, 0), KXE_INVAL);
        EXPECT_EQ(add(id, {"mode=hard"}, 1), KXE_INVAL);
        EXPECT_EQ(del(id), KXE_INVAL);
        EXPECT_EQ(lookup(id, 0).rc, KXE_INVAL);
        EXPECT_EQ(lookup(id, 1).rc, KXE_INVAL);
    }
    EXPECT_EQ(add(nullptr, {"mode=hard"}, 0), KXE_INVAL);
    Crypto r = record(KX_DEFAULT_TOKEN, {"mode=hard"});
    EXPECT_EQ(kx_addCryptoEnt(nullptr, r.get(), 0), KXE_INVAL);
    EXPECT_EQ(kx_addCryptoEnt(kxa_, nullptr, 0), KXE_INVAL);
    EXPECT_EQ(kx_delCryptoEnt(nullptr, r->tokenID), KXE_INVAL);
    EXPECT_EQ(kx_delCryptoEnt(kxa_, nullptr), KXE_INVAL);
    kx_CryptoEnt_t *out = r.get();
    EXPECT_EQ(kx_getCryptoEntByTokenID(nullptr, r->tokenID, &out, 0), KXE_INVAL);
    EXPECT_EQ(out, nullptr);
    expect_no_configuration();
    EXPECT_TRUE(entries_with_id(KX_DEFAULT_TOKEN).empty());
}

TEST_F(CryptoStore, AnonymousSessionReadsButCannotWrite)
{
    forget_default();
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    EXPECT_EQ(add(KX_DEFAULT_TOKEN, {"mode=hard"}, 0, anon), KXE_INTERNAL);
    EXPECT_TRUE(entries_with_id(KX_DEFAULT_TOKEN).empty());

    add_raw("anon.tok", "mode=hard");
    int rc = add("anon.tok", {"mode=soft"}, 1, anon);
    EXPECT_TRUE(rc == KXE_NOPERM || rc == KXE_INTERNAL) << rc;
    EXPECT_EQ(attrs_of(raw_dn("anon.tok"))["kxCryptoString"], std::vector<std::string>{"mode=hard"});
    EXPECT_EQ(view(lookup("anon.tok", 0, anon).rec.get()), (View{"anon.tok", {"mode=hard"}, " "}));
}

} // namespace
