// Shared pieces of the directory tests: the captured system log, the test
// bed's directory seen through the OpenLDAP command line tools (an
// independent client that works as the administrator), the names of the
// containers and entries, library records, and the fixtures that open
// sessions and clean up after their tests.
#ifndef KX_DS_SUPPORT_H
#define KX_DS_SUPPORT_H

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <syslog.h>

#include <gtest/gtest.h>

#include "admin_private.h"
#include "admin_token.h"
#include "testbed_env.h"

namespace ds {

using Strings = std::vector<std::string>;

const TestBed &bed();

// The test bed is described and the directory for scratch files exists;
// the first thing every fixture asserts.
::testing::AssertionResult testbed_ready();

// The whole content of a file ("" when it cannot be read).
std::string slurp(const std::string &path);
std::string lower(std::string s);

// Polls the condition up to tries times, a tenth of a second apart; true
// as soon as it holds.
bool eventually(const std::function<bool()> &condition, int tries = 100);

// ---- the system log ------------------------------------------------------------

// The priorities the library logs with: its debug and error messages, and
// the administrative log of the changes it made.
constexpr int kDebugPriority = LOG_INFO;
constexpr int kAdminPriority = LOG_LOCAL1 | LOG_INFO;

struct LogRecord {
    std::string message;
    int priority;
    bool operator==(const LogRecord &) const = default;
};
std::ostream &operator<<(std::ostream &os, const LogRecord &r);

// What the process logged since the last kxcap_clear(), in order.
std::vector<LogRecord> log_records();
// The records one a line, for failure messages.
std::string log_dump();
// How often text was logged (with this priority, unless it is negative).
int times_logged(const std::string &text, int priority = -1);
::testing::AssertionResult logged(const std::string &text, int priority = -1);
// No record holds part anywhere in its message.
::testing::AssertionResult nothing_logged_containing(const std::string &part);
// The messages of the administrative log, in order.
Strings admin_log();

// ---- the servers and their operation logs --------------------------------------

// The server that the library's sessions talk to (the consumer of a
// replicated pair).
std::string local_uri();
// The configuration file of the test bed with some keys changed; an empty
// value drops the key.  The name of a new file below KX_TEST_TMP.
std::string config_variant(const std::map<std::string, std::string> &changes);

// The size of the server's operation log, and what it logged since an
// earlier size.
size_t slapd_log_size();
std::string slapd_log_since(size_t offset);
// Lower case, without the blanks that may follow the commas of a DN, so
// that DNs from the operation log compare with ours.
std::string squeeze_dn(const std::string &dn);

// ---- the OpenLDAP command line tools -------------------------------------------

std::string sh_quote(const std::string &s);
// The options that bind the tools to the server as the administrator.
std::string admin_credentials(const std::string &uri = local_uri());

std::string base64(const std::string &in);

// One entry as ldapsearch printed it: each attribute name as the server
// writes it, with its values in the server's order; the DN under "dn".
using Attrs = std::map<std::string, Strings>;

// The entries ldapsearch finds, in the server's order; base64 values
// decoded.  Nothing when the search fails.
std::vector<Attrs> ldap_find(const std::string &base, const std::string &filter, const std::string &scope = "sub",
                             const std::string &uri = local_uri());
// The entry named dn, if there is one.
std::optional<Attrs> read_entry(const std::string &dn, const std::string &uri = local_uri());
// The single entry with this id directly in the container.
std::optional<Attrs> entry_in(const std::string &container, const std::string &id);

// The values of an attribute, whatever the case of its name; a missing
// entry reads as the single value "(no entry)".
Strings values(const Attrs &e, const std::string &attr);
Strings values(const std::optional<Attrs> &e, const std::string &attr);
bool has(const Attrs &e, const std::string &attr);
// The entry without its DN and with the values of each attribute sorted,
// to compare with a literal.
Attrs sorted_attrs(Attrs e);

// The attribute-value pairs of an LDIF record, in order.
using Fields = std::vector<std::pair<std::string, std::string>>;
// LDIF that adds one entry; every value goes base64 so that blanks, tabs
// and newlines arrive as written.
std::string ldif_add(const std::string &dn, const Fields &fields);

// ldapmodify, and ldapmodify -a, with the LDIF given; the tool's status.
int ldapmodify(const std::string &ldif, const std::string &uri = local_uri());
int ldapadd(const std::string &ldif, const std::string &uri = local_uri());
// Deletes the entries in the given order, each with everything below it,
// whether they exist or not.
void ldapdelete(const Strings &dns, const std::string &uri = local_uri());

// ---- names in the directory ---------------------------------------------------------

std::string subtree();
std::string users_base();
std::string logical_tokens_base();
std::string raw_tokens_base();

// An id written as an RDN value, and as a filter value.
std::string dn_escape(const std::string &id);
std::string filter_escape(const std::string &id);

std::string user_dn(const std::string &id);
std::string logical_dn(const std::string &id);
std::string raw_dn(const std::string &id);

std::optional<Attrs> user_entry(const std::string &id);

// ---- library records ---------------------------------------------------------------

// A heap copy the library may free; NULL stays NULL.
char *dup(const char *s);
// A NULL-terminated list of heap copies, as the records hold them.
char **id_list(const Strings &ids);
// The texts of a NULL-terminated list (none for NULL).
Strings strings(char **list);
// A heap string handed back by the library: its text, and freed.
std::optional<std::string> take(char *s);

struct UserFree {
    void operator()(KXUser *u) const { free_user(u); }
};
struct RawFree {
    void operator()(KXRawToken *t) const { free_raw_token(t); }
};
using User = std::unique_ptr<KXUser, UserFree>;
using Raw = std::unique_ptr<KXRawToken, RawFree>;

// ---- fixtures -----------------------------------------------------------------------

// A fixture whose tests open administration sessions and leave entries in
// the directory.  close_sessions() (at the latest the fixture's end) closes
// the sessions still open; remove_entries() deletes the entries named with
// remove_later(), the last named first.  TearDown() does both.
class DirectoryTest : public ::testing::Test {
protected:
    ~DirectoryTest() override;
    void TearDown() override;
    // open_connection() with the test bed's configuration, or with the
    // configuration file named; NULL when it fails, and then the error code
    // must say so.
    KXAdmin open(int mode, const std::string &config = "");
    // The same with the given bind DN and password.
    KXAdmin open(int mode, const char *dn, const char *pw, const std::string &config = "");
    // A session opened otherwise, closed with the others.
    void keep(KXAdmin k);
    // Closes one session before the end of the test.
    void close_session(KXAdmin k);
    void close_sessions();

    // The entry is deleted at the end of the test, with whatever lies below
    // it, also when the library made it.
    void remove_later(const std::string &dn);
    void remove_entries(const std::string &uri = local_uri());

    std::vector<KXAdmin> sessions_;

private:
    Strings leftovers_;
};

// The fixture of the record tests: a read-write session k_, and records of
// the user status database that the tests add and that go again at the end
// with the entries.
class StoreTest : public DirectoryTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // A user status record written through k_.
    void add_status(const std::string &id, const char *name, int create_time, int status, const char *last_desktop,
                    int last_time);

    KXAdmin k_ = nullptr;

private:
    Strings status_ids_;
};

} // namespace ds

#endif
