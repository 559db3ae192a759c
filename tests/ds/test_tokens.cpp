// Logical tokens, the translation from owned token ids to their owners, and
// the links between users, logical tokens and raw tokens with the cascading
// deletes, against the real slapd of the directory test bed.  What each
// operation left in the directory is confirmed with ldapsearch, an
// independent client.

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "admin_private.h"
#include "admin_token.h"
#include "ds_support.h"
#include "syslog_capture.h"
#include "testbed_env.h"

namespace {

using namespace ds;

// The library code of what the directory answers an anonymous write.
int anonymous_write_code()
{
    int status = 0;
    shell("ldapdelete -x -H " + sh_quote(local_uri()) + " " + sh_quote("kxID=nothing.here," + raw_tokens_base()) +
              " >/dev/null 2>&1",
          &status);
    return kx_dserr2kxerr(status);
}

std::optional<Attrs> lt_entry(const std::string &id)
{
    return entry_in(logical_tokens_base(), id);
}

std::optional<Attrs> rt_entry(const std::string &id)
{
    return entry_in(raw_tokens_base(), id);
}

// ---- records -------------------------------------------------------------------

Strings sorted(Strings v)
{
    std::sort(v.begin(), v.end());
    return v;
}

struct LogicalFree {
    void operator()(KXLogicalToken *t) const { free_logical_token(t); }
};
using Logical = std::unique_ptr<KXLogicalToken, LogicalFree>;

Logical new_logical(const std::string &id)
{
    Logical t(allocate_logical_token());
    t->id = dup(id.c_str());
    return t;
}

Raw new_raw(const std::string &id)
{
    Raw t(allocate_raw_token());
    t->id = dup(id.c_str());
    return t;
}

// A library id list handed back through a char ***: its texts, and freed.
Strings take_list(char **ids)
{
    Strings out = strings(ids);
    kx_free_array(ids);
    return out;
}

std::string print_of(KXLogicalToken *t, int brief)
{
    testing::internal::CaptureStderr();
    print_logical_token(nullptr, t, brief);
    return testing::internal::GetCapturedStderr();
}

// ---- the fixture ---------------------------------------------------------------

// All ids of these suites begin with "tk" (users, logical tokens) or contain
// ".tk" (raw tokens), so that the end of each test can prove that nothing
// was left behind.
class TokenTest : public StoreTest {
protected:
    void TearDown() override
    {
        StoreTest::TearDown();
        EXPECT_TRUE(ldap_find(subtree(), "(|(kxID=tk*)(kxID=*.tk*)(kxName=tk*))").empty())
            << "entries of this test were left behind";
    }
    // Entries written with the independent client.
    void put_user(const std::string &id, const Strings &logical = {}, const std::string &name = "")
    {
        std::string ldif = "dn: " + user_dn(id) + "\nobjectClass: kxUser\nkxID: " + id + "\n";
        if (!name.empty())
            ldif += "kxName: " + name + "\n";
        for (const auto &l : logical)
            ldif += "kxLogicalTokenIDs: " + l + "\n";
        ASSERT_EQ(ldapadd(ldif), 0) << ldif;
        remove_later(user_dn(id));
    }
    void put_logical(const std::string &id, const Strings &raw = {}, const std::string &below = "")
    {
        std::string dn = below.empty() ? logical_dn(id) : "kxID=" + dn_escape(id) + "," + below;
        std::string ldif = "dn: " + dn + "\nobjectClass: kxLogicalToken\nkxID: " + id + "\n";
        for (const auto &r : raw)
            ldif += "kxRawTokenIDs: " + r + "\n";
        ASSERT_EQ(ldapadd(ldif), 0) << ldif;
        remove_later(dn);
    }
    void put_raw(const std::string &id, const std::string &below = "")
    {
        std::string dn = below.empty() ? raw_dn(id) : "kxID=" + dn_escape(id) + "," + below;
        ASSERT_EQ(ldapadd("dn: " + dn + "\nobjectClass: kxRawToken\nkxID: " + id + "\n"), 0);
        remove_later(dn);
    }
    // A container entry, below which entries can be hidden from the DNs the
    // library composes while its subtree searches still find them.
    std::string put_helper(const std::string &name, const std::string &base)
    {
        std::string dn = "kxName=" + name + "," + base;
        EXPECT_EQ(ldapadd("dn: " + dn + "\nobjectClass: kxContainer\nkxName: " + name + "\n"), 0);
        remove_later(dn);
        return dn;
    }
    bool has_status(const std::string &id)
    {
        return dbm_user_exists(k_->ustat_db, const_cast<char *>(id.c_str())) == 1;
    }
};

class LogicalTokens : public TokenTest {};
class Translation : public TokenTest {};
class TokenLinks : public TokenTest {};
class TokenKinds : public TokenTest {};

// ====== logical tokens =====================================================================

TEST_F(LogicalTokens, AddWritesEverySetFieldAndTheRawTokenIds)
{
    Logical t = new_logical("tk-add-full");
    t->token_name = dup("my card");
    t->session_type = dup("default");
    t->session_params = dup("-geometry 1280x1024 CaseKept");
    t->server_name = dup("server.example");
    t->server_port = 7011;
    t->misc1 = dup("m1");
    t->misc2 = dup("m2");
    t->raw_token_ids = id_list({"card.tk1", "pseudo.tk2"});
    ASSERT_EQ(add_logical_token(k_, t.get()), 0) << log_dump();
    remove_later(logical_dn("tk-add-full"));

    auto e = lt_entry("tk-add-full");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(values(*e, "objectClass"), Strings{"kxLogicalToken"});
    EXPECT_EQ(values(*e, "kxID"), Strings{"tk-add-full"});
    EXPECT_EQ(values(*e, "kxTokenName"), Strings{"my card"});
    EXPECT_EQ(values(*e, "kxSessionType"), Strings{"default"});
    EXPECT_EQ(values(*e, "kxSessionParams"), Strings{"-geometry 1280x1024 CaseKept"});
    EXPECT_EQ(values(*e, "kxServerName"), Strings{"server.example"});
    EXPECT_EQ(values(*e, "kxServerPort"), Strings{"7011"});
    EXPECT_EQ(values(*e, "kxMisc1"), Strings{"m1"});
    EXPECT_EQ(values(*e, "kxMisc2"), Strings{"m2"});
    EXPECT_EQ(values(*e, "kxRawTokenIDs"), (Strings{"card.tk1", "pseudo.tk2"}));
    EXPECT_EQ(e->size(), 11u);
    // Neither the raw tokens nor a user link are made.
    EXPECT_TRUE(ldap_find(raw_tokens_base(), "(kxID=*.tk*)").empty());
    EXPECT_TRUE(ldap_find(users_base(), "(kxLogicalTokenIDs=tk-add-full)").empty());

    char id[] = "tk-add-full";
    Logical back(get_logical_token(k_, id));
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->id, "tk-add-full");
    EXPECT_STREQ(back->token_name, "my card");
    EXPECT_STREQ(back->session_type, "default");
    EXPECT_STREQ(back->session_params, "-geometry 1280x1024 CaseKept");
    EXPECT_STREQ(back->server_name, "server.example");
    EXPECT_EQ(back->server_port, 7011);
    EXPECT_STREQ(back->misc1, "m1");
    EXPECT_STREQ(back->misc2, "m2");
    EXPECT_EQ(strings(back->raw_token_ids), (Strings{"card.tk1", "pseudo.tk2"}));
    EXPECT_EQ(logical_token_exists(k_, id), 1);
}

TEST_F(LogicalTokens, AddWithoutOptionalFields)
{
    Logical t = new_logical("tk-add-min");
    ASSERT_EQ(add_logical_token(k_, t.get()), 0);
    remove_later(logical_dn("tk-add-min"));
    auto e = lt_entry("tk-add-min");
    ASSERT_TRUE(e.has_value());
    // The port is always written, 0 as "0".
    EXPECT_EQ(values(*e, "kxServerPort"), Strings{"0"});
    EXPECT_EQ(e->size(), 4u) << "dn, objectClass, kxID and kxServerPort only";

    Logical empty_list = new_logical("tk-add-min2");
    empty_list->raw_token_ids = id_list({});
    empty_list->server_port = -1;
    ASSERT_EQ(add_logical_token(k_, empty_list.get()), 0);
    remove_later(logical_dn("tk-add-min2"));
    e = lt_entry("tk-add-min2");
    ASSERT_TRUE(e.has_value());
    EXPECT_FALSE(has(*e, "kxRawTokenIDs"));
    EXPECT_EQ(values(*e, "kxServerPort"), Strings{"-1"});

    char id[] = "tk-add-min";
    Logical back(get_logical_token(k_, id));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->token_name, nullptr);
    EXPECT_EQ(back->session_type, nullptr);
    EXPECT_EQ(back->session_params, nullptr);
    EXPECT_EQ(back->server_name, nullptr);
    EXPECT_EQ(back->server_port, 0);
    EXPECT_EQ(back->misc1, nullptr);
    EXPECT_EQ(back->misc2, nullptr);
    EXPECT_EQ(back->raw_token_ids, nullptr);
}

TEST_F(LogicalTokens, AddRefusedByTheDirectory)
{
    Logical t = new_logical("tk-add-dup");
    t->token_name = dup("first");
    ASSERT_EQ(add_logical_token(k_, t.get()), 0);
    remove_later(logical_dn("tk-add-dup"));

    // The id is not checked beforehand; the directory refuses it.
    Logical again = new_logical("tk-add-dup");
    again->token_name = dup("second");
    again->raw_token_ids = id_list({"card.tk-dup"});
    kxcap_clear();
    EXPECT_EQ(add_logical_token(k_, again.get()), -1);
    EXPECT_TRUE(logged("add_entry(): LDAP add failed - Already exists\n", kDebugPriority));
    EXPECT_TRUE(logged("add_logical_token(): Could not add logical token\n", kDebugPriority));
    auto e = lt_entry("tk-add-dup");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(values(*e, "kxTokenName"), Strings{"first"});
    EXPECT_FALSE(has(*e, "kxRawTokenIDs"));

    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    Logical a = new_logical("tk-add-anon");
    kxcap_clear();
    EXPECT_EQ(add_logical_token(anon, a.get()), -1);
    EXPECT_TRUE(logged("add_logical_token(): Could not add logical token\n", kDebugPriority));
    EXPECT_FALSE(lt_entry("tk-add-anon").has_value());
}

TEST_F(LogicalTokens, ModifyReplacesTheChangeableAttributes)
{
    Logical t = new_logical("tk-mod");
    t->token_name = dup("old name");
    t->session_type = dup("default");
    t->session_params = dup("old params");
    t->server_name = dup("old.server");
    t->server_port = 1;
    t->misc1 = dup("old m1");
    t->raw_token_ids = id_list({"card.tk-mod1", "card.tk-mod2"});
    ASSERT_EQ(add_logical_token(k_, t.get()), 0);
    remove_later(logical_dn("tk-mod"));

    Logical c = new_logical("tk-mod");
    c->token_name = dup("new name");
    c->session_type = dup("kiosk");
    c->session_params = nullptr;  // removes kxSessionParams
    c->server_name = dup("new.server");
    c->server_port = 0;
    c->misc1 = nullptr;
    c->misc2 = dup("new m2");
    c->raw_token_ids = id_list({"card.tk-other"});  // not written
    kxcap_clear();
    EXPECT_EQ(modify_logical_token(k_, c.get()), 0) << log_dump();
    EXPECT_EQ(kxcap_count(), 0) << log_dump();

    auto e = lt_entry("tk-mod");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(values(*e, "kxID"), Strings{"tk-mod"});
    EXPECT_EQ(values(*e, "kxTokenName"), Strings{"new name"});
    EXPECT_EQ(values(*e, "kxSessionType"), Strings{"kiosk"});
    EXPECT_FALSE(has(*e, "kxSessionParams"));
    EXPECT_EQ(values(*e, "kxServerName"), Strings{"new.server"});
    EXPECT_EQ(values(*e, "kxServerPort"), Strings{"0"});
    EXPECT_FALSE(has(*e, "kxMisc1"));
    EXPECT_EQ(values(*e, "kxMisc2"), Strings{"new m2"});
    EXPECT_EQ(values(*e, "kxRawTokenIDs"), (Strings{"card.tk-mod1", "card.tk-mod2"}));

    // A token that does not exist, and a session that may not write.
    Logical missing = new_logical("tk-mod-missing");
    EXPECT_EQ(modify_logical_token(k_, missing.get()), -1);
    EXPECT_FALSE(lt_entry("tk-mod-missing").has_value());
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    Logical n = new_logical("tk-mod");
    n->token_name = dup("anonymous");
    EXPECT_EQ(modify_logical_token(anon, n.get()), -1);
    EXPECT_EQ(values(lt_entry("tk-mod"), "kxTokenName"), Strings{"new name"});
}

TEST_F(LogicalTokens, GetAndExistsFindExactlyOneToken)
{
    put_logical("tk-get-1", {"card.tk-get"});
    char id[] = "tk-get-1";
    char missing[] = "tk-get-none";
    EXPECT_EQ(logical_token_exists(k_, id), 1);
    kxcap_clear();
    EXPECT_EQ(get_logical_token(k_, missing), nullptr);
    EXPECT_EQ(kxcap_count(), 0) << log_dump();
    EXPECT_EQ(logical_token_exists(k_, missing), 0);

    // Ids of the other containers are not logical tokens.
    put_user("tk-get-user");
    put_raw("rt.tk-get");
    for (const char *other : {"tk-get-user", "rt.tk-get"}) {
        std::string s = other;
        EXPECT_EQ(get_logical_token(k_, s.data()), nullptr) << other;
        EXPECT_EQ(logical_token_exists(k_, s.data()), 0) << other;
    }

    // Filter syntax in an id matches nothing.
    for (const char *bad : {"tk-get-*", "*", "tk-get-1)(kxID=*", "x)(objectclass=*", "tk-get-1)(|(kxID=*"}) {
        SCOPED_TRACE(bad);
        std::string s = bad;
        EXPECT_EQ(get_logical_token(k_, s.data()), nullptr);
        EXPECT_EQ(logical_token_exists(k_, s.data()), 0);
    }

    // A second entry with the same id below a helper entry of the container.
    std::string helper = put_helper("tk-helper", logical_tokens_base());
    put_logical("tk-get-1", {}, helper);
    kxcap_clear();
    EXPECT_EQ(get_logical_token(k_, id), nullptr);
    EXPECT_TRUE(logged("search_for_entries(): Found multiple matching entries, was expecting a single match",
                       kDebugPriority));
    EXPECT_EQ(logical_token_exists(k_, id), 1);
}

TEST_F(LogicalTokens, ExistenceTestMatchesEveryGivenId)
{
    put_logical("tk-ex-a", {"card.tk-ex1", "card.tk-ex2"});
    put_logical("tk-ex-b", {});
    // An entry of another class in the container is no logical token.
    put_raw("tk-ex-c", logical_tokens_base());
    ASSERT_TRUE(lt_entry("tk-ex-c").has_value());

    char a[] = "tk-ex-a", b[] = "tk-ex-b", c[] = "tk-ex-c", none[] = "tk-ex-none";
    char r1[] = "card.tk-ex1", r2[] = "card.tk-ex2", r3[] = "card.tk-ex3";
    EXPECT_EQ(_kx_logicalTokenExists(k_, a, nullptr, 0), KXE_SUCCESS);
    EXPECT_EQ(_kx_logicalTokenExists(k_, b, nullptr, 0), KXE_SUCCESS);
    EXPECT_EQ(_kx_logicalTokenExists(k_, c, nullptr, 0), KXE_NOTFOUND);
    EXPECT_EQ(logical_token_exists(k_, c), 0);
    EXPECT_EQ(_kx_logicalTokenExists(k_, none, nullptr, 0), KXE_NOTFOUND);
    EXPECT_EQ(_kx_logicalTokenExists(k_, nullptr, r2, 0), KXE_SUCCESS);
    EXPECT_EQ(_kx_logicalTokenExists(k_, nullptr, r3, 0), KXE_NOTFOUND);
    // Both ids: a token with that id that lists that raw token.
    EXPECT_EQ(_kx_logicalTokenExists(k_, a, r1, 0), KXE_SUCCESS);
    EXPECT_EQ(_kx_logicalTokenExists(k_, b, r1, 0), KXE_NOTFOUND);
    EXPECT_EQ(_kx_logicalTokenExists(k_, a, r3, 0), KXE_NOTFOUND);
    EXPECT_EQ(_kx_logicalTokenExists(k_, nullptr, nullptr, 0), KXE_INVAL);
    EXPECT_EQ(_kx_logicalTokenExists(k_, nullptr, nullptr, 1), KXE_INVAL);
    // This host is the primary: the flag asks the same server.
    EXPECT_EQ(_kx_logicalTokenExists(k_, a, r1, 1), KXE_SUCCESS);
    EXPECT_EQ(_kx_logicalTokenExists(k_, b, r1, 1), KXE_NOTFOUND);

    // Filter syntax in either id matches nothing.
    for (const char *bad : {"tk-ex-*", "*", "x)(kxID=*", "tk-ex-a)(|(objectclass=*"}) {
        SCOPED_TRACE(bad);
        std::string s = bad;
        EXPECT_EQ(_kx_logicalTokenExists(k_, s.data(), nullptr, 0), KXE_NOTFOUND);
        EXPECT_EQ(_kx_logicalTokenExists(k_, nullptr, s.data(), 0), KXE_NOTFOUND);
    }
    std::string wild = "card.tk-ex*";
    EXPECT_EQ(_kx_logicalTokenExists(k_, a, wild.data(), 0), KXE_NOTFOUND);
}

TEST_F(LogicalTokens, ExistenceTestLimits)
{
    // "(&(objectclass=kxLogicalToken)(kxrawtokenids=<raw>)(kxID=<id>))" and
    // each term in 128 bytes.
    std::string raw80 = "card.tk" + std::string(73, 'r');
    std::string id89 = "tk-bound" + std::string(81, 'i');
    ASSERT_EQ(raw80.size(), 80u);
    ASSERT_EQ(id89.size(), 89u);
    put_logical(id89, {raw80});

    const std::string filter_msg = "_kx_logicalTokenExists(): database search filter too long";
    const std::string id_msg = "_kx_logicalTokenExists(): logical token name too long";
    const std::string raw_msg = "_kx_logicalTokenExists(): raw token name too long";

    kxcap_clear();
    EXPECT_EQ(_kx_logicalTokenExists(k_, nullptr, raw80.data(), 0), KXE_SUCCESS);
    EXPECT_EQ(_kx_logicalTokenExists(k_, id89.data(), nullptr, 0), KXE_SUCCESS);
    EXPECT_EQ(kxcap_count(), 0) << log_dump();
    EXPECT_EQ(logical_token_exists(k_, id89.data()), 1);

    std::string raw81 = raw80 + "r";
    kxcap_clear();
    EXPECT_EQ(_kx_logicalTokenExists(k_, nullptr, raw81.data(), 0), KXE_NOBUFS);
    EXPECT_TRUE(logged(filter_msg, kDebugPriority));
    EXPECT_EQ(kxcap_count(), 1) << log_dump();

    std::string id90 = id89 + "i";
    kxcap_clear();
    EXPECT_EQ(_kx_logicalTokenExists(k_, id90.data(), nullptr, 0), KXE_NOBUFS);
    EXPECT_TRUE(logged(filter_msg, kDebugPriority));
    EXPECT_EQ(logical_token_exists(k_, id90.data()), 0);

    // A term that alone needs 128 bytes.
    std::string id120(120, 'i'), id121(121, 'i');
    kxcap_clear();
    EXPECT_EQ(_kx_logicalTokenExists(k_, id120.data(), nullptr, 0), KXE_NOBUFS);
    EXPECT_TRUE(logged(filter_msg));
    kxcap_clear();
    EXPECT_EQ(_kx_logicalTokenExists(k_, id121.data(), nullptr, 0), KXE_NOBUFS);
    EXPECT_TRUE(logged(id_msg, kDebugPriority));
    std::string raw111(111, 'r'), raw112(112, 'r');
    kxcap_clear();
    EXPECT_EQ(_kx_logicalTokenExists(k_, nullptr, raw111.data(), 0), KXE_NOBUFS);
    EXPECT_TRUE(logged(filter_msg));
    kxcap_clear();
    EXPECT_EQ(_kx_logicalTokenExists(k_, nullptr, raw112.data(), 0), KXE_NOBUFS);
    EXPECT_TRUE(logged(raw_msg, kDebugPriority));
    // The raw token term is composed after the id term.
    kxcap_clear();
    EXPECT_EQ(_kx_logicalTokenExists(k_, id121.data(), raw112.data(), 0), KXE_NOBUFS);
    EXPECT_TRUE(logged(id_msg));
    EXPECT_FALSE(logged(raw_msg));

    // Both ids share the 127 characters: 54 of the frame and 73 of ids.
    std::string id40(40, 'i'), id41(41, 'i'), raw33(33, 'r');
    kxcap_clear();
    EXPECT_EQ(_kx_logicalTokenExists(k_, id40.data(), raw33.data(), 0), KXE_NOTFOUND);
    EXPECT_EQ(kxcap_count(), 0) << log_dump();
    EXPECT_EQ(_kx_logicalTokenExists(k_, id41.data(), raw33.data(), 0), KXE_NOBUFS);
    EXPECT_TRUE(logged(filter_msg));
}

TEST_F(LogicalTokens, SubtreeTooLongForTheSearchBase)
{
    // "kxName=logicalTokens, <subtree>" in 500 bytes: 477 characters of
    // subtree fit.
    auto subtree_of = [](size_t n) { return "kxName=" + std::string(n - 16, 's') + ",o=kxdata"; };
    char id[] = "tk-sub", raw[] = "card.tk-sub";
    for (size_t n : {477u, 478u}) {
        SCOPED_TRACE(n);
        std::string sub = subtree_of(n);
        ASSERT_EQ(sub.size(), n);
        std::string conf = config_variant({{"admin.subtree", sub}});
        int err = 99;
        KXAdmin k = open_connection(1, nullptr, nullptr, const_cast<char *>(conf.c_str()), &err);
        std::remove(conf.c_str());
        ASSERT_NE(k, nullptr) << err;
        keep(k);
        ASSERT_EQ(std::string(k->subtree), sub);
        kxcap_clear();
        char **ids = reinterpret_cast<char **>(0x1);
        if (n == 477) {
            // The base fits; there is no such entry to search below.
            EXPECT_EQ(_kx_logicalTokenExists(k, id, nullptr, 0), KXE_INTERNAL);
            EXPECT_EQ(_kx_getLidByRid(k, raw, &ids), KXE_NOTFOUND);
            EXPECT_FALSE(logged("_kx_logicalTokenExists(): database subtree name too long"));
            EXPECT_FALSE(logged("_kx_getLidByRid(): subtree name too long"));
        } else {
            EXPECT_EQ(_kx_logicalTokenExists(k, id, nullptr, 0), KXE_NOBUFS);
            EXPECT_TRUE(logged("_kx_logicalTokenExists(): database subtree name too long", kDebugPriority));
            EXPECT_EQ(_kx_getLidByRid(k, raw, &ids), KXE_NOBUFS);
            EXPECT_TRUE(logged("_kx_getLidByRid(): subtree name too long", kDebugPriority));
            EXPECT_EQ(logical_token_exists(k, id), 0);
            EXPECT_EQ(get_logical_token(k, id), nullptr);
            EXPECT_EQ(raw_token_id_to_logical_token_id(k, raw), nullptr);
            EXPECT_EQ(raw_token_id_to_logical_token(k, raw), nullptr);
        }
        EXPECT_EQ(ids, nullptr);
    }
}

TEST(LogicalTokensPrint, FormatOfTheRecord)
{
    Logical t(allocate_logical_token());
    EXPECT_EQ(t->id, nullptr);
    EXPECT_EQ(t->server_port, 0);
    EXPECT_EQ(t->raw_token_ids, nullptr);
    const std::string nil_block =
        "logical token:\n  id                 = (nil)\n  token_name         = (nil)\n"
        "  session_type       = (nil)\n  session_params     = (nil)\n  server_name        = (nil)\n"
        "  server_port        = 0\n  misc1              = (nil)\n  misc2              = (nil)\n";
    EXPECT_EQ(print_of(t.get(), 0), nil_block + "  raw_token_ids      = (nil)\n");
    EXPECT_EQ(print_of(t.get(), 1), nil_block);
    t->raw_token_ids = id_list({});
    EXPECT_EQ(print_of(t.get(), 0), nil_block + "  raw_token_ids      = (nil)\n");

    t->id = dup("user.1718000000-4711");
    t->token_name = dup("card");
    t->session_type = dup("default");
    t->session_params = dup("-x 1");
    t->server_name = dup("host1");
    t->server_port = 7011;
    t->misc1 = dup("a");
    t->misc2 = dup("b");
    kx_free_array(t->raw_token_ids);
    t->raw_token_ids = id_list({"card.1", "pseudo.080020a1b2c3"});
    const std::string block =
        "logical token:\n  id                 = user.1718000000-4711\n  token_name         = card\n"
        "  session_type       = default\n  session_params     = -x 1\n  server_name        = host1\n"
        "  server_port        = 7011\n  misc1              = a\n  misc2              = b\n";
    EXPECT_EQ(print_of(t.get(), 0), block +
                                        "  raw_token_ids      = card.1\n"
                                        "                     = pseudo.080020a1b2c3\n");
    EXPECT_EQ(print_of(t.get(), -1), block);
    free_logical_token(nullptr);
}

TEST_F(LogicalTokens, OverLongIdsAreRefusedCleanly)
{
    std::string sub = k_->subtree;
    // "kxID=<id>, kxName=logicalTokens, <subtree>" needs 500 bytes.
    size_t len = 500 - std::string("kxID=, kxName=logicalTokens, ").size() - sub.size();
    std::string id = "tk-long-" + std::string(len - 8, 'l');
    Logical t = new_logical(id);
    t->token_name = dup("tk-long-name");
    EXPECT_EQ(add_logical_token(k_, t.get()), -1);
    EXPECT_EQ(modify_logical_token(k_, t.get()), -1);
    EXPECT_EQ(get_logical_token(k_, t->id), nullptr);
    EXPECT_EQ(logical_token_exists(k_, t->id), 0);
    EXPECT_EQ(_kx_logicalTokenExists(k_, t->id, nullptr, 0), KXE_NOBUFS);
    EXPECT_EQ(delete_logical_token(k_, t->id), -1);
    EXPECT_TRUE(ldap_find(subtree(), "(|(kxID=tk-long-*)(kxTokenName=tk-long-name))").empty());
}

TEST_F(LogicalTokens, DistinguishedNameSyntaxInIds)
{
    // A token with a child entry: ids that would name the child, or place an
    // entry below the parent, if they were pasted into a DN.
    put_logical("tk-dn-p");
    put_logical("tk-dn-c", {}, logical_dn("tk-dn-p"));
    Logical hijack = new_logical("tk-dn-c, kxID=tk-dn-p");
    hijack->token_name = dup("hijacked");
    EXPECT_EQ(modify_logical_token(k_, hijack.get()), -1);
    auto child = ldap_find("kxID=tk-dn-c," + logical_dn("tk-dn-p"), "(objectClass=*)", "base");
    ASSERT_EQ(child.size(), 1u);
    EXPECT_FALSE(has(child[0], "kxTokenName"));

    for (std::string id : {"tk-dn-x,kxID=tk-dn-p", "tk-dn-a,b=c", "tk-dn-q+kxName=z"}) {
        SCOPED_TRACE(id);
        Logical t = new_logical(id);
        t->token_name = dup("tk-dn-name");
        if (add_logical_token(k_, t.get()) == 0) {
            remove_later(logical_dn(id));
            auto e = lt_entry(id);
            ASSERT_TRUE(e.has_value());
            EXPECT_EQ(values(*e, "kxID"), Strings{id});
            Logical back(get_logical_token(k_, t->id));
            ASSERT_NE(back, nullptr);
            EXPECT_EQ(std::string(back->id), id);
            EXPECT_EQ(delete_logical_token(k_, t->id), 0);
            EXPECT_FALSE(lt_entry(id).has_value());
        }
        EXPECT_EQ(ldap_find(logical_dn("tk-dn-p"), "(objectClass=*)", "one").size(), 1u);
        EXPECT_TRUE(ldap_find(subtree(), "(kxTokenName=tk-dn-name)").empty());
    }
}

// ====== from owned ids to owners ===============================================================

TEST_F(Translation, SingleOwnerLookups)
{
    put_user("tk-tr-u", {"tk-tr-l1", "tk-tr-l2"}, "Owner Name");
    put_logical("tk-tr-l1", {"card.tk-tr1", "card.tk-tr2"});
    put_logical("tk-tr-l2", {"card.tk-tr3"});
    Logical l2 = new_logical("tk-tr-l2");
    l2->token_name = dup("second");
    l2->raw_token_ids = id_list({"card.tk-tr3"});
    ASSERT_EQ(modify_logical_token(k_, l2.get()), 0);

    char l1[] = "tk-tr-l1", r2[] = "card.tk-tr2", r3[] = "card.tk-tr3";
    EXPECT_EQ(take(logical_token_id_to_user_id(k_, l1)), "tk-tr-u");
    EXPECT_EQ(take(raw_token_id_to_logical_token_id(k_, r2)), "tk-tr-l1");
    EXPECT_EQ(take(raw_token_id_to_logical_token_id(k_, r3)), "tk-tr-l2");
    EXPECT_EQ(take(raw_token_id_to_user_id(k_, r3)), "tk-tr-u");

    User u(logical_token_id_to_user(k_, l1));
    ASSERT_NE(u, nullptr);
    EXPECT_STREQ(u->id, "tk-tr-u");
    EXPECT_STREQ(u->name, "Owner Name");
    EXPECT_EQ(strings(u->logical_token_ids), (Strings{"tk-tr-l1", "tk-tr-l2"}));
    EXPECT_EQ(u->status, 0);
    EXPECT_EQ(u->last_desktop, nullptr);

    Logical t(raw_token_id_to_logical_token(k_, r3));
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->id, "tk-tr-l2");
    EXPECT_STREQ(t->token_name, "second");
    EXPECT_EQ(strings(t->raw_token_ids), Strings{"card.tk-tr3"});

    // With a status record the owner records carry its status.
    add_status("tk-tr-u", "status name", 10, 1, "IEEE802.080020000001", 20);
    User joined(raw_token_id_to_user(k_, r2));
    ASSERT_NE(joined, nullptr);
    EXPECT_STREQ(joined->id, "tk-tr-u");
    EXPECT_EQ(joined->create_time, 10);
    EXPECT_EQ(joined->status, 1);
    EXPECT_STREQ(joined->last_desktop, "IEEE802.080020000001");
    EXPECT_EQ(joined->last_time, 20);
    EXPECT_STREQ(joined->name, "Owner Name");
    User joined2(logical_token_id_to_user(k_, l1));
    ASSERT_NE(joined2, nullptr);
    EXPECT_EQ(joined2->status, 1);

    // No owner: nothing, and nothing reported.
    char unlisted[] = "card.tk-tr-none", lone[] = "tk-tr-lone";
    put_logical("tk-tr-lone", {"card.tk-tr-lone"});
    char lone_raw[] = "card.tk-tr-lone";
    kxcap_clear();
    EXPECT_EQ(raw_token_id_to_logical_token_id(k_, unlisted), nullptr);
    EXPECT_EQ(raw_token_id_to_user_id(k_, unlisted), nullptr);
    EXPECT_EQ(raw_token_id_to_user(k_, unlisted), nullptr);
    EXPECT_EQ(raw_token_id_to_logical_token(k_, unlisted), nullptr);
    EXPECT_EQ(logical_token_id_to_user_id(k_, lone), nullptr);
    EXPECT_EQ(logical_token_id_to_user(k_, lone), nullptr);
    EXPECT_EQ(raw_token_id_to_user_id(k_, lone_raw), nullptr);
    EXPECT_EQ(raw_token_id_to_user(k_, lone_raw), nullptr);
    EXPECT_EQ(kxcap_count(), 0) << log_dump();
    // The token lists are searched, not the ids of the entries.
    char user_id[] = "tk-tr-u";
    EXPECT_EQ(logical_token_id_to_user_id(k_, user_id), nullptr);
    EXPECT_EQ(raw_token_id_to_logical_token_id(k_, l1), nullptr);
}

TEST_F(Translation, TwoOwnersAreNoSingleOwner)
{
    put_user("tk-two-u1", {"tk-two-l1"});
    put_user("tk-two-u2", {"tk-two-l2", "tk-two-shared"});
    put_user("tk-two-u3", {"tk-two-shared"});
    put_logical("tk-two-l1", {"card.tk-two"});
    put_logical("tk-two-l2", {"card.tk-two"});
    put_logical("tk-two-l3", {"card.tk-two"});  // no owner

    char raw[] = "card.tk-two", shared[] = "tk-two-shared";
    kxcap_clear();
    EXPECT_EQ(raw_token_id_to_logical_token_id(k_, raw), nullptr);
    EXPECT_TRUE(logged("search_for_entries(): Found multiple matching entries, was expecting a single match",
                       kDebugPriority));
    EXPECT_EQ(raw_token_id_to_logical_token(k_, raw), nullptr);
    EXPECT_EQ(raw_token_id_to_user_id(k_, raw), nullptr);
    EXPECT_EQ(raw_token_id_to_user(k_, raw), nullptr);
    EXPECT_EQ(logical_token_id_to_user_id(k_, shared), nullptr);
    EXPECT_EQ(logical_token_id_to_user(k_, shared), nullptr);

    // The list lookups find them all, in the order of the search result.
    Strings expected;
    for (const auto &e : ldap_find(logical_tokens_base(), "(kxRawTokenIDs=card.tk-two)"))
        expected.push_back(values(e, "kxID")[0]);
    ASSERT_EQ(sorted(expected), (Strings{"tk-two-l1", "tk-two-l2", "tk-two-l3"}));
    char **ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(_kx_getLidByRid(k_, raw, &ids), KXE_SUCCESS);
    EXPECT_EQ(take_list(ids), expected);

    // Users of those tokens; the ownerless one is skipped.
    Strings users;
    for (const auto &l : expected)
        if (l == "tk-two-l1")
            users.push_back("tk-two-u1");
        else if (l == "tk-two-l2")
            users.push_back("tk-two-u2");
    ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(_kx_getUidByRid(k_, raw, &ids), KXE_SUCCESS);
    EXPECT_EQ(take_list(ids), users);
}

TEST_F(Translation, ListLookups)
{
    // One user owning two tokens that both list the raw token: the user
    // comes twice.
    put_user("tk-ll-u", {"tk-ll-a", "tk-ll-b"});
    put_logical("tk-ll-a", {"card.tk-ll1", "card.tk-ll"});
    put_logical("tk-ll-b", {"card.tk-ll"});
    // An entry that holds the raw token id but has no kxID is skipped.
    std::string odd = "kxName=tk-ll-odd," + logical_tokens_base();
    ASSERT_EQ(ldapadd("dn: " + odd + "\nobjectClass: kxContainer\nobjectClass: extensibleObject\n"
                      "kxName: tk-ll-odd\nkxRawTokenIDs: card.tk-ll\n"),
              0);
    remove_later(odd);

    char raw[] = "card.tk-ll";
    char **ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(_kx_getLidByRid(k_, raw, &ids), KXE_SUCCESS);
    EXPECT_EQ(sorted(take_list(ids)), (Strings{"tk-ll-a", "tk-ll-b"}));
    ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(_kx_getUidByRid(k_, raw, &ids), KXE_SUCCESS);
    EXPECT_EQ(take_list(ids), (Strings{"tk-ll-u", "tk-ll-u"}));

    // An owner entry without kxID gives no single owner id.
    std::string odd_user = "kxName=tk-ll-oddu," + users_base();
    ASSERT_EQ(ldapadd("dn: " + odd_user + "\nobjectClass: kxContainer\nobjectClass: extensibleObject\n"
                      "kxName: tk-ll-oddu\nkxLogicalTokenIDs: tk-ll-c\n"),
              0);
    remove_later(odd_user);
    put_logical("tk-ll-c", {"card.tk-ll-c"});
    char c[] = "tk-ll-c", raw_c[] = "card.tk-ll-c";
    EXPECT_EQ(logical_token_id_to_user_id(k_, c), nullptr);
    ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(_kx_getUidByRid(k_, raw_c, &ids), KXE_NOTFOUND);
    EXPECT_EQ(ids, nullptr);

    // Logical tokens without owners only, and no logical token at all.
    put_logical("tk-ll-free", {"card.tk-ll-free"});
    char free_raw[] = "card.tk-ll-free", none[] = "card.tk-ll-none";
    ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(_kx_getLidByRid(k_, free_raw, &ids), KXE_SUCCESS);
    EXPECT_EQ(take_list(ids), Strings{"tk-ll-free"});
    ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(_kx_getUidByRid(k_, free_raw, &ids), KXE_NOTFOUND);
    EXPECT_EQ(ids, nullptr);
    ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(_kx_getLidByRid(k_, none, &ids), KXE_NOTFOUND);
    EXPECT_EQ(ids, nullptr);
    ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(_kx_getUidByRid(k_, none, &ids), KXE_NOTFOUND);
    EXPECT_EQ(ids, nullptr);

    // Arguments that cannot be looked up.
    char empty[] = "";
    for (auto *fn : {&_kx_getLidByRid, &_kx_getUidByRid}) {
        ids = reinterpret_cast<char **>(0x1);
        EXPECT_EQ(fn(k_, empty, &ids), KXE_INVAL);
        EXPECT_EQ(ids, nullptr);
        ids = reinterpret_cast<char **>(0x1);
        EXPECT_EQ(fn(k_, nullptr, &ids), KXE_INVAL);
        EXPECT_EQ(ids, nullptr);
        ids = reinterpret_cast<char **>(0x1);
        EXPECT_EQ(fn(nullptr, raw, &ids), KXE_INVAL);
        EXPECT_EQ(ids, nullptr);
    }
}

TEST_F(Translation, ListLookupLimits)
{
    // "kxRawTokenIDs=<id>" in 128 bytes: 113 characters fit.
    std::string raw113 = "card.tk" + std::string(106, 'x');
    ASSERT_EQ(raw113.size(), 113u);
    put_user("tk-lim-u", {"tk-lim-l"});
    put_logical("tk-lim-l", {raw113});
    char **ids = reinterpret_cast<char **>(0x1);
    kxcap_clear();
    EXPECT_EQ(_kx_getLidByRid(k_, raw113.data(), &ids), KXE_SUCCESS);
    EXPECT_EQ(take_list(ids), Strings{"tk-lim-l"});
    ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(_kx_getUidByRid(k_, raw113.data(), &ids), KXE_SUCCESS);
    EXPECT_EQ(take_list(ids), Strings{"tk-lim-u"});
    EXPECT_EQ(take(raw_token_id_to_logical_token_id(k_, raw113.data())), "tk-lim-l");
    EXPECT_EQ(take(raw_token_id_to_user_id(k_, raw113.data())), "tk-lim-u");
    EXPECT_EQ(kxcap_count(), 0) << log_dump();

    std::string raw114 = raw113 + "x";
    ids = reinterpret_cast<char **>(0x1);
    kxcap_clear();
    EXPECT_EQ(_kx_getLidByRid(k_, raw114.data(), &ids), KXE_NOBUFS);
    EXPECT_EQ(ids, nullptr);
    EXPECT_TRUE(logged("_kx_getLidByRid(): search filter too long", kDebugPriority));
    ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(_kx_getUidByRid(k_, raw114.data(), &ids), KXE_NOBUFS);
    EXPECT_EQ(ids, nullptr);

    // The single lookups answer nothing for ids that do not fit.
    std::string huge(500, 'x');
    EXPECT_EQ(raw_token_id_to_logical_token_id(k_, huge.data()), nullptr);
    EXPECT_EQ(raw_token_id_to_user_id(k_, huge.data()), nullptr);
    EXPECT_EQ(raw_token_id_to_user(k_, huge.data()), nullptr);
    EXPECT_EQ(raw_token_id_to_logical_token(k_, huge.data()), nullptr);
    EXPECT_EQ(logical_token_id_to_user_id(k_, huge.data()), nullptr);
    EXPECT_EQ(logical_token_id_to_user(k_, huge.data()), nullptr);
    EXPECT_EQ(count_user_raw_tokens(k_, huge.data()), -1);
}

TEST_F(Translation, FilterSyntaxInIdsMatchesNothing)
{
    put_user("tk-fs-u", {"tk-fs-l"});
    put_logical("tk-fs-l", {"card.tk-fs"});
    for (const char *bad : {"card.tk-f*", "*", "card.tk-fs)(kxID=*", "x)(kxRawTokenIDs=*", "tk-fs-*",
                            "tk-fs-l)(|(kxID=*"}) {
        SCOPED_TRACE(bad);
        std::string s = bad;
        EXPECT_EQ(raw_token_id_to_logical_token_id(k_, s.data()), nullptr);
        EXPECT_EQ(raw_token_id_to_logical_token(k_, s.data()), nullptr);
        EXPECT_EQ(raw_token_id_to_user_id(k_, s.data()), nullptr);
        EXPECT_EQ(logical_token_id_to_user_id(k_, s.data()), nullptr);
        EXPECT_EQ(logical_token_id_to_user(k_, s.data()), nullptr);
        char **ids = reinterpret_cast<char **>(0x1);
        EXPECT_EQ(_kx_getLidByRid(k_, s.data(), &ids), KXE_NOTFOUND);
        EXPECT_EQ(ids, nullptr);
        ids = reinterpret_cast<char **>(0x1);
        EXPECT_EQ(_kx_getUidByRid(k_, s.data(), &ids), KXE_NOTFOUND);
        EXPECT_EQ(ids, nullptr);
        EXPECT_EQ(count_user_raw_tokens(k_, s.data()), -1);
    }
}

TEST_F(Translation, CountUserRawTokens)
{
    put_user("tk-cnt-u", {"tk-cnt-a", "tk-cnt-b"});
    put_logical("tk-cnt-a", {"card.tk-c1", "card.tk-c2"});
    put_logical("tk-cnt-b", {"card.tk-c3", "card.tk-c4", "card.tk-c5"});
    put_user("tk-cnt-none");
    put_user("tk-cnt-empty", {"tk-cnt-e"});
    put_logical("tk-cnt-e");
    put_user("tk-cnt-broken", {"tk-cnt-a", "tk-cnt-missing"});

    char u[] = "tk-cnt-u", none[] = "tk-cnt-none", empty[] = "tk-cnt-empty", broken[] = "tk-cnt-broken",
         nobody[] = "tk-cnt-nobody";
    EXPECT_EQ(count_user_raw_tokens(k_, u), 5);
    EXPECT_EQ(count_user_raw_tokens(k_, none), 0);
    EXPECT_EQ(count_user_raw_tokens(k_, empty), 0);
    EXPECT_EQ(count_user_raw_tokens(k_, broken), -1);
    EXPECT_EQ(count_user_raw_tokens(k_, nobody), -1);
}

// ====== links and cascades ========================================================================

TEST_F(TokenLinks, AddLogicalTokenToUserLinksTheToken)
{
    put_user("tk-al-u", {"tk-al-old"});
    Logical t = new_logical("tk-al-new");
    t->token_name = dup("linked");
    t->session_type = dup("default");
    t->server_port = 0;
    t->misc2 = dup("m2");
    t->raw_token_ids = id_list({"card.tk-al1"});  // never written here
    char user[] = "tk-al-u";
    kxcap_clear();
    EXPECT_EQ(add_logical_token_to_user(k_, user, t.get()), 0) << log_dump();
    remove_later(logical_dn("tk-al-new"));

    auto e = lt_entry("tk-al-new");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(values(*e, "objectClass"), Strings{"kxLogicalToken"});
    EXPECT_EQ(values(*e, "kxTokenName"), Strings{"linked"});
    EXPECT_EQ(values(*e, "kxSessionType"), Strings{"default"});
    EXPECT_EQ(values(*e, "kxServerPort"), Strings{"0"});
    EXPECT_EQ(values(*e, "kxMisc2"), Strings{"m2"});
    EXPECT_FALSE(has(*e, "kxRawTokenIDs"));
    EXPECT_EQ(e->size(), 7u);
    EXPECT_EQ(values(user_entry("tk-al-u"), "kxLogicalTokenIDs"), (Strings{"tk-al-old", "tk-al-new"}));
    EXPECT_TRUE(ldap_find(raw_tokens_base(), "(kxID=card.tk-al1)").empty());

    // A user without tokens gets its first.
    put_user("tk-al-v");
    Logical second = new_logical("tk-al-second");
    char v[] = "tk-al-v";
    EXPECT_EQ(add_logical_token_to_user(k_, v, second.get()), 0);
    remove_later(logical_dn("tk-al-second"));
    EXPECT_EQ(values(user_entry("tk-al-v"), "kxLogicalTokenIDs"), Strings{"tk-al-second"});
    EXPECT_EQ(take(logical_token_id_to_user_id(k_, second->id)), "tk-al-v");
}

TEST_F(TokenLinks, AddLogicalTokenToUserFailures)
{
    put_user("tk-alf-u", {"tk-alf-taken"});
    put_logical("tk-alf-taken", {"card.tk-alf"});

    // No such user.
    Logical t = new_logical("tk-alf-new");
    char nobody[] = "tk-alf-nobody";
    kxcap_clear();
    EXPECT_EQ(add_logical_token_to_user(k_, nobody, t.get()), -1);
    EXPECT_TRUE(logged("add_logical_token_to_user(): user (tk-alf-nobody) doesn't exist\n", kDebugPriority));
    EXPECT_FALSE(lt_entry("tk-alf-new").has_value());

    // The token id is taken.
    Logical taken = new_logical("tk-alf-taken");
    taken->token_name = dup("again");
    char user[] = "tk-alf-u";
    kxcap_clear();
    EXPECT_EQ(add_logical_token_to_user(k_, user, taken.get()), -1);
    EXPECT_TRUE(logged("add_logical_token_to_user(): logical token (tk-alf-taken) already exists\n",
                       kDebugPriority));
    EXPECT_EQ(values(user_entry("tk-alf-u"), "kxLogicalTokenIDs"), Strings{"tk-alf-taken"});
    auto e = lt_entry("tk-alf-taken");
    ASSERT_TRUE(e.has_value());
    EXPECT_FALSE(has(*e, "kxTokenName"));

    // A session that may not write.
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    kxcap_clear();
    EXPECT_EQ(add_logical_token_to_user(anon, user, t.get()), -1);
    EXPECT_TRUE(logged("add_logical_token_to_user(): Could not add logical token\n", kDebugPriority));
    EXPECT_FALSE(lt_entry("tk-alf-new").has_value());
    EXPECT_EQ(values(user_entry("tk-alf-u"), "kxLogicalTokenIDs"), Strings{"tk-alf-taken"});

    // A user found below kxName=users but not where its DN says: the token is
    // added, the user cannot be changed, and the token stays.
    std::string helper = put_helper("tk-alf-helper", users_base());
    ASSERT_EQ(ldapadd("dn: kxID=tk-alf-hidden," + helper + "\nobjectClass: kxUser\nkxID: tk-alf-hidden\n"), 0);
    char hidden[] = "tk-alf-hidden";
    ASSERT_EQ(user_exists(k_, hidden), 1);
    kxcap_clear();
    EXPECT_EQ(add_logical_token_to_user(k_, hidden, t.get()), -1);
    remove_later(logical_dn("tk-alf-new"));
    EXPECT_TRUE(logged("add_logical_token_to_user(): Could not modify user\n", kDebugPriority));
    EXPECT_TRUE(lt_entry("tk-alf-new").has_value());
    EXPECT_TRUE(ldap_find(subtree(), "(kxLogicalTokenIDs=tk-alf-new)").empty());
}

TEST_F(TokenLinks, AddRawTokenToLogicalToken)
{
    put_logical("tk-ar-l", {"card.tk-ar0"});
    Raw r = new_raw("card.tk-ar1");
    r->secret = dup("s3cr3t Value");
    r->token_type = dup("user");
    r->token_state = dup("unknown");
    r->enabled = dup("allowed");
    r->misc1 = dup("m1");
    r->misc2 = dup("m2");
    char l[] = "tk-ar-l";
    kxcap_clear();
    EXPECT_EQ(add_raw_token_to_logical_token(k_, l, r.get()), 0) << log_dump();
    remove_later(raw_dn("card.tk-ar1"));
    EXPECT_EQ(admin_log(), Strings{"user : User token (card.tk-ar1) successfully added."});

    auto e = rt_entry("card.tk-ar1");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(values(*e, "objectClass"), Strings{"kxRawToken"});
    EXPECT_EQ(values(*e, "kxID"), Strings{"card.tk-ar1"});
    EXPECT_EQ(values(*e, "kxSecret"), Strings{"s3cr3t Value"});
    EXPECT_EQ(values(*e, "kxTokenType"), Strings{"user"});
    EXPECT_EQ(values(*e, "kxTokenState"), Strings{"unknown"});
    EXPECT_EQ(values(*e, "kxEnabled"), Strings{"allowed"});
    EXPECT_EQ(values(*e, "kxMisc1"), Strings{"m1"});
    EXPECT_EQ(values(*e, "kxMisc2"), Strings{"m2"});
    EXPECT_EQ(e->size(), 9u);
    EXPECT_EQ(values(lt_entry("tk-ar-l"), "kxRawTokenIDs"), (Strings{"card.tk-ar0", "card.tk-ar1"}));

    // Only the id set: objectClass and kxID.
    Raw bare = new_raw("card.tk-ar2");
    EXPECT_EQ(add_raw_token_to_logical_token(k_, l, bare.get()), 0);
    remove_later(raw_dn("card.tk-ar2"));
    e = rt_entry("card.tk-ar2");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->size(), 3u);
    EXPECT_EQ(values(lt_entry("tk-ar-l"), "kxRawTokenIDs"),
              (Strings{"card.tk-ar0", "card.tk-ar1", "card.tk-ar2"}));
    EXPECT_EQ(kx_raw_and_logical_tokens_exist(k_, bare->id), 1);
}

TEST_F(TokenLinks, AddRawTokenToLogicalTokenFailures)
{
    put_logical("tk-arf-l", {"card.tk-arf0"});
    put_raw("card.tk-arf-taken");

    // No such logical token.
    Raw r = new_raw("card.tk-arf1");
    char nowhere[] = "tk-arf-nowhere";
    kxcap_clear();
    EXPECT_EQ(add_raw_token_to_logical_token(k_, nowhere, r.get()), -1);
    EXPECT_TRUE(logged("add_raw_token_to_logical_token(): logical token id (tk-arf-nowhere) doesn't exist\n",
                       kDebugPriority));
    EXPECT_EQ(admin_log(), (Strings{"user : Error adding user token id (card.tk-arf1).",
                                    "user : Logical token id (tk-arf-nowhere) does not exist."}));
    EXPECT_FALSE(rt_entry("card.tk-arf1").has_value());

    // The raw token exists.
    Raw taken = new_raw("card.tk-arf-taken");
    taken->secret = dup("x");
    char l[] = "tk-arf-l";
    kxcap_clear();
    EXPECT_EQ(add_raw_token_to_logical_token(k_, l, taken.get()), -1);
    EXPECT_TRUE(logged("add_raw_token_to_logical_token(): raw token (card.tk-arf-taken) already exists\n",
                       kDebugPriority));
    EXPECT_EQ(admin_log(), (Strings{"user : Error adding user token id (card.tk-arf-taken).",
                                    "user : Token already exists."}));
    EXPECT_EQ(values(lt_entry("tk-arf-l"), "kxRawTokenIDs"), Strings{"card.tk-arf0"});
    EXPECT_FALSE(has(*rt_entry("card.tk-arf-taken"), "kxSecret"));

    // A session that may not write.
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    kxcap_clear();
    EXPECT_EQ(add_raw_token_to_logical_token(anon, l, r.get()), -1);
    EXPECT_TRUE(logged("add_raw_token_to_logical_token(): Could not add raw token\n", kDebugPriority));
    EXPECT_EQ(admin_log(), (Strings{"user : Error adding user token (card.tk-arf1).",
                                    "user : Could not add raw token."}));
    EXPECT_FALSE(rt_entry("card.tk-arf1").has_value());
    EXPECT_EQ(values(lt_entry("tk-arf-l"), "kxRawTokenIDs"), Strings{"card.tk-arf0"});

    // A logical token found in the container but not where its DN says: the
    // raw token is added and stays, the list cannot be changed.
    std::string helper = put_helper("tk-arf-helper", logical_tokens_base());
    put_logical("tk-arf-hidden", {}, helper);
    char hidden[] = "tk-arf-hidden";
    kxcap_clear();
    EXPECT_EQ(add_raw_token_to_logical_token(k_, hidden, r.get()), -1);
    remove_later(raw_dn("card.tk-arf1"));
    EXPECT_TRUE(logged("add_raw_token_to_logical_token(): Could not modify user\n", kDebugPriority));
    EXPECT_EQ(admin_log(), (Strings{"user : Error adding user token (card.tk-arf1).",
                                    "user : Could not modify user in ldap."}));
    EXPECT_TRUE(rt_entry("card.tk-arf1").has_value());
    EXPECT_TRUE(ldap_find(subtree(), "(kxRawTokenIDs=card.tk-arf1)").empty());
}

TEST_F(TokenLinks, AddSimpleLogicalToken)
{
    char raw[] = "card.tk-as", logical[] = "tk-as-l";
    EXPECT_EQ(add_simple_logical_token(k_, raw, logical), 0) << log_dump();
    remove_later(raw_dn(raw));
    remove_later(logical_dn(logical));
    auto r = rt_entry(raw);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->size(), 3u) << "dn, objectClass and kxID only";
    auto l = lt_entry(logical);
    ASSERT_TRUE(l.has_value());
    EXPECT_EQ(values(*l, "kxRawTokenIDs"), Strings{"card.tk-as"});
    EXPECT_EQ(values(*l, "kxServerPort"), Strings{"0"});
    EXPECT_EQ(l->size(), 5u) << "dn, objectClass, kxID, kxServerPort and kxRawTokenIDs";
    EXPECT_TRUE(ldap_find(users_base(), "(kxLogicalTokenIDs=tk-as-l)").empty());

    // The raw token exists: nothing is added.
    char other[] = "tk-as-other";
    EXPECT_EQ(add_simple_logical_token(k_, raw, other), -1);
    EXPECT_FALSE(lt_entry(other).has_value());

    // The logical token exists: the raw token added first stays.
    char raw2[] = "card.tk-as2";
    EXPECT_EQ(add_simple_logical_token(k_, raw2, logical), -1);
    remove_later(raw_dn(raw2));
    EXPECT_TRUE(rt_entry(raw2).has_value());
    EXPECT_EQ(values(lt_entry(logical), "kxRawTokenIDs"), Strings{"card.tk-as"});

    // Nothing on a session that may not write.
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    char raw3[] = "card.tk-as3", logical3[] = "tk-as-3";
    EXPECT_EQ(add_simple_logical_token(anon, raw3, logical3), -1);
    EXPECT_FALSE(rt_entry(raw3).has_value());
    EXPECT_FALSE(lt_entry(logical3).has_value());
}

TEST_F(TokenLinks, DeleteRawToken)
{
    put_logical("tk-dr-l", {"card.tk-dr1", "card.tk-dr2", "card.tk-dr3"});
    put_raw("card.tk-dr1");
    put_raw("card.tk-dr2");
    put_raw("card.tk-dr-free");

    // Listed: unlinked, then deleted.
    char r2[] = "card.tk-dr2";
    kxcap_clear();
    EXPECT_EQ(delete_raw_token(k_, r2), KXE_SUCCESS) << log_dump();
    EXPECT_EQ(admin_log(), Strings{"user : Successfully deleted token id (card.tk-dr2)."});
    EXPECT_FALSE(rt_entry(r2).has_value());
    EXPECT_EQ(values(lt_entry("tk-dr-l"), "kxRawTokenIDs"), (Strings{"card.tk-dr1", "card.tk-dr3"}));

    // Not listed: only the entry.
    char free_raw[] = "card.tk-dr-free";
    EXPECT_EQ(delete_raw_token(k_, free_raw), KXE_SUCCESS);
    EXPECT_FALSE(rt_entry(free_raw).has_value());

    // Listed but without an entry: unlinked, and the delete fails.
    char r3[] = "card.tk-dr3";
    kxcap_clear();
    EXPECT_EQ(delete_raw_token(k_, r3), KXE_INTERNAL);
    EXPECT_EQ(admin_log(), Strings{"user : Error deleting token (card.tk-dr3)."});
    EXPECT_EQ(values(lt_entry("tk-dr-l"), "kxRawTokenIDs"), Strings{"card.tk-dr1"});

    // Neither listed nor present.
    char missing[] = "card.tk-dr-missing";
    kxcap_clear();
    EXPECT_EQ(delete_raw_token(k_, missing), KXE_INTERNAL);
    EXPECT_TRUE(logged("user : Error deleting token (card.tk-dr-missing).", kAdminPriority));
    EXPECT_TRUE(logged("delete_entry(): LDAP delete failed - No such object\n", kDebugPriority));

    // A session that may not write: the unlink is refused and nothing changes.
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    const int refused = anonymous_write_code();
    ASSERT_NE(refused, KXE_SUCCESS);
    char r1[] = "card.tk-dr1";
    kxcap_clear();
    EXPECT_EQ(delete_raw_token(anon, r1), refused);
    EXPECT_TRUE(logged("delete_raw_token(): Could not remove raw token id (card.tk-dr1) from logical token id "
                       "(tk-dr-l)\n",
                       kDebugPriority));
    EXPECT_EQ(admin_log(), Strings{"user : Error deleting raw token (card.tk-dr1) from logical token id "
                                   "(tk-dr-l)."});
    EXPECT_TRUE(rt_entry(r1).has_value());
    EXPECT_EQ(values(lt_entry("tk-dr-l"), "kxRawTokenIDs"), Strings{"card.tk-dr1"});
    // Unlisted on that session: the delete itself is refused.
    put_raw("card.tk-dr-anon");
    char anon_raw[] = "card.tk-dr-anon";
    kxcap_clear();
    EXPECT_EQ(delete_raw_token(anon, anon_raw), refused);
    EXPECT_EQ(admin_log(), Strings{"user : Error deleting token (card.tk-dr-anon)."});
    EXPECT_TRUE(rt_entry(anon_raw).has_value());
}

TEST_F(TokenLinks, DeleteRawTokenListedTwiceOrWithAChild)
{
    // Two logical tokens list it: there is no single owner to unlink from,
    // so only the entry goes.
    put_logical("tk-drt-a", {"card.tk-drt"});
    put_logical("tk-drt-b", {"card.tk-drt"});
    put_raw("card.tk-drt");
    char twice[] = "card.tk-drt";
    EXPECT_EQ(delete_raw_token(k_, twice), KXE_SUCCESS);
    EXPECT_FALSE(rt_entry(twice).has_value());
    EXPECT_EQ(values(lt_entry("tk-drt-a"), "kxRawTokenIDs"), Strings{"card.tk-drt"});
    EXPECT_EQ(values(lt_entry("tk-drt-b"), "kxRawTokenIDs"), Strings{"card.tk-drt"});

    // An entry with a child cannot be deleted; the unlink has happened.
    put_logical("tk-drt-c", {"card.tk-drt-parent", "card.tk-drt-other"});
    put_raw("card.tk-drt-parent");
    put_raw("card.tk-drt-child", raw_dn("card.tk-drt-parent"));
    char parent[] = "card.tk-drt-parent";
    kxcap_clear();
    EXPECT_EQ(delete_raw_token(k_, parent), KXE_INTERNAL);
    EXPECT_TRUE(logged("delete_entry(): LDAP delete failed - Operation not allowed on non-leaf\n"));
    EXPECT_EQ(admin_log(), Strings{"user : Error deleting token (card.tk-drt-parent)."});
    EXPECT_TRUE(rt_entry(parent).has_value());
    EXPECT_EQ(values(lt_entry("tk-drt-c"), "kxRawTokenIDs"), Strings{"card.tk-drt-other"});

    // An id that would name the child if pasted into a DN deletes nothing.
    char named_child[] = "card.tk-drt-child, kxID=card.tk-drt-parent";
    EXPECT_NE(delete_raw_token(k_, named_child), KXE_SUCCESS);
    EXPECT_EQ(ldap_find(raw_dn("card.tk-drt-parent"), "(objectClass=*)", "one").size(), 1u);
}

TEST_F(TokenLinks, DeleteLogicalToken)
{
    put_user("tk-dl-u", {"tk-dl-a", "tk-dl-b"});
    put_logical("tk-dl-a", {"card.tk-dl1", "card.tk-dl-gone", "card.tk-dl2"});
    put_logical("tk-dl-b", {"card.tk-dl3"});
    put_raw("card.tk-dl1");
    put_raw("card.tk-dl2");
    put_raw("card.tk-dl3");

    // Owned: unlinked from its user, its raw tokens and its entry deleted;
    // a listed raw token without an entry is skipped.
    char a[] = "tk-dl-a";
    kxcap_clear();
    EXPECT_EQ(delete_logical_token(k_, a), 0) << log_dump();
    EXPECT_EQ(values(user_entry("tk-dl-u"), "kxLogicalTokenIDs"), Strings{"tk-dl-b"});
    EXPECT_FALSE(lt_entry(a).has_value());
    EXPECT_FALSE(rt_entry("card.tk-dl1").has_value());
    EXPECT_FALSE(rt_entry("card.tk-dl2").has_value());
    EXPECT_TRUE(rt_entry("card.tk-dl3").has_value());
    EXPECT_EQ(admin_log(), (Strings{"user : Successfully deleted token id (card.tk-dl1).",
                                    "user : Successfully deleted token id (card.tk-dl2)."}));

    // Not owned by anybody: the same without the unlink.
    put_logical("tk-dl-free", {"card.tk-dl4"});
    put_raw("card.tk-dl4");
    char free_lt[] = "tk-dl-free";
    EXPECT_EQ(delete_logical_token(k_, free_lt), 0);
    EXPECT_FALSE(lt_entry(free_lt).has_value());
    EXPECT_FALSE(rt_entry("card.tk-dl4").has_value());

    // Neither listed nor present.
    char missing[] = "tk-dl-missing";
    EXPECT_EQ(delete_logical_token(k_, missing), -1);

    // Listed by a user but without an entry: the link goes, then -1.
    put_user("tk-dl-v", {"tk-dl-ghost", "tk-dl-b2"});
    char ghost[] = "tk-dl-ghost";
    EXPECT_EQ(delete_logical_token(k_, ghost), -1);
    EXPECT_EQ(values(user_entry("tk-dl-v"), "kxLogicalTokenIDs"), Strings{"tk-dl-b2"});
}

TEST_F(TokenLinks, DeleteLogicalTokenRefusedByTheDirectory)
{
    put_user("tk-dlr-u", {"tk-dlr-a"});
    put_logical("tk-dlr-a", {"card.tk-dlr1"});
    put_raw("card.tk-dlr1");

    // A session that may not write: the unlink fails and nothing changes.
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    char a[] = "tk-dlr-a";
    kxcap_clear();
    EXPECT_EQ(delete_logical_token(anon, a), -1);
    EXPECT_TRUE(logged("delete_logical_token(): Could not remove logical token id (tk-dlr-a) from user "
                       "(tk-dlr-u)\n",
                       kDebugPriority));
    EXPECT_EQ(values(user_entry("tk-dlr-u"), "kxLogicalTokenIDs"), Strings{"tk-dlr-a"});
    EXPECT_TRUE(lt_entry(a).has_value());
    EXPECT_TRUE(rt_entry("card.tk-dlr1").has_value());
    EXPECT_TRUE(admin_log().empty());

    // An entry with a child: links and raw tokens go, the entry stays.
    put_logical("tk-dlr-child", {}, logical_dn("tk-dlr-a"));
    EXPECT_EQ(delete_logical_token(k_, a), -1);
    EXPECT_TRUE(user_entry("tk-dlr-u").has_value());
    EXPECT_TRUE(values(*user_entry("tk-dlr-u"), "kxLogicalTokenIDs").empty());
    EXPECT_FALSE(rt_entry("card.tk-dlr1").has_value());
    EXPECT_TRUE(lt_entry(a).has_value());
    EXPECT_TRUE(values(*lt_entry(a), "kxRawTokenIDs").empty());

    // Two users list it: no single owner, so both keep the id; the token
    // and its raw tokens are deleted.
    put_user("tk-dlr-v1", {"tk-dlr-shared"});
    put_user("tk-dlr-v2", {"tk-dlr-shared"});
    put_logical("tk-dlr-shared", {"card.tk-dlr2"});
    put_raw("card.tk-dlr2");
    char shared[] = "tk-dlr-shared";
    EXPECT_EQ(delete_logical_token(k_, shared), 0);
    EXPECT_FALSE(lt_entry(shared).has_value());
    EXPECT_FALSE(rt_entry("card.tk-dlr2").has_value());
    EXPECT_EQ(values(user_entry("tk-dlr-v1"), "kxLogicalTokenIDs"), Strings{"tk-dlr-shared"});
    EXPECT_EQ(values(user_entry("tk-dlr-v2"), "kxLogicalTokenIDs"), Strings{"tk-dlr-shared"});
}

TEST_F(TokenLinks, DeleteUserCascades)
{
    put_user("tk-du-u", {"tk-du-a", "tk-du-b"});
    put_logical("tk-du-a", {"card.tk-du1", "card.tk-du2"});
    put_logical("tk-du-b", {"card.tk-du3"});
    for (const char *r : {"card.tk-du1", "card.tk-du2", "card.tk-du3"})
        put_raw(r);
    add_status("tk-du-u", "status name", 1, 2, "IEEE802.080020000002", 3);
    // Someone else's tokens are untouched.
    put_user("tk-du-other", {"tk-du-c"});
    put_logical("tk-du-c", {"card.tk-du4"});
    put_raw("card.tk-du4");

    char u[] = "tk-du-u";
    kxcap_clear();
    EXPECT_EQ(delete_user(k_, u), 0) << log_dump();
    EXPECT_FALSE(user_entry(u).has_value());
    EXPECT_FALSE(lt_entry("tk-du-a").has_value());
    EXPECT_FALSE(lt_entry("tk-du-b").has_value());
    for (const char *r : {"card.tk-du1", "card.tk-du2", "card.tk-du3"})
        EXPECT_FALSE(rt_entry(r).has_value()) << r;
    EXPECT_FALSE(has_status(u));
    EXPECT_EQ(admin_log(), (Strings{"user : Successfully deleted token id (card.tk-du1).",
                                    "user : Successfully deleted token id (card.tk-du2).",
                                    "user : Successfully deleted token id (card.tk-du3)."}));
    EXPECT_TRUE(user_entry("tk-du-other").has_value());
    EXPECT_TRUE(lt_entry("tk-du-c").has_value());
    EXPECT_TRUE(rt_entry("card.tk-du4").has_value());

    // A user without a status record and without tokens.
    put_user("tk-du-bare");
    char bare[] = "tk-du-bare";
    EXPECT_EQ(delete_user(k_, bare), 0);
    EXPECT_FALSE(user_entry(bare).has_value());
}

TEST_F(TokenLinks, DeleteUserWithEntriesMissingHalfWay)
{
    // The user lists a logical token without an entry between two that
    // exist, and one of those lists a raw token without an entry.
    put_user("tk-dum-u", {"tk-dum-a", "tk-dum-ghost", "tk-dum-b"});
    put_logical("tk-dum-a", {"card.tk-dum-ghost", "card.tk-dum1"});
    put_logical("tk-dum-b", {"card.tk-dum2"});
    put_raw("card.tk-dum1");
    put_raw("card.tk-dum2");
    add_status("tk-dum-u", "status name", 1, 1, nullptr, 1);
    char u[] = "tk-dum-u";
    EXPECT_EQ(delete_user(k_, u), 0) << log_dump();
    EXPECT_FALSE(user_entry(u).has_value());
    EXPECT_FALSE(lt_entry("tk-dum-a").has_value());
    EXPECT_FALSE(lt_entry("tk-dum-b").has_value());
    EXPECT_FALSE(rt_entry("card.tk-dum1").has_value());
    EXPECT_FALSE(rt_entry("card.tk-dum2").has_value());
    EXPECT_FALSE(has_status(u));
}

TEST_F(TokenLinks, DeleteUserFailures)
{
    // No such user: the status record is not touched.
    add_status("tk-duf-nobody", "status name", 1, 1, "d", 1);
    char nobody[] = "tk-duf-nobody";
    EXPECT_EQ(delete_user(k_, nobody), -1);
    EXPECT_TRUE(has_status(nobody));

    // The directory refuses the user's entry (it has a child): the tokens
    // are gone, the status record too, and the result is -1.
    put_user("tk-duf-u", {"tk-duf-a"});
    put_logical("tk-duf-a", {"card.tk-duf1"});
    put_raw("card.tk-duf1");
    put_raw("card.tk-duf-child", user_dn("tk-duf-u"));
    add_status("tk-duf-u", "status name", 1, 1, "d", 1);
    char u[] = "tk-duf-u";
    kxcap_clear();
    EXPECT_EQ(delete_user(k_, u), -1);
    EXPECT_TRUE(logged("delete_entry(): LDAP delete failed - Operation not allowed on non-leaf\n"));
    EXPECT_FALSE(lt_entry("tk-duf-a").has_value());
    EXPECT_FALSE(rt_entry("card.tk-duf1").has_value());
    ASSERT_TRUE(user_entry(u).has_value());
    EXPECT_TRUE(values(*user_entry(u), "kxLogicalTokenIDs").empty());
    EXPECT_FALSE(has_status(u));

    // An anonymous session changes nothing in the directory, and cannot
    // change its read-only status database either.
    put_user("tk-duf-v", {"tk-duf-b"});
    put_logical("tk-duf-b", {"card.tk-duf2"});
    put_raw("card.tk-duf2");
    add_status("tk-duf-v", "status name", 1, 1, "d", 1);
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    char v[] = "tk-duf-v";
    EXPECT_EQ(delete_user(anon, v), -1);
    EXPECT_EQ(values(user_entry(v), "kxLogicalTokenIDs"), Strings{"tk-duf-b"});
    EXPECT_EQ(values(lt_entry("tk-duf-b"), "kxRawTokenIDs"), Strings{"card.tk-duf2"});
    EXPECT_TRUE(rt_entry("card.tk-duf2").has_value());
    EXPECT_TRUE(has_status(v));
}

TEST_F(TokenLinks, RawAndLogicalTokensExist)
{
    put_logical("tk-rl-a", {"card.tk-rl1", "card.tk-rl-ghost", "card.tk-rl-two"});
    put_logical("tk-rl-b", {"card.tk-rl-two"});
    put_raw("card.tk-rl1");
    put_raw("card.tk-rl-free");
    put_raw("card.tk-rl-two");
    char r1[] = "card.tk-rl1", free_raw[] = "card.tk-rl-free", ghost[] = "card.tk-rl-ghost",
         two[] = "card.tk-rl-two", none[] = "card.tk-rl-none";
    EXPECT_EQ(kx_raw_and_logical_tokens_exist(k_, r1), 1);
    EXPECT_EQ(kx_raw_and_logical_tokens_exist(k_, free_raw), 0);
    EXPECT_EQ(kx_raw_and_logical_tokens_exist(k_, ghost), 0);
    EXPECT_EQ(kx_raw_and_logical_tokens_exist(k_, two), 0);
    EXPECT_EQ(kx_raw_and_logical_tokens_exist(k_, none), 0);
    std::string wild = "card.tk-rl*";
    EXPECT_EQ(kx_raw_and_logical_tokens_exist(k_, wild.data()), 0);
    std::string huge = "card." + std::string(495, 'x');
    EXPECT_EQ(kx_raw_and_logical_tokens_exist(k_, huge.data()), 0);
}

TEST_F(TokenLinks, DistinguishedNameSyntaxInIds)
{
    // Entries whose ids hold DN syntax, next to entries that an unescaped
    // DN built from those ids would name instead.
    const std::string lid = "tk-dn-c, kxID=tk-dn-p";
    const std::string uid = "tk-dn-uc, kxID=tk-dn-up";
    put_logical("tk-dn-p");
    put_logical("tk-dn-c", {}, logical_dn("tk-dn-p"));
    put_logical(lid);
    put_user("tk-dn-up");
    ASSERT_EQ(ldapadd("dn: kxID=tk-dn-uc," + user_dn("tk-dn-up") + "\nobjectClass: kxUser\nkxID: tk-dn-uc\n"),
              0);
    put_user(uid);

    Raw r = new_raw("card.tk-dn1");
    std::string l = lid;
    EXPECT_EQ(add_raw_token_to_logical_token(k_, l.data(), r.get()), 0) << log_dump();
    remove_later(raw_dn("card.tk-dn1"));
    EXPECT_EQ(values(lt_entry(lid), "kxRawTokenIDs"), Strings{"card.tk-dn1"});
    auto child = ldap_find("kxID=tk-dn-c," + logical_dn("tk-dn-p"), "(objectClass=*)", "base");
    ASSERT_EQ(child.size(), 1u);
    EXPECT_FALSE(has(child[0], "kxRawTokenIDs"));

    Logical t = new_logical("tk-dn-new");
    std::string u = uid;
    EXPECT_EQ(add_logical_token_to_user(k_, u.data(), t.get()), 0) << log_dump();
    remove_later(logical_dn("tk-dn-new"));
    EXPECT_EQ(values(user_entry(uid), "kxLogicalTokenIDs"), Strings{"tk-dn-new"});
    auto uchild = ldap_find("kxID=tk-dn-uc," + user_dn("tk-dn-up"), "(objectClass=*)", "base");
    ASSERT_EQ(uchild.size(), 1u);
    EXPECT_FALSE(has(uchild[0], "kxLogicalTokenIDs"));

    // The user now owns the token with the DN-like id as well.
    ASSERT_EQ(ldapadd("dn: " + user_dn(uid) + "\nchangetype: modify\nadd: kxLogicalTokenIDs\n"
                      "kxLogicalTokenIDs: " + lid + "\n") , 0);
    EXPECT_EQ(delete_logical_token(k_, l.data()), 0) << log_dump();
    EXPECT_FALSE(lt_entry(lid).has_value());
    EXPECT_FALSE(rt_entry("card.tk-dn1").has_value());
    EXPECT_EQ(values(user_entry(uid), "kxLogicalTokenIDs"), Strings{"tk-dn-new"});
    EXPECT_EQ(ldap_find(logical_dn("tk-dn-p"), "(objectClass=*)", "one").size(), 1u);

    EXPECT_EQ(delete_user(k_, u.data()), 0) << log_dump();
    EXPECT_FALSE(user_entry(uid).has_value());
    EXPECT_FALSE(lt_entry("tk-dn-new").has_value());
    EXPECT_EQ(ldap_find(user_dn("tk-dn-up"), "(objectClass=*)", "one").size(), 1u);
}

TEST_F(TokenLinks, OverLongIdsAreRefusedCleanly)
{
    std::string sub = k_->subtree;
    // Ids whose DNs in any container need 500 bytes or more.
    std::string longest = "tk-long-" + std::string(500 - sub.size(), 'l');
    std::string long_raw = "card.tk" + std::string(500 - sub.size(), 'r');
    put_user("tk-long-u", {"tk-long-l"});
    put_logical("tk-long-l", {"card.tk-long1"});
    put_raw("card.tk-long1");

    Logical t = new_logical("tk-long-new");
    EXPECT_EQ(add_logical_token_to_user(k_, longest.data(), t.get()), -1);
    EXPECT_FALSE(lt_entry("tk-long-new").has_value());
    Logical big = new_logical(longest);
    char user[] = "tk-long-u";
    EXPECT_EQ(add_logical_token_to_user(k_, user, big.get()), -1);
    EXPECT_EQ(values(user_entry("tk-long-u"), "kxLogicalTokenIDs"), Strings{"tk-long-l"});

    Raw r = new_raw(long_raw);
    char logical[] = "tk-long-l";
    EXPECT_EQ(add_raw_token_to_logical_token(k_, logical, r.get()), -1);
    Raw ok = new_raw("card.tk-long2");
    EXPECT_EQ(add_raw_token_to_logical_token(k_, longest.data(), ok.get()), -1);
    EXPECT_FALSE(rt_entry("card.tk-long2").has_value());
    EXPECT_EQ(values(lt_entry("tk-long-l"), "kxRawTokenIDs"), Strings{"card.tk-long1"});

    char fresh[] = "tk-long-fresh";
    EXPECT_EQ(add_simple_logical_token(k_, long_raw.data(), fresh), -1);
    EXPECT_FALSE(lt_entry(fresh).has_value());
    char raw3[] = "card.tk-long3";
    EXPECT_EQ(add_simple_logical_token(k_, raw3, longest.data()), -1);
    remove_later(raw_dn(raw3));

    EXPECT_NE(delete_raw_token(k_, long_raw.data()), KXE_SUCCESS);
    EXPECT_EQ(delete_logical_token(k_, longest.data()), -1);
    EXPECT_EQ(delete_user(k_, longest.data()), -1);
    EXPECT_EQ(count_user_raw_tokens(k_, longest.data()), -1);
    EXPECT_TRUE(user_entry("tk-long-u").has_value());
    EXPECT_TRUE(lt_entry("tk-long-l").has_value());
    EXPECT_TRUE(rt_entry("card.tk-long1").has_value());
    // Nothing else was written; the raw token added before the refused
    // logical token may stay.
    Strings found;
    for (const auto &e : ldap_find(subtree(), "(|(kxID=tk-long-*)(kxID=card.tk-long*))"))
        if (values(e, "kxID") != Strings{"card.tk-long3"})
            found.push_back(values(e, "kxID").at(0));
    EXPECT_EQ(sorted(found), (Strings{"card.tk-long1", "tk-long-l", "tk-long-u"}));
}

// ====== fixed tokens through their logical tokens ================================================

TEST_F(TokenKinds, FixedTokenThroughALogicalToken)
{
    put_logical("user.tk-fixed", {"PSEUDO.tk080020a1b2c3", "card.tk-f1"});
    put_logical("user.tk-card", {"card.tk-f2", "pseudo.tk-f3"});
    put_logical("user.tk-none");
    put_logical("user.tk-badraw", {"pseudo.tk bad"});
    put_logical("user.tk-bad_", {"pseudo.tk-f4"});
    put_logical("user.tk-twice", {"pseudo.tk-f5"});
    std::string helper = put_helper("tk-kinds-helper", logical_tokens_base());
    put_logical("user.tk-twice", {"pseudo.tk-f5"}, helper);

    // Only the first raw token id counts.
    EXPECT_EQ(kx_isFixedToken(k_, "user.tk-fixed"), 1);
    EXPECT_EQ(kx_isFixedToken(k_, "USER.TK-FIXED"), 1);
    EXPECT_EQ(kx_isFixedToken(k_, "user.tk-card"), 0);
    EXPECT_EQ(kx_isFixedToken(k_, "user.tk-none"), 0);
    EXPECT_EQ(kx_isFixedToken(k_, "user.tk-missing"), 0);
    EXPECT_EQ(kx_isFixedToken(k_, "user.tk-badraw"), 0);
    EXPECT_EQ(kx_isFixedToken(k_, "user.tk-bad_"), 0);  // not a legal id
    EXPECT_EQ(kx_isFixedToken(k_, "user.tk-twice"), 0);
    EXPECT_EQ(kx_isFixedToken(nullptr, "user.tk-fixed"), 0);
    // Other ids need no directory.
    EXPECT_EQ(kx_isFixedToken(k_, "pseudo.tk-x"), 1);
    EXPECT_EQ(kx_isFixedToken(k_, "card.tk-x"), 0);

    EXPECT_EQ(kx_isPersonalToken(k_, "user.tk-fixed"), 0);
    EXPECT_EQ(kx_isPersonalToken(k_, "user.tk-card"), 1);
    EXPECT_EQ(kx_isPersonalToken(k_, "user.tk-missing"), 1);
    EXPECT_EQ(kx_isPersonalToken(k_, "user.tk-bad_"), 0);
    EXPECT_EQ(kx_isPersonalToken(nullptr, "user.tk-fixed"), 1);
}

} // namespace
