// Enrolment of users against raw tokens, the change of a registration and
// its removal, against the real slapd of the directory test bed, on one
// server and on the replicated pair.  What each call left in the directory
// is confirmed with ldapsearch, an independent client.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "admin_private.h"
#include "admin_token.h"
#include "ds_support.h"
#include "syslog_capture.h"
#include "testbed_env.h"

namespace {

using namespace ds;

bool replicated()
{
    return bed()["KX_TESTBED_MODE"] == "replicated";
}

// Where the tests write their own entries: the provider of a replicated
// pair (the consumer refers every write there), else the one server.
std::string writer()
{
    return replicated() ? bed()["KX_PROVIDER_URI"] : bed()["KX_LDAP_URI"];
}

// The attributes of an entry other than its DN, names in lower case.
Strings names(const std::optional<Attrs> &e)
{
    Strings out;
    if (e)
        for (const auto &[name, vals] : *e)
            if (name != "dn")
                out.push_back(lower(name));
    std::sort(out.begin(), out.end());
    return out;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- the fixture ------------------------------------------------------------------

class EnrolmentBase : public DirectoryTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testbed_ready());
        k_ = open(3);
        ASSERT_NE(k_, nullptr);
        set_gdebug("a");
        kxcap_clear();
    }
    void TearDown() override
    {
        remove_entries(writer());
        close_sessions();
        set_gdebug(nullptr);
    }
    void make(const std::string &dn, const Fields &fields)
    {
        remove_later(dn);
        ASSERT_EQ(ldapmodify(ldif_add(dn, fields), writer()), 0) << dn;
    }
    void make_raw(const std::string &id, const Fields &more = {})
    {
        Fields f{{"objectClass", "kxRawToken"}, {"kxID", id}};
        f.insert(f.end(), more.begin(), more.end());
        make(raw_dn(id), f);
    }
    void make_logical(const std::string &id, const std::vector<std::string> &raws, const Fields &more = {})
    {
        Fields f{{"objectClass", "kxLogicalToken"}, {"kxID", id}};
        for (const auto &r : raws)
            f.emplace_back("kxRawTokenIDs", r);
        f.insert(f.end(), more.begin(), more.end());
        make(logical_dn(id), f);
    }
    void forget(const std::string &raw, const std::string &uid)
    {
        remove_later(raw_dn(raw));
        if (!uid.empty()) {
            remove_later(logical_dn("user." + uid));
            remove_later(user_dn(uid));
        }
    }
    // add_simple_user2; the new user id, or "" for NULL.  What it may have
    // written is removed after the test.
    std::string enrol(const std::string &raw, const char *server, int port, const std::string &name,
                      const char *other)
    {
        std::string r = raw, n = name;
        std::string s = server ? server : "", o = other ? other : "";
        char *uid = add_simple_user2(k_, r.data(), server ? s.data() : nullptr, port, n.data(),
                                     other ? o.data() : nullptr);
        std::string out = uid ? uid : "";
        std::free(uid);
        forget(raw, out);
        return out;
    }
    // The user id has the form "<seconds>-<up to four digits>".
    static bool plausible_uid(const std::string &uid)
    {
        auto dash = uid.find('-');
        if (dash == std::string::npos || dash == 0 || uid.size() - dash - 1 < 1 || uid.size() - dash - 1 > 4)
            return false;
        for (size_t i = 0; i < uid.size(); ++i)
            if (i != dash && !std::isdigit(static_cast<unsigned char>(uid[i])))
                return false;
        return true;
    }

    KXAdmin k_ = nullptr;
};

// ---- one server ------------------------------------------------------------------
// The session's server is the primary itself.

class Enrolment : public EnrolmentBase {
protected:
    // The write requests (ADD, MOD, DEL with their DN) that the server
    // logged after offset.  A search with a marker filter is sent last and
    // waited for, so that nothing earlier is missed.
    std::vector<std::string> writes_since(size_t offset)
    {
        static int serial = 0;
        std::string marker = "enrol-marker-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
        ldap_find(subtree(), "(kxID=" + marker + ")");
        std::vector<std::string> out;
        std::string text;
        if (!eventually([&] { return (text = slapd_log_since(offset)).find(marker) != std::string::npos; }, 50)) {
            ADD_FAILURE() << "the server log does not show the marker search";
            return out;
        }
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line))
            for (const char *what : {" ADD dn=", " MOD dn=", " DEL dn=", " MODRDN dn="}) {
                auto at = line.find(what);
                if (at != std::string::npos)
                    out.push_back(squeeze_dn(line.substr(at + 1)));
            }
        return out;
    }
};

std::string modded(const std::string &dn)
{
    return squeeze_dn("MOD dn=\"" + dn + "\"");
}

TEST_F(Enrolment, ANewRawTokenGetsItsThreeEntries)
{
    time_t before = time(nullptr);
    auto start = std::chrono::steady_clock::now();
    std::string uid = enrol("enr.new1", "srv.example", 7010, "Alice Enrol", "room 4");
    double took = seconds_since(start);
    time_t after = time(nullptr);
    ASSERT_FALSE(uid.empty()) << log_dump();
    EXPECT_TRUE(plausible_uid(uid)) << uid;
    // The new user is on the session's server at once: no wait.
    EXPECT_LT(took, 5.0);

    auto raw = read_entry(raw_dn("enr.new1"));
    ASSERT_TRUE(raw);
    EXPECT_EQ(names(raw), (Strings{"kxenabled", "kxid", "kxtokenstate", "kxtokentype", "objectclass"}));
    EXPECT_EQ(values(raw, "objectClass"), Strings{"kxRawToken"});
    EXPECT_EQ(values(raw, "kxTokenType"), Strings{"user"});
    EXPECT_EQ(values(raw, "kxTokenState"), Strings{"unknown"});
    EXPECT_EQ(values(raw, "kxEnabled"), Strings{"allowed"});

    std::string lid = "user." + uid;
    auto lt = read_entry(logical_dn(lid));
    ASSERT_TRUE(lt);
    EXPECT_EQ(names(lt),
              (Strings{"kxid", "kxrawtokenids", "kxservername", "kxserverport", "kxsessiontype", "objectclass"}));
    EXPECT_EQ(values(lt, "objectClass"), Strings{"kxLogicalToken"});
    EXPECT_EQ(values(lt, "kxID"), Strings{lid});
    EXPECT_EQ(values(lt, "kxSessionType"), Strings{"default"});
    EXPECT_EQ(values(lt, "kxServerName"), Strings{"srv.example"});
    EXPECT_EQ(values(lt, "kxServerPort"), Strings{"7010"});
    EXPECT_EQ(values(lt, "kxRawTokenIDs"), Strings{"enr.new1"});

    auto user = read_entry(user_dn(uid));
    ASSERT_TRUE(user);
    EXPECT_EQ(names(user),
              (Strings{"kxfirsttime", "kxid", "kxlogicaltokenids", "kxname", "kxotherinfo", "objectclass"}));
    EXPECT_EQ(values(user, "objectClass"), Strings{"kxUser"});
    EXPECT_EQ(values(user, "kxName"), Strings{"Alice Enrol"});
    EXPECT_EQ(values(user, "kxOtherInfo"), Strings{"room 4"});
    EXPECT_EQ(values(user, "kxLogicalTokenIDs"), Strings{lid});
    ASSERT_EQ(values(user, "kxFirstTime").size(), 1u);
    long first = std::atol(values(user, "kxFirstTime")[0].c_str());
    EXPECT_GE(first, static_cast<long>(before));
    EXPECT_LE(first, static_cast<long>(after));

    EXPECT_TRUE(logged("(a) Created datastore user |" + uid + "|\n", LOG_INFO));
    EXPECT_TRUE(logged("user : User (Alice Enrol) successfully added.", kAdminPriority));
    EXPECT_EQ(admin_log().size(), 1u) << log_dump();
    EXPECT_TRUE(nothing_logged_containing("not in the secondary"));

    // Removal by the raw token takes all three.
    kxcap_clear();
    char rid[] = "enr.new1";
    EXPECT_EQ(delete_simple_user(k_, rid), 0);
    EXPECT_FALSE(read_entry(raw_dn("enr.new1")));
    EXPECT_FALSE(read_entry(logical_dn(lid)));
    EXPECT_FALSE(read_entry(user_dn(uid)));
    EXPECT_TRUE(logged("user : Successfully deleted user for token id 'enr.new1'.", kAdminPriority));
}

TEST_F(Enrolment, WithoutServerNameAndOtherInformation)
{
    std::string uid = enrol("enr.new2", nullptr, 0, "Nobody Else", nullptr);
    ASSERT_FALSE(uid.empty()) << log_dump();
    auto lt = read_entry(logical_dn("user." + uid));
    ASSERT_TRUE(lt);
    EXPECT_TRUE(values(lt, "kxServerName").empty());
    EXPECT_EQ(values(lt, "kxServerPort"), Strings{"0"});
    EXPECT_EQ(values(lt, "kxSessionType"), Strings{"default"});
    auto user = read_entry(user_dn(uid));
    ASSERT_TRUE(user);
    EXPECT_TRUE(values(user, "kxOtherInfo").empty());
    EXPECT_EQ(values(user, "kxName"), Strings{"Nobody Else"});
}

TEST_F(Enrolment, AUserNameMustBeShorterThan100Characters)
{
    std::string name99 = "N" + std::string(98, 'x');
    std::string uid = enrol("enr.len99", "h", 1, name99, nullptr);
    ASSERT_FALSE(uid.empty()) << log_dump();
    EXPECT_EQ(values(read_entry(user_dn(uid)), "kxName"), Strings{name99});

    std::string name100 = "M" + std::string(99, 'y');
    kxcap_clear();
    size_t offset = slapd_log_size();
    EXPECT_EQ(enrol("enr.len100", "h", 1, name100, nullptr), "");
    auto r = log_records();
    ASSERT_EQ(r.size(), 2u) << log_dump();
    EXPECT_EQ(r[0].priority, kAdminPriority);
    EXPECT_EQ(r[0].message, "user : add_simple_user2(): Entered User Name is [" + name100 + "]\n");
    EXPECT_EQ(r[1].priority, kAdminPriority);
    EXPECT_EQ(r[1].message, "user : add_simple_user2(): User Name should be less than 100 characters in length\n");
    EXPECT_TRUE(writes_since(offset).empty());
    EXPECT_TRUE(ldap_find(subtree(), "(|(kxID=enr.len100)(kxRawTokenIDs=enr.len100)(kxName=" + name100 + "))")
                    .empty());
}

TEST_F(Enrolment, AnExistingRawTokenIsUsedUnchanged)
{
    Fields own = {{"kxSecret", "s3cret"}, {"kxTokenType", "card"}, {"kxMisc1", "m1"}};
    make_raw("enr.keep1", own);
    auto before = read_entry(raw_dn("enr.keep1"));
    size_t offset = slapd_log_size();
    std::string uid = enrol("enr.keep1", "srv", 7011, "Keeper One", "k");
    ASSERT_FALSE(uid.empty()) << log_dump();
    EXPECT_EQ(read_entry(raw_dn("enr.keep1")), before);
    for (const auto &w : writes_since(offset))
        EXPECT_EQ(w.find(squeeze_dn(raw_tokens_base())), std::string::npos) << w;
    auto lt = read_entry(logical_dn("user." + uid));
    ASSERT_TRUE(lt);
    EXPECT_EQ(values(lt, "kxRawTokenIDs"), Strings{"enr.keep1"});
    EXPECT_EQ(values(lt, "objectClass"), Strings{"kxLogicalToken"});
}

TEST_F(Enrolment, TheRawTokenScreenConfigurationIsCopiedToTheLogicalToken)
{
    Fields screen = {{"objectClass", "kxXconfig"},
                     {"kxTokenType", "card"},
                     {"kxScreenResolution", "1280x1024"},
                     {"kxScreenRefresh", "75"},
                     {"kxScreenDimRows", "1"},
                     {"kxScreenDimColumns", "2"},
                     {"kxScreenOrdering", "2,1"},
                     {"kxScreenEnableAutoSizing", "yes"}};
    make_raw("enr.keep2", screen);
    auto before = read_entry(raw_dn("enr.keep2"));
    std::string uid = enrol("enr.keep2", "srv", 7012, "Keeper Two", nullptr);
    ASSERT_FALSE(uid.empty()) << log_dump();
    EXPECT_EQ(read_entry(raw_dn("enr.keep2")), before);

    std::string lid = "user." + uid;
    auto lt = read_entry(logical_dn(lid));
    ASSERT_TRUE(lt);
    EXPECT_EQ(values(lt, "objectClass"), (Strings{"kxLogicalToken", "kxXconfig"}));
    EXPECT_EQ(values(lt, "kxScreenResolution"), Strings{"1280x1024"});
    EXPECT_EQ(values(lt, "kxScreenRefresh"), Strings{"75"});
    EXPECT_EQ(values(lt, "kxScreenDimRows"), Strings{"1"});
    EXPECT_EQ(values(lt, "kxScreenDimColumns"), Strings{"2"});
    EXPECT_EQ(values(lt, "kxScreenOrdering"), Strings{"2,1"});
    EXPECT_EQ(values(lt, "kxScreenEnableAutoSizing"), Strings{"yes"});
    EXPECT_TRUE(values(lt, "kxScreenEnablePC").empty());
    EXPECT_EQ(values(lt, "kxRawTokenIDs"), Strings{"enr.keep2"});

    KXXconfig *conf = nullptr;
    EXPECT_EQ(kx_getXconfByTokenID(k_, lid.data(), &conf), KXE_SUCCESS);
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(std::string(conf->id), lid);
    EXPECT_EQ(conf->screenRefresh, 75);
    kx_freeXconf(conf);
}

TEST_F(Enrolment, ARawTokenThatALogicalTokenListsIsRefused)
{
    std::string uid = enrol("enr.twice", "srv", 7013, "First Owner", nullptr);
    ASSERT_FALSE(uid.empty()) << log_dump();
    kxcap_clear();
    size_t offset = slapd_log_size();
    EXPECT_EQ(enrol("enr.twice", "srv", 7013, "Second Owner", nullptr), "");
    EXPECT_TRUE(logged("add_simple_user2(): there is already a logical token for raw\ntoken enr.twice on "
                       "the primary datastore.  The local datastore may be\nout of sync with the "
                       "primary.  Please inform your administrator.",
                       LOG_INFO));
    EXPECT_EQ(admin_log().size(), 0u) << log_dump();
    EXPECT_TRUE(writes_since(offset).empty());
    EXPECT_TRUE(ldap_find(users_base(), "(kxName=Second Owner)").empty());
    EXPECT_EQ(ldap_find(logical_tokens_base(), "(kxRawTokenIDs=enr.twice)").size(), 1u);
}

TEST_F(Enrolment, ALogicalTokenThatCannotBeAddedLeavesTheNewRawToken)
{
    // An empty server name is not a value the directory takes.
    EXPECT_EQ(enrol("enr.fail1", "", 7050, "Fail Logical", nullptr), "");
    EXPECT_TRUE(logged("add_simple_user2(): Could not add logical token for user Fail Logical. (raw "
                       "token=enr.fail1)",
                       LOG_INFO));
    EXPECT_TRUE(logged("user : Adding logical token for user (Fail Logical) failed.", kAdminPriority));
    EXPECT_TRUE(nothing_logged_containing("successfully added"));
    auto raw = read_entry(raw_dn("enr.fail1"));
    ASSERT_TRUE(raw);
    EXPECT_EQ(values(raw, "kxTokenType"), Strings{"user"});
    EXPECT_EQ(values(raw, "kxTokenState"), Strings{"unknown"});
    EXPECT_EQ(values(raw, "kxEnabled"), Strings{"allowed"});
    EXPECT_TRUE(ldap_find(logical_tokens_base(), "(kxRawTokenIDs=enr.fail1)").empty());
    EXPECT_TRUE(ldap_find(users_base(), "(kxName=Fail Logical)").empty());

    // The raw token is now known here: a new enrolment uses it as it is.
    std::string uid = enrol("enr.fail1", "srv", 7050, "Fail Logical", nullptr);
    ASSERT_FALSE(uid.empty()) << log_dump();
    EXPECT_EQ(read_entry(raw_dn("enr.fail1")), raw);
    EXPECT_EQ(values(read_entry(logical_dn("user." + uid)), "kxRawTokenIDs"), Strings{"enr.fail1"});
}

TEST_F(Enrolment, AUserThatCannotBeAddedLeavesTheTokens)
{
    make_raw("enr.fail2", {{"objectClass", "kxXconfig"}, {"kxScreenResolution", "800x600"}});
    auto raw = read_entry(raw_dn("enr.fail2"));
    // An empty user name is not a value the directory takes.
    EXPECT_EQ(enrol("enr.fail2", "srv", 7051, "", "x"), "");
    auto left = ldap_find(logical_tokens_base(), "(kxRawTokenIDs=enr.fail2)");
    for (const auto &e : left)
        remove_later(e.at("dn")[0]);
    EXPECT_TRUE(logged("add_simple_user2(): Could not add user into the datastore for user . (raw "
                       "token=enr.fail2)",
                       LOG_INFO));
    EXPECT_TRUE(logged("user : Adding user () to datastore failed.", kAdminPriority));
    EXPECT_TRUE(nothing_logged_containing("successfully added"));
    EXPECT_EQ(read_entry(raw_dn("enr.fail2")), raw);
    // The logical token stays, with the configuration promoted to it.
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(values(left[0], "kxRawTokenIDs"), Strings{"enr.fail2"});
    EXPECT_EQ(values(left[0], "kxScreenResolution"), Strings{"800x600"});
    std::string lid = values(left[0], "kxID").empty() ? "" : values(left[0], "kxID")[0];
    EXPECT_TRUE(lid.rfind("user.", 0) == 0) << lid;
    EXPECT_TRUE(ldap_find(users_base(), "(kxLogicalTokenIDs=" + lid + ")").empty());

    // A new enrolment for the raw token stops at the logical token.
    kxcap_clear();
    EXPECT_EQ(enrol("enr.fail2", "srv", 7051, "Second Try", nullptr), "");
    EXPECT_TRUE(logged("add_simple_user2(): there is already a logical token for raw\ntoken enr.fail2 on "
                       "the primary datastore.  The local datastore may be\nout of sync with the "
                       "primary.  Please inform your administrator.",
                       LOG_INFO));
}

// ---- changing a registration --------------------------------------------------------

TEST_F(Enrolment, EditWithTheStoredValuesWritesNothing)
{
    std::string uid = enrol("enr.edit1", "srv.one", 7020, "Bob Edit", "desk 7");
    ASSERT_FALSE(uid.empty()) << log_dump();
    kxcap_clear();
    size_t offset = slapd_log_size();
    char rid[] = "enr.edit1";
    char server[] = "srv.one", name[] = "Bob Edit", other[] = "desk 7";
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, name, other), KXE_NOCHANGE);
    EXPECT_TRUE(writes_since(offset).empty());
    EXPECT_EQ(admin_log().size(), 0u) << log_dump();
}

TEST_F(Enrolment, EditOfThePortOnlyLeavesTheUserAlone)
{
    std::string uid = enrol("enr.edit2", "srv.one", 7020, "Bob Port", "desk 7");
    ASSERT_FALSE(uid.empty()) << log_dump();
    std::string lid = "user." + uid;
    auto user_before = read_entry(user_dn(uid));
    kxcap_clear();
    size_t offset = slapd_log_size();
    char rid[] = "enr.edit2";
    char server[] = "srv.one", name[] = "Bob Port", other[] = "desk 7";
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7021, name, other), KXE_SUCCESS);
    EXPECT_EQ(writes_since(offset), Strings{modded(logical_dn(lid))});
    auto lt = read_entry(logical_dn(lid));
    EXPECT_EQ(values(lt, "kxServerPort"), Strings{"7021"});
    EXPECT_EQ(values(lt, "kxServerName"), Strings{"srv.one"});
    EXPECT_EQ(values(lt, "kxSessionType"), Strings{"default"});
    EXPECT_EQ(values(lt, "kxRawTokenIDs"), Strings{"enr.edit2"});
    EXPECT_EQ(read_entry(user_dn(uid)), user_before);
    EXPECT_EQ(admin_log().size(), 0u) << log_dump();
}

TEST_F(Enrolment, EditStoresTheServerNameTrimmed)
{
    std::string uid = enrol("enr.edit3", "srv.one", 7020, "Bob Trim", nullptr);
    ASSERT_FALSE(uid.empty()) << log_dump();
    std::string lid = "user." + uid;
    char rid[] = "enr.edit3", name[] = "Bob Trim";
    auto server_name = [&] { return values(read_entry(logical_dn(lid)), "kxServerName"); };

    char padded[] = "  srv.two\t\n";
    EXPECT_EQ(edit_simple_user(k_, rid, padded, 7020, name, nullptr), KXE_SUCCESS);
    EXPECT_EQ(server_name(), Strings{"srv.two"});
    char plain[] = "srv.two";
    EXPECT_EQ(edit_simple_user(k_, rid, plain, 7020, name, nullptr), KXE_NOCHANGE);
    // The comparison is with the name as given.
    char leading[] = " srv.two";
    EXPECT_EQ(edit_simple_user(k_, rid, leading, 7020, name, nullptr), KXE_SUCCESS);
    EXPECT_EQ(server_name(), Strings{"srv.two"});
    char blank[] = " \t ";
    EXPECT_EQ(edit_simple_user(k_, rid, blank, 7020, name, nullptr), KXE_SUCCESS);
    EXPECT_TRUE(server_name().empty());
    EXPECT_EQ(edit_simple_user(k_, rid, nullptr, 7020, name, nullptr), KXE_NOCHANGE);
    EXPECT_EQ(edit_simple_user(k_, rid, plain, 7020, name, nullptr), KXE_SUCCESS);
    EXPECT_EQ(edit_simple_user(k_, rid, nullptr, 7020, name, nullptr), KXE_SUCCESS);
    EXPECT_TRUE(server_name().empty());
    EXPECT_EQ(values(read_entry(logical_dn(lid)), "kxServerPort"), Strings{"7020"});
}

TEST_F(Enrolment, EditOfUserNameAndOtherInformation)
{
    std::string uid = enrol("enr.edit4", "srv.one", 7020, "Bob User", "desk 7");
    ASSERT_FALSE(uid.empty()) << log_dump();
    std::string lid = "user." + uid;
    auto lt_before = read_entry(logical_dn(lid));
    char rid[] = "enr.edit4", server[] = "srv.one";

    kxcap_clear();
    size_t offset = slapd_log_size();
    char carol[] = "Carol User", info[] = "  new desk \n";
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, carol, info), KXE_SUCCESS);
    EXPECT_EQ(writes_since(offset), Strings{modded(user_dn(uid))});
    auto user = read_entry(user_dn(uid));
    EXPECT_EQ(values(user, "kxName"), Strings{"Carol User"});
    EXPECT_EQ(values(user, "kxOtherInfo"), Strings{"new desk"});
    EXPECT_EQ(values(user, "kxLogicalTokenIDs"), Strings{lid});
    EXPECT_EQ(read_entry(logical_dn(lid)), lt_before);
    EXPECT_TRUE(logged("user : User properties for (Carol User) modified.", kAdminPriority));

    char trimmed[] = "new desk";
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, carol, trimmed), KXE_NOCHANGE);

    // The user name is stored as given, the other information trimmed.
    char dave[] = " Dave ", x[] = "\tx  ";
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, dave, x), KXE_SUCCESS);
    user = read_entry(user_dn(uid));
    EXPECT_EQ(values(user, "kxName"), Strings{" Dave "});
    EXPECT_EQ(values(user, "kxOtherInfo"), Strings{"x"});

    // Unset values remove the attributes; the token list stays.
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, nullptr, nullptr), KXE_SUCCESS);
    user = read_entry(user_dn(uid));
    EXPECT_TRUE(values(user, "kxName").empty());
    EXPECT_TRUE(values(user, "kxOtherInfo").empty());
    EXPECT_EQ(values(user, "kxLogicalTokenIDs"), Strings{lid});
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, nullptr, nullptr), KXE_NOCHANGE);
}

TEST_F(Enrolment, EditOfARawTokenWithoutLogicalTokenOrUser)
{
    char none[] = "enr.edit.none", server[] = "s", name[] = "n";
    EXPECT_EQ(edit_simple_user(k_, none, server, 1, name, nullptr), -1);
    EXPECT_TRUE(logged("edit_simple_user(): Could not translate rt to lt.", LOG_INFO));

    make_raw("enr.edit5");
    make_logical("user.enr-edit5", {"enr.edit5"}, {{"kxServerName", "a"}, {"kxServerPort", "1"}});
    kxcap_clear();
    char rid[] = "enr.edit5", a[] = "a";
    EXPECT_EQ(edit_simple_user(k_, rid, a, 2, name, nullptr), -1);
    EXPECT_TRUE(logged("edit_simple_user(): Could not get LDAP user.", LOG_INFO));
    // The change of the logical token stays.
    EXPECT_EQ(values(read_entry(logical_dn("user.enr-edit5")), "kxServerPort"), Strings{"2"});
}

// ---- removing a registration ------------------------------------------------------------

TEST_F(Enrolment, DeleteOfARawTokenThatNoLogicalTokenLists)
{
    make_raw("enr.del1", {{"kxTokenType", "user"}});
    char rid[] = "enr.del1";
    EXPECT_EQ(delete_simple_user(k_, rid), 0);
    EXPECT_FALSE(read_entry(raw_dn("enr.del1")));
    EXPECT_TRUE(logged("user : Successfully deleted token id (enr.del1).", kAdminPriority));
    EXPECT_TRUE(logged("user : Successfully deleted user for token id 'enr.del1'.", kAdminPriority));
}

TEST_F(Enrolment, DeleteOfLogicalTokensThatNoUserOwns)
{
    make_raw("enr.del2");
    make_raw("enr.del2.other");
    make_logical("user.enr-del2a", {"enr.del2"});
    make_logical("user.enr-del2b", {"enr.del2", "enr.del2.other"});
    char rid[] = "enr.del2";
    EXPECT_EQ(delete_simple_user(k_, rid), 0);
    EXPECT_FALSE(read_entry(logical_dn("user.enr-del2a")));
    EXPECT_FALSE(read_entry(logical_dn("user.enr-del2b")));
    EXPECT_FALSE(read_entry(raw_dn("enr.del2")));
    // A logical token goes with all of its raw tokens.
    EXPECT_FALSE(read_entry(raw_dn("enr.del2.other")));
    EXPECT_TRUE(logged("user : Successfully deleted user for token id 'enr.del2'.", kAdminPriority));
}

TEST_F(Enrolment, DeleteOfEveryUserReachedFromTheRawToken)
{
    std::string uid = enrol("enr.del3", "srv", 7030, "Shared One", nullptr);
    ASSERT_FALSE(uid.empty()) << log_dump();
    make_logical("user.enr-del3-x", {"enr.del3"});
    make(user_dn("enr-del3-x"), {{"objectClass", "kxUser"},
                                 {"kxID", "enr-del3-x"},
                                 {"kxName", "Shared Two"},
                                 {"kxLogicalTokenIDs", "user.enr-del3-x"}});
    kxcap_clear();
    char rid[] = "enr.del3";
    EXPECT_EQ(delete_simple_user(k_, rid), 0);
    for (const auto &dn : {user_dn(uid), user_dn("enr-del3-x"), logical_dn("user." + uid),
                           logical_dn("user.enr-del3-x"), raw_dn("enr.del3")})
        EXPECT_FALSE(read_entry(dn)) << dn;
    EXPECT_TRUE(logged("user : Successfully deleted user for token id 'enr.del3'.", kAdminPriority));
}

TEST_F(Enrolment, DeleteOfAnUnknownRawTokenLogsNothing)
{
    char rid[] = "enr.del.none";
    size_t offset = slapd_log_size();
    EXPECT_EQ(delete_simple_user(k_, rid), KXE_NOTFOUND);
    EXPECT_EQ(admin_log().size(), 0u) << log_dump();
    EXPECT_TRUE(writes_since(offset).empty());
}

// ---- enrolment from prepared records --------------------------------------------------------

TEST_F(Enrolment, PreparedRecords)
{
    KXRawToken *raw = allocate_raw_token();
    raw->id = strdup("enr.s3");
    raw->secret = strdup("sec3");
    raw->token_type = strdup("card");
    raw->token_state = strdup("ok");
    raw->enabled = strdup("denied");
    raw->misc1 = strdup("rm1");
    KXLogicalToken *lt = allocate_logical_token();
    lt->id = strdup("caller.lt");
    lt->token_name = strdup("tn3");
    lt->session_type = strdup("kiosk");
    lt->session_params = strdup("p=1");
    lt->server_name = strdup("h3");
    lt->server_port = 7300;
    lt->misc2 = strdup("lm2");
    lt->raw_token_ids = id_list({"other.a", "other.b"});
    KXUser *u = allocate_user();
    std::string long_name(150, 'L');   // no length check here
    u->id = strdup("caller-u");
    u->name = strdup(long_name.c_str());
    u->other_info = strdup("o3");
    u->misc1 = strdup("um1");
    u->logical_token_ids = id_list({"x"});

    char *got = add_simple_user3(k_, raw, lt, u);
    std::string uid = got ? got : "";
    std::free(got);
    forget("enr.s3", uid);
    ASSERT_FALSE(uid.empty()) << log_dump();
    EXPECT_TRUE(plausible_uid(uid)) << uid;
    std::string lid = "user." + uid;

    // The records now carry the ids and lists that were stored.
    EXPECT_EQ(std::string(lt->id), lid);
    EXPECT_EQ(strings(lt->raw_token_ids), Strings{"enr.s3"});
    EXPECT_EQ(std::string(u->id), uid);
    EXPECT_EQ(strings(u->logical_token_ids), Strings{lid});
    EXPECT_EQ(std::string(raw->id), "enr.s3");

    auto r = read_entry(raw_dn("enr.s3"));
    EXPECT_EQ(names(r),
              (Strings{"kxenabled", "kxid", "kxmisc1", "kxsecret", "kxtokenstate", "kxtokentype", "objectclass"}));
    EXPECT_EQ(values(r, "kxSecret"), Strings{"sec3"});
    EXPECT_EQ(values(r, "kxTokenType"), Strings{"card"});
    EXPECT_EQ(values(r, "kxTokenState"), Strings{"ok"});
    EXPECT_EQ(values(r, "kxEnabled"), Strings{"denied"});
    EXPECT_EQ(values(r, "kxMisc1"), Strings{"rm1"});

    auto l = read_entry(logical_dn(lid));
    EXPECT_EQ(names(l), (Strings{"kxid", "kxmisc2", "kxrawtokenids", "kxservername", "kxserverport", "kxsessionparams",
                           "kxsessiontype", "kxtokenname", "objectclass"}));
    EXPECT_EQ(values(l, "kxTokenName"), Strings{"tn3"});
    EXPECT_EQ(values(l, "kxSessionType"), Strings{"kiosk"});
    EXPECT_EQ(values(l, "kxSessionParams"), Strings{"p=1"});
    EXPECT_EQ(values(l, "kxServerName"), Strings{"h3"});
    EXPECT_EQ(values(l, "kxServerPort"), Strings{"7300"});
    EXPECT_EQ(values(l, "kxMisc2"), Strings{"lm2"});
    EXPECT_EQ(values(l, "kxRawTokenIDs"), Strings{"enr.s3"});

    auto us = read_entry(user_dn(uid));
    EXPECT_EQ(names(us), (Strings{"kxfirsttime", "kxid", "kxlogicaltokenids", "kxmisc1", "kxname", "kxotherinfo",
                            "objectclass"}));
    EXPECT_EQ(values(us, "kxName"), Strings{long_name});
    EXPECT_EQ(values(us, "kxOtherInfo"), Strings{"o3"});
    EXPECT_EQ(values(us, "kxMisc1"), Strings{"um1"});
    EXPECT_EQ(values(us, "kxLogicalTokenIDs"), Strings{lid});

    EXPECT_TRUE(logged("(a) got user |" + uid + "|\n", LOG_INFO));
    EXPECT_EQ(admin_log().size(), 0u) << log_dump();
    EXPECT_TRUE(nothing_logged_containing("Created datastore user"));

    free_raw_token(raw);
    free_logical_token(lt);
    free_user(u);
}

TEST_F(Enrolment, PreparedRecordsWithARawTokenThatExists)
{
    make_raw("enr.s3b");
    KXRawToken *raw = allocate_raw_token();
    raw->id = strdup("enr.s3b");
    KXLogicalToken *lt = allocate_logical_token();
    lt->id = strdup("caller.lt");
    KXUser *u = allocate_user();
    u->name = strdup("Prepared Twice");

    char *got = add_simple_user3(k_, raw, lt, u);
    EXPECT_EQ(got, nullptr);
    std::free(got);
    EXPECT_TRUE(logged("add_simple_user3(): Could not add raw token\n", LOG_INFO));
    EXPECT_EQ(std::string(lt->id), "caller.lt");
    EXPECT_EQ(u->id, nullptr);
    EXPECT_TRUE(ldap_find(logical_tokens_base(), "(kxRawTokenIDs=enr.s3b)").empty());
    EXPECT_TRUE(ldap_find(users_base(), "(kxName=Prepared Twice)").empty());
    free_raw_token(raw);
    free_logical_token(lt);
    free_user(u);
}

// ---- the replicated pair ------------------------------------------------------------------
// The session is on the consumer; the provider is the primary.  Entries
// whose id, name or listed raw token id begins with "unsynced" stay on the
// provider.

class ReplicatedEnrolment : public EnrolmentBase {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bed().loaded);
        ASSERT_EQ(bed()["KX_TESTBED_MODE"], "replicated");
        EnrolmentBase::SetUp();
    }
    void TearDown() override
    {
        if (provider_stopped_) {
            EXPECT_TRUE(TestBed::control("start-provider"));
        }
        EnrolmentBase::TearDown();
    }
    std::string provider() { return bed()["KX_PROVIDER_URI"]; }
    std::string consumer() { return bed()["KX_CONSUMER_URI"]; }
    // Polls the consumer until the entry is there (or gone).
    bool on_consumer(const std::string &dn, bool present)
    {
        return eventually([&] { return read_entry(dn, consumer()).has_value() == present; });
    }
    bool provider_stopped_ = false;
};

TEST_F(ReplicatedEnrolment, ARawTokenOnThePrimaryOnlyIsRefused)
{
    make_raw("unsynced.r1");
    ASSERT_TRUE(read_entry(raw_dn("unsynced.r1"), provider()));
    ASSERT_FALSE(read_entry(raw_dn("unsynced.r1"), consumer()));
    auto before = read_entry(raw_dn("unsynced.r1"), provider());

    EXPECT_EQ(enrol("unsynced.r1", "h", 1, "Uns One", nullptr), "");
    EXPECT_TRUE(logged("add_simple_user2(): there is already a raw token unsynced.r1 on\nthe primary "
                       "datastore.  The local datastore may be out of sync\nwith the primary.  Please "
                       "inform your administrator.",
                       LOG_INFO));
    EXPECT_EQ(admin_log().size(), 0u) << log_dump();
    EXPECT_EQ(read_entry(raw_dn("unsynced.r1"), provider()), before);
    EXPECT_TRUE(ldap_find(logical_tokens_base(), "(kxRawTokenIDs=unsynced.r1)", "sub", provider()).empty());
    EXPECT_TRUE(ldap_find(users_base(), "(kxName=Uns One)", "sub", provider()).empty());
}

TEST_F(ReplicatedEnrolment, ALogicalTokenOnThePrimaryListingTheRawTokenIsRefused)
{
    make_logical("user.renr-lt2", {"unsynced.r2"});
    ASSERT_FALSE(read_entry(logical_dn("user.renr-lt2"), consumer()));

    EXPECT_EQ(enrol("unsynced.r2", "h", 1, "Uns Two", nullptr), "");
    EXPECT_TRUE(logged("add_simple_user2(): there is already a logical token for raw\ntoken unsynced.r2 "
                       "on the primary datastore.  The local datastore may be\nout of sync with the "
                       "primary.  Please inform your administrator.",
                       LOG_INFO));
    EXPECT_EQ(admin_log().size(), 0u) << log_dump();
    EXPECT_FALSE(read_entry(raw_dn("unsynced.r2"), provider()));
    EXPECT_EQ(ldap_find(logical_tokens_base(), "(kxRawTokenIDs=unsynced.r2)", "sub", provider()).size(), 1u);
    EXPECT_TRUE(ldap_find(users_base(), "(kxName=Uns Two)", "sub", provider()).empty());
}

TEST_F(ReplicatedEnrolment, EnrolmentThroughTheConsumer)
{
    auto start = std::chrono::steady_clock::now();
    std::string uid = enrol("renr.r3", "srv.rep", 7040, "Replicated Three", "r3");
    double took = seconds_since(start);
    ASSERT_FALSE(uid.empty()) << log_dump();
    EXPECT_LT(took, 9.0);
    std::string lid = "user." + uid;

    for (const auto &uri : {provider(), consumer()}) {
        SCOPED_TRACE(uri);
        if (uri == consumer()) {
            ASSERT_TRUE(on_consumer(raw_dn("renr.r3"), true));
            ASSERT_TRUE(on_consumer(logical_dn(lid), true));
            ASSERT_TRUE(on_consumer(user_dn(uid), true));
        }
        auto raw = read_entry(raw_dn("renr.r3"), uri);
        EXPECT_EQ(values(raw, "kxTokenType"), Strings{"user"});
        EXPECT_EQ(values(raw, "kxTokenState"), Strings{"unknown"});
        EXPECT_EQ(values(raw, "kxEnabled"), Strings{"allowed"});
        auto lt = read_entry(logical_dn(lid), uri);
        EXPECT_EQ(values(lt, "kxRawTokenIDs"), Strings{"renr.r3"});
        EXPECT_EQ(values(lt, "kxServerName"), Strings{"srv.rep"});
        EXPECT_EQ(values(lt, "kxServerPort"), Strings{"7040"});
        EXPECT_EQ(values(lt, "kxSessionType"), Strings{"default"});
        auto user = read_entry(user_dn(uid), uri);
        EXPECT_EQ(values(user, "kxName"), Strings{"Replicated Three"});
        EXPECT_EQ(values(user, "kxOtherInfo"), Strings{"r3"});
        EXPECT_EQ(values(user, "kxLogicalTokenIDs"), Strings{lid});
    }
    EXPECT_TRUE(logged("user : User (Replicated Three) successfully added.", kAdminPriority));
    EXPECT_TRUE(nothing_logged_containing("not in the secondary"));

    // Removal through the consumer reaches both servers.
    char rid[] = "renr.r3";
    EXPECT_EQ(delete_simple_user(k_, rid), 0);
    for (const auto &dn : {raw_dn("renr.r3"), logical_dn(lid), user_dn(uid)}) {
        EXPECT_FALSE(read_entry(dn, provider())) << dn;
        EXPECT_TRUE(on_consumer(dn, false)) << dn;
    }
}

TEST_F(ReplicatedEnrolment, AUserThatNeverReachesTheConsumer)
{
    auto start = std::chrono::steady_clock::now();
    std::string uid = enrol("renr.r4", "srv.rep", 7041, "unsynced Late User", nullptr);
    double took = seconds_since(start);
    ASSERT_FALSE(uid.empty()) << log_dump();
    EXPECT_GE(took, 9.0);
    EXPECT_LT(took, 20.0);
    EXPECT_TRUE(logged("user : User (unsynced Late User) successfully added.", kAdminPriority));
    EXPECT_TRUE(logged("user : User (unsynced Late User) is not in the secondary yet.", kAdminPriority));
    EXPECT_TRUE(logged("User unsynced Late User (raw token=renr.r4) is not in the secondary yet.", LOG_INFO));

    EXPECT_TRUE(read_entry(user_dn(uid), provider()));
    EXPECT_TRUE(read_entry(logical_dn("user." + uid), provider()));
    EXPECT_TRUE(read_entry(raw_dn("renr.r4"), provider()));
    EXPECT_TRUE(on_consumer(logical_dn("user." + uid), true));
    EXPECT_FALSE(read_entry(user_dn(uid), consumer()));
}

TEST_F(ReplicatedEnrolment, APrimaryThatCannotBeReachedStopsTheEnrolment)
{
    ASSERT_TRUE(TestBed::control("stop-provider"));
    provider_stopped_ = true;
    char rid[] = "renr.r5";
    int code = _kx_logicalTokenExists(k_, nullptr, rid, 1);
    EXPECT_NE(code, KXE_SUCCESS);
    EXPECT_NE(code, KXE_NOTFOUND);
    kxcap_clear();
    EXPECT_EQ(enrol("renr.r5", "h", 1, "Down Under", nullptr), "");
    EXPECT_TRUE(logged(std::string("add_simple_user2(): error encountered while trying to contact\nthe "
                                   "primary datastore. (") +
                           kx_err2str(code) + ")",
                       LOG_INFO));
    EXPECT_EQ(admin_log().size(), 0u) << log_dump();

    ASSERT_TRUE(TestBed::control("start-provider"));
    provider_stopped_ = false;
    EXPECT_FALSE(read_entry(raw_dn("renr.r5"), consumer()));
    EXPECT_FALSE(read_entry(raw_dn("renr.r5"), provider()));
    EXPECT_TRUE(ldap_find(users_base(), "(kxName=Down Under)", "sub", provider()).empty());
}

} // namespace
