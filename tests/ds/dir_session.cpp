// Sessions, the generic entry operations, the generation counter and the
// status databases of a session, against one directory server.
#include <cstring>
#include <thread>

#include "admin_private.h"
#include "kx_paths.h"
#include "kxtest.h"

namespace {

using kxt::m;
using DirSession = kxt::Dir;

TEST_F(DirSession, ModesAndCredentials)
{
    std::string dn = kxt::bed("KX_ADMIN_DN"), pw = kxt::bed("KX_ADMIN_PW");
    struct {
        int mode;
        const char *dn, *pw;
        int connect;
    } modes[] = {
        {1, nullptr, nullptr, 0},
        {2, nullptr, pw.c_str(), 0},
        {3, nullptr, nullptr, 0},
        {4, dn.c_str(), pw.c_str(), 0},
        {2, nullptr, "wrong", KXE_AUTHFAIL},
        {4, "cn=nobody,o=kxdata", pw.c_str(), KXE_AUTHFAIL},
        {0, nullptr, nullptr, KXE_INVAL},
        {5, nullptr, nullptr, KXE_INVAL},
    };
    for (const auto &r : modes) {
        int err = 99;
        kxt::Session s(open_connection(r.mode, m(r.dn), m(r.pw), nullptr, &err));
        EXPECT_EQ(err, r.connect ? KXE_INTERNAL : 0) << r.mode;
        EXPECT_EQ(s ? std::to_string(s->mode) + get_server_name(s.get()) : "",
                  r.connect ? "" : std::to_string(r.mode) + "127.0.0.1");
        kxt::Session t(_kx_dsConnect(r.mode, m(r.dn), m(r.pw), nullptr, nullptr, &err));
        EXPECT_EQ(err, r.connect) << r.mode;
    }
    kxt::clear_logs();
    EXPECT_EQ(open_connection(2, nullptr, m("wrong"), nullptr, nullptr), nullptr);
    EXPECT_EQ(kxt::logs(),
              "6 open_connection(): Could not bind to LDAP server - Invalid credentials\n\n");
    EXPECT_EQ(close_connection(nullptr), 0);
    int codes[][2] = {{0, KXE_SUCCESS},   {50, KXE_NOPERM},  {68, KXE_EXISTS},  {32, KXE_INTERNAL},
                      {49, KXE_INTERNAL}, {1, KXE_INTERNAL}, {-1, KXE_INTERNAL}};
    for (auto &c : codes)
        EXPECT_EQ(kx_dserr2kxerr(c[0]), c[1]) << c[0];
}

// On a server that takes StartTLS only (directory.tls): every mode and the
// existence test on the primary connect over TLS; a refused handshake ends
// the open as an unreachable server does, with libldap's reason logged.
TEST(Tls, SessionsAndRefusals)
{
    for (int mode : {1, 3})
        EXPECT_TRUE(kxt::open(mode)) << mode;
    kxt::Session s = kxt::open();
    EXPECT_EQ(_kx_dsEntryExists(s.get(), m("(kxName=users)"), m(kxt::bed("KX_SUBTREE").c_str()), 1),
              KXE_SUCCESS);
    std::string conf = kxt::slurp(KX_ADMIN_CONF), path = kxt::scratch("tls") + "/kxadmin.conf";
    std::string uri = "ldap://127.0.0.1:" + kxt::bed("KX_LDAP_PORT");
    struct {
        const char *from, *to, *log;
    } rows[] = {
        {"tls = starttls", "tls = none",
         "Could not bind to LDAP server - Confidentiality required"},
        {"/ca.pem", "/other-ca.pem",
         "Could not connect to LDAP server (URI) - StartTLS: Connect error"},
        {"name = 127.0.0.1", "name = localhost",
         "Could not connect to LDAP server (ldap://localhost:"},
        {"tls = starttls", "tls = tls", "(URI) - admin.server.tls is none, starttls or ldaps"},
    };
    for (auto &r : rows) {
        std::string text = conf, log = r.log;
        text.replace(text.find(r.from), std::strlen(r.from), r.to);
        if (size_t at = log.find("URI"); at != std::string::npos)
            log.replace(at, 3, uri);
        kxt::spit(path, text);
        kxt::clear_logs();
        int err = 0;
        EXPECT_EQ(open_connection(3, nullptr, nullptr, m(path.c_str()), &err), nullptr) << r.to;
        EXPECT_EQ(err, KXE_INTERNAL);
        EXPECT_NE(kxt::logs().find(log), std::string::npos) << r.to << "\n" << kxt::logs();
    }
}

TEST_F(DirSession, EntryOperations)
{
    LDAP *ld = k->ld;
    std::string b = kxt::bed("KX_SUBTREE"), rc = "kxName=rawTokens," + b;
    std::string one = kxt::rtoken_dn("es.one"), two = kxt::rtoken_dn("es.two");
    ASSERT_EQ(kxt::ldapmodify("dn: " + one + "\nobjectClass: kxRawToken\nkxID: es.one\n\ndn: " +
                                  two + "\nobjectClass: kxRawToken\nkxID: es.two\n",
                              true),
              0);
    struct {
        const char *filter;
        std::string base;
        int which, count;
        std::string log;
    } searches[] = {
        {"(kxID=es.*)", b, KX_SEARCH_ALL, 2, ""},
        {"(kxID=es.*)", b, KX_SEARCH_ONE, -1,
         "6 search_for_entries(): Found multiple matching entries, was expecting a single match\n"},
        {"(kxID=es.two)", b, KX_SEARCH_ONE, 1, ""},
        {"(kxID=es.none)", b, KX_SEARCH_ONE, -1, ""},
        {"(kxID=es.none)", b, KX_SEARCH_ALL, 0, ""},
        {"objectclass=*", b, KX_SEARCH_CHILDREN, 3, ""},
        {"(kxID=*)", "o=none", KX_SEARCH_ALL, -1,
         "6 search_for_entries(): LDAP search failed - No such object\n\n"},
    };
    for (auto &r : searches) {
        SCOPED_TRACE(r.filter + (" " + r.base) + " " + std::to_string(r.which));
        kxt::clear_logs();
        LDAPMessage *res = search_for_entries(ld, m(r.filter), r.base.data(), nullptr, 0, r.which);
        EXPECT_EQ(res ? ldap_count_entries(ld, res) : -1, r.count);
        EXPECT_EQ(kxt::logs(), r.log);
        ldap_msgfree(res);
        if (r.which == KX_SEARCH_ALL) {
            EXPECT_EQ(entry_exists(ld, m(r.filter), r.base.data()), std::min(r.count, 1));
        }
    }
    EXPECT_EQ(_kx_dsEntryExists(k, m("(kxID=es.two)"), b.data(), 1) * 10 +
                  _kx_dsEntryExists(k, m("(kxID=es.none)"), b.data(), 1),
              KXE_NOTFOUND);
    EXPECT_EQ(_kx_dsEntryExists(k, m("(kxID=es.two)"), m("o=none"), 0), KXE_INTERNAL);
    EXPECT_EQ(_kx_dsEntryExists(nullptr, m("(kxID=es.two)"), b.data(), 0), KXE_INVAL);
    testing::internal::CaptureStdout();
    print_hierarchy(k, 0, 1);
    EXPECT_EQ(print_entry_hierarchy(ld, one.data(), 1, 1, 0), 0);
    EXPECT_EQ(print_entry_hierarchy(ld, m("o=none"), 1, 0, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "* " + b + "\n  * kxName=logicalTokens," + b + "\n  * " + rc + "\n    * " + one +
                  "\n    * " + two + "\n  * kxName=users," + b + "\n\ntotal entries = 6\n* " + one +
                  "\n  objectClass       = "
                  "kxRawToken\n  kxID              = es.one\n\n\ntotal entries = 1\n");
    EXPECT_EQ(count_child_entries(ld, rc.data()) * 10 + count_child_entries(ld, m("o=none")), 19);
    EXPECT_EQ(delete_entry(anon->ld, one.data()),
              KXE_INTERNAL);  // anonymous writes need authentication
    EXPECT_EQ(delete_entry(ld, one.data()), KXE_SUCCESS);
    kxt::clear_logs();
    EXPECT_EQ(delete_entry(ld, one.data()), KXE_INTERNAL);
    EXPECT_EQ(delete_child_entries(ld, m("o=kxdata")), -1);
    EXPECT_EQ(kxt::logs(),
              "6 delete_entry(): LDAP delete failed - No such object\n\n6 delete_child_entries(): "
              "LDAP delete failed - Operation not allowed on non-leaf\n\n");
    EXPECT_EQ(delete_child_entries(ld, rc.data()), 1);
    EXPECT_EQ(delete_child_entries(ld, rc.data()), 0);
}

TEST_F(DirSession, GenerationCounter)
{
    std::string dn = "kxName=users," + kxt::bed("KX_SUBTREE");
    auto store = [&](const std::string &v) {
        return kxt::ldapmodify("dn: " + dn +
                               "\nchangetype: modify\nreplace: kxGenerationNumber\n"
                               "kxGenerationNumber: " +
                               v);
    };
    EXPECT_EQ(kx_getGeneration(k, m("users")) + kx_isGenerationValid(k, m("users"), 0), -1);
    EXPECT_EQ(kx_incGeneration(k, m("users")), 0);
    EXPECT_EQ(kxt::ldif(dn, "base", "(objectClass=*)", "objectClass kxGenerationNumber"),
              "dn: " + dn +
                  "\nobjectClass: top\nobjectClass: kxContainer\nobjectClass: "
                  "kxSynch\nkxGenerationNumber: 0\n\n");
    EXPECT_EQ(kx_incGeneration(k, m("users")), 1);
    EXPECT_EQ(kx_getGeneration(k, m("users")), 1);
    ASSERT_EQ(store("2147483647"), 0);
    EXPECT_EQ(kx_incGeneration(k, m("users")), 0);
    EXPECT_EQ(kx_getGeneration(k, m("users")), 0);
    struct {
        const char *stored;
        int generation, valid;
    } checks[] = {
        {"10", 10, 1},        {"10", 9, 1},         {"10", 11, 0},
        {"10", -1, 0},        {"0", 2147483647, 1}, {"0", 0x40000000, 0},
        {"0", 0x40000001, 1}, {"1073741823", 0, 1}, {"1073741824", 0, 0},
    };
    for (const auto &c : checks) {
        ASSERT_EQ(store(c.stored), 0);
        EXPECT_EQ(kx_isGenerationValid(k, m("users"), c.generation), c.valid)
            << c.stored << " " << c.generation;
    }
    EXPECT_EQ(kx_incGeneration(k, m("nothing")), -1);  // the counter never creates its entry
    EXPECT_EQ(kx_getGeneration(nullptr, m("users")) + kx_incGeneration(k, m("")), -2);
    // The name of the counter's entry must stay below 500 characters.
    std::string fits(491 - kxt::bed("KX_SUBTREE").size(), 'x'), over = fits + "x";
    kxt::clear_logs();
    EXPECT_EQ(kx_getGeneration(k, fits.data()), -1);
    EXPECT_EQ(kx_incGeneration(k, over.data()), -1);
    EXPECT_EQ(kxt::logs(), "6 search_for_entries(): LDAP search failed - No such object\n\n"
                           "6 kx_incGeneration: basedn name too long\n");
    EXPECT_EQ(kxt::remove_counter("users"), 0);

    // A name is a value of the entry's name, never more of the name.
    std::string user = kxt::user_dn("gc-user");
    std::string ldif = kxt::token_ldif(user, nullptr) + "dn: kxName=deep," + user +
                       "\nobjectClass: kxContainer\nobjectClass: kxSynch\nkxGenerationNumber: 5\n";
    ASSERT_EQ(kxt::ldapmodify(ldif, true), 0);
    EXPECT_EQ(kx_getGeneration(k, m("deep,kxID=gc-user,kxName=users")), -1);
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

TEST_F(DirSession, StatusDatabasesFollowTheSessionMode)
{
    DBMDesktop d{m("IEEE802.0800200c9a66"), m("m1"), nullptr, m("up"), nullptr, nullptr};
    DBMUser u{m("sd-user"), m("Sam"), 5, 1, nullptr, 6};
    EXPECT_EQ(add_dbm_desktop(anon.get(), &d) + add_dbm_user(anon.get(), &u), -2);
    EXPECT_EQ(add_dbm_desktop(k, &d) + add_dbm_user(k, &u), 0);
    EXPECT_EQ(add_dbm_desktop(k, &d) + add_dbm_user(k, &u), -2);
    kxt::clear_logs();
    EXPECT_EQ(delete_dbm_desktop(anon.get(), d.id) + delete_dbm_user(anon.get(), u.id), -2);
    EXPECT_EQ(kxt::logs(), "") << "a read-only session finds the records";
    EXPECT_EQ(delete_dbm_desktop(k, d.id) + delete_dbm_user(k, u.id), 0);
    EXPECT_EQ(delete_dbm_desktop(k, d.id) + delete_dbm_user(k, u.id), -2);
}

}  // namespace
