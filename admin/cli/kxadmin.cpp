// kxadmin - sets up and diagnoses what kxcrypto and the other programs of
// the product need: the administration files, the status databases and the
// directory.
//
//   kxadmin check       walks the chain a run of kxcrypto depends on
//                       (kxadmin_check.cpp)
//   kxadmin init        creates what is missing and safe to create
//   kxadmin passwd      writes the administrator's password file
//                       (both kxadmin_init.cpp)
//
// This file holds what the commands share, and the command line.

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

namespace kxadmin {

const char *prog = "kxadmin";

bool readable_by_others(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH);
}

bool present(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string orphan_name(const std::string &path) { return path + ".orphan"; }

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
          std::string *reason)
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
          int &rc, std::vector<std::string> *values)
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

}  // namespace kxadmin

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: kxadmin check\n"
                 "       kxadmin init [-n] [-s server] [-p port] [-D admin-dn] [-b subtree]\n"
                 "                    [-t none|starttls|ldaps] [-c cacert-file]\n"
                 "                    [-r primary[:port]]\n"
                 "       kxadmin passwd\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    using namespace kxadmin;
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