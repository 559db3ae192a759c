// Raw token entries against the real slapd of the directory test bed:
// adding, changing, reading, testing and printing single raw tokens.  What
// each change stored is confirmed with ldapsearch, an independent client.

#include <string>
#include <vector>

#include <syslog.h>

#include <gtest/gtest.h>

#include "admin_private.h"
#include "admin_token.h"
#include "ds_support.h"
#include "syslog_capture.h"
#include "testbed_env.h"

namespace {

using namespace ds;

// The attributes of the raw token entries with this id (DN left out),
// values sorted.
std::vector<Attrs> raw_entries(const std::string &id)
{
    auto found = ldap_find(raw_tokens_base(), "(kxID=" + filter_escape(id) + ")");
    for (auto &e : found)
        e = sorted_attrs(e);
    return found;
}

// A record with heap copies of the given fields (NULL leaves one unset).
Raw token(const char *id, const char *secret = nullptr, const char *type = nullptr, const char *state = nullptr,
          const char *enabled = nullptr, const char *misc1 = nullptr, const char *misc2 = nullptr)
{
    Raw t(allocate_raw_token());
    t->id = dup(id);
    t->secret = dup(secret);
    t->token_type = dup(type);
    t->token_state = dup(state);
    t->enabled = dup(enabled);
    t->misc1 = dup(misc1);
    t->misc2 = dup(misc2);
    return t;
}

// The fields of a record, "(nil)" for the unset ones.
std::vector<std::string> fields(const KXRawToken *t)
{
    auto f = [](const char *s) { return std::string(s ? s : "(nil)"); };
    return {f(t->id), f(t->secret), f(t->token_type), f(t->token_state), f(t->enabled), f(t->misc1), f(t->misc2)};
}

class RawTokens : public DirectoryTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testbed_ready());
        kxcap_clear();
        kxa_ = open(3);
        ASSERT_NE(kxa_, nullptr);
    }
    int add(KXRawToken *t, KXAdmin k = nullptr)
    {
        if (t->id)
            remove_later(raw_dn(t->id));
        return add_raw_token(k ? k : kxa_, t);
    }
    int exists(const std::string &id, KXAdmin k = nullptr)
    {
        std::string copy = id;
        return raw_token_exists(k ? k : kxa_, copy.data());
    }
    int exists_on(const std::string &id, int on_primary)
    {
        std::string copy = id;
        return _kx_rawTokenExists(kxa_, copy.data(), on_primary);
    }
    Raw get(const std::string &id)
    {
        std::string copy = id;
        return Raw(get_raw_token(kxa_, copy.data()));
    }

    KXAdmin kxa_ = nullptr;
};

// ---- adding ------------------------------------------------------------------------------

TEST_F(RawTokens, AddWithOnlyTheIdWritesObjectClassAndId)
{
    Raw t = token("only.id");
    EXPECT_EQ(add(t.get()), 0);
    auto found = ldap_find(raw_dn("only.id"), "(objectClass=*)", "base");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], (Attrs{{"dn", {"kxID=only.id," + raw_tokens_base()}},
                               {"objectClass", {"kxRawToken"}},
                               {"kxID", {"only.id"}}}));
    EXPECT_EQ(kxcap_count(), 0);
}

TEST_F(RawTokens, AddWritesEverySetFieldAndGetReadsThemBack)
{
    Raw full = token("full.id", "  s3cr3t, kept as given ", "card", "active", "allowed", "m one", "m two");
    EXPECT_EQ(add(full.get()), 0);
    EXPECT_EQ(raw_entries("full.id"), (std::vector<Attrs>{{{"objectClass", {"kxRawToken"}},
                                                           {"kxID", {"full.id"}},
                                                           {"kxSecret", {"  s3cr3t, kept as given "}},
                                                           {"kxTokenType", {"card"}},
                                                           {"kxTokenState", {"active"}},
                                                           {"kxEnabled", {"allowed"}},
                                                           {"kxMisc1", {"m one"}},
                                                           {"kxMisc2", {"m two"}}}}));
    Raw back = get("full.id");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(fields(back.get()), fields(full.get()));

    // Unset fields are left out and read back unset.
    Raw some = token("some.id", nullptr, "user", nullptr, "disabled");
    EXPECT_EQ(add(some.get()), 0);
    EXPECT_EQ(raw_entries("some.id"), (std::vector<Attrs>{{{"objectClass", {"kxRawToken"}},
                                                           {"kxID", {"some.id"}},
                                                           {"kxTokenType", {"user"}},
                                                           {"kxEnabled", {"disabled"}}}}));
    back = get("some.id");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(fields(back.get()),
              (std::vector<std::string>{"some.id", "(nil)", "user", "(nil)", "disabled", "(nil)", "(nil)"}));
}

TEST_F(RawTokens, AddRefusesAnIdThatExists)
{
    Raw first = token("dup.id", "first");
    ASSERT_EQ(add(first.get()), 0);
    auto before = raw_entries("dup.id");

    Raw second = token("dup.id", "second", "user");
    kxcap_clear();
    EXPECT_EQ(add(second.get()), -1);
    EXPECT_EQ(log_records(),
              (std::vector<LogRecord>{{"add_raw_token(): raw token (dup.id) already exists\n", LOG_INFO}}));
    // Ids compare without regard to case in the directory.
    Raw upper = token("DUP.ID", "third");
    kxcap_clear();
    EXPECT_EQ(add(upper.get()), -1);
    EXPECT_TRUE(logged("add_raw_token(): raw token (DUP.ID) already exists\n"));
    EXPECT_EQ(raw_entries("dup.id"), before);
}

TEST_F(RawTokens, AddWithoutWriteAccessFails)
{
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    Raw t = token("anon.id", "s");
    kxcap_clear();
    EXPECT_EQ(add(t.get(), anon), -1);
    EXPECT_TRUE(logged("add_raw_token(): Could not add raw token\n"));
    EXPECT_TRUE(raw_entries("anon.id").empty());
}

// ---- changing ------------------------------------------------------------------------------

TEST_F(RawTokens, ModifyReplacesTheFieldsAndRemovesUnsetOnes)
{
    Raw t = token("mod.id", "old-secret", "card", "unknown", "allowed", "m1", "m2");
    ASSERT_EQ(add(t.get()), 0);
    // A security configuration on the same entry is not touched.
    ASSERT_EQ(ldapmodify("dn: " + raw_dn("mod.id") +
                                         "\nchangetype: modify\nadd: objectClass\nobjectClass: kxCrypto\n-\n"
                                         "add: kxCryptoString\nkxCryptoString: mode=hard\n"),
              0);

    Raw change = token("mod.id", nullptr, "user", "active", "disabled", nullptr, "new two");
    kxcap_clear();
    EXPECT_EQ(modify_raw_token(kxa_, change.get()), 0);
    EXPECT_EQ(log_records(),
              (std::vector<LogRecord>{{"user : Successfully modified user entry.", LOG_LOCAL1 | LOG_INFO}}));
    EXPECT_EQ(raw_entries("mod.id"), (std::vector<Attrs>{{{"objectClass", {"kxCrypto", "kxRawToken"}},
                                                          {"kxID", {"mod.id"}},
                                                          {"kxTokenType", {"user"}},
                                                          {"kxTokenState", {"active"}},
                                                          {"kxEnabled", {"disabled"}},
                                                          {"kxMisc2", {"new two"}},
                                                          {"kxCryptoString", {"mode=hard"}}}}));

    // Nothing set: every changeable attribute goes, the id stays.
    Raw bare = token("mod.id");
    EXPECT_EQ(modify_raw_token(kxa_, bare.get()), 0);
    EXPECT_EQ(raw_entries("mod.id"), (std::vector<Attrs>{{{"objectClass", {"kxCrypto", "kxRawToken"}},
                                                          {"kxID", {"mod.id"}},
                                                          {"kxCryptoString", {"mode=hard"}}}}));
}

TEST_F(RawTokens, ModifyOfAMissingTokenFails)
{
    Raw t = token("missing.id", "s", "user");
    remove_later(raw_dn("missing.id"));
    kxcap_clear();
    EXPECT_EQ(modify_raw_token(kxa_, t.get()), -1);
    EXPECT_TRUE(logged("modify_entry(): LDAP modify failed - No such object\n"));
    int prio = -1;
    ASSERT_GT(kxcap_count(), 0);
    EXPECT_STREQ(kxcap_message(kxcap_count() - 1, &prio), "user : Error modifying user entry.");
    EXPECT_EQ(prio, LOG_LOCAL1 | LOG_INFO);
    EXPECT_FALSE(logged("user : Successfully modified user entry."));
    EXPECT_TRUE(raw_entries("missing.id").empty());

    // Nor can an anonymous session change one that exists.
    Raw there = token("there.id", "s");
    ASSERT_EQ(add(there.get()), 0);
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    Raw change = token("there.id", "t");
    kxcap_clear();
    EXPECT_EQ(modify_raw_token(anon, change.get()), -1);
    EXPECT_TRUE(logged("user : Error modifying user entry."));
    EXPECT_EQ(raw_entries("there.id")[0]["kxSecret"], std::vector<std::string>{"s"});
}

// ---- reading and testing ------------------------------------------------------------------

TEST_F(RawTokens, GetNeedsExactlyOneEntry)
{
    EXPECT_EQ(get("none.id"), nullptr);

    Raw holder = token("holder.id");
    ASSERT_EQ(add(holder.get()), 0);
    Raw one = token("twice.id", "outer");
    ASSERT_EQ(add(one.get()), 0);
    Raw upper = get("TWICE.ID");
    ASSERT_NE(upper, nullptr);
    EXPECT_EQ(fields(upper.get()), (std::vector<std::string>{"twice.id", "outer", "(nil)", "(nil)", "(nil)",
                                                             "(nil)", "(nil)"}));

    // The same id once more, deeper below the container.
    std::string inner = "kxID=twice.id," + raw_dn("holder.id");
    remove_later(inner);
    ASSERT_EQ(ldapadd("dn: " + inner + "\nobjectClass: kxRawToken\nkxID: twice.id\n"), 0);
    kxcap_clear();
    EXPECT_EQ(get("twice.id"), nullptr);
    EXPECT_TRUE(logged("search_for_entries(): Found multiple matching entries, was expecting a single match"));
    EXPECT_EQ(exists("twice.id"), 1);
}

TEST_F(RawTokens, ExistenceOnTheSessionsServerAndOnThePrimary)
{
    Raw t = token("here.id");
    ASSERT_EQ(add(t.get()), 0);
    EXPECT_EQ(exists("here.id"), 1);
    EXPECT_EQ(exists("gone.id"), 0);
    for (int on_primary : {0, 1}) {
        EXPECT_EQ(exists_on("here.id", on_primary), KXE_SUCCESS);
        EXPECT_EQ(exists_on("gone.id", on_primary), KXE_NOTFOUND);
        EXPECT_EQ(_kx_rawTokenExists(kxa_, nullptr, on_primary), KXE_INVAL);
    }

    // A base that names no entry: the search fails.
    KXAdmin lost = open(3, config_variant({{"admin.subtree", "kxName=nowhere," + bed()["KX_SUFFIX"]}}));
    ASSERT_NE(lost, nullptr);
    EXPECT_EQ(exists("here.id", lost), -1);
    std::string id = "here.id";
    EXPECT_EQ(_kx_rawTokenExists(lost, id.data(), 0), KXE_INTERNAL);
    // add_raw_token takes a failed test for an existing token.
    Raw other = token("other.id");
    kxcap_clear();
    EXPECT_EQ(add(other.get(), lost), -1);
    EXPECT_TRUE(logged("add_raw_token(): raw token (other.id) already exists\n"));
}

TEST_F(RawTokens, ExistenceTestTakesIdsOfUpTo93Characters)
{
    std::string id93 = std::string(89, 'n') + ".tok";
    std::string id94 = "n" + id93;
    ASSERT_EQ(id93.size(), 93u);
    EXPECT_EQ(exists_on(id93, 0), KXE_NOTFOUND);
    Raw t = token(id93.c_str());
    ASSERT_EQ(add(t.get()), 0);
    kxcap_clear();
    EXPECT_EQ(exists_on(id93, 0), KXE_SUCCESS);
    EXPECT_EQ(exists_on(id93, 1), KXE_SUCCESS);
    EXPECT_EQ(kxcap_count(), 0);

    for (int on_primary : {0, 1}) {
        kxcap_clear();
        EXPECT_EQ(exists_on(id94, on_primary), KXE_NOBUFS);
        EXPECT_TRUE(logged("_kx_rawTokenExists(): database search filter too long"));
    }

    // The base "kxName=rawTokens, <subtree>" must stay below 500 characters.
    std::string suffix = "," + bed()["KX_SUFFIX"];
    std::string prefix = "kxName=rawTokens, ";
    std::string fits = "kxName=" + std::string(499 - prefix.size() - 7 - suffix.size(), 'x') + suffix;
    std::string too_long = "kxName=x" + fits.substr(7);
    KXAdmin at_limit = open(3, config_variant({{"admin.subtree", fits}}));
    KXAdmin beyond = open(3, config_variant({{"admin.subtree", too_long}}));
    ASSERT_NE(at_limit, nullptr);
    ASSERT_NE(beyond, nullptr);
    kxcap_clear();
    EXPECT_EQ(_kx_rawTokenExists(at_limit, id93.data(), 0), KXE_INTERNAL);  // searched: no such base
    EXPECT_FALSE(logged("_kx_rawTokenExists(): database subtree name too long"));
    EXPECT_EQ(_kx_rawTokenExists(beyond, id93.data(), 0), KXE_NOBUFS);
    EXPECT_TRUE(logged("_kx_rawTokenExists(): database subtree name too long"));
}

TEST_F(RawTokens, IdsWithFilterSyntaxMatchOnlyThemselves)
{
    Raw s1 = token("s1.x", "one");
    ASSERT_EQ(add(s1.get()), 0);
    for (const char *pattern : {"s*.x", "*", "s1.x)(kxID=*", "s\\31.x"}) {
        SCOPED_TRACE(pattern);
        EXPECT_EQ(exists(pattern), 0);
        EXPECT_EQ(exists_on(pattern, 0), KXE_NOTFOUND);
        EXPECT_EQ(get(pattern), nullptr);
    }

    const char *ids[] = {"s*.x", "p(q).x", "c,d.x", "e+f=g.x", "back\\slash.x", "#hash.x", "q\"uote.x", "l<t>;.x"};
    for (const char *id : ids) {
        SCOPED_TRACE(id);
        Raw t = token(id, "secret", "user");
        EXPECT_EQ(add(t.get()), 0);
        EXPECT_EQ(exists(id), 1);
        EXPECT_EQ(exists_on(id, 1), KXE_SUCCESS);
        Raw change = token(id, nullptr, "card");
        EXPECT_EQ(modify_raw_token(kxa_, change.get()), 0);
        EXPECT_EQ(raw_entries(id), (std::vector<Attrs>{{{"objectClass", {"kxRawToken"}},
                                                        {"kxID", {id}},
                                                        {"kxTokenType", {"card"}}}}));
        Raw back = get(id);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(fields(back.get()),
                  (std::vector<std::string>{id, "(nil)", "card", "(nil)", "(nil)", "(nil)", "(nil)"}));
    }
    EXPECT_EQ(raw_entries("s1.x")[0]["kxSecret"], std::vector<std::string>{"one"});
}

// ---- records -------------------------------------------------------------------------------

TEST(RawTokenRecord, PrintWritesEveryFieldToStandardError)
{
    Raw full = token("card.1", "s3cr3t", "user", "unknown", "allowed", "one", "two");
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    print_raw_token(nullptr, full.get());
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "raw token:\n"
                   "  id                 = card.1\n"
                   "  secret             = s3cr3t\n"
                   "  token_type         = user\n"
                   "  token_state        = unknown\n"
                   "  enabled            = allowed\n"
                   "  misc1              = one\n"
                   "  misc2              = two\n");

    Raw bare(allocate_raw_token());
    int unused = 0;
    testing::internal::CaptureStderr();
    print_raw_token(&unused, bare.get());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "raw token:\n"
                                                       "  id                 = (nil)\n"
                                                       "  secret             = (nil)\n"
                                                       "  token_type         = (nil)\n"
                                                       "  token_state        = (nil)\n"
                                                       "  enabled            = (nil)\n"
                                                       "  misc1              = (nil)\n"
                                                       "  misc2              = (nil)\n");
}

TEST(RawTokenRecord, FreshRecordIsEmptyAndFreeTakesEverything)
{
    KXRawToken *t = allocate_raw_token();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(fields(t), (std::vector<std::string>(7, "(nil)")));
    free_raw_token(t);
    free_raw_token(nullptr);
    Raw full = token("a.b", "s", "t", "u", "v", "w", "x");  // released by free_raw_token
    EXPECT_EQ(fields(full.get()), (std::vector<std::string>{"a.b", "s", "t", "u", "v", "w", "x"}));
}

} // namespace
