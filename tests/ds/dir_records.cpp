// Users, logical and raw tokens with their links and cascading deletes, screen configurations and
// enrolment, against one directory server; the directory is read back after each step.
#include <ctime>
#include <regex>

#include "admin_private.h"
#include "kxtest.h"

// Records are set up with only the fields that a step needs.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using kxt::at, kxt::m, kxt::Rows, kxt::Strings;
using DirUsers = kxt::Dir;
using DirTokens = kxt::Dir;
using DirXconf = kxt::Dir;
using DirEnrol = kxt::Dir;

TEST_F(DirUsers, AddModifyAndTheLogicalTokensOfAName)
{
    std::string dn = kxt::user_dn("us-full");
    char *lts[] = {m("user.a"), m("user.b"), nullptr};
    KXUser u{m("us-full"), m("Ada"), m("room 12"), 123456,  1,
             m("desk.1"),  9,        m("m1"),      m("m2"), lts};
    char *id = add_user(k, &u, 0);
    EXPECT_NE(id, u.id) << "a copy";
    EXPECT_EQ(kxt::take(id), "us-full");
    EXPECT_EQ(at(dn), "objectClass: kxUser\nkxID: us-full\nkxName: Ada\nkxOtherInfo: room 12\n"
                      "kxFirstTime: 123456\nkxMisc1: m1\nkxMisc2: m2\nkxLogicalTokenIDs: user.a\n"
                      "kxLogicalTokenIDs: user.b");
    kxt::clear_logs();
    EXPECT_EQ(add_user(k, &u, 0), nullptr);
    EXPECT_EQ(
        kxt::logs(),
        "6 add_entry(): LDAP add failed - Already exists\n\n6 add_user(): Could not add user\n\n");

    // A generated id "<time>-<digits>"; the record's own id is not used.
    KXUser g{m("us-ignored"), m("Gen")};
    long before = time(nullptr);
    std::string gid = kxt::take(add_user(k, &g, 1));
    ASSERT_TRUE(std::regex_match(gid, std::regex("[0-9]+-[0-9]{1,4}"))) << gid;
    EXPECT_GE(std::stol(gid), before);
    EXPECT_STREQ(g.id, "us-ignored");
    EXPECT_TRUE(g.create_time >= before && g.create_time <= time(nullptr)) << g.create_time;
    EXPECT_EQ(at(kxt::user_dn(gid), "kxFirstTime"),
              "kxFirstTime: " + std::to_string(g.create_time));
    KXUser c{m("us-full"), m("Bea"), nullptr, 2000, 2, m("desk.2"), 3000, m("n1"), nullptr, lts};
    EXPECT_LOGGED(modify_user(k, &c), 0, "142 user : User properties for (Bea) modified.\n");
    EXPECT_EQ(
        at(dn),
        "objectClass: kxUser\nkxID: us-full\nkxLogicalTokenIDs: user.a\nkxLogicalTokenIDs: user.b\n"
        "kxName: Bea\nkxFirstTime: 2000\nkxStatus: 2\nkxLastDesktop: desk.2\nkxLastTime: 3000\n"
        "kxMisc1: n1");
    c.id = m("us-none");
    EXPECT_LOGGED(
        modify_user(k, &c), -1,
        "6 modify_entry(): LDAP modify failed - No such object\n\n6 modify_user(): "
        "Could not modify user\n\n142 user : Error modifying properties for user (Bea).\n");
    EXPECT_EQ(user_exists(k, m("us-*")), 0) << "an id, never a pattern";
    // The logical token ids of every user of a name, in the search's order.
    std::string s1 = kxt::user_dn("us-s1");
    ASSERT_EQ(kxt::ldapmodify(kxt::record_ldif(s1, {"user.s1"}, "kxName: Bea\n"), true), 0);
    for (auto [name, rc, ids] : Rows<const char *, int, const char *>{
             {"Bea", KXE_SUCCESS, "user.a user.b user.s1"},  // two users
             {"Gen", KXE_NOTFOUND, "NULL"},                  // a user without logical tokens
             {"Nobody", KXE_NOTFOUND, "NULL"}}) {
        int got = 0;
        EXPECT_EQ(kxt::ids_of(kx_getLtokenByUser, k, name, got), ids) << name;
        EXPECT_EQ(got, rc) << name;
    }
    kxt::ldapdelete({dn, kxt::user_dn(gid), s1});
}

TEST_F(DirUsers, UniqueIdGivesUpAfterSixCandidates)
{
    free(s->subtree), s->subtree = strdup("kxName=none,o=kxdata");  // no user search can succeed
    std::string tries;
    for (int i = 0; i < 6; ++i)
        tries += "6 search_for_entries(): LDAP search failed - No such object\n\n6 (a) RETRY\n\n";
    set_gdebug("a"), kxt::clear_logs();
    EXPECT_EQ(gen_unique_user_id(k), nullptr);
    set_gdebug(nullptr);
    EXPECT_EQ(kxt::logs(),
              tries + "6 gen_unique_user_id(): Could not generate unique ID after 5 tries\n");
}

TEST_F(DirTokens, LinksTranslationAndCascadingDeletes)
{
    KXUser u{.id = m("tk-u"), .create_time = 1};
    ASSERT_EQ(kxt::take(add_user(k, &u, 0)), "tk-u");
    char *never[] = {m("tk.no"), nullptr}, *r3[] = {m("pseudo.tkp"), m("tk.r3"), nullptr};
    KXLogicalToken lt{.id = m("user.tk1"), .session_type = m("default"), .raw_token_ids = never};
    EXPECT_EQ(add_logical_token_to_user(k, m("tk-none"), &lt), -1) << "no such user";
    EXPECT_EQ(add_logical_token_to_user(k, m("tk-u"), &lt), 0);
    EXPECT_EQ(add_logical_token_to_user(k, m("tk-u"), &lt), -1) << "the token exists";
    std::string l1 = kxt::ltoken_dn("user.tk1"), r1 = kxt::rtoken_dn("tk.r1");
    EXPECT_EQ(at(l1), "objectClass: kxLogicalToken\nkxID: user.tk1\nkxSessionType: default\n"
                      "kxServerPort: 0");
    EXPECT_EQ(at(kxt::user_dn("tk-u"), "kxLogicalTokenIDs"), "kxLogicalTokenIDs: user.tk1");
    KXRawToken t1{m("tk.r1"), m("s3cr3t"), m("card"), m("new"), m("allowed"), m("x1")},
        t2{m("tk.r2")};
    EXPECT_LOGGED(add_raw_token_to_logical_token(k, m("user.tk1"), &t1), 0,
                  "142 user : User token (tk.r1) successfully added.\n");
    EXPECT_LOGGED(add_raw_token_to_logical_token(k, m("user.tk1"), &t1), -1,
                  "6 add_raw_token_to_logical_token(): raw token (tk.r1) already exists\n\n"
                  "142 user : Error adding user token id (tk.r1).\n142 user : Token already "
                  "exists.\n");
    EXPECT_LOGGED(add_raw_token_to_logical_token(k, m("user.none"), &t2), -1,
                  "6 add_raw_token_to_logical_token(): logical token id (user.none) doesn't "
                  "exist\n\n142 user : Error adding user token id (tk.r2).\n142 user : Logical "
                  "token id (user.none) does not exist.\n");
    ASSERT_EQ(add_raw_token_to_logical_token(k, m("user.tk1"), &t2), 0);
    EXPECT_EQ(at(r1), "objectClass: kxRawToken\nkxID: tk.r1\nkxSecret: s3cr3t\nkxTokenType: card\n"
                      "kxTokenState: new\nkxEnabled: allowed\nkxMisc1: x1");
    EXPECT_EQ(add_simple_logical_token(k, m("tk.r3"), m("user.tk2")), 0);
    EXPECT_EQ(add_simple_logical_token(k, m("tk.r3"), m("user.tk9")), -1) << "tk.r3 exists";
    EXPECT_EQ(at(kxt::ltoken_dn("user.tk2")),
              "objectClass: kxLogicalToken\nkxID: user.tk2\nkxServerPort: 0\nkxRawTokenIDs: tk.r3");
    EXPECT_EQ(at(kxt::ltoken_dn("user.tk9")), "-");
    KXLogicalToken l3{.id = m("user.tk3"), .raw_token_ids = r3};
    EXPECT_EQ(add_logical_token(k, &l3), 0);

    // Owners: tk.r3 is listed by two logical tokens, which is no single owner.
    EXPECT_EQ(kxt::take(raw_token_id_to_user_id(k, m("tk.r2"))), "tk-u");
    EXPECT_EQ(kxt::take(raw_token_id_to_user_id(k, m("tk.r3"))), "(null)");
    DBMUser st{m("tk-u"), m("Tia"), 7, 2, m("desk.t"), 8};
    ASSERT_EQ(add_dbm_user(k, &st), 0);
    kxt::User owner(raw_token_id_to_user(k, m("tk.r1")));
    ASSERT_TRUE(owner);
    EXPECT_EQ(std::string(owner->id) + " " + std::to_string(owner->create_time) + " " +
                  owner->last_desktop,
              "tk-u 7 desk.t");
    EXPECT_EQ(kxt::User(logical_token_id_to_user(k, m("user.tk2"))), nullptr);
    kxt::RToken got(get_raw_token(k, m("tk.r1")));
    ASSERT_TRUE(got);
    EXPECT_EQ(std::string(got->secret) + " " + got->token_state + " " + got->misc1,
              "s3cr3t new x1");
    using List = int (*)(KXAdmin, char *, char ***);
    for (auto [f, id, rc, ids] : Rows<List, std::string, int, const char *>{
             {_kx_getLidByRid, "tk.r3", KXE_SUCCESS, "user.tk2 user.tk3"},
             {_kx_getLidByRid, "tk.r9", KXE_NOTFOUND, "NULL"},
             {_kx_getLidByRid, "", KXE_INVAL, "NULL"},
             {_kx_getLidByRid, std::string(113, 'x'), KXE_NOTFOUND, "NULL"},
             {_kx_getLidByRid, std::string(114, 'x'), KXE_NOBUFS, "NULL"},
             {_kx_getUidByRid, "tk.r1", KXE_SUCCESS, "tk-u"},
             {_kx_getUidByRid, "tk.r3", KXE_NOTFOUND, "NULL"},  // no users
             {_kx_getUidByRid, "", KXE_INVAL, "NULL"}}) {
        int got = 0;
        std::string what = (f == _kx_getLidByRid ? "_kx_getLidByRid " : "_kx_getUidByRid ") + id;
        EXPECT_EQ(kxt::ids_of(f, k, id, got), ids) << what;
        EXPECT_EQ(got, rc) << what;
    }
    EXPECT_EQ(count_user_raw_tokens(k, m("tk-u")), 2);
    EXPECT_EQ(count_user_raw_tokens(k, m("tk-none")), -1);
    for (auto [raw, both] : Rows<const char *, int>{{"tk.r1", 1}, {"tk.r3", 0}, {"tk.r9", 0}})
        EXPECT_EQ(kx_raw_and_logical_tokens_exist(k, m(raw)), both) << raw;

    // The filters of the existence tests take 127 characters.
    auto x = [](size_t n) { return std::string(n, 'x'); };
    for (auto [id, raw, rc] :
         Rows<std::string, std::string, int>{{"user.tk2", "tk.r3", KXE_SUCCESS},
                                             {"", "", KXE_INVAL},
                                             {"", x(80), KXE_NOTFOUND},
                                             {"", x(81), KXE_NOBUFS},
                                             {x(89), "", KXE_NOTFOUND},
                                             {x(90), "", KXE_NOBUFS}})
        EXPECT_EQ(_kx_logicalTokenExists(k, id.empty() ? nullptr : id.data(),
                                         raw.empty() ? nullptr : raw.data(), 0),
                  rc)
            << "'" << id << "' '" << raw << "'";
    for (auto [id, primary, rc] : Rows<std::string, int, int>{{"tk.r2", 1, KXE_SUCCESS},
                                                              {"", 0, KXE_INVAL},
                                                              {x(93), 0, KXE_NOTFOUND},
                                                              {x(94), 0, KXE_NOBUFS}})
        EXPECT_EQ(_kx_rawTokenExists(k, id.empty() ? nullptr : id.data(), primary), rc)
            << "'" << id << "'";

    // A logical token is fixed when its first raw token is bound to a terminal.
    for (auto [session, id, fixed] : Rows<KXAdmin, const char *, int>{
             {k, "user.tk3", 1}, {k, "user.tk1", 0}, {k, "user.tk9", 0}, {nullptr, "user.tk3", 0}})
        EXPECT_EQ(kx_isFixedToken(session, id), fixed) << id << (session ? "" : " without session");

    KXRawToken t1b{.id = m("tk.r1"), .token_type = m("card2")}, t9{m("tk.r9")};
    EXPECT_LOGGED(modify_raw_token(k, &t1b), 0, "142 user : Successfully modified user entry.\n");
    EXPECT_LOGGED(modify_raw_token(k, &t9), -1,
                  "6 modify_entry(): LDAP modify failed - No such object\n\n"
                  "142 user : Error modifying user entry.\n");
    EXPECT_LOGGED(delete_raw_token(k, m("tk.r2")), 0,
                  "142 user : Successfully deleted token id (tk.r2).\n");
    EXPECT_LOGGED(delete_raw_token(k, m("tk.r9")), KXE_INTERNAL,
                  "6 delete_entry(): LDAP delete failed - No such object\n\n"
                  "142 user : Error deleting token (tk.r9).\n");
    EXPECT_EQ(at(r1), "objectClass: kxRawToken\nkxID: tk.r1\nkxTokenType: card2");
    EXPECT_EQ(at(l1, "kxRawTokenIDs"), "kxRawTokenIDs: tk.r1") << "tk.r2 unlinked";
    // tk.r3 is listed twice: it goes without being unlinked from user.tk3,
    // whose deletion then passes over the id without an entry.
    EXPECT_EQ(delete_logical_token(k, m("user.tk2")), 0);
    EXPECT_EQ(at(kxt::rtoken_dn("tk.r3")), "-");
    EXPECT_EQ(at(kxt::ltoken_dn("user.tk2")), "-");
    EXPECT_EQ(at(kxt::ltoken_dn("user.tk3"), "kxRawTokenIDs"),
              "kxRawTokenIDs: pseudo.tkp\nkxRawTokenIDs: tk.r3");
    EXPECT_EQ(delete_logical_token(k, m("user.tk3")), 0);
    EXPECT_EQ(delete_logical_token(k, m("user.tk9")), -1);
    EXPECT_EQ(delete_logical_token(k, m("user.tk1")), 0);
    EXPECT_EQ(at(kxt::user_dn("tk-u"), "kxLogicalTokenIDs"), "") << "user.tk1 unlinked";
    EXPECT_EQ(at(r1), "-");
    EXPECT_EQ(delete_user(k, m("tk-u")), 0);
    EXPECT_EQ(kxt::ldif(kxt::bed("KX_SUBTREE"), "sub", "(|(kxID=tk*)(kxID=user.tk*))"), "");
    EXPECT_EQ(dbm_user_exists(k->ustat_db, m("tk-u")), 0);
    EXPECT_EQ(delete_user(k, m("tk-u")), -1);
}

// The users of the logical tokens that list a raw token, in the order of the logical tokens: ids
// matched without regard to case, a token listed by two users or by none skipped, ids and values
// that are not plain ASCII, and more logical tokens than one search takes.
TEST_F(DirTokens, UsersOfTheLogicalTokensOfARawToken)
{
    std::string ldif, x110(110, 'x'), x109(109, 'x');
    Strings dns;
    auto add = [&](const std::string &dn, const Strings &ids) {
        dns.push_back(dn), ldif += kxt::record_ldif(dn, ids);
    };
    for (const char *l : {"ow.l1", "ow.l2", "ow.l3", x110.c_str(), x109.c_str(), "ow.l4"})
        add(kxt::ltoken_dn(l), {"ow.r1"});
    add(kxt::user_dn("ow-a"), {"OW.L1", "ow.l4"}), add(kxt::user_dn("ow-b"), {"ow.l2", x110});
    add(kxt::user_dn("ow-c"), {"ow.l2", x109});
    add(kxt::ltoken_dn("ow l5"), {"ow.r2"}), add(kxt::ltoken_dn("ow.l6"), {"ow.r2"});
    add(kxt::user_dn("ow-d"), {"ow l5"}), add(kxt::user_dn("ow-e"), {"OW.L6"});
    add(kxt::ltoken_dn("k.l7"), {"ow.r3"}), add(kxt::ltoken_dn("ow.l8"), {"ow.r3"});
    Strings g, h;
    std::string alternate;
    for (int i = 0; i < 205; ++i) {
        add(kxt::ltoken_dn("ow.m" + std::to_string(i)), {"ow.r4"});
        (i % 2 ? h : g).push_back("ow.m" + std::to_string(i));
        alternate += i % 2 ? " ow-h" : i ? " ow-g" : "ow-g";
    }
    add(kxt::user_dn("ow-g"), g), add(kxt::user_dn("ow-h"), h);
    ASSERT_EQ(kxt::ldapmodify(ldif, true), 0);
    char *kelvin[] = {m("\xe2\x84\xaa.l7"), m("ow.l8"), nullptr};  // KELVIN SIGN, "k" once folded
    KXUser f{.id = m("ow-f"), .logical_token_ids = kelvin};
    dns.push_back(kxt::user_dn("ow-f"));
    ASSERT_EQ(kxt::take(add_user(k, &f, 0)), "ow-f");
    const std::string several =
        "6 search_for_entries(): Found multiple matching entries, was expecting a single match\n";
    for (auto [raw, users, log] : Rows<const char *, std::string, std::string>{
             {"ow.r1", "ow-a ow-c ow-a", several},  // case; two owners, or none
             {"ow.r2", "ow-d ow-e", ""},            // an id with a blank
             {"ow.r3", "ow-f ow-f", ""},            // a value beyond ASCII
             {"ow.r4", alternate, ""}}) {           // 205 logical tokens
        int rc = 0;
        kxt::clear_logs();
        EXPECT_EQ(kxt::ids_of(_kx_getUidByRid, k, raw, rc), users) << raw;
        EXPECT_EQ(rc, KXE_SUCCESS) << raw;
        EXPECT_EQ(kxt::logs(), log) << raw;
    }
    kxt::ldapdelete(dns);
}

TEST_F(DirXconf, AddReplaceReadDelete)
{
    std::string r = kxt::rtoken_dn("xc.r"), p = kxt::rtoken_dn("xc0800");
    ASSERT_EQ(kxt::ldapmodify(kxt::record_ldif(r), true), 0);
    int order[] = {3, 1, 4, 2};
    KXXconfig full{m("xc.r"), m("1280x1024"), 60,         m("pc1"), m("pc0"), order, 2,
                   2,         m("auto"),      m("multi"), m("xin")};
    EXPECT_EQ(kx_addXconf(k, &full, 0), KXE_SUCCESS);
    EXPECT_EQ(at(r), "objectClass: kxRawToken\nobjectClass: kxXconfig\nkxID: xc.r\n"
                     "kxScreenResolution: 1280x1024\nkxScreenRefresh: 60\nkxScreenEnablePC: pc1\n"
                     "kxScreenDefaultPC: pc0\nkxScreenDimRows: 2\nkxScreenDimColumns: 2\n"
                     "kxScreenOrdering: 3,1,4,2\nkxScreenEnableAutoSizing: auto\n"
                     "kxScreenEnableXinerama: xin\nkxScreenEnableMultiscreen: multi");
    EXPECT_EQ(kx_addXconf(k, &full, 0), KXE_EXISTS);
    KXXconfig *c = nullptr;
    EXPECT_EQ(kx_getXconfByTokenID(k, m("xc.r"), &c), KXE_SUCCESS);
    kxt::Xconf own(c);
    EXPECT_EQ(
        kxt::printed([&] { kx_printXconfig(stdout, c); }),
        "\tLogical Token: xc.r\n\tScreen Resolution: 1280x1024\n\tScreen Refresh: 60\n"
        "\tScreen EnablePC: pc1\n\tScreen DefaultPC: pc0\n\tScreen Ordering Dimension: 2 x 2\n"
        "\tScreen Ordering: 3, 1, 4, 2\n\tScreen EnableAutoSizing: auto\n"
        "\tScreen EnableXinerama: xin\n\tScreen EnableMultiscreen: multi\n");
    KXXconfig bare{
        .id = m("xc.r"), .screenRefresh = -1, .screenOrdering = order};  // no grid, no ordering
    EXPECT_EQ(kx_addXconf(k, &bare, 1), KXE_SUCCESS);
    EXPECT_EQ(at(r), "objectClass: kxRawToken\nobjectClass: kxXconfig\nkxID: xc.r");

    // A pseudo token's configuration creates the raw token of its stored
    // name and reads back under the prefixed id.
    KXXconfig pseudo{.id = m("pseudo.xc0800"), .screenRefresh = 75};
    EXPECT_EQ(kx_addXconf(k, &pseudo, 0), KXE_SUCCESS);
    EXPECT_EQ(at(p), "objectClass: kxRawToken\nobjectClass: kxXconfig\nkxID: xc0800\n"
                     "kxTokenType: user\nkxTokenState: unknown\nkxEnabled: allowed\n"
                     "kxScreenRefresh: 75");
    for (auto [id, rc, read_as] :
         Rows<const char *, int, const char *>{{"pseudo.xc0800", KXE_SUCCESS, "pseudo.xc0800"},
                                               {"xc.none", KXE_NOTFOUND, nullptr},
                                               {"abc", KXE_INVAL, nullptr}}) {
        KXXconfig *found = nullptr;
        EXPECT_EQ(kx_getXconfByTokenID(k, m(id), &found), rc) << id;
        kxt::Xconf owned(found);
        EXPECT_STREQ(found ? found->id : nullptr, read_as) << id;
    }
    KXXconfig ghost{m("user.xcghost")}, bad{m("abc")};
    EXPECT_EQ(kx_addXconf(k, &ghost, 0), KXE_NOTOKEN);
    EXPECT_EQ(at(kxt::ltoken_dn("user.xcghost")), "-");
    EXPECT_EQ(kx_addXconf(k, &bad, 0), KXE_INVAL);
    for (auto [id, rc] : Rows<const char *, int>{{"xc.r", KXE_SUCCESS},
                                                 {"pseudo.xc0800", KXE_SUCCESS},
                                                 {"xc.r", KXE_NOTFOUND},
                                                 {"abc", KXE_INVAL}})
        EXPECT_EQ(kx_delXconfByTokenID(k, m(id)), rc) << id;
    EXPECT_EQ(at(r), "objectClass: kxRawToken\nkxID: xc.r");
    EXPECT_EQ(at(p, "objectClass"), "objectClass: kxRawToken");
    kxt::ldapdelete({r, p});
}

TEST_F(DirEnrol, EnrolEditAndRemove)
{
    kxt::clear_logs();
    std::string uid =
        kxt::take(add_simple_user2(k, m("en.r1"), m("srv"), 7000, m("Ann"), m("info")));
    std::string lid = "user." + uid, ld = kxt::ltoken_dn(lid), ud = kxt::user_dn(uid);
    EXPECT_EQ(kxt::logs(), "142 user : User (Ann) successfully added.\n");
    EXPECT_EQ(at(ld), "objectClass: kxLogicalToken\nkxID: " + lid +
                          "\nkxSessionType: default\nkxServerName: srv\nkxServerPort: 7000\n"
                          "kxRawTokenIDs: en.r1");
    EXPECT_EQ(at(ud, "kxName kxOtherInfo kxLogicalTokenIDs"),
              "kxName: Ann\nkxOtherInfo: info\nkxLogicalTokenIDs: " + lid);
    std::string n99(99, 'n'), n100(100, 'n');
    kxt::clear_logs();
    EXPECT_EQ(add_simple_user2(k, m("en.r1"), nullptr, 0, m("Bob"), nullptr), nullptr);
    EXPECT_EQ(kxt::logs(), "6 add_simple_user2(): there is already a logical token for raw\ntoken "
                           "en.r1 on the primary datastore.  The local datastore may be\nout of "
                           "sync with the primary.  Please inform your administrator.\n");
    kxt::clear_logs();
    EXPECT_EQ(add_simple_user2(k, m("en.r9"), nullptr, 0, n100.data(), nullptr), nullptr);
    EXPECT_EQ(kxt::logs(), "142 user : add_simple_user2(): Entered User Name is [" + n100 +
                               "]\n\n142 user : add_simple_user2(): User Name should be less "
                               "than 100 characters in length\n\n");
    EXPECT_EQ(at(kxt::rtoken_dn("en.r9")), "-");

    // An existing raw token is kept and its screen configuration copied.
    KXXconfig xc{.id = m("en.r2"), .screenResolution = m("1024x768"), .screenRefresh = -1};
    ASSERT_EQ(kx_addXconf(k, &xc, 0), KXE_SUCCESS);
    std::string uid2 = kxt::take(add_simple_user2(k, m("en.r2"), nullptr, 0, n99.data(), nullptr));
    EXPECT_EQ(at(kxt::ltoken_dn("user." + uid2), "objectClass kxScreenResolution kxServerName"),
              "objectClass: kxLogicalToken\nobjectClass: kxXconfig\nkxScreenResolution: 1024x768");
    EXPECT_EQ(at(kxt::rtoken_dn("en.r2"), "kxScreenResolution kxTokenType"),
              "kxTokenType: user\nkxScreenResolution: 1024x768");
    const char *ann = "kxName: Ann\nkxOtherInfo: info";
    for (auto [server, port, name, info, rc, token, user] :
         Rows<const char *, int, const char *, const char *, int, const char *, const char *>{
             {"srv", 7000, "Ann", "info", KXE_NOCHANGE, "kxServerName: srv\nkxServerPort: 7000",
              ann},
             {"srv", 7001, "Ann", "info", 0, "kxServerName: srv\nkxServerPort: 7001", ann},
             {" srv2\t", 7001, "Ann", " more\n", 0, "kxServerName: srv2\nkxServerPort: 7001",
              "kxName: Ann\nkxOtherInfo: more"},
             {nullptr, 7001, nullptr, "more", 0, "kxServerPort: 7001", "kxOtherInfo: more"}}) {
        std::string what = std::to_string(port) + " " + (server ? server : "-") + " " + info;
        EXPECT_EQ(edit_simple_user(k, m("en.r1"), m(server), port, m(name), m(info)), rc) << what;
        EXPECT_EQ(at(ld, "kxServerName kxServerPort"), token) << what;
        EXPECT_EQ(at(ud, "kxName kxOtherInfo"), user) << what;
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
    EXPECT_EQ(lt->id, lid5);
    EXPECT_EQ(us->id, uid5);
    EXPECT_EQ(at(kxt::user_dn(uid5), "kxName kxLogicalTokenIDs"),
              "kxName: Cy\nkxLogicalTokenIDs: " + lid5);
    EXPECT_EQ(at(kxt::ltoken_dn(lid5), "kxServerPort kxRawTokenIDs"),
              "kxServerPort: 5\nkxRawTokenIDs: en.r5");
    kxt::clear_logs();
    EXPECT_EQ(add_simple_user3(k, rt.get(), lt.get(), us.get()), nullptr) << "en.r5 exists";
    EXPECT_EQ(kxt::logs(), "6 add_raw_token(): raw token (en.r5) already exists\n\n"
                           "6 add_simple_user3(): Could not add raw token\n\n");

    // Removal by raw token: users with everything below them, logical
    // tokens that no user owns, or a lone raw token.
    ASSERT_EQ(add_simple_logical_token(k, m("en.r4"), m("user.en4")), 0);
    ASSERT_EQ(kxt::ldapmodify(kxt::record_ldif(kxt::rtoken_dn("en.r3")), true), 0);
    EXPECT_LOGGED(delete_simple_user(k, m("en.r1")), 0,
                  "142 user : Successfully deleted token id (en.r1).\n6 delete_dbm_user(): Could "
                  "not get dbm_user (" +
                      uid + ")\n142 user : Successfully deleted user for token id 'en.r1'.\n");
    EXPECT_LOGGED(delete_simple_user(k, m("en.r4")), 0,
                  "142 user : Successfully deleted token id (en.r4).\n"
                  "142 user : Successfully deleted user for token id 'en.r4'.\n");
    EXPECT_LOGGED(delete_simple_user(k, m("en.r3")), 0,
                  "142 user : Successfully deleted token id (en.r3).\n"
                  "142 user : Successfully deleted user for token id 'en.r3'.\n");
    EXPECT_LOGGED(delete_simple_user(k, m("en.r9")), KXE_NOTFOUND, "");
    for (const char *raw : {"en.r2", "en.r5"})
        delete_simple_user(k, m(raw));
    EXPECT_EQ(kxt::ldif(kxt::bed("KX_SUBTREE"), "sub",
                        "(|(kxID=en.*)(kxID=user.*)(kxName=Ann*)(kxName=Cy))"),
              "");
}

}  // namespace
