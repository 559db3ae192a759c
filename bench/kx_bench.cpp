// In-process benchmarks of the library against the directory of the test
// bed.  Each measure has a baseline measured in the same run: the raw LDAP
// operation that the library call is built on.
//
// Environment:
//   KX_BENCH_TOKENS   number of tokens holding a configuration in the
//                     directory (the iteration benchmarks are named by it)
//   KX_BENCH_TMP      directory for the status database files

#include <malloc.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "admin_crypto.h"
#include "admin_private.h"
#include "admin_token.h"
#include "kx_dbm.h"

namespace {

KXAdmin session()
{
    static KXAdmin kxa = [] {
        int err = 0;
        KXAdmin k = open_connection(KX_MODE_PASSWD_FILE, nullptr, nullptr, nullptr, &err);
        if (!k) {
            std::fprintf(stderr, "kx_bench: no session on the directory (%d)\n", err);
            std::exit(2);
        }
        return k;
    }();
    return kxa;
}

int tokens()
{
    const char *n = std::getenv("KX_BENCH_TOKENS");
    return n ? std::atoi(n) : 0;
}

// ---- one lookup ----------------------------------------------------------------

void BM_Lookup_DefaultToken(benchmark::State &state)
{
    KXAdmin kxa = session();
    char token[] = "default.token";
    for (auto _ : state) {
        kx_CryptoEnt_t *ent = nullptr;
        int rc = kx_getCryptoEntByTokenID(kxa, token, &ent, 0);
        if (rc != 0)
            state.SkipWithError("lookup failed");
        kx_freeCryptoEnt(ent);
    }
}

void BM_Baseline_RawSearchDefaultToken(benchmark::State &state)
{
    KXAdmin kxa = session();
    std::string base = std::string("kxName=rawTokens, ") + kxa->subtree;
    const char *filter = "(&(kxID=default.token)(objectclass=kxCrypto))";
    for (auto _ : state) {
        LDAPMessage *res = nullptr;
        int rc = ldap_search_ext_s(kxa->ld, base.c_str(), LDAP_SCOPE_SUBTREE, filter, nullptr, 0,
                                   nullptr, nullptr, nullptr, LDAP_NO_LIMIT, &res);
        if (rc != LDAP_SUCCESS || ldap_count_entries(kxa->ld, res) != 1)
            state.SkipWithError("search failed");
        ldap_msgfree(res);
    }
}

// ---- iteration over every configuration -----------------------------------

size_t heap_in_use()
{
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

long peak_rss_kib()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

void BM_Iterate(benchmark::State &state, int mode)
{
    KXAdmin kxa = session();
    size_t records = 0;
    size_t heap_after_first = 0;
    int rounds = 0;
    for (auto _ : state) {
        if (kx_setCryptoEnt(kxa, nullptr, mode) != 0) {
            state.SkipWithError("kx_setCryptoEnt failed");
            break;
        }
        records = 0;
        kx_CryptoEnt_t *ent = nullptr;
        while (kx_getCryptoEnt(&ent) == 0) {
            ++records;
            kx_freeCryptoEnt(ent);
        }
        kx_endCryptoEnt();
        if (++rounds == 1)
            heap_after_first = heap_in_use();
    }
    state.counters["records"] = static_cast<double>(records);
    state.counters["peak_rss_MiB"] = static_cast<double>(peak_rss_kib()) / 1024.0;
    // What the heap grew by between the end of the first round and the end
    // of the last: 0 when nothing is left behind by an iteration.
    state.counters["heap_growth_bytes"] =
        static_cast<double>(heap_in_use()) - static_cast<double>(heap_after_first);
    state.counters["rounds"] = rounds;
}

void BM_Baseline_RawSubtreeSearch(benchmark::State &state)
{
    KXAdmin kxa = session();
    const char *filter =
        "(&(objectclass=kxCrypto)(|(objectclass=kxRawToken)(objectclass=kxLogicalToken)))";
    int entries = 0;
    for (auto _ : state) {
        LDAPMessage *res = nullptr;
        int rc = ldap_search_ext_s(kxa->ld, kxa->subtree, LDAP_SCOPE_SUBTREE, filter, nullptr, 0,
                                   nullptr, nullptr, nullptr, LDAP_NO_LIMIT, &res);
        if (rc != LDAP_SUCCESS)
            state.SkipWithError("search failed");
        entries = ldap_count_entries(kxa->ld, res);
        ldap_msgfree(res);
    }
    state.counters["records"] = entries;
}

// ---- the paths of a login: token id translation, users, screens -------------
//
// The directory holds KX_BENCH_USERS users bench.u<i>, each owning the
// logical token user.l<i>, which lists the raw token bench.r<i> and has a
// screen configuration; the user bulk.user owns the 100 logical tokens
// user.bulk<j>, all of which list the raw token bulk.r (bench/run.sh).  Each
// measure reports the directory searches per call that slapd's statistics
// log shows.

int users()
{
    const char *n = std::getenv("KX_BENCH_USERS");
    return n ? std::atoi(n) : 0;
}

// The searches slapd logged since an offset of its log.
long searches_since(long offset)
{
    const char *log = std::getenv("KX_SLAPD_LOG");
    FILE *f = log ? std::fopen(log, "r") : nullptr;
    if (!f)
        return 0;
    std::fseek(f, offset, SEEK_SET);
    long count = 0;
    char line[4096];
    while (std::fgets(line, sizeof line, f))
        count += std::strstr(line, " SRCH base=") != nullptr;
    std::fclose(f);
    return count;
}

long log_size()
{
    const char *log = std::getenv("KX_SLAPD_LOG");
    FILE *f = log ? std::fopen(log, "r") : nullptr;
    if (!f)
        return 0;
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fclose(f);
    return size;
}

// Runs call(i) for the benchmark's iterations on ids cycling through the
// users, and reports the searches per call.
template <class Call> void measure(benchmark::State &state, Call call)
{
    long offset = log_size(), n = users(), i = 0, calls = 0;
    for (auto _ : state) {
        if (!call(i++ % n))
            state.SkipWithError("the call found nothing");
        ++calls;
    }
    usleep(200000);  // slapd's log catches up
    state.counters["searches_per_call"] =
        static_cast<double>(searches_since(offset)) / static_cast<double>(calls);
}

std::string id(const char *prefix, long i) { return prefix + std::to_string(i); }

// One raw search: the value of attr (or of the entry, attr nullptr) of the
// single entry that filter finds below base.
bool raw(const std::string &base, const std::string &filter, const char *attr,
         std::string *value = nullptr, const char *attr2 = nullptr)
{
    KXAdmin kxa = session();
    char *attrs[] = {const_cast<char *>(attr), const_cast<char *>(attr2), nullptr};
    LDAPMessage *res = nullptr;
    int rc = ldap_search_ext_s(kxa->ld, base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(),
                               attr ? attrs : nullptr, 0, nullptr, nullptr, nullptr, LDAP_NO_LIMIT,
                               &res);
    bool one = rc == LDAP_SUCCESS && ldap_count_entries(kxa->ld, res) >= 1;
    if (one && attr && value) {
        berval **v = ldap_get_values_len(kxa->ld, ldap_first_entry(kxa->ld, res), attr);
        one = v && v[0];
        if (one)
            value->assign(v[0]->bv_val, v[0]->bv_len);
        ldap_value_free_len(v);
    }
    ldap_msgfree(res);
    return one;
}

std::string container(const char *name) { return std::string(name) + ", " + session()->subtree; }

// Whether a call found something; what it found is released.
template <class T, class F> bool freed(T *p, F release)
{
    bool found = p != nullptr;
    release(p);
    return found;
}

// The user status records of the bench users, so that reading a user joins
// one (mode 3 session: the database is writable).
void fill_user_status()
{
    for (long i = 0; i < users(); i++) {
        std::string uid = id("bench.u", i), last = "IEEE802.0800200c9a66";
        DBMUser u{uid.data(), const_cast<char *>("Bench User"), 1700000000, 1, last.data(),
                  1700000001};
        add_dbm_user(session(), &u);
    }
}

void BM_RawToLogicalId(benchmark::State &state)
{
    measure(state, [](long i) {
        return freed(raw_token_id_to_logical_token_id(session(), id("bench.r", i).data()), free);
    });
}

void BM_Baseline_RawToLogicalId(benchmark::State &state)
{
    measure(state, [](long i) {
        return raw(container("kxName=logicalTokens"), "kxRawTokenIDs=" + id("bench.r", i), "kxID");
    });
}

void BM_RawToUser(benchmark::State &state)
{
    measure(state, [](long i) {
        return freed(raw_token_id_to_user(session(), id("bench.r", i).data()), free_user);
    });
}

void BM_Baseline_RawToUser(benchmark::State &state)
{
    measure(state, [](long i) {
        std::string logical;
        return raw(container("kxName=logicalTokens"), "kxRawTokenIDs=" + id("bench.r", i), "kxID",
                   &logical) &&
               raw(container("kxName=users"), "kxLogicalTokenIDs=" + logical, nullptr);
    });
}

void BM_GetUser(benchmark::State &state)
{
    measure(state,
            [](long i) { return freed(get_user(session(), id("bench.u", i).data()), free_user); });
}

void BM_Baseline_GetUser(benchmark::State &state)
{
    measure(state, [](long i) {
        return raw(container("kxName=users"), "kxID=" + id("bench.u", i), nullptr);
    });
}

void BM_GetXconf(benchmark::State &state)
{
    measure(state, [](long i) {
        KXXconfig *c = nullptr;
        kx_getXconfByTokenID(session(), id("user.l", i).data(), &c);
        return freed(c, kx_freeXconf);
    });
}

void BM_Baseline_GetXconf(benchmark::State &state)
{
    measure(state, [](long i) {
        return raw(container("kxName=logicalTokens"),
                   "(&(kxID=" + id("user.l", i) + ")(objectclass=kxXconfig))", nullptr);
    });
}

// A call of an id-list lookup of the library with a fixed argument.
void measure_ids(benchmark::State &state, int (*lookup)(KXAdmin, char *, char ***), const char *arg)
{
    measure(state, [&](long) {
        char **ids = nullptr;
        lookup(session(), const_cast<char *>(arg), &ids);
        return freed(ids, kx_free_array);
    });
}

void BM_LtokenByUser100(benchmark::State &state)
{
    measure_ids(state, kx_getLtokenByUser, "Bulk User");
}

void BM_Baseline_LtokenByUser100(benchmark::State &state)
{
    measure(state, [](long) {
        return raw(container("kxName=users"), "kxName=Bulk User", "kxLogicalTokenIDs");
    });
}

void BM_LidByRid100(benchmark::State &state) { measure_ids(state, _kx_getLidByRid, "bulk.r"); }

void BM_Baseline_LidByRid100(benchmark::State &state)
{
    measure(state, [](long) {
        return raw(container("kxName=logicalTokens"), "kxRawTokenIDs=bulk.r", "kxID");
    });
}

void BM_UidByRid100(benchmark::State &state) { measure_ids(state, _kx_getUidByRid, "bulk.r"); }

// The least a client needs for the same answer: the logical tokens that
// list the raw token, then their users in one search, with the lists that
// tell which user owns which logical token.
void BM_Baseline_UidByRid100(benchmark::State &state)
{
    measure(state, [](long) {
        std::string filter = "(|";
        for (int j = 0; j < 100; j++)
            filter += "(kxLogicalTokenIDs=user.bulk" + std::to_string(j) + ")";
        return raw(container("kxName=logicalTokens"), "kxRawTokenIDs=bulk.r", "kxID") &&
               raw(container("kxName=users"), filter + ")", "kxID", nullptr, "kxLogicalTokenIDs");
    });
}

// ---- status databases ---------------------------------------------------------

std::string dbm_path(const char *kind, long n)
{
    const char *tmp = std::getenv("KX_BENCH_TMP");
    return std::string(tmp ? tmp : "/tmp") + "/bench-" + kind + "-" + std::to_string(n);
}

DBM *filled_desktops(long n)
{
    std::string path = dbm_path("dstatus", n);
    DBM *db = dbm_open(path.data(), O_RDWR | O_CREAT | O_TRUNC, 0664);
    char buf[64];
    for (long i = 0; i < n; ++i) {
        // Keys in an order unrelated to their sorted order.
        std::snprintf(buf, sizeof buf, "IEEE802.%012lx", (i * 2654435761UL) % 0xffffffffffffUL);
        std::string value = std::string(buf) + "\x1e"
                                               "model\x1e"
                                               "rev\x1e"
                                               "up\x1e"
                                               "1700000000\x1e"
                                               "1690000000\x1e";
        datum key{buf, static_cast<int>(std::strlen(buf))};
        datum val{value.data(), static_cast<int>(value.size())};
        dbm_store(db, key, val, DBM_REPLACE);
    }
    return db;
}

DBM *filled_users(long n)
{
    std::string path = dbm_path("ustatus", n);
    DBM *db = dbm_open(path.data(), O_RDWR | O_CREAT | O_TRUNC, 0664);
    char buf[64];
    for (long i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%ld-%04ld", 1700000000 + (i * 7919) % n, i % 10000);
        std::string value = std::string(buf) + "\x1e"
                                               "name\x1e"
                                               "1700000000\x1e"
                                               "1\x1e"
                                               "IEEE802.0800200c9a66\x1e"
                                               "1700000001\x1e";
        datum key{buf, static_cast<int>(std::strlen(buf))};
        datum val{value.data(), static_cast<int>(value.size())};
        dbm_store(db, key, val, DBM_REPLACE);
    }
    return db;
}

void remove_dbm(const char *kind, long n)
{
    std::string path = dbm_path(kind, n);
    std::remove((path + ".dir").c_str());
    std::remove((path + ".pag").c_str());
}

void BM_AllDesktops(benchmark::State &state)
{
    long n = state.range(0);
    DBM *db = filled_desktops(n);
    for (auto _ : state) {
        DesktopList *list = get_all_dbm_desktops(db);
        benchmark::DoNotOptimize(list);
        free_DesktopList(&list);
    }
    dbm_close(db);
    remove_dbm("dstatus", n);
    state.SetComplexityN(n);
}

void BM_AllUsers(benchmark::State &state)
{
    long n = state.range(0);
    DBM *db = filled_users(n);
    for (auto _ : state) {
        UserList *list = get_all_dbm_users(db);
        benchmark::DoNotOptimize(list);
        free_UserList(&list);
    }
    dbm_close(db);
    remove_dbm("ustatus", n);
    state.SetComplexityN(n);
}

// Baseline of the status database listings: walking every key of the same
// file and fetching its value, without decoding or sorting.
void BM_Baseline_DbmWalk(benchmark::State &state, bool users)
{
    long n = state.range(0);
    DBM *db = users ? filled_users(n) : filled_desktops(n);
    for (auto _ : state) {
        long seen = 0;
        for (datum key = dbm_firstkey(db); key.dptr; key = dbm_nextkey(db)) {
            datum v = dbm_fetch(db, key);
            seen += v.dsize > 0;
        }
        benchmark::DoNotOptimize(seen);
    }
    dbm_close(db);
    remove_dbm(users ? "ustatus" : "dstatus", n);
    state.SetComplexityN(n);
}

// The second baseline of the listings: the blocks that the API hands over,
// alone. For every record, in list order, a list node, the record and a
// copy of each of its texts, then all freed in list order, as the listing
// and its free function do; the texts are those of the same file.
void BM_Baseline_ListBlocks(benchmark::State &state, bool users)
{
    long n = state.range(0);
    DBM *db = users ? filled_users(n) : filled_desktops(n);
    std::vector<std::vector<std::string>> texts;
    auto keep = [&](std::initializer_list<const char *> fields) {
        texts.emplace_back();
        for (const char *f : fields)
            if (f)
                texts.back().emplace_back(f);
    };
    if (users) {
        UserList *list = get_all_dbm_users(db);
        for (UserList *l = list; l; l = l->next)
            keep({l->user->id, l->user->name, l->user->last_desktop});
        free_UserList(&list);
    } else {
        DesktopList *list = get_all_dbm_desktops(db);
        for (DesktopList *l = list; l; l = l->next) {
            DBMDesktop *d = l->desktop;
            keep({d->id, d->model, d->firmware_rev, d->status, d->last_status_time,
                  d->first_conn_time});
        }
        free_DesktopList(&list);
    }
    size_t record = users ? sizeof(DBMUser) : sizeof(DBMDesktop);
    struct Node {
        char **record;
        Node *next;
    };
    for (auto _ : state) {
        Node *head = nullptr, **tail = &head;
        for (const auto &fields : texts) {
            auto *node = static_cast<Node *>(std::malloc(sizeof(Node)));
            node->record = static_cast<char **>(std::calloc(1, record));
            for (size_t i = 0; i < fields.size(); ++i) {
                node->record[i] = static_cast<char *>(std::malloc(fields[i].size() + 1));
                std::memcpy(node->record[i], fields[i].c_str(), fields[i].size() + 1);
            }
            *tail = node;
            tail = &node->next;
        }
        *tail = nullptr;
        benchmark::DoNotOptimize(head);
        for (Node *node = head; node;) {
            Node *next = node->next;
            for (size_t i = 0; i * sizeof(char *) < record && node->record[i]; ++i)
                std::free(node->record[i]);
            std::free(node->record);
            std::free(node);
            node = next;
        }
    }
    dbm_close(db);
    remove_dbm(users ? "ustatus" : "dstatus", n);
}

// ---- a login's status update ------------------------------------------------

// What a login does to the user status database: fetch the user's record
// and store it back with the new status and time, on a handle of the library
// (open_user_dbm: locked and kept up to date with the file), in three
// patterns: back to back on one handle, which then knows that nobody wrote
// after it and keeps its view of the file; alternating between two handles,
// as two programs would, so that each update finds the file changed by the
// other one and opens it afresh; spaced 10 ms apart on one handle, as logins
// come (the pause is not measured).  The baseline does the same fetch and
// store on a plain ndbm handle of the same file, without a lock.
constexpr long kStatusUsers = 10000;

void update_status(DBM *db, long i)
{
    char id[64];
    std::snprintf(id, sizeof id, "%ld-%04ld", 1700000000 + (i * 7919) % kStatusUsers, i % 10000);
    DBMUser *u = get_dbm_user(db, id);
    if (!u)
        std::abort();
    u->status = 1;
    u->last_time = static_cast<int>(1700000000 + i);
    if (modify_ustatus(db, u) != 0)
        std::abort();
    free_dbm_user(u);
}

enum Pattern { kBackToBack, kTwoHandles, kSpaced };

// Spaced updates wait 10 ms before each, outside the measure.
void space(benchmark::State &state, Pattern pattern)
{
    if (pattern == kSpaced) {
        state.PauseTiming();
        usleep(10000);
        state.ResumeTiming();
    }
}

void BM_StatusUpdate(benchmark::State &state, Pattern pattern)
{
    dbm_close(filled_users(kStatusUsers));
    std::string path = dbm_path("ustatus", kStatusUsers);
    DBM *db[] = {open_user_dbm(path.data(), KX_MODE_PASSWD_FILE),
                 open_user_dbm(path.data(), KX_MODE_PASSWD_FILE)};
    long i = 0;
    for (auto _ : state) {
        space(state, pattern);
        update_status(db[pattern == kTwoHandles ? i % 2 : 0], i);
        ++i;
    }
    close_user_dbm(db[0]);
    close_user_dbm(db[1]);
    remove_dbm("ustatus", kStatusUsers);
}

void BM_Baseline_StatusUpdate(benchmark::State &state, Pattern pattern)
{
    DBM *db = filled_users(kStatusUsers);
    long i = 0;
    for (auto _ : state) {
        space(state, pattern);
        char id[64];
        std::snprintf(id, sizeof id, "%ld-%04ld", 1700000000 + (i * 7919) % kStatusUsers,
                      i % 10000);
        datum key{id, static_cast<int>(std::strlen(id))};
        datum v = dbm_fetch(db, key);
        std::string value(v.dptr, static_cast<size_t>(v.dsize));
        value.replace(value.size() - 11, 10, std::to_string(1700000000 + i));
        dbm_store(db, key, datum{value.data(), static_cast<int>(value.size())}, DBM_REPLACE);
        ++i;
    }
    dbm_close(db);
    remove_dbm("ustatus", kStatusUsers);
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    std::string n = std::to_string(tokens());
    if (users() > 0) {
        using Bench = void (*)(benchmark::State &);
        for (auto [name, fn] : std::initializer_list<std::pair<const char *, Bench>>{
                 {"BM_RawToLogicalId", BM_RawToLogicalId},
                 {"BM_Baseline_RawToLogicalId", BM_Baseline_RawToLogicalId},
                 {"BM_RawToUser", BM_RawToUser},
                 {"BM_Baseline_RawToUser", BM_Baseline_RawToUser},
                 {"BM_GetUser", BM_GetUser},
                 {"BM_Baseline_GetUser", BM_Baseline_GetUser},
                 {"BM_GetXconf", BM_GetXconf},
                 {"BM_Baseline_GetXconf", BM_Baseline_GetXconf},
                 {"BM_LtokenByUser100", BM_LtokenByUser100},
                 {"BM_Baseline_LtokenByUser100", BM_Baseline_LtokenByUser100},
                 {"BM_LidByRid100", BM_LidByRid100},
                 {"BM_Baseline_LidByRid100", BM_Baseline_LidByRid100},
                 {"BM_UidByRid100", BM_UidByRid100},
                 {"BM_Baseline_UidByRid100", BM_Baseline_UidByRid100}})
            benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMicrosecond);
        fill_user_status();
    } else if (tokens() > 0) {
        for (int mode : {0, 1})
            benchmark::RegisterBenchmark(
                ("BM_Iterate/tokens:" + n + "/merge:" + std::to_string(mode)).c_str(), BM_Iterate,
                mode)
                ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_Baseline_RawSubtreeSearch/tokens:" + n).c_str(),
                                     BM_Baseline_RawSubtreeSearch)
            ->Unit(benchmark::kMillisecond);
    } else {
        benchmark::RegisterBenchmark("BM_Lookup_DefaultToken", BM_Lookup_DefaultToken)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_Baseline_RawSearchDefaultToken",
                                     BM_Baseline_RawSearchDefaultToken)
            ->Unit(benchmark::kMicrosecond);
        for (auto [pattern, how] : {std::pair{kBackToBack, "/back_to_back"},
                                    {kTwoHandles, "/two_handles"},
                                    {kSpaced, "/spaced"}}) {
            std::string name = std::string("BM_StatusUpdate") + how;
            std::string baseline = std::string("BM_Baseline_StatusUpdate") + how;
            for (auto *b : {benchmark::RegisterBenchmark(name.c_str(), BM_StatusUpdate, pattern),
                            benchmark::RegisterBenchmark(baseline.c_str(), BM_Baseline_StatusUpdate,
                                                         pattern)}) {
                b->Unit(benchmark::kMicrosecond);
                if (pattern == kSpaced)
                    b->Iterations(200);
            }
        }
        for (long size : {10000L, 100000L}) {
            benchmark::RegisterBenchmark("BM_AllDesktops", BM_AllDesktops)
                ->Arg(size)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark("BM_AllUsers", BM_AllUsers)
                ->Arg(size)
                ->Unit(benchmark::kMillisecond);
            for (bool users : {false, true}) {
                benchmark::RegisterBenchmark(users ? "BM_Baseline_DbmWalkUsers"
                                                   : "BM_Baseline_DbmWalkDesktops",
                                             BM_Baseline_DbmWalk, users)
                    ->Arg(size)
                    ->Unit(benchmark::kMillisecond);
                benchmark::RegisterBenchmark(users ? "BM_Baseline_ListBlocksUsers"
                                                   : "BM_Baseline_ListBlocksDesktops",
                                             BM_Baseline_ListBlocks, users)
                    ->Arg(size)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
