// The desktop and user status databases: records kept in real ndbm files,
// their encoding, the listing order, the print formats and the refusals of
// read-only handles, over-long values and separator bytes.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "admin_private.h"
#include "kx_dbm.h"
#include "syslog_capture.h"
#include "utils.h"

namespace {

const char RS = '\x1e';

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

std::string str(const char *s)
{
    return s ? s : "<NULL>";
}

datum as_datum(const std::string &s)
{
    datum d;
    d.dptr = const_cast<char *>(s.data());
    d.dsize = static_cast<int>(s.size());
    return d;
}

// The bytes stored under a key, or "<none>" when there is no value.
std::string raw_value(DBM *db, const std::string &key)
{
    datum v = dbm_fetch(db, as_datum(key));
    if (!v.dptr)
        return "<none>";
    return std::string(v.dptr, static_cast<size_t>(v.dsize));
}

// Stores bytes exactly as given, bypassing the record encoder.
void store_raw(DBM *db, const std::string &key, const std::string &value)
{
    ASSERT_EQ(dbm_store(db, as_datum(key), as_datum(value), DBM_REPLACE), 0);
}

// Directory made with mkdtemp under /tmp holding two empty databases; it is
// removed with everything in it.
class StatusDbBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kx_statusdb_XXXXXX";
        const char *made = mkdtemp(tmpl);
        ASSERT_NE(made, nullptr) << std::strerror(errno);
        dir_ = made;
        dpath_ = dir_ + "/dstatus";
        upath_ = dir_ + "/ustatus";
        for (const std::string *p : {&dpath_, &upath_}) {
            DBM *db = dbm_open(const_cast<char *>(p->c_str()), O_RDWR | O_CREAT, 0664);
            ASSERT_NE(db, nullptr) << *p;
            dbm_close(db);
        }
        set_gdebug(nullptr);
        set_suppress_output(0);
        kxcap_clear();
    }

    void TearDown() override
    {
        close_handles();
        std::free(kxa_);
        kxa_ = nullptr;
        set_gdebug(nullptr);
        kxcap_clear();
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }

    // Opens both databases through the library in the given connection
    // mode and builds a session record that holds the handles.
    void open_session(int mode)
    {
        close_handles();
        ddb_ = open_desktop_dbm(const_cast<char *>(dpath_.c_str()), mode);
        udb_ = open_user_dbm(const_cast<char *>(upath_.c_str()), mode);
        ASSERT_NE(ddb_, nullptr);
        ASSERT_NE(udb_, nullptr);
        kxa_ = static_cast<KXAdminStruct *>(std::calloc(1, sizeof(KXAdminStruct)));
        ASSERT_NE(kxa_, nullptr);
        kxa_->mode = mode;
        kxa_->dstat_db = ddb_;
        kxa_->ustat_db = udb_;
    }

    void close_handles()
    {
        if (ddb_)
            close_desktop_dbm(ddb_);
        if (udb_)
            close_user_dbm(udb_);
        ddb_ = udb_ = nullptr;
        if (kxa_) {
            kxa_->dstat_db = kxa_->ustat_db = nullptr;
            std::free(kxa_);
            kxa_ = nullptr;
        }
    }

    std::vector<std::string> files_in_dir() const
    {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_, dpath_, upath_;
    DBM *ddb_ = nullptr;
    DBM *udb_ = nullptr;
    KXAdminStruct *kxa_ = nullptr;
};

// ---------------------------------------------------------------------------
// Desktop status database
// ---------------------------------------------------------------------------

// A desktop record built from literal fields; NULL pointers stay NULL.
struct Desktop {
    DBMDesktop *d;
    Desktop(const char *id, const char *model, const char *fw, const char *status,
            const char *last, const char *first)
        : d(allocate_dbm_desktop())
    {
        d->id = id ? strdup(id) : nullptr;
        d->model = model ? strdup(model) : nullptr;
        d->firmware_rev = fw ? strdup(fw) : nullptr;
        d->status = status ? strdup(status) : nullptr;
        d->last_status_time = last ? strdup(last) : nullptr;
        d->first_conn_time = first ? strdup(first) : nullptr;
    }
    ~Desktop() { free_dbm_desktop(d); }
    Desktop(const Desktop &) = delete;
    Desktop &operator=(const Desktop &) = delete;
};

void expect_desktop(const DBMDesktop *d, const char *id, const char *model, const char *fw,
                    const char *status, const char *last, const char *first)
{
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(str(d->id), str(id));
    EXPECT_EQ(str(d->model), str(model));
    EXPECT_EQ(str(d->firmware_rev), str(fw));
    EXPECT_EQ(str(d->status), str(status));
    EXPECT_EQ(str(d->last_status_time), str(last));
    EXPECT_EQ(str(d->first_conn_time), str(first));
}

class DesktopStatusDb : public StatusDbBase {
protected:
    void SetUp() override
    {
        StatusDbBase::SetUp();
        if (!HasFatalFailure())
            open_session(3);
    }
};

TEST_F(DesktopStatusDb, AddStoresTheFieldsEachFollowedByTheSeparator)
{
    Desktop rec("IEEE802.080020a1b2c3", "SunRay2", "3.0_51", "online", "1000", "900");
    ASSERT_EQ(add_dbm_desktop(kxa_, rec.d), 0);

    const std::string expected = std::string("IEEE802.080020a1b2c3") + RS + "SunRay2" + RS +
                                 "3.0_51" + RS + "online" + RS + "1000" + RS + "900" + RS;
    EXPECT_EQ(raw_value(ddb_, "IEEE802.080020a1b2c3"), expected);
    // The key is the id's bytes without a terminating zero.
    EXPECT_EQ(raw_value(ddb_, std::string("IEEE802.080020a1b2c3", 21)), "<none>");

    DBMDesktop *got = get_dbm_desktop(ddb_, const_cast<char *>("IEEE802.080020a1b2c3"));
    expect_desktop(got, "IEEE802.080020a1b2c3", "SunRay2", "3.0_51", "online", "1000", "900");
    free_dbm_desktop(got);
    EXPECT_EQ(dbm_desktop_exists(ddb_, const_cast<char *>("IEEE802.080020a1b2c3")), 1);
    EXPECT_EQ(dbm_desktop_exists(ddb_, const_cast<char *>("IEEE802.080020a1b2c4")), 0);
}

TEST_F(DesktopStatusDb, AddWritesNullFieldsAsEmptyTexts)
{
    Desktop rec("t1", nullptr, "fw", "st", "1", "2");
    ASSERT_EQ(add_dbm_desktop(kxa_, rec.d), 0);
    DBMDesktop *got = get_dbm_desktop(ddb_, const_cast<char *>("t1"));
    expect_desktop(got, "t1", "", "fw", "st", "1", "2");
    free_dbm_desktop(got);

    Desktop bare("t2", nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(add_dbm_desktop(kxa_, bare.d), 0);
    EXPECT_EQ(raw_value(ddb_, "t2"), std::string("t2") + std::string(6, RS));
    got = get_dbm_desktop(ddb_, const_cast<char *>("t2"));
    expect_desktop(got, "t2", "", "", "", "", "");
    free_dbm_desktop(got);
}

TEST_F(DesktopStatusDb, AddNeverReplacesButModifyDoes)
{
    Desktop first("d1", "m1", "f1", "s1", "10", "5");
    Desktop second("d1", "m2", "f2", "s2", "20", "6");
    ASSERT_EQ(add_dbm_desktop(kxa_, first.d), 0);
    EXPECT_EQ(add_dbm_desktop(kxa_, second.d), -1);

    DBMDesktop *got = get_dbm_desktop(ddb_, const_cast<char *>("d1"));
    expect_desktop(got, "d1", "m1", "f1", "s1", "10", "5");
    free_dbm_desktop(got);

    EXPECT_EQ(modify_dstatus(ddb_, second.d), 0);
    got = get_dbm_desktop(ddb_, const_cast<char *>("d1"));
    expect_desktop(got, "d1", "m2", "f2", "s2", "20", "6");
    free_dbm_desktop(got);

    // Replace mode also stores a record that did not exist yet.
    Desktop fresh("d2", "m", "f", "s", "1", "1");
    EXPECT_EQ(modify_dstatus(ddb_, fresh.d), 0);
    EXPECT_EQ(dbm_desktop_exists(ddb_, const_cast<char *>("d2")), 1);
}

TEST_F(DesktopStatusDb, DeleteRemovesTheRecordSilently)
{
    Desktop rec("gone", "m", "f", "s", "1", "2");
    Desktop keep("kept", "m", "f", "s", "1", "2");
    ASSERT_EQ(add_dbm_desktop(kxa_, rec.d), 0);
    ASSERT_EQ(add_dbm_desktop(kxa_, keep.d), 0);
    kxcap_clear();

    EXPECT_EQ(delete_dbm_desktop(kxa_, const_cast<char *>("gone")), 0);
    EXPECT_EQ(kxcap_count(), 0);
    EXPECT_EQ(dbm_desktop_exists(ddb_, const_cast<char *>("gone")), 0);
    EXPECT_EQ(get_dbm_desktop(ddb_, const_cast<char *>("gone")), nullptr);
    EXPECT_EQ(dbm_desktop_exists(ddb_, const_cast<char *>("kept")), 1);

    // A second delete of the same id finds nothing.
    EXPECT_EQ(delete_dbm_desktop(kxa_, const_cast<char *>("gone")), -1);
}

TEST_F(DesktopStatusDb, DeleteOfUnknownIdLogsItsMessage)
{
    EXPECT_EQ(delete_dbm_desktop(kxa_, const_cast<char *>("nosuch")), -1);
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].priority, LOG_INFO);
    EXPECT_EQ(r[0].text, "delete_dbm_desktop(): Could not get dbm_desktop (nosuch)");
}

TEST_F(DesktopStatusDb, MissingRecordTracesUnderCategoryA)
{
    EXPECT_EQ(get_dbm_desktop(ddb_, const_cast<char *>("absent")), nullptr);
    EXPECT_EQ(kxcap_count(), 0);

    set_gdebug("d");
    kxcap_clear();
    EXPECT_EQ(get_dbm_desktop(ddb_, const_cast<char *>("absent")), nullptr);
    EXPECT_EQ(kxcap_count(), 0);

    set_gdebug("a");
    kxcap_clear();
    EXPECT_EQ(get_dbm_desktop(ddb_, const_cast<char *>("absent")), nullptr);
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].priority, LOG_INFO);
    EXPECT_EQ(r[0].text, "(a) No desktop record.\n");

    kxcap_clear();
    EXPECT_EQ(delete_dbm_desktop(kxa_, const_cast<char *>("absent")), -1);
    r = captured();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].text, "(a) No desktop record.\n");
    EXPECT_EQ(r[1].text, "delete_dbm_desktop(): Could not get dbm_desktop (absent)");
}

TEST_F(DesktopStatusDb, EmptyStoredValueCountsAsNoRecord)
{
    store_raw(ddb_, "empty", "");
    EXPECT_EQ(get_dbm_desktop(ddb_, const_cast<char *>("empty")), nullptr);
}

TEST_F(DesktopStatusDb, ValueOfExactly511BytesIsStoredAnd512Refused)
{
    // id "k", model of n bytes, four empty fields: n + 7 bytes in all.
    std::string fits(504, 'm');
    Desktop ok("k", fits.c_str(), "", "", "", "");
    ASSERT_EQ(add_dbm_desktop(kxa_, ok.d), 0);
    EXPECT_EQ(raw_value(ddb_, "k").size(), 511u);
    DBMDesktop *got = get_dbm_desktop(ddb_, const_cast<char *>("k"));
    expect_desktop(got, "k", fits.c_str(), "", "", "", "");
    free_dbm_desktop(got);

    std::string too_long(505, 'm');
    Desktop big("k2", too_long.c_str(), "", "", "", "");
    EXPECT_EQ(add_dbm_desktop(kxa_, big.d), -1);
    EXPECT_EQ(dbm_desktop_exists(ddb_, const_cast<char *>("k2")), 0);
    EXPECT_EQ(modify_dstatus(ddb_, big.d), -1);
    EXPECT_EQ(dbm_desktop_exists(ddb_, const_cast<char *>("k2")), 0);

    // A refused replacement leaves the stored record as it was.
    Desktop big_k("k", too_long.c_str(), "", "", "", "");
    big_k.d->model[0] = 'X';
    EXPECT_EQ(modify_dstatus(ddb_, big_k.d), -1);
    got = get_dbm_desktop(ddb_, const_cast<char *>("k"));
    expect_desktop(got, "k", fits.c_str(), "", "", "", "");
    free_dbm_desktop(got);

    // The empty texts written for NULL fields count towards the limit too.
    std::string nulls_fit(504, 'f');
    Desktop null_fields("n", nullptr, nulls_fit.c_str(), nullptr, nullptr, nullptr);
    EXPECT_EQ(add_dbm_desktop(kxa_, null_fields.d), 0);
    std::string nulls_big(505, 'f');
    Desktop null_big("n2", nullptr, nulls_big.c_str(), nullptr, nullptr, nullptr);
    EXPECT_EQ(add_dbm_desktop(kxa_, null_big.d), -1);
    EXPECT_EQ(dbm_desktop_exists(ddb_, const_cast<char *>("n2")), 0);
}

TEST_F(DesktopStatusDb, FieldHoldingTheSeparatorIsRefused)
{
    const std::string with_rs = std::string("a") + RS + "b";
    for (int field = 0; field < 6; ++field) {
        SCOPED_TRACE("field " + std::to_string(field));
        std::string id = "sep" + std::to_string(field);
        std::vector<std::string> v = {id, "m", "f", "s", "1", "2"};
        v[static_cast<size_t>(field)] = field == 0 ? id + RS : with_rs;
        Desktop rec(v[0].c_str(), v[1].c_str(), v[2].c_str(), v[3].c_str(), v[4].c_str(),
                    v[5].c_str());
        EXPECT_EQ(add_dbm_desktop(kxa_, rec.d), -1);
        EXPECT_EQ(modify_dstatus(ddb_, rec.d), -1);
        EXPECT_EQ(raw_value(ddb_, v[0]), "<none>");
        EXPECT_EQ(dbm_desktop_exists(ddb_, const_cast<char *>(id.c_str())), 0);
    }
    EXPECT_EQ(dbm_firstkey(ddb_).dptr, nullptr);

    Desktop good("sep", "m", "f", "s", "1", "2");
    ASSERT_EQ(add_dbm_desktop(kxa_, good.d), 0);
    Desktop bad("sep", "m", with_rs.c_str(), "s", "1", "2");
    EXPECT_EQ(modify_dstatus(ddb_, bad.d), -1);
    DBMDesktop *got = get_dbm_desktop(ddb_, const_cast<char *>("sep"));
    expect_desktop(got, "sep", "m", "f", "s", "1", "2");
    free_dbm_desktop(got);
}

TEST_F(DesktopStatusDb, HandMadeValuesDecodeByTheirSeparators)
{
    // Fewer pieces than fields: the missing ones stay NULL.
    store_raw(ddb_, "trunc", std::string("trunc") + RS + "model" + RS + "fw");
    DBMDesktop *got = get_dbm_desktop(ddb_, const_cast<char *>("trunc"));
    expect_desktop(got, "trunc", "model", "fw", nullptr, nullptr, nullptr);
    free_dbm_desktop(got);

    // No separator at all: one piece.
    store_raw(ddb_, "plain", "justtext");
    got = get_dbm_desktop(ddb_, const_cast<char *>("plain"));
    expect_desktop(got, "justtext", nullptr, nullptr, nullptr, nullptr, nullptr);
    free_dbm_desktop(got);

    // Empty pieces give empty strings, in their places.
    store_raw(ddb_, "holes", std::string("holes") + RS + RS + "fw" + RS + RS + "7" + RS + RS);
    got = get_dbm_desktop(ddb_, const_cast<char *>("holes"));
    expect_desktop(got, "holes", "", "fw", "", "7", "");
    free_dbm_desktop(got);

    // Pieces beyond the sixth are ignored.
    store_raw(ddb_, "extra", std::string("extra") + RS + "m" + RS + "f" + RS + "s" + RS + "1" +
                                 RS + "2" + RS + "surplus" + RS + "more" + RS);
    got = get_dbm_desktop(ddb_, const_cast<char *>("extra"));
    expect_desktop(got, "extra", "m", "f", "s", "1", "2");
    free_dbm_desktop(got);

    // The decoded id is the first piece, whatever the key.
    store_raw(ddb_, "key", std::string("other") + RS + "m" + RS + "f" + RS + "s" + RS + "1" + RS +
                               "2" + RS);
    got = get_dbm_desktop(ddb_, const_cast<char *>("key"));
    expect_desktop(got, "other", "m", "f", "s", "1", "2");
    free_dbm_desktop(got);

    // Two terminated fields, nothing after them.
    store_raw(ddb_, "two", std::string("two") + RS + "m" + RS);
    got = get_dbm_desktop(ddb_, const_cast<char *>("two"));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(str(got->id), "two");
    EXPECT_EQ(str(got->model), "m");
    EXPECT_TRUE(got->firmware_rev == nullptr || got->firmware_rev[0] == '\0');
    EXPECT_EQ(got->status, nullptr);
    EXPECT_EQ(got->last_status_time, nullptr);
    EXPECT_EQ(got->first_conn_time, nullptr);
    free_dbm_desktop(got);
}

TEST_F(DesktopStatusDb, HandMadeValueOverTheBufferIsReadOnlyTo511Bytes)
{
    std::string value = std::string("long") + RS + std::string(600, 'z') + RS + "fw" + RS;
    store_raw(ddb_, "long", value);
    DBMDesktop *got = get_dbm_desktop(ddb_, const_cast<char *>("long"));
    expect_desktop(got, "long", std::string(511 - 5, 'z').c_str(), nullptr, nullptr, nullptr,
                   nullptr);
    free_dbm_desktop(got);
}

TEST_F(DesktopStatusDb, FillDecodesAValueDirectly)
{
    std::string value = std::string("A") + RS + "B" + RS + "C" + RS + "D" + RS + "E" + RS + "F" + RS;
    DBMDesktop *d = fill_dbm_desktop_struct(as_datum(value));
    expect_desktop(d, "A", "B", "C", "D", "E", "F");
    free_dbm_desktop(d);

    // Only the given length counts, not what lies behind it.
    std::string longer = std::string("A") + RS + "B" + RS + "CCC";
    datum part = as_datum(longer);
    part.dsize = 4;
    d = fill_dbm_desktop_struct(part);
    expect_desktop(d, "A", "B", nullptr, nullptr, nullptr, nullptr);
    free_dbm_desktop(d);
}

TEST_F(DesktopStatusDb, AllocateGivesAnEmptyRecordAndFreeAcceptsNull)
{
    DBMDesktop *d = allocate_dbm_desktop();
    ASSERT_NE(d, nullptr);
    expect_desktop(d, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    free_dbm_desktop(d);
    free_dbm_desktop(nullptr);
}

TEST_F(DesktopStatusDb, ListingIsSortedById)
{
    EXPECT_EQ(get_all_dbm_desktops(ddb_), nullptr);

    for (const char *id : {"b", "a", "c"}) {
        Desktop rec(id, (std::string("model-") + id).c_str(), "f", "s", "1", "2");
        ASSERT_EQ(add_dbm_desktop(kxa_, rec.d), 0);
    }
    DesktopList *list = get_all_dbm_desktops(ddb_);
    std::vector<std::string> ids;
    for (DesktopList *n = list; n; n = n->next) {
        ASSERT_NE(n->desktop, nullptr);
        ids.push_back(str(n->desktop->id));
        EXPECT_EQ(str(n->desktop->model), "model-" + str(n->desktop->id));
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "b", "c"}));
    free_DesktopList(&list);
}

TEST_F(DesktopStatusDb, ListingOfManyRandomIdsIsCompleteAndAscending)
{
    std::mt19937 gen(20240611u);
    const std::string alphabet = "0123456789ABCDEFabcdef.-_";
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> len(1, 20);
    std::set<std::string> ids;
    while (ids.size() < 2000) {
        std::string id;
        for (int i = len(gen); i > 0; --i)
            id += alphabet[pick(gen)];
        ids.insert(id);
    }
    for (const std::string &id : ids) {
        Desktop rec(id.c_str(), ("m" + id).c_str(), "f", "s", "1", "2");
        ASSERT_EQ(add_dbm_desktop(kxa_, rec.d), 0) << id;
    }

    DesktopList *list = get_all_dbm_desktops(ddb_);
    std::vector<std::string> got;
    for (DesktopList *n = list; n; n = n->next) {
        ASSERT_NE(n->desktop, nullptr);
        got.push_back(str(n->desktop->id));
        EXPECT_EQ(str(n->desktop->model), "m" + str(n->desktop->id));
    }
    free_DesktopList(&list);
    // std::set orders std::string by byte value, as strcmp does.
    EXPECT_EQ(got, std::vector<std::string>(ids.begin(), ids.end()));
}

TEST_F(DesktopStatusDb, ListInsertionKeepsOrderAndEqualIdsInArrival)
{
    DesktopList *list = nullptr;
    auto add = [&](const char *id, const char *model) {
        DBMDesktop *d = allocate_dbm_desktop();
        d->id = strdup(id);
        d->model = strdup(model);
        add_desktop_to_list(&list, d);
    };
    add("m", "1");
    add("z", "2");
    add("a", "3");   // goes to the front
    add("m", "4");   // after the earlier "m"
    add("m", "5");
    add("b", "6");
    add("zz", "7");  // at the end

    std::vector<std::string> order;
    for (DesktopList *n = list; n; n = n->next)
        order.push_back(str(n->desktop->id) + ":" + str(n->desktop->model));
    EXPECT_EQ(order, (std::vector<std::string>{"a:3", "b:6", "m:1", "m:4", "m:5", "z:2", "zz:7"}));
    free_DesktopList(&list);

    DesktopList *empty = nullptr;
    free_DesktopList(&empty);
    EXPECT_EQ(empty, nullptr);
}

class DesktopPrint : public DesktopStatusDb {
protected:
    void SetUp() override
    {
        DesktopStatusDb::SetUp();
        const char *tz = std::getenv("TZ");
        saved_tz_ = tz ? tz : "";
        had_tz_ = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (had_tz_)
            setenv("TZ", saved_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        DesktopStatusDb::TearDown();
    }
    std::string saved_tz_;
    bool had_tz_ = false;
};

std::string printed(DBMDesktop *d)
{
    testing::internal::CaptureStderr();
    print_dbm_desktop(d);
    return testing::internal::GetCapturedStderr();
}

TEST_F(DesktopPrint, FullRecordShowsTimesInLocalForm)
{
    Desktop rec("IEEE802.0003ba1234ab", "P2", "4.1", "ok", "1000000000", "86400");
    EXPECT_EQ(printed(rec.d),
              "desktop:\n"
              "  id                 = IEEE802.0003ba1234ab\n"
              "  model              = P2\n"
              "  firmware_rev       = 4.1\n"
              "  status             = ok\n"
              "  last_status_time   = 1000000000 (09/09/2001 01:46:40)\n"
              "  first_conn_time    = 86400 (01/02/1970 00:00:00)\n");
}

TEST_F(DesktopPrint, UnsetFieldsShowAsNilWithEmptyTimes)
{
    Desktop rec("t", nullptr, "fw", nullptr, nullptr, nullptr);
    EXPECT_EQ(printed(rec.d),
              "desktop:\n"
              "  id                 = t\n"
              "  model              = (nil)\n"
              "  firmware_rev       = fw\n"
              "  status             = (nil)\n"
              "  last_status_time   = (nil) ()\n"
              "  first_conn_time    = (nil) ()\n");
}

TEST_F(DesktopPrint, RecordReadBackPrintsTheSame)
{
    Desktop rec("r", "m", "f", "s", "0", "0");
    ASSERT_EQ(add_dbm_desktop(kxa_, rec.d), 0);
    DBMDesktop *got = get_dbm_desktop(ddb_, const_cast<char *>("r"));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(printed(got),
              "desktop:\n"
              "  id                 = r\n"
              "  model              = m\n"
              "  firmware_rev       = f\n"
              "  status             = s\n"
              "  last_status_time   = 0 (01/01/1970 00:00:00)\n"
              "  first_conn_time    = 0 (01/01/1970 00:00:00)\n");
    free_dbm_desktop(got);
}

// ---------------------------------------------------------------------------
// Opening, and read-only handles
// ---------------------------------------------------------------------------

TEST_F(StatusDbBase, OpeningAMissingDatabaseFailsWithoutCreatingFiles)
{
    const auto before = files_in_dir();
    std::string missing = dir_ + "/missing";
    for (int mode : {1, 2, 3, 4}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        EXPECT_EQ(open_desktop_dbm(const_cast<char *>(missing.c_str()), mode), nullptr);
        EXPECT_EQ(open_user_dbm(const_cast<char *>(missing.c_str()), mode), nullptr);
    }
    EXPECT_EQ(files_in_dir(), before);
}

TEST_F(StatusDbBase, ReadOnlyHandleReadsButRefusesEveryWrite)
{
    open_session(3);
    Desktop d("ro", "m", "f", "s", "1", "2");
    ASSERT_EQ(add_dbm_desktop(kxa_, d.d), 0);
    DBMUser *u = allocate_dbm_user();
    u->id = strdup("ruser");
    u->name = strdup("Read Only");
    u->create_time = 5;
    u->status = 1;
    u->last_desktop = strdup("ro");
    u->last_time = 6;
    ASSERT_EQ(add_dbm_user(kxa_, u), 0);

    open_session(1);
    const std::string dvalue = raw_value(ddb_, "ro");
    const std::string uvalue = raw_value(udb_, "ruser");

    // Reading works.
    DBMDesktop *got = get_dbm_desktop(ddb_, const_cast<char *>("ro"));
    expect_desktop(got, "ro", "m", "f", "s", "1", "2");
    free_dbm_desktop(got);
    DesktopList *dl = get_all_dbm_desktops(ddb_);
    ASSERT_NE(dl, nullptr);
    EXPECT_EQ(dl->next, nullptr);
    free_DesktopList(&dl);
    DBMUser *ug = get_dbm_user(udb_, const_cast<char *>("ruser"));
    ASSERT_NE(ug, nullptr);
    EXPECT_EQ(str(ug->name), "Read Only");
    free_dbm_user(ug);

    // Every store and delete fails.
    Desktop other("ro2", "m", "f", "s", "1", "2");
    Desktop changed("ro", "X", "X", "X", "9", "9");
    EXPECT_EQ(add_dbm_desktop(kxa_, other.d), -1);
    EXPECT_EQ(modify_dstatus(ddb_, changed.d), -1);
    EXPECT_EQ(modify_dstatus(ddb_, other.d), -1);
    EXPECT_EQ(delete_dbm_desktop(kxa_, const_cast<char *>("ro")), -1);

    DBMUser *uo = allocate_dbm_user();
    uo->id = strdup("ruser2");
    uo->name = strdup("n");
    uo->last_desktop = strdup("");
    EXPECT_EQ(add_dbm_user(kxa_, uo), -1);
    EXPECT_EQ(modify_ustatus(udb_, uo), -1);
    free(u->name);
    u->name = strdup("Changed");
    EXPECT_EQ(modify_ustatus(udb_, u), -1);
    EXPECT_EQ(delete_dbm_user(kxa_, const_cast<char *>("ruser")), -1);

    EXPECT_EQ(raw_value(ddb_, "ro"), dvalue);
    EXPECT_EQ(raw_value(ddb_, "ro2"), "<none>");
    EXPECT_EQ(raw_value(udb_, "ruser"), uvalue);
    EXPECT_EQ(raw_value(udb_, "ruser2"), "<none>");
    free_dbm_user(u);
    free_dbm_user(uo);

    // And the files still hold the records for a writer.
    open_session(3);
    EXPECT_EQ(dbm_desktop_exists(ddb_, const_cast<char *>("ro")), 1);
    EXPECT_EQ(dbm_desktop_exists(ddb_, const_cast<char *>("ro2")), 0);
    EXPECT_EQ(dbm_user_exists(udb_, const_cast<char *>("ruser")), 1);
    EXPECT_EQ(dbm_user_exists(udb_, const_cast<char *>("ruser2")), 0);
}

// ---------------------------------------------------------------------------
// User status database
// ---------------------------------------------------------------------------

DBMUser *make_user(const char *id, const char *name, int create, int status, const char *desk,
                   int last)
{
    DBMUser *u = allocate_dbm_user();
    u->id = id ? strdup(id) : nullptr;
    u->name = name ? strdup(name) : nullptr;
    u->create_time = create;
    u->status = status;
    u->last_desktop = desk ? strdup(desk) : nullptr;
    u->last_time = last;
    return u;
}

struct User {
    DBMUser *u;
    User(const char *id, const char *name, int create, int status, const char *desk, int last)
        : u(make_user(id, name, create, status, desk, last))
    {
    }
    ~User() { free_dbm_user(u); }
    User(const User &) = delete;
    User &operator=(const User &) = delete;
};

void expect_user(const DBMUser *u, const char *id, const char *name, int create, int status,
                 const char *desk, int last)
{
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(str(u->id), str(id));
    EXPECT_EQ(str(u->name), str(name));
    EXPECT_EQ(u->create_time, create);
    EXPECT_EQ(u->status, status);
    EXPECT_EQ(str(u->last_desktop), str(desk));
    EXPECT_EQ(u->last_time, last);
}

class UserStatusDb : public StatusDbBase {
protected:
    void SetUp() override
    {
        StatusDbBase::SetUp();
        if (!HasFatalFailure())
            open_session(3);
    }
};

TEST_F(UserStatusDb, AddStoresNumbersInSignedDecimal)
{
    User rec("u1001", "Jane Doe", 1700000000, 1, "IEEE802.0003ba000001", -42);
    ASSERT_EQ(add_dbm_user(kxa_, rec.u), 0);
    EXPECT_EQ(raw_value(udb_, "u1001"), std::string("u1001") + RS + "Jane Doe" + RS +
                                            "1700000000" + RS + "1" + RS +
                                            "IEEE802.0003ba000001" + RS + "-42" + RS);
    DBMUser *got = get_dbm_user(udb_, const_cast<char *>("u1001"));
    expect_user(got, "u1001", "Jane Doe", 1700000000, 1, "IEEE802.0003ba000001", -42);
    free_dbm_user(got);
    EXPECT_EQ(dbm_user_exists(udb_, const_cast<char *>("u1001")), 1);
    EXPECT_EQ(dbm_user_exists(udb_, const_cast<char *>("u1002")), 0);
}

TEST_F(UserStatusDb, NeverLoggedInUserKeepsAnEmptyLastDesktop)
{
    User rec("fresh", "New User", 100, 0, nullptr, 250);
    ASSERT_EQ(add_dbm_user(kxa_, rec.u), 0);
    EXPECT_EQ(raw_value(udb_, "fresh"),
              std::string("fresh") + RS + "New User" + RS + "100" + RS + "0" + RS + RS + "250" + RS);
    DBMUser *got = get_dbm_user(udb_, const_cast<char *>("fresh"));
    expect_user(got, "fresh", "New User", 100, 0, "", 250);
    free_dbm_user(got);
}

TEST_F(UserStatusDb, AddNeverReplacesButModifyDoes)
{
    User first("u", "First", 1, 0, "d1", 2);
    User second("u", "Second", 3, 2, "d2", 4);
    ASSERT_EQ(add_dbm_user(kxa_, first.u), 0);
    EXPECT_EQ(add_dbm_user(kxa_, second.u), -1);
    DBMUser *got = get_dbm_user(udb_, const_cast<char *>("u"));
    expect_user(got, "u", "First", 1, 0, "d1", 2);
    free_dbm_user(got);

    EXPECT_EQ(modify_ustatus(udb_, second.u), 0);
    got = get_dbm_user(udb_, const_cast<char *>("u"));
    expect_user(got, "u", "Second", 3, 2, "d2", 4);
    free_dbm_user(got);

    User fresh("v", "Other", 0, 0, "", 0);
    EXPECT_EQ(modify_ustatus(udb_, fresh.u), 0);
    got = get_dbm_user(udb_, const_cast<char *>("v"));
    expect_user(got, "v", "Other", 0, 0, "", 0);
    free_dbm_user(got);
}

TEST_F(UserStatusDb, DeleteRemovesTheRecordAndUnknownIdsAreLogged)
{
    User rec("bye", "Leaving", 1, 2, "d", 3);
    ASSERT_EQ(add_dbm_user(kxa_, rec.u), 0);
    kxcap_clear();
    EXPECT_EQ(delete_dbm_user(kxa_, const_cast<char *>("bye")), 0);
    EXPECT_EQ(kxcap_count(), 0);
    EXPECT_EQ(dbm_user_exists(udb_, const_cast<char *>("bye")), 0);
    EXPECT_EQ(get_dbm_user(udb_, const_cast<char *>("bye")), nullptr);

    EXPECT_EQ(delete_dbm_user(kxa_, const_cast<char *>("bye")), -1);
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].priority, LOG_INFO);
    EXPECT_EQ(r[0].text, "delete_dbm_user(): Could not get dbm_user (bye)");
}

TEST_F(UserStatusDb, MissingRecordTracesUnderCategoryA)
{
    EXPECT_EQ(get_dbm_user(udb_, const_cast<char *>("absent")), nullptr);
    EXPECT_EQ(kxcap_count(), 0);

    set_gdebug("a");
    kxcap_clear();
    EXPECT_EQ(get_dbm_user(udb_, const_cast<char *>("absent")), nullptr);
    auto r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].priority, LOG_INFO);
    EXPECT_EQ(r[0].text, "(a) No user record.\n");

    store_raw(udb_, "empty", "");
    kxcap_clear();
    EXPECT_EQ(get_dbm_user(udb_, const_cast<char *>("empty")), nullptr);
    r = captured();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].text, "(a) No user record.\n");
}

TEST_F(UserStatusDb, ValueOfExactly511BytesIsStoredAnd512Refused)
{
    // id "u", name of n bytes, three zeros and an empty desktop: n + 10 bytes.
    std::string fits(501, 'n');
    User ok("u", fits.c_str(), 0, 0, "", 0);
    ASSERT_EQ(modify_ustatus(udb_, ok.u), 0);
    EXPECT_EQ(raw_value(udb_, "u").size(), 511u);
    DBMUser *got = get_dbm_user(udb_, const_cast<char *>("u"));
    expect_user(got, "u", fits.c_str(), 0, 0, "", 0);
    free_dbm_user(got);

    std::string too_long(502, 'n');
    User big("u2", too_long.c_str(), 0, 0, nullptr, 0);
    EXPECT_EQ(add_dbm_user(kxa_, big.u), -1);
    EXPECT_EQ(dbm_user_exists(udb_, const_cast<char *>("u2")), 0);
    free(big.u->last_desktop);
    big.u->last_desktop = strdup("");
    EXPECT_EQ(modify_ustatus(udb_, big.u), -1);
    EXPECT_EQ(dbm_user_exists(udb_, const_cast<char *>("u2")), 0);

    // The digits of the numbers count: a longer number pushes it over.
    User grown("u", fits.c_str(), 10, 0, "", 0);
    EXPECT_EQ(modify_ustatus(udb_, grown.u), -1);
    got = get_dbm_user(udb_, const_cast<char *>("u"));
    expect_user(got, "u", fits.c_str(), 0, 0, "", 0);
    free_dbm_user(got);
}

TEST_F(UserStatusDb, FieldHoldingTheSeparatorIsRefused)
{
    const std::string with_rs = std::string("x") + RS + "y";
    User bad_name("s1", with_rs.c_str(), 0, 0, "d", 0);
    User bad_desk("s2", "n", 0, 0, with_rs.c_str(), 0);
    const std::string bad_id_text = std::string("s3") + RS;
    User bad_id(bad_id_text.c_str(), "n", 0, 0, "d", 0);
    for (User *u : {&bad_name, &bad_desk, &bad_id}) {
        SCOPED_TRACE(str(u->u->id));
        EXPECT_EQ(add_dbm_user(kxa_, u->u), -1);
        EXPECT_EQ(modify_ustatus(udb_, u->u), -1);
        EXPECT_EQ(raw_value(udb_, u->u->id), "<none>");
    }
    EXPECT_EQ(dbm_firstkey(udb_).dptr, nullptr);
}

TEST_F(UserStatusDb, HandMadeValuesDecodeNumbersLikeAtoi)
{
    store_raw(udb_, "p", std::string("p") + RS + "Name" + RS + "12ab" + RS);
    DBMUser *got = get_dbm_user(udb_, const_cast<char *>("p"));
    expect_user(got, "p", "Name", 12, 0, nullptr, 0);
    free_dbm_user(got);

    store_raw(udb_, "e", std::string("e") + RS + RS + RS + RS + RS + RS);
    got = get_dbm_user(udb_, const_cast<char *>("e"));
    expect_user(got, "e", "", 0, 0, "", 0);
    free_dbm_user(got);

    store_raw(udb_, "n", std::string("n") + RS + "N" + RS + "-7" + RS + "2" + RS + "D" + RS +
                             "  42" + RS);
    got = get_dbm_user(udb_, const_cast<char *>("n"));
    expect_user(got, "n", "N", -7, 2, "D", 42);
    free_dbm_user(got);

    store_raw(udb_, "g", std::string("g") + RS + "N" + RS + "abc" + RS + "x9" + RS + "D" + RS +
                             "7up" + RS + "tail" + RS);
    got = get_dbm_user(udb_, const_cast<char *>("g"));
    expect_user(got, "g", "N", 0, 0, "D", 7);
    free_dbm_user(got);

    store_raw(udb_, "solo", "solo");
    got = get_dbm_user(udb_, const_cast<char *>("solo"));
    expect_user(got, "solo", nullptr, 0, 0, nullptr, 0);
    free_dbm_user(got);

    std::string big = std::string("big") + RS + std::string(700, 'q') + RS + "1" + RS;
    store_raw(udb_, "big", big);
    got = get_dbm_user(udb_, const_cast<char *>("big"));
    expect_user(got, "big", std::string(511 - 4, 'q').c_str(), 0, 0, nullptr, 0);
    free_dbm_user(got);
}

TEST_F(UserStatusDb, FillDecodesAValueDirectly)
{
    std::string value = std::string("id") + RS + "nm" + RS + "3" + RS + "1" + RS + "dk" + RS + "4" + RS;
    DBMUser *u = fill_dbm_user_struct(as_datum(value));
    expect_user(u, "id", "nm", 3, 1, "dk", 4);
    free_dbm_user(u);

    DBMUser *empty = allocate_dbm_user();
    expect_user(empty, nullptr, nullptr, 0, 0, nullptr, 0);
    free_dbm_user(empty);
    free_dbm_user(nullptr);
}

TEST_F(UserStatusDb, ListingIsSortedByIdAndComplete)
{
    EXPECT_EQ(get_all_dbm_users(udb_), nullptr);

    std::mt19937 gen(7u);
    std::uniform_int_distribution<int> num(0, 9999999);
    std::set<std::string> ids;
    while (ids.size() < 2000)
        ids.insert("user" + std::to_string(num(gen)));
    int n = 0;
    for (const std::string &id : ids) {
        User rec(id.c_str(), ("Name " + id).c_str(), n, n % 3, nullptr, -n);
        ASSERT_EQ(add_dbm_user(kxa_, rec.u), 0) << id;
        ++n;
    }
    UserList *list = get_all_dbm_users(udb_);
    std::vector<std::string> got;
    int i = 0;
    for (UserList *node = list; node; node = node->next, ++i) {
        ASSERT_NE(node->user, nullptr);
        got.push_back(str(node->user->id));
        EXPECT_EQ(str(node->user->name), "Name " + str(node->user->id));
        EXPECT_EQ(node->user->create_time, i);
        EXPECT_EQ(node->user->last_time, -i);
        EXPECT_EQ(str(node->user->last_desktop), "");
    }
    free_UserList(&list);
    EXPECT_EQ(got, std::vector<std::string>(ids.begin(), ids.end()));
}

TEST_F(UserStatusDb, ThreeIdsComeBackInOrder)
{
    for (const char *id : {"b", "a", "c"}) {
        User rec(id, "n", 0, 0, "d", 0);
        ASSERT_EQ(add_dbm_user(kxa_, rec.u), 0);
    }
    UserList *list = get_all_dbm_users(udb_);
    std::vector<std::string> ids;
    for (UserList *n = list; n; n = n->next)
        ids.push_back(str(n->user->id));
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "b", "c"}));
    free_UserList(&list);
}

TEST_F(UserStatusDb, ListInsertionKeepsOrderAndEqualIdsInArrival)
{
    UserList *list = nullptr;
    int seq = 0;
    for (const char *id : {"k", "c", "k", "x", "a", "k"})
        add_user_to_list(&list, make_user(id, "n", seq++, 0, nullptr, 0));
    std::vector<std::string> order;
    for (UserList *n = list; n; n = n->next)
        order.push_back(str(n->user->id) + ":" + std::to_string(n->user->create_time));
    EXPECT_EQ(order, (std::vector<std::string>{"a:4", "c:1", "k:0", "k:2", "k:5", "x:3"}));
    free_UserList(&list);

    UserList *empty = nullptr;
    free_UserList(&empty);
    EXPECT_EQ(empty, nullptr);
}

class UserPrint : public UserStatusDb {
protected:
    void SetUp() override
    {
        UserStatusDb::SetUp();
        const char *tz = std::getenv("TZ");
        saved_tz_ = tz ? tz : "";
        had_tz_ = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (had_tz_)
            setenv("TZ", saved_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        UserStatusDb::TearDown();
    }
    std::string saved_tz_;
    bool had_tz_ = false;
};

std::string printed(DBMUser *u)
{
    testing::internal::CaptureStderr();
    print_dbm_user(u);
    return testing::internal::GetCapturedStderr();
}

TEST_F(UserPrint, FullRecordFormat)
{
    User rec("u7", "Max Mustermann", 1000000000, 1, "IEEE802.0003ba000007", 86400);
    EXPECT_EQ(printed(rec.u),
              "user:\n"
              "  id                 = u7\n"
              "  name               = Max Mustermann\n"
              "  create_time        = 1000000000 (09/09/2001 01:46:40)\n"
              "  status             = Logged in\n"
              "  last_desktop       = IEEE802.0003ba000007\n"
              "  last_time          = 86400 (01/02/1970 00:00:00)\n");
}

TEST_F(UserPrint, ZeroTimesAreConvertedAndNullTextsShowNil)
{
    User rec(nullptr, nullptr, 0, 0, nullptr, 0);
    EXPECT_EQ(printed(rec.u),
              "user:\n"
              "  id                 = (nil)\n"
              "  name               = (nil)\n"
              "  create_time        = 0 (01/01/1970 00:00:00)\n"
              "  status             = Never\n"
              "  last_desktop       = (nil)\n"
              "  last_time          = 0 (01/01/1970 00:00:00)\n");
}

TEST_F(UserPrint, StatusTexts)
{
    const std::pair<int, const char *> cases[] = {
        {0, "Never"}, {1, "Logged in"}, {2, "Logged out"}, {3, "Unknown"}, {7, "Unknown"},
        {-1, "Unknown"}};
    for (const auto &[status, text] : cases) {
        SCOPED_TRACE(status);
        User rec("s", "n", 0, status, "d", 0);
        std::string out = printed(rec.u);
        EXPECT_NE(out.find("\n  status             = " + std::string(text) + "\n"),
                  std::string::npos)
            << out;
    }
}

TEST_F(UserPrint, NegativeTimePrintsAsSignedNumber)
{
    User rec("s", "n", -1, 2, "", 60);
    EXPECT_EQ(printed(rec.u),
              "user:\n"
              "  id                 = s\n"
              "  name               = n\n"
              "  create_time        = -1 (12/31/1969 23:59:59)\n"
              "  status             = Logged out\n"
              "  last_desktop       = \n"
              "  last_time          = 60 (01/01/1970 00:01:00)\n");
}

} // namespace
