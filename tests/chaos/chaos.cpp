// Many writers at once, first with a sound directory server, then while the
// test bed's slapd is killed (SIGKILL) and restarted every 1 to 3 seconds:
//
//   - kxcrypto -m processes, one writer per key of the default token's
//     configuration, each checking after every acknowledged change that it
//     stays stored until the writer's own next change;
//   - library threads replacing another token's whole configuration;
//   - a poller that must never find either entry without its configuration;
//   - threads incrementing one generation counter, noting every number.
//
// Every library caller has a session of its own.  Runs against the test bed
// of with_testbed.sh; each phase prints its figures.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <signal.h>

#include "admin_private.h"
#include "kxtest.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A command's exit status: 124 when it ran out of time, 128 + n when
// signal n ended it.  Its standard output goes to *out.
int run(const std::string &command, std::string *out = nullptr)
{
    int status = 0;
    std::string text = kxt::sh("timeout 30 " + command + " 2>/dev/null", &status);
    if (out)
        *out = text;
    return status;
}

// An administrator's session, opened again after a failure.
struct Session {
    KXAdmin kxa = nullptr;
    KXAdmin get()
    {
        if (!kxa)
            kxa = open_connection(KX_MODE_PASSWD_FILE, nullptr, nullptr, nullptr, nullptr);
        return kxa;
    }
    void reset() { close_connection(kxa), kxa = nullptr; }
    ~Session() { reset(); }
};

// The crypto string of a raw token's entry: nothing when it cannot be read,
// an empty optional inside when the entry holds none.
std::optional<std::optional<std::string>> read_config(Session &s, const std::string &id)
{
    KXAdmin kxa = s.get();
    char attr[] = "kxCryptoString", *attrs[] = {attr, nullptr};
    LDAPMessage *result = nullptr;
    int rc =
        kxa ? ldap_search_ext_s(kxa->ld, kxt::rtoken_dn(id).c_str(), LDAP_SCOPE_BASE,
                                "(objectClass=*)", attrs, 0, nullptr, nullptr, nullptr, 0, &result)
            : LDAP_SERVER_DOWN;
    std::optional<std::optional<std::string>> config;
    if (rc == LDAP_SUCCESS || rc == LDAP_NO_SUCH_OBJECT) {
        LDAPMessage *e = rc == LDAP_SUCCESS ? ldap_first_entry(kxa->ld, result) : nullptr;
        berval **values = e ? ldap_get_values_len(kxa->ld, e, attr) : nullptr;
        config.emplace();
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
std::string value_of(const std::optional<std::string> &crypto, const std::string &key)
{
    std::istringstream pairs(crypto.value_or(""));
    for (std::string pair; std::getline(pairs, pair, ',');)
        if (pair.rfind(key + "=", 0) == 0)
            return pair.substr(key.size() + 1);
    return "";
}

struct Figures {
    std::atomic<int> acked{0}, refused{0}, undone{0}, other_output{0}, hung{0}, crashed{0};
    std::atomic<int> replaced{0}, replace_failed{0}, samples{0}, missing{0}, kills{0};
    std::atomic<bool> stop{false};
};

// ---- the writers --------------------------------------------------------------

struct Key {
    std::string name, values[2];
    std::string acked;                      // the value of the last acknowledged change
    std::set<std::string> unanswered = {};  // values sent after it without an answer
};

const std::string kModified =
    "Configuration successfully modified.\nA warm or cold restart of services must be performed.\n";

void key_writer(Key &key, Figures &f)
{
    Session s;
    for (int i = 0; !f.stop; ++i) {
        std::string value = key.values[i % 2], out;
        int status = run(KX_KXCRYPTO " -m " + key.name + "=" + value, &out);
        f.hung += status == 124;
        f.crashed += status > 128;
        if (status != 0) {
            ++f.refused;
            key.unanswered.insert(value);
            continue;
        }
        ++f.acked;
        f.other_output += out != kModified;
        key.acked = value;
        key.unanswered.clear();
        auto config = read_config(s, "default.token");
        for (auto until = Clock::now() + 10s; !config && Clock::now() < until;)
            std::this_thread::sleep_for(50ms), config = read_config(s, "default.token");
        if (config)
            f.undone += value_of(*config, key.name) != value;
    }
}

// Replaces the whole configuration of the token chaos.lib, again and again.
void replacer(int n, Figures &f)
{
    Session s;
    for (int round = 0; !f.stop; ++round) {
        std::string mine = "writer=" + std::to_string(n) + "." + std::to_string(round);
        char id[] = "chaos.lib", *pairs[] = {mine.data(), nullptr};
        kx_CryptoEnt_t ent{id, pairs, nullptr, 0};
        if (s.get() && kx_addCryptoEnt(s.get(), &ent, 1) == KXE_SUCCESS)
            ++f.replaced;
        else
            ++f.replace_failed, s.reset(), std::this_thread::sleep_for(20ms);
    }
}

void poller(Figures &f)
{
    Session s;
    while (!f.stop)
        for (const char *id : {"default.token", "chaos.lib"}) {
            auto config = read_config(s, id);
            if (!config)
                std::this_thread::sleep_for(20ms);
            else
                ++f.samples, f.missing += !config->has_value();
        }
}

void killer(Figures &f)
{
    std::minstd_rand random(static_cast<unsigned>(getpid()));
    std::string testbed = KX_SOURCE_DIR "/scripts/testbed.sh ",
                bed = kxt::q(kxt::bed("KX_STATEDIR"));
    while (!f.stop) {
        for (auto until = Clock::now() + std::chrono::milliseconds(1000 + random() % 2000);
             !f.stop && Clock::now() < until;)
            std::this_thread::sleep_for(20ms);
        if (f.stop)
            break;
        f.kills += run(testbed + "kill " + bed) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 300));
        run(testbed + "restart " + bed);
    }
}

// Increments the counter "users" until told to stop, noting every number
// handed out, or -1.
void incrementer(std::vector<int> &numbers, Figures &f)
{
    Session s;
    char users[] = "users";
    while (!f.stop) {
        numbers.push_back(s.get() ? kx_incGeneration(s.get(), users) : -1);
        if (numbers.back() < 0)
            s.reset(), std::this_thread::sleep_for(20ms);
    }
}

// The numbers that the counter handed out, by caller.
struct Handed {
    int calls = 0, numbers = 0, twice = 0, backwards = 0;
    explicit Handed(const std::vector<std::vector<int>> &callers)
    {
        std::set<int> seen;
        for (const std::vector<int> &got : callers)
            for (int i = 0, last = -1; i < int(got.size()); ++i, ++calls)
                if (got[i] >= 0)
                    ++numbers, twice += !seen.insert(got[i]).second, backwards += got[i] <= last,
                        last = got[i];
    }
};

// ---- a phase ---------------------------------------------------------------------

// The phases: 15 seconds without faults, 30 with them.
void phase(bool faults)
{
    int seconds = faults ? 30 : 15;
    std::string dir = kxt::bed("KX_STATEDIR");
    Figures f;
    Session setup;
    char users[] = "users", lib[] = "chaos.lib", *start_pairs[] = {users, nullptr};
    kx_CryptoEnt_t start{lib, start_pairs, nullptr, 0};
    run(KX_KXCRYPTO " -d");
    ASSERT_EQ(run(KX_KXCRYPTO " -a enc_up_type=none enc_down_type=none auth_down_type=none "
                              "mode=soft"),
              0);
    ASSERT_TRUE(setup.get() && kx_addCryptoEnt(setup.get(), &start, 1) == KXE_SUCCESS);
    int first = kx_getGeneration(setup.get(), users);

    std::vector<Key> keys = {{"enc_up_type", {"ARCFOUR", "none"}, "none"},
                             {"enc_down_type", {"ARCFOUR", "none"}, "none"},
                             {"auth_down_type", {"simple", "none"}, "none"},
                             {"mode", {"hard", "soft"}, "soft"}};
    std::vector<std::vector<int>> numbers(4);
    std::vector<std::thread> threads;
    for (std::vector<int> &n : numbers)
        threads.emplace_back(incrementer, std::ref(n), std::ref(f));
    for (Key &k : keys)
        threads.emplace_back(key_writer, std::ref(k), std::ref(f));
    for (int n = 0; n < 4; ++n)
        threads.emplace_back(replacer, n, std::ref(f));
    threads.emplace_back(poller, std::ref(f));
    if (faults)
        threads.emplace_back(killer, std::ref(f));

    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    f.stop = true;
    for (std::thread &t : threads)
        t.join();
    run(KX_SOURCE_DIR "/scripts/testbed.sh restart " + kxt::q(dir));

    setup.reset();
    auto config = read_config(setup, "default.token");
    ASSERT_TRUE(config);
    for (const Key &k : keys) {
        std::string stored = value_of(*config, k.name);
        EXPECT_TRUE(stored == k.acked || k.unanswered.count(stored))
            << k.name << " holds " << stored << ", its last acknowledged change " << k.acked;
    }
    Handed handed(numbers);
    int last = kx_getGeneration(setup.get(), users);
    std::printf("kxcrypto -m: %d acknowledged, %d refused, %d undone later, %d other output\n"
                "kx_addCryptoEnt replacing: %d done, %d failed\n"
                "poller: %d samples, %d without a configuration\n"
                "kx_incGeneration: %d calls, %d numbers, %d of them handed out twice, %d not "
                "above the caller's previous one; the counter moved from %d to %d\n"
                "server kills: %d; kxcrypto runs that did not end: %d, that crashed: %d\n",
                f.acked.load(), f.refused.load(), f.undone.load(), f.other_output.load(),
                f.replaced.load(), f.replace_failed.load(), f.samples.load(), f.missing.load(),
                handed.calls, handed.numbers, handed.twice, handed.backwards, first, last,
                f.kills.load(), f.hung.load(), f.crashed.load());
    EXPECT_EQ(f.undone, 0) << "acknowledged changes undone";
    EXPECT_EQ(f.other_output, 0) << "kxcrypto -m printed something else on success";
    EXPECT_EQ(f.missing, 0) << "entries seen without their configuration";
    EXPECT_EQ(f.hung + f.crashed, 0) << "kxcrypto runs that did not end normally";
    EXPECT_EQ(handed.twice + handed.backwards, 0) << "counter numbers repeated or going back";
    EXPECT_TRUE(f.acked && f.replaced && handed.numbers && f.samples)
        << "a writer made no progress";
    if (faults) {
        EXPECT_GT(f.kills, 0) << "the server was never killed";
        EXPECT_GE(last - first, handed.numbers) << "counter moves";
    } else {
        EXPECT_EQ(f.refused + f.replace_failed, 0) << "writes that failed without faults";
        EXPECT_EQ(handed.numbers, handed.calls) << "increments that failed without faults";
        EXPECT_EQ(last - first, handed.calls) << "the counter moves by the number of calls";
    }
}

TEST(Chaos, WithoutFaults) { phase(false); }

TEST(Chaos, WhileTheServerIsKilledAndRestarted) { phase(true); }

}  // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);  // libldap writes to connections that a killed server closed
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
