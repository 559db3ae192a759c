// Library error codes: their catalogue texts and the errno mapping.

#include <cerrno>
#include <climits>
#include <clocale>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kxerrno.h"

namespace {

// Every code with a text of its own, and the English text.
const std::vector<std::pair<int, std::string>> &known_codes()
{
    static const std::vector<std::pair<int, std::string>> codes = {
        {KXE_SUCCESS, "Success"},
        {KXE_INTERNAL, "Internal system error"},
        {KXE_NOCHANGE, "No changes were made"},
        {KXE_AUTHFAIL, "Authentication failed"},
        {KXE_NOTFOUND, "Object not found"},
        {KXE_NOPERM, "No permission"},
        {KXE_INVAL, "Invalid arguments"},
        {KXE_EXISTS, "Data already exists"},
        {KXE_TERMINUSE, "Terminal already in use"},
        {KXE_NOTOKEN, "Token not found"},
        {KXE_NOMEM, "Not enough memory"},
        {KXE_DUPTERMID, "Duplicate Terminal ID"},
        {KXE_UNREACHABLE, "Server unreachable"},
        {KXE_SOCKET, "Failed to open socket"},
        {KXE_SOCKWRITE, "Socket write failed"},
        {KXE_AMTIMEOUT, "Authentication Manager timeout"},
        {KXE_FILEACCESS, "File access error"},
        {KXE_SEQUENCE, "Invalid call sequence"},
        {KXE_NOMOREDATA, "No more data"},
        {KXE_NOENT, "File or directory does not exist"},
        {KXE_NODB, "Unable to contact admin database"},
        {KXE_DETACHED, "Session detached"},
        {KXE_NOTINSESSION, "Not currently in a Tessaly session"},
        {KXE_TIMEOUT, "Operation timed out"},
        {KXE_REMOTE, "Failed to contact the remote service"},
        {KXE_CONFIG, "Configuration error"},
        {KXE_NOBUFS, "No buffer space available"},
        {KXE_UNKNOWN, "Unknown system error"},
    };
    return codes;
}

const char kUndefined[] = "Undefined error code";

// Switches the whole locale for one test and puts the old one back.
class ScopedLocale {
public:
    explicit ScopedLocale(const char *name)
    {
        if (const char *cur = std::setlocale(LC_ALL, nullptr))
            saved_ = cur;
        ok_ = std::setlocale(LC_ALL, name) != nullptr;
    }
    ~ScopedLocale() { std::setlocale(LC_ALL, saved_.empty() ? "C" : saved_.c_str()); }
    bool ok() const { return ok_; }

private:
    std::string saved_;
    bool ok_ = false;
};

} // namespace

TEST(ErrorCodes, NumbersAreFixed)
{
    // Callers compare against these numbers; they are part of the interface.
    EXPECT_EQ(KXE_SUCCESS, 0);
    EXPECT_EQ(KXE_INTERNAL, -1);
    EXPECT_EQ(KXE_NOTFOUND, -4);
    EXPECT_EQ(KXE_NOPERM, -5);
    EXPECT_EQ(KXE_INVAL, -6);
    EXPECT_EQ(KXE_EXISTS, -7);
    EXPECT_EQ(KXE_NOMEM, -10);
    EXPECT_EQ(KXE_FILEACCESS, -16);
    EXPECT_EQ(KXE_NOENT, -19);
    EXPECT_EQ(KXE_NODB, -20);
    EXPECT_EQ(KXE_DETACHED, -22);
    EXPECT_EQ(KXE_NOBUFS, -27);
    EXPECT_EQ(KXE_UNKNOWN, 2);
}

TEST(ErrorText, EveryAssignedCodeHasItsText)
{
    for (const auto &[code, text] : known_codes()) {
        const char *msg = kx_err2str(code);
        ASSERT_NE(msg, nullptr) << "code " << code;
        EXPECT_STREQ(msg, text.c_str()) << "code " << code;
    }
}

TEST(ErrorText, UnassignedCodesAreUndefined)
{
    for (int code : {-21, 1, 3, 4, -28, -29, -100, 100, INT_MIN, INT_MAX, INT_MIN + 1}) {
        const char *msg = kx_err2str(code);
        ASSERT_NE(msg, nullptr) << "code " << code;
        EXPECT_STREQ(msg, kUndefined) << "code " << code;
    }
}

TEST(ErrorText, FullRangeWalk)
{
    // Each value from -40 to 10 gets exactly one of the table's texts.
    for (int code = -40; code <= 10; ++code) {
        std::string expected = kUndefined;
        for (const auto &[c, text] : known_codes())
            if (c == code)
                expected = text;
        EXPECT_EQ(std::string(kx_err2str(code)), expected) << "code " << code;
    }
}

TEST(ErrorText, EnglishInLocaleWithoutCatalogue)
{
    ScopedLocale locale("C.UTF-8");
    if (!locale.ok())
        GTEST_SKIP() << "C.UTF-8 locale not available";
    for (const auto &[code, text] : known_codes())
        EXPECT_STREQ(kx_err2str(code), text.c_str()) << "code " << code;
    EXPECT_STREQ(kx_err2str(-21), kUndefined);
    EXPECT_STREQ(kx_errNotPrivileged(),
                 "Administrator privilege is required to perform this activity");
}

TEST(ErrorText, EnglishAfterBindingCatalogueDirectory)
{
    // The product's catalogue directory holds no translations here, so the
    // message ids themselves come back.
    kx_err2str_init();
    kx_err2str_init();  // a second binding is harmless
    for (const auto &[code, text] : known_codes())
        EXPECT_STREQ(kx_err2str(code), text.c_str()) << "code " << code;
    EXPECT_STREQ(kx_err2str(1), kUndefined);
}

TEST(ErrorText, NotPrivileged)
{
    const char *msg = kx_errNotPrivileged();
    ASSERT_NE(msg, nullptr);
    EXPECT_STREQ(msg, "Administrator privilege is required to perform this activity");
}

TEST(ErrnoMapping, KnownErrnoValues)
{
    EXPECT_EQ(kx_errno2kxerr(0, KXE_FILEACCESS), KXE_SUCCESS);
    EXPECT_EQ(kx_errno2kxerr(ENOENT, KXE_FILEACCESS), KXE_NOENT);
    EXPECT_EQ(kx_errno2kxerr(ENOMEM, KXE_FILEACCESS), KXE_NOMEM);
    EXPECT_EQ(kx_errno2kxerr(EACCES, KXE_FILEACCESS), KXE_NOPERM);
    EXPECT_EQ(kx_errno2kxerr(EEXIST, KXE_FILEACCESS), KXE_EXISTS);
}

TEST(ErrnoMapping, KnownValuesIgnoreTheDefault)
{
    for (int def : {KXE_INTERNAL, KXE_FILEACCESS, 0, 42}) {
        EXPECT_EQ(kx_errno2kxerr(0, def), 0) << "default " << def;
        EXPECT_EQ(kx_errno2kxerr(ENOENT, def), -19) << "default " << def;
        EXPECT_EQ(kx_errno2kxerr(ENOMEM, def), -10) << "default " << def;
        EXPECT_EQ(kx_errno2kxerr(EACCES, def), -5) << "default " << def;
        EXPECT_EQ(kx_errno2kxerr(EEXIST, def), -7) << "default " << def;
    }
}

TEST(ErrnoMapping, OtherValuesGiveTheDefault)
{
    EXPECT_EQ(kx_errno2kxerr(EIO, KXE_FILEACCESS), KXE_FILEACCESS);
    EXPECT_EQ(kx_errno2kxerr(EIO, KXE_INTERNAL), KXE_INTERNAL);
    EXPECT_EQ(kx_errno2kxerr(EPERM, KXE_INTERNAL), KXE_INTERNAL);
    EXPECT_EQ(kx_errno2kxerr(ENOTDIR, KXE_FILEACCESS), KXE_FILEACCESS);
    EXPECT_EQ(kx_errno2kxerr(EISDIR, KXE_FILEACCESS), KXE_FILEACCESS);
    EXPECT_EQ(kx_errno2kxerr(-1, KXE_CONFIG), KXE_CONFIG);
    EXPECT_EQ(kx_errno2kxerr(99999, 7), 7);
}
