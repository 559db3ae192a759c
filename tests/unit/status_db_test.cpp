// The desktop and user status databases in real ndbm files: encoding and
// decoding, limits, listing order, deletion and the printouts.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "kx_dbm_codec.hpp"
#include "unit.h"

using unit::s;
using unit::Strings;

namespace {
const std::string RS = "\x1e";
using kx::dbm::as_datum;
// A stored value: the fields, each followed by the separator.
std::string stored(std::initializer_list<std::string> fields, std::string out = "")
{
    for (const std::string &f : fields)
        out += f + RS;
    return out;
}
std::string text(DBMDesktop *d, bool release = true)
{
    std::string out = d ? s(d->id) + "|" + s(d->model) + "|" + s(d->firmware_rev) + "|" +
                              s(d->status) + "|" + s(d->last_status_time) + "|" +
                              s(d->first_conn_time)
                        : "none";
    return release ? (free_dbm_desktop(d), out) : out;
}
std::string text(DBMUser *u, bool release = true)
{
    std::string out = u ? s(u->id) + "|" + s(u->name) + "|" + std::to_string(u->create_time) + "|" +
                              std::to_string(u->status) + "|" + s(u->last_desktop) + "|" +
                              std::to_string(u->last_time)
                        : "none";
    return release ? (free_dbm_user(u), out) : out;
}
DBMDesktop *desk(std::vector<const char *> f)
{
    return new (allocate_dbm_desktop()) DBMDesktop{kxt::dup(f[0]), kxt::dup(f[1]), kxt::dup(f[2]),
                                                   kxt::dup(f[3]), kxt::dup(f[4]), kxt::dup(f[5])};
}
DBMUser *user(const char *id, const char *name, const char *desk, int create = 0, int status = 0,
              int last = 0)
{
    return new (allocate_dbm_user())
        DBMUser{kxt::dup(id), kxt::dup(name), create, status, kxt::dup(desk), last};
}
// The records of a list in its order; the list is released.
template <class List> std::string listed(List *list, std::string out = "")
{
    for (List *n = list; n; n = n->next)
        if constexpr (std::is_same_v<List, DesktopList>)
            out += text(n->desktop, false) + " ";
        else
            out += text(n->user, false) + " ";
    if constexpr (std::is_same_v<List, DesktopList>)
        free_DesktopList(&list);
    else
        free_UserList(&list);
    return out + (list ? "not reset" : "");
}
// The ids of a list in its order; the list is released.
template <class List> Strings ids(List *list)
{
    std::istringstream records(listed(list));
    Strings out;
    for (std::string record; records >> record;)
        out.push_back(record.substr(0, record.find('|')));
    return out;
}

// Adds the records <name>.0 .. <name>.<records - 1> (named <name>) through a
// handle of its own and replaces each once with status 2; the failed calls.
int write_records(const std::string &path, const std::string &name, int records)
{
    KXAdminStruct *kxa = allocate_kxa();
    kxa->ustat_db = open_user_dbm(std::string(path).data(), KX_MODE_PASSWD_FILE);
    int failures = !kxa->ustat_db;
    for (int i = 0; i < records && !failures; ++i) {
        std::string id = name + "." + std::to_string(i);
        DBMUser u{id.data(), kxt::m(name.c_str()), i, 1, kxt::m("d"), i};
        failures += add_dbm_user(kxa, &u) != 0;
        u.status = 2;
        failures += modify_ustatus(kxa->ustat_db, &u) != 0;
    }
    close_user_dbm(kxa->ustat_db);
    free_kxa(kxa);
    return failures;
}

// Lists the database until stop is set; the records seen that were not
// whole (whose name is not their id's prefix).
int torn_records(const std::string &path, const std::atomic<bool> &stop)
{
    DBM *db = open_user_dbm(std::string(path).data(), KX_MODE_ANONYMOUS);
    int torn = 0;
    for (bool last = false; db && !last;) {
        last = stop;
        UserList *list = get_all_dbm_users(db);
        for (UserList *n = list; n; n = n->next)
            torn += !n->user->name || !n->user->last_desktop ||
                    std::string(n->user->id).rfind(n->user->name + std::string("."), 0) != 0;
        free_UserList(&list);
    }
    close_user_dbm(db);
    return torn;
}

struct StatusDb : testing::Test {
    std::string dir = kxt::scratch("dbm"), dpath = dir + "/dstatus", upath = dir + "/ustatus";
    KXAdminStruct *kxa = allocate_kxa();
    void SetUp() override
    {
        for (std::string p : {dpath, upath})
            dbm_close(dbm_open(p.data(), O_RDWR | O_CREAT, 0664));
        kxa->dstat_db = open_desktop_dbm(dpath.data(), kxa->mode = 3);
        ASSERT_TRUE(kxa->dstat_db && (kxa->ustat_db = open_user_dbm(upath.data(), 3)) &&
                    (kxt::clear_logs(), true));
    }
    void TearDown() override
    {
        close_desktop_dbm(kxa->dstat_db), close_user_dbm(kxa->ustat_db), free_kxa(kxa);
    }
};
}  // namespace

TEST_F(StatusDb, StoringListingAndDeleting)
{
    DBM *ddb = kxa->dstat_db, *udb = kxa->ustat_db;
    char id[] = "IEEE802.080020a1b2c3", u1001[] = "u1001", *e = id + 20, *no = nullptr, t1[] = "t1",
         user_u[] = "u";
    std::string m504(504, 'm'), m505(505, 'm'), n501(501, 'n'), sep = "a" + RS + "b";
    // add_dbm_desktop (op 'a') or modify_dstatus of a record with the fields.
    auto desktop = [&](char op, std::vector<const char *> f) {
        DBMDesktop *d = desk(f);
        int rc = op == 'a' ? add_dbm_desktop(kxa, d) : modify_dstatus(ddb, d);
        return free_dbm_desktop(d), rc;
    };
    unit::expect_rows<int>(
        {{"add", desktop('a', {id, "SunRay2", "3.0_51", "online", "1000", "900"}), 0},
         {"add, NULL fields", desktop('a', {"t1", no, "fw", no, "1", "2"}), 0},
         {"add an existing id", desktop('a', {"t1", "x", e, e, e, e}), -1},
         {"modify", desktop('m', {"t2", "M", "F", "S", "9", "8"}), 0},
         {"modify, a NULL field", desktop('m', {"t3", "m", no, "s", "1", "1"}), -1},
         {"511 bytes", desktop('a', {"k", m504.c_str(), e, e, e, e}), 0},
         {"512 bytes", desktop('m', {"k", m505.c_str(), e, e, e, e}), -1},
         {"separator in a field", desktop('a', {"s", "m", sep.c_str(), e, e, e}), -1}});
    auto person = [&](char op, const char *id, const char *name, const char *desk, int create = 0,
                      int status = 0, int last = 0) {
        DBMUser *u = user(id, name, desk, create, status, last);
        int rc = op == 'a' ? add_dbm_user(kxa, u) : modify_ustatus(udb, u);
        return free_dbm_user(u), rc;
    };
    unit::expect_rows<int>(
        {{"add", person('a', u1001, "Jane Doe", "IEEE802.0003ba000001", 1700000000, 1, -42), 0},
         {"add, no last desktop", person('a', "fresh", "New", nullptr, 100, 0, 25), 0},
         {"add an existing id", person('a', "fresh", "x", "d"), -1},
         {"modify", person('m', "u", "Second", "d2", 5, 7, 6), 0},
         {"modify, no last desktop", person('m', "u2", "U", nullptr), -1},
         {"511 bytes", person('m', "n", n501.c_str(), ""), 0},
         {"512 bytes", person('m', "n", n501.c_str(), "", 10), -1},
         {"separator in a field", person('a', "s2", "n", sep.c_str()), -1}});
    auto raw = [](DBM *db, const std::string &key) {
        datum v = dbm_fetch(db, as_datum(key));
        return v.dptr ? std::string(v.dptr, static_cast<size_t>(v.dsize)) : "<none>";
    };
    EXPECT_EQ(raw(ddb, id), stored({id, "SunRay2", "3.0_51", "online", "1000", "900"}));
    EXPECT_EQ(raw(udb, u1001),
              stored({u1001, "Jane Doe", "1700000000", "1", "IEEE802.0003ba000001", "-42"}));
    EXPECT_EQ(raw(ddb, std::string(id, 21)), "<none>");  // keys without a terminating zero
    EXPECT_EQ(raw(ddb, "k").size(), 511u);
    EXPECT_EQ(raw(udb, "n").size(), 511u);
    // Listings give back the memory they map to work in (the heap may change
    // size, and a handle opened afresh maps its file elsewhere).
    auto mappings = [] {
        std::string maps = kxt::slurp("/proc/self/maps"), heap = "[heap]\n", kept;
        size_t at = maps.find(heap);
        std::istringstream lines(at == std::string::npos ? maps : maps.substr(at + heap.size()));
        for (std::string line; std::getline(lines, line);)
            kept += line.find(".pag") == std::string::npos ? line + "\n" : "";
        return kept;
    };
    std::string before =
        (listed(get_all_dbm_desktops(ddb)), listed(get_all_dbm_users(udb)), mappings());
    listed(get_all_dbm_desktops(ddb)), listed(get_all_dbm_users(udb));
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's allocator maps and unmaps on its own
    EXPECT_EQ(mappings(), before);
#endif
    EXPECT_EQ(delete_dbm_desktop(kxa, id), 0);
    EXPECT_EQ(delete_dbm_user(kxa, u1001), 0);
    EXPECT_EQ(listed(get_all_dbm_desktops(ddb)), "k|" + m504 + "|||| t1||fw||1|2 t2|M|F|S|9|8 ");
    EXPECT_EQ(listed(get_all_dbm_users(udb)),
              "fresh|New|100|0||25 n|" + n501 + "|0|0||0 u|Second|5|7|d2|6 ");
    EXPECT_EQ(kxt::logs(), "");
    unit::expect_rows<int>({{"desktop", dbm_desktop_exists(ddb, t1), 1},
                            {"deleted desktop", dbm_desktop_exists(ddb, id), 0},
                            {"user", dbm_user_exists(udb, user_u), 1},
                            {"deleted user", dbm_user_exists(udb, u1001), 0},
                            {"null id", dbm_user_exists(udb, nullptr), 0},
                            {"null database", dbm_desktop_exists(nullptr, t1), 0}});
    set_gdebug("a"), kxt::clear_logs();
    EXPECT_EQ(delete_dbm_desktop(kxa, id), -1);
    EXPECT_EQ(kxt::logs(), "6 (a) No desktop record.\n\n6 delete_dbm_desktop(): Could not get "
                           "dbm_desktop (" +
                               std::string(id) + ")\n");
    kxt::clear_logs();
    EXPECT_EQ(delete_dbm_user(kxa, u1001), -1);
    EXPECT_EQ(kxt::logs(),
              "6 (a) No user record.\n\n6 delete_dbm_user(): Could not get dbm_user (u1001)\n");
    set_gdebug(nullptr);
    EXPECT_EQ(open_desktop_dbm((dir + "/none").data(), 3), nullptr);
    EXPECT_EQ(open_user_dbm((dir + "/none").data(), 1), nullptr);
    EXPECT_EQ(kxt::sh("ls " + kxt::q(dir)), "dstatus.dir\ndstatus.pag\nustatus.dir\nustatus.pag\n");
}

TEST_F(StatusDb, StoredValuesAndPrintouts)
{
    const std::string z509(509, 'z');
    struct {
        const char *row;
        std::string value, desktop, user;
    } rows[] = {
        {"three fields", "t" + RS + "m" + RS + "12ab", "t|m|12ab|(null)|(null)|(null)",
         "t|m|12|0|(null)|0"},
        {"more than six", stored({"n", "N", "-7", "2", "D", " 42", "more"}), "n|N|-7|2|D| 42",
         "n|N|-7|2|D|42"},
        {"past 511 bytes", "l" + RS + z509 + "zzz", "l|" + z509 + "|(null)|(null)|(null)|(null)",
         "l|" + z509 + "|0|0|(null)|0"},
        {"empty", "", "none", "none"},
    };
    for (auto &r : rows) {
        dbm_store(kxa->dstat_db, as_datum("key"), as_datum(r.value), DBM_REPLACE);
        dbm_store(kxa->ustat_db, as_datum("key"), as_datum(r.value), DBM_REPLACE);
        EXPECT_EQ(text(get_dbm_desktop(kxa->dstat_db, kxt::m("key"))), r.desktop) << r.row;
        EXPECT_EQ(text(get_dbm_user(kxa->ustat_db, kxt::m("key"))), r.user) << r.row;
    }
    EXPECT_EQ(listed(get_all_dbm_desktops(kxa->dstat_db)), "");  // an empty value is no record
    EXPECT_EQ(listed(get_all_dbm_users(kxa->ustat_db)), "");
    std::string part = "A" + RS + "B" + RS + "CCC";  // the value is its first 4 bytes
    EXPECT_EQ(text(fill_dbm_desktop_struct({part.data(), 4})), "A|B|(null)|(null)|(null)|(null)");
    EXPECT_EQ(text(fill_dbm_user_struct({part.data(), 4})), "A|B|0|0|(null)|0");
    setenv("TZ", "UTC", 1), tzset();
    DBMDesktop *full = desk({"IEEE802.0003ba1234ab", "P2", "4.1", "ok", "1000000000", "86400"}),
               *bare = desk({"t", nullptr, "fw", nullptr, nullptr, nullptr});
    DBMUser *u = user("u7", "Max", "IEEE802.0003ba000007", 1000000000, 1, 86400),
            *none = user(0, 0, 0, 0, 0, -1);
    unit::expect_rows<std::string>(
        {{"desktop", unit::stderr_of([&] { print_dbm_desktop(full); }),
          "desktop:\n  id                 = IEEE802.0003ba1234ab\n  model              = P2\n"
          "  firmware_rev       = 4.1\n  status             = ok\n"
          "  last_status_time   = 1000000000 (09/09/2001 01:46:40)\n"
          "  first_conn_time    = 86400 (01/02/1970 00:00:00)\n"},
         {"desktop without times", unit::stderr_of([&] { print_dbm_desktop(bare); }),
          "desktop:\n  id                 = t\n  model              = (nil)\n  firmware_rev      "
          " = fw\n  status             = (nil)\n  last_status_time   = (nil) ()\n  "
          "first_conn_time    = (nil) ()\n"},
         {"null desktop", unit::stderr_of([&] { print_dbm_desktop(nullptr); }), ""},
         {"user", unit::stderr_of([&] { print_dbm_user(u); }),
          "user:\n  id                 = u7\n  name               = Max\n  create_time        = "
          "1000000000 (09/09/2001 01:46:40)\n  status             = Logged in\n  last_desktop    "
          "   = IEEE802.0003ba000007\n  last_time          = 86400 (01/02/1970 00:00:00)\n"},
         {"empty user", unit::stderr_of([&] { print_dbm_user(none); }),
          "user:\n  id                 = (nil)\n  name               = (nil)\n  create_time       "
          " = 0 (01/01/1970 00:00:00)\n  status             = Never\n  last_desktop       = "
          "(nil)\n  last_time          = -1 (12/31/1969 23:59:59)\n"},
         {"null user", unit::stderr_of([&] { print_dbm_user(nullptr); }), ""}});
    for (auto [status, text] : {std::pair{2, "Logged out"}, {3, "Unknown"}}) {
        u->status = status;
        EXPECT_TRUE(unit::has(unit::stderr_of([&] { print_dbm_user(u); }),
                              std::string("status             = ") + text + "\n"))
            << status;
    }
    free_dbm_desktop(full), free_dbm_desktop(bare), free_dbm_user(u), free_dbm_user(none);
}

// Lists are in ascending id order (strcmp), equal ids in their order of
// insertion; also ids that share more than their first eight bytes, as
// the ids of terminals do, whether alone or among other ids.
TEST_F(StatusDb, ListingOrder)
{
    const std::string t = "IEEE802.0800200c9a6";
    Strings all;  // the ids stored so far, in their order
    struct {
        const char *row;
        Strings added, listed;
    } rows[] = {
        {"terminal ids",
         {t + "6", t + "3", t + "5", t + "4"},
         {t + "3", t + "4", t + "5", t + "6"}},
        {"among other ids",
         {"u1001", t, "IEEE802", "IEEE802.1"},
         {"IEEE802", t, t + "3", t + "4", t + "5", t + "6", "IEEE802.1", "u1001"}},
    };
    for (auto &r : rows) {
        for (const std::string &id : r.added) {
            DBMDesktop d{kxt::m(id.c_str()), kxt::m("m"), kxt::m("f"),
                         kxt::m("s"),        kxt::m("1"), kxt::m("2")};
            DBMUser u{kxt::m(id.c_str()), kxt::m("n"), 0, 0, kxt::m("d"), 0};
            ASSERT_EQ(modify_dstatus(kxa->dstat_db, &d), 0) << r.row << " " << id;
            ASSERT_EQ(modify_ustatus(kxa->ustat_db, &u), 0) << r.row << " " << id;
            all.push_back(id);
        }
        DesktopList *desktops = nullptr;
        UserList *users = nullptr;
        for (const std::string &id : all)
            add_desktop_to_list(&desktops, desk({id.c_str(), "m", "f", "s", "1", "2"})),
                add_user_to_list(&users, user(id.c_str(), "n", "d"));
        EXPECT_EQ(ids(get_all_dbm_desktops(kxa->dstat_db)), r.listed) << r.row << ": desktops";
        EXPECT_EQ(ids(get_all_dbm_users(kxa->ustat_db)), r.listed) << r.row << ": users";
        EXPECT_EQ(ids(desktops), r.listed) << r.row << ": add_desktop_to_list";
        EXPECT_EQ(ids(users), r.listed) << r.row << ": add_user_to_list";
    }
    DesktopList *dl = nullptr;
    UserList *ul = nullptr;
    for (auto [id, n] : {std::pair{"b", "1"}, {"a", "2"}, {"c", "3"}, {"b", "4"}, {"a", "5"}})
        add_desktop_to_list(&dl, desk({id, n, 0, 0, 0, 0})),
            add_user_to_list(&ul, user(id, n, "d"));
    add_desktop_to_list(&dl, nullptr), add_user_to_list(nullptr, nullptr);
    EXPECT_EQ(listed(dl), "a|2|(null)|(null)|(null)|(null) a|5|(null)|(null)|(null)|(null) "
                          "b|1|(null)|(null)|(null)|(null) b|4|(null)|(null)|(null)|(null) "
                          "c|3|(null)|(null)|(null)|(null) ");
    EXPECT_EQ(listed(ul), "a|2|0|0|d|0 a|5|0|0|d|0 b|1|0|0|d|0 b|4|0|0|d|0 c|3|0|0|d|0 ");
}

// Writers in threads of this process and in other processes, each through
// a handle of its own, add records and replace them while a reader lists
// them: no record is lost and none is seen half written.
TEST_F(StatusDb, WritersInThreadsAndProcesses)
{
    ASSERT_EQ(write_records(upath, "old", 28), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < 3; ++p)
        if (pid_t pid = (fflush(nullptr), fork()); pid == 0)
            _exit(write_records(upath, "p" + std::to_string(p), 150) ? 1 : 0);
        else
            children.push_back(pid);
    std::atomic<int> failures{0}, torn{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&, t] { failures += write_records(upath, "t" + std::to_string(t), 150); });
    std::thread reader([&] { torn = torn_records(upath, done); });
    for (auto &t : threads)
        t.join();
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    done = true;
    reader.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(torn, 0);
    UserList *list = get_all_dbm_users(kxa->ustat_db);
    int records = 0, replaced = 0;
    for (UserList *n = list; n; n = n->next)
        ++records, replaced += n->user->status == 2;
    free_UserList(&list);
    EXPECT_EQ(records, 28 + 7 * 150);
    EXPECT_EQ(replaced, 28 + 7 * 150);
}

// A database whose files are not whole is refused and left as it is (gdbm
// would initialise an empty .pag file as a new database).
TEST_F(StatusDb, PartialDatabasesAreLeftAlone)
{
    for (const char *emptied : {".pag", ".dir"}) {
        std::string base = kxt::scratch("partial") + "/db";
        dbm_close(dbm_open(base.data(), O_RDWR | O_CREAT, 0664));
        ASSERT_EQ(truncate((base + emptied).c_str(), 0), 0);
        for (int mode : {1, 3})
            EXPECT_EQ(open_user_dbm(base.data(), mode), nullptr) << emptied << " mode " << mode;
        EXPECT_EQ(kxt::slurp(base + emptied), "") << emptied;
    }
}

// A writer that does not own the files (here the nobody user, on files that
// everybody may write) cannot stamp them with a time of its own; its changes
// show to another handle all the same, also when that handle last looked
// after the tick of the previous change was over.
TEST_F(StatusDb, WritesOfAnotherUserShow)
{
    for (const char *ext : {".dir", ".pag"})
        ASSERT_EQ(chmod((upath + ext).c_str(), 0666), 0);
    // Each added record (its add's result) as the other handle then reads it.
    Strings seen = unit::in_child([&] {
        if (setgid(65534) || setuid(65534))
            return Strings{"not the nobody user"};
        KXAdminStruct *writer = allocate_kxa();
        writer->ustat_db = open_user_dbm(upath.data(), 3);
        DBM *reader = open_user_dbm(upath.data(), 1);
        Strings out;
        for (const char *id : {"a", "b", "c"}) {
            DBMUser u{kxt::m(id), kxt::m("n"), 0, 1, kxt::m("d"), 0};
            out.push_back(std::to_string(add_dbm_user(writer, &u)));
            usleep(20000);
            out.push_back(text(get_dbm_user(reader, kxt::m(id))));
        }
        close_user_dbm(reader), close_user_dbm(writer->ustat_db), free_kxa(writer);
        return out;
    });
    EXPECT_EQ(seen, (Strings{"0", "a|n|0|1|d|0", "0", "b|n|0|1|d|0", "0", "c|n|0|1|d|0"}));
}

// A session's handle follows its path to a database put back from a copy (a
// new file); a handle that the caller opened with dbm_open works unlocked.
TEST_F(StatusDb, ACopyPutBackAndPlainHandles)
{
    DBMUser x{kxt::m("x"), kxt::m("X"), 0, 0, kxt::m("d"), 0}, y = x;
    y.id = kxt::m("y");
    ASSERT_EQ(add_dbm_user(kxa, &x), 0);
    kxt::sh("cp " + kxt::q(upath + ".pag") + " " + kxt::q(dir + "/copy.pag"));
    ASSERT_EQ(add_dbm_user(kxa, &y), 0);
    ASSERT_EQ(rename((dir + "/copy.pag").c_str(), (upath + ".pag").c_str()), 0);
    EXPECT_EQ(dbm_user_exists(kxa->ustat_db, x.id), 1);
    EXPECT_EQ(dbm_user_exists(kxa->ustat_db, y.id), 0);
    DBM *plain = dbm_open(upath.data(), O_RDONLY, 0);
    EXPECT_EQ(text(get_dbm_user(plain, x.id)), "x|X|0|0|d|0");
    dbm_close(plain);
}
