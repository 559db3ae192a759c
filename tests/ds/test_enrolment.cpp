// Enrolment of users against raw tokens, the change of a registration and
// its removal, against the real slapd of the directory test bed, on one
// server and on the replicated pair.  What each call left in the directory
// is confirmed with ldapsearch, an independent client.

#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "admin_private.h"
#include "admin_token.h"
#include "kx_paths.h"
#include "syslog_capture.h"
#include "testbed_env.h"

namespace {

const int kAdminLog = LOG_LOCAL1 | LOG_INFO;

const TestBed &bed()
{
    return TestBed::get();
}

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

std::string local()
{
    return bed()["KX_LDAP_URI"];
}

std::string sh_quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::string &in)
{
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (unsigned char c : in) {
        v = v << 8 | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += kB64[(v >> bits) & 63];
        }
    }
    if (bits > 0)
        out += kB64[(v << (6 - bits)) & 63];
    while (out.size() % 4)
        out += '=';
    return out;
}

std::string unbase64(const std::string &in)
{
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : in) {
        const char *pos = c ? std::strchr(kB64, c) : nullptr;
        if (!pos)
            continue;
        v = v << 6 | static_cast<unsigned>(pos - kB64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((v >> bits) & 0xff);
        }
    }
    return out;
}

std::string credentials(const std::string &uri)
{
    return "-x -H " + sh_quote(uri) + " -D " + sh_quote(bed()["KX_ADMIN_DN"]) + " -w " +
           sh_quote(bed()["KX_ADMIN_PW"]);
}

std::string subtree()
{
    return bed()["KX_SUBTREE"];
}
std::string users()
{
    return "kxName=users," + subtree();
}
std::string logicaltokens()
{
    return "kxName=logicalTokens," + subtree();
}
std::string rawtokens()
{
    return "kxName=rawTokens," + subtree();
}
std::string user_dn(const std::string &id)
{
    return "kxID=" + id + "," + users();
}
std::string logical_dn(const std::string &id)
{
    return "kxID=" + id + "," + logicaltokens();
}
std::string raw_dn(const std::string &id)
{
    return "kxID=" + id + "," + rawtokens();
}

using Attrs = std::map<std::string, std::vector<std::string>>;

std::vector<Attrs> ldap_find(const std::string &uri, const std::string &base, const std::string &filter,
                          const std::string &scope = "sub")
{
    std::string out = shell("ldapsearch " + credentials(uri) + " -LLL -o ldif-wrap=no -s " + scope + " -b " +
                            sh_quote(base) + " " + sh_quote(filter) + " '*' 2>/dev/null");
    std::vector<Attrs> entries;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (line.empty() || colon == std::string::npos)
            continue;
        std::string name = lower(line.substr(0, colon));
        std::string value;
        if (colon + 1 < line.size() && line[colon + 1] == ':')
            value = unbase64(line.substr(colon + 2));
        else
            value = line.substr(std::min(line.size(), colon + 2));
        if (name == "dn")
            entries.emplace_back();
        if (!entries.empty())
            entries.back()[name].push_back(value);
    }
    return entries;
}

std::optional<Attrs> read_entry(const std::string &uri, const std::string &dn)
{
    auto found = ldap_find(uri, dn, "(objectClass=*)", "base");
    if (found.size() != 1)
        return std::nullopt;
    return found[0];
}

// The attributes of an entry other than its DN, names in lower case.
std::vector<std::string> names(const std::optional<Attrs> &e)
{
    std::vector<std::string> out;
    if (e)
        for (const auto &[name, vals] : *e)
            if (name != "dn")
                out.push_back(name);
    return out;
}

using V = std::vector<std::string>;

V values(const std::optional<Attrs> &e, const std::string &attr)
{
    if (!e)
        return {};
    auto it = e->find(lower(attr));
    return it == e->end() ? V{} : it->second;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

std::string ldif_add(const std::string &dn, const Fields &fields)
{
    std::string out = "dn:: " + base64(dn) + "\nchangetype: add\n";
    for (const auto &[attr, value] : fields)
        out += attr + ":: " + base64(value) + "\n";
    return out + "\n";
}

int ldapmodify(const std::string &uri, const std::string &ldif)
{
    std::string path = std::string(KX_TEST_TMP) + "/enrol." + std::to_string(getpid()) + ".ldif";
    std::ofstream(path) << ldif;
    int status = 0;
    shell("ldapmodify " + credentials(uri) + " -f " + sh_quote(path) + " >/dev/null 2>&1", &status);
    std::remove(path.c_str());
    return status;
}

void ldapdelete(const std::string &uri, const std::vector<std::string> &dns)
{
    if (dns.empty())
        return;
    std::string args;
    for (const auto &dn : dns)
        args += " " + sh_quote(dn);
    shell("ldapdelete -c " + credentials(uri) + args + " >/dev/null 2>&1");
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Lower case, without the blanks that may follow the commas of a DN.
std::string squeeze(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ' && i > 0 && text[i - 1] == ',')
            continue;
        out += text[i];
    }
    return lower(out);
}

struct Record {
    int priority;
    std::string text;
};

std::vector<Record> records()
{
    std::vector<Record> out;
    for (int i = 0; i < kxcap_count(); ++i) {
        int prio = -1;
        const char *m = kxcap_message(i, &prio);
        out.push_back({prio, m ? m : ""});
    }
    return out;
}

std::string dump_log()
{
    std::string all;
    for (const auto &r : records())
        all += "  " + std::to_string(r.priority) + " [" + r.text + "]\n";
    return all;
}

::testing::AssertionResult logged(int priority, const std::string &text)
{
    for (const auto &r : records())
        if (r.text == text && r.priority == priority)
            return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not logged: " << priority << " [" << text << "]\nlog:\n" << dump_log();
}

::testing::AssertionResult not_logged(const std::string &part)
{
    for (const auto &r : records())
        if (r.text.find(part) != std::string::npos)
            return ::testing::AssertionFailure() << "logged: [" << r.text << "]";
    return ::testing::AssertionSuccess();
}

int admin_log_lines()
{
    int n = 0;
    for (const auto &r : records())
        n += r.priority == kAdminLog;
    return n;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

char **id_list(std::initializer_list<const char *> ids)
{
    auto **list = static_cast<char **>(std::calloc(ids.size() + 1, sizeof(char *)));
    size_t i = 0;
    for (const char *id : ids)
        list[i++] = strdup(id);
    return list;
}

V strings(char **list)
{
    V out;
    for (char **p = list; p && *p; ++p)
        out.emplace_back(*p);
    return out;
}

// ---- the fixture ------------------------------------------------------------------

class EnrolmentBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bed().loaded) << "KX_TESTBED_ENV does not describe a running test bed";
        mkdir(KX_TEST_TMP, 0777);
        int err = 99;
        k_ = open_connection(3, nullptr, nullptr, nullptr, &err);
        ASSERT_NE(k_, nullptr) << err;
        set_gdebug("a");
        kxcap_clear();
    }
    void TearDown() override
    {
        std::vector<std::string> dns(cleanup_.rbegin(), cleanup_.rend());
        ldapdelete(writer(), dns);
        close_connection(k_);
        set_gdebug(nullptr);
    }
    void make(const std::string &dn, const Fields &fields)
    {
        cleanup_.push_back(dn);
        ASSERT_EQ(ldapmodify(writer(), ldif_add(dn, fields)), 0) << dn;
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
        cleanup_.push_back(raw_dn(raw));
        if (!uid.empty()) {
            cleanup_.push_back(logical_dn("user." + uid));
            cleanup_.push_back(user_dn(uid));
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
    std::vector<std::string> cleanup_;
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
        ldap_find(local(), subtree(), "(kxID=" + marker + ")");
        std::vector<std::string> out;
        for (int attempt = 0; attempt < 50; ++attempt) {
            std::string text = slurp(bed()["KX_SLAPD_LOG"]);
            text = offset < text.size() ? text.substr(offset) : "";
            if (text.find(marker) == std::string::npos) {
                usleep(100000);
                continue;
            }
            std::istringstream in(text);
            std::string line;
            while (std::getline(in, line))
                for (const char *what : {" ADD dn=", " MOD dn=", " DEL dn=", " MODRDN dn="}) {
                    auto at = line.find(what);
                    if (at != std::string::npos)
                        out.push_back(squeeze(line.substr(at + 1)));
                }
            return out;
        }
        ADD_FAILURE() << "the server log does not show the marker search";
        return out;
    }
    size_t log_size() { return slurp(bed()["KX_SLAPD_LOG"]).size(); }
};

std::string modded(const std::string &dn)
{
    return squeeze("MOD dn=\"" + dn + "\"");
}

TEST_F(Enrolment, ANewRawTokenGetsItsThreeEntries)
{
    time_t before = time(nullptr);
    auto start = std::chrono::steady_clock::now();
    std::string uid = enrol("enr.new1", "srv.example", 7010, "Alice Enrol", "room 4");
    double took = seconds_since(start);
    time_t after = time(nullptr);
    ASSERT_FALSE(uid.empty()) << dump_log();
    EXPECT_TRUE(plausible_uid(uid)) << uid;
    // The new user is on the session's server at once: no wait.
    EXPECT_LT(took, 5.0);

    auto raw = read_entry(local(), raw_dn("enr.new1"));
    ASSERT_TRUE(raw);
    EXPECT_EQ(names(raw), (V{"kxenabled", "kxid", "kxtokenstate", "kxtokentype", "objectclass"}));
    EXPECT_EQ(values(raw, "objectClass"), V{"kxRawToken"});
    EXPECT_EQ(values(raw, "kxTokenType"), V{"user"});
    EXPECT_EQ(values(raw, "kxTokenState"), V{"unknown"});
    EXPECT_EQ(values(raw, "kxEnabled"), V{"allowed"});

    std::string lid = "user." + uid;
    auto lt = read_entry(local(), logical_dn(lid));
    ASSERT_TRUE(lt);
    EXPECT_EQ(names(lt), (V{"kxid", "kxrawtokenids", "kxservername", "kxserverport", "kxsessiontype", "objectclass"}));
    EXPECT_EQ(values(lt, "objectClass"), V{"kxLogicalToken"});
    EXPECT_EQ(values(lt, "kxID"), V{lid});
    EXPECT_EQ(values(lt, "kxSessionType"), V{"default"});
    EXPECT_EQ(values(lt, "kxServerName"), V{"srv.example"});
    EXPECT_EQ(values(lt, "kxServerPort"), V{"7010"});
    EXPECT_EQ(values(lt, "kxRawTokenIDs"), V{"enr.new1"});

    auto user = read_entry(local(), user_dn(uid));
    ASSERT_TRUE(user);
    EXPECT_EQ(names(user), (V{"kxfirsttime", "kxid", "kxlogicaltokenids", "kxname", "kxotherinfo", "objectclass"}));
    EXPECT_EQ(values(user, "objectClass"), V{"kxUser"});
    EXPECT_EQ(values(user, "kxName"), V{"Alice Enrol"});
    EXPECT_EQ(values(user, "kxOtherInfo"), V{"room 4"});
    EXPECT_EQ(values(user, "kxLogicalTokenIDs"), V{lid});
    ASSERT_EQ(values(user, "kxFirstTime").size(), 1u);
    long first = std::atol(values(user, "kxFirstTime")[0].c_str());
    EXPECT_GE(first, static_cast<long>(before));
    EXPECT_LE(first, static_cast<long>(after));

    EXPECT_TRUE(logged(LOG_INFO, "(a) Created datastore user |" + uid + "|\n"));
    EXPECT_TRUE(logged(kAdminLog, "user : User (Alice Enrol) successfully added."));
    EXPECT_EQ(admin_log_lines(), 1) << dump_log();
    EXPECT_TRUE(not_logged("not in the secondary"));

    // Removal by the raw token takes all three.
    kxcap_clear();
    char rid[] = "enr.new1";
    EXPECT_EQ(delete_simple_user(k_, rid), 0);
    EXPECT_FALSE(read_entry(local(), raw_dn("enr.new1")));
    EXPECT_FALSE(read_entry(local(), logical_dn(lid)));
    EXPECT_FALSE(read_entry(local(), user_dn(uid)));
    EXPECT_TRUE(logged(kAdminLog, "user : Successfully deleted user for token id 'enr.new1'."));
}

TEST_F(Enrolment, WithoutServerNameAndOtherInformation)
{
    std::string uid = enrol("enr.new2", nullptr, 0, "Nobody Else", nullptr);
    ASSERT_FALSE(uid.empty()) << dump_log();
    auto lt = read_entry(local(), logical_dn("user." + uid));
    ASSERT_TRUE(lt);
    EXPECT_TRUE(values(lt, "kxServerName").empty());
    EXPECT_EQ(values(lt, "kxServerPort"), V{"0"});
    EXPECT_EQ(values(lt, "kxSessionType"), V{"default"});
    auto user = read_entry(local(), user_dn(uid));
    ASSERT_TRUE(user);
    EXPECT_TRUE(values(user, "kxOtherInfo").empty());
    EXPECT_EQ(values(user, "kxName"), V{"Nobody Else"});
}

TEST_F(Enrolment, AUserNameMustBeShorterThan100Characters)
{
    std::string name99 = "N" + std::string(98, 'x');
    std::string uid = enrol("enr.len99", "h", 1, name99, nullptr);
    ASSERT_FALSE(uid.empty()) << dump_log();
    EXPECT_EQ(values(read_entry(local(), user_dn(uid)), "kxName"), V{name99});

    std::string name100 = "M" + std::string(99, 'y');
    kxcap_clear();
    size_t offset = log_size();
    EXPECT_EQ(enrol("enr.len100", "h", 1, name100, nullptr), "");
    auto r = records();
    ASSERT_EQ(r.size(), 2u) << dump_log();
    EXPECT_EQ(r[0].priority, kAdminLog);
    EXPECT_EQ(r[0].text, "user : add_simple_user2(): Entered User Name is [" + name100 + "]\n");
    EXPECT_EQ(r[1].priority, kAdminLog);
    EXPECT_EQ(r[1].text, "user : add_simple_user2(): User Name should be less than 100 characters in length\n");
    EXPECT_TRUE(writes_since(offset).empty());
    EXPECT_TRUE(ldap_find(local(), subtree(), "(|(kxID=enr.len100)(kxRawTokenIDs=enr.len100)(kxName=" + name100 + "))")
                    .empty());
}

TEST_F(Enrolment, AnExistingRawTokenIsUsedUnchanged)
{
    Fields own = {{"kxSecret", "s3cret"}, {"kxTokenType", "card"}, {"kxMisc1", "m1"}};
    make_raw("enr.keep1", own);
    auto before = read_entry(local(), raw_dn("enr.keep1"));
    size_t offset = log_size();
    std::string uid = enrol("enr.keep1", "srv", 7011, "Keeper One", "k");
    ASSERT_FALSE(uid.empty()) << dump_log();
    EXPECT_EQ(read_entry(local(), raw_dn("enr.keep1")), before);
    for (const auto &w : writes_since(offset))
        EXPECT_EQ(w.find(squeeze(rawtokens())), std::string::npos) << w;
    auto lt = read_entry(local(), logical_dn("user." + uid));
    ASSERT_TRUE(lt);
    EXPECT_EQ(values(lt, "kxRawTokenIDs"), V{"enr.keep1"});
    EXPECT_EQ(values(lt, "objectClass"), V{"kxLogicalToken"});
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
    auto before = read_entry(local(), raw_dn("enr.keep2"));
    std::string uid = enrol("enr.keep2", "srv", 7012, "Keeper Two", nullptr);
    ASSERT_FALSE(uid.empty()) << dump_log();
    EXPECT_EQ(read_entry(local(), raw_dn("enr.keep2")), before);

    std::string lid = "user." + uid;
    auto lt = read_entry(local(), logical_dn(lid));
    ASSERT_TRUE(lt);
    EXPECT_EQ(values(lt, "objectClass"), (V{"kxLogicalToken", "kxXconfig"}));
    EXPECT_EQ(values(lt, "kxScreenResolution"), V{"1280x1024"});
    EXPECT_EQ(values(lt, "kxScreenRefresh"), V{"75"});
    EXPECT_EQ(values(lt, "kxScreenDimRows"), V{"1"});
    EXPECT_EQ(values(lt, "kxScreenDimColumns"), V{"2"});
    EXPECT_EQ(values(lt, "kxScreenOrdering"), V{"2,1"});
    EXPECT_EQ(values(lt, "kxScreenEnableAutoSizing"), V{"yes"});
    EXPECT_TRUE(values(lt, "kxScreenEnablePC").empty());
    EXPECT_EQ(values(lt, "kxRawTokenIDs"), V{"enr.keep2"});

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
    ASSERT_FALSE(uid.empty()) << dump_log();
    kxcap_clear();
    size_t offset = log_size();
    EXPECT_EQ(enrol("enr.twice", "srv", 7013, "Second Owner", nullptr), "");
    EXPECT_TRUE(logged(LOG_INFO, "add_simple_user2(): there is already a logical token for raw\ntoken enr.twice on "
                                 "the primary datastore.  The local datastore may be\nout of sync with the "
                                 "primary.  Please inform your administrator."));
    EXPECT_EQ(admin_log_lines(), 0) << dump_log();
    EXPECT_TRUE(writes_since(offset).empty());
    EXPECT_TRUE(ldap_find(local(), users(), "(kxName=Second Owner)").empty());
    EXPECT_EQ(ldap_find(local(), logicaltokens(), "(kxRawTokenIDs=enr.twice)").size(), 1u);
}

TEST_F(Enrolment, ALogicalTokenThatCannotBeAddedLeavesTheNewRawToken)
{
    // An empty server name is not a value the directory takes.
    EXPECT_EQ(enrol("enr.fail1", "", 7050, "Fail Logical", nullptr), "");
    EXPECT_TRUE(logged(LOG_INFO, "add_simple_user2(): Could not add logical token for user Fail Logical. (raw "
                                 "token=enr.fail1)"));
    EXPECT_TRUE(logged(kAdminLog, "user : Adding logical token for user (Fail Logical) failed."));
    EXPECT_TRUE(not_logged("successfully added"));
    auto raw = read_entry(local(), raw_dn("enr.fail1"));
    ASSERT_TRUE(raw);
    EXPECT_EQ(values(raw, "kxTokenType"), V{"user"});
    EXPECT_EQ(values(raw, "kxTokenState"), V{"unknown"});
    EXPECT_EQ(values(raw, "kxEnabled"), V{"allowed"});
    EXPECT_TRUE(ldap_find(local(), logicaltokens(), "(kxRawTokenIDs=enr.fail1)").empty());
    EXPECT_TRUE(ldap_find(local(), users(), "(kxName=Fail Logical)").empty());

    // The raw token is now known here: a new enrolment uses it as it is.
    std::string uid = enrol("enr.fail1", "srv", 7050, "Fail Logical", nullptr);
    ASSERT_FALSE(uid.empty()) << dump_log();
    EXPECT_EQ(read_entry(local(), raw_dn("enr.fail1")), raw);
    EXPECT_EQ(values(read_entry(local(), logical_dn("user." + uid)), "kxRawTokenIDs"), V{"enr.fail1"});
}

TEST_F(Enrolment, AUserThatCannotBeAddedLeavesTheTokens)
{
    make_raw("enr.fail2", {{"objectClass", "kxXconfig"}, {"kxScreenResolution", "800x600"}});
    auto raw = read_entry(local(), raw_dn("enr.fail2"));
    // An empty user name is not a value the directory takes.
    EXPECT_EQ(enrol("enr.fail2", "srv", 7051, "", "x"), "");
    auto left = ldap_find(local(), logicaltokens(), "(kxRawTokenIDs=enr.fail2)");
    for (const auto &e : left)
        cleanup_.push_back(e.at("dn")[0]);
    EXPECT_TRUE(logged(LOG_INFO, "add_simple_user2(): Could not add user into the datastore for user . (raw "
                                 "token=enr.fail2)"));
    EXPECT_TRUE(logged(kAdminLog, "user : Adding user () to datastore failed."));
    EXPECT_TRUE(not_logged("successfully added"));
    EXPECT_EQ(read_entry(local(), raw_dn("enr.fail2")), raw);
    // The logical token stays, with the configuration promoted to it.
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(values(left[0], "kxRawTokenIDs"), V{"enr.fail2"});
    EXPECT_EQ(values(left[0], "kxScreenResolution"), V{"800x600"});
    std::string lid = values(left[0], "kxID").empty() ? "" : values(left[0], "kxID")[0];
    EXPECT_TRUE(lid.rfind("user.", 0) == 0) << lid;
    EXPECT_TRUE(ldap_find(local(), users(), "(kxLogicalTokenIDs=" + lid + ")").empty());

    // A new enrolment for the raw token stops at the logical token.
    kxcap_clear();
    EXPECT_EQ(enrol("enr.fail2", "srv", 7051, "Second Try", nullptr), "");
    EXPECT_TRUE(logged(LOG_INFO, "add_simple_user2(): there is already a logical token for raw\ntoken enr.fail2 on "
                                 "the primary datastore.  The local datastore may be\nout of sync with the "
                                 "primary.  Please inform your administrator."));
}

// ---- changing a registration --------------------------------------------------------

TEST_F(Enrolment, EditWithTheStoredValuesWritesNothing)
{
    std::string uid = enrol("enr.edit1", "srv.one", 7020, "Bob Edit", "desk 7");
    ASSERT_FALSE(uid.empty()) << dump_log();
    kxcap_clear();
    size_t offset = log_size();
    char rid[] = "enr.edit1";
    char server[] = "srv.one", name[] = "Bob Edit", other[] = "desk 7";
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, name, other), KXE_NOCHANGE);
    EXPECT_TRUE(writes_since(offset).empty());
    EXPECT_EQ(admin_log_lines(), 0) << dump_log();
}

TEST_F(Enrolment, EditOfThePortOnlyLeavesTheUserAlone)
{
    std::string uid = enrol("enr.edit2", "srv.one", 7020, "Bob Port", "desk 7");
    ASSERT_FALSE(uid.empty()) << dump_log();
    std::string lid = "user." + uid;
    auto user_before = read_entry(local(), user_dn(uid));
    kxcap_clear();
    size_t offset = log_size();
    char rid[] = "enr.edit2";
    char server[] = "srv.one", name[] = "Bob Port", other[] = "desk 7";
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7021, name, other), KXE_SUCCESS);
    EXPECT_EQ(writes_since(offset), V{modded(logical_dn(lid))});
    auto lt = read_entry(local(), logical_dn(lid));
    EXPECT_EQ(values(lt, "kxServerPort"), V{"7021"});
    EXPECT_EQ(values(lt, "kxServerName"), V{"srv.one"});
    EXPECT_EQ(values(lt, "kxSessionType"), V{"default"});
    EXPECT_EQ(values(lt, "kxRawTokenIDs"), V{"enr.edit2"});
    EXPECT_EQ(read_entry(local(), user_dn(uid)), user_before);
    EXPECT_EQ(admin_log_lines(), 0) << dump_log();
}

TEST_F(Enrolment, EditStoresTheServerNameTrimmed)
{
    std::string uid = enrol("enr.edit3", "srv.one", 7020, "Bob Trim", nullptr);
    ASSERT_FALSE(uid.empty()) << dump_log();
    std::string lid = "user." + uid;
    char rid[] = "enr.edit3", name[] = "Bob Trim";
    auto server_name = [&] { return values(read_entry(local(), logical_dn(lid)), "kxServerName"); };

    char padded[] = "  srv.two\t\n";
    EXPECT_EQ(edit_simple_user(k_, rid, padded, 7020, name, nullptr), KXE_SUCCESS);
    EXPECT_EQ(server_name(), V{"srv.two"});
    char plain[] = "srv.two";
    EXPECT_EQ(edit_simple_user(k_, rid, plain, 7020, name, nullptr), KXE_NOCHANGE);
    // The comparison is with the name as given.
    char leading[] = " srv.two";
    EXPECT_EQ(edit_simple_user(k_, rid, leading, 7020, name, nullptr), KXE_SUCCESS);
    EXPECT_EQ(server_name(), V{"srv.two"});
    char blank[] = " \t ";
    EXPECT_EQ(edit_simple_user(k_, rid, blank, 7020, name, nullptr), KXE_SUCCESS);
    EXPECT_TRUE(server_name().empty());
    EXPECT_EQ(edit_simple_user(k_, rid, nullptr, 7020, name, nullptr), KXE_NOCHANGE);
    EXPECT_EQ(edit_simple_user(k_, rid, plain, 7020, name, nullptr), KXE_SUCCESS);
    EXPECT_EQ(edit_simple_user(k_, rid, nullptr, 7020, name, nullptr), KXE_SUCCESS);
    EXPECT_TRUE(server_name().empty());
    EXPECT_EQ(values(read_entry(local(), logical_dn(lid)), "kxServerPort"), V{"7020"});
}

TEST_F(Enrolment, EditOfUserNameAndOtherInformation)
{
    std::string uid = enrol("enr.edit4", "srv.one", 7020, "Bob User", "desk 7");
    ASSERT_FALSE(uid.empty()) << dump_log();
    std::string lid = "user." + uid;
    auto lt_before = read_entry(local(), logical_dn(lid));
    char rid[] = "enr.edit4", server[] = "srv.one";

    kxcap_clear();
    size_t offset = log_size();
    char carol[] = "Carol User", info[] = "  new desk \n";
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, carol, info), KXE_SUCCESS);
    EXPECT_EQ(writes_since(offset), V{modded(user_dn(uid))});
    auto user = read_entry(local(), user_dn(uid));
    EXPECT_EQ(values(user, "kxName"), V{"Carol User"});
    EXPECT_EQ(values(user, "kxOtherInfo"), V{"new desk"});
    EXPECT_EQ(values(user, "kxLogicalTokenIDs"), V{lid});
    EXPECT_EQ(read_entry(local(), logical_dn(lid)), lt_before);
    EXPECT_TRUE(logged(kAdminLog, "user : User properties for (Carol User) modified."));

    char trimmed[] = "new desk";
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, carol, trimmed), KXE_NOCHANGE);

    // The user name is stored as given, the other information trimmed.
    char dave[] = " Dave ", x[] = "\tx  ";
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, dave, x), KXE_SUCCESS);
    user = read_entry(local(), user_dn(uid));
    EXPECT_EQ(values(user, "kxName"), V{" Dave "});
    EXPECT_EQ(values(user, "kxOtherInfo"), V{"x"});

    // Unset values remove the attributes; the token list stays.
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, nullptr, nullptr), KXE_SUCCESS);
    user = read_entry(local(), user_dn(uid));
    EXPECT_TRUE(values(user, "kxName").empty());
    EXPECT_TRUE(values(user, "kxOtherInfo").empty());
    EXPECT_EQ(values(user, "kxLogicalTokenIDs"), V{lid});
    EXPECT_EQ(edit_simple_user(k_, rid, server, 7020, nullptr, nullptr), KXE_NOCHANGE);
}

TEST_F(Enrolment, EditOfARawTokenWithoutLogicalTokenOrUser)
{
    char none[] = "enr.edit.none", server[] = "s", name[] = "n";
    EXPECT_EQ(edit_simple_user(k_, none, server, 1, name, nullptr), -1);
    EXPECT_TRUE(logged(LOG_INFO, "edit_simple_user(): Could not translate rt to lt."));

    make_raw("enr.edit5");
    make_logical("user.enr-edit5", {"enr.edit5"}, {{"kxServerName", "a"}, {"kxServerPort", "1"}});
    kxcap_clear();
    char rid[] = "enr.edit5", a[] = "a";
    EXPECT_EQ(edit_simple_user(k_, rid, a, 2, name, nullptr), -1);
    EXPECT_TRUE(logged(LOG_INFO, "edit_simple_user(): Could not get LDAP user."));
    // The change of the logical token stays.
    EXPECT_EQ(values(read_entry(local(), logical_dn("user.enr-edit5")), "kxServerPort"), V{"2"});
}

// ---- removing a registration ------------------------------------------------------------

TEST_F(Enrolment, DeleteOfARawTokenThatNoLogicalTokenLists)
{
    make_raw("enr.del1", {{"kxTokenType", "user"}});
    char rid[] = "enr.del1";
    EXPECT_EQ(delete_simple_user(k_, rid), 0);
    EXPECT_FALSE(read_entry(local(), raw_dn("enr.del1")));
    EXPECT_TRUE(logged(kAdminLog, "user : Successfully deleted token id (enr.del1)."));
    EXPECT_TRUE(logged(kAdminLog, "user : Successfully deleted user for token id 'enr.del1'."));
}

TEST_F(Enrolment, DeleteOfLogicalTokensThatNoUserOwns)
{
    make_raw("enr.del2");
    make_raw("enr.del2.other");
    make_logical("user.enr-del2a", {"enr.del2"});
    make_logical("user.enr-del2b", {"enr.del2", "enr.del2.other"});
    char rid[] = "enr.del2";
    EXPECT_EQ(delete_simple_user(k_, rid), 0);
    EXPECT_FALSE(read_entry(local(), logical_dn("user.enr-del2a")));
    EXPECT_FALSE(read_entry(local(), logical_dn("user.enr-del2b")));
    EXPECT_FALSE(read_entry(local(), raw_dn("enr.del2")));
    // A logical token goes with all of its raw tokens.
    EXPECT_FALSE(read_entry(local(), raw_dn("enr.del2.other")));
    EXPECT_TRUE(logged(kAdminLog, "user : Successfully deleted user for token id 'enr.del2'."));
}

TEST_F(Enrolment, DeleteOfEveryUserReachedFromTheRawToken)
{
    std::string uid = enrol("enr.del3", "srv", 7030, "Shared One", nullptr);
    ASSERT_FALSE(uid.empty()) << dump_log();
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
        EXPECT_FALSE(read_entry(local(), dn)) << dn;
    EXPECT_TRUE(logged(kAdminLog, "user : Successfully deleted user for token id 'enr.del3'."));
}

TEST_F(Enrolment, DeleteOfAnUnknownRawTokenLogsNothing)
{
    char rid[] = "enr.del.none";
    size_t offset = log_size();
    EXPECT_EQ(delete_simple_user(k_, rid), KXE_NOTFOUND);
    EXPECT_EQ(admin_log_lines(), 0) << dump_log();
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
    ASSERT_FALSE(uid.empty()) << dump_log();
    EXPECT_TRUE(plausible_uid(uid)) << uid;
    std::string lid = "user." + uid;

    // The records now carry the ids and lists that were stored.
    EXPECT_EQ(std::string(lt->id), lid);
    EXPECT_EQ(strings(lt->raw_token_ids), V{"enr.s3"});
    EXPECT_EQ(std::string(u->id), uid);
    EXPECT_EQ(strings(u->logical_token_ids), V{lid});
    EXPECT_EQ(std::string(raw->id), "enr.s3");

    auto r = read_entry(local(), raw_dn("enr.s3"));
    EXPECT_EQ(names(r), (V{"kxenabled", "kxid", "kxmisc1", "kxsecret", "kxtokenstate", "kxtokentype", "objectclass"}));
    EXPECT_EQ(values(r, "kxSecret"), V{"sec3"});
    EXPECT_EQ(values(r, "kxTokenType"), V{"card"});
    EXPECT_EQ(values(r, "kxTokenState"), V{"ok"});
    EXPECT_EQ(values(r, "kxEnabled"), V{"denied"});
    EXPECT_EQ(values(r, "kxMisc1"), V{"rm1"});

    auto l = read_entry(local(), logical_dn(lid));
    EXPECT_EQ(names(l), (V{"kxid", "kxmisc2", "kxrawtokenids", "kxservername", "kxserverport", "kxsessionparams",
                           "kxsessiontype", "kxtokenname", "objectclass"}));
    EXPECT_EQ(values(l, "kxTokenName"), V{"tn3"});
    EXPECT_EQ(values(l, "kxSessionType"), V{"kiosk"});
    EXPECT_EQ(values(l, "kxSessionParams"), V{"p=1"});
    EXPECT_EQ(values(l, "kxServerName"), V{"h3"});
    EXPECT_EQ(values(l, "kxServerPort"), V{"7300"});
    EXPECT_EQ(values(l, "kxMisc2"), V{"lm2"});
    EXPECT_EQ(values(l, "kxRawTokenIDs"), V{"enr.s3"});

    auto us = read_entry(local(), user_dn(uid));
    EXPECT_EQ(names(us), (V{"kxfirsttime", "kxid", "kxlogicaltokenids", "kxmisc1", "kxname", "kxotherinfo",
                            "objectclass"}));
    EXPECT_EQ(values(us, "kxName"), V{long_name});
    EXPECT_EQ(values(us, "kxOtherInfo"), V{"o3"});
    EXPECT_EQ(values(us, "kxMisc1"), V{"um1"});
    EXPECT_EQ(values(us, "kxLogicalTokenIDs"), V{lid});

    EXPECT_TRUE(logged(LOG_INFO, "(a) got user |" + uid + "|\n"));
    EXPECT_EQ(admin_log_lines(), 0) << dump_log();
    EXPECT_TRUE(not_logged("Created datastore user"));

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
    EXPECT_TRUE(logged(LOG_INFO, "add_simple_user3(): Could not add raw token\n"));
    EXPECT_EQ(std::string(lt->id), "caller.lt");
    EXPECT_EQ(u->id, nullptr);
    EXPECT_TRUE(ldap_find(local(), logicaltokens(), "(kxRawTokenIDs=enr.s3b)").empty());
    EXPECT_TRUE(ldap_find(local(), users(), "(kxName=Prepared Twice)").empty());
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
        for (int i = 0; i < 100; ++i) {
            if (read_entry(consumer(), dn).has_value() == present)
                return true;
            usleep(100000);
        }
        return false;
    }
    bool provider_stopped_ = false;
};

TEST_F(ReplicatedEnrolment, ARawTokenOnThePrimaryOnlyIsRefused)
{
    make_raw("unsynced.r1");
    ASSERT_TRUE(read_entry(provider(), raw_dn("unsynced.r1")));
    ASSERT_FALSE(read_entry(consumer(), raw_dn("unsynced.r1")));
    auto before = read_entry(provider(), raw_dn("unsynced.r1"));

    EXPECT_EQ(enrol("unsynced.r1", "h", 1, "Uns One", nullptr), "");
    EXPECT_TRUE(logged(LOG_INFO, "add_simple_user2(): there is already a raw token unsynced.r1 on\nthe primary "
                                 "datastore.  The local datastore may be out of sync\nwith the primary.  Please "
                                 "inform your administrator."));
    EXPECT_EQ(admin_log_lines(), 0) << dump_log();
    EXPECT_EQ(read_entry(provider(), raw_dn("unsynced.r1")), before);
    EXPECT_TRUE(ldap_find(provider(), logicaltokens(), "(kxRawTokenIDs=unsynced.r1)").empty());
    EXPECT_TRUE(ldap_find(provider(), users(), "(kxName=Uns One)").empty());
}

TEST_F(ReplicatedEnrolment, ALogicalTokenOnThePrimaryListingTheRawTokenIsRefused)
{
    make_logical("user.renr-lt2", {"unsynced.r2"});
    ASSERT_FALSE(read_entry(consumer(), logical_dn("user.renr-lt2")));

    EXPECT_EQ(enrol("unsynced.r2", "h", 1, "Uns Two", nullptr), "");
    EXPECT_TRUE(logged(LOG_INFO, "add_simple_user2(): there is already a logical token for raw\ntoken unsynced.r2 "
                                 "on the primary datastore.  The local datastore may be\nout of sync with the "
                                 "primary.  Please inform your administrator."));
    EXPECT_EQ(admin_log_lines(), 0) << dump_log();
    EXPECT_FALSE(read_entry(provider(), raw_dn("unsynced.r2")));
    EXPECT_EQ(ldap_find(provider(), logicaltokens(), "(kxRawTokenIDs=unsynced.r2)").size(), 1u);
    EXPECT_TRUE(ldap_find(provider(), users(), "(kxName=Uns Two)").empty());
}

TEST_F(ReplicatedEnrolment, EnrolmentThroughTheConsumer)
{
    auto start = std::chrono::steady_clock::now();
    std::string uid = enrol("renr.r3", "srv.rep", 7040, "Replicated Three", "r3");
    double took = seconds_since(start);
    ASSERT_FALSE(uid.empty()) << dump_log();
    EXPECT_LT(took, 9.0);
    std::string lid = "user." + uid;

    for (const auto &uri : {provider(), consumer()}) {
        SCOPED_TRACE(uri);
        if (uri == consumer()) {
            ASSERT_TRUE(on_consumer(raw_dn("renr.r3"), true));
            ASSERT_TRUE(on_consumer(logical_dn(lid), true));
            ASSERT_TRUE(on_consumer(user_dn(uid), true));
        }
        auto raw = read_entry(uri, raw_dn("renr.r3"));
        EXPECT_EQ(values(raw, "kxTokenType"), V{"user"});
        EXPECT_EQ(values(raw, "kxTokenState"), V{"unknown"});
        EXPECT_EQ(values(raw, "kxEnabled"), V{"allowed"});
        auto lt = read_entry(uri, logical_dn(lid));
        EXPECT_EQ(values(lt, "kxRawTokenIDs"), V{"renr.r3"});
        EXPECT_EQ(values(lt, "kxServerName"), V{"srv.rep"});
        EXPECT_EQ(values(lt, "kxServerPort"), V{"7040"});
        EXPECT_EQ(values(lt, "kxSessionType"), V{"default"});
        auto user = read_entry(uri, user_dn(uid));
        EXPECT_EQ(values(user, "kxName"), V{"Replicated Three"});
        EXPECT_EQ(values(user, "kxOtherInfo"), V{"r3"});
        EXPECT_EQ(values(user, "kxLogicalTokenIDs"), V{lid});
    }
    EXPECT_TRUE(logged(kAdminLog, "user : User (Replicated Three) successfully added."));
    EXPECT_TRUE(not_logged("not in the secondary"));

    // Removal through the consumer reaches both servers.
    char rid[] = "renr.r3";
    EXPECT_EQ(delete_simple_user(k_, rid), 0);
    for (const auto &dn : {raw_dn("renr.r3"), logical_dn(lid), user_dn(uid)}) {
        EXPECT_FALSE(read_entry(provider(), dn)) << dn;
        EXPECT_TRUE(on_consumer(dn, false)) << dn;
    }
}

TEST_F(ReplicatedEnrolment, AUserThatNeverReachesTheConsumer)
{
    auto start = std::chrono::steady_clock::now();
    std::string uid = enrol("renr.r4", "srv.rep", 7041, "unsynced Late User", nullptr);
    double took = seconds_since(start);
    ASSERT_FALSE(uid.empty()) << dump_log();
    EXPECT_GE(took, 9.0);
    EXPECT_LT(took, 20.0);
    EXPECT_TRUE(logged(kAdminLog, "user : User (unsynced Late User) successfully added."));
    EXPECT_TRUE(logged(kAdminLog, "user : User (unsynced Late User) is not in the secondary yet."));
    EXPECT_TRUE(logged(LOG_INFO, "User unsynced Late User (raw token=renr.r4) is not in the secondary yet."));

    EXPECT_TRUE(read_entry(provider(), user_dn(uid)));
    EXPECT_TRUE(read_entry(provider(), logical_dn("user." + uid)));
    EXPECT_TRUE(read_entry(provider(), raw_dn("renr.r4")));
    EXPECT_TRUE(on_consumer(logical_dn("user." + uid), true));
    EXPECT_FALSE(read_entry(consumer(), user_dn(uid)));
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
    EXPECT_TRUE(logged(LOG_INFO, std::string("add_simple_user2(): error encountered while trying to contact\nthe "
                                             "primary datastore. (") +
                                     kx_err2str(code) + ")"));
    EXPECT_EQ(admin_log_lines(), 0) << dump_log();

    ASSERT_TRUE(TestBed::control("start-provider"));
    provider_stopped_ = false;
    EXPECT_FALSE(read_entry(consumer(), raw_dn("renr.r5")));
    EXPECT_FALSE(read_entry(provider(), raw_dn("renr.r5")));
    EXPECT_TRUE(ldap_find(provider(), users(), "(kxName=Down Under)").empty());
}

} // namespace
