// Shared pieces of the end-to-end tests of kxcrypto: running the real tool
// against the test bed's directory, and looking at what the directory holds
// through ldapsearch, an independent client.
#ifndef KX_E2E_SUPPORT_H
#define KX_E2E_SUPPORT_H

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "testbed_env.h"
#include "tool_runner.h"

namespace e2e {

// ---- texts of the tool ---------------------------------------------------------

extern const std::string kUsage;
extern const std::string kRestart;
extern const std::string kAdded;
extern const std::string kModified;
extern const std::string kDeleted;
extern const std::string kNoConfig;
extern const std::string kExists;
extern const std::string kNoExplicit;
extern const std::string kOneOp;
extern const std::string kNoPairs;
extern const std::string kNoConnect;
extern const std::string kInternal;
extern const std::string kCannotAdd;
extern const std::string kCannotModify;
extern const std::string kCannotDelete;

// One row of the readable display: key, value, inherited mark.
using Row = std::tuple<std::string, std::string, char>;
// The whole display of the default token with these rows.
std::string display(const std::vector<Row> &rows);
// The display of the five built-in values, all inherited.
std::string builtin_display();

// ---- running the tool -------------------------------------------------------------

// kxcrypto as root, seen by itself as "kxcrypto".
ToolResult kxcrypto(const std::vector<std::string> &args, const std::string &input = "");
// kxcrypto under other real/effective user ids; its name is then the binary path.
ToolResult kxcrypto_as(int ruid, int euid, const std::vector<std::string> &args);

// Compares all three outcomes of one run.
#define EXPECT_RUN(r, status_, out_, err_)            \
    do {                                              \
        const ToolResult run_result_ = (r);           \
        EXPECT_EQ(run_result_.out, (out_));           \
        EXPECT_EQ(run_result_.err, (err_));           \
        EXPECT_EQ(run_result_.status, (status_));     \
    } while (0)

// ---- the directory ------------------------------------------------------------------

const TestBed &bed();
bool replicated();
// The server the tool's session talks to (the consumer when replicated).
std::string session_uri();
// The server that takes writes (the provider when replicated).
std::string write_uri();
std::string token_dn();

// The default token's entry as ldapsearch shows it.
struct TokenEntry {
    bool exists = false;
    std::multimap<std::string, std::string> attrs;   // lower-case attribute names
    bool has_class(const std::string &oc) const;
    std::string first(const std::string &attr) const;   // "" when absent
    size_t count(const std::string &attr) const;
};
TokenEntry read_token(const std::string &uri);

// What the directory holds as the default token's configuration:
// "<no entry>", "<none>" (entry without kxCrypto and kxCryptoString), the
// kxCryptoString value, or a description of an inconsistent entry.
std::string stored(const std::string &uri);
// On the server the tool's session talks to.
std::string stored();

int ldap_modify(const std::string &uri, const std::string &ldif, std::string *output = nullptr);
int ldap_add(const std::string &uri, const std::string &ldif, std::string *output = nullptr);

// Removes the default token's raw token entry (configuration and all) and,
// when replicated, waits until the consumer has lost it too.
void remove_token_entry();
// Puts the entry back with exactly this crypto string, written directly.
void put_crypto_string(const std::string &value);

// Polls until the condition holds or the time is up.
bool eventually(const std::function<bool()> &condition, double seconds = 10);

// A file replaced for the length of a scope and then restored, content and
// permissions.
class SwappedFile {
public:
    SwappedFile(const std::string &path, const std::string &content, bool remove = false);
    ~SwappedFile();
    SwappedFile(const SwappedFile &) = delete;
    SwappedFile &operator=(const SwappedFile &) = delete;

private:
    std::string path_;
    std::string saved_;
    bool existed_ = false;
    unsigned mode_ = 0600;
};

// The content of a key=value configuration file with one key set.
std::string with_setting(const std::string &content, const std::string &key, const std::string &value);
std::string rot13(std::string text);
std::string slurp(const std::string &path);

// Every test starts and ends without a default token entry.
class Kxcrypto : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string scratch_;   // a fresh directory for the test's files
};

} // namespace e2e

#endif
