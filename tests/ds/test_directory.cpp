// Administration sessions, entry operations and generation counters against
// the real slapd of the directory test bed.  Results are confirmed with
// ldapsearch, an independent client.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "admin_private.h"
#include "ds_support.h"
#include "kx_paths.h"
#include "syslog_capture.h"
#include "testbed_env.h"
#include "tool_runner.h"

namespace {

using namespace ds;

// ldapsearch as the administrator: the LDIF it prints (no wrapping), and its
// complaints, so that a failed search never reads as an empty result.
std::string ldapsearch(const std::string &uri, const std::string &base, const std::string &filter,
                       const std::string &attrs = "")
{
    return shell("ldapsearch " + admin_credentials(uri) + " -LLL -o ldif-wrap=no -s sub -b " + sh_quote(base) +
                 " " + sh_quote(filter) + " " + attrs + " 2>&1");
}

// Modifications for a raw token entry with the given id.
struct RawTokenEntry {
    std::string id;
    char oc_attr[12] = "objectClass";
    char oc_value[11] = "kxRawToken";
    char id_attr[5] = "kxID";
    char *oc_values[2];
    char *id_values[2];
    LDAPMod oc{}, idm{};
    LDAPMod *mods[3];

    explicit RawTokenEntry(std::string token) : id(std::move(token))
    {
        oc_values[0] = oc_value;
        oc_values[1] = nullptr;
        id_values[0] = id.data();
        id_values[1] = nullptr;
        oc.mod_op = LDAP_MOD_ADD;
        oc.mod_type = oc_attr;
        oc.mod_values = oc_values;
        idm.mod_op = LDAP_MOD_ADD;
        idm.mod_type = id_attr;
        idm.mod_values = id_values;
        mods[0] = &oc;
        mods[1] = &idm;
        mods[2] = nullptr;
    }
    std::string dn() const { return "kxID=" + id + "," + raw_tokens_base(); }
};

class Directory : public DirectoryTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testbed_ready());
        kxcap_clear();
        set_gdebug(nullptr);
    }
    void TearDown() override
    {
        DirectoryTest::TearDown();
        set_gdebug(nullptr);
    }
    // The connect step's own error code, for a session that must not open.
    int connect_error(int mode, const char *dn, const char *pw, const char *config)
    {
        int err = 99;
        KXAdmin k = _kx_dsConnect(mode, const_cast<char *>(dn), const_cast<char *>(pw),
                                  const_cast<char *>(config), nullptr, &err);
        EXPECT_EQ(k, nullptr);
        close_connection(k);
        return err;
    }
};

// ---- opening sessions -------------------------------------------------------

TEST_F(Directory, EveryConnectionModeOpens)
{
    std::string dn = bed()["KX_ADMIN_DN"];
    std::string pw = bed()["KX_ADMIN_PW"];
    KXAdmin anon = open(1);
    ASSERT_NE(anon, nullptr);
    EXPECT_EQ(anon->mode, 1);
    EXPECT_NE(anon->ld, nullptr);
    EXPECT_NE(anon->dstat_db, nullptr);
    EXPECT_NE(anon->ustat_db, nullptr);
    EXPECT_STREQ(get_server_name(anon), "127.0.0.1");
    EXPECT_EQ(anon->server_port, std::stoi(bed()["KX_LDAP_PORT"]));
    EXPECT_EQ(std::string(anon->subtree), bed()["KX_SUBTREE"]);

    EXPECT_NE(open(2, nullptr, pw.c_str()), nullptr);
    EXPECT_NE(open(3), nullptr);
    EXPECT_NE(open(4, dn.c_str(), pw.c_str()), nullptr);
    EXPECT_EQ(close_connection(nullptr), 0);
}

TEST_F(Directory, WrongCredentials)
{
    std::string dn = bed()["KX_ADMIN_DN"];
    EXPECT_EQ(open(2, nullptr, "not-the-password"), nullptr);
    EXPECT_TRUE(logged("open_connection(): Could not bind to LDAP server - Invalid credentials\n"));
    EXPECT_EQ(connect_error(2, nullptr, "not-the-password", nullptr), KXE_AUTHFAIL);
    EXPECT_EQ(connect_error(4, "cn=nobody,o=kxdata", "x", nullptr), KXE_AUTHFAIL);
    EXPECT_EQ(connect_error(0, nullptr, nullptr, nullptr), KXE_INVAL);
    EXPECT_EQ(connect_error(5, nullptr, nullptr, nullptr), KXE_INVAL);
}

TEST_F(Directory, MissingAndIncompleteConfiguration)
{
    std::string missing = std::string(KX_TEST_TMP) + "/no-such.conf";
    EXPECT_EQ(connect_error(1, nullptr, nullptr, missing.c_str()), KXE_NOENT);
    EXPECT_EQ(kxcap_count(), 0);  // a missing file is not logged

    std::string no_user = config_variant({{"admin.user.name", ""}});
    EXPECT_NE(open(1, nullptr, nullptr, no_user.c_str()), nullptr);
    kxcap_clear();
    EXPECT_EQ(open(3, nullptr, nullptr, no_user.c_str()), nullptr);
    EXPECT_TRUE(logged("check_kxa(): kxa - user fields are not filled.\n"));
    EXPECT_TRUE(logged("open_connection(): Config file (" + no_user + ") contents are incomplete\n"));

    for (const char *key : {"admin.server.name", "admin.server.port", "admin.subtree",
                            "admin.dstatus.dbfile", "admin.ustatus.dbfile"}) {
        SCOPED_TRACE(key);
        std::string path = config_variant({{key, ""}});
        kxcap_clear();
        EXPECT_EQ(open(1, nullptr, nullptr, path.c_str()), nullptr);
        EXPECT_TRUE(logged("check_kxa(): kxa - important fields are not filled.\n"));
    }
    std::string bad_port = config_variant({{"admin.server.port", "38x9"}});
    EXPECT_EQ(open(1, nullptr, nullptr, bad_port.c_str()), nullptr);
}

TEST_F(Directory, MissingPasswordFile)
{
    std::string saved = std::string(KX_ADMIN_PW) + ".saved";
    ASSERT_EQ(std::rename(KX_ADMIN_PW, saved.c_str()), 0);
    int err = connect_error(3, nullptr, nullptr, nullptr);
    bool logged_it = logged("open_connection(): Could not read KX password file (" +
                            std::string(KX_ADMIN_PW) + ")\n");
    // The administrator modes that take the password as an argument work.
    KXAdmin k = open(2, nullptr, bed()["KX_ADMIN_PW"].c_str());
    std::ofstream(KX_ADMIN_PW) << "   \n";
    int blank_err = connect_error(3, nullptr, nullptr, nullptr);
    ASSERT_EQ(std::rename(saved.c_str(), KX_ADMIN_PW), 0);
    EXPECT_EQ(err, KXE_NOENT);
    EXPECT_TRUE(logged_it);
    EXPECT_NE(k, nullptr);
    EXPECT_EQ(blank_err, KXE_INTERNAL);
}

TEST_F(Directory, ServerDown)
{
    // A port that nothing listens on.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    int port = ntohs(a.sin_port);
    close(s);

    std::string path = config_variant({{"admin.server.port", std::to_string(port)}});
    EXPECT_EQ(open(3, nullptr, nullptr, path.c_str()), nullptr);
    EXPECT_TRUE(logged("open_connection(): Could not connect to LDAP server (ldap://127.0.0.1:" +
                       std::to_string(port) + ") - Connection refused\n"));
}

TEST_F(Directory, MissingStatusDatabases)
{
    std::string nowhere = std::string(KX_TEST_TMP) + "/no-such-db";
    std::string d = config_variant({{"admin.dstatus.dbfile", nowhere}});
    EXPECT_EQ(open(3, nullptr, nullptr, d.c_str()), nullptr);
    EXPECT_TRUE(logged("open_connection(): Could not open dstatus DB at (" + nowhere + ")\n"));
    std::string u = config_variant({{"admin.ustatus.dbfile", nowhere}});
    EXPECT_EQ(open(1, nullptr, nullptr, u.c_str()), nullptr);
    EXPECT_TRUE(logged("open_connection(): Could not open ustatus DB at (" + nowhere + ")\n"));
    // Nothing was created on the way.
    EXPECT_NE(access((nowhere + ".pag").c_str(), F_OK), 0);
    EXPECT_NE(access((nowhere + ".dir").c_str(), F_OK), 0);
}

TEST_F(Directory, ConnectionTraceUnderDebugSelector)
{
    std::string path = config_variant({{"admin.debug", "d"}});
    ASSERT_NE(open(3, nullptr, nullptr, path.c_str()), nullptr);
    EXPECT_TRUE(logged("running with debug options |d|\n"));
    EXPECT_TRUE(logged("(d) connecting to ldap://127.0.0.1:" + bed()["KX_LDAP_PORT"] + " as |" +
                       bed()["KX_ADMIN_DN"] + "|\n"));
    kxcap_clear();
    ASSERT_NE(open(1, nullptr, nullptr, path.c_str()), nullptr);
    EXPECT_TRUE(logged("(d) connecting to ldap://127.0.0.1:" + bed()["KX_LDAP_PORT"] +
                       " as |cn=anonymous|\n"));
}

TEST_F(Directory, ConfigurationLookupsWithoutSession)
{
    char *port = get_kxadmin_info("admin.server.port");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(std::string(port), bed()["KX_LDAP_PORT"]);
    std::free(port);
    EXPECT_EQ(get_kxadmin_info("no.such.key"), nullptr);
    EXPECT_EQ(get_defaultlocale(), nullptr);
    char *path = nullptr;
    EXPECT_EQ(kx_DSConfigured(&path), KXE_SUCCESS);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path, KX_ADMIN_CONF);
    std::free(path);
}

// ---- the rebind procedure ----------------------------------------------------

TEST_F(Directory, RebindCallbackHandsOutAndTakesBackTheAdministratorsCredentials)
{
    char *dn = nullptr;
    char *pw = nullptr;
    int method = 0;
    EXPECT_EQ(kx_ldap_rebind_callback(nullptr, &dn, &pw, &method, 0, nullptr), LDAP_SUCCESS);
    ASSERT_NE(dn, nullptr);
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(std::string(dn), bed()["KX_ADMIN_DN"]);
    EXPECT_EQ(std::string(pw), bed()["KX_ADMIN_PW"]);
    EXPECT_EQ(method, LDAP_AUTH_SIMPLE);
    EXPECT_EQ(kx_ldap_rebind_callback(nullptr, &dn, &pw, &method, 1, nullptr), LDAP_SUCCESS);
    EXPECT_EQ(dn, nullptr);
    EXPECT_EQ(pw, nullptr);
    kxcap_clear();
    EXPECT_EQ(kx_ldap_rebind_callback(nullptr, &dn, &pw, &method, 1, nullptr), LDAP_SUCCESS);
    EXPECT_TRUE(logged("kx_ldap_rebind_callback: LDAP phase error; warning, *passwdp is already NULL.\n"));
    EXPECT_TRUE(logged("kx_ldap_rebind_callback: LDAP phase error; warning, *dnp is already NULL.\n"));

    // Without the password file the credentials cannot be had.
    std::string saved = std::string(KX_ADMIN_PW) + ".saved";
    ASSERT_EQ(std::rename(KX_ADMIN_PW, saved.c_str()), 0);
    int rc = kx_ldap_rebind_callback(nullptr, &dn, &pw, &method, 0, nullptr);
    ASSERT_EQ(std::rename(saved.c_str(), KX_ADMIN_PW), 0);
    EXPECT_EQ(rc, LDAP_OTHER);
    EXPECT_EQ(dn, nullptr);
    EXPECT_EQ(pw, nullptr);
}

TEST(ResultCodes, MapToLibraryCodes)
{
    EXPECT_EQ(kx_dserr2kxerr(LDAP_SUCCESS), KXE_SUCCESS);
    EXPECT_EQ(kx_dserr2kxerr(LDAP_INSUFFICIENT_ACCESS), KXE_NOPERM);
    EXPECT_EQ(kx_dserr2kxerr(LDAP_ALREADY_EXISTS), KXE_EXISTS);
    EXPECT_EQ(kx_dserr2kxerr(LDAP_NO_SUCH_OBJECT), KXE_INTERNAL);
    EXPECT_EQ(kx_dserr2kxerr(LDAP_INVALID_CREDENTIALS), KXE_INTERNAL);
    EXPECT_EQ(kx_dserr2kxerr(-1), KXE_INTERNAL);
}

// ---- entries -----------------------------------------------------------------------

TEST_F(Directory, WritesAndTheThreeSearchDisciplines)
{
    KXAdmin k = open(3);
    ASSERT_NE(k, nullptr);
    RawTokenEntry t1("search.one"), t2("search.two");
    std::string dn1 = t1.dn(), dn2 = t2.dn();
    ASSERT_EQ(add_entry(k->ld, dn1.data(), t1.mods), KXE_SUCCESS);
    ASSERT_EQ(add_entry(k->ld, dn2.data(), t2.mods), KXE_SUCCESS);
    EXPECT_EQ(add_entry(k->ld, dn1.data(), t1.mods), KXE_EXISTS);
    EXPECT_TRUE(logged("add_entry(): LDAP add failed - Already exists\n"));
    EXPECT_NE(ldapsearch(local_uri(), dn1, "(objectClass=*)", "kxID").find("kxID: search.one"),
              std::string::npos);

    char filter[] = "(&(objectclass=kxRawToken)(kxID=search.*))";
    std::string base = bed()["KX_SUBTREE"];
    LDAPMessage *all = search_for_entries(k->ld, filter, base.data(), nullptr, 0, KX_SEARCH_ALL);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(ldap_count_entries(k->ld, all), 2);
    ldap_msgfree(all);

    kxcap_clear();
    EXPECT_EQ(search_for_entries(k->ld, filter, base.data(), nullptr, 0, KX_SEARCH_ONE), nullptr);
    EXPECT_TRUE(logged("search_for_entries(): Found multiple matching entries, was expecting a single match"));
    kxcap_clear();
    char none[] = "(kxID=search.none)";
    EXPECT_EQ(search_for_entries(k->ld, none, base.data(), nullptr, 0, KX_SEARCH_ONE), nullptr);
    EXPECT_EQ(kxcap_count(), 0);
    char one[] = "(kxID=search.two)";
    LDAPMessage *single = search_for_entries(k->ld, one, base.data(), nullptr, 0, KX_SEARCH_ONE);
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(ldap_count_entries(k->ld, single), 1);
    ldap_msgfree(single);

    // One level below the base: the three containers, not the tokens.
    char any[] = "objectclass=*";
    LDAPMessage *children = search_for_entries(k->ld, any, base.data(), nullptr, 1, KX_SEARCH_CHILDREN);
    ASSERT_NE(children, nullptr);
    EXPECT_EQ(ldap_count_entries(k->ld, children), 3);
    ldap_msgfree(children);

    char bad_base[] = "kxName=nowhere,o=kxdata";
    kxcap_clear();
    EXPECT_EQ(search_for_entries(k->ld, any, bad_base, nullptr, 0, KX_SEARCH_ALL), nullptr);
    EXPECT_TRUE(logged("search_for_entries(): LDAP search failed - No such object\n"));
    char bad_filter[] = "(kxID=";
    EXPECT_EQ(search_for_entries(k->ld, bad_filter, base.data(), nullptr, 0, KX_SEARCH_ALL), nullptr);

    EXPECT_EQ(entry_exists(k->ld, one, base.data()), 1);
    EXPECT_EQ(entry_exists(k->ld, none, base.data()), 0);
    EXPECT_EQ(entry_exists(k->ld, one, bad_base), -1);

    EXPECT_EQ(_kx_dsEntryExists(k, one, base.data(), 0), KXE_SUCCESS);
    EXPECT_EQ(_kx_dsEntryExists(k, one, base.data(), 1), KXE_SUCCESS);
    EXPECT_EQ(_kx_dsEntryExists(k, none, base.data(), 1), KXE_NOTFOUND);
    EXPECT_EQ(_kx_dsEntryExists(k, one, bad_base, 0), KXE_INTERNAL);
    EXPECT_EQ(_kx_dsEntryExists(nullptr, one, base.data(), 0), KXE_INVAL);
    EXPECT_EQ(_kx_dsEntryExists(k, nullptr, base.data(), 0), KXE_INVAL);
    EXPECT_EQ(_kx_dsEntryExists(k, one, nullptr, 0), KXE_INVAL);

    // Modify and delete.
    char attr[] = "kxCryptoString";
    char value[] = "mode=hard";
    char *values[] = {value, nullptr};
    char oc[] = "objectClass";
    char crypto[] = "kxCrypto";
    char *oc_values[] = {crypto, nullptr};
    LDAPMod m1{LDAP_MOD_ADD, oc, {oc_values}};
    LDAPMod m2{LDAP_MOD_ADD, attr, {values}};
    LDAPMod *mods[] = {&m1, &m2, nullptr};
    EXPECT_EQ(modify_entry(k->ld, dn2.data(), mods), KXE_SUCCESS);
    EXPECT_NE(ldapsearch(local_uri(), dn2, "(objectClass=kxCrypto)", "kxCryptoString")
                  .find("kxCryptoString: mode=hard"),
              std::string::npos);
    char missing_dn[] = "kxID=nobody,kxName=rawTokens,o=kxdata";
    kxcap_clear();
    EXPECT_EQ(modify_entry(k->ld, missing_dn, mods), KXE_INTERNAL);
    EXPECT_TRUE(logged("modify_entry(): LDAP modify failed - No such object\n"));
    EXPECT_EQ(delete_entry(k->ld, dn1.data()), KXE_SUCCESS);
    EXPECT_EQ(delete_entry(k->ld, dn2.data()), KXE_SUCCESS);
    kxcap_clear();
    EXPECT_EQ(delete_entry(k->ld, dn2.data()), KXE_INTERNAL);
    EXPECT_TRUE(logged("delete_entry(): LDAP delete failed - No such object\n"));
    EXPECT_EQ(ldapsearch(local_uri(), raw_tokens_base(), "(kxID=search.*)"), "");
}

TEST_F(Directory, AnonymousSessionCannotWrite)
{
    KXAdmin k = open(1);
    ASSERT_NE(k, nullptr);
    RawTokenEntry t("anon.write");
    std::string dn = t.dn();
    EXPECT_NE(add_entry(k->ld, dn.data(), t.mods), KXE_SUCCESS);
    EXPECT_EQ(ldapsearch(local_uri(), raw_tokens_base(), "(kxID=anon.write)"), "");
}

TEST_F(Directory, CountingAndDeletingChildren)
{
    KXAdmin k = open(3);
    ASSERT_NE(k, nullptr);
    std::string container = raw_tokens_base();
    EXPECT_EQ(count_child_entries(k->ld, container.data()), 0);
    EXPECT_EQ(delete_child_entries(k->ld, container.data()), 0);
    std::vector<RawTokenEntry> tokens;
    tokens.reserve(5);
    for (int i = 0; i < 5; ++i) {
        tokens.emplace_back("child." + std::to_string(i));
        std::string dn = tokens.back().dn();
        ASSERT_EQ(add_entry(k->ld, dn.data(), tokens.back().mods), KXE_SUCCESS);
    }
    EXPECT_EQ(count_child_entries(k->ld, container.data()), 5);
    std::string base = bed()["KX_SUBTREE"];
    EXPECT_EQ(count_child_entries(k->ld, base.data()), 3);
    char nowhere[] = "kxName=nowhere,o=kxdata";
    EXPECT_EQ(count_child_entries(k->ld, nowhere), -1);

    // A child with children of its own cannot be deleted: the only child
    // of the suffix is the base.
    kxcap_clear();
    char suffix[] = "o=kxdata";
    EXPECT_EQ(delete_child_entries(k->ld, suffix), -1);
    EXPECT_TRUE(logged("delete_child_entries(): LDAP delete failed - Operation not allowed on non-leaf\n"));

    EXPECT_EQ(delete_child_entries(k->ld, container.data()), 5);
    EXPECT_EQ(count_child_entries(k->ld, container.data()), 0);
    EXPECT_EQ(ldapsearch(local_uri(), container, "(kxID=*)"), "");
}

TEST_F(Directory, PrintHierarchy)
{
    KXAdmin k = open(1);
    ASSERT_NE(k, nullptr);
    std::string base = bed()["KX_SUBTREE"];
    testing::internal::CaptureStdout();
    print_hierarchy(k, 0, 1);
    std::string out = testing::internal::GetCapturedStdout();
    // Sorted by DN: the containers in byte order of their DNs.
    EXPECT_EQ(out, "* " + base + "\n"
                   "  * kxName=logicalTokens," + base + "\n"
                   "  * kxName=rawTokens," + base + "\n"
                   "  * kxName=users," + base + "\n"
                   "\ntotal entries = 4\n");

    testing::internal::CaptureStdout();
    print_hierarchy(k, 1, 1);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("  * kxName=users," + base +
                       "\n    objectClass       = top\n    objectClass       = kxContainer\n"
                       "    kxName            = users\n\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\ntotal entries = 4\n"), std::string::npos);

    char nowhere[] = "kxName=nowhere,o=kxdata";
    kxcap_clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(print_entry_hierarchy(k->ld, nowhere, 1, 0, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(logged("print_entry_hierarchy(): LDAP search failed - No such object\n"));
}

TEST(SearchFilter, Normalisation)
{
    auto norm = [](const char *f) {
        char *n = normalize_search_filter(f);
        std::string s = n ? n : "(null)";
        std::free(n);
        return s;
    };
    EXPECT_EQ(norm("(kxID=a)(objectclass=kxUser)"), "(&(kxID=a)(objectclass=kxUser))");
    EXPECT_EQ(norm("kxID=a"), "kxID=a");
    EXPECT_EQ(norm("(kxID=a)"), "(kxID=a)");
    EXPECT_EQ(norm("(&(a=1)(b=2))"), "(&(&(a=1)(b=2)))");
    EXPECT_EQ(norm(nullptr), "(null)");
}

// ---- generation counters ---------------------------------------------------------

TEST_F(Directory, GenerationCounter)
{
    KXAdmin k = open(3);
    ASSERT_NE(k, nullptr);
    char users[] = "users";
    std::string dn = "kxname=users," + bed()["KX_SUBTREE"];
    EXPECT_EQ(kx_getGeneration(k, users), -1);
    EXPECT_EQ(kx_isGenerationValid(k, users, 0), 0);
    EXPECT_EQ(kx_incGeneration(k, users), 0);
    EXPECT_NE(ldapsearch(local_uri(), dn, "(objectClass=kxSynch)", "kxGenerationNumber")
                  .find("kxGenerationNumber: 0"),
              std::string::npos);
    EXPECT_EQ(kx_incGeneration(k, users), 1);
    EXPECT_EQ(kx_getGeneration(k, users), 1);

    ASSERT_EQ(ldapmodify("dn: " + dn +
                         "\nchangetype: modify\nreplace: kxGenerationNumber\n"
                         "kxGenerationNumber: 10\n"),
              0);
    EXPECT_EQ(kx_isGenerationValid(k, users, 10), 1);
    EXPECT_EQ(kx_isGenerationValid(k, users, 9), 1);
    EXPECT_EQ(kx_isGenerationValid(k, users, 11), 0);
    EXPECT_EQ(kx_isGenerationValid(k, users, -1), 0);

    ASSERT_EQ(ldapmodify("dn: " + dn +
                         "\nchangetype: modify\nreplace: kxGenerationNumber\n"
                         "kxGenerationNumber: 2147483647\n"),
              0);
    EXPECT_EQ(kx_incGeneration(k, users), 0);
    EXPECT_EQ(kx_getGeneration(k, users), 0);
    EXPECT_EQ(kx_isGenerationValid(k, users, 2147483647), 1);
    EXPECT_EQ(kx_isGenerationValid(k, users, 0x40000000), 0);

    // The counter never creates its entry.
    char nothing[] = "nothing";
    EXPECT_EQ(kx_incGeneration(k, nothing), -1);
    EXPECT_EQ(kx_getGeneration(nullptr, users), -1);
    char empty[] = "";
    EXPECT_EQ(kx_getGeneration(k, empty), -1);

    std::string base = bed()["KX_SUBTREE"];
    std::string fits(500 - 1 - std::string("kxname=,").size() - base.size(), 'x');
    std::string too_long = fits + "x";
    kxcap_clear();
    EXPECT_EQ(kx_getGeneration(k, fits.data()), -1);  // looked up: no such entry
    EXPECT_FALSE(logged("kx_getGeneration: basedn name too long"));
    EXPECT_EQ(kx_getGeneration(k, too_long.data()), -1);
    EXPECT_TRUE(logged("kx_getGeneration: basedn name too long"));
    EXPECT_EQ(kx_incGeneration(k, too_long.data()), -1);
    EXPECT_TRUE(logged("kx_incGeneration: basedn name too long"));

    // Leave the container as it was.
    EXPECT_EQ(ldapmodify("dn: " + dn +
                         "\nchangetype: modify\ndelete: kxGenerationNumber\n-\n"
                         "delete: objectClass\nobjectClass: kxSynch\n"),
              0);
}

// ---- status databases through a session ---------------------------------------------

TEST_F(Directory, StatusDatabasesFollowTheSessionMode)
{
    KXAdmin ro = open(1);
    ASSERT_NE(ro, nullptr);
    DBMDesktop d{};
    char id[] = "IEEE802.0800200c9a66";
    char model[] = "m1";
    d.id = id;
    d.model = model;
    EXPECT_EQ(add_dbm_desktop(ro, &d), -1);
    close_session(ro);

    KXAdmin rw = open(3);
    ASSERT_NE(rw, nullptr);
    EXPECT_EQ(add_dbm_desktop(rw, &d), 0);
    DBMDesktop *back = get_dbm_desktop(rw->dstat_db, id);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->model, "m1");
    EXPECT_STREQ(back->status, "");
    free_dbm_desktop(back);
    EXPECT_EQ(delete_dbm_desktop(rw, id), 0);
    EXPECT_EQ(dbm_desktop_exists(rw->dstat_db, id), 0);
}

// ---- the replicated pair -------------------------------------------------------------
// The session runs on the consumer; the product's kxdsd.conf names the
// provider as the primary through a slave line with its referral.

class Replicated : public Directory {
protected:
    bool on_consumer(const std::string &filter, bool present)
    {
        return eventually(
            [&] { return ldapsearch(bed()["KX_CONSUMER_URI"], raw_tokens_base(), filter).empty() != present; });
    }
};

TEST_F(Replicated, WritesFollowTheReferralToTheProvider)
{
    ASSERT_EQ(bed()["KX_TESTBED_MODE"], "replicated");
    KXAdmin k = open(3);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(std::to_string(k->server_port), bed()["KX_CONSUMER_PORT"]);
    EXPECT_EQ(kx_isDSprimary(), 0);
    char *host = nullptr;
    int port = 0;
    ASSERT_EQ(kx_getDSprimary(&host, &port), KXE_SUCCESS);
    EXPECT_EQ(std::string(host), bed()["KX_PROVIDER_HOST"]);
    EXPECT_NE(std::string(host), "127.0.0.1");
    EXPECT_EQ(std::to_string(port), bed()["KX_PROVIDER_PORT"]);
    std::free(host);

    RawTokenEntry t("replicated.one");
    std::string dn = t.dn();
    ASSERT_EQ(add_entry(k->ld, dn.data(), t.mods), KXE_SUCCESS);
    EXPECT_NE(ldapsearch(bed()["KX_PROVIDER_URI"], raw_tokens_base(), "(kxID=replicated.one)").find("kxID"),
              std::string::npos);
    EXPECT_TRUE(on_consumer("(kxID=replicated.one)", true));

    EXPECT_EQ(delete_entry(k->ld, dn.data()), KXE_SUCCESS);
    EXPECT_EQ(ldapsearch(bed()["KX_PROVIDER_URI"], raw_tokens_base(), "(kxID=replicated.one)"), "");
    EXPECT_TRUE(on_consumer("(kxID=replicated.one)", false));
}

TEST_F(Replicated, ExistenceOnThePrimary)
{
    KXAdmin k = open(3);
    ASSERT_NE(k, nullptr);
    std::string base = raw_tokens_base();
    // Written on the provider directly: the test on the primary sees it at
    // once, whatever the consumer holds yet.
    ASSERT_EQ(ldapmodify("dn: kxID=primary.only," + base +
                             "\nchangetype: add\nobjectClass: kxRawToken\n"
                             "kxID: primary.only\n",
                         bed()["KX_PROVIDER_URI"]),
              0);
    char filter[] = "(kxID=primary.only)";
    EXPECT_EQ(_kx_dsEntryExists(k, filter, base.data(), 1), KXE_SUCCESS);
    char none[] = "(kxID=primary.none)";
    EXPECT_EQ(_kx_dsEntryExists(k, none, base.data(), 1), KXE_NOTFOUND);
    EXPECT_TRUE(on_consumer("(kxID=primary.only)", true));

    ASSERT_TRUE(TestBed::control("stop-provider"));
    kxcap_clear();
    int on_primary = _kx_dsEntryExists(k, filter, base.data(), 1);
    int here = _kx_dsEntryExists(k, filter, base.data(), 0);
    ASSERT_TRUE(TestBed::control("start-provider"));
    EXPECT_EQ(on_primary, KXE_UNREACHABLE);
    EXPECT_TRUE(logged("kx_EntryExists(): failed to contact primrary server " +
                       bed()["KX_PROVIDER_HOST"]));
    EXPECT_EQ(here, KXE_SUCCESS);

    k = open(3);
    ASSERT_NE(k, nullptr);
    std::string dn = "kxID=primary.only," + base;
    EXPECT_EQ(delete_entry(k->ld, dn.data()), KXE_SUCCESS);
    EXPECT_TRUE(on_consumer("(kxID=primary.only)", false));
}

TEST_F(Replicated, ProviderDownRefusesWritesBeforeAnyDirectoryTraffic)
{
    KXAdmin k = open(3);
    ASSERT_NE(k, nullptr);
    ASSERT_TRUE(TestBed::control("stop-provider"));
    std::string log_before = slurp(bed()["KX_CONSUMER_LOG"]);

    RawTokenEntry t("replicated.down");
    std::string dn = t.dn();
    kxcap_clear();
    int rc = add_entry(k->ld, dn.data(), t.mods);
    std::string log_after = slurp(bed()["KX_CONSUMER_LOG"]);
    ASSERT_TRUE(TestBed::control("start-provider"));

    EXPECT_TRUE(rc == KXE_REMOTE || rc == KXE_INTERNAL) << rc;
    EXPECT_TRUE(logged(std::string("check_primary(): failed to contact LDAP primary server - ") +
                       kx_err2str(rc)));
    // The consumer saw no request for the entry.
    std::string added = log_after.substr(log_before.size());
    EXPECT_EQ(added.find("ADD dn=\"" + dn), std::string::npos) << added;
    EXPECT_EQ(ldapsearch(bed()["KX_CONSUMER_URI"], raw_tokens_base(), "(kxID=replicated.down)"), "");

    // With the provider back the same session writes again.
    ASSERT_EQ(add_entry(k->ld, dn.data(), t.mods), KXE_SUCCESS);
    EXPECT_TRUE(on_consumer("(kxID=replicated.down)", true));
    EXPECT_EQ(delete_entry(k->ld, dn.data()), KXE_SUCCESS);
}

} // namespace
