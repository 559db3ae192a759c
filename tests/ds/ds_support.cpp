#include "ds_support.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include "kx_paths.h"
#include "syslog_capture.h"

namespace ds {

namespace {

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A scratch file name below KX_TEST_TMP, new for every call.
std::string scratch_file(const std::string &suffix)
{
    static int serial = 0;
    return std::string(KX_TEST_TMP) + "/ds." + std::to_string(getpid()) + "." + std::to_string(++serial) + suffix;
}

// Runs an LDIF tool with the text in a scratch file; its status.
int run_ldif(const std::string &tool, const std::string &ldif, const std::string &uri)
{
    std::string path = scratch_file(".ldif");
    std::ofstream(path) << ldif;
    int status = 0;
    shell(tool + " " + admin_credentials(uri) + " -f " + sh_quote(path) + " >/dev/null 2>&1", &status);
    std::remove(path.c_str());
    return status;
}

// Base64 text as ldapsearch prints it; what is not of the alphabet (the
// padding, blanks) is passed over.
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

} // namespace

const TestBed &bed()
{
    return TestBed::get();
}

::testing::AssertionResult testbed_ready()
{
    if (!bed().loaded)
        return ::testing::AssertionFailure() << "KX_TESTBED_ENV does not describe a running test bed";
    mkdir(KX_TEST_TMP, 0777);
    return ::testing::AssertionSuccess();
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool eventually(const std::function<bool()> &condition, int tries)
{
    for (int i = 0; i < tries; ++i) {
        if (condition())
            return true;
        usleep(100000);
    }
    return false;
}

// ---- the system log ------------------------------------------------------------

std::ostream &operator<<(std::ostream &os, const LogRecord &r)
{
    return os << "{" << r.priority << " \"" << r.message << "\"}";
}

std::vector<LogRecord> log_records()
{
    std::vector<LogRecord> out;
    for (int i = 0; i < kxcap_count(); ++i) {
        int prio = -1;
        const char *m = kxcap_message(i, &prio);
        out.push_back({m ? m : "", prio});
    }
    return out;
}

std::string log_dump()
{
    std::string all;
    for (const auto &r : log_records())
        all += "  " + std::to_string(r.priority) + " [" + r.message + "]\n";
    return all;
}

int times_logged(const std::string &text, int priority)
{
    int n = 0;
    for (const auto &r : log_records())
        if (r.message == text && (priority < 0 || r.priority == priority))
            ++n;
    return n;
}

::testing::AssertionResult logged(const std::string &text, int priority)
{
    if (times_logged(text, priority) > 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not logged: [" << text << "] (priority " << priority << ")\nlog:\n"
                                         << log_dump();
}

::testing::AssertionResult nothing_logged_containing(const std::string &part)
{
    for (const auto &r : log_records())
        if (r.message.find(part) != std::string::npos)
            return ::testing::AssertionFailure() << "logged: [" << r.message << "]";
    return ::testing::AssertionSuccess();
}

Strings admin_log()
{
    Strings out;
    for (const auto &r : log_records())
        if (r.priority == kAdminPriority)
            out.push_back(r.message);
    return out;
}

// ---- the servers and their operation logs --------------------------------------

std::string local_uri()
{
    return bed()["KX_LDAP_URI"];
}

std::string config_variant(const std::map<std::string, std::string> &changes)
{
    std::istringstream in(slurp(KX_ADMIN_CONF));
    std::string out, line;
    std::map<std::string, std::string> pending = changes;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        std::string key = eq == std::string::npos ? "" : line.substr(0, eq);
        auto it = pending.find(key);
        if (it != pending.end()) {
            if (!it->second.empty())
                out += key + "=" + it->second + "\n";
            pending.erase(it);
        } else {
            out += line + "\n";
        }
    }
    for (const auto &[k, v] : pending)
        if (!v.empty())
            out += k + "=" + v + "\n";
    std::string path = scratch_file(".conf");
    std::ofstream(path) << out;
    return path;
}

size_t slapd_log_size()
{
    return slurp(bed()["KX_SLAPD_LOG"]).size();
}

std::string slapd_log_since(size_t offset)
{
    std::string text = slurp(bed()["KX_SLAPD_LOG"]);
    return offset < text.size() ? text.substr(offset) : "";
}

std::string squeeze_dn(const std::string &dn)
{
    std::string out;
    for (size_t i = 0; i < dn.size(); ++i) {
        if (dn[i] == ' ' && i > 0 && dn[i - 1] == ',')
            continue;
        out += dn[i];
    }
    return lower(out);
}

// ---- the OpenLDAP command line tools -------------------------------------------

std::string sh_quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string admin_credentials(const std::string &uri)
{
    return "-x -H " + sh_quote(uri) + " -D " + sh_quote(bed()["KX_ADMIN_DN"]) + " -w " +
           sh_quote(bed()["KX_ADMIN_PW"]);
}

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

std::vector<Attrs> ldap_find(const std::string &base, const std::string &filter, const std::string &scope,
                             const std::string &uri)
{
    std::string out = shell("ldapsearch " + admin_credentials(uri) + " -LLL -o ldif-wrap=no -s " + scope + " -b " +
                            sh_quote(base) + " " + sh_quote(filter) + " '*' 2>/dev/null");
    std::vector<Attrs> entries;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (line.empty() || colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        std::string rest = line.substr(colon + 1);
        std::string value = rest.rfind(":", 0) == 0   ? unbase64(rest.substr(1))
                            : rest.rfind(" ", 0) == 0 ? rest.substr(1)
                                                       : rest;
        if (name == "dn")
            entries.emplace_back();
        if (!entries.empty())
            entries.back()[name].push_back(value);
    }
    return entries;
}

std::optional<Attrs> read_entry(const std::string &dn, const std::string &uri)
{
    auto found = ldap_find(dn, "(objectClass=*)", "base", uri);
    if (found.size() != 1)
        return std::nullopt;
    return found[0];
}

std::optional<Attrs> entry_in(const std::string &container, const std::string &id)
{
    auto found = ldap_find(container, "(kxID=" + filter_escape(id) + ")", "one");
    if (found.size() != 1)
        return std::nullopt;
    return found[0];
}

Strings values(const Attrs &e, const std::string &attr)
{
    for (const auto &[name, vals] : e)
        if (lower(name) == lower(attr))
            return vals;
    return {};
}

Strings values(const std::optional<Attrs> &e, const std::string &attr)
{
    return e ? values(*e, attr) : Strings{"(no entry)"};
}

bool has(const Attrs &e, const std::string &attr)
{
    for (const auto &[name, vals] : e)
        if (lower(name) == lower(attr))
            return true;
    return false;
}

Attrs sorted_attrs(Attrs e)
{
    e.erase("dn");
    for (auto &[name, vals] : e)
        std::sort(vals.begin(), vals.end());
    return e;
}

std::string ldif_add(const std::string &dn, const Fields &fields)
{
    std::string out = "dn:: " + base64(dn) + "\nchangetype: add\n";
    for (const auto &[attr, value] : fields)
        out += attr + ":: " + base64(value) + "\n";
    return out + "\n";
}

int ldapmodify(const std::string &ldif, const std::string &uri)
{
    return run_ldif("ldapmodify", ldif, uri);
}

int ldapadd(const std::string &ldif, const std::string &uri)
{
    return run_ldif("ldapmodify -a", ldif, uri);
}

void ldapdelete(const Strings &dns, const std::string &uri)
{
    if (dns.empty())
        return;
    std::string args;
    for (const auto &dn : dns)
        args += " " + sh_quote(dn);
    shell("ldapdelete -r -c " + admin_credentials(uri) + args + " >/dev/null 2>&1");
}

// ---- names in the directory ---------------------------------------------------------

std::string subtree()
{
    return bed()["KX_SUBTREE"];
}

std::string users_base()
{
    return "kxName=users," + subtree();
}

std::string logical_tokens_base()
{
    return "kxName=logicalTokens," + subtree();
}

std::string raw_tokens_base()
{
    return "kxName=rawTokens," + subtree();
}

std::string dn_escape(const std::string &id)
{
    std::string out;
    for (size_t i = 0; i < id.size(); ++i) {
        if (std::strchr(",+\"\\<>;=", id[i]) || (i == 0 && id[i] == '#'))
            out += '\\';
        out += id[i];
    }
    return out;
}

std::string filter_escape(const std::string &id)
{
    std::string out;
    for (char c : id) {
        switch (c) {
        case '*': out += "\\2a"; break;
        case '(': out += "\\28"; break;
        case ')': out += "\\29"; break;
        case '\\': out += "\\5c"; break;
        default: out += c;
        }
    }
    return out;
}

std::string user_dn(const std::string &id)
{
    return "kxID=" + dn_escape(id) + "," + users_base();
}

std::string logical_dn(const std::string &id)
{
    return "kxID=" + dn_escape(id) + "," + logical_tokens_base();
}

std::string raw_dn(const std::string &id)
{
    return "kxID=" + dn_escape(id) + "," + raw_tokens_base();
}

std::optional<Attrs> user_entry(const std::string &id)
{
    return entry_in(users_base(), id);
}

// ---- library records ---------------------------------------------------------------

char *dup(const char *s)
{
    return s ? strdup(s) : nullptr;
}

char **id_list(const Strings &ids)
{
    auto **out = static_cast<char **>(std::calloc(ids.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < ids.size(); ++i)
        out[i] = strdup(ids[i].c_str());
    return out;
}

Strings strings(char **list)
{
    Strings out;
    for (char **p = list; p && *p; ++p)
        out.emplace_back(*p);
    return out;
}

std::optional<std::string> take(char *s)
{
    if (!s)
        return std::nullopt;
    std::string out(s);
    std::free(s);
    return out;
}

// ---- fixtures -----------------------------------------------------------------------

DirectoryTest::~DirectoryTest()
{
    close_sessions();
}

void DirectoryTest::TearDown()
{
    remove_entries();
    close_sessions();
}

KXAdmin DirectoryTest::open(int mode, const std::string &config)
{
    return open(mode, nullptr, nullptr, config);
}

KXAdmin DirectoryTest::open(int mode, const char *dn, const char *pw, const std::string &config)
{
    int err = 99;
    KXAdmin k = open_connection(mode, const_cast<char *>(dn), const_cast<char *>(pw),
                                config.empty() ? nullptr : const_cast<char *>(config.c_str()), &err);
    EXPECT_EQ(err, k ? 0 : KXE_INTERNAL);
    keep(k);
    return k;
}

void DirectoryTest::keep(KXAdmin k)
{
    if (k)
        sessions_.push_back(k);
}

void DirectoryTest::close_session(KXAdmin k)
{
    auto it = std::find(sessions_.begin(), sessions_.end(), k);
    if (it != sessions_.end())
        sessions_.erase(it);
    close_connection(k);
}

void DirectoryTest::close_sessions()
{
    for (KXAdmin k : sessions_)
        close_connection(k);
    sessions_.clear();
}

void DirectoryTest::remove_later(const std::string &dn)
{
    leftovers_.push_back(dn);
}

void DirectoryTest::remove_entries(const std::string &uri)
{
    ldapdelete(Strings(leftovers_.rbegin(), leftovers_.rend()), uri);
    leftovers_.clear();
}

void StoreTest::SetUp()
{
    ASSERT_TRUE(testbed_ready());
    k_ = open(3);
    ASSERT_NE(k_, nullptr);
    set_gdebug(nullptr);
    kxcap_clear();
}

void StoreTest::TearDown()
{
    remove_entries();
    for (const auto &id : status_ids_)
        if (dbm_user_exists(k_->ustat_db, const_cast<char *>(id.c_str())))
            delete_dbm_user(k_, const_cast<char *>(id.c_str()));
    close_sessions();
    set_gdebug(nullptr);
}

void StoreTest::add_status(const std::string &id, const char *name, int create_time, int status,
                           const char *last_desktop, int last_time)
{
    DBMUser d{};
    std::string idc = id;
    std::string namec = name;
    d.id = idc.data();
    d.name = namec.data();
    d.create_time = create_time;
    d.status = status;
    d.last_desktop = const_cast<char *>(last_desktop);
    d.last_time = last_time;
    ASSERT_EQ(add_dbm_user(k_, &d), 0);
    status_ids_.push_back(id);
}

} // namespace ds
