// kxadmin init and kxadmin passwd: create what is missing and safe to
// create (the administration files, the status databases, the directory's
// base tree), and write the administrator's password file.
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

#include "kxadmin.hpp"

using namespace kxadmin;

namespace {

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

// Moves the lone file of a half database to its orphan name: linked there
// (which neither follows a symbolic link nor takes a name in use), then
// unlinked.
bool move_aside(const std::string &lone, bool dry)
{
    std::string aside = orphan_name(lone);
    if (dry) {
        std::printf("%s: would be moved to %s\n", lone.c_str(), aside.c_str());
        return true;
    }
    if (link(lone.c_str(), aside.c_str()) != 0 || unlink(lone.c_str()) != 0) {
        std::fprintf(stderr, "%s: cannot move %s to %s: %s\n", prog, lone.c_str(), aside.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::printf("%s: moved to %s\n", lone.c_str(), aside.c_str());
    return true;
}

bool init_status_db(const std::string &path, bool dry)
{
    bool dir = present(path + ".dir"), pag = present(path + ".pag");
    if (dir && pag) {
        std::printf("%s: exists\n", path.c_str());
        return true;
    }
    // One file without the other is no database: it goes aside, and the
    // pair is made anew.
    if ((dir || pag) && !move_aside(path + (dir ? ".dir" : ".pag"), dry))
        return false;
    if (dry) {
        std::printf("%s: would be created\n", path.c_str());
        return true;
    }
    if (!make_parents(path) || !create_status_db(path))
        return false;
    std::printf("%s: created\n", path.c_str());
    return true;
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
        if (dry) {
            std::printf("%s: would be added\n", dn.c_str());
            continue;
        }
        // Each entry needs the one above it: the first that fails ends the
        // step.  A replica refers the add to its provider, whose entries
        // it copies.
        rc = ldap_add_ext_s(ld.get(), dn.c_str(), mods, nullptr, nullptr);
        if (rc == LDAP_REFERRAL) {
            std::fprintf(stderr,
                         "%s: %s: missing on this replica; run kxadmin init on the primary "
                         "server, whose entries the replica copies\n",
                         prog, dn.c_str());
            return false;
        }
        if (rc != LDAP_SUCCESS) {
            std::fprintf(stderr, "%s: cannot add %s: %s\n", prog, dn.c_str(), ldap_err2string(rc));
            return false;
        }
        std::printf("%s: added\n", dn.c_str());
    }
    return true;
}

// The primary server given as host or host:port, as "host:port" (port 389
// unless given); "" when the value is not a host name or address with an
// optional port from 1 to 65535.
std::string primary_of(const std::string &value)
{
    size_t colon = value.find(':');
    std::string host = value.substr(0, colon);
    std::string port = colon == std::string::npos ? "389" : value.substr(colon + 1);
    if (host.empty() || host.find_first_of(" \t\"/\\:") != std::string::npos || port.empty() ||
        port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return "";
    int number = std::stoi(port);
    return number >= 1 && number <= 65535 ? host + ":" + port : "";
}

// The directory server's configuration: with a primary server (host:port),
// a replica's from the replica's example, its referral naming that server;
// else the primary's, as a single server has.
bool init_ds_conf(const std::string &primary, bool dry)
{
    std::string role = primary.empty() ? "this host the primary server" : "a replica of " + primary;
    if (present(KX_DSD_CONF)) {
        std::printf("%s: exists\n", KX_DSD_CONF);
        return true;
    }
    if (dry) {
        std::printf("%s: would be created, %s\n", KX_DSD_CONF, role.c_str());
        return true;
    }
    std::string text = primary.empty() ? kPrimaryTemplate : kReplicaTemplate;
    const std::string example = "ldap://primary.example.org:389";
    if (size_t at = text.find(example); !primary.empty() && at != std::string::npos)
        text.replace(at, example.size(), "ldap://" + primary);
    if (!make_parents(KX_DSD_CONF) || !create_file(KX_DSD_CONF, text, 0644))
        return false;
    std::printf("%s: created, %s\n", KX_DSD_CONF, role.c_str());
    return true;
}

}  // namespace

int kxadmin::cmd_init(int argc, char **argv)
{
    bool dry = false;
    std::map<std::string, std::string> values = {
        {"admin.dstatus.dbfile", KX_PRODUCT_ROOT "/var/opt/QRLNkx/data/dstatus"},
        {"admin.ustatus.dbfile", KX_PRODUCT_ROOT "/var/opt/QRLNkx/data/ustatus"}};
    // The options that give a key of kxadmin.conf its value.
    static const std::map<int, const char *> keys = {
        {'s', "admin.server.name"}, {'p', "admin.server.port"}, {'D', "admin.user.name"},
        {'b', "admin.subtree"},     {'t', "admin.server.tls"},  {'c', "admin.server.cacert"}};
    std::string replica_of;
    for (int opt; (opt = getopt(argc, argv, "+ns:p:D:b:t:c:r:")) != -1;) {
        if (opt == 'n')
            dry = true;
        else if (opt == 'r')
            replica_of = optarg;
        else if (auto key = keys.find(opt); key != keys.end())
            values[key->second] = optarg;
        else
            return 2;
    }
    if (auto tls = values.find("admin.server.tls"); tls != values.end() && tls->second != "none" &&
                                                    tls->second != "starttls" &&
                                                    tls->second != "ldaps") {
        std::fprintf(stderr, "%s: -t takes none, starttls or ldaps\n", prog);
        return 2;
    }
    if (!replica_of.empty() && (replica_of = primary_of(replica_of)).empty()) {
        std::fprintf(stderr, "%s: -r takes the primary server as host or host:port\n", prog);
        return 2;
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument: %s\n", prog, argv[optind]);
        return 2;
    }
    // Every step is tried, whatever an earlier one did; the exit status
    // says whether any failed.
    bool ok = true;
    if (present(KX_ADMIN_CONF)) {
        std::printf("%s: exists\n", KX_ADMIN_CONF);
    } else if (dry) {
        std::printf("%s: would be created\n", KX_ADMIN_CONF);
    } else if (make_parents(KX_ADMIN_CONF) &&
               create_file(KX_ADMIN_CONF, config_text(values), 0644)) {
        std::printf("%s: created\n", KX_ADMIN_CONF);
    } else {
        ok = false;
    }
    ok = init_ds_conf(replica_of, dry) && ok;
    Config c;
    if (!load_config(c)) {
        if (!dry) {
            std::fprintf(stderr, "%s: cannot read %s\n", prog, KX_ADMIN_CONF);
            return 1;
        }
        bool dbs = init_status_db(values["admin.dstatus.dbfile"], true);
        dbs = init_status_db(values["admin.ustatus.dbfile"], true) && dbs;
        std::printf("directory: not touched until %s exists\n", KX_ADMIN_CONF);
        return dbs && ok ? 0 : 1;
    }
    ok = init_status_db(c.dstatus, dry) && ok;
    ok = init_status_db(c.ustatus, dry) && ok;
    ok = init_directory(c, dry) && ok;
    return ok ? 0 : 1;
}

namespace {

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

}  // namespace

int kxadmin::cmd_passwd(int argc, char **)
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
