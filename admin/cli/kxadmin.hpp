// What the commands of kxadmin share: the session settings of the
// configuration file, connections made as the library makes them, and a few
// helpers of text and files.
#ifndef KXADMIN_HPP
#define KXADMIN_HPP

#include <memory>
#include <string>
#include <vector>

#include <ldap.h>
#include <sys/types.h>

namespace kxadmin {

extern const char *prog;

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

bool readable_by_others(const std::string &path);
// Whether anything of that name exists, a symbolic link too (even one that
// points nowhere).
bool present(const std::string &path);
// Where kxadmin init moves the lone file of a status database that lacks
// its other file.
std::string orphan_name(const std::string &path);
// A mode as four octal digits.
std::string mode_text(mode_t mode);
// A text without the blanks, tabs and newlines at its ends, as the
// library's reader strips keys and values.
std::string trim(const std::string &s);
// The session settings of the configuration file, read by the library's
// own reader; false when the file cannot be read.
bool load_config(Config &c);
std::string uri_of(const Config &c);
// A connection made and secured as the library's sessions are, without
// following referrals, and a simple bind; the LDAP result code of the bind
// (or of the step of the connection that failed) in rc.
Ldap bind(const Config &c, const std::string &dn, const std::string &pw, int &rc,
          std::string *reason = nullptr);
// Entries found by a search, or -1 with rc set; the values of attr of the
// entries found go to *values.
int count(LDAP *ld, const std::string &base, int scope, const char *filter, const char *attr,
          int &rc, std::vector<std::string> *values = nullptr);
// The administrator's password from the password file, or "".
std::string stored_password();

// The commands: the exit status (2: usage).
int cmd_check();
int cmd_init(int argc, char **argv);
int cmd_passwd(int argc, char **argv);

}  // namespace kxadmin

#endif
