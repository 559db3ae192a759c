// kxadmin check: walks the chain that a run of kxcrypto depends on, from
// the configuration files through the status databases to the directory,
// and says for each link what is wrong and what to do.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
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

#include "kxadmin.hpp"

using namespace kxadmin;

namespace {

constexpr const char *kSuffix = "o=kxdata";

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
    struct stat st;
    bool dir = lstat((path + ".dir").c_str(), &st) == 0;
    int why = errno;
    bool pag = lstat((path + ".pag").c_str(), &st) == 0;
    why = dir ? errno : why;
    if (!dir || !pag) {
        std::string missing = path + (dir ? ".pag" : ".dir"), lone = path + (dir ? ".dir" : ".pag");
        std::string aside = orphan_name(lone);
        if (!dir && !pag)
            return r.error(step,
                           missing + ": " + std::strerror(why) + "; create it with kxadmin init");
        if (present(aside))
            return r.error(step, missing + ": " + std::strerror(why) + "; " + aside +
                                     " is taken, so kxadmin init cannot move " + lone +
                                     " aside: move or remove one of them, then run kxadmin init");
        return r.error(step, missing + ": " + std::strerror(why) + "; kxadmin init moves " + lone +
                                 " to " + aside + " and creates both files anew");
    }
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
    if (rc == LDAP_TIMEOUT || (rc == LDAP_SERVER_DOWN && reason == std::strerror(ETIMEDOUT))) {
        // The server took the connection, or left it pending, and stayed
        // silent.
        r.error(step, "no answer within " + std::to_string(c.timeout > 0 ? c.timeout : 60) +
                          (c.timeout > 0 ? " seconds (admin.ldap.timeout)" : " seconds") +
                          "; the server may be hung or overloaded");
        return false;
    }
    if (rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR) {
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

// The server groups below the suffix other than the base: the entries
// that hold the three containers.
std::vector<std::string> server_groups(LDAP *admin, const std::string &base)
{
    std::vector<std::string> groups;
    LDAPMessage *res = nullptr;
    char *attrs[] = {const_cast<char *>("1.1"), nullptr};
    int rc = ldap_search_ext_s(admin, kSuffix, LDAP_SCOPE_SUBTREE, "(kxName=rawTokens)", attrs, 0,
                               nullptr, nullptr, nullptr, 0, &res);
    kx::LdapMessage owned(res);
    for (LDAPMessage *e = rc == LDAP_SUCCESS ? ldap_first_entry(admin, res) : nullptr; e;
         e = ldap_next_entry(admin, e)) {
        kx::CString dn(ldap_get_dn(admin, e));
        std::string text = dn ? dn.get() : "";
        size_t comma = text.find(',');
        if (comma == std::string::npos || strncasecmp(text.c_str(), "kxName=rawTokens,", 17) != 0)
            continue;
        std::string group = text.substr(comma + 1);
        if (strcasecmp(group.c_str(), base.c_str()) == 0)
            continue;
        bool whole = true;
        for (const char *name : {"users", "logicalTokens"})
            whole = whole && count(admin, std::string("kxName=") + name + "," + group,
                                   LDAP_SCOPE_BASE, "(objectClass=*)", "1.1", rc) == 1;
        if (whole)
            groups.push_back(group);
    }
    std::sort(groups.begin(), groups.end());
    return groups;
}

void check_base_tree(Report &r, const Config &c, LDAP *admin)
{
    int rc = 0;
    if (count(admin, c.subtree, LDAP_SCOPE_BASE, "(objectClass=*)", "1.1", rc) != 1 &&
        rc == LDAP_NO_SUCH_OBJECT) {
        // A misspelt admin.subtree: init would make a second, empty group.
        if (std::vector<std::string> groups = server_groups(admin, c.subtree); !groups.empty()) {
            std::string names;
            for (size_t i = 0; i < groups.size(); i++)
                names += (i == 0 ? "" : i + 1 < groups.size() ? ", " : " and ") + groups[i];
            r.error("base tree", c.subtree + ": " + ldap_err2string(rc) + "; " + kSuffix +
                                     " holds the server group" + (groups.size() > 1 ? "s " : " ") +
                                     names + ": correct admin.subtree in kxadmin.conf");
            return;
        }
    }
    int missing = 0;
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

// Whether one of the server's schema definitions has that name (one of
// "NAME 'name'" or "NAME ( 'name' 'other' )"), in any case.
bool defines(const std::vector<std::string> &definitions, const std::string &name)
{
    for (auto &definition : definitions) {
        size_t at = definition.find(" NAME ");
        if (at == std::string::npos)
            continue;
        at = definition.find_first_not_of(' ', at + 6);
        if (at == std::string::npos)
            continue;
        size_t end = definition[at] == '(' ? definition.find(')', at)
                                           : definition.find('\'', definition.find('\'', at) + 1);
        std::string names = definition.substr(at, end == std::string::npos ? end : end - at + 1);
        for (size_t q = names.find('\''); q != std::string::npos;) {
            size_t close = names.find('\'', q + 1);
            if (close == std::string::npos)
                break;
            if (strcasecmp(names.substr(q + 1, close - q - 1).c_str(), name.c_str()) == 0)
                return true;
            q = names.find('\'', close + 1);
        }
    }
    return false;
}

std::vector<std::string> words(const std::string &text)
{
    std::vector<std::string> out;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = std::min(text.find(' ', at), text.size());
        out.push_back(text.substr(at, end - at));
    }
    return out;
}

// The object classes and attributes that the library searches and writes;
// false when the server lacks any.
bool check_schema(Report &r, LDAP *admin)
{
    // By the records that use them: users, logical and raw tokens,
    // security and screen configurations, generation counters.
    static const std::vector<std::string> classes =
        words("kxUser kxLogicalToken kxRawToken kxCrypto kxXconfig kxSynch");
    static const std::vector<std::string> attributes = words(
        "kxID kxName kxMisc1 kxMisc2 kxOtherInfo kxFirstTime kxStatus kxLastDesktop kxLastTime "
        "kxLogicalTokenIDs kxTokenName kxSessionType kxSessionParams kxServerName kxServerPort "
        "kxRawTokenIDs kxSecret kxTokenType kxTokenState kxEnabled kxCryptoString "
        "kxScreenResolution kxScreenRefresh kxScreenEnablePC kxScreenDefaultPC kxScreenOrdering "
        "kxScreenDimRows kxScreenDimColumns kxScreenEnableAutoSizing kxScreenEnableMultiscreen "
        "kxScreenEnableXinerama kxGenerationNumber");
    int rc = 0;
    std::vector<std::string> dse, known_classes, known_attributes;
    count(admin, "", LDAP_SCOPE_BASE, "(objectClass=*)", "subschemaSubentry", rc, &dse);
    std::string subschema = dse.empty() ? "cn=Subschema" : dse[0];
    count(admin, subschema, LDAP_SCOPE_BASE, "(objectClass=subschema)", "objectClasses", rc,
          &known_classes);
    count(admin, subschema, LDAP_SCOPE_BASE, "(objectClass=subschema)", "attributeTypes", rc,
          &known_attributes);
    std::vector<std::string> unknown;
    for (auto &name : classes)
        if (!defines(known_classes, name))
            unknown.push_back(name);
    for (auto &name : attributes)
        if (!defines(known_attributes, name))
            unknown.push_back(name);
    const size_t all = classes.size() + attributes.size();
    if (unknown.empty()) {
        r.ok("schema");
        return true;
    }
    const std::string load = "ldapadd -Y EXTERNAL -H ldapi:/// -f /etc/ldap/schema/kx.ldif "
                             "(cn=config) or include /etc/ldap/schema/kx.schema in slapd.conf";
    if (unknown.size() == all) {
        r.error("schema", "the server does not know the kx schema; load it: " + load);
        return false;
    }
    std::string names;
    for (auto &name : unknown)
        names += (names.empty() ? "" : " ") + name;
    r.error("schema", "the server does not know " + names +
                          "; its kx schema is not the current one: replace it with kx.ldif "
                          "(cn=config) or kx.schema (slapd.conf) of /etc/ldap/schema");
    return false;
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
        r.error(step, "unreachable, so directory writes fail; check the primary's host and port in "
                      "kxdsd.conf, that its slapd runs, and the network between the two hosts");
    else
        r.ok(step);
}

// Where the directory server sends writes, by what it answers one: a
// replica refers them to its provider (the referral's ldap://host:port), a
// server that takes them answers for itself (""); nullopt when the answer
// says neither.  The write cannot change anything: it deletes a value that
// is not there from an entry that does not exist.
std::optional<std::string> writes_go_to(LDAP *admin, const Config &c)
{
    std::string dn = "kxName=kxadmin-probe," + c.subtree;
    char value[] = "kxadmin-probe", *values[] = {value, nullptr};
    LDAPMod mod{};
    mod.mod_op = LDAP_MOD_DELETE;
    mod.mod_type = const_cast<char *>("kxName");
    mod.mod_values = values;
    LDAPMod *mods[] = {&mod, nullptr};
    int id = 0;
    if (ldap_modify_ext(admin, dn.c_str(), mods, nullptr, nullptr, &id) != LDAP_SUCCESS)
        return std::nullopt;
    timeval limit{c.timeout > 0 ? c.timeout : 60, 0};
    LDAPMessage *res = nullptr;
    if (ldap_result(admin, id, LDAP_MSG_ALL, &limit, &res) <= 0)
        return std::nullopt;
    int rc = LDAP_OTHER;
    char **refs = nullptr;
    if (ldap_parse_result(admin, res, &rc, nullptr, nullptr, &refs, nullptr, 1) != LDAP_SUCCESS)
        return std::nullopt;
    std::string to = refs && refs[0] ? refs[0] : "";
    ldap_memvfree(reinterpret_cast<void **>(refs));
    if (rc == LDAP_REFERRAL && !to.empty())
        return to.substr(0, to.find('/', to.find("//") + 2));
    if (rc == LDAP_NO_SUCH_OBJECT || rc == LDAP_NO_SUCH_ATTRIBUTE)
        return std::string();
    return std::nullopt;
}

// Whether the server's own role agrees with kxdsd.conf's: this host the
// primary, or a replica of the primary that kxdsd.conf names.
void check_replication(Report &r, const Config &c, LDAP *admin, const std::string &primary,
                       int primary_port)
{
    const std::string step = "replication";
    std::optional<std::string> to = writes_go_to(admin, c);
    if (!to)
        return;
    bool here = primary_port == -1 || kx_isDSprimary();
    std::string named = primary + ":" + std::to_string(primary_port);
    if (here && !to->empty())
        r.error(step, "the directory server is a replica that refers writes to " + *to +
                          ", but kxdsd.conf names this host the primary server; give this host a "
                          "replica's kxdsd.conf (a slave line whose referral names that server)");
    else if (!here && to->empty())
        r.warning(step, "the directory server takes writes itself, but kxdsd.conf names " + named +
                            " the primary server, where the library sends its existence tests");
    else if (!here && !_kx_isPrimaryURL(to->c_str()))
        r.error(step, "the directory server refers writes to " + *to + ", but kxdsd.conf names " +
                          named + " the primary server; make the slave line's referral name " +
                          *to);
    else if (here)
        r.ok(step, "the directory server takes writes itself");
    else
        r.ok(step, "writes are referred to " + *to + ", the primary server of kxdsd.conf");
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
    // Without the schema the tree cannot hold the product's entries, and
    // its names may not even parse: the schema comes first.
    if (check_schema(r, admin.get())) {
        check_base_tree(r, c, admin.get());
        check_secrets(r, c, admin.get(), anon.get());
    }
    if (have_primary && primary_port != -1 && !kx_isDSprimary())
        check_primary_server(r, primary, primary_port);
    if (have_primary)
        check_replication(r, c, admin.get(), primary, primary_port);
}

}  // namespace

int kxadmin::cmd_check()
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
