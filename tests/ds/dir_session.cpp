// Sessions, the generic entry operations and the generation counter against
// one directory server; connections that never complete (Timeout, without a
// server).
#include <thread>
#include <vector>

#include "admin_private.h"
#include "kx_paths.h"
#include "kxtest.h"

namespace {

using kxt::m, kxt::Rows;
using DirSession = kxt::Dir;

TEST_F(DirSession, ModesAndCredentials)
{
    std::string dn = kxt::bed("KX_ADMIN_DN"), pw = kxt::bed("KX_ADMIN_PW");
    for (auto [what, mode, bind, password, connect, log] :
         Rows<const char *, int, const char *, const char *, int, std::string>{
             {"the password", 2, nullptr, pw.c_str(), KXE_SUCCESS, ""},
             {"a DN and its password", 4, dn.c_str(), pw.c_str(), KXE_SUCCESS, ""},
             {"a wrong password", 2, nullptr, "wrong", KXE_AUTHFAIL,
              "6 open_connection(): Could not bind to LDAP server - Invalid credentials\n\n"},
             {"mode 0", 0, nullptr, nullptr, KXE_INVAL, ""},
             {"mode 5", 5, nullptr, nullptr, KXE_INVAL, ""}}) {
        int err = 99;
        kxt::clear_logs();
        kxt::Session s(open_connection(mode, m(bind), m(password), nullptr, &err));
        EXPECT_EQ(err, connect == KXE_SUCCESS ? KXE_SUCCESS : KXE_INTERNAL) << what;
        EXPECT_EQ(kxt::logs(), log) << what;
        EXPECT_EQ(s ? s->mode : -1, connect == KXE_SUCCESS ? mode : -1) << what;
        EXPECT_STREQ(s ? get_server_name(s.get()) : nullptr, s ? "127.0.0.1" : nullptr) << what;
        kxt::Session t(_kx_dsConnect(mode, m(bind), m(password), nullptr, nullptr, &err));
        EXPECT_EQ(err, connect) << what;
    }
    for (auto [ldap, kx] :
         Rows<int, int>{{0, KXE_SUCCESS}, {50, KXE_NOPERM}, {68, KXE_EXISTS}, {32, KXE_INTERNAL}})
        EXPECT_EQ(kx_dserr2kxerr(ldap), kx) << ldap;
}

// On a server that takes StartTLS only (directory.tls): a mode of
// admin.server.tls that is none of the three ends the open before any
// connection is made.
TEST(Tls, AnUnknownModeIsRefused)
{
    std::string path = kxt::conf_copy("tls = starttls", "tls = tls");
    int err = 0;
    kxt::clear_logs();
    EXPECT_EQ(open_connection(3, nullptr, nullptr, m(path.c_str()), &err), nullptr);
    EXPECT_EQ(err, KXE_INTERNAL);
    EXPECT_EQ(kxt::logs(),
              "6 open_connection(): Could not connect to LDAP server (ldap://127.0.0.1:" +
                  kxt::bed("KX_LDAP_PORT") + ") - admin.server.tls is none, starttls or ldaps\n\n");
}

// The TLS settings belong to the session whose configuration gave them: a
// session at the address of a freed one (malloc hands the last block freed
// out again once its cache of freed blocks is full), from a configuration
// without admin.server.tls, talks plain text, which this server refuses.
TEST(Tls, NothingOfAFreedSessionGoesToTheNext)
{
    std::string path = kxt::conf_copy("admin.server.tls = starttls\n", "");
    std::vector<kxt::Session> freed(8);
    for (auto &s : freed)
        ASSERT_TRUE(s = kxt::open());
    const void *last = freed.back().get();
    for (auto &s : freed)
        s.reset();
    KXAdminStruct *probe = allocate_kxa();
    free_kxa(probe);
    if (probe != last)
        GTEST_SKIP() << "this allocator does not hand a freed session's block out again";
    int err = 0;
    kxt::clear_logs();
    kxt::Session plain(open_connection(3, nullptr, nullptr, m(path.c_str()), &err));
    EXPECT_FALSE(plain) << "a session over TLS";
    EXPECT_EQ(kxt::logs(),
              "6 open_connection(): Could not bind to LDAP server - Confidentiality required\n\n");
}

TEST_F(DirSession, EntryOperations)
{
    LDAP *ld = k->ld;
    std::string b = kxt::bed("KX_SUBTREE"), raws = "kxName=rawTokens," + b;
    std::string one = kxt::rtoken_dn("es.one"), two = kxt::rtoken_dn("es.two");
    ASSERT_EQ(kxt::ldapmodify(kxt::token_ldif(one, nullptr) + kxt::token_ldif(two, nullptr), true),
              0);
    for (auto [filter, base, which, count, log] :
         Rows<const char *, std::string, int, int, std::string>{
             {"(kxID=es.*)", b, KX_SEARCH_ALL, 2, ""},
             {"(kxID=es.*)", b, KX_SEARCH_ONE, -1,
              "6 search_for_entries(): Found multiple matching entries, was expecting a single "
              "match\n"},
             {"(kxID=es.two)", b, KX_SEARCH_ONE, 1, ""},
             {"(kxID=es.none)", b, KX_SEARCH_ONE, -1, ""},
             {"(kxID=es.none)", b, KX_SEARCH_ALL, 0, ""},
             {"objectclass=*", b, KX_SEARCH_CHILDREN, 3, ""},
             {"(kxID=*)", "o=none", KX_SEARCH_ALL, -1,
              "6 search_for_entries(): LDAP search failed - No such object\n\n"}}) {
        SCOPED_TRACE(filter + (" " + base) + " " + std::to_string(which));
        kxt::clear_logs();
        LDAPMessage *res = search_for_entries(ld, m(filter), base.data(), nullptr, 0, which);
        EXPECT_EQ(res ? ldap_count_entries(ld, res) : -1, count);
        EXPECT_EQ(kxt::logs(), log);
        ldap_msgfree(res);
        EXPECT_EQ(which == KX_SEARCH_ALL ? entry_exists(ld, m(filter), base.data()) : 0,
                  which == KX_SEARCH_ALL ? std::min(count, 1) : 0);
    }
    for (auto [filter, base, primary, rc] :
         Rows<const char *, std::string, int, int>{{"(kxID=es.two)", b, 1, KXE_SUCCESS},
                                                   {"(kxID=es.none)", b, 1, KXE_NOTFOUND},
                                                   {"(kxID=es.two)", "o=none", 0, KXE_INTERNAL}})
        EXPECT_EQ(_kx_dsEntryExists(k, m(filter), base.data(), primary), rc)
            << filter << " " << base;
    EXPECT_EQ(_kx_dsEntryExists(nullptr, m("(kxID=es.two)"), b.data(), 0), KXE_INVAL);
    EXPECT_EQ(kxt::printed([&] { print_hierarchy(k, 0, 1); }),
              "* " + b + "\n  * kxName=logicalTokens," + b + "\n  * " + raws + "\n    * " + one +
                  "\n    * " + two + "\n  * kxName=users," + b + "\n\ntotal entries = 6\n");
    int rc = -9;
    EXPECT_EQ(kxt::printed([&] { rc = print_entry_hierarchy(ld, one.data(), 1, 1, 0); }),
              "* " + one +
                  "\n  objectClass       = kxRawToken\n  kxID              = es.one\n\n"
                  "\ntotal entries = 1\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(print_entry_hierarchy(ld, m("o=none"), 1, 0, 0), -1);
    EXPECT_EQ(count_child_entries(ld, raws.data()), 2);
    EXPECT_EQ(count_child_entries(ld, m("o=none")), -1);
    EXPECT_EQ(delete_entry(ld, one.data()), KXE_SUCCESS);
    EXPECT_LOGGED(delete_entry(ld, one.data()), KXE_INTERNAL,
                  "6 delete_entry(): LDAP delete failed - No such object\n\n");
    EXPECT_LOGGED(
        delete_child_entries(ld, m("o=kxdata")), -1,
        "6 delete_child_entries(): LDAP delete failed - Operation not allowed on non-leaf\n\n");
    EXPECT_EQ(delete_child_entries(ld, raws.data()), 1);
}

TEST_F(DirSession, GenerationCounter)
{
    std::string dn = "kxName=users," + kxt::bed("KX_SUBTREE");
    std::string store = "dn: " + dn + "\nchangetype: modify\nreplace: kxGenerationNumber\n";
    EXPECT_EQ(kx_getGeneration(k, m("users")), -1) << "no counter yet";
    EXPECT_EQ(kx_isGenerationValid(k, m("users"), 0), 0) << "no counter yet";
    EXPECT_EQ(kx_incGeneration(k, m("users")), 0);
    EXPECT_EQ(kxt::at(dn, "objectClass kxGenerationNumber"),
              "objectClass: top\nobjectClass: kxContainer\nobjectClass: kxSynch\n"
              "kxGenerationNumber: 0");
    EXPECT_EQ(kx_incGeneration(k, m("users")), 1);
    EXPECT_EQ(kx_getGeneration(k, m("users")), 1);
    ASSERT_EQ(kxt::ldapmodify(store + "kxGenerationNumber: 2147483647"), 0);
    EXPECT_EQ(kx_incGeneration(k, m("users")), 0) << "after the largest number";
    EXPECT_EQ(kx_getGeneration(k, m("users")), 0);
    for (auto [stored, generation, valid] : Rows<const char *, int, int>{{"10", 10, 1},
                                                                         {"10", 11, 0},
                                                                         {"10", -1, 0},
                                                                         {"0", 2147483647, 1},
                                                                         {"1073741823", 0, 1},
                                                                         {"1073741824", 0, 0}}) {
        ASSERT_EQ(kxt::ldapmodify(store + "kxGenerationNumber: " + stored), 0);
        EXPECT_EQ(kx_isGenerationValid(k, m("users"), generation), valid)
            << stored << " " << generation;
    }
    EXPECT_EQ(kxt::remove_counter("users"), 0);

    // The name of the counter's entry must stay below 500 characters; a name
    // is a value of the entry's name, never more of the name.
    std::string fits(491 - kxt::bed("KX_SUBTREE").size(), 'x'), over = fits + "x";
    std::string user = kxt::user_dn("gc-user");
    ASSERT_EQ(kxt::ldapmodify(kxt::token_ldif(user, nullptr) + "dn: kxName=deep," + user +
                                  "\nobjectClass: kxContainer\nobjectClass: kxSynch\n"
                                  "kxGenerationNumber: 5\n",
                              true),
              0);
    const std::string missing = "6 search_for_entries(): LDAP search failed - No such object\n\n";
    EXPECT_LOGGED(kx_incGeneration(k, m("nothing")), -1,
                  missing + "6 modify_entry(): LDAP modify failed - No such object\n\n")
        << "the counter's entry is not made";
    EXPECT_LOGGED(kx_getGeneration(nullptr, m("users")), -1, "");
    EXPECT_LOGGED(kx_incGeneration(k, m("")), -1, "");
    EXPECT_LOGGED(kx_getGeneration(k, fits.data()), -1, missing);
    EXPECT_LOGGED(kx_incGeneration(k, over.data()), -1,
                  "6 kx_incGeneration: basedn name too long\n");
    EXPECT_LOGGED(kx_getGeneration(k, m("deep,kxID=gc-user,kxName=users")), -1, missing);
    kxt::ldapdelete({user});
}

// A referral to any host but the primary server is followed without the
// administrator's credentials (the listener never answers).
TEST_F(DirSession, NoCredentialsToOtherHosts)
{
    kxt::Listener other(4);
    std::string received, url = "ldap://127.0.0.1:" + std::to_string(other.port);
    std::thread listener([&] { received = other.take(500); });
    std::string dn = kxt::rtoken_dn("ref.tok"), manage = "control: 2.16.840.1.113730.3.4.2 true\n";
    std::string referral =
        "changetype: add\nobjectClass: referral\nobjectClass: extensibleObject\n";
    ASSERT_EQ(
        kxt::ldapmodify("dn: " + dn + "\n" + manage + referral + "kxID: ref.tok\nref: " + url), 0);
    KXRawToken t{};
    t.id = m("ref.tok"), t.misc1 = m("x");
    kxt::clear_logs();
    EXPECT_EQ(modify_raw_token(k, &t), -1);
    listener.join();
    EXPECT_NE(received, "") << "the referral was not followed";
    EXPECT_EQ(received.find(kxt::bed("KX_ADMIN_DN")), std::string::npos) << "the DN went out";
    EXPECT_EQ(received.find(kxt::bed("KX_ADMIN_PW")), std::string::npos) << "the password went out";
    std::string logs = kxt::logs();
    EXPECT_NE(logs.find(url + " is not the primary server"), std::string::npos) << logs;
    kxt::ldapmodify("dn: " + dn + "\n" + manage + "changetype: delete\n");
}

}  // namespace
