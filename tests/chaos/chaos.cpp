// Many writers at once, first with a sound directory server, then while the
// test bed's slapd is killed (SIGKILL) and restarted every 1 to 3 seconds:
//
//   - kxcrypto -m processes, one writer per key of the default token's
//     configuration, each checking after every acknowledged change that the
//     change is stored, and at the end that its last one is;
//   - library threads replacing another token's whole configuration;
//   - a poller that reads both entries and never may find one without its
//     configuration;
//   - processes incrementing one generation counter, each noting the
//     numbers it was handed;
//   - writers of the user status database in threads and in processes,
//     and a reader that never may see a record half written.
//
//   kx_chaos <kxcrypto> <testbed.sh> <seconds without faults> <seconds with faults>
//
// Runs against the test bed that with_testbed.sh describes (KX_TESTBED_ENV).
// Prints the figures of each phase; exit status 1 when a check failed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "admin_crypto.h"
#include "admin_private.h"
#include "kx_dbm.h"
#include "kxerrno.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::map<std::string, std::string> bed;  // the test bed's description
std::string kxcrypto, testbed;
int failed_checks = 0;

void check(bool ok, const std::string &what)
{
    if (!ok) {
        std::printf("FAILED: %s\n", what.c_str());
        ++failed_checks;
    }
}

void read_bed()
{
    const char *env = std::getenv("KX_TESTBED_ENV");
    std::ifstream in(env ? env : "");
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        bed[line.substr(0, eq)] = value;
    }
}

// ---- processes -------------------------------------------------------------

struct Run {
    int status = -1;         // the exit status; minus the signal that ended it
    bool timed_out = false;  // killed after the time limit
    std::string out;         // what it wrote to standard output
};

// Runs a program, its standard error discarded, for at most `limit`.
Run run(const std::vector<std::string> &args, std::chrono::seconds limit = 30s)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    Run r;
    auto deadline = Clock::now() + limit;
    for (char buf[4096]; spawned == 0;) {
        pollfd p{out[0], POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms || poll(&p, 1, static_cast<int>(left.count())) == 0) {
            kill(pid, SIGKILL);
            r.timed_out = true;
            break;
        }
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        r.out.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    if (spawned == 0 && waitpid(pid, &status, 0) == pid)
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return r;
}

// ---- the directory ---------------------------------------------------------

// A session of the administrator, opened again after a failure.
struct Session {
    KXAdmin kxa = nullptr;
    KXAdmin get()
    {
        if (!kxa)
            kxa = open_connection(KX_MODE_PASSWD_FILE, nullptr, nullptr, nullptr, nullptr);
        return kxa;
    }
    void reset()
    {
        close_connection(kxa);
        kxa = nullptr;
    }
    ~Session() { reset(); }
};

std::string token_dn(const std::string &id)
{
    return "kxID=" + id + ",kxName=rawTokens," + bed["KX_SUBTREE"];
}

// The crypto string of an entry: nothing when it could not be read, an
// empty optional inside when the entry holds none.
std::optional<std::optional<std::string>> read_config(Session &s, const std::string &dn)
{
    KXAdmin kxa = s.get();
    if (!kxa)
        return std::nullopt;
    char attr[] = "kxCryptoString";
    char *attrs[] = {attr, nullptr};
    LDAPMessage *result = nullptr;
    int rc = ldap_search_ext_s(kxa->ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0,
                               nullptr, nullptr, nullptr, 0, &result);
    std::optional<std::optional<std::string>> config;
    if (rc == LDAP_SUCCESS || rc == LDAP_NO_SUCH_OBJECT) {
        config.emplace();
        LDAPMessage *e = rc == LDAP_SUCCESS ? ldap_first_entry(kxa->ld, result) : nullptr;
        berval **values = e ? ldap_get_values_len(kxa->ld, e, attr) : nullptr;
        if (values && values[0])
            *config = std::string(values[0]->bv_val, values[0]->bv_len);
        ldap_value_free_len(values);
    } else {
        s.reset();
    }
    ldap_msgfree(result);
    return config;
}

// The value of key in a crypto string, "" without one.
std::string value_of(const std::string &crypto, const std::string &key)
{
    std::istringstream pairs(crypto);
    for (std::string pair; std::getline(pairs, pair, ',');)
        if (pair.rfind(key + "=", 0) == 0)
            return pair.substr(key.size() + 1);
    return "";
}

// ---- the writers -------------------------------------------------------------

struct Figures {
    std::atomic<int> acked{0}, refused{0}, undone{0}, wrong_output{0}, hangs{0}, crashes{0};
    std::atomic<int> replaced{0}, replace_failed{0}, samples{0}, missing{0}, kills{0};
    std::atomic<bool> stop{false};
};

struct Key {
    const char *name, *values[2];
};
constexpr Key kKeys[] = {{"enc_up_type", {"ARCFOUR", "none"}},
                         {"enc_down_type", {"ARCFOUR", "none"}},
                         {"auth_down_type", {"simple", "none"}},
                         {"mode", {"hard", "soft"}}};
const std::string kModified =
    "Configuration successfully modified.\nA warm or cold restart of services must be performed.\n";

// What one key's writer knows at the end: the value of its last
// acknowledged change, and the values it sent later without an answer.
struct KeyState {
    std::string acked;
    std::set<std::string> unanswered;
};

// One key's writer: kxcrypto -m with its two values in turn.  After every
// acknowledged change the key must hold that value until the writer's next
// change.
void key_writer(const Key &key, Figures &f, KeyState &state)
{
    Session s;
    state.acked = key.values[1];
    for (int i = 0; !f.stop; ++i) {
        std::string value = key.values[i % 2];
        Run r = run({kxcrypto, "-m", std::string(key.name) + "=" + value});
        f.hangs += r.timed_out;
        if (r.status < 0 && !r.timed_out) {
            ++f.crashes;
            std::printf("kxcrypto -m ended by signal %d\n", -r.status);
        }
        if (r.status != 0) {
            ++f.refused;
            state.unanswered.insert(value);
            continue;
        }
        ++f.acked;
        f.wrong_output += r.out != kModified;
        state.acked = value;
        state.unanswered.clear();
        auto config = read_config(s, token_dn("default.token"));
        for (auto until = Clock::now() + 10s; !config && Clock::now() < until;) {
            std::this_thread::sleep_for(50ms);
            config = read_config(s, token_dn("default.token"));
        }
        if (config)
            f.undone += value_of(config->value_or(""), key.name) != value;
    }
}

// Replaces the whole configuration of the token chaos.lib, again and again.
void replacer(int n, Figures &f)
{
    Session s;
    for (int round = 0; !f.stop; ++round) {
        std::string writer = "writer=" + std::to_string(n),
                    count = "round=" + std::to_string(round);
        char *pairs[] = {writer.data(), count.data(), nullptr};
        char id[] = "chaos.lib";
        kx_CryptoEnt_t ent{id, pairs, nullptr, 0};
        KXAdmin kxa = s.get();
        if (kxa && kx_addCryptoEnt(kxa, &ent, 1) == KXE_SUCCESS) {
            ++f.replaced;
        } else {
            ++f.replace_failed;
            s.reset();
            std::this_thread::sleep_for(20ms);
        }
    }
}

// Reads both configurations; an entry without one is a failure.
void poller(Figures &f)
{
    Session s;
    while (!f.stop) {
        for (const char *id : {"default.token", "chaos.lib"}) {
            auto config = read_config(s, token_dn(id));
            if (!config) {
                std::this_thread::sleep_for(20ms);
                continue;
            }
            ++f.samples;
            f.missing += !config->has_value();
        }
    }
}

// Kills the server every 1 to 3 seconds and starts it again.
void killer(Figures &f)
{
    std::minstd_rand random(static_cast<unsigned>(getpid()));
    while (!f.stop) {
        auto until = Clock::now() + std::chrono::milliseconds(1000 + random() % 2000);
        while (!f.stop && Clock::now() < until)
            std::this_thread::sleep_for(20ms);
        if (f.stop)
            break;
        if (run({testbed, "kill", bed["KX_STATEDIR"]}).status == 0)
            ++f.kills;
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 300));
        run({testbed, "restart", bed["KX_STATEDIR"]});
    }
}

// ---- worker processes --------------------------------------------------------

// kx_chaos --counter <seconds> <file>: increments the counter "users" for
// the given time and writes every number handed out (or -1) to the file.
int counter_worker(int seconds, const char *file)
{
    std::ofstream out(file);
    Session s;
    for (auto until = Clock::now() + std::chrono::seconds(seconds); Clock::now() < until;) {
        KXAdmin kxa = s.get();
        char name[] = "users";
        int number = kxa ? kx_incGeneration(kxa, name) : -1;
        out << number << "\n";
        if (number < 0) {
            s.reset();
            std::this_thread::sleep_for(20ms);
        }
    }
    return 0;
}

// kx_chaos --status <name> <records>: adds the user records <name>.<i> to
// the user status database and replaces each once; exit status 1 when a
// call failed.
int status_worker(const std::string &name, int records)
{
    KXAdminStruct *kxa = allocate_kxa();
    std::string path = bed["KX_USTATUS_DB"];
    kxa->ustat_db = open_user_dbm(path.data(), KX_MODE_PASSWD_FILE);
    int failures = kxa->ustat_db ? 0 : 1;
    for (int i = 0; i < records && !failures; ++i) {
        std::string id = name + "." + std::to_string(i), desktop = "d";
        DBMUser u{id.data(), const_cast<char *>(name.c_str()), i, 1, desktop.data(), i};
        failures += add_dbm_user(kxa, &u) != 0;
        u.status = 2;
        failures += modify_ustatus(kxa->ustat_db, &u) != 0;
    }
    close_user_dbm(kxa->ustat_db);
    free_kxa(kxa);
    return failures ? 1 : 0;
}

// Lists the user status database until told to stop; counts the records
// that are not whole.
void status_reader(std::atomic<bool> &stop, std::atomic<int> &torn, std::atomic<int> &listings)
{
    std::string path = bed["KX_USTATUS_DB"];
    DBM *db = open_user_dbm(path.data(), KX_MODE_ANONYMOUS);
    while (db && !stop) {
        UserList *list = get_all_dbm_users(db);
        for (UserList *n = list; n; n = n->next)
            torn += !n->user->name || !n->user->last_desktop ||
                    std::string(n->user->id).rfind(std::string(n->user->name) + ".", 0) != 0;
        free_UserList(&list);
        ++listings;
    }
    close_user_dbm(db);
}

// ---- one phase ---------------------------------------------------------------

std::vector<int> numbers_in(const std::string &file)
{
    std::vector<int> numbers;
    std::ifstream in(file);
    for (int n; in >> n;)
        numbers.push_back(n);
    return numbers;
}

// The numbers the counter handed out: how many, how many were handed out
// twice and how many were not above the caller's previous one.
struct Handed {
    int calls = 0, numbers = 0, twice = 0, backwards = 0;
};

Handed read_counter_files(const std::vector<std::string> &files)
{
    Handed h;
    std::set<int> seen;
    for (const std::string &file : files) {
        int last = -1;
        for (int n : numbers_in(file)) {
            ++h.calls;
            if (n < 0)
                continue;
            ++h.numbers;
            h.twice += !seen.insert(n).second;
            h.backwards += n <= last;
            last = n;
        }
    }
    return h;
}

// Starts the worker processes of a phase: counter incrementers writing to
// the files given, status database writers.
std::vector<pid_t> start_workers(const std::string &self, int seconds,
                                 const std::vector<std::string> &files, const std::string &tag)
{
    std::vector<std::vector<std::string>> commands;
    for (const std::string &file : files)
        commands.push_back({self, "--counter", std::to_string(seconds), file});
    for (int i = 0; i < 2; ++i)
        commands.push_back({self, "--status", "p" + tag + std::to_string(i), "300"});
    std::vector<pid_t> pids;
    for (std::vector<std::string> &args : commands) {
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) == 0)
            pids.push_back(pid);
    }
    return pids;
}

// The status records of a phase (ids p<tag>N.i and t<tag>N.i): how many,
// and how many were replaced.
std::pair<int, int> status_records(KXAdmin kxa, const std::string &tag)
{
    int records = 0, replaced = 0;
    UserList *list = get_all_dbm_users(kxa ? kxa->ustat_db : nullptr);
    for (UserList *n = list; n; n = n->next) {
        std::string id = n->user->id;
        if (id.size() > 2 && (id[0] == 'p' || id[0] == 't') && id.substr(1, tag.size()) == tag)
            ++records, replaced += n->user->status == 2;
    }
    free_UserList(&list);
    return {records, replaced};
}

void phase(const char *title, int seconds, bool faults, const std::string &self)
{
    std::printf("== %s (%d s)\n", title, seconds);
    std::fflush(stdout);
    Figures f;
    char users[] = "users", lib[] = "chaos.lib";
    char *start_pairs[] = {users, nullptr};
    kx_CryptoEnt_t start{lib, start_pairs, nullptr, 0};
    Session setup;
    run({kxcrypto, "-d"});
    check(run({kxcrypto, "-a", "enc_up_type=none", "enc_down_type=none", "auth_down_type=none",
               "mode=soft"})
                  .status == 0,
          "the default token's configuration could be added");
    check(setup.get() && kx_addCryptoEnt(setup.get(), &start, 1) == KXE_SUCCESS,
          "chaos.lib's configuration could be added");
    int first = setup.get() ? kx_getGeneration(setup.get(), users) : -1;

    std::string tag = faults ? "f" : "n", dir = bed["KX_STATEDIR"];
    std::vector<std::string> files;
    for (int i = 0; i < 3; ++i)
        files.push_back(dir + "/counter-" + tag + std::to_string(i));
    std::vector<pid_t> workers = start_workers(self, seconds, files, tag);
    std::atomic<bool> stop_reader{false};
    std::atomic<int> torn{0}, listings{0}, status_failures{0};
    std::vector<KeyState> keys(std::size(kKeys));
    std::vector<std::thread> threads;
    for (size_t k = 0; k < keys.size(); ++k)
        threads.emplace_back(key_writer, std::cref(kKeys[k]), std::ref(f), std::ref(keys[k]));
    for (int n = 0; n < 4; ++n)
        threads.emplace_back(replacer, n, std::ref(f));
    threads.emplace_back(poller, std::ref(f));
    if (faults)
        threads.emplace_back(killer, std::ref(f));
    std::thread reader(status_reader, std::ref(stop_reader), std::ref(torn), std::ref(listings));
    for (int i = 0; i < 2; ++i)
        threads.emplace_back(
            [&, i] { status_failures += status_worker("t" + tag + std::to_string(i), 300); });

    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    f.stop = true;
    for (std::thread &t : threads)
        t.join();
    for (pid_t pid : workers) {
        int status = 0;
        waitpid(pid, &status, 0);
        status_failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    stop_reader = true;
    reader.join();
    run({testbed, "restart", dir});

    setup.reset();
    auto config = read_config(setup, token_dn("default.token"));
    for (size_t k = 0; k < keys.size(); ++k) {
        std::string stored = config ? value_of(config->value_or(""), kKeys[k].name) : "(unread)";
        check(stored == keys[k].acked || keys[k].unanswered.count(stored),
              std::string(kKeys[k].name) + " holds " + stored + ", its last acknowledged change " +
                  keys[k].acked);
    }
    Handed handed = read_counter_files(files);
    int last = setup.get() ? kx_getGeneration(setup.get(), users) : -1;
    auto [records, replaced] = status_records(setup.get(), tag);

    std::printf("kxcrypto -m: %d acknowledged, %d refused, %d undone later, %d with other output\n",
                f.acked.load(), f.refused.load(), f.undone.load(), f.wrong_output.load());
    std::printf("kx_addCryptoEnt replacing: %d done, %d failed\n", f.replaced.load(),
                f.replace_failed.load());
    std::printf("poller: %d samples, %d without a configuration\n", f.samples.load(),
                f.missing.load());
    std::printf(
        "kx_incGeneration: %d calls, %d numbers handed out, %d of them twice, %d not above the "
        "caller's previous one; the counter moved from %d to %d\n",
        handed.calls, handed.numbers, handed.twice, handed.backwards, first, last);
    std::printf(
        "user status database: %d of 1200 records in place, %d replaced, %d writers failed, "
        "%d listings, %d torn records\n",
        records, replaced, status_failures.load(), listings.load(), torn.load());
    std::printf("server kills: %d; kxcrypto runs that did not end: %d, that crashed: %d\n",
                f.kills.load(), f.hangs.load(), f.crashes.load());
    check(f.undone == 0, "no acknowledged change is undone");
    check(f.wrong_output == 0, "kxcrypto -m prints what it always prints on success");
    check(f.missing == 0, "no entry is ever seen without its configuration");
    check(f.hangs == 0 && f.crashes == 0, "every kxcrypto run ends normally");
    check(records == 1200 && replaced == 1200 && status_failures == 0 && torn == 0,
          "the status database writers lose and tear no record");
    check(handed.twice == 0 && handed.backwards == 0,
          "the counter hands out distinct, increasing numbers");
    check(f.acked > 0 && f.replaced > 0 && handed.numbers > 0 && f.samples > 0,
          "every writer makes progress");
    if (!faults) {
        check(f.refused == 0 && f.replace_failed == 0, "no write fails without faults");
        check(handed.numbers == handed.calls && last - first == handed.calls,
              "the counter moves by the number of calls");
    } else {
        check(f.kills > 0, "the server was killed");
        check(last - first >= handed.numbers,
              "the counter moves at least by the numbers handed out");
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);  // libldap writes to connections that the killed server closed
    read_bed();
    if (argc == 4 && std::strcmp(argv[1], "--counter") == 0)
        return counter_worker(std::atoi(argv[2]), argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "--status") == 0)
        return status_worker(argv[2], std::atoi(argv[3]));
    if (argc != 5 || bed.empty()) {
        std::fprintf(stderr,
                     "usage: kx_chaos <kxcrypto> <testbed.sh> <seconds> <seconds with faults>\n"
                     "(with KX_TESTBED_ENV naming the test bed)\n");
        return 2;
    }
    kxcrypto = argv[1];
    testbed = argv[2];
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    phase("without faults", std::atoi(argv[3]), false, self);
    phase("the server killed and restarted every 1 to 3 seconds", std::atoi(argv[4]), true, self);
    std::printf(failed_checks ? "%d checks failed\n" : "all checks passed\n", failed_checks);
    return failed_checks ? 1 : 0;
}
