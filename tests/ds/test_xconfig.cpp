// Multihead screen configurations against the real slapd of the directory
// test bed: lookup, add (with the raw token created on demand), replacement,
// deletion, the reading of hand-made entries, the print format and the
// ordering parser.  What each change left in the directory is confirmed with
// ldapsearch, an independent client; what a write sent is read from the
// server's own operation log.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "admin_private.h"
#include "admin_token.h"
#include "ds_support.h"
#include "syslog_capture.h"
#include "testbed_env.h"

namespace {

using namespace ds;

bool has_class(const std::optional<Attrs> &e, const std::string &oc)
{
    for (const auto &v : values(e, "objectClass"))
        if (lower(v) == lower(oc))
            return true;
    return false;
}

// The kxScreen* attributes of an entry, names in lower case.
std::vector<std::string> screen_attrs(const std::optional<Attrs> &e)
{
    std::vector<std::string> out;
    if (e)
        for (const auto &[name, vals] : *e)
            if (lower(name).rfind("kxscreen", 0) == 0)
                out.push_back(lower(name));
    std::sort(out.begin(), out.end());
    return out;
}

// The attribute names of every modify request for dn that the server
// logged after offset, one list per request.
std::vector<std::vector<std::string>> logged_mods(size_t offset, const std::string &dn)
{
    std::vector<std::vector<std::string>> requests;
    eventually([&] {
        requests.clear();
        std::istringstream in(slapd_log_since(offset));
        std::string line;
        std::map<std::string, size_t> ops;  // "conn=N op=M" -> request index
        size_t answered = 0;
        while (std::getline(in, line)) {
            auto conn = line.find("conn=");
            if (conn == std::string::npos)
                continue;
            auto op = line.find(" op=", conn);
            auto end = op == std::string::npos ? op : line.find(' ', op + 1);
            if (end == std::string::npos)
                continue;
            std::string key = line.substr(conn, end - conn);
            std::string rest = line.substr(end + 1);
            if (rest.rfind("MOD dn=\"", 0) == 0) {
                std::string logged_dn = rest.substr(8, rest.rfind('"') - 8);
                if (squeeze_dn(logged_dn) == squeeze_dn(dn)) {
                    ops[key] = requests.size();
                    requests.emplace_back();
                }
            } else if (rest.rfind("MOD attr=", 0) == 0) {
                auto it = ops.find(key);
                if (it != ops.end()) {
                    std::istringstream words(rest.substr(9));
                    std::string w;
                    while (words >> w)
                        requests[it->second].push_back(lower(w));
                }
            } else if (rest.rfind("RESULT ", 0) == 0 && ops.count(key)) {
                ++answered;
            }
        }
        return !requests.empty() && answered == requests.size();
    }, 30);
    return requests;
}

// A record owned by the test.
struct Conf {
    KXXconfig *c = allocate_xconfig();
    Conf() = default;
    explicit Conf(KXXconfig *taken) : c(taken) {}
    Conf(const Conf &) = delete;
    Conf &operator=(const Conf &) = delete;
    ~Conf() { kx_freeXconf(c); }
    KXXconfig *operator->() const { return c; }
    KXXconfig *get() const { return c; }
};

int *ordering(std::initializer_list<int> numbers)
{
    auto *a = static_cast<int *>(std::malloc(numbers.size() * sizeof(int)));
    std::copy(numbers.begin(), numbers.end(), a);
    return a;
}

// A full configuration for id with a 2 x 2 grid.
void fill_full(KXXconfig *c, const char *id)
{
    c->id = dup(id);
    c->screenResolution = dup("1600x1200");
    c->screenRefresh = 75;
    c->screenEnablePC = dup("yes");
    c->screenDefaultPC = dup("2");
    c->screenDimRows = 2;
    c->screenDimColumns = 2;
    c->screenOrdering = ordering({3, 1, 4, 2});
    c->screenEnableAutoSizing = dup("on");
    c->screenEnableMultiscreen = dup("true");
    c->screenEnableXinerama = dup("off");
}

std::string str(const char *s)
{
    return s ? s : "(null)";
}

std::vector<int> ordering_of(const KXXconfig *c)
{
    std::vector<int> out;
    if (c->screenOrdering)
        for (int i = 0; i < c->screenDimRows * c->screenDimColumns; ++i)
            out.push_back(c->screenOrdering[i]);
    return out;
}

std::string printed(KXXconfig *c)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    kx_printXconfig(f, c);
    std::fclose(f);
    std::string out(buf, len);
    std::free(buf);
    return out;
}

KXXconfig *const kPoison = reinterpret_cast<KXXconfig *>(0x1);

class XconfigStore : public DirectoryTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testbed_ready());
        set_gdebug(nullptr);
        k_ = open(3);
        ASSERT_NE(k_, nullptr);
        kxcap_clear();
    }
    void TearDown() override
    {
        DirectoryTest::TearDown();
        set_gdebug(nullptr);
    }
    // A hand-made entry, removed after the test.
    void make(const std::string &dn, const Fields &fields)
    {
        remove_later(dn);
        ASSERT_EQ(ldapmodify(ldif_add(dn, fields)), 0) << dn;
    }
    void make_raw(const std::string &stored, Fields screen = {})
    {
        Fields f{{"objectClass", "kxRawToken"}};
        if (!screen.empty())
            f.emplace_back("objectClass", "kxXconfig");
        f.emplace_back("kxID", stored);
        f.insert(f.end(), screen.begin(), screen.end());
        make(raw_dn(stored), f);
    }
    void make_logical(const std::string &id, Fields screen = {})
    {
        Fields f{{"objectClass", "kxLogicalToken"}};
        if (!screen.empty())
            f.emplace_back("objectClass", "kxXconfig");
        f.emplace_back("kxID", id);
        f.insert(f.end(), screen.begin(), screen.end());
        make(logical_dn(id), f);
    }
    KXXconfig *lookup(const std::string &id, int *rc)
    {
        KXXconfig *out = kPoison;
        std::string copy = id;
        *rc = kx_getXconfByTokenID(k_, copy.data(), &out);
        return out == kPoison ? nullptr : out;
    }
    KXAdmin k_ = nullptr;
};

const Fields kFullScreen = {
    {"kxScreenResolution", "1280x1024"}, {"kxScreenRefresh", "60"},
    {"kxScreenEnablePC", "true"},        {"kxScreenDefaultPC", "1"},
    {"kxScreenDimRows", "2"},            {"kxScreenDimColumns", "2"},
    {"kxScreenOrdering", "3,1,4,2"},     {"kxScreenEnableAutoSizing", "auto"},
    {"kxScreenEnableMultiscreen", "multi"}, {"kxScreenEnableXinerama", "xin"},
};

// ---- lookup -------------------------------------------------------------------

TEST_F(XconfigStore, LookupReadsRawAndLogicalTokenEntries)
{
    make_raw("xc.look1", kFullScreen);
    make_logical("user.xc-look1", {{"kxScreenResolution", "800x600"}, {"kxScreenRefresh", "85"}});

    int rc = 0;
    Conf raw(lookup("xc.look1", &rc));
    ASSERT_EQ(rc, KXE_SUCCESS);
    ASSERT_NE(raw.get(), nullptr);
    EXPECT_EQ(str(raw->id), "xc.look1");
    EXPECT_EQ(str(raw->screenResolution), "1280x1024");
    EXPECT_EQ(raw->screenRefresh, 60);
    EXPECT_EQ(str(raw->screenEnablePC), "true");
    EXPECT_EQ(str(raw->screenDefaultPC), "1");
    EXPECT_EQ(raw->screenDimRows, 2);
    EXPECT_EQ(raw->screenDimColumns, 2);
    EXPECT_EQ(ordering_of(raw.get()), (std::vector<int>{3, 1, 4, 2}));
    EXPECT_EQ(str(raw->screenEnableAutoSizing), "auto");
    EXPECT_EQ(str(raw->screenEnableMultiscreen), "multi");
    EXPECT_EQ(str(raw->screenEnableXinerama), "xin");

    Conf logical(lookup("user.xc-look1", &rc));
    ASSERT_EQ(rc, KXE_SUCCESS);
    ASSERT_NE(logical.get(), nullptr);
    EXPECT_EQ(str(logical->id), "user.xc-look1");
    EXPECT_EQ(str(logical->screenResolution), "800x600");
    EXPECT_EQ(logical->screenRefresh, 85);
    EXPECT_EQ(logical->screenEnablePC, nullptr);
    EXPECT_EQ(logical->screenDefaultPC, nullptr);
    EXPECT_EQ(logical->screenOrdering, nullptr);
    EXPECT_EQ(logical->screenDimRows, 0);
    EXPECT_EQ(logical->screenDimColumns, 0);
    EXPECT_EQ(logical->screenEnableAutoSizing, nullptr);
    EXPECT_EQ(logical->screenEnableMultiscreen, nullptr);
    EXPECT_EQ(logical->screenEnableXinerama, nullptr);

    // The logical prefix is recognised in any letter case.
    Conf upper(lookup("USER.xc-look1", &rc));
    EXPECT_EQ(rc, KXE_SUCCESS);
    EXPECT_NE(upper.get(), nullptr);
}

TEST_F(XconfigStore, LookupWithoutAConfigurationIsNotFound)
{
    make_raw("xc.look2");                        // a token without a configuration
    make_logical("xc.look3", kFullScreen);       // a raw id kept among the logical tokens
    make_raw("xc.look4", {{"kxScreenResolution", "1x1"}});
    // Two matching entries below the container: no single answer.
    make("kxID=xc.look4," + raw_dn("xc.look4"),
         {{"objectClass", "kxRawToken"}, {"objectClass", "kxXconfig"}, {"kxID", "xc.look4"},
          {"kxScreenResolution", "2x2"}});

    for (const char *id : {"xc.look2", "xc.nosuch", "xc.look3", "user.xc-nosuch", "xc.look4"}) {
        int rc = 0;
        KXXconfig *c = lookup(id, &rc);
        EXPECT_EQ(rc, KXE_NOTFOUND) << id;
        EXPECT_EQ(c, nullptr) << id;
        kx_freeXconf(c);
    }
}

TEST_F(XconfigStore, LookupRefusesUnusableIdsAndClearsTheResult)
{
    for (const char *id : {"abc", "", "user.", ".abc", "abc.", "080020a1b2c3"}) {
        int rc = 0;
        KXXconfig *c = lookup(id, &rc);
        EXPECT_EQ(rc, KXE_INVAL) << "[" << id << "]";
        EXPECT_EQ(c, nullptr) << id;
    }
    KXXconfig *out = kPoison;
    EXPECT_EQ(kx_getXconfByTokenID(k_, nullptr, &out), KXE_INVAL);
    EXPECT_EQ(out, nullptr);
    out = kPoison;
    char id[] = "xc.look1";
    EXPECT_EQ(kx_getXconfByTokenID(nullptr, id, &out), KXE_INVAL);
    EXPECT_EQ(out, nullptr);
}

// ---- reading entries ------------------------------------------------------------

struct FillCase {
    const char *name;
    Fields screen;
    int rows, columns;
    std::vector<int> ordering;   // empty: no ordering array
    int refresh;
};

TEST_F(XconfigStore, ReadingHandMadeEntries)
{
    const std::vector<FillCase> cases = {
        {"xc.fill.exact", {{"kxScreenDimRows", "2"}, {"kxScreenDimColumns", "2"}, {"kxScreenOrdering", "3,1,4,2"}},
         2, 2, {3, 1, 4, 2}, -1},
        {"xc.fill.short", {{"kxScreenDimRows", "2"}, {"kxScreenDimColumns", "2"}, {"kxScreenOrdering", "3,1,4"}},
         2, 2, {}, -1},
        {"xc.fill.long", {{"kxScreenDimRows", "2"}, {"kxScreenDimColumns", "2"}, {"kxScreenOrdering", "3,1,4,2,5"}},
         2, 2, {3, 1, 4, 2}, -1},
        {"xc.fill.blanks",
         {{"kxScreenDimRows", "1"}, {"kxScreenDimColumns", "3"}, {"kxScreenOrdering", " 7 ,\t8\n, 9 "}},
         1, 3, {7, 8, 9}, -1},
        {"xc.fill.rows0", {{"kxScreenDimRows", "0"}, {"kxScreenDimColumns", "3"}, {"kxScreenOrdering", "1,2,3"}},
         0, 0, {}, -1},
        {"xc.fill.cols0", {{"kxScreenDimRows", "3"}, {"kxScreenDimColumns", "0"}, {"kxScreenOrdering", "1,2,3"}},
         0, 0, {}, -1},
        {"xc.fill.nocols", {{"kxScreenDimRows", "2"}, {"kxScreenOrdering", "1,2"}}, 0, 0, {}, -1},
        {"xc.fill.negative", {{"kxScreenDimRows", "-1"}, {"kxScreenDimColumns", "2"}, {"kxScreenOrdering", "1,2"}},
         0, 0, {}, -1},
        {"xc.fill.noorder", {{"kxScreenDimRows", "1"}, {"kxScreenDimColumns", "2"}}, 1, 2, {}, -1},
        {"xc.fill.refresh0", {{"kxScreenRefresh", "0"}}, 0, 0, {}, 0},
        {"xc.fill.bare", {{"kxScreenEnablePC", "x"}}, 0, 0, {}, -1},
    };
    for (const auto &fc : cases)
        make_raw(fc.name, fc.screen);

    for (const auto &fc : cases) {
        SCOPED_TRACE(fc.name);
        int rc = 0;
        Conf c(lookup(fc.name, &rc));
        ASSERT_EQ(rc, KXE_SUCCESS);
        ASSERT_NE(c.get(), nullptr);
        EXPECT_EQ(str(c->id), fc.name);
        EXPECT_EQ(c->screenDimRows, fc.rows);
        EXPECT_EQ(c->screenDimColumns, fc.columns);
        EXPECT_EQ(c->screenRefresh, fc.refresh);
        if (fc.ordering.empty())
            EXPECT_EQ(c->screenOrdering, nullptr);
        else
            EXPECT_EQ(ordering_of(c.get()), fc.ordering);
        EXPECT_EQ(c->screenResolution, nullptr);
    }
}

TEST_F(XconfigStore, AnOrderingElementWithoutANumberIsReadSafely)
{
    make_raw("xc.fill.hole", {{"kxScreenDimRows", "1"}, {"kxScreenDimColumns", "3"}, {"kxScreenOrdering", "1, ,3"}});
    make_raw("xc.fill.hole2", {{"kxScreenDimRows", "1"}, {"kxScreenDimColumns", "2"}, {"kxScreenOrdering", "1, ,3"}});
    for (const char *id : {"xc.fill.hole", "xc.fill.hole2"}) {
        SCOPED_TRACE(id);
        int rc = 0;
        Conf c(lookup(id, &rc));
        ASSERT_EQ(rc, KXE_SUCCESS);
        ASSERT_NE(c.get(), nullptr);
        EXPECT_EQ(c->screenDimRows, 1);
        // Whatever is made of the blank element, the numbers read are the
        // text's own and the grid is not left half filled.
        if (c->screenOrdering) {
            EXPECT_EQ(c->screenOrdering[0], 1);
        }
        std::string out = printed(c.get());
        EXPECT_NE(out.find("\tScreen Ordering Dimension: 1 x "), std::string::npos);
    }
}

TEST_F(XconfigStore, AStoredPseudoTokenReadsBackWithItsPrefix)
{
    make_raw("080020a1b2c3", {{"kxScreenResolution", "1152x900"}, {"kxScreenRefresh", "66"}});
    for (const char *asked : {"pseudo.080020a1b2c3", "PSEUDO.080020a1b2c3", "Pseudo.080020A1B2C3"}) {
        SCOPED_TRACE(asked);
        int rc = 0;
        Conf c(lookup(asked, &rc));
        ASSERT_EQ(rc, KXE_SUCCESS);
        ASSERT_NE(c.get(), nullptr);
        EXPECT_EQ(str(c->id), "pseudo.080020a1b2c3");
        EXPECT_EQ(str(c->screenResolution), "1152x900");
        EXPECT_EQ(c->screenRefresh, 66);
    }
}

TEST_F(XconfigStore, AnEntryWithoutItsIdGivesNoRecord)
{
    make_raw("xc.fill.noid", {{"kxScreenResolution", "640x480"}});
    std::string filter = "(kxID=xc.fill.noid)";
    std::string base = raw_tokens_base();
    char attr[] = "kxScreenResolution";
    char *attrs[] = {attr, nullptr};
    LDAPMessage *res = search_for_entries(k_->ld, filter.data(), base.data(), attrs, 0, KX_SEARCH_ONE);
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(fill_Xconfig_struct(k_, ldap_first_entry(k_->ld, res)), nullptr);
    ldap_msgfree(res);

    res = search_for_entries(k_->ld, filter.data(), base.data(), nullptr, 0, KX_SEARCH_ONE);
    ASSERT_NE(res, nullptr);
    Conf c(fill_Xconfig_struct(k_, ldap_first_entry(k_->ld, res)));
    ldap_msgfree(res);
    ASSERT_NE(c.get(), nullptr);
    EXPECT_EQ(str(c->id), "xc.fill.noid");
    EXPECT_EQ(str(c->screenResolution), "640x480");
}

// ---- adding -----------------------------------------------------------------------

TEST_F(XconfigStore, AddToAnExistingRawToken)
{
    make_raw("xc.add1");
    Conf c;
    fill_full(c.get(), "xc.add1");
    EXPECT_EQ(kx_addXconf(k_, c.get(), 0), KXE_SUCCESS);

    auto e = read_entry(raw_dn("xc.add1"));
    ASSERT_TRUE(e);
    EXPECT_TRUE(has_class(e, "kxRawToken"));
    EXPECT_TRUE(has_class(e, "kxXconfig"));
    EXPECT_EQ(values(e, "kxScreenResolution"), std::vector<std::string>{"1600x1200"});
    EXPECT_EQ(values(e, "kxScreenRefresh"), std::vector<std::string>{"75"});
    EXPECT_EQ(values(e, "kxScreenEnablePC"), std::vector<std::string>{"yes"});
    EXPECT_EQ(values(e, "kxScreenDefaultPC"), std::vector<std::string>{"2"});
    EXPECT_EQ(values(e, "kxScreenDimRows"), std::vector<std::string>{"2"});
    EXPECT_EQ(values(e, "kxScreenDimColumns"), std::vector<std::string>{"2"});
    EXPECT_EQ(values(e, "kxScreenOrdering"), std::vector<std::string>{"3,1,4,2"});
    EXPECT_EQ(values(e, "kxScreenEnableAutoSizing"), std::vector<std::string>{"on"});
    EXPECT_EQ(values(e, "kxScreenEnableMultiscreen"), std::vector<std::string>{"true"});
    EXPECT_EQ(values(e, "kxScreenEnableXinerama"), std::vector<std::string>{"off"});
    // The caller's record is unchanged.
    EXPECT_EQ(str(c->id), "xc.add1");
    EXPECT_EQ(ordering_of(c.get()), (std::vector<int>{3, 1, 4, 2}));

    int rc = 0;
    Conf back(lookup("xc.add1", &rc));
    ASSERT_EQ(rc, KXE_SUCCESS);
    EXPECT_EQ(printed(back.get()), printed(c.get()));
}

TEST_F(XconfigStore, AddCreatesAMissingRawToken)
{
    remove_later(raw_dn("xc.add2"));
    Conf c;
    c->id = dup("xc.add2");
    c->screenResolution = dup("1024x768");
    EXPECT_EQ(kx_addXconf(k_, c.get(), 0), KXE_SUCCESS);

    auto e = read_entry(raw_dn("xc.add2"));
    ASSERT_TRUE(e);
    EXPECT_TRUE(has_class(e, "kxRawToken"));
    EXPECT_TRUE(has_class(e, "kxXconfig"));
    EXPECT_EQ(values(e, "kxID"), std::vector<std::string>{"xc.add2"});
    EXPECT_EQ(values(e, "kxTokenType"), std::vector<std::string>{"user"});
    EXPECT_EQ(values(e, "kxTokenState"), std::vector<std::string>{"unknown"});
    EXPECT_EQ(values(e, "kxEnabled"), std::vector<std::string>{"allowed"});
    EXPECT_TRUE(values(e, "kxSecret").empty());
    EXPECT_TRUE(values(e, "kxMisc1").empty());
    EXPECT_TRUE(values(e, "kxMisc2").empty());
    EXPECT_EQ(screen_attrs(e), std::vector<std::string>{"kxscreenresolution"});
}

TEST_F(XconfigStore, AddForAPseudoTokenEndsOnTheEntryOfItsStoredName)
{
    remove_later(raw_dn("pseudo.0a0b0c0d0e0f"));
    remove_later(raw_dn("0a0b0c0d0e0f"));
    Conf c;
    c->id = dup("pseudo.0a0b0c0d0e0f");
    c->screenRefresh = 70;
    EXPECT_EQ(kx_addXconf(k_, c.get(), 0), KXE_SUCCESS);

    auto e = read_entry(raw_dn("0a0b0c0d0e0f"));
    ASSERT_TRUE(e) << "no entry under the stored name";
    EXPECT_TRUE(has_class(e, "kxXconfig"));
    EXPECT_EQ(values(e, "kxScreenRefresh"), std::vector<std::string>{"70"});
    int rc = 0;
    Conf back(lookup("pseudo.0a0b0c0d0e0f", &rc));
    EXPECT_EQ(rc, KXE_SUCCESS);
    ASSERT_NE(back.get(), nullptr);
    EXPECT_EQ(str(back->id), "pseudo.0a0b0c0d0e0f");
    EXPECT_EQ(back->screenRefresh, 70);
}

TEST_F(XconfigStore, AddToALogicalToken)
{
    make_logical("user.xc-add5");
    Conf c;
    c->id = dup("user.xc-add5");
    c->screenDimRows = 1;
    c->screenDimColumns = 3;
    c->screenOrdering = ordering({2, 3, 1});
    EXPECT_EQ(kx_addXconf(k_, c.get(), 0), KXE_SUCCESS);
    auto e = read_entry(logical_dn("user.xc-add5"));
    ASSERT_TRUE(e);
    EXPECT_TRUE(has_class(e, "kxLogicalToken"));
    EXPECT_TRUE(has_class(e, "kxXconfig"));
    EXPECT_EQ(values(e, "kxScreenOrdering"), std::vector<std::string>{"2,3,1"});
    EXPECT_EQ(values(e, "kxScreenDimRows"), std::vector<std::string>{"1"});
    EXPECT_EQ(values(e, "kxScreenDimColumns"), std::vector<std::string>{"3"});
}

TEST_F(XconfigStore, AddForAMissingLogicalTokenCreatesNothing)
{
    remove_later(logical_dn("user.xc-missing"));
    Conf c;
    fill_full(c.get(), "user.xc-missing");
    EXPECT_EQ(kx_addXconf(k_, c.get(), 0), KXE_NOTOKEN);
    EXPECT_TRUE(ldap_find(subtree(), "(kxID=user.xc-missing)").empty());
}

TEST_F(XconfigStore, AddRefusesUnusableArguments)
{
    Conf c;
    fill_full(c.get(), "xc.add6");
    EXPECT_EQ(kx_addXconf(nullptr, c.get(), 0), KXE_INVAL);
    EXPECT_EQ(kx_addXconf(k_, nullptr, 0), KXE_INVAL);
    for (const char *bad : {"xcadd6", "user.", ".xc", "xc."}) {
        std::free(c->id);
        c->id = dup(bad);
        EXPECT_EQ(kx_addXconf(k_, c.get(), 1), KXE_INVAL) << bad;
    }
    std::free(c->id);
    c->id = nullptr;
    EXPECT_EQ(kx_addXconf(k_, c.get(), 1), KXE_INVAL);
    EXPECT_TRUE(ldap_find(subtree(), "(|(kxID=xc.add6)(kxID=xcadd6)(kxID=xc.))").empty());
}

TEST_F(XconfigStore, AnExistingConfigurationIsKeptOrReplaced)
{
    make_raw("xc.repl1", {{"kxScreenResolution", "640x480"},
                          {"kxScreenEnablePC", "old"},
                          {"kxScreenDimRows", "1"},
                          {"kxScreenDimColumns", "2"},
                          {"kxScreenOrdering", "2,1"},
                          {"kxScreenRefresh", "50"}});
    auto before = read_entry(raw_dn("xc.repl1"));

    Conf c;
    c->id = dup("xc.repl1");
    c->screenResolution = dup("1920x1080");
    c->screenDimRows = 1;
    c->screenDimColumns = 3;
    c->screenOrdering = ordering({1, 2, 3});
    c->screenEnableXinerama = dup("on");
    EXPECT_EQ(kx_addXconf(k_, c.get(), 0), KXE_EXISTS);
    EXPECT_EQ(kx_addXconf(k_, c.get(), 2), KXE_EXISTS);
    EXPECT_EQ(kx_addXconf(k_, c.get(), -1), KXE_EXISTS);
    EXPECT_EQ(read_entry(raw_dn("xc.repl1")), before);

    EXPECT_EQ(kx_addXconf(k_, c.get(), 1), KXE_SUCCESS);
    auto e = read_entry(raw_dn("xc.repl1"));
    ASSERT_TRUE(e);
    EXPECT_TRUE(has_class(e, "kxXconfig"));
    EXPECT_EQ(values(e, "kxScreenResolution"), std::vector<std::string>{"1920x1080"});
    EXPECT_EQ(values(e, "kxScreenOrdering"), std::vector<std::string>{"1,2,3"});
    EXPECT_EQ(values(e, "kxScreenDimColumns"), std::vector<std::string>{"3"});
    EXPECT_EQ(values(e, "kxScreenEnableXinerama"), std::vector<std::string>{"on"});
    // What the new record does not hold is gone.
    EXPECT_TRUE(values(e, "kxScreenEnablePC").empty());
    EXPECT_TRUE(values(e, "kxScreenRefresh").empty());
    EXPECT_EQ(screen_attrs(e).size(), 5u);
}

TEST_F(XconfigStore, ReplacingThePseudoTokenConfiguration)
{
    make_raw("0a1b2c3d4e5f", {{"kxScreenResolution", "640x480"}, {"kxScreenDefaultPC", "9"}});
    Conf c;
    c->id = dup("pseudo.0a1b2c3d4e5f");
    c->screenResolution = dup("800x600");
    EXPECT_EQ(kx_addXconf(k_, c.get(), 0), KXE_EXISTS);
    EXPECT_EQ(kx_addXconf(k_, c.get(), 1), KXE_SUCCESS);
    auto e = read_entry(raw_dn("0a1b2c3d4e5f"));
    EXPECT_EQ(values(e, "kxScreenResolution"), std::vector<std::string>{"800x600"});
    EXPECT_TRUE(values(e, "kxScreenDefaultPC").empty());
    EXPECT_TRUE(ldap_find(raw_tokens_base(), "(kxID=pseudo.0a1b2c3d4e5f)").empty());
}

TEST_F(XconfigStore, AReplacementWhoseDeletionFailsChangesNothing)
{
    // Rows 0 read back as no grid, so the deletion leaves the stored rows
    // and ordering behind and the server refuses to drop the class.
    make_raw("xc.repl2", {{"kxScreenResolution", "640x480"},
                          {"kxScreenDimRows", "0"},
                          {"kxScreenOrdering", "1,2"}});
    auto before = read_entry(raw_dn("xc.repl2"));
    Conf c;
    c->id = dup("xc.repl2");
    c->screenResolution = dup("800x600");
    EXPECT_EQ(kx_addXconf(k_, c.get(), 1), KXE_INTERNAL);
    EXPECT_EQ(read_entry(raw_dn("xc.repl2")), before);
}

TEST_F(XconfigStore, ALargeGridIsStoredWhole)
{
    make_raw("xc.grid");
    Conf c;
    c->id = dup("xc.grid");
    c->screenDimRows = 20;
    c->screenDimColumns = 20;
    c->screenOrdering = static_cast<int *>(std::malloc(400 * sizeof(int)));
    std::string expected;
    for (int i = 0; i < 400; ++i) {
        c->screenOrdering[i] = 1000 + (i * 37) % 400;
        expected += (i ? "," : "") + std::to_string(c->screenOrdering[i]);
    }
    ASSERT_GT(expected.size(), 1000u);
    EXPECT_EQ(kx_addXconf(k_, c.get(), 0), KXE_SUCCESS);
    EXPECT_EQ(values(read_entry(raw_dn("xc.grid")), "kxScreenOrdering"), std::vector<std::string>{expected});
    int rc = 0;
    Conf back(lookup("xc.grid", &rc));
    ASSERT_EQ(rc, KXE_SUCCESS);
    EXPECT_EQ(ordering_of(back.get()), ordering_of(c.get()));
}

// ---- writing ------------------------------------------------------------------------

TEST_F(XconfigStore, ARecordWithOnlyItsIdSendsJustTheObjectClass)
{
    make_raw("xc.write1");
    Conf c;
    c->id = dup("xc.write1");
    size_t offset = slapd_log_size();
    EXPECT_EQ(_modXconf(k_, c.get(), 0), KXE_SUCCESS);
    auto sent = logged_mods(offset, raw_dn("xc.write1"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], std::vector<std::string>{"objectclass"});
    auto e = read_entry(raw_dn("xc.write1"));
    EXPECT_TRUE(has_class(e, "kxXconfig"));
    EXPECT_TRUE(screen_attrs(e).empty());

    // The same record through the add of a configuration.
    make_raw("xc.write2");
    Conf d;
    d->id = dup("xc.write2");
    offset = slapd_log_size();
    EXPECT_EQ(kx_addXconf(k_, d.get(), 0), KXE_SUCCESS);
    sent = logged_mods(offset, raw_dn("xc.write2"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], std::vector<std::string>{"objectclass"});
}

TEST_F(XconfigStore, WritingSendsTheAttributesInTheirOrder)
{
    make_raw("xc.write3");
    Conf c;
    fill_full(c.get(), "xc.write3");
    size_t offset = slapd_log_size();
    EXPECT_EQ(_modXconf(k_, c.get(), 0), KXE_SUCCESS);
    auto sent = logged_mods(offset, raw_dn("xc.write3"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (std::vector<std::string>{"kxscreenresolution", "kxscreenrefresh", "kxscreenenablepc",
                                                 "kxscreendefaultpc", "objectclass", "kxscreendimrows",
                                                 "kxscreendimcolumns", "kxscreenordering",
                                                 "kxscreenenableautosizing", "kxscreenenablexinerama",
                                                 "kxscreenenablemultiscreen"}));

    // The delete operation sends the same values back.
    offset = slapd_log_size();
    EXPECT_EQ(_modXconf(k_, c.get(), 1), KXE_SUCCESS);
    auto e = read_entry(raw_dn("xc.write3"));
    ASSERT_TRUE(e);
    EXPECT_FALSE(has_class(e, "kxXconfig"));
    EXPECT_TRUE(screen_attrs(e).empty());
}

TEST_F(XconfigStore, AGridOfNoCellsSendsNoOrdering)
{
    make_raw("xc.write4");
    Conf c;
    c->id = dup("xc.write4");
    c->screenOrdering = ordering({1, 2});   // an array without a grid
    c->screenRefresh = 0;                  // 0 is a refresh rate, not unset
    size_t offset = slapd_log_size();
    EXPECT_EQ(_modXconf(k_, c.get(), 0), KXE_SUCCESS);
    auto sent = logged_mods(offset, raw_dn("xc.write4"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (std::vector<std::string>{"kxscreenrefresh", "objectclass"}));
    EXPECT_EQ(values(read_entry(raw_dn("xc.write4")), "kxScreenRefresh"), std::vector<std::string>{"0"});

    make_raw("xc.write5");
    Conf d;
    d->id = dup("xc.write5");
    d->screenDimRows = 2;
    d->screenOrdering = ordering({1, 2});
    offset = slapd_log_size();
    EXPECT_EQ(_modXconf(k_, d.get(), 0), KXE_SUCCESS);
    sent = logged_mods(offset, raw_dn("xc.write5"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (std::vector<std::string>{"objectclass", "kxscreendimrows"}));
}

TEST_F(XconfigStore, WritingWithoutAnEntryNameFails)
{
    Conf c;
    c->id = dup("xcwrite");
    EXPECT_EQ(_modXconf(k_, c.get(), 0), KXE_INTERNAL);
    std::string longid = "xc." + std::string(520, 'w');
    std::free(c->id);
    c->id = dup(longid.c_str());
    EXPECT_EQ(_modXconf(k_, c.get(), 0), KXE_INTERNAL);
}

// ---- deleting ------------------------------------------------------------------------

TEST_F(XconfigStore, DeleteRemovesTheConfigurationAndKeepsTheToken)
{
    Fields screen = kFullScreen;
    make_raw("xc.del1", screen);
    ASSERT_EQ(ldapmodify("dn: " + raw_dn("xc.del1") +
                         "\nchangetype: modify\nadd: kxTokenType\nkxTokenType: card\n-\n"
                         "add: kxSecret\nkxSecret: s3\n\n"),
              0);
    char id[] = "xc.del1";
    EXPECT_EQ(kx_delXconfByTokenID(k_, id), KXE_SUCCESS);
    auto e = read_entry(raw_dn("xc.del1"));
    ASSERT_TRUE(e);
    EXPECT_EQ(values(e, "objectClass"), std::vector<std::string>{"kxRawToken"});
    EXPECT_TRUE(screen_attrs(e).empty());
    EXPECT_EQ(values(e, "kxTokenType"), std::vector<std::string>{"card"});
    EXPECT_EQ(values(e, "kxSecret"), std::vector<std::string>{"s3"});

    EXPECT_EQ(kx_delXconfByTokenID(k_, id), KXE_NOTFOUND);
    char none[] = "xc.del.none";
    EXPECT_EQ(kx_delXconfByTokenID(k_, none), KXE_NOTFOUND);
    EXPECT_TRUE(ldap_find(raw_tokens_base(), "(kxID=xc.del.none)").empty());
}

TEST_F(XconfigStore, DeleteOfLogicalAndPseudoTokens)
{
    make_logical("user.xc-del2", {{"kxScreenResolution", "1x1"}, {"kxScreenRefresh", "10"}});
    make_raw("0c0d0e0f0a0b", {{"kxScreenEnableXinerama", "yes"}});
    char logical[] = "user.xc-del2";
    char pseudo[] = "pseudo.0c0d0e0f0a0b";
    EXPECT_EQ(kx_delXconfByTokenID(k_, logical), KXE_SUCCESS);
    EXPECT_EQ(kx_delXconfByTokenID(k_, pseudo), KXE_SUCCESS);
    auto l = read_entry(logical_dn("user.xc-del2"));
    ASSERT_TRUE(l);
    EXPECT_EQ(values(l, "objectClass"), std::vector<std::string>{"kxLogicalToken"});
    EXPECT_TRUE(screen_attrs(l).empty());
    auto r = read_entry(raw_dn("0c0d0e0f0a0b"));
    ASSERT_TRUE(r);
    EXPECT_EQ(values(r, "objectClass"), std::vector<std::string>{"kxRawToken"});
    EXPECT_TRUE(screen_attrs(r).empty());
}

TEST_F(XconfigStore, DeleteRefusesUnusableArguments)
{
    make_raw("xc.del3", {{"kxScreenResolution", "1x1"}});
    char id[] = "xc.del3";
    EXPECT_EQ(kx_delXconfByTokenID(nullptr, id), KXE_INVAL);
    EXPECT_EQ(kx_delXconfByTokenID(k_, nullptr), KXE_INVAL);
    char bad[] = "xcdel3";
    EXPECT_EQ(kx_delXconfByTokenID(k_, bad), KXE_INVAL);
    EXPECT_TRUE(has_class(read_entry(raw_dn("xc.del3")), "kxXconfig"));
}

// ---- printing ------------------------------------------------------------------------

TEST(XconfigPrint, AFullRecord)
{
    Conf c;
    fill_full(c.get(), "user.print");
    EXPECT_EQ(printed(c.get()),
              "\tLogical Token: user.print\n"
              "\tScreen Resolution: 1600x1200\n"
              "\tScreen Refresh: 75\n"
              "\tScreen EnablePC: yes\n"
              "\tScreen DefaultPC: 2\n"
              "\tScreen Ordering Dimension: 2 x 2\n"
              "\tScreen Ordering: 3, 1, 4, 2\n"
              "\tScreen EnableAutoSizing: on\n"
              "\tScreen EnableXinerama: off\n"
              "\tScreen EnableMultiscreen: true\n");
}

TEST(XconfigPrint, ANewRecordAndMissingParts)
{
    Conf c;
    EXPECT_EQ(c->screenRefresh, -1);
    EXPECT_EQ(c->screenDimRows, 0);
    EXPECT_EQ(c->screenDimColumns, 0);
    EXPECT_EQ(c->id, nullptr);
    EXPECT_EQ(c->screenOrdering, nullptr);
    EXPECT_EQ(printed(c.get()),
              "\tLogical Token: <not defined>\n"
              "\tScreen Resolution: <not defined>\n"
              "\tScreen Refresh: -1\n"
              "\tScreen EnablePC: <not defined>\n"
              "\tScreen DefaultPC: <not defined>\n"
              "\tScreen Ordering Dimension: 0 x 0\n"
              "\tScreen Ordering: <not set>\n"
              "\tScreen EnableAutoSizing: <not defined>\n"
              "\tScreen EnableXinerama: <not defined>\n"
              "\tScreen EnableMultiscreen: <not defined>\n");

    // A grid without an ordering, and an ordering of one screen.
    c->screenDimRows = 2;
    c->screenDimColumns = 3;
    EXPECT_NE(printed(c.get()).find("\tScreen Ordering Dimension: 2 x 3\n\tScreen Ordering: <not set>\n"),
              std::string::npos);
    c->screenDimRows = 1;
    c->screenDimColumns = 1;
    c->screenOrdering = ordering({7});
    EXPECT_NE(printed(c.get()).find("\tScreen Ordering Dimension: 1 x 1\n\tScreen Ordering: 7\n"),
              std::string::npos);
    c->screenDimColumns = 0;
    EXPECT_NE(printed(c.get()).find("\tScreen Ordering Dimension: 1 x 0\n\tScreen Ordering: <not set>\n"),
              std::string::npos);
}

TEST(XconfigPrint, AGridOfNegativeSizeShowsTheFirstNumberOnly)
{
    // The ordering line is left out only for a grid of no cells; a grid of
    // negative size has a first number and no further ones.
    Conf c;
    c->screenDimRows = -1;
    c->screenDimColumns = 2;
    c->screenOrdering = ordering({5, 6});
    EXPECT_NE(printed(c.get()).find("\tScreen Ordering Dimension: -1 x 2\n\tScreen Ordering: 5\n"),
              std::string::npos)
        << printed(c.get());
}

TEST(XconfigPrint, NothingForNoRecord)
{
    EXPECT_EQ(printed(nullptr), "");
    kx_freeXconf(nullptr);
}

// ---- the ordering parser -----------------------------------------------------------------

std::vector<int> parsed(const char *text, int count, bool *null_result)
{
    int *out = reinterpret_cast<int *>(0x1);
    parse_intList(text, &out, count);
    *null_result = out == nullptr;
    std::vector<int> v;
    if (out) {
        v.assign(out, out + count);
        std::free(out);
    }
    return v;
}

TEST(XconfigIntList, WholeLists)
{
    bool null_result = false;
    EXPECT_EQ(parsed("3,1,4,2", 4, &null_result), (std::vector<int>{3, 1, 4, 2}));
    EXPECT_EQ(parsed("5", 1, &null_result), std::vector<int>{5});
    EXPECT_EQ(parsed(" 7 ,\t8\n,  9\t\n", 3, &null_result), (std::vector<int>{7, 8, 9}));
    EXPECT_EQ(parsed("-3,0,12", 3, &null_result), (std::vector<int>{-3, 0, 12}));
    EXPECT_FALSE(null_result);
}

TEST(XconfigIntList, FurtherElementsAreIgnored)
{
    bool null_result = true;
    EXPECT_EQ(parsed("3,1,4,2,5", 4, &null_result), (std::vector<int>{3, 1, 4, 2}));
    EXPECT_FALSE(null_result);
    EXPECT_EQ(parsed("1,2", 1, &null_result), std::vector<int>{1});
    EXPECT_EQ(parsed("1,2,", 2, &null_result), (std::vector<int>{1, 2}));
    EXPECT_FALSE(null_result);
}

TEST(XconfigIntList, TooFewOrNoElementsGiveNothing)
{
    bool null_result = false;
    EXPECT_TRUE(parsed("3,1,4", 4, &null_result).empty());
    EXPECT_TRUE(null_result);
    EXPECT_TRUE(parsed("", 2, &null_result).empty());
    EXPECT_TRUE(null_result);
    EXPECT_TRUE(parsed(nullptr, 2, &null_result).empty());
    EXPECT_TRUE(null_result);
    EXPECT_TRUE(parsed("1", 1000, &null_result).empty());
    EXPECT_TRUE(null_result);
}

TEST(XconfigIntList, ABlankElementIsReadSafely)
{
    for (int count : {1, 2, 3}) {
        int *out = nullptr;
        parse_intList("1, ,3", &out, count);
        if (out != nullptr) {
            EXPECT_EQ(out[0], 1) << count;
            std::free(out);
        }
    }
    int *out = nullptr;
    parse_intList("1, ,3", &out, 4);
    EXPECT_EQ(out, nullptr);
    std::free(out);
}

} // namespace
