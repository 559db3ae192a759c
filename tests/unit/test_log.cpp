// Diagnostics of the library: what reaches the system log, and when.

#include <string>
#include <syslog.h>

#include <gtest/gtest.h>

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

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        set_suppress_output(0);
        set_gdebug(nullptr);
        kxcap_clear();
    }
    void TearDown() override
    {
        set_suppress_output(0);
        set_gdebug(nullptr);
        kxcap_clear();
    }
};

TEST_F(LogTest, DprintfSendsFormattedTextAtInfo)
{
    dprintf("open_connection(): Could not read config file (%s)\n", "/x/kxadmin.conf");
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].priority, LOG_INFO);
    EXPECT_EQ(r[0].text, "open_connection(): Could not read config file (/x/kxadmin.conf)\n");
}

TEST_F(LogTest, LongMessagesAreCutToTheBuffer)
{
    std::string big(3000, 'x');
    dprintf("%s", big.c_str());
    log_admin("user", "%s", big.c_str());
    set_gdebug("*");
    kxcap_clear();
    dlprintf("a", "%s", big.c_str());
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].text, "(a) " + std::string(1023, 'x'));
}

TEST_F(LogTest, DprintfAndLogAdminCutAt1023Characters)
{
    std::string big(3000, 'y');
    dprintf("%s", big.c_str());
    log_admin("user", "%s", big.c_str());
    auto r = captured();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].text, std::string(1023, 'y'));
    EXPECT_EQ(r[1].text, "user : " + std::string(1023, 'y'));
}

TEST_F(LogTest, LogAdminUsesLocal1AndTheCategory)
{
    log_admin("user", "User (%s) successfully added.", "jdoe");
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].priority, LOG_LOCAL1 | LOG_INFO);
    EXPECT_EQ(r[0].text, "user : User (jdoe) successfully added.");
}

TEST_F(LogTest, SuppressOutputSilencesDprintfAndLogAdminButNotTracing)
{
    set_gdebug("a");
    kxcap_clear();
    set_suppress_output(1);
    dprintf("hidden\n");
    log_admin("user", "hidden too");
    dlprintf("a", "traced %d\n", 7);
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].priority, LOG_INFO);
    EXPECT_EQ(r[0].text, "(a) traced 7\n");
}

TEST_F(LogTest, TracingIsOffWithoutSelector)
{
    dlprintf("d", "connecting to ldap://%s:%d as |%s|\n", "h", 389, "cn=x");
    dprintf("still logged\n");
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].text, "still logged\n");
}

TEST_F(LogTest, SetGdebugAnnouncesTheSelector)
{
    set_gdebug("ad");
    auto r = captured();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].text, " \n");
    EXPECT_EQ(r[1].text, "running with debug options |ad|\n");
    kxcap_clear();
    set_gdebug(nullptr);
    EXPECT_EQ(kxcap_count(), 0);
}

TEST_F(LogTest, GdebugSelectorRules)
{
    EXPECT_EQ(gdebug("a"), 0);
    EXPECT_EQ(gdebug(" "), 0);

    set_gdebug("*");
    EXPECT_EQ(gdebug("a"), 1);
    EXPECT_EQ(gdebug("d"), 1);
    EXPECT_EQ(gdebug("zz"), 1);
    EXPECT_EQ(gdebug(""), 1);

    set_gdebug("d");
    EXPECT_EQ(gdebug("d"), 1);
    EXPECT_EQ(gdebug("a"), 0);
    EXPECT_EQ(gdebug(" "), 1);
    EXPECT_EQ(gdebug(""), 0);
    EXPECT_EQ(gdebug("xd"), 1);  // any letter of the category counts

    set_gdebug("xyz");
    EXPECT_EQ(gdebug("a"), 0);
    EXPECT_EQ(gdebug("d"), 0);
    EXPECT_EQ(gdebug(" "), 1);

    set_gdebug("");
    EXPECT_EQ(gdebug("a"), 0);
    EXPECT_EQ(gdebug(" "), 1);
}

TEST_F(LogTest, DlprintfWritesCategoryAndText)
{
    set_gdebug("d");
    kxcap_clear();
    dlprintf("d", "connecting to ldap://%s:%d as |%s|\n", "ds1", 389, "cn=admin");
    dlprintf("a", "not traced\n");
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].priority, LOG_INFO);
    EXPECT_EQ(r[0].text, "(d) connecting to ldap://ds1:389 as |cn=admin|\n");
}

TEST_F(LogTest, RepeatedSelectorsKeepWorking)
{
    for (int i = 0; i < 50; ++i)
        set_gdebug(i % 2 ? "a" : "d");
    EXPECT_EQ(gdebug("a"), 1);
    EXPECT_EQ(gdebug("d"), 0);
}

TEST(TextHelpers, PAndP2)
{
    EXPECT_STREQ(p(nullptr), "");
    EXPECT_STREQ(p("x"), "x");
    EXPECT_STREQ(p2(nullptr), "&nbsp;");
    EXPECT_STREQ(p2("y"), "y");
}

TEST(TextHelpers, IndentSpaces)
{
    EXPECT_STREQ(indent_spaces(1), "");
    EXPECT_STREQ(indent_spaces(0), "");
    EXPECT_STREQ(indent_spaces(-5), "");
    EXPECT_STREQ(indent_spaces(2), "  ");
    EXPECT_STREQ(indent_spaces(3), "    ");
    EXPECT_EQ(std::string(indent_spaces(256)), std::string(510, ' '));
    EXPECT_EQ(std::string(indent_spaces(257)), std::string(511, ' '));
    EXPECT_EQ(std::string(indent_spaces(1000)), std::string(511, ' '));
    EXPECT_EQ(std::string(indent_spaces(2147483647)), std::string(511, ' '));
}

} // namespace
