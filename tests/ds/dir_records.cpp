// Users, logical and raw tokens with their links and cascading deletes, screen configurations and
// enrolment, against one directory server; the directory is read back after each step.
#include <cstdio>
#include <ctime>

#include "admin_private.h"
#include "kxtest.h"

// Records are set up with only the fields that a step needs.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using kxt::m;
using DirUsers = kxt::Dir;
using DirTokens = kxt::Dir;
using DirXconf = kxt::Dir;
using DirEnrol = kxt::Dir;

// The attribute lines of the entry named dn (those asked for), "-" without an entry.
std::string at(const std::string &dn, const std::string &attrs = "")
{
    std::string e = kxt::ldif(dn, "base", "(objectClass=*)", attrs);
    return e.empty() ? "-" : e.substr(e.find('\n') + 1, e.size() - e.find('\n') - 2);
}

TEST_F(DirUsers, AddModifyReadAndTheStatusJoin)
{
    std::string dn = kxt::user_dn("us-full");
    char *lts[] = {m("user.a"), m("user.b"), nullptr};
    KXUser u{m("us-full"), m("Ada"), m("room 12"), 123456,  1,
             m("desk.1"),  9,        m("m1"),      m("m2"), lts};
    char *id = add_user(k, &u, 0);
    EXPECT_TRUE(id != u.id && kxt::take(id) == "us-full");
    EXPECT_EQ(at(dn),
              "objectClass: kxUser\nkxID: us-full\nkxName: Ada\nkxOtherInfo: room 12\nkxFirstTime: "
              "123456\n"
              "kxMisc1: m1\nkxMisc2: m2\nkxLogicalTokenIDs: user.a\nkxLogicalTokenIDs: user.b\n");
    kxt::clear_logs();
    EXPECT_EQ(add_user(k, &u, 0), nullptr);
    EXPECT_EQ(
        kxt::logs(),
        "6 add_entry(): LDAP add failed - Already exists\n\n6 add_user(): Could not add user\n\n");

    // A generated id "<time>-<digits>"; the record's own id is not used.
    KXUser g{m("us-ignored"), m("Gen")};
    long before = time(nullptr);
    std::string gid = kxt::take(add_user(k, &g, 1));
    long t = 0, digits = 0;
    int end = 0;
    ASSERT_TRUE(sscanf(gid.c_str(), "%ld-%4ld%n", &t, &digits, &end) == 2 && end == int(gid.size()))
        << gid;
    EXPECT_STREQ(g.id, "us-ignored");
    EXPECT_TRUE(t >= before && g.create_time >= before && g.create_time <= time(nullptr));
    EXPECT_EQ(at(kxt::user_dn(gid), "kxFirstTime"),
              "kxFirstTime: " + std::to_string(g.create_time) + "\n");
    KXUser c{m("us-full"), m("Bea"), nullptr, 2000, 2, m("desk.2"), 3000, m("n1"), nullptr, lts};
    kxt::clear_logs();
    EXPECT_EQ(modify_user(k, &c), 0);
    EXPECT_EQ(
        at(dn),
        "objectClass: kxUser\nkxID: us-full\nkxLogicalTokenIDs: user.a\nkxLogicalTokenIDs: user.b\n"
        "kxName: Bea\nkxFirstTime: 2000\nkxStatus: 2\nkxLastDesktop: desk.2\nkxLastTime: 3000\n"
        "kxMisc1: n1\n");
    c.id = m("us-none");
    EXPECT_EQ(modify_user(k, &c), -1);
    EXPECT_EQ(
        kxt::logs(),
        "142 user : User properties for (Bea) modified.\n6 modify_entry(): LDAP modify failed - "
        "No such object\n\n6 modify_user(): Could not modify user\n\n142 user : Error modifying "
        "properties for user (Bea).\n");

    // Without a status record the directory's status fields are read; with
    // one the status database overrides them.
    auto fields = [&](const char *id) {
        kxt::User r(get_user(k, m(id)));
        return !r ? "-"
                  : std::string(r->name) + " " + std::to_string(r->create_time) + " " +
                        std::to_string(r->status) + " " + r->last_desktop + " " +
                        std::to_string(r->last_time);
    };
    EXPECT_EQ(fields("us-full"), "Bea 2000 2 desk.2 3000");
    DBMUser st{m("us-full"), m("Status"), 5000, 1, m("desk.9"), 6000};
    ASSERT_EQ(add_dbm_user(k, &st), 0);
    EXPECT_EQ(fields("us-full") + fields("us-none"), "Bea 5000 1 desk.9 6000-");
    EXPECT_EQ(user_exists(k, m("us-full")) * 10 + user_exists(k, m("us-none")) +
                  user_exists(k, m("us-*")),
              10);

    // The logical token ids of every user of a name, in the search's order.
    std::string s1 = kxt::user_dn("us-s1");
    ASSERT_EQ(kxt::ldapmodify("dn: " + s1 +
                                  "\nobjectClass: kxUser\nkxID: us-s1\nkxName: Bea\n"
                                  "kxLogicalTokenIDs: user.s1\n",
                              true),
              0);
    char **ids = nullptr;
    EXPECT_EQ(kx_getLtokenByUser(k, m("Bea"), &ids), KXE_SUCCESS);
    EXPECT_EQ(kxt::strs(ids), (kxt::Strings{"user.a", "user.b", "user.s1"}));
    kx_free_array(ids);
    EXPECT_EQ(kx_getLtokenByUser(k, m("Gen"), &ids) + kx_getLtokenByUser(k, m("Nobody"), &ids),
              2 * KXE_NOTFOUND);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(delete_dbm_user(k, m("us-full")), 0);
    kxt::ldapdelete({dn, kxt::user_dn(gid), s1});
}

TEST_F(DirUsers, UniqueIdGivesUpAfterSixCandidates)
{
    free(s->subtree), s->subtree = strdup("kxName=none,o=kxdata");  // no user search can succeed
    set_gdebug("a"), kxt::clear_logs();
    EXPECT_EQ(gen_unique_user_id(k), nullptr);
    set_gdebug(nullptr);
    std::string log = kxt::logs();
    size_t retries = 0;
    for (size_t at = 0; (at = log.find("RETRY", at)) != std::string::npos; ++at)
        ++retries;
    EXPECT_EQ(retries, 6u) << log;
    EXPECT_NE(log.find("gen_unique_user_id(): Could not generate unique ID after 5 tries"),
              std::string::npos);
}

TEST_F(DirTokens, LinksTranslationAndCascadingDeletes)
{
    KXUser u{.id = m("tk-u"), .create_time = 1};
    ASSERT_EQ(kxt::take(add_user(k, &u, 0)), "tk-u");
    char *never[] = {m("tk.no"), nullptr}, *r3[] = {m("pseudo.tkp"), m("tk.r3"), nullptr};
    KXLogicalToken lt{.id = m("user.tk1"), .session_type = m("default"), .raw_token_ids = never};
    EXPECT_EQ(add_logical_token_to_user(k, m("tk-none"), &lt), -1);
    EXPECT_EQ(add_logical_token_to_user(k, m("tk-u"), &lt), 0);
    EXPECT_EQ(add_logical_token_to_user(k, m("tk-u"), &lt), -1);
    std::string l1 = kxt::ltoken_dn("user.tk1"), r1 = kxt::rtoken_dn("tk.r1");
    EXPECT_EQ(at(l1) + at(kxt::user_dn("tk-u"), "kxLogicalTokenIDs"),
              "objectClass: kxLogicalToken\nkxID: user.tk1\n"
              "kxSessionType: default\nkxServerPort: 0\nkxLogicalTokenIDs: user.tk1\n");
    KXRawToken t1{m("tk.r1"), m("s3cr3t"), m("card"), m("new"), m("allowed"), m("x1")},
        t2{m("tk.r2")};
    kxt::clear_logs();
    EXPECT_EQ(add_raw_token_to_logical_token(k, m("user.tk1"), &t1), 0);
    EXPECT_EQ(add_raw_token_to_logical_token(k, m("user.tk1"), &t1), -1);
    EXPECT_EQ(add_raw_token_to_logical_token(k, m("user.none"), &t2), -1);
    EXPECT_EQ(
        kxt::logs(),
        "142 user : User token (tk.r1) successfully added.\n6 add_raw_token_to_logical_token(): "
        "raw token (tk.r1) already exists\n\n142 user : Error adding user token id (tk.r1).\n"
        "142 user : Token already exists.\n6 add_raw_token_to_logical_token(): logical token id "
        "(user.none) doesn't exist\n\n142 user : Error adding user token id (tk.r2).\n142 user : "
        "Logical token id (user.none) does not exist.\n");
    EXPECT_EQ(add_raw_token_to_logical_token(k, m("user.tk1"), nullptr), -1);
    EXPECT_EQ(add_raw_token_to_logical_token(k, m("user.tk1"), &t2), 0);
    EXPECT_EQ(at(r1), "objectClass: kxRawToken\nkxID: tk.r1\nkxSecret: s3cr3t\nkxTokenType: "
                      "card\nkxTokenState: new\n"
                      "kxEnabled: allowed\nkxMisc1: x1\n");
    EXPECT_EQ(add_simple_logical_token(k, m("tk.r3"), m("user.tk2")), 0);
    EXPECT_EQ(add_simple_logical_token(k, m("tk.r3"), m("user.tk9")), -1);
    EXPECT_EQ(
        at(kxt::ltoken_dn("user.tk2")) + at(kxt::ltoken_dn("user.tk9")),
        "objectClass: kxLogicalToken\nkxID: user.tk2\nkxServerPort: 0\nkxRawTokenIDs: tk.r3\n-");
    KXLogicalToken l3{.id = m("user.tk3"), .raw_token_ids = r3};
    EXPECT_EQ(add_logical_token(k, &l3), 0);

    struct {
        char *(*f)(KXAdmin, char *);
        const char *id, *want;
    } owners[] = {
        {raw_token_id_to_logical_token_id, "tk.r1", "user.tk1"},
        {raw_token_id_to_logical_token_id, "tk.r3", "(null)"},
        {raw_token_id_to_logical_token_id, "tk.r*", "(null)"},
        {raw_token_id_to_user_id, "tk.r2", "tk-u"},
        {raw_token_id_to_user_id, "tk.r3", "(null)"},
        {logical_token_id_to_user_id, "user.tk1", "tk-u"},
        {logical_token_id_to_user_id, "user.tk2", "(null)"},
    };
    for (const auto &o : owners)
        EXPECT_EQ(kxt::take(o.f(k, m(o.id))), o.want) << o.id;
    DBMUser st{m("tk-u"), m("Tia"), 7, 2, m("desk.t"), 8};
    ASSERT_EQ(add_dbm_user(k, &st), 0);
    kxt::User owner(raw_token_id_to_user(k, m("tk.r1")));
    kxt::RToken got(get_raw_token(k, m("tk.r1")));
    ASSERT_TRUE(owner && got);
    EXPECT_EQ(std::string(owner->id) + " " + std::to_string(owner->create_time) + " " +
                  owner->last_desktop + " " + got->secret + got->token_state + got->misc1 +
                  (got->misc2 ? "?" : ""),
              "tk-u 7 desk.t s3cr3tnewx1");
    EXPECT_EQ(kxt::User(logical_token_id_to_user(k, m("user.tk2"))), nullptr);
    struct {
        int (*f)(KXAdmin, char *, char ***);
        std::string id;
        int rc;
        kxt::Strings ids;
    } lists[] = {
        {_kx_getLidByRid, "tk.r3", 0, {"user.tk2", "user.tk3"}},
        {_kx_getLidByRid, "tk.r9", KXE_NOTFOUND, {}},
        {_kx_getLidByRid, "", KXE_INVAL, {}},
        {_kx_getLidByRid, std::string(113, 'x'), KXE_NOTFOUND, {}},
        {_kx_getLidByRid, std::string(114, 'x'), KXE_NOBUFS, {}},
        {_kx_getUidByRid, "tk.r1", 0, {"tk-u"}},
        {_kx_getUidByRid, "tk.r3", KXE_NOTFOUND, {}},
        {_kx_getUidByRid, "", KXE_INVAL, {}},
    };
    for (auto &l : lists) {
        char *mark[] = {nullptr}, **ids = mark;
        EXPECT_EQ(l.f(k, l.id.data(), &ids), l.rc) << l.id;
        EXPECT_EQ(kxt::strs(ids), l.ids) << l.id;
        EXPECT_EQ(ids == nullptr, l.rc != 0) << l.id;
        kx_free_array(ids != mark ? ids : nullptr);
    }
    auto x = [](size_t n) { return std::string(n, 'x'); };
    struct {
        int got, want;
    } checks[] = {
        {count_user_raw_tokens(k, m("tk-u")), 2},
        {count_user_raw_tokens(k, m("tk-none")), -1},
        {logical_token_exists(k, m("user.tk1")), 1},
        {logical_token_exists(k, m("user.tk*")), 0},
        {raw_token_exists(k, m("tk.r1")), 1},
        {raw_token_exists(k, m("tk.r*")), 0},
        {_kx_logicalTokenExists(k, m("user.tk2"), m("tk.r3"), 0), 0},
        {_kx_logicalTokenExists(k, m("user.tk1"), m("tk.r3"), 0), KXE_NOTFOUND},
        {_kx_logicalTokenExists(k, nullptr, nullptr, 0), KXE_INVAL},
        {_kx_logicalTokenExists(k, nullptr, x(80).data(), 0), KXE_NOTFOUND},
        {_kx_logicalTokenExists(k, nullptr, x(81).data(), 0), KXE_NOBUFS},
        {_kx_logicalTokenExists(k, x(89).data(), nullptr, 0), KXE_NOTFOUND},
        {_kx_logicalTokenExists(k, x(90).data(), nullptr, 0), KXE_NOBUFS},
        {_kx_rawTokenExists(k, m("tk.r2"), 1), 0},
        {_kx_rawTokenExists(k, x(93).data(), 0), KXE_NOTFOUND},
        {_kx_rawTokenExists(k, x(94).data(), 0), KXE_NOBUFS},
        {_kx_rawTokenExists(k, nullptr, 0), KXE_INVAL},
        {kx_raw_and_logical_tokens_exist(k, m("tk.r1")), 1},
        {kx_raw_and_logical_tokens_exist(k, m("tk.r3")), 0},
        {kx_raw_and_logical_tokens_exist(k, m("tk.r9")), 0},
        {kx_isFixedToken(nullptr, "user.tk3"), 0},
        {kx_isFixedToken(k, "user.tk3"), 1},
        {kx_isFixedToken(k, "user.tk1"), 0},
        {kx_isFixedToken(k, "user.tk9"), 0},
        {kx_isFixedToken(k, "pseudo.x"), 1},
        {kx_isFixedToken(k, "my.card"), 0},
        {kx_isPersonalToken(k, "my.card"), 1},
        {kx_isPersonalToken(k, "a b.x"), 0},
        {kx_isPersonalToken(k, "user.tk1"), 1},
        {kx_isPersonalToken(k, "user.tk3"), 0},
    };
    for (size_t i = 0; i < std::size(checks); ++i)
        EXPECT_EQ(checks[i].got, checks[i].want) << "check " << i;
    KXRawToken t1b{.id = m("tk.r1"), .token_type = m("card2")}, t9{m("tk.r9")};
    kxt::clear_logs();
    EXPECT_EQ(modify_raw_token(k, &t1b), 0);
    EXPECT_EQ(modify_raw_token(k, &t9), -1);
    EXPECT_EQ(delete_raw_token(k, m("tk.r2")), 0);
    EXPECT_EQ(delete_raw_token(k, m("tk.r9")), KXE_INTERNAL);
    EXPECT_EQ(
        kxt::logs(),
        "142 user : Successfully modified user entry.\n6 modify_entry(): LDAP modify failed - No "
        "such object\n\n142 user : Error modifying user entry.\n142 user : Successfully deleted "
        "token id (tk.r2).\n6 delete_entry(): LDAP delete failed - No such object\n\n142 user : "
        "Error deleting token (tk.r9).\n");
    EXPECT_EQ(at(r1) + at(l1, "kxRawTokenIDs"),
              "objectClass: kxRawToken\nkxID: tk.r1\nkxTokenType: card2\n"
              "kxRawTokenIDs: tk.r1\n");
    EXPECT_EQ(count_user_raw_tokens(k, m("tk-u")), 1);
    // tk.r3 is listed twice: it goes without being unlinked from user.tk3,
    // whose deletion then passes over the id without an entry.
    EXPECT_EQ(delete_logical_token(k, m("user.tk2")), 0);
    EXPECT_EQ(at(kxt::rtoken_dn("tk.r3")) + at(kxt::ltoken_dn("user.tk2")) +
                  at(kxt::ltoken_dn("user.tk3"), "kxRawTokenIDs"),
              "--kxRawTokenIDs: pseudo.tkp\nkxRawTokenIDs: tk.r3\n");
    EXPECT_EQ(delete_logical_token(k, m("user.tk3")), 0);
    EXPECT_EQ(delete_logical_token(k, m("user.tk9")), -1);
    EXPECT_EQ(delete_logical_token(k, m("user.tk1")), 0);
    EXPECT_EQ(at(kxt::user_dn("tk-u"), "kxLogicalTokenIDs") + at(r1), "-");
    EXPECT_EQ(delete_user(k, m("tk-u")), 0);
    EXPECT_EQ(kxt::ldif(kxt::bed("KX_SUBTREE"), "sub", "(|(kxID=tk*)(kxID=user.tk*))"), "");
    EXPECT_EQ(dbm_user_exists(k->ustat_db, m("tk-u")), 0);
    EXPECT_EQ(delete_user(k, m("tk-u")), -1);
}

// The lookup's code and the record as kx_printXconfig shows it.
std::string shown(KXAdmin k, const char *id)
{
    KXXconfig *c = nullptr;
    int rc = kx_getXconfByTokenID(k, m(id), &c);
    kxt::Xconf own(c);
    testing::internal::CaptureStdout();
    kx_printXconfig(stdout, c);
    return std::to_string(rc) + "\n" + testing::internal::GetCapturedStdout();
}

// The users of the logical tokens that list a raw token, in the order of the logical tokens: ids
// matched without regard to case, a token listed by two users or by none skipped, ids and values
// that are not plain ASCII, and more logical tokens than one search takes.
TEST_F(DirTokens, UsersOfTheLogicalTokensOfARawToken)
{
    std::string ldif, x110(110, 'x'), x109(109, 'x');
    kxt::Strings dns;
    auto ltoken = [&](const std::string &id, const std::string &raw) {
        dns.push_back(kxt::ltoken_dn(id));
        ldif += "dn: " + kxt::ltoken_dn(id) + "\nobjectClass: kxLogicalToken\nkxID: " + id +
                "\nkxRawTokenIDs: " + raw + "\n\n";
    };
    auto user = [&](const std::string &id, const kxt::Strings &lts) {
        dns.push_back(kxt::user_dn(id));
        ldif += "dn: " + kxt::user_dn(id) + "\nobjectClass: kxUser\nkxID: " + id + "\n";
        for (const auto &l : lts)
            ldif += "kxLogicalTokenIDs: " + l + "\n";
        ldif += "\n";
    };
    for (const char *l : {"ow.l1", "ow.l2", "ow.l3", x110.c_str(), x109.c_str(), "ow.l4"})
        ltoken(l, "ow.r1");
    user("ow-a", {"OW.L1", "ow.l4"}), user("ow-b", {"ow.l2", x110}), user("ow-c", {"ow.l2", x109});
    ltoken("ow l5", "ow.r2"), ltoken("ow.l6", "ow.r2"), user("ow-d", {"ow l5"}),
        user("ow-e", {"OW.L6"});
    ltoken("k.l7", "ow.r3"), ltoken("ow.l8", "ow.r3");
    kxt::Strings many, g, h;
    for (int i = 0; i < 205; ++i) {
        many.push_back("ow.m" + std::to_string(i));
        ltoken(many.back(), "ow.r4");
        (i % 2 ? h : g).push_back(many.back());
    }
    user("ow-g", g), user("ow-h", h);
    ASSERT_EQ(kxt::ldapmodify(ldif, true), 0);
    char *kelvin[] = {m("\xe2\x84\xaa.l7"), m("ow.l8"), nullptr};  // KELVIN SIGN, "k" once folded
    KXUser f{.id = m("ow-f"), .logical_token_ids = kelvin};
    dns.push_back(kxt::user_dn("ow-f"));
    ASSERT_EQ(kxt::take(add_user(k, &f, 0)), "ow-f");
    kxt::Strings alternate;
    for (int i = 0; i < 205; ++i)
        alternate.push_back(i % 2 ? "ow-h" : "ow-g");
    const std::string several =
        "6 search_for_entries(): Found multiple matching entries, was expecting a single match\n";
    struct {
        const char *raw;
        kxt::Strings users;
        std::string log;
    } cases[] = {
        {"ow.r1", {"ow-a", "ow-c", "ow-a"}, several},
        {"ow.r2", {"ow-d", "ow-e"}, ""},
        {"ow.r3", {"ow-f", "ow-f"}, ""},
        {"ow.r4", alternate, ""},
    };
    for (const auto &c : cases) {
        char **ids = nullptr;
        kxt::clear_logs();
        EXPECT_EQ(_kx_getUidByRid(k, m(c.raw), &ids), KXE_SUCCESS) << c.raw;
        EXPECT_EQ(kxt::strs(ids), c.users) << c.raw;
        EXPECT_EQ(kxt::logs(), c.log) << c.raw;
        kx_free_array(ids);
    }
    kxt::ldapdelete(dns);
}

TEST_F(DirXconf, AddReplaceReadDelete)
{
    std::string r = kxt::rtoken_dn("xc.r"), p = kxt::rtoken_dn("xc0800");
    ASSERT_EQ(kxt::ldapmodify("dn: " + r + "\nobjectClass: kxRawToken\nkxID: xc.r\n", true), 0);
    int order[] = {3, 1, 4, 2};
    KXXconfig full{m("xc.r"), m("1280x1024"), 60,         m("pc1"), m("pc0"), order, 2,
                   2,         m("auto"),      m("multi"), m("xin")};
    EXPECT_EQ(kx_addXconf(k, &full, 0), KXE_SUCCESS);
    EXPECT_EQ(
        at(r),
        "objectClass: kxRawToken\nobjectClass: kxXconfig\nkxID: xc.r\nkxScreenResolution: "
        "1280x1024\n"
        "kxScreenRefresh: 60\nkxScreenEnablePC: pc1\nkxScreenDefaultPC: pc0\nkxScreenDimRows: 2\n"
        "kxScreenDimColumns: 2\nkxScreenOrdering: 3,1,4,2\nkxScreenEnableAutoSizing: auto\n"
        "kxScreenEnableXinerama: xin\nkxScreenEnableMultiscreen: multi\n");
    EXPECT_EQ(kx_addXconf(k, &full, 0), KXE_EXISTS);
    EXPECT_EQ(
        shown(k, "xc.r"),
        "0\n\tLogical Token: xc.r\n\tScreen Resolution: 1280x1024\n\tScreen Refresh: 60\n"
        "\tScreen EnablePC: pc1\n\tScreen DefaultPC: pc0\n\tScreen Ordering Dimension: 2 x 2\n"
        "\tScreen Ordering: 3, 1, 4, 2\n\tScreen EnableAutoSizing: auto\n\tScreen "
        "EnableXinerama: xin\n\tScreen EnableMultiscreen: multi\n");
    KXXconfig bare{
        .id = m("xc.r"), .screenRefresh = -1, .screenOrdering = order};  // no grid, no ordering
    EXPECT_EQ(kx_addXconf(k, &bare, 1), KXE_SUCCESS);
    EXPECT_EQ(at(r), "objectClass: kxRawToken\nobjectClass: kxXconfig\nkxID: xc.r\n");

    // A pseudo token's configuration creates the raw token of its stored
    // name and reads back under the prefixed id.
    KXXconfig pseudo{.id = m("pseudo.xc0800"), .screenRefresh = 75};
    EXPECT_EQ(kx_addXconf(k, &pseudo, 0), KXE_SUCCESS);
    EXPECT_EQ(at(p),
              "objectClass: kxRawToken\nobjectClass: kxXconfig\nkxID: xc0800\nkxTokenType: user\n"
              "kxTokenState: unknown\nkxEnabled: allowed\nkxScreenRefresh: 75\n");
    EXPECT_EQ(shown(k, "pseudo.xc0800").substr(0, 33), "0\n\tLogical Token: pseudo.xc0800\n\t");
    KXXconfig ghost{m("user.xcghost")}, bad{m("abc")};
    EXPECT_EQ(kx_addXconf(k, &ghost, 0), KXE_NOTOKEN);
    EXPECT_EQ(at(kxt::ltoken_dn("user.xcghost")), "-");
    EXPECT_EQ(kx_delXconfByTokenID(k, m("xc.r")) + kx_delXconfByTokenID(k, m("pseudo.xc0800")),
              KXE_SUCCESS);
    EXPECT_EQ(at(r) + at(p, "objectClass"),
              "objectClass: kxRawToken\nkxID: xc.r\nobjectClass: kxRawToken\n");
    EXPECT_EQ(kx_delXconfByTokenID(k, m("xc.r")), KXE_NOTFOUND);
    EXPECT_EQ(kx_addXconf(k, &bad, 0) + kx_delXconfByTokenID(k, m("abc")), 2 * KXE_INVAL);
    EXPECT_EQ(shown(k, "abc") + shown(k, "xc.none"), "-6\n-4\n");
    kxt::ldapdelete({r, p});
}

TEST_F(DirEnrol, EnrolEditAndRemove)
{
    kxt::clear_logs();
    std::string uid =
        kxt::take(add_simple_user2(k, m("en.r1"), m("srv"), 7000, m("Ann"), m("info")));
    std::string lid = "user." + uid, ld = kxt::ltoken_dn(lid), ud = kxt::user_dn(uid);
    EXPECT_EQ(kxt::logs(), "142 user : User (Ann) successfully added.\n");
    EXPECT_EQ(at(kxt::rtoken_dn("en.r1")),
              "objectClass: kxRawToken\nkxID: en.r1\nkxTokenType: user\n"
              "kxTokenState: unknown\nkxEnabled: allowed\n");
    EXPECT_EQ(at(ld), "objectClass: kxLogicalToken\nkxID: " + lid +
                          "\nkxSessionType: default\nkxServerName: srv\n"
                          "kxServerPort: 7000\nkxRawTokenIDs: en.r1\n");
    EXPECT_EQ(at(ud, "kxName kxOtherInfo kxLogicalTokenIDs"),
              "kxName: Ann\nkxOtherInfo: info\nkxLogicalTokenIDs: " + lid + "\n");
    std::string n99(99, 'n'), n100(100, 'n');
    kxt::clear_logs();
    EXPECT_EQ(add_simple_user2(k, m("en.r1"), nullptr, 0, m("Bob"), nullptr), nullptr);
    EXPECT_EQ(add_simple_user2(k, m("en.r9"), nullptr, 0, n100.data(), nullptr), nullptr);
    EXPECT_EQ(
        kxt::logs(),
        "6 add_simple_user2(): there is already a logical token for raw\ntoken en.r1 on the "
        "primary datastore.  The local datastore may be\nout of sync with the primary.  Please "
        "inform your administrator.\n142 user : add_simple_user2(): Entered User Name is [" +
            n100 +
            "]\n\n142 user : add_simple_user2(): User Name should be less than 100 "
            "characters in length\n\n");
    EXPECT_EQ(at(kxt::rtoken_dn("en.r9")), "-");

    // An existing raw token is kept and its screen configuration copied.
    KXXconfig xc{.id = m("en.r2"), .screenResolution = m("1024x768"), .screenRefresh = -1};
    ASSERT_EQ(kx_addXconf(k, &xc, 0), KXE_SUCCESS);
    std::string uid2 = kxt::take(add_simple_user2(k, m("en.r2"), nullptr, 0, n99.data(), nullptr));
    EXPECT_EQ(at(kxt::ltoken_dn("user." + uid2), "objectClass kxScreenResolution kxServerName") +
                  at(kxt::rtoken_dn("en.r2"), "kxScreenResolution kxTokenType"),
              "objectClass: kxLogicalToken\nobjectClass: kxXconfig\nkxScreenResolution: 1024x768\n"
              "kxTokenType: user\nkxScreenResolution: 1024x768\n");
    const char *ann = "kxName: Ann\nkxOtherInfo: info\n";
    struct {
        const char *server;
        int port;
        const char *name, *info;
        int rc;
        const char *token, *user;
    } edits[] = {
        {"srv", 7000, "Ann", "info", KXE_NOCHANGE, "kxServerName: srv\nkxServerPort: 7000\n", ann},
        {"srv", 7001, "Ann", "info", 0, "kxServerName: srv\nkxServerPort: 7001\n", ann},
        {" srv2\t", 7001, "Ann", "info", 0, "kxServerName: srv2\nkxServerPort: 7001\n", ann},
        {"srv2", 7001, "Ann", " more\n", 0, "kxServerName: srv2\nkxServerPort: 7001\n",
         "kxName: Ann\nkxOtherInfo: more\n"},
        {nullptr, 7001, nullptr, "more", 0, "kxServerPort: 7001\n", "kxOtherInfo: more\n"},
    };
    for (const auto &e : edits) {
        EXPECT_EQ(edit_simple_user(k, m("en.r1"), m(e.server), e.port, m(e.name), m(e.info)), e.rc)
            << e.port;
        EXPECT_EQ(at(ld, "kxServerName kxServerPort") + at(ud, "kxName kxOtherInfo"),
                  e.token + std::string(e.user));
    }
    EXPECT_EQ(edit_simple_user(k, m("en.r9"), nullptr, 0, nullptr, nullptr), -1);

    // Prepared records: the ids and lists are set by the enrolment.
    kxt::RToken rt(allocate_raw_token());
    kxt::LToken lt(allocate_logical_token());
    kxt::User us(allocate_user());
    rt->id = kxt::dup("en.r5"), lt->id = kxt::dup("ignored"), lt->server_port = 5,
    lt->raw_token_ids = kxt::ids({"x"});
    us->name = kxt::dup("Cy"), us->logical_token_ids = kxt::ids({"y"});
    std::string uid5 = kxt::take(add_simple_user3(k, rt.get(), lt.get(), us.get())),
                lid5 = "user." + uid5;
    EXPECT_EQ(std::string(lt->id) + lt->raw_token_ids[0] + us->id + us->logical_token_ids[0],
              lid5 + "en.r5" + uid5 + lid5);
    EXPECT_EQ(at(kxt::user_dn(uid5), "kxName kxLogicalTokenIDs") +
                  at(kxt::ltoken_dn(lid5), "kxServerPort kxRawTokenIDs"),
              "kxName: Cy\nkxLogicalTokenIDs: " + lid5 +
                  "\nkxServerPort: 5\nkxRawTokenIDs: en.r5\n");
    kxt::clear_logs();
    EXPECT_EQ(add_simple_user3(k, rt.get(), lt.get(), us.get()),
              nullptr);  // the raw token exists now
    EXPECT_NE(kxt::logs().find("6 add_simple_user3(): Could not add raw token\n"),
              std::string::npos)
        << kxt::logs();

    // Removal by raw token: users with everything below them, logical
    // tokens that no user owns, or a lone raw token.
    ASSERT_EQ(add_simple_logical_token(k, m("en.r4"), m("user.en4")), 0);
    ASSERT_EQ(kxt::ldapmodify("dn: " + kxt::rtoken_dn("en.r3") +
                                  "\nobjectClass: kxRawToken\nkxID: en.r3\n",
                              true),
              0);
    kxt::clear_logs();
    EXPECT_EQ(delete_simple_user(k, m("en.r1")), 0);
    EXPECT_EQ(delete_simple_user(k, m("en.r9")), KXE_NOTFOUND);
    EXPECT_EQ(
        kxt::logs(),
        "142 user : Successfully deleted token id (en.r1).\n6 delete_dbm_user(): Could not get "
        "dbm_user (" +
            uid + ")\n142 user : Successfully deleted user for token id 'en.r1'.\n");
    for (const char *raw : {"en.r2", "en.r3", "en.r4", "en.r5"})
        EXPECT_EQ(delete_simple_user(k, m(raw)), 0) << raw;
    EXPECT_EQ(kxt::ldif(kxt::bed("KX_SUBTREE"), "sub",
                        "(|(kxID=en.*)(kxID=user.*)(kxName=Ann*)(kxName=Cy))"),
              "");
}

}  // namespace
