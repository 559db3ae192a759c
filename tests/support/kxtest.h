// The one support unit of the in-process tests: files and commands, what
// the library sent to the system log, owned library records, and the
// directory test bed seen through the OpenLDAP command line tools.
#ifndef KX_TEST_H
#define KX_TEST_H

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "admin_crypto.h"
#include "admin_token.h"
#include "utils.h"

namespace kxt {

using Strings = std::vector<std::string>;

// ---- files and commands --------------------------------------------------
std::string slurp(const std::string &path);  // "" when unreadable
void spit(const std::string &path, const std::string &text, int mode = 0644);
std::string scratch(const std::string &tag);                    // a fresh directory, mode 0777
std::string q(const std::string &s);                            // quoted for the shell
std::string sh(const std::string &cmd, int *status = nullptr);  // its stdout

// A listener on a free port of 127.0.0.1 (Listener(1).port: a port that
// refuses connections once it is gone).  take() accepts one connection
// within ten seconds and returns what it receives until it falls silent
// for idle_ms; the connection is then closed, never answered.
struct Listener {
    int fd = -1, port = 0;
    explicit Listener(int backlog);
    ~Listener();
    std::string take(int idle_ms);
};

// ---- the system log (captured in kxtest.cpp) -----------------------------
// Every record since the last clear, one "<priority> <message>" a line.
std::string logs();
void clear_logs();

// ---- library values ------------------------------------------------------
inline char *m(const char *s) { return const_cast<char *>(s); }  // for char * parameters
char *dup(const char *s);                                        // heap copy the library may free
char **ids(const Strings &v);                                    // NULL-terminated heap list
Strings strs(char **list);                                       // the texts of such a list
std::string take(char *s);  // text of a returned string, freed; "(null)" for NULL

template <auto F> struct Free {
    template <class T> void operator()(T *p) const { F(p); }
};
template <class T, auto F> using Own = std::unique_ptr<T, Free<F>>;
using Session = Own<KXAdminStruct, close_connection>;
using User = Own<KXUser, free_user>;
using LToken = Own<KXLogicalToken, free_logical_token>;
using RToken = Own<KXRawToken, free_raw_token>;
using Crypto = Own<kx_CryptoEnt_t, kx_freeCryptoEnt>;
using Xconf = Own<KXXconfig, kx_freeXconf>;

// ---- the directory test bed ----------------------------------------------
// A value of the test bed's description (KX_TESTBED_ENV), "" without one.
std::string bed(const std::string &key);
// A session on the test bed with the default configuration file.
Session open(int mode = KX_MODE_PASSWD_FILE);
// A test with sessions on the test bed: k as the administrator, anon
// anonymous.
struct Dir : testing::Test {
    Session s = open(), anon = open(KX_MODE_ANONYMOUS);
    KXAdmin k = s.get();
    void SetUp() override { ASSERT_TRUE(s && anon); }
};
// ldapsearch -LLL as the administrator: the entries as LDIF without line
// wrapping, "" when none.  uri "" is the session's server.
std::string ldif(const std::string &base, const std::string &scope = "base",
                 const std::string &filter = "(objectClass=*)", const std::string &attrs = "",
                 const std::string &uri = "");
// ldapmodify (ldapadd with add) of the text; the tool's exit status.
int ldapmodify(const std::string &text, bool add = false, const std::string &uri = "");
// Removes the entries and everything below them, whether they exist or not.
void ldapdelete(const Strings &dns, const std::string &uri = "");
// LDIF that adds a token entry (logical below kxName=logicalTokens, else
// raw), with a configuration unless crypto is NULL.
std::string token_ldif(const std::string &dn, const char *crypto);
// The object classes and the crypto string of the entry named dn, each
// followed by a blank; "-" without an entry.
std::string conf_of(const std::string &dn);
// Takes the generation counter off the container kxName=<name>; the
// ldapmodify exit status.
int remove_counter(const std::string &name);
// DNs below admin.subtree: of a user, a logical and a raw token by id.
std::string user_dn(const std::string &id);
std::string ltoken_dn(const std::string &id);
std::string rtoken_dn(const std::string &id);

}  // namespace kxt

// ---- one call at a time, and what the directory tests share ---------------
#include <initializer_list>
#include <tuple>
#include <utility>

namespace kxt {

// A table of cases, one tuple a row: for (auto [in, want] : Rows<A, B>{...}).
template <class... T> using Rows = std::initializer_list<std::tuple<T...>>;

// A call's return code with what it wrote to the log.
using Logged = std::pair<int, std::string>;
// What one call wrote to the log (the captured log cleared first).
template <class F> std::string logs_of(F &&call)
{
    clear_logs();
    call();
    return logs();
}
// What one call returned, with what it logged.
template <class F> auto logged(F &&call)
{
    clear_logs();
    auto result = call();
    return std::pair{result, logs()};
}
// The return code and the log of one call, expected to be rc and log.
#define EXPECT_LOGGED(call, rc, log)                                                               \
    EXPECT_EQ(kxt::logged([&] { return call; }), kxt::Logged(rc, log))
// What one call printed on standard output.
template <class F> std::string printed(F &&call)
{
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
}
// The attribute lines of the entry named dn (those asked for), without its
// name and the last line break; "-" without an entry.  uri "" is the
// session's server.
std::string at(const std::string &dn, const std::string &attrs = "", const std::string &uri = "");
// LDIF that adds the entry named dn, a user, a logical or a raw token as its
// container says, with the ids it lists (a user its logical tokens, a
// logical token its raw tokens) and more attribute lines.
std::string record_ldif(const std::string &dn, const Strings &ids = {},
                        const std::string &more = "");
// The ids that f hands back through its out-parameter, joined by blanks:
// "NULL" when it set the list to NULL, "untouched" when it left it alone;
// f's result in rc.
std::string ids_of(int (*f)(KXAdmin, char *, char ***), KXAdmin k, const std::string &id, int &rc);
// "id pair|pair 'origin'" of a security configuration.
std::string shown(const kx_CryptoEnt_t *e);
// A copy of the test bed's configuration file with the first `from` made
// `to`, in a directory of its own; its path.
std::string conf_copy(const std::string &from, const std::string &to);

}  // namespace kxt

#endif
