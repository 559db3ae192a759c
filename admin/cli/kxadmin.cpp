// kxadmin - sets up and diagnoses what kxcrypto and the other programs of
// the product need: the administration files, the status databases and the
// directory.
//
//   kxadmin check       walks the chain a run of kxcrypto depends on
//   kxadmin init        creates what is missing and safe to create
//   kxadmin passwd      writes the administrator's password file

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <strings.h>
#include <ldap.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "admin_private.h"
#include "kx_paths.h"
#include "kx_ldap.hpp"
#include "kx_raii.hpp"
#include "kx_text.hpp"
#include "kx_dbm.h"
#include "kxadmin_conf_template.h"
#include "utils.h"

namespace {

const char *prog = "kxadmin";

// ---- small helpers --------------------------------------------------------

struct LdapCloser {
    void operator()(LDAP *ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using Ldap = std::unique_ptr<LDAP, LdapCloser>;

struct Config {
    std::string server, subtree, user, dstatus, ustatus;
    int port = 0;
    int timeout = 60;
    std::string tls = "none", cacert;
};

bool readable_by_others(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH);
}

std::string mode_text(mode_t mode)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

// A text without the blanks, tabs and newlines at its ends, as the
// library's reader strips keys and values.
std::string trim(const std::string &s)
{
    kx::CString stripped(strip_leading_and_trailing_whitespace(s.c_str()));
    return stripped ? stripped.get() : "";
}

// The session settings of the configuration file, read by the library's
// own reader; false when the file cannot be read.
bool load_config(Config &c)
{
    std::unique_ptr<KXAdminStruct, void (*)(KXAdminStruct *)> kxa(allocate_kxa(), free_kxa);
    if (read_config_file(kxa.get(), KX_ADMIN_CONF) != KXE_SUCCESS)
        return false;
    auto s = [](const char *v) { return std::string(v ? v : ""); };
    // The TLS keys are kept in a private part of the record.
    auto kept = [&](const char *key) { return kx::CString(_kx_configValue(kxa.get(), key)); };
    c = {s(kxa->server_name),
         s(kxa->subtree),
         s(kxa->user_name),
         s(kxa->dstatus_fname),
         s(kxa->ustatus_fname),
         kxa->server_port,
         DSldaptimeout,
         s(kept("admin.server.tls").get()),
         s(kept("admin.server.cacert").get())};
    if (c.tls.empty())
        c.tls = "none";
    return true;
}

std::string uri_of(const Config &c)
{
    return (c.tls == "ldaps" ? "ldaps://" : "ldap://") + c.server + ":" + std::to_string(c.port);
}

// A connection made and secured as the library's sessions are, without
// following referrals, and a simple bind; the LDAP result code of the bind
// (or of the step of the connection that failed) in rc.
Ldap bind(const Config &c, const std::string &dn, const std::string &pw, int &rc,
          std::string *reason = nullptr)
{
    char *why = nullptr;
    // The check waits for the server whatever admin.ldap.timeout says.
    Ldap ld(_kx_ldapOpen(c.server.c_str(), c.port, c.tls.c_str(), c.cacert.c_str(),
                         c.timeout > 0 ? c.timeout : 60, &rc, &why));
    kx::CString owned(why);
    if (!ld) {
        if (reason)
            *reason = why ? why : ldap_err2string(rc);
        return nullptr;
    }
    ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    berval cred{pw.size(), const_cast<char *>(pw.c_str())};
    rc = ldap_sasl_bind_s(ld.get(), dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (rc == LDAP_SUCCESS)
        return ld;
    if (reason)
        *reason = kx::ldap_reason(ld.get(), rc);
    return nullptr;
}

// Entries found by a search, or -1 with rc set.
int count(LDAP *ld, const std::string &base, int scope, const char *filter, const char *attr,
          int &rc, std::vector<std::string> *values = nullptr)
{
    LDAPMessage *res = nullptr;
    char *attrs[] = {const_cast<char *>(attr), nullptr};
    rc = ldap_search_ext_s(ld, base.c_str(), scope, filter, attrs, 0, nullptr, nullptr, nullptr, 0,
                           &res);
    kx::LdapMessage owned(res);
    if (rc != LDAP_SUCCESS)
        return -1;
    for (LDAPMessage *e = ldap_first_entry(ld, res); values && e; e = ldap_next_entry(ld, e)) {
        std::vector<std::string> found = kx::all_values(ld, e, attr);
        values->insert(values->end(), found.begin(), found.end());
    }
    return ldap_count_entries(ld, res);
}

// The administrator's password from the password file, or "".
std::string stored_password()
{
    int err = 0;
    kx::CString pw(read_passwd_file(KX_ADMIN_PW, &err));
    return pw ? pw.get() : "";
}

// ---- check ------------------------------------------------------------------

struct Report {
    int errors = 0;
    void ok(const std::string &step, const std::string &detail = "")
    {
        std::printf("%s: ok%s%s\n", step.c_str(), detail.empty() ? "" : ", ", detail.c_str());
    }
    void error(const std::string &step, const std::string &text)
    {
        std::printf("%s: error: %s\n", step.c_str(), text.c_str());
        errors++;
    }
    void warning(const std::string &step, const std::string &text)
    {
        std::printf("%s: warning: %s\n", step.c_str(), text.c_str());
    }
};

// The keys the library reads, and whether a file must give them.
std::map<std::string, bool> known_keys()
{
    std::map<std::string, bool> keys;
    int required = 0;
    for (int i = 0; const char *key = _kx_configKey(i, &required); i++)
        keys[key] = required != 0;
    return keys;
}

size_t distance(const std::string &a, const std::string &b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] != b[j - 1])});
            diag = up;
        }
    }
    return row[b.size()];
}

// Reads the configuration file line by line as the library does and names
// every line that the library would skip or misread.
bool check_config_file(Report &r)
{
    const std::string step = "kxadmin.conf";
    FILE *fp = std::fopen(KX_ADMIN_CONF, "r");
    if (!fp) {
        r.error(step, std::string(KX_ADMIN_CONF) + ": " + std::strerror(errno) +
                          (errno == ENOENT ? "; create it with kxadmin init" : ""));
        return false;
    }
    int before = r.errors, number = 0, first_cr = 0, crs = 0;
    const std::map<std::string, bool> keys = known_keys();
    std::set<std::string> seen;
    char buf[512];
    while (std::fgets(buf, sizeof buf, fp)) {
        std::string line = buf;
        number++;
        std::string at = "line " + std::to_string(number) + ": ";
        if (line[0] == '#' || line.size() <= 1 || trim(line).empty())
            continue;
        if (line.find('\r') != std::string::npos) {
            // The library keeps the carriage return in the value.
            first_cr = first_cr ? first_cr : number;
            crs++;
            seen.insert(trim(line.substr(0, line.find('='))));
            continue;
        }
        size_t eq = line.find('=');
        std::string key = eq == std::string::npos ? "" : trim(line.substr(0, eq));
        std::string value = eq == std::string::npos ? "" : trim(line.substr(eq + 1));
        if (eq == std::string::npos || key.empty() || value.empty() ||
            key.find_first_of(": \t") != key.npos) {
            r.error(step, at + "not \"key = value\": " + trim(line));
            continue;
        }
        if (!keys.count(key)) {
            std::string best;
            size_t best_distance = 4;
            for (auto &[known, _] : keys)
                if (size_t d = distance(key, known); d < best_distance)
                    best = known, best_distance = d;
            r.error(step, at + "unknown key " + key +
                              (best.empty() ? "" : ", did you mean " + best + "?"));
            continue;
        }
        if (kx::CString problem(_kx_configProblem(key.c_str(), value.c_str())); problem)
            r.error(step, at + problem.get());
        seen.insert(key);
    }
    std::fclose(fp);
    if (crs)
        r.error(step, std::to_string(crs) + " line" + (crs > 1 ? "s end" : " ends") +
                          " with a carriage return, the first line " + std::to_string(first_cr) +
                          "; save the file with Unix line ends");
    for (auto &[key, needed] : keys)
        if (needed && !seen.count(key))
            r.error(step, key + " is missing");
    if (!readable_by_others(KX_ADMIN_CONF))
        r.warning(step,
                  "other users cannot read it, so kxcrypto run by them cannot connect; chmod 644 " +
                      std::string(KX_ADMIN_CONF));
    if (r.errors == before)
        r.ok(step);
    return r.errors == before;
}

void check_password_file(Report &r)
{
    const std::string step = "kxadmin.pw";
    struct stat st;
    if (stat(KX_ADMIN_PW, &st) != 0) {
        r.error(step, std::string(KX_ADMIN_PW) + ": " + std::strerror(errno) +
                          "; write it with kxadmin passwd");
        return;
    }
    int before = r.errors;
    if (st.st_uid != geteuid())
        r.error(step, "owned by uid " + std::to_string(st.st_uid) + ", not by uid " +
                          std::to_string(geteuid()) + "; chown it");
    if ((st.st_mode & 07777) != 0600)
        r.error(step, "mode " + mode_text(st.st_mode) + ", not 0600; chmod 600 " + KX_ADMIN_PW);
    FILE *fp = std::fopen(KX_ADMIN_PW, "r");
    if (!fp) {
        r.error(step, std::string("cannot be read: ") + std::strerror(errno));
        return;
    }
    std::string text;
    for (int c; (c = std::fgetc(fp)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(fp);
    size_t lines =
        std::count(text.begin(), text.end(), '\n') + (!text.empty() && text.back() != '\n');
    if (trim(text).empty())
        r.error(step, "empty; write it with kxadmin passwd");
    else if (text.find('\r') != std::string::npos)
        r.error(step, "holds a carriage return; write it with kxadmin passwd");
    else if (lines > 1)
        r.error(step, "holds " + std::to_string(lines) +
                          " lines where only the first is read; write it with "
                          "kxadmin passwd");
    if (r.errors == before)
        r.ok(step);
}

// The primary server of o=kxdata by the library's reader of kxdsd.conf;
// false when it cannot be found.
bool check_server_config(Report &r, std::string &primary, int &port)
{
    const std::string step = "kxdsd.conf";
    char *host = nullptr;
    int rc = kx_getDSprimary(&host, &port);
    kx::CString owned(host);
    if (rc == KXE_NOENT || rc == KXE_NOPERM || rc == KXE_FILEACCESS)
        r.error(step,
                std::string(KX_DSD_CONF) + ": " + kx_err2str(rc) + "; directory writes need it");
    else if (rc == KXE_NOTFOUND)
        r.error(step, "no database with the suffix o=kxdata");
    else if (rc == KXE_CONFIG)
        r.error(step, "the referral of the slave line names no host:port of the primary server");
    else if (rc != KXE_SUCCESS)
        r.error(step, kx_err2str(rc));
    if (rc != KXE_SUCCESS)
        return false;
    primary = host;
    if (port == -1 || kx_isDSprimary())
        r.ok(step, "this host is the primary server");
    else
        r.ok(step, "a replica; the primary server is " + primary + ":" + std::to_string(port));
    return true;
}

// Opens the database as kxcrypto does (read-only) and reads every record.
void check_status_db(Report &r, const std::string &name, const std::string &path)
{
    const std::string step = name + " status database";
    if (path.empty())
        return r.error(step, "no path in kxadmin.conf");
    for (const char *ext : {".dir", ".pag"})
        if (access((path + ext).c_str(), F_OK) != 0)
            return r.error(step, path + ext + ": " + std::strerror(errno) +
                                     "; create it with kxadmin init");
    bool users = name == "user";
    std::string base = path;
    DBM *db = users ? open_user_dbm(base.data(), KX_MODE_ANONYMOUS)
                    : open_desktop_dbm(base.data(), KX_MODE_ANONYMOUS);
    if (!db)
        return r.error(step, path + " is not an ndbm database (.dir/.pag pair)");
    char **bad = nullptr;
    int records = _kx_checkStatusDb(db, users, &bad);
    users ? close_user_dbm(db) : close_desktop_dbm(db);
    std::vector<std::string> problems = kx::strings_of(bad);
    kx_free_array(bad);
    std::sort(problems.begin(), problems.end());
    if (records < 0)
        return r.error(step, path + " cannot be read");
    const std::string counted = std::to_string(records) + (records == 1 ? " record" : " records");
    if (!problems.empty()) {
        std::string text =
            std::to_string(problems.size()) + " of " + std::to_string(records) +
            (problems.size() == 1 ? " records does not decode: " : " records do not decode: ");
        for (size_t i = 0; i < problems.size() && i < 3; ++i)
            text += (i ? ", " : "") + kx::escape_controls(problems[i], true);
        if (problems.size() > 3)
            text += ", and " + std::to_string(problems.size() - 3) + " more";
        return r.error(step, text);
    }
    if (!readable_by_others(path + ".dir") || !readable_by_others(path + ".pag"))
        r.warning(step,
                  "other users cannot read it, so kxcrypto run by them cannot connect; chmod 644 " +
                      path + ".dir " + path + ".pag");
    else
        r.ok(step, counted);
}

// The connection and an anonymous bind, as other users' kxcrypto makes
// them; false when no connection was made, and nothing more can be checked.
bool check_connection(Report &r, const Config &c, Ldap &anon)
{
    int rc = 0;
    const std::string step = "directory " + uri_of(c);
    std::string reason;
    anon = bind(c, "cn=anonymous", "", rc, &reason);
    if (rc == LDAP_CONNECT_ERROR && c.tls != "none" &&
        strcasecmp(c.server.c_str(), "localhost") == 0) {
        r.error(step, "TLS failed: " + reason +
                          "; for the name localhost libldap checks the certificate "
                          "against this machine's own host name: set admin.server.name to a name "
                          "or address that the certificate holds");
        return false;
    }
    if (rc == LDAP_CONNECT_ERROR && c.tls != "none") {
        r.error(step, "TLS failed: " + reason +
                          "; the server's certificate must name admin.server.name "
                          "and be signed by the authority of admin.server.cacert");
        return false;
    }
    if (rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT || rc == LDAP_CONNECT_ERROR) {
        r.error(step, "no answer: " + reason +
                          "; start the server or correct admin.server.name and "
                          "admin.server.port");
        return false;
    }
    if (rc == LDAP_CONFIDENTIALITY_REQUIRED) {
        r.error(step, "the server wants TLS; set admin.server.tls to starttls or ldaps");
        return false;
    }
    r.ok(step, c.tls == "none" ? "" : c.tls);
    if (rc != LDAP_SUCCESS)
        r.error("anonymous bind",
                std::string(ldap_err2string(rc)) +
                    "; other users' kxcrypto binds as cn=anonymous without a password: allow it "
                    "(olcAllows: bind_anon_dn in cn=config, allow bind_anon_dn in slapd.conf)");
    else
        r.ok("anonymous bind");
    return true;
}

// Why the administrator's bind with the stored password pw failed with rc.
std::string admin_bind_failure(const Config &c, const std::string &pw, int rc)
{
    int clear_rc = 0;
    kx::CString clear(scramble_text(pw.c_str()));
    if (rc == LDAP_INVALID_CREDENTIALS && clear && bind(c, c.user, clear.get(), clear_rc))
        return "kxadmin.pw holds the password in clear, not scrambled; write it with kxadmin "
               "passwd";
    if (rc == LDAP_CONFIDENTIALITY_REQUIRED)
        return "the server wants TLS; set admin.server.tls to starttls or ldaps";
    return std::string(ldap_err2string(rc)) + "; write the right password with kxadmin passwd";
}

// The administrator's bind with the password file; nullptr when it fails.
Ldap check_admin_bind(Report &r, const Config &c)
{
    const std::string step = "administrator bind as " + c.user;
    std::string pw = stored_password();
    if (pw.empty()) {
        r.error(step, "no password in kxadmin.pw; write it with kxadmin passwd");
        return nullptr;
    }
    int rc = 0;
    Ldap admin = bind(c, c.user, pw, rc);
    if (!admin)
        r.error(step, admin_bind_failure(c, pw, rc));
    else
        r.ok(step);
    return admin;
}

void check_base_tree(Report &r, const Config &c, LDAP *admin)
{
    int rc = 0, missing = 0;
    for (std::string dn : {c.subtree, "kxName=users," + c.subtree,
                           "kxName=logicalTokens," + c.subtree, "kxName=rawTokens," + c.subtree}) {
        if (count(admin, dn, LDAP_SCOPE_BASE, "(objectClass=*)", "1.1", rc) != 1) {
            r.error("base tree", dn + ": " + ldap_err2string(rc) + "; create it with kxadmin init");
            missing++;
        }
    }
    if (!missing)
        r.ok("base tree " + c.subtree);
}

void check_schema(Report &r, LDAP *admin)
{
    int rc = 0;
    std::vector<std::string> dse, classes;
    count(admin, "", LDAP_SCOPE_BASE, "(objectClass=*)", "subschemaSubentry", rc, &dse);
    count(admin, dse.empty() ? "cn=Subschema" : dse[0], LDAP_SCOPE_BASE, "(objectClass=subschema)",
          "objectClasses", rc, &classes);
    std::string unknown;
    for (const char *name : {"kxContainer", "kxUser", "kxLogicalToken", "kxRawToken", "kxCrypto",
                             "kxXconfig", "kxSynch"}) {
        bool found = false;
        for (auto &definition : classes)
            found =
                found || definition.find("NAME '" + std::string(name) + "'") != std::string::npos;
        if (!found)
            unknown += (unknown.empty() ? "" : " ") + std::string(name);
    }
    if (!unknown.empty())
        r.error("schema", "the server does not know " + unknown +
                              "; load kx.ldif (cn=config) or include kx.schema");
    else
        r.ok("schema");
}

// A secret that the administrator sees must stay hidden from anonymous
// readers.
void check_secrets(Report &r, const Config &c, LDAP *admin, LDAP *anon)
{
    int rc = 0;
    std::vector<std::string> secrets, leaked;
    count(admin, c.subtree, LDAP_SCOPE_SUBTREE, "(kxSecret=*)", "kxSecret", rc, &secrets);
    if (anon)
        count(anon, c.subtree, LDAP_SCOPE_SUBTREE, "(objectClass=kxRawToken)", "kxSecret", rc,
              &leaked);
    if (!leaked.empty())
        r.warning("secrets", "anonymous clients can read kxSecret; add the access rule "
                             "\"to attrs=kxSecret by dn.exact=<administrator> write by * none\"");
    else
        r.ok("secrets", secrets.empty() ? "none stored yet" : "hidden from anonymous clients");
}

void check_primary_server(Report &r, const std::string &primary, int primary_port)
{
    int ping = kx_pingDShost(const_cast<char *>(primary.c_str()), primary_port, DStimeout);
    const std::string step = "primary server " + primary + ":" + std::to_string(primary_port);
    if (ping != KXE_SUCCESS)
        r.error(step, std::string("does not accept connections (") + kx_err2str(ping) +
                          "); writes cannot reach it");
    else
        r.ok(step);
}

void check_directory(Report &r, const Config &c, const std::string &primary, int primary_port,
                     bool have_primary)
{
    Ldap anon;
    if (!check_connection(r, c, anon))
        return;
    Ldap admin = check_admin_bind(r, c);
    if (!admin)
        return;
    check_base_tree(r, c, admin.get());
    check_schema(r, admin.get());
    check_secrets(r, c, admin.get(), anon.get());
    if (have_primary && primary_port != -1 && !kx_isDSprimary())
        check_primary_server(r, primary, primary_port);
}

int cmd_check()
{
    Report r;
    bool config_ok = check_config_file(r);
    check_password_file(r);
    std::string primary;
    int primary_port = -1;
    bool have_primary = check_server_config(r, primary, primary_port);
    Config c;
    if (config_ok && load_config(c)) {
        check_status_db(r, "desktop", c.dstatus);
        check_status_db(r, "user", c.ustatus);
        check_directory(r, c, primary, primary_port, have_primary);
    } else {
        r.error("status databases and directory", "not checked; correct kxadmin.conf first");
    }
    return r.errors ? 1 : 0;
}

// ---- init -------------------------------------------------------------------

// Creates the missing directories above a file.
bool make_parents(const std::string &path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        std::string dir = path.substr(0, at);
        if (access(dir.c_str(), F_OK) == 0)
            continue;
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "%s: cannot create %s: %s\n", prog, dir.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    return true;
}

// The configuration file from the template, with the given values for its
// keys.
std::string config_text(const std::map<std::string, std::string> &values)
{
    std::string out, text = kConfigTemplate;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        size_t eq = line.find('=');
        // A key given a value is written, also where the template only
        // shows it in a comment.
        std::string key =
            eq == std::string::npos ? "" : trim(line.substr(line[0] == '#', eq - (line[0] == '#')));
        if (auto v = values.find(key); v != values.end())
            line = key + " = " + v->second;
        out += line + "\n";
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

// Whether anything of that name exists, a symbolic link too (even one that
// points nowhere).
bool present(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Writes the text to a new temporary file beside path (created
// exclusively, so never through a link); its name, or "" with a message.
std::string write_temporary(const std::string &path, const std::string &text, mode_t mode)
{
    std::string tmp = path + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              fchmod(fd, mode) == 0 && fsync(fd) == 0;
    if (fd >= 0)
        ok = close(fd) == 0 && ok;
    if (ok)
        return tmp;
    std::fprintf(stderr, "%s: cannot write %s: %s\n", prog, path.c_str(), std::strerror(errno));
    if (fd >= 0)
        unlink(tmp.c_str());
    return "";
}

// Puts a file in place under a name that must not exist in any form: the
// file is linked to the name, which fails when anything took the name in
// the meantime.
bool create_file(const std::string &path, const std::string &text, mode_t mode)
{
    std::string tmp = write_temporary(path, text, mode);
    if (tmp.empty())
        return false;
    bool ok = link(tmp.c_str(), path.c_str()) == 0;
    if (!ok)
        std::fprintf(stderr, "%s: cannot create %s: %s\n", prog, path.c_str(),
                     std::strerror(errno));
    unlink(tmp.c_str());
    return ok;
}

// Replaces a file (or puts it in place): the name is renamed over, never
// written through.
bool replace_file(const std::string &path, const std::string &text, mode_t mode)
{
    std::string tmp = write_temporary(path, text, mode);
    if (tmp.empty())
        return false;
    if (rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    std::fprintf(stderr, "%s: cannot write %s: %s\n", prog, path.c_str(), std::strerror(errno));
    unlink(tmp.c_str());
    return false;
}

// Makes a new status database at path: gdbm follows symbolic links and
// takes an existing file, so the pair is made in a directory of its own
// beside it and linked to the names, which fails when either is taken.
bool create_status_db(const std::string &path)
{
    std::string dir = path.substr(0, path.rfind('/') + 1) + ".kxadmin.XXXXXX";
    if (!mkdtemp(dir.data())) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", prog, path.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::string fresh = dir + "/db";
    DBM *db = dbm_open(fresh.data(), O_RDWR | O_CREAT | O_EXCL, 0644);
    bool ok = db != nullptr;
    if (db)
        dbm_close(db);
    std::vector<std::string> linked;
    for (const char *ext : {".dir", ".pag"}) {
        ok = ok && chmod((fresh + ext).c_str(), 0644) == 0 &&
             link((fresh + ext).c_str(), (path + ext).c_str()) == 0;
        if (ok)
            linked.push_back(path + ext);
    }
    if (!ok) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", prog, path.c_str(),
                     std::strerror(errno));
        for (const std::string &name : linked)
            unlink(name.c_str());
    }
    for (const char *ext : {".dir", ".pag"})
        unlink((fresh + ext).c_str());
    rmdir(dir.c_str());
    return ok;
}

bool init_status_db(const std::string &path, bool dry)
{
    bool dir = present(path + ".dir"), pag = present(path + ".pag");
    if (dir && pag) {
        std::printf("%s: exists\n", path.c_str());
        return true;
    }
    if (dir || pag) {
        std::fprintf(stderr, "%s: %s holds only one of its two files; not touched\n", prog,
                     path.c_str());
        return false;
    }
    std::printf("%s: %s\n", path.c_str(), dry ? "would be created" : "created");
    if (dry)
        return true;
    return make_parents(path) && create_status_db(path);
}

bool init_directory(const Config &c, bool dry)
{
    std::string pw = stored_password();
    if (pw.empty()) {
        std::printf("directory: not touched; write the password file with kxadmin passwd, then run "
                    "kxadmin init "
                    "again\n");
        return true;
    }
    int rc = 0;
    std::string reason;
    Ldap ld = bind(c, c.user, pw, rc, &reason);
    if (!ld) {
        std::fprintf(stderr, "%s: cannot bind to %s as %s: %s\n", prog, uri_of(c).c_str(),
                     c.user.c_str(), reason.c_str());
        return false;
    }
    // The entries from the top down: the suffix, the group, its containers.
    std::vector<std::string> dns;
    std::string rest = c.subtree;
    for (size_t comma; (comma = rest.find(',')) != std::string::npos; rest = rest.substr(comma + 1))
        dns.insert(dns.begin(), rest);
    dns.insert(dns.begin(), rest);
    for (const char *name : {"users", "logicalTokens", "rawTokens"})
        dns.push_back(std::string("kxName=") + name + "," + c.subtree);
    for (auto &dn : dns) {
        if (count(ld.get(), dn, LDAP_SCOPE_BASE, "(objectClass=*)", "1.1", rc) == 1) {
            std::printf("%s: exists\n", dn.c_str());
            continue;
        }
        std::string rdn = dn.substr(0, dn.find(',')), attr = rdn.substr(0, rdn.find('=')),
                    value = rdn.substr(rdn.find('=') + 1);
        bool org = attr == "o";
        char *classes[] = {const_cast<char *>("top"),
                           const_cast<char *>(org ? "organization" : "kxContainer"), nullptr};
        char *values[] = {value.data(), nullptr};
        LDAPMod oc{LDAP_MOD_ADD, const_cast<char *>("objectClass"), {classes}};
        LDAPMod name{LDAP_MOD_ADD, attr.data(), {values}};
        LDAPMod *mods[] = {&oc, &name, nullptr};
        std::printf("%s: %s\n", dn.c_str(), dry ? "would be added" : "added");
        if (dry)
            continue;
        rc = ldap_add_ext_s(ld.get(), dn.c_str(), mods, nullptr, nullptr);
        if (rc != LDAP_SUCCESS) {
            std::fprintf(stderr, "%s: cannot add %s: %s\n", prog, dn.c_str(), ldap_err2string(rc));
            return false;
        }
    }
    return true;
}

int cmd_init(int argc, char **argv)
{
    bool dry = false;
    std::map<std::string, std::string> values = {
        {"admin.dstatus.dbfile", KX_PRODUCT_ROOT "/var/opt/QRLNkx/data/dstatus"},
        {"admin.ustatus.dbfile", KX_PRODUCT_ROOT "/var/opt/QRLNkx/data/ustatus"}};
    for (int opt; (opt = getopt(argc, argv, "+ns:p:D:b:t:c:")) != -1;) {
        switch (opt) {
        case 'n':
            dry = true;
            break;
        case 's':
            values["admin.server.name"] = optarg;
            break;
        case 'p':
            values["admin.server.port"] = optarg;
            break;
        case 'D':
            values["admin.user.name"] = optarg;
            break;
        case 'b':
            values["admin.subtree"] = optarg;
            break;
        case 't':
            values["admin.server.tls"] = optarg;
            break;
        case 'c':
            values["admin.server.cacert"] = optarg;
            break;
        default:
            return 2;
        }
    }
    if (auto tls = values.find("admin.server.tls"); tls != values.end() && tls->second != "none" &&
                                                    tls->second != "starttls" &&
                                                    tls->second != "ldaps") {
        std::fprintf(stderr, "%s: -t takes none, starttls or ldaps\n", prog);
        return 2;
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument: %s\n", prog, argv[optind]);
        return 2;
    }
    bool ok = true;
    if (present(KX_ADMIN_CONF)) {
        std::printf("%s: exists\n", KX_ADMIN_CONF);
    } else {
        std::printf("%s: %s\n", KX_ADMIN_CONF, dry ? "would be created" : "created");
        ok = dry ||
             (make_parents(KX_ADMIN_CONF) && create_file(KX_ADMIN_CONF, config_text(values), 0644));
    }
    if (present(KX_DSD_CONF)) {
        std::printf("%s: exists\n", KX_DSD_CONF);
    } else if (ok) {
        // A host without the directory server's configuration is taken to
        // be the primary server, as a single server is.
        std::printf("%s: %s, this host the primary server\n", KX_DSD_CONF,
                    dry ? "would be created" : "created");
        ok = dry || (make_parents(KX_DSD_CONF) && create_file(KX_DSD_CONF, kPrimaryTemplate, 0644));
    }
    Config c;
    if (ok && !load_config(c)) {
        if (!dry) {
            std::fprintf(stderr, "%s: cannot read %s\n", prog, KX_ADMIN_CONF);
            return 1;
        }
        bool dbs = init_status_db(values["admin.dstatus.dbfile"], true) &&
                   init_status_db(values["admin.ustatus.dbfile"], true);
        std::printf("directory: not touched until %s exists\n", KX_ADMIN_CONF);
        return dbs ? 0 : 1;
    }
    ok = ok && init_status_db(c.dstatus, dry) && init_status_db(c.ustatus, dry);
    ok = ok && init_directory(c, dry);
    return ok ? 0 : 1;
}

// ---- passwd -----------------------------------------------------------------

// One line from the terminal without echo, or from standard input.
bool read_password(const Config &c, std::string &pw)
{
    bool tty = isatty(STDIN_FILENO);
    termios saved{};
    if (tty) {
        std::fprintf(stderr, "Password of %s: ", c.user.c_str());
        std::fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~ECHO;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    char buf[512];
    bool got = std::fgets(buf, sizeof buf, stdin) != nullptr;
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    pw = got ? buf : "";
    while (!pw.empty() && (pw.back() == '\n' || pw.back() == '\r'))
        pw.pop_back();
    return !pw.empty();
}

int cmd_passwd(int argc, char **)
{
    if (argc > 1)
        return 2;
    Config c;
    if (!load_config(c) || c.user.empty() || c.server.empty() || c.port == 0) {
        std::fprintf(stderr, "%s: %s names no server, port and admin.user.name; run kxadmin init\n",
                     prog, KX_ADMIN_CONF);
        return 1;
    }
    std::string pw;
    if (!read_password(c, pw)) {
        std::fprintf(stderr, "%s: no password given\n", prog);
        return 1;
    }
    int rc = 0;
    std::string reason;
    if (!bind(c, c.user, pw, rc, &reason)) {
        if (rc == LDAP_INVALID_CREDENTIALS)
            std::fprintf(stderr, "%s: %s refused the password of %s: %s\n", prog, uri_of(c).c_str(),
                         c.user.c_str(), ldap_err2string(rc));
        else
            std::fprintf(stderr, "%s: cannot bind to %s as %s: %s\n", prog, uri_of(c).c_str(),
                         c.user.c_str(), reason.c_str());
        return 1;
    }
    kx::CString scrambled(scramble_text(pw.c_str()));
    if (!scrambled || !replace_file(KX_ADMIN_PW, std::string(scrambled.get()) + "\n", 0600))
        return 1;
    std::printf("%s: written\n", KX_ADMIN_PW);
    return 0;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: kxadmin check\n"
                 "       kxadmin init [-n] [-s server] [-p port] [-D admin-dn] [-b subtree]\n"
                 "                    [-t none|starttls|ldaps] [-c cacert-file]\n"
                 "       kxadmin passwd\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string cmd = argv[1];
    argv[1] = argv[0];  // getopt's messages name the program
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);  // a server that goes away ends a request, not the run
    int rc = cmd == "check" && argc == 2 ? cmd_check()
             : cmd == "init"             ? cmd_init(argc - 1, argv + 1)
             : cmd == "passwd"           ? cmd_passwd(argc - 1, argv + 1)
                                         : 2;
    return rc == 2 ? usage() : rc;
}
