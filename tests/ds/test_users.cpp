// Directory users against the real slapd of the directory test bed: adding,
// changing, reading, testing and printing user records, the status join with
// the user status database, user id generation and the collection of token
// ids by user name.  What each operation left in the directory is confirmed
// with ldapsearch, an independent client.

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "admin_private.h"
#include "admin_token.h"
#include "ds_support.h"
#include "syslog_capture.h"
#include "testbed_env.h"

namespace {

using namespace ds;

// The user entries with exactly this id anywhere below the users container.
std::vector<Attrs> user_entries(const std::string &id)
{
    return ldap_find(users_base(), "(kxID=" + filter_escape(id) + ")");
}

// ---- records -------------------------------------------------------------------

User new_user(const std::string &id)
{
    User u(allocate_user());
    u->id = dup(id.c_str());
    return u;
}

std::string print_of(KXUser *u, int brief)
{
    testing::internal::CaptureStderr();
    print_user(nullptr, u, brief);
    return testing::internal::GetCapturedStderr();
}

// ---- the fixture ---------------------------------------------------------------

class Users : public StoreTest {
protected:
    void TearDown() override
    {
        StoreTest::TearDown();
        // Nothing of this suite stays in the directory for the next test.
        EXPECT_TRUE(ldap_find(subtree(), "(|(kxID=ut-*)(kxName=ut-*)(kxID=*,*))").empty());
    }
    // Adds a user through the library and arranges its removal.
    std::string added(KXUser *u, int generate = 0)
    {
        auto id = take(add_user(k_, u, generate));
        EXPECT_TRUE(id.has_value()) << log_dump();
        if (!id)
            return "";
        remove_later(user_dn(*id));
        return *id;
    }
};

// ---- adding --------------------------------------------------------------------------

TEST_F(Users, AddWithGivenIdWritesTheDirectoryFieldsOnly)
{
    User u = new_user("ut-add-full");
    u->name = dup("Ada Lovelace");
    u->other_info = dup("room 12");
    u->create_time = 123456;
    u->status = 1;
    u->last_desktop = dup("IEEE802.080020a1b2c3");
    u->last_time = 654321;
    u->misc1 = dup("m one");
    u->misc2 = dup("m two");
    u->logical_token_ids = id_list({"user.ut-add-full", "user.ut-add-full-2"});
    char *own_id = u->id;

    char *stored = add_user(k_, u.get(), 0);
    ASSERT_NE(stored, nullptr) << log_dump();
    remove_later(user_dn("ut-add-full"));
    // A copy of the record's id; the record keeps its own string and time.
    EXPECT_NE(stored, own_id);
    EXPECT_STREQ(stored, "ut-add-full");
    EXPECT_EQ(u->id, own_id);
    EXPECT_STREQ(u->id, "ut-add-full");
    EXPECT_EQ(u->create_time, 123456);
    std::free(stored);

    auto e = user_entry("ut-add-full");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(values(*e, "objectClass"), std::vector<std::string>{"kxUser"});
    EXPECT_EQ(values(*e, "kxID"), std::vector<std::string>{"ut-add-full"});
    EXPECT_EQ(values(*e, "kxName"), std::vector<std::string>{"Ada Lovelace"});
    EXPECT_EQ(values(*e, "kxOtherInfo"), std::vector<std::string>{"room 12"});
    EXPECT_EQ(values(*e, "kxFirstTime"), std::vector<std::string>{"123456"});
    EXPECT_EQ(values(*e, "kxMisc1"), std::vector<std::string>{"m one"});
    EXPECT_EQ(values(*e, "kxMisc2"), std::vector<std::string>{"m two"});
    EXPECT_EQ(values(*e, "kxLogicalTokenIDs"),
              (std::vector<std::string>{"user.ut-add-full", "user.ut-add-full-2"}));
    // The status fields live in the user status database only.
    EXPECT_FALSE(has(*e, "kxStatus"));
    EXPECT_FALSE(has(*e, "kxLastDesktop"));
    EXPECT_FALSE(has(*e, "kxLastTime"));
    EXPECT_EQ(e->size(), 9u);  // dn and the eight attributes above
    // add_user writes no status record.
    EXPECT_EQ(dbm_user_exists(k_->ustat_db, u->id), 0);

    // Read back: no status record, so the status fields are those of the
    // directory, which has none.
    User back(get_user(k_, u->id));
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->id, "ut-add-full");
    EXPECT_STREQ(back->name, "Ada Lovelace");
    EXPECT_STREQ(back->other_info, "room 12");
    EXPECT_EQ(back->create_time, 123456);
    EXPECT_EQ(back->status, 0);
    EXPECT_EQ(back->last_desktop, nullptr);
    EXPECT_EQ(back->last_time, 0);
    EXPECT_STREQ(back->misc1, "m one");
    EXPECT_STREQ(back->misc2, "m two");
    EXPECT_EQ(strings(back->logical_token_ids),
              (std::vector<std::string>{"user.ut-add-full", "user.ut-add-full-2"}));
}

TEST_F(Users, AddWithoutOptionalFieldsAndWithZeroCreateTime)
{
    User u = new_user("ut-add-min");
    u->logical_token_ids = id_list({});  // an empty list writes nothing
    time_t before = std::time(nullptr);
    std::string id = added(u.get());
    time_t after = std::time(nullptr);
    ASSERT_EQ(id, "ut-add-min");
    // The current time, left in the caller's record.
    EXPECT_GE(u->create_time, before);
    EXPECT_LE(u->create_time, after);

    auto e = user_entry(id);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(values(*e, "kxFirstTime"), std::vector<std::string>{std::to_string(u->create_time)});
    EXPECT_EQ(values(*e, "objectClass"), std::vector<std::string>{"kxUser"});
    EXPECT_EQ(values(*e, "kxID"), std::vector<std::string>{"ut-add-min"});
    EXPECT_EQ(e->size(), 4u) << "only dn, objectClass, kxID and kxFirstTime";

    // A NULL list writes nothing either; a negative time is kept as given.
    User v = new_user("ut-add-min-2");
    v->create_time = -5;
    ASSERT_EQ(added(v.get()), "ut-add-min-2");
    EXPECT_EQ(v->create_time, -5);
    auto f = user_entry("ut-add-min-2");
    ASSERT_TRUE(f.has_value());
    EXPECT_FALSE(has(*f, "kxLogicalTokenIDs"));
    EXPECT_EQ(values(*f, "kxFirstTime"), std::vector<std::string>{"-5"});

    User back(get_user(k_, v->id));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->name, nullptr);
    EXPECT_EQ(back->other_info, nullptr);
    EXPECT_EQ(back->misc1, nullptr);
    EXPECT_EQ(back->misc2, nullptr);
    EXPECT_EQ(back->logical_token_ids, nullptr);
    EXPECT_EQ(back->create_time, -5);
}

TEST_F(Users, AddWithGeneratedId)
{
    set_gdebug("a");
    kxcap_clear();
    User u = new_user("ut-ignored-id");
    u->name = dup("ut-generated");
    char *own_id = u->id;
    time_t before = std::time(nullptr);
    std::string id = added(u.get(), 1);
    time_t after = std::time(nullptr);
    ASSERT_FALSE(id.empty());
    // "<time>-<at most four digits>"; the record's id is neither used nor
    // changed.
    std::smatch m;
    ASSERT_TRUE(std::regex_match(id, m, std::regex("([0-9]+)-([0-9]{1,4})"))) << id;
    long t = std::stol(m[1].str());
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    EXPECT_EQ(u->id, own_id);
    EXPECT_STREQ(u->id, "ut-ignored-id");
    EXPECT_TRUE(logged("(a) generated id |" + id + "|\n", kDebugPriority));

    auto e = user_entry(id);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(values(*e, "kxName"), std::vector<std::string>{"ut-generated"});
    EXPECT_TRUE(user_entries("ut-ignored-id").empty());

    // Any other value than 1 takes the record's id.
    User w = new_user("ut-generate-2");
    EXPECT_EQ(added(w.get(), 2), "ut-generate-2");
    EXPECT_TRUE(user_entry("ut-generate-2").has_value());
}

TEST_F(Users, AddRefusedByTheDirectoryLeavesNothing)
{
    User u = new_user("ut-dup");
    u->name = dup("first");
    ASSERT_EQ(added(u.get()), "ut-dup");

    User again = new_user("ut-dup");
    again->name = dup("second");
    kxcap_clear();
    EXPECT_EQ(add_user(k_, again.get(), 0), nullptr);
    EXPECT_TRUE(logged("add_entry(): LDAP add failed - Already exists\n", kDebugPriority));
    EXPECT_TRUE(logged("add_user(): Could not add user\n", kDebugPriority));
    auto entries = user_entries("ut-dup");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(values(entries[0], "kxName"), std::vector<std::string>{"first"});

    // An anonymous session may read but not write.
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    User v = new_user("ut-anon-add");
    kxcap_clear();
    EXPECT_EQ(add_user(anon, v.get(), 0), nullptr);
    EXPECT_TRUE(logged("add_user(): Could not add user\n", kDebugPriority));
    EXPECT_TRUE(user_entries("ut-anon-add").empty());

    // A generated id on a session that cannot write is not kept either.
    User w = new_user("ut-anon-gen");
    w->name = dup("ut-anon-gen-name");
    EXPECT_EQ(add_user(anon, w.get(), 1), nullptr);
    EXPECT_TRUE(ldap_find(users_base(), "(kxName=ut-anon-gen-name)").empty());
}

// ---- changing -------------------------------------------------------------------------

TEST_F(Users, ModifyReplacesTheChangeableAttributes)
{
    User u = new_user("ut-mod");
    u->name = dup("Old Name");
    u->other_info = dup("old info");
    u->create_time = 1000;
    u->misc1 = dup("old m1");
    u->misc2 = dup("old m2");
    u->logical_token_ids = id_list({"user.ut-mod-a", "user.ut-mod-b"});
    ASSERT_EQ(added(u.get()), "ut-mod");

    User c = new_user("ut-mod");
    c->name = dup("New Name");
    c->other_info = nullptr;  // removes kxOtherInfo
    c->create_time = 2000;
    c->status = 2;
    c->last_desktop = dup("IEEE802.0800200c9a66");
    c->last_time = 3000;
    c->misc1 = dup("new m1");
    c->misc2 = nullptr;  // removes kxMisc2
    c->logical_token_ids = id_list({"user.other"});  // never written
    kxcap_clear();
    EXPECT_EQ(modify_user(k_, c.get()), 0) << log_dump();
    EXPECT_TRUE(logged("user : User properties for (New Name) modified.", kAdminPriority));
    EXPECT_TRUE(nothing_logged_containing("Error modifying"));

    auto e = user_entry("ut-mod");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(values(*e, "kxID"), std::vector<std::string>{"ut-mod"});
    EXPECT_EQ(values(*e, "kxName"), std::vector<std::string>{"New Name"});
    EXPECT_FALSE(has(*e, "kxOtherInfo"));
    EXPECT_EQ(values(*e, "kxFirstTime"), std::vector<std::string>{"2000"});
    EXPECT_EQ(values(*e, "kxStatus"), std::vector<std::string>{"2"});
    EXPECT_EQ(values(*e, "kxLastDesktop"), std::vector<std::string>{"IEEE802.0800200c9a66"});
    EXPECT_EQ(values(*e, "kxLastTime"), std::vector<std::string>{"3000"});
    EXPECT_EQ(values(*e, "kxMisc1"), std::vector<std::string>{"new m1"});
    EXPECT_FALSE(has(*e, "kxMisc2"));
    EXPECT_EQ(values(*e, "kxLogicalTokenIDs"),
              (std::vector<std::string>{"user.ut-mod-a", "user.ut-mod-b"}));

    // Without a status record the directory's status fields are read.
    User back(get_user(k_, c->id));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->status, 2);
    EXPECT_STREQ(back->last_desktop, "IEEE802.0800200c9a66");
    EXPECT_EQ(back->last_time, 3000);
    EXPECT_EQ(back->create_time, 2000);
    EXPECT_EQ(back->other_info, nullptr);

    // Every text field NULL: the attributes go; the numbers stay numbers.
    User bare = new_user("ut-mod");
    EXPECT_EQ(modify_user(k_, bare.get()), 0);
    e = user_entry("ut-mod");
    ASSERT_TRUE(e.has_value());
    for (const char *gone : {"kxName", "kxOtherInfo", "kxLastDesktop", "kxMisc1", "kxMisc2"})
        EXPECT_FALSE(has(*e, gone)) << gone;
    EXPECT_EQ(values(*e, "kxFirstTime"), std::vector<std::string>{"0"});
    EXPECT_EQ(values(*e, "kxStatus"), std::vector<std::string>{"0"});
    EXPECT_EQ(values(*e, "kxLastTime"), std::vector<std::string>{"0"});
    EXPECT_EQ(values(*e, "kxLogicalTokenIDs").size(), 2u);
}

TEST_F(Users, ModifyFailures)
{
    User missing = new_user("ut-mod-missing");
    missing->name = dup("Nobody Here");
    kxcap_clear();
    EXPECT_EQ(modify_user(k_, missing.get()), -1);
    EXPECT_TRUE(logged("modify_entry(): LDAP modify failed - No such object\n", kDebugPriority));
    EXPECT_TRUE(logged("modify_user(): Could not modify user\n", kDebugPriority));
    EXPECT_TRUE(logged("user : Error modifying properties for user (Nobody Here).", kAdminPriority));
    EXPECT_TRUE(nothing_logged_containing("modified."));
    EXPECT_TRUE(user_entries("ut-mod-missing").empty());

    // Refused on an anonymous session: the entry stays as it was.
    User u = new_user("ut-mod-anon");
    u->name = dup("Kept");
    ASSERT_EQ(added(u.get()), "ut-mod-anon");
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    User c = new_user("ut-mod-anon");
    c->name = dup("Changed");
    kxcap_clear();
    EXPECT_EQ(modify_user(anon, c.get()), -1);
    EXPECT_TRUE(logged("user : Error modifying properties for user (Changed).", kAdminPriority));
    auto e = user_entry("ut-mod-anon");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(values(*e, "kxName"), std::vector<std::string>{"Kept"});
    EXPECT_FALSE(has(*e, "kxStatus"));
}

// ---- reading ----------------------------------------------------------------------------

TEST_F(Users, GetJoinsTheUserStatusDatabase)
{
    User u = new_user("ut-join");
    u->name = dup("Dir Name");
    u->create_time = 1111;
    u->misc1 = dup("dir m1");
    u->logical_token_ids = id_list({"user.ut-join"});
    ASSERT_EQ(added(u.get()), "ut-join");
    // Status fields in the directory as well, which the join overrides.
    u->status = 7;
    u->last_desktop = dup("dir-desktop");
    u->last_time = 2222;
    ASSERT_EQ(modify_user(k_, u.get()), 0);
    add_status("ut-join", "Status Name", 5000, 1, "IEEE802.080020aabbcc", 6000);

    User back(get_user(k_, u->id));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->create_time, 5000);
    EXPECT_EQ(back->status, 1);
    EXPECT_STREQ(back->last_desktop, "IEEE802.080020aabbcc");
    EXPECT_EQ(back->last_time, 6000);
    // The rest always comes from the directory.
    EXPECT_STREQ(back->name, "Dir Name");
    EXPECT_STREQ(back->misc1, "dir m1");
    EXPECT_EQ(strings(back->logical_token_ids), std::vector<std::string>{"user.ut-join"});

    // A status record without a last desktop reads back as empty text,
    // which replaces the directory's value.
    ASSERT_EQ(delete_dbm_user(k_, u->id), 0);
    add_status("ut-join", "Status Name", 0, 0, nullptr, 42);
    User again(get_user(k_, u->id));
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(again->last_desktop, "");
    EXPECT_EQ(again->create_time, 0);
    EXPECT_EQ(again->status, 0);
    EXPECT_EQ(again->last_time, 42);
}

TEST_F(Users, FillUserStatusAppliesTheJoinToARecord)
{
    User u = new_user("ut-fill");
    u->last_desktop = dup("before");
    u->create_time = 1;
    u->status = 1;
    u->last_time = 1;
    KXUser *raw = u.get();
    kxcap_clear();
    EXPECT_EQ(fill_user_status(k_, &raw), -1);
    EXPECT_EQ(raw, u.get());
    EXPECT_TRUE(logged("fill_user_status(): Could not find equivalent dbm user with user_id (ut-fill)\n",
                       kDebugPriority));
    EXPECT_STREQ(u->last_desktop, "before");
    EXPECT_EQ(u->create_time, 1);

    add_status("ut-fill", "n", 10, 2, "desk.after", 20);
    EXPECT_EQ(fill_user_status(k_, &raw), 0);
    EXPECT_EQ(raw, u.get());
    EXPECT_EQ(u->create_time, 10);
    EXPECT_EQ(u->status, 2);
    EXPECT_STREQ(u->last_desktop, "desk.after");
    EXPECT_EQ(u->last_time, 20);
    EXPECT_STREQ(u->id, "ut-fill");
}

TEST_F(Users, GetAndExistsFindExactlyOneUser)
{
    User u = new_user("ut-get-a1");
    ASSERT_EQ(added(u.get()), "ut-get-a1");

    EXPECT_EQ(user_exists(k_, u->id), 1);
    char missing[] = "ut-get-none";
    kxcap_clear();
    EXPECT_EQ(get_user(k_, missing), nullptr);
    EXPECT_EQ(kxcap_count(), 0) << log_dump();
    EXPECT_EQ(user_exists(k_, missing), 0);

    // The ids of other containers are not users.
    std::string lt = "kxID=ut-get-token,kxName=logicalTokens," + subtree();
    ASSERT_EQ(ldapadd("dn: " + lt + "\nobjectClass: kxLogicalToken\nkxID: ut-get-token\n"), 0);
    remove_later(lt);
    char token[] = "ut-get-token";
    EXPECT_EQ(user_exists(k_, token), 0);
    EXPECT_EQ(get_user(k_, token), nullptr);

    // Filter syntax in an id matches nothing.
    for (const char *id : {"ut-get-a*", "*", "ut-get-a1)(kxID=*", "x)(kxID=*", "ut-get-*)(|(kxID=*"}) {
        SCOPED_TRACE(id);
        std::string s = id;
        EXPECT_EQ(get_user(k_, s.data()), nullptr);
        EXPECT_LE(user_exists(k_, s.data()), 0);
    }
    std::string star = "ut-get-a*";
    EXPECT_EQ(user_exists(k_, star.data()), 0);

    // An id is compared without regard to case, as the schema says.
    char upper[] = "UT-GET-A1";
    User by_upper(get_user(k_, upper));
    ASSERT_NE(by_upper, nullptr);
    EXPECT_STREQ(by_upper->id, "ut-get-a1");
}

TEST_F(Users, TwoEntriesWithTheSameIdAreNoUser)
{
    User u = new_user("ut-twice");
    u->name = dup("first of two");
    ASSERT_EQ(added(u.get()), "ut-twice");
    add_status("ut-twice", "n", 1, 1, "d", 1);

    // A second entry with the id below a helper container in kxName=users.
    std::string helper = "kxName=ut-helper," + users_base();
    ASSERT_EQ(ldapadd("dn: " + helper + "\nobjectClass: kxContainer\nkxName: ut-helper\n\n"
                      "dn: kxID=ut-twice," + helper + "\nobjectClass: kxUser\nkxID: ut-twice\n"),
              0);
    remove_later(helper);
    kxcap_clear();
    EXPECT_EQ(get_user(k_, u->id), nullptr);
    EXPECT_TRUE(logged("search_for_entries(): Found multiple matching entries, was expecting a single match",
                       kDebugPriority));
    EXPECT_EQ(user_exists(k_, u->id), 1);
    // delete_user reads the user first and so changes nothing.
    EXPECT_EQ(delete_user(k_, u->id), -1);
    EXPECT_EQ(user_entries("ut-twice").size(), 2u);
    EXPECT_EQ(dbm_user_exists(k_->ustat_db, u->id), 1);
    ldapdelete({helper});
    User one(get_user(k_, u->id));
    ASSERT_NE(one, nullptr);
    EXPECT_STREQ(one->name, "first of two");

    // The same with the second entry below the first.
    ASSERT_EQ(ldapadd("dn: kxID=ut-twice," + user_dn("ut-twice") + "\nobjectClass: kxUser\nkxID: ut-twice\n"),
              0);
    EXPECT_EQ(get_user(k_, u->id), nullptr);
}

TEST_F(Users, DistinguishedNameSyntaxInIds)
{
    // A parent user with a child entry; ids that would name the child, or
    // place an entry below the parent, if they were pasted into the DN.
    User parent = new_user("ut-dn-parent");
    ASSERT_EQ(added(parent.get()), "ut-dn-parent");
    std::string child = "kxID=ut-dn-child," + user_dn("ut-dn-parent");
    ASSERT_EQ(ldapadd("dn: " + child + "\nobjectClass: kxUser\nkxID: ut-dn-child\nkxName: child\n"), 0);

    User hijack = new_user("ut-dn-child, kxID=ut-dn-parent");
    hijack->name = dup("hijacked");
    EXPECT_EQ(modify_user(k_, hijack.get()), -1);
    auto c = ldap_find(child, "(objectClass=*)", "base");
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(values(c[0], "kxName"), std::vector<std::string>{"child"});

    for (std::string id : {"ut-dn-x,kxID=ut-dn-parent", "ut-dn-a,b=c", "ut-dn-q+kxName=z", "ut-dn-s;t"}) {
        SCOPED_TRACE(id);
        User w = new_user(id);
        w->name = dup("ut-dn-name");
        auto stored = take(add_user(k_, w.get(), 0));
        if (stored) {
            remove_later(user_dn(id));
            EXPECT_EQ(*stored, id);
            // Written directly in the container, named by the whole id.
            auto e = user_entry(id);
            ASSERT_TRUE(e.has_value());
            EXPECT_EQ(values(*e, "kxID"), std::vector<std::string>{id});
            User back(get_user(k_, w->id));
            ASSERT_NE(back, nullptr);
            EXPECT_EQ(std::string(back->id), id);
            EXPECT_EQ(user_exists(k_, w->id), 1);
            EXPECT_EQ(delete_user(k_, w->id), 0);
            EXPECT_TRUE(user_entries(id).empty());
        }
        // Nothing went below the parent, and nothing went elsewhere.
        EXPECT_EQ(ldap_find(user_dn("ut-dn-parent"), "(objectClass=*)", "one").size(), 1u);
        EXPECT_TRUE(ldap_find(subtree(), "(kxName=ut-dn-name)").empty());
    }
}

TEST_F(Users, OverLongIdsAreRefusedCleanly)
{
    std::string sub = k_->subtree;
    // "kxID=<id>, kxName=users, <subtree>" in a 500-byte buffer.
    size_t room = 499 - std::string("kxID=, kxName=users, ").size() - sub.size();
    std::string too_long = "ut-long-" + std::string(room - 7, 'g');  // a DN of 500

    User big = new_user(too_long);
    big->name = dup("ut-long-name");
    EXPECT_EQ(add_user(k_, big.get(), 0), nullptr);
    EXPECT_TRUE(ldap_find(users_base(), "(kxID=ut-long-*)").empty());
    EXPECT_EQ(get_user(k_, big->id), nullptr);
    EXPECT_EQ(user_exists(k_, big->id), -1);
    EXPECT_EQ(modify_user(k_, big.get()), -1);
    EXPECT_EQ(delete_user(k_, big->id), -1);
    EXPECT_TRUE(ldap_find(subtree(), "(kxName=ut-long-name)").empty());

    // "kxID=<id>" in a 128-byte filter: 122 characters fit.
    std::string id122 = "ut-long-" + std::string(114, 'h');
    User u = new_user(id122);
    u->name = dup("Long One");
    ASSERT_EQ(added(u.get()), id122);
    EXPECT_EQ(user_exists(k_, u->id), 1);
    User back(get_user(k_, u->id));
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->name, "Long One");
    EXPECT_EQ(delete_user(k_, u->id), 0);
    EXPECT_FALSE(user_entry(id122).has_value());

    std::string id123 = id122 + "h";
    EXPECT_EQ(get_user(k_, id123.data()), nullptr);
    EXPECT_EQ(user_exists(k_, id123.data()), -1);
}

// ---- generated ids -------------------------------------------------------------------

// The candidate ids gen_unique_user_id makes from the next n numbers of
// random() after srandom(seed), for the seconds [from, from + span).
struct Candidates {
    std::vector<std::string> suffixes;
    std::vector<std::string> ids;
};

Candidates candidates(unsigned seed, int n, long from, int span)
{
    Candidates c;
    srandom(seed);
    for (int i = 0; i < n; ++i) {
        std::string number = std::to_string(random());
        c.suffixes.push_back(number.size() > 4 ? number.substr(number.size() - 4) : number);
    }
    for (long t = from; t < from + span; ++t)
        for (const auto &s : c.suffixes)
            c.ids.push_back(std::to_string(t) + "-" + s);
    return c;
}

TEST_F(Users, GeneratedIdIsTimeAndTheLastDigitsOfRandom)
{
    set_gdebug("a");
    const unsigned seed = 20240611u;
    time_t before = std::time(nullptr);
    Candidates c = candidates(seed, 2, before, 1);
    srandom(seed);
    auto id = take(gen_unique_user_id(k_));
    time_t after = std::time(nullptr);
    ASSERT_TRUE(id.has_value());
    auto dash = id->find('-');
    ASSERT_NE(dash, std::string::npos);
    long t = std::stol(id->substr(0, dash));
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    EXPECT_EQ(id->substr(dash + 1), c.suffixes[0]);
    EXPECT_EQ(times_logged("(a) RETRY\n"), 0);
    // Nothing is written.
    EXPECT_TRUE(user_entries(*id).empty());

    // The first candidate taken: the second is tried and returned.
    before = std::time(nullptr);
    c = candidates(seed, 2, before, 6);
    std::string ldif;
    for (long tt = before; tt < before + 6; ++tt) {
        std::string taken = std::to_string(tt) + "-" + c.suffixes[0];
        ldif += "dn: " + user_dn(taken) + "\nobjectClass: kxUser\nkxID: " + taken + "\n\n";
        remove_later(user_dn(taken));
    }
    ASSERT_EQ(ldapadd(ldif), 0);
    kxcap_clear();
    srandom(seed);
    id = take(gen_unique_user_id(k_));
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->substr(id->find('-') + 1), c.suffixes[1]);
    EXPECT_EQ(times_logged("(a) RETRY\n", kDebugPriority), 1);
    srandom(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(getpid()));
}

TEST_F(Users, GenerationGivesUpAfterSixTakenCandidates)
{
    set_gdebug("a");
    const unsigned seed = 777u;
    const int span = 8;
    time_t from = std::time(nullptr);
    Candidates c = candidates(seed, 6, from, span);
    std::string ldif;
    for (const auto &id : c.ids) {
        ldif += "dn: " + user_dn(id) + "\nobjectClass: kxUser\nkxID: " + id + "\n\n";
        remove_later(user_dn(id));
    }
    ASSERT_EQ(ldapadd(ldif), 0);
    ASSERT_LT(std::time(nullptr), from + span - 2) << "the directory was too slow for this test";

    kxcap_clear();
    srandom(seed);
    EXPECT_EQ(gen_unique_user_id(k_), nullptr);
    EXPECT_EQ(times_logged("(a) RETRY\n", kDebugPriority), 6) << log_dump();
    EXPECT_TRUE(logged("gen_unique_user_id(): Could not generate unique ID after 5 tries", kDebugPriority));

    // add_user gives up with it, writing nothing.
    User u = new_user("ut-gen-unused");
    u->name = dup("ut-gen-name");
    kxcap_clear();
    srandom(seed);
    EXPECT_EQ(add_user(k_, u.get(), 1), nullptr);
    EXPECT_TRUE(logged("gen_unique_user_id(): Could not generate unique ID after 5 tries"));
    EXPECT_TRUE(nothing_logged_containing("generated id"));
    EXPECT_TRUE(ldap_find(users_base(), "(kxName=ut-gen-name)").empty());
    EXPECT_TRUE(user_entries("ut-gen-unused").empty());
    srandom(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(getpid()));
}

// ---- printing -------------------------------------------------------------------------

TEST(UsersPrint, FormatOfTheRecord)
{
    User u(allocate_user());
    // A fresh record is all zero.
    EXPECT_EQ(u->id, nullptr);
    EXPECT_EQ(u->create_time, 0);
    EXPECT_EQ(u->logical_token_ids, nullptr);
    const std::string nil_block =
        "user:\n  id                 = (nil)\n  name               = (nil)\n"
        "  other_info         = (nil)\n  create_time        = 0\n  status             = 0\n"
        "  last_desktop       = (nil)\n  last_time          = 0\n  misc1              = (nil)\n"
        "  misc2              = (nil)\n";
    EXPECT_EQ(print_of(u.get(), 0), nil_block + "  logical_token_ids  = (nil)\n");
    EXPECT_EQ(print_of(u.get(), 1), nil_block);
    u->logical_token_ids = id_list({});
    EXPECT_EQ(print_of(u.get(), 0), nil_block + "  logical_token_ids  = (nil)\n");

    u->id = dup("1718000000-4711");
    u->name = dup("Grace Hopper");
    u->other_info = dup("cobol");
    u->create_time = 1718000000;
    u->status = 2;
    u->last_desktop = dup("IEEE802.080020a1b2c3");
    u->last_time = -1;
    u->misc1 = dup("one");
    u->misc2 = dup("two");
    kx_free_array(u->logical_token_ids);
    u->logical_token_ids = id_list({"user.a", "user.b", "user.c"});
    const std::string block =
        "user:\n  id                 = 1718000000-4711\n  name               = Grace Hopper\n"
        "  other_info         = cobol\n  create_time        = 1718000000\n  status             = 2\n"
        "  last_desktop       = IEEE802.080020a1b2c3\n  last_time          = -1\n"
        "  misc1              = one\n  misc2              = two\n";
    EXPECT_EQ(print_of(u.get(), 0), block +
                                        "  logical_token_ids  = user.a\n"
                                        "                     = user.b\n"
                                        "                     = user.c\n");
    EXPECT_EQ(print_of(u.get(), 7), block);

    kx_free_array(u->logical_token_ids);
    u->logical_token_ids = id_list({"user.only"});
    EXPECT_EQ(print_of(u.get(), 0), block + "  logical_token_ids  = user.only\n");
    free_user(nullptr);
}

// ---- logical token ids by user name ----------------------------------------------------

TEST_F(Users, LogicalTokenIdsOfEveryUserOfAName)
{
    User a = new_user("ut-name-a");
    a->name = dup("ut-Shared Name");
    a->logical_token_ids = id_list({"user.ut-name-a1", "user.ut-name-a2"});
    User b = new_user("ut-name-b");
    b->name = dup("ut-shared name");  // names compare without regard to case
    b->logical_token_ids = id_list({"user.ut-name-b1"});
    User c = new_user("ut-name-c");
    c->name = dup("ut-Shared Name");  // no token ids: skipped
    User d = new_user("ut-name-d");
    d->name = dup("ut-Shared Namesake");
    d->logical_token_ids = id_list({"user.ut-name-d1"});
    for (KXUser *u : {a.get(), c.get(), b.get(), d.get()})
        ASSERT_FALSE(added(u).empty());

    // In the order of the search result.
    std::vector<std::string> expected;
    for (const auto &e : ldap_find(users_base(), "(kxname=ut-Shared Name)"))
        for (const auto &v : values(e, "kxLogicalTokenIDs"))
            expected.push_back(v);
    ASSERT_EQ(expected.size(), 3u);

    char name[] = "ut-Shared Name";
    char **ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(kx_getLtokenByUser(k_, name, &ids), KXE_SUCCESS);
    EXPECT_EQ(strings(ids), expected);
    std::vector<std::string> sorted = strings(ids);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{"user.ut-name-a1", "user.ut-name-a2", "user.ut-name-b1"}));
    kx_free_array(ids);

    // A name whose users have no token ids, and a name nobody has.
    User e = new_user("ut-name-e");
    e->name = dup("ut-Tokenless");
    ASSERT_FALSE(added(e.get()).empty());
    for (const char *n : {"ut-Tokenless", "ut-Nobody At All"}) {
        SCOPED_TRACE(n);
        std::string s = n;
        ids = reinterpret_cast<char **>(0x1);
        EXPECT_EQ(kx_getLtokenByUser(k_, s.data(), &ids), KXE_NOTFOUND);
        EXPECT_EQ(ids, nullptr);
    }

    // The name goes into the filter unchanged: a wildcard is a wildcard.
    char pattern[] = "ut-Shared Name*";
    ids = nullptr;
    EXPECT_EQ(kx_getLtokenByUser(k_, pattern, &ids), KXE_SUCCESS);
    sorted = strings(ids);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{"user.ut-name-a1", "user.ut-name-a2", "user.ut-name-b1",
                                                "user.ut-name-d1"}));
    kx_free_array(ids);

    // A name that breaks the filter finds nothing.
    char broken[] = "x)(kxName=ut-Shared Name";
    ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(kx_getLtokenByUser(k_, broken, &ids), KXE_NOTFOUND);
    EXPECT_EQ(ids, nullptr);

    // Too long for the filter: nothing.
    std::string huge(500, 'n');
    ids = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(kx_getLtokenByUser(k_, huge.data(), &ids), KXE_NOTFOUND);
    EXPECT_EQ(ids, nullptr);
}

} // namespace
