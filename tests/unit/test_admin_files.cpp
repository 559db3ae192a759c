// The administration configuration and password files: reading them into a
// session record, the mandatory-field check, the single-setting lookups on
// the product's own configuration file, and the process-wide settings
// (probe timeout, debug selector) that a read leaves behind.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "admin.h"
#include "admin_private.h"
#include "kx_paths.h"
#include "syslog_capture.h"
#include "utils.h"

namespace {

struct LogRecord {
    int priority;
    std::string text;
};

std::vector<LogRecord> captured()
{
    std::vector<LogRecord> out;
    for (int i = 0; i < kxcap_count(); ++i) {
        int pri = -1;
        const char *m = kxcap_message(i, &pri);
        out.push_back({pri, m ? m : ""});
    }
    return out;
}

std::vector<std::string> captured_texts()
{
    std::vector<std::string> out;
    for (const auto &r : captured())
        out.push_back(r.text);
    return out;
}

std::string str(const char *s)
{
    return s ? s : "<NULL>";
}

// Takes a returned heap string, frees it, and gives its text.
std::string take(char *s)
{
    std::string out = str(s);
    std::free(s);
    return out;
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out.good()) << path;
    out << content;
    out.close();
    ASSERT_TRUE(out.good()) << path;
}

// Whether this process can read a file that has no permission bits set
// (it can when it runs with root's privileges).
bool can_read_despite_mode(const std::string &path)
{
    return access(path.c_str(), R_OK) == 0;
}

// A fresh session record in a temporary directory, with the probe timeout
// and the debug selector put back afterwards.
class AdminFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kx_adminfiles_XXXXXX";
        const char *made = mkdtemp(tmpl);
        ASSERT_NE(made, nullptr) << std::strerror(errno);
        dir_ = made;
        saved_timeout_ = DStimeout;
        set_gdebug(nullptr);
        set_suppress_output(0);
        kxa_ = allocate_kxa();
        kxcap_clear();
    }

    void TearDown() override
    {
        free_kxa(kxa_);
        DStimeout = saved_timeout_;
        set_gdebug(nullptr);
        kxcap_clear();
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
            std::filesystem::remove_all(dir_, ec);
        }
    }

    std::string file(const std::string &name, const std::string &content)
    {
        std::string path = dir_ + "/" + name;
        write_file(path, content);
        return path;
    }

    int read(const std::string &content)
    {
        return read_config_file(kxa_, file("kxadmin.conf", content).c_str());
    }

    std::string dir_;
    int saved_timeout_ = 10;
    KXAdminStruct *kxa_ = nullptr;
};

const char kCompleteConfig[] =
    "# administration settings\n"
    "\n"
    "admin.server.name = ds1.example.com\n"
    "admin.server.port\t=\t389\n"
    "admin.user.name=cn=Directory Manager, o=kxdata\n"
    "admin.subtree=o=kxdata\n"
    "admin.dstatus.dbfile=/var/opt/QRLNkx/dstatus\n"
    "admin.ustatus.dbfile=/var/opt/QRLNkx/ustatus\n"
    "admin.defaultlocale=en_US\n";

// ---------------------------------------------------------------------------
// Session record
// ---------------------------------------------------------------------------

TEST_F(AdminFiles, NewRecordIsZeroAndFreeAcceptsNull)
{
    ASSERT_NE(kxa_, nullptr);
    EXPECT_EQ(kxa_->ld, nullptr);
    EXPECT_EQ(kxa_->mode, 0);
    EXPECT_EQ(kxa_->server_name, nullptr);
    EXPECT_EQ(kxa_->server_port, 0);
    EXPECT_EQ(kxa_->user_name, nullptr);
    EXPECT_EQ(kxa_->subtree, nullptr);
    EXPECT_EQ(kxa_->defaultlocale, nullptr);
    EXPECT_EQ(kxa_->dstat_db, nullptr);
    EXPECT_EQ(kxa_->ustat_db, nullptr);
    EXPECT_EQ(kxa_->dstatus_fname, nullptr);
    EXPECT_EQ(kxa_->ustatus_fname, nullptr);
    free_kxa(nullptr);
}

// ---------------------------------------------------------------------------
// read_config_file
// ---------------------------------------------------------------------------

TEST_F(AdminFiles, CompleteFileFillsEveryField)
{
    ASSERT_EQ(read(kCompleteConfig), KXE_SUCCESS);
    EXPECT_EQ(str(kxa_->server_name), "ds1.example.com");
    EXPECT_EQ(kxa_->server_port, 389);
    EXPECT_EQ(str(kxa_->user_name), "cn=Directory Manager, o=kxdata");
    EXPECT_EQ(str(kxa_->subtree), "o=kxdata");
    EXPECT_EQ(str(kxa_->dstatus_fname), "/var/opt/QRLNkx/dstatus");
    EXPECT_EQ(str(kxa_->ustatus_fname), "/var/opt/QRLNkx/ustatus");
    EXPECT_EQ(str(kxa_->defaultlocale), "en_US");
    EXPECT_EQ(kxa_->ld, nullptr);
    EXPECT_EQ(kxa_->dstat_db, nullptr);
    EXPECT_EQ(kxa_->ustat_db, nullptr);
    EXPECT_EQ(kxcap_count(), 0);

    for (int mode : {1, 2, 3, 4}) {
        kxa_->mode = mode;
        EXPECT_EQ(check_kxa(kxa_), KXE_SUCCESS) << "mode " << mode;
    }
    EXPECT_EQ(kxcap_count(), 0);
}

TEST_F(AdminFiles, MissingFileGivesNoentAndLogsPathAndErrno)
{
    std::string path = dir_ + "/nonexistent.conf";
    EXPECT_EQ(read_config_file(kxa_, path.c_str()), KXE_NOENT);
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].priority, LOG_INFO);
    EXPECT_EQ(r[0].text,
              "read_config_file(): Could not open config file (" + path + "), error 2\n");
    EXPECT_EQ(kxa_->server_name, nullptr);
    EXPECT_EQ(kxa_->server_port, 0);
}

TEST_F(AdminFiles, UnreadableFileGivesNoperm)
{
    std::string path = file("locked.conf", kCompleteConfig);
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    if (can_read_despite_mode(path))
        GTEST_SKIP() << "running with privileges that read any file";
    EXPECT_EQ(read_config_file(kxa_, path.c_str()), KXE_NOPERM);
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].text, "read_config_file(): Could not open config file (" + path + "), error " +
                             std::to_string(EACCES) + "\n");
    EXPECT_EQ(kxa_->server_name, nullptr);
}

TEST_F(AdminFiles, FileInsideAPlainFileGivesFileAccessError)
{
    // The path's parent is a regular file: ENOTDIR, which has no code of its own.
    std::string parent = file("plain", "x\n");
    std::string path = parent + "/kxadmin.conf";
    EXPECT_EQ(read_config_file(kxa_, path.c_str()), KXE_FILEACCESS);
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].text, "read_config_file(): Could not open config file (" + path + "), error " +
                             std::to_string(ENOTDIR) + "\n");
}

TEST_F(AdminFiles, EmptyFileReadsSuccessfullyAndFailsTheCheck)
{
    EXPECT_EQ(read(""), KXE_SUCCESS);
    EXPECT_EQ(kxa_->server_name, nullptr);
    kxa_->mode = 1;
    EXPECT_EQ(check_kxa(kxa_), KXE_INTERNAL);
}

TEST_F(AdminFiles, LinesAreSplitAtTheFirstEqualsAndStripped)
{
    ASSERT_EQ(read("admin.subtree=o=kxdata\n"
                   "   admin.server.name   =  \t host.example.com \t \n"
                   "admin.user.name==leading equals=kept=\n"
                   "\tadmin.defaultlocale\t=\tde_DE.UTF-8\n"),
              KXE_SUCCESS);
    EXPECT_EQ(str(kxa_->subtree), "o=kxdata");
    EXPECT_EQ(str(kxa_->server_name), "host.example.com");
    EXPECT_EQ(str(kxa_->user_name), "=leading equals=kept=");
    EXPECT_EQ(str(kxa_->defaultlocale), "de_DE.UTF-8");
}

TEST_F(AdminFiles, CommentsGarbageAndEmptyPartsAreSkipped)
{
    ASSERT_EQ(read("#admin.server.name=commented\n"
                   "# admin.subtree = o=commented\n"
                   "  # admin.server.name = indented\n"
                   "admin.server.name\n"
                   "admin.subtree =   \t\n"
                   "  =  orphan value\n"
                   "=\n"
                   "====\n"
                   "x\n"
                   "\n"
                   " \n"
                   "\x01\x02\xff garbage \x7f\n"
                   "Admin.Server.Name=wrong case\n"
                   "admin.server.name.extra=unknown\n"
                   "unknown.key=value\n"
                   "admin.dstatus.dbfile=/d\n"),
              KXE_SUCCESS);
    EXPECT_EQ(kxa_->server_name, nullptr);
    EXPECT_EQ(kxa_->subtree, nullptr);
    EXPECT_EQ(kxa_->user_name, nullptr);
    EXPECT_EQ(str(kxa_->dstatus_fname), "/d");
    EXPECT_EQ(kxcap_count(), 0);
}

TEST_F(AdminFiles, CarriageReturnIsPartOfTheValue)
{
    ASSERT_EQ(read("admin.server.name=dos.example.com\r\n"), KXE_SUCCESS);
    EXPECT_EQ(str(kxa_->server_name), "dos.example.com\r");
}

TEST_F(AdminFiles, LastLineWithoutNewlineCounts)
{
    ASSERT_EQ(read("admin.subtree=o=a\nadmin.server.name=last"), KXE_SUCCESS);
    EXPECT_EQ(str(kxa_->server_name), "last");
    EXPECT_EQ(str(kxa_->subtree), "o=a");
}

TEST_F(AdminFiles, LaterLineWinsAndLaterReadsReplace)
{
    ASSERT_EQ(read("admin.server.name=first\n"
                   "admin.server.port=389\n"
                   "admin.server.name=second\n"
                   "admin.subtree=o=one\n"),
              KXE_SUCCESS);
    EXPECT_EQ(str(kxa_->server_name), "second");

    std::string other = file("second.conf", "admin.server.name=third\n"
                                            "admin.server.port=1389\n");
    ASSERT_EQ(read_config_file(kxa_, other.c_str()), KXE_SUCCESS);
    EXPECT_EQ(str(kxa_->server_name), "third");
    EXPECT_EQ(kxa_->server_port, 1389);
    EXPECT_EQ(str(kxa_->subtree), "o=one");
}

TEST_F(AdminFiles, LongLinesAreReadIn511CharacterPieces)
{
    // A comment of exactly 511 characters: what follows on the same line
    // is read as a line of its own.
    std::string comment = "#" + std::string(510, 'c');
    // A value cut after 511 characters; the rest, without "=", is dropped.
    std::string subtree_line = "admin.subtree=" + std::string(600, 's');
    // A line of exactly 511 characters before its newline.
    std::string locale_line = "admin.defaultlocale=" + std::string(491, 'l');
    ASSERT_EQ(locale_line.size(), 511u);
    // The second piece of a long line that holds "=" sets a key.
    std::string user_line = "admin.user.name=" + std::string(495, 'u') + "admin.ustatus.dbfile=/u2";

    ASSERT_EQ(read(comment + "admin.server.name=hidden\n" + subtree_line + "\n" + locale_line +
                   "\n" + user_line + "\n"),
              KXE_SUCCESS);
    EXPECT_EQ(str(kxa_->server_name), "hidden");
    EXPECT_EQ(str(kxa_->subtree), std::string(511 - 14, 's'));
    EXPECT_EQ(str(kxa_->defaultlocale), std::string(491, 'l'));
    EXPECT_EQ(str(kxa_->user_name), std::string(495, 'u'));
    EXPECT_EQ(str(kxa_->ustatus_fname), "/u2");
}

TEST_F(AdminFiles, PortMustBeAllDigits)
{
    ASSERT_EQ(read("admin.server.port =  636 \n"), KXE_SUCCESS);
    EXPECT_EQ(kxa_->server_port, 636);

    const char *bad[] = {"389x", "-389", "+389", "3 89", "0x10", "three", "389.0"};
    for (const char *value : bad) {
        SCOPED_TRACE(value);
        EXPECT_EQ(read(std::string("admin.server.port=") + value + "\n"), KXE_SUCCESS);
        EXPECT_EQ(kxa_->server_port, 636);
    }

    KXAdminStruct *fresh = allocate_kxa();
    std::string path = file("badport.conf", "admin.server.name=h\n"
                                            "admin.server.port=389x\n"
                                            "admin.user.name=cn=admin\n"
                                            "admin.subtree=o=kxdata\n"
                                            "admin.dstatus.dbfile=/d\n"
                                            "admin.ustatus.dbfile=/u\n");
    ASSERT_EQ(read_config_file(fresh, path.c_str()), KXE_SUCCESS);
    EXPECT_EQ(fresh->server_port, 0);
    fresh->mode = 3;
    kxcap_clear();
    EXPECT_EQ(check_kxa(fresh), KXE_INTERNAL);
    EXPECT_EQ(captured_texts(),
              std::vector<std::string>{"check_kxa(): kxa - important fields are not filled.\n"});
    free_kxa(fresh);
}

TEST_F(AdminFiles, PortZeroLeavesThePortMissing)
{
    ASSERT_EQ(read(std::string(kCompleteConfig) + "admin.server.port=0\n"), KXE_SUCCESS);
    EXPECT_EQ(kxa_->server_port, 0);
    kxa_->mode = 1;
    EXPECT_EQ(check_kxa(kxa_), KXE_INTERNAL);

    ASSERT_EQ(read("admin.server.port=000389\n"), KXE_SUCCESS);
    EXPECT_EQ(kxa_->server_port, 389);
    EXPECT_EQ(check_kxa(kxa_), KXE_SUCCESS);
}

TEST_F(AdminFiles, TimeoutChangesTheProcessWideValue)
{
    DStimeout = 10;
    ASSERT_EQ(read("admin.server.timeout = 25\n"), KXE_SUCCESS);
    EXPECT_EQ(DStimeout, 25);

    // Outlives the record that was being filled.
    free_kxa(kxa_);
    kxa_ = allocate_kxa();
    EXPECT_EQ(DStimeout, 25);

    for (const char *value : {"-5", "abc", "5s", "1.5", " - 3"}) {
        SCOPED_TRACE(value);
        ASSERT_EQ(read(std::string("admin.server.timeout=") + value + "\n"), KXE_SUCCESS);
        EXPECT_EQ(DStimeout, 25);
    }

    ASSERT_EQ(read("admin.server.timeout=0\n"), KXE_SUCCESS);
    EXPECT_EQ(DStimeout, 0);

    // No timeout line: the value stays as it was.
    ASSERT_EQ(read(kCompleteConfig), KXE_SUCCESS);
    EXPECT_EQ(DStimeout, 0);
}

TEST_F(AdminFiles, DebugSettingSwitchesCategories)
{
    EXPECT_EQ(gdebug("d"), 0);
    ASSERT_EQ(read("admin.debug = d\n"), KXE_SUCCESS);
    EXPECT_EQ(gdebug("d"), 1);
    EXPECT_EQ(gdebug("a"), 0);
    EXPECT_EQ(gdebug(" "), 1);
    auto r = captured();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].priority, LOG_INFO);
    EXPECT_EQ(r[0].text, " \n");
    EXPECT_EQ(r[1].priority, LOG_INFO);
    EXPECT_EQ(r[1].text, "running with debug options |d|\n");

    ASSERT_EQ(read("admin.debug=*\n"), KXE_SUCCESS);
    EXPECT_EQ(gdebug("a"), 1);
    EXPECT_EQ(gdebug("d"), 1);

    ASSERT_EQ(read("admin.debug=xyz\n"), KXE_SUCCESS);
    EXPECT_EQ(gdebug("a"), 0);
    EXPECT_EQ(gdebug("d"), 0);
    EXPECT_EQ(gdebug(" "), 1);

    // The traced output of the directory category appears once switched on.
    ASSERT_EQ(read("admin.debug=ad\n"), KXE_SUCCESS);
    kxcap_clear();
    dlprintf("d", "connecting to ldap://%s:%d as |%s|\n", "h", 389, "cn=x");
    EXPECT_EQ(captured_texts(),
              std::vector<std::string>{"(d) connecting to ldap://h:389 as |cn=x|\n"});
}

TEST_F(AdminFiles, EmptyDebugValueIsSkipped)
{
    ASSERT_EQ(read("admin.debug=a\n"), KXE_SUCCESS);
    kxcap_clear();
    ASSERT_EQ(read("admin.debug=  \n"), KXE_SUCCESS);
    EXPECT_EQ(gdebug("a"), 1);
    EXPECT_EQ(kxcap_count(), 0);
}

// ---------------------------------------------------------------------------
// set_kxa_val
// ---------------------------------------------------------------------------

TEST_F(AdminFiles, SetValueAppliesOneKey)
{
    set_kxa_val(kxa_, "admin.server.name", "a.example.com");
    set_kxa_val(kxa_, "admin.server.name", "b.example.com");  // replaces
    set_kxa_val(kxa_, "admin.server.port", "1389");
    set_kxa_val(kxa_, "admin.user.name", "cn=admin");
    set_kxa_val(kxa_, "admin.subtree", "o=kxdata");
    set_kxa_val(kxa_, "admin.dstatus.dbfile", "/d");
    set_kxa_val(kxa_, "admin.ustatus.dbfile", "/u");
    set_kxa_val(kxa_, "admin.defaultlocale", "fr");
    set_kxa_val(kxa_, "admin.unknown", "ignored");
    set_kxa_val(kxa_, "ADMIN.SUBTREE", "o=ignored");

    EXPECT_EQ(str(kxa_->server_name), "b.example.com");
    EXPECT_EQ(kxa_->server_port, 1389);
    EXPECT_EQ(str(kxa_->user_name), "cn=admin");
    EXPECT_EQ(str(kxa_->subtree), "o=kxdata");
    EXPECT_EQ(str(kxa_->dstatus_fname), "/d");
    EXPECT_EQ(str(kxa_->ustatus_fname), "/u");
    EXPECT_EQ(str(kxa_->defaultlocale), "fr");

    // The record keeps copies, not the caller's strings.
    char value[] = "mutable";
    set_kxa_val(kxa_, "admin.subtree", value);
    value[0] = 'X';
    EXPECT_EQ(str(kxa_->subtree), "mutable");
}

TEST_F(AdminFiles, SetValueWithAnyNullArgumentDoesNothing)
{
    set_kxa_val(kxa_, "admin.server.name", "keep");
    set_kxa_val(kxa_, "admin.server.name", nullptr);
    set_kxa_val(kxa_, nullptr, "other");
    set_kxa_val(nullptr, "admin.server.name", "other");
    set_kxa_val(nullptr, nullptr, nullptr);
    EXPECT_EQ(str(kxa_->server_name), "keep");
    EXPECT_EQ(kxa_->server_port, 0);
}

// ---------------------------------------------------------------------------
// check_kxa
// ---------------------------------------------------------------------------

TEST_F(AdminFiles, CheckNeedsEveryImportantField)
{
    EXPECT_EQ(check_kxa(nullptr), KXE_INTERNAL);
    EXPECT_EQ(captured_texts(),
              std::vector<std::string>{"check_kxa(): kxa - important fields are not filled.\n"});

    const char *keys[] = {"admin.server.name", "admin.server.port", "admin.subtree",
                          "admin.dstatus.dbfile", "admin.ustatus.dbfile"};
    for (const char *left_out : keys) {
        for (int mode : {1, 3}) {
            SCOPED_TRACE(std::string(left_out) + " mode " + std::to_string(mode));
            KXAdminStruct *k = allocate_kxa();
            k->mode = mode;
            set_kxa_val(k, "admin.user.name", "cn=admin");
            for (const char *key : keys)
                if (std::strcmp(key, left_out) != 0)
                    set_kxa_val(k, key, std::strcmp(key, "admin.server.port") == 0 ? "389" : "v");
            kxcap_clear();
            EXPECT_EQ(check_kxa(k), KXE_INTERNAL);
            EXPECT_EQ(captured_texts(), std::vector<std::string>{
                                            "check_kxa(): kxa - important fields are not filled.\n"});
            free_kxa(k);
        }
    }
}

TEST_F(AdminFiles, UserNameIsNeededExceptAnonymously)
{
    ASSERT_EQ(read("admin.server.name=h\n"
                   "admin.server.port=389\n"
                   "admin.subtree=o=kxdata\n"
                   "admin.dstatus.dbfile=/d\n"
                   "admin.ustatus.dbfile=/u\n"),
              KXE_SUCCESS);
    kxa_->mode = 1;
    EXPECT_EQ(check_kxa(kxa_), KXE_SUCCESS);
    EXPECT_EQ(kxcap_count(), 0);

    for (int mode : {2, 3, 4}) {
        SCOPED_TRACE(mode);
        kxa_->mode = mode;
        kxcap_clear();
        EXPECT_EQ(check_kxa(kxa_), KXE_INTERNAL);
        auto r = captured();
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].priority, LOG_INFO);
        EXPECT_EQ(r[0].text, "check_kxa(): kxa - user fields are not filled.\n");
    }

    set_kxa_val(kxa_, "admin.user.name", "cn=admin");
    kxcap_clear();
    EXPECT_EQ(check_kxa(kxa_), KXE_SUCCESS);
    EXPECT_EQ(kxcap_count(), 0);
}

// ---------------------------------------------------------------------------
// read_passwd_file
// ---------------------------------------------------------------------------

TEST_F(AdminFiles, PasswordIsTheUnscrambledFirstLine)
{
    std::string path = file("kxadmin.pw", " \t Frperg-123 Nz \t\nsecond line ignored\n");
    int err = 12345;
    EXPECT_EQ(take(read_passwd_file(path.c_str(), &err)), "Secret-123 Am");
    EXPECT_EQ(err, KXE_SUCCESS);

    path = file("nonl.pw", "nopqrstuvwxyzABCDEFGHIJKLM");
    err = 12345;
    EXPECT_EQ(take(read_passwd_file(path.c_str(), &err)), "abcdefghijklmNOPQRSTUVWXYZ");
    EXPECT_EQ(err, KXE_SUCCESS);
}

TEST_F(AdminFiles, OverlongPasswordLineIsCutTo511Characters)
{
    std::string path = file("long.pw", std::string(600, 'n') + "\n");
    int err = 12345;
    EXPECT_EQ(take(read_passwd_file(path.c_str(), &err)), std::string(511, 'a'));
    EXPECT_EQ(err, KXE_SUCCESS);
}

TEST_F(AdminFiles, MissingEmptyOrBlankPasswordFileGivesNull)
{
    int err = 12345;
    std::string missing = dir_ + "/missing.pw";
    EXPECT_EQ(read_passwd_file(missing.c_str(), &err), nullptr);
    EXPECT_EQ(err, KXE_NOENT);

    std::string parent = file("plain", "x\n");
    err = 12345;
    EXPECT_EQ(read_passwd_file((parent + "/kxadmin.pw").c_str(), &err), nullptr);
    EXPECT_EQ(err, KXE_FILEACCESS);

    const std::pair<const char *, std::string> cases[] = {
        {"empty", ""},
        {"blank", "  \t \n"},
        {"newline only", "\n"},
        {"empty first line", "\nabc\n"},
    };
    for (const auto &[name, content] : cases) {
        SCOPED_TRACE(name);
        std::string path = file("case.pw", content);
        err = 12345;
        EXPECT_EQ(read_passwd_file(path.c_str(), &err), nullptr);
        EXPECT_EQ(err, KXE_INTERNAL);
    }
}

TEST_F(AdminFiles, UnreadablePasswordFileGivesNoperm)
{
    std::string path = file("locked.pw", "nop\n");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    if (can_read_despite_mode(path))
        GTEST_SKIP() << "running with privileges that read any file";
    int err = 12345;
    EXPECT_EQ(read_passwd_file(path.c_str(), &err), nullptr);
    EXPECT_EQ(err, KXE_NOPERM);
}

// ---------------------------------------------------------------------------
// Lookups on the product's configuration file
// ---------------------------------------------------------------------------

// Puts content at the product's configuration path for the lifetime of the
// object and restores what was there before (or removes the file and the
// directories it had to create).  Test processes of this suite take turns
// through an advisory lock, since they share the one path.
class ProductConfig {
public:
    ProductConfig()
    {
        lock_fd_ = open("/tmp", O_RDONLY | O_DIRECTORY);
        if (lock_fd_ >= 0)
            flock(lock_fd_, LOCK_EX);

        std::filesystem::path dir = std::filesystem::path(path_).parent_path();
        std::vector<std::filesystem::path> missing;
        for (auto p = dir; !p.empty() && !std::filesystem::exists(p); p = p.parent_path())
            missing.push_back(p);
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            if (mkdir(it->c_str(), 0755) == 0)
                created_.push_back(*it);
        }

        std::ifstream in(path_, std::ios::binary);
        if (in) {
            std::ostringstream content;
            content << in.rdbuf();
            saved_ = content.str();
            had_file_ = true;
            struct stat st;
            if (stat(path_.c_str(), &st) == 0)
                saved_mode_ = st.st_mode & 07777;
        }
    }

    ~ProductConfig()
    {
        if (had_file_) {
            put(saved_);
            chmod(path_.c_str(), saved_mode_);
        } else {
            unlink(path_.c_str());
        }
        for (auto it = created_.rbegin(); it != created_.rend(); ++it)
            rmdir(it->c_str());
        if (lock_fd_ >= 0) {
            flock(lock_fd_, LOCK_UN);
            close(lock_fd_);
        }
    }

    ProductConfig(const ProductConfig &) = delete;
    ProductConfig &operator=(const ProductConfig &) = delete;

    // Replaces the file in one step, through a per-process temporary copy.
    void put(const std::string &content)
    {
        std::string tmp = path_ + ".tmp." + std::to_string(getpid());
        write_file(tmp, content);
        ASSERT_EQ(rename(tmp.c_str(), path_.c_str()), 0) << std::strerror(errno);
    }

    void remove() { unlink(path_.c_str()); }

    const std::string &path() const { return path_; }

private:
    std::string path_ = KX_ADMIN_CONF;
    std::vector<std::filesystem::path> created_;
    std::string saved_;
    bool had_file_ = false;
    mode_t saved_mode_ = 0644;
    int lock_fd_ = -1;
};

class ProductConfigLookup : public AdminFiles {
protected:
    void SetUp() override
    {
        if (std::string(KX_PRODUCT_ROOT).empty())
            GTEST_SKIP() << "the configuration path is the live system file";
        AdminFiles::SetUp();
        if (HasFatalFailure())
            return;
        conf_ = std::make_unique<ProductConfig>();
        kxcap_clear();
    }
    void TearDown() override
    {
        conf_.reset();
        if (!dir_.empty() || kxa_)
            AdminFiles::TearDown();
    }
    std::unique_ptr<ProductConfig> conf_;
};

TEST_F(ProductConfigLookup, InfoReturnsTheFirstValueOfAnyKey)
{
    conf_->put("# product settings\n"
               "admin.server.name = first.example.com\n"
               "admin.subtree=o=kxdata\n"
               "  site.custom.key \t=  some value = with equals  \n"
               "admin.server.name=second.example.com\n"
               "empty.then.set=\n"
               "empty.then.set=later\n");
    EXPECT_EQ(take(get_kxadmin_info("admin.server.name")), "first.example.com");
    EXPECT_EQ(take(get_kxadmin_info("admin.subtree")), "o=kxdata");
    EXPECT_EQ(take(get_kxadmin_info("site.custom.key")), "some value = with equals");
    EXPECT_EQ(take(get_kxadmin_info("empty.then.set")), "later");
    EXPECT_EQ(get_kxadmin_info("ADMIN.SERVER.NAME"), nullptr);
    EXPECT_EQ(get_kxadmin_info("admin.server"), nullptr);
    EXPECT_EQ(get_kxadmin_info("admin.user.name"), nullptr);
    EXPECT_EQ(get_kxadmin_info(""), nullptr);
    EXPECT_EQ(get_kxadmin_info(nullptr), nullptr);
    EXPECT_EQ(kxcap_count(), 0);

    // The same file read into a record keeps the last server name.
    ASSERT_EQ(read_config_file(kxa_, conf_->path().c_str()), KXE_SUCCESS);
    EXPECT_EQ(str(kxa_->server_name), "second.example.com");
}

TEST_F(ProductConfigLookup, InfoFollowsTheLineRules)
{
    conf_->put("#commented.key=no\n"
               "  #indented.key=yes\n"
               "nokey\n"
               "blank.value =   \n"
               "#" + std::string(510, 'c') + "piece.key=from second piece\n"
               "crlf.key=v\r\n");
    EXPECT_EQ(get_kxadmin_info("commented.key"), nullptr);
    EXPECT_EQ(get_kxadmin_info("#commented.key"), nullptr);
    EXPECT_EQ(take(get_kxadmin_info("#indented.key")), "yes");
    EXPECT_EQ(get_kxadmin_info("nokey"), nullptr);
    EXPECT_EQ(get_kxadmin_info("blank.value"), nullptr);
    EXPECT_EQ(take(get_kxadmin_info("piece.key")), "from second piece");
    EXPECT_EQ(take(get_kxadmin_info("crlf.key")), "v\r");
}

TEST_F(ProductConfigLookup, InfoAppliesNoSetting)
{
    DStimeout = 10;
    conf_->put("admin.debug=ad\nadmin.server.timeout=3\nadmin.server.name=h\n");
    EXPECT_EQ(take(get_kxadmin_info("admin.server.name")), "h");
    EXPECT_EQ(take(get_kxadmin_info("admin.debug")), "ad");
    EXPECT_EQ(take(get_kxadmin_info("admin.server.timeout")), "3");
    EXPECT_EQ(DStimeout, 10);
    EXPECT_EQ(gdebug("a"), 0);
    EXPECT_EQ(gdebug("d"), 0);
    EXPECT_EQ(kxcap_count(), 0);
}

TEST_F(ProductConfigLookup, InfoOnMissingFileLogsAndGivesNull)
{
    conf_->remove();
    EXPECT_EQ(get_kxadmin_info("admin.server.name"), nullptr);
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].priority, LOG_INFO);
    EXPECT_EQ(r[0].text,
              "get_kxadmin_info(): Could not open config file (" + conf_->path() + ")\n");
}

TEST_F(ProductConfigLookup, DefaultLocaleIsTheLastValueWithoutMandatoryCheck)
{
    conf_->put("admin.defaultlocale = ja_JP.eucJP \n");
    EXPECT_EQ(take(get_defaultlocale()), "ja_JP.eucJP");
    EXPECT_EQ(kxcap_count(), 0);

    conf_->put("admin.defaultlocale=C\nadmin.defaultlocale=de_DE\n");
    EXPECT_EQ(take(get_defaultlocale()), "de_DE");

    conf_->put(kCompleteConfig);
    EXPECT_EQ(take(get_defaultlocale()), "en_US");

    conf_->put("admin.server.name=h\n");
    EXPECT_EQ(get_defaultlocale(), nullptr);
    EXPECT_EQ(kxcap_count(), 0);
}

TEST_F(ProductConfigLookup, DefaultLocaleReappliesDebugAndTimeout)
{
    DStimeout = 10;
    conf_->put("admin.defaultlocale=sv_SE\nadmin.debug=d\nadmin.server.timeout=4\n");
    EXPECT_EQ(take(get_defaultlocale()), "sv_SE");
    EXPECT_EQ(DStimeout, 4);
    EXPECT_EQ(gdebug("d"), 1);
    EXPECT_EQ(gdebug("a"), 0);
    EXPECT_EQ(captured_texts(),
              (std::vector<std::string>{" \n", "running with debug options |d|\n"}));
}

TEST_F(ProductConfigLookup, DefaultLocaleOnMissingFileLogsBothMessages)
{
    conf_->remove();
    EXPECT_EQ(get_defaultlocale(), nullptr);
    EXPECT_EQ(captured_texts(),
              (std::vector<std::string>{
                  "read_config_file(): Could not open config file (" + conf_->path() +
                      "), error 2\n",
                  "get_defaultlocale(): Could not read config file (" + conf_->path() + ")\n"}));
}

TEST_F(ProductConfigLookup, UnreadableProductFileGivesNull)
{
    conf_->put("admin.defaultlocale=x\nadmin.server.name=h\n");
    ASSERT_EQ(chmod(conf_->path().c_str(), 0), 0);
    if (can_read_despite_mode(conf_->path()))
        GTEST_SKIP() << "running with privileges that read any file";
    EXPECT_EQ(get_defaultlocale(), nullptr);
    EXPECT_EQ(get_kxadmin_info("admin.server.name"), nullptr);
    EXPECT_EQ(captured_texts(),
              (std::vector<std::string>{
                  "read_config_file(): Could not open config file (" + conf_->path() +
                      "), error " + std::to_string(EACCES) + "\n",
                  "get_defaultlocale(): Could not read config file (" + conf_->path() + ")\n",
                  "get_kxadmin_info(): Could not open config file (" + conf_->path() + ")\n"}));
}

} // namespace
