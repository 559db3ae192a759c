#include "e2e_support.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "kxcrypto_texts.h"

namespace e2e {

const std::string kUsage = kxcrypto_usage_text;

const std::string kRestart = "A warm or cold restart of services must be performed.\n";
const std::string kAdded = "Configuration successfully added.\n";
const std::string kModified = "Configuration successfully modified.\n";
const std::string kDeleted = "Successfully deleted configuration for the default token.\n";
const std::string kNoConfig = "kxcrypto: Configuration for the default token doesn't exist.\n";
const std::string kExists = "kxcrypto: Configuration for the default token already exists.\n";
const std::string kNoExplicit =
    "kxcrypto: An explicit configuration for the default token doesn't exist.  "
    "Internal default values will be used.\n";
const std::string kOneOp =
    "kxcrypto: Must perform one operation at a time.\n"
    "Please specify only one of the -a, -d, -e, -m\n"
    "and -o options.\n";
const std::string kNoPairs = "kxcrypto: No key value pairs specified.\n";
const std::string kNoConnect = "kxcrypto: Could not connect to admin server.\n";
const std::string kInternal = "kxcrypto: Internal system error\n";
const std::string kCannotAdd = "kxcrypto: Unable to add configuration for default token.\n";
const std::string kCannotModify = "kxcrypto: Unable to modify configuration for the default token.\n";
const std::string kCannotDelete = "kxcrypto: Could not delete default token configuration.\n";

namespace {

std::string pad15(const std::string &s)
{
    return s.size() >= 15 ? s : s + std::string(15 - s.size(), ' ');
}

std::string quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string tmp_path(const std::string &tag)
{
    static int serial = 0;
    mkdir(KX_TEST_TMP, 0777);
    return std::string(KX_TEST_TMP) + "/" + tag + "." + std::to_string(getpid()) + "." +
           std::to_string(++serial);
}

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::string &in)
{
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += kB64[v >> 18 & 63];
        out += kB64[v >> 12 & 63];
        out += kB64[v >> 6 & 63];
        out += kB64[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        out += kB64[v >> 18 & 63];
        out += kB64[v >> 12 & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += kB64[v >> 18 & 63];
        out += kB64[v >> 12 & 63];
        out += kB64[v >> 6 & 63];
        out += '=';
    }
    return out;
}

std::string unbase64(const std::string &in)
{
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : in) {
        const char *p = std::strchr(kB64, c);
        if (c == '=' || !p || !c)
            continue;
        v = v << 6 | static_cast<unsigned>(p - kB64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>(v >> bits & 0xff);
        }
    }
    return out;
}

std::string lower(std::string s)
{
    for (auto &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string ldap_tool(const std::string &tool, const std::string &uri, const std::string &rest, int *status)
{
    return shell("LDAPNOINIT=1 " + tool + " -x -H " + quote(uri) + " -D " + quote(bed()["KX_ADMIN_DN"]) +
                     " -w " + quote(bed()["KX_ADMIN_PW"]) + " " + rest + " 2>&1",
                 status);
}

int run_ldif(const std::string &tool, const std::string &uri, const std::string &ldif, std::string *output)
{
    std::string path = tmp_path("ldif");
    write_file(path, ldif);
    int status = 0;
    std::string out = ldap_tool(tool, uri, "-f " + quote(path), &status);
    std::remove(path.c_str());
    if (output)
        *output = out;
    return status;
}

} // namespace

std::string display(const std::vector<Row> &rows)
{
    std::string out = "Token ID: default.token\n"
                      "\tKey            \tValue          \tInherited      \n"
                      "\t---\t\t-----\t\t-------\n";
    for (const auto &[key, value, mark] : rows)
        out += "\t" + pad15(key) + "\t" + pad15(value) + "\t" + std::string(1, mark) + "\n";
    return out;
}

std::string builtin_display()
{
    return display({{"enc_up_type", "none", '*'},
                    {"enc_down_type", "none", '*'},
                    {"auth_up_type", "none", '*'},
                    {"auth_down_type", "none", '*'},
                    {"mode", "soft", '*'}});
}

ToolResult kxcrypto(const std::vector<std::string> &args, const std::string &input)
{
    ToolRun run;
    run.argv.push_back(KXCRYPTO_BIN);
    run.argv.insert(run.argv.end(), args.begin(), args.end());
    run.argv0 = "kxcrypto";
    run.input = input;
    return run_tool(run);
}

ToolResult kxcrypto_as(int ruid, int euid, const std::vector<std::string> &args)
{
    ToolRun run;
    run.argv.push_back(KXCRYPTO_BIN);
    run.argv.insert(run.argv.end(), args.begin(), args.end());
    run.ruid = ruid;
    run.euid = euid;
    ToolResult r = run_tool(run);
#if defined(__SANITIZE_ADDRESS__)
    // A process whose real and effective ids differ is not dumpable, and
    // LeakSanitizer cannot stop it at exit to look for leaks; it then adds
    // its own fatal-error notice.  That notice is the sanitizer's, not the
    // tool's, and is taken out (only in sanitizer builds).
    if (ruid != euid) {
        std::istringstream in(r.err);
        std::string line, kept;
        bool lsan = false;
        while (std::getline(in, line)) {
            bool marker = line.size() > 2 && line.compare(0, 2, "==") == 0 &&
                          line.find("==", 2) != std::string::npos;
            if (marker && line.find("LeakSanitizer has encountered a fatal error.") != std::string::npos)
                lsan = true;
            if (lsan && marker)
                continue;
            kept += line + "\n";
        }
        if (lsan)
            r.err = kept;
    }
#endif
    return r;
}

const TestBed &bed()
{
    return TestBed::get();
}

bool replicated()
{
    return bed()["KX_TESTBED_MODE"] == "replicated";
}

std::string session_uri()
{
    return bed()["KX_LDAP_URI"];
}

std::string write_uri()
{
    return replicated() ? bed()["KX_PROVIDER_URI"] : bed()["KX_LDAP_URI"];
}

std::string token_dn()
{
    return "kxID=default.token,kxName=rawTokens," + bed()["KX_SUBTREE"];
}

bool TokenEntry::has_class(const std::string &oc) const
{
    auto [b, e] = attrs.equal_range("objectclass");
    for (auto it = b; it != e; ++it)
        if (lower(it->second) == lower(oc))
            return true;
    return false;
}

std::string TokenEntry::first(const std::string &attr) const
{
    auto it = attrs.find(lower(attr));
    return it == attrs.end() ? "" : it->second;
}

size_t TokenEntry::count(const std::string &attr) const
{
    return attrs.count(lower(attr));
}

TokenEntry read_token(const std::string &uri)
{
    TokenEntry entry;
    int status = 0;
    std::string out = ldap_tool("ldapsearch", uri,
                                "-LLL -o ldif-wrap=no -s base -b " + quote(token_dn()) +
                                    " '(objectClass=*)' '*'",
                                &status);
    if (status == 32)
        return entry;
    if (status != 0) {
        ADD_FAILURE() << "ldapsearch on " << uri << " failed (" << status << "): " << out;
        return entry;
    }
    entry.exists = true;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (line.empty() || colon == std::string::npos)
            continue;
        std::string name = lower(line.substr(0, colon));
        if (name == "dn")
            continue;
        std::string rest = line.substr(colon + 1);
        std::string value;
        if (!rest.empty() && rest[0] == ':') {
            size_t p = rest.find_first_not_of(' ', 1);
            value = p == std::string::npos ? "" : unbase64(rest.substr(p));
        } else {
            value = rest.empty() ? "" : rest.substr(rest[0] == ' ' ? 1 : 0);
        }
        entry.attrs.emplace(name, value);
    }
    return entry;
}

std::string stored(const std::string &uri)
{
    TokenEntry e = read_token(uri);
    if (!e.exists)
        return "<no entry>";
    bool oc = e.has_class("kxCrypto");
    size_t n = e.count("kxCryptoString");
    if (!oc && n == 0)
        return "<none>";
    if (oc && n == 1)
        return e.first("kxCryptoString");
    return "<inconsistent: kxCrypto class " + std::string(oc ? "present" : "absent") + ", " +
           std::to_string(n) + " kxCryptoString values>";
}

std::string stored()
{
    return stored(session_uri());
}

int ldap_modify(const std::string &uri, const std::string &ldif, std::string *output)
{
    return run_ldif("ldapmodify", uri, ldif, output);
}

int ldap_add(const std::string &uri, const std::string &ldif, std::string *output)
{
    return run_ldif("ldapadd", uri, ldif, output);
}

bool eventually(const std::function<bool()> &condition, double seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void remove_token_entry()
{
    int status = 0;
    std::string out = ldap_tool("ldapdelete", write_uri(), quote(token_dn()), &status);
    if (status != 0 && status != 32)
        ADD_FAILURE() << "ldapdelete failed (" << status << "): " << out;
    if (replicated()) {
        EXPECT_TRUE(eventually([] { return !read_token(bed()["KX_CONSUMER_URI"]).exists; }, 20))
            << "the consumer kept the default token's entry";
    }
}

void put_crypto_string(const std::string &value)
{
    remove_token_entry();
    std::string ldif = "dn: " + token_dn() +
                       "\n"
                       "objectClass: kxRawToken\n"
                       "objectClass: kxCrypto\n"
                       "kxID: default.token\n"
                       "kxTokenType: user\n"
                       "kxTokenState: unknown\n"
                       "kxEnabled: allowed\n";
    ldif += value.empty() ? "kxCryptoString:\n" : "kxCryptoString:: " + base64(value) + "\n";
    std::string out;
    ASSERT_EQ(ldap_add(write_uri(), ldif, &out), 0) << out;
    ASSERT_EQ(stored(write_uri()), value);
    if (replicated()) {
        ASSERT_TRUE(eventually([&] { return stored(bed()["KX_CONSUMER_URI"]) == value; }, 20));
    }
}

SwappedFile::SwappedFile(const std::string &path, const std::string &content, bool remove) : path_(path)
{
    struct stat st {};
    existed_ = stat(path.c_str(), &st) == 0;
    if (existed_) {
        mode_ = st.st_mode & 07777;
        read_file(path, saved_);
    }
    if (remove) {
        std::remove(path.c_str());
    } else {
        write_file(path, content);
        chmod(path.c_str(), mode_);
    }
}

SwappedFile::~SwappedFile()
{
    if (existed_) {
        write_file(path_, saved_);
        chmod(path_.c_str(), mode_);
    } else {
        std::remove(path_.c_str());
    }
}

std::string with_setting(const std::string &content, const std::string &key, const std::string &value)
{
    std::istringstream in(content);
    std::string out, line;
    bool done = false;
    while (std::getline(in, line)) {
        if (line.rfind(key + "=", 0) == 0) {
            out += key + "=" + value + "\n";
            done = true;
        } else {
            out += line + "\n";
        }
    }
    if (!done)
        out += key + "=" + value + "\n";
    return out;
}

std::string rot13(std::string text)
{
    for (auto &c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>('a' + (c - 'a' + 13) % 26);
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>('A' + (c - 'A' + 13) % 26);
    }
    return text;
}

std::string slurp(const std::string &path)
{
    std::string s;
    read_file(path, s);
    return s;
}

void Kxcrypto::SetUp()
{
    ASSERT_TRUE(bed().loaded) << "KX_TESTBED_ENV does not describe a running test bed";
    scratch_ = make_scratch_dir("e2e");
    ASSERT_FALSE(scratch_.empty());
    remove_token_entry();
    ASSERT_EQ(stored(), "<no entry>");
}

void Kxcrypto::TearDown()
{
    remove_token_entry();
    if (!scratch_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(scratch_, ec);
    }
}

} // namespace e2e
