// Threads with a session each against one directory server: adding, looking up and deleting the
// security configurations of their own tokens, iterating over all, reading a user and asking for
// the primary server.  (Writers of one entry: the chaos test.)  scripts/test.sh --thread runs it
// alone in a ThreadSanitizer build.
#include <set>
#include <thread>

#include "kxtest.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using kxt::m;

TEST(DirThreads, SessionsInParallel)
{
    constexpr int kThreads = 4, kRounds = 12;
    kxt::Strings dns = {kxt::user_dn("thread.user")};
    std::string ldif = kxt::record_ldif(dns[0], {}, "kxName: Thread User\n");
    for (int t = 0; t < kThreads; t++)
        dns.push_back(kxt::rtoken_dn("thread" + std::to_string(t) + ".tok")),
            ldif += kxt::record_ldif(dns.back());
    ASSERT_EQ(kxt::ldapmodify(ldif, true), 0);

    auto worker = [&](int t) {
        kxt::Session s = kxt::open();
        ASSERT_TRUE(s);
        std::string own = "thread" + std::to_string(t) + ".tok";
        for (int round = 0; round < kRounds; round++) {
            std::string mode = round % 2 ? "mode=hard" : "mode=soft";
            char *pairs[] = {m(mode.c_str()), m("enc_up_type=ARCFOUR"), nullptr};
            kx_CryptoEnt_t ent{m(own.c_str()), pairs, nullptr, 0};
            EXPECT_EQ(kx_addCryptoEnt(s.get(), &ent, 0), KXE_SUCCESS) << own << " " << round;
            kx_CryptoEnt_t *found = nullptr;
            EXPECT_EQ(kx_getCryptoEntByTokenID(s.get(), m(own.c_str()), &found, 0), KXE_SUCCESS);
            kxt::Crypto owned(found);
            EXPECT_EQ(found ? kxt::strs(found->keyValue) : kxt::Strings{},
                      (kxt::Strings{mode, "enc_up_type=ARCFOUR"}));
            std::set<std::string> ids;
            EXPECT_EQ(kx_setCryptoEnt(s.get(), nullptr, 0), KXE_SUCCESS);
            for (kx_CryptoEnt_t *e = nullptr; kx_getCryptoEnt(&e) == KXE_SUCCESS;
                 kx_freeCryptoEnt(e))
                ids.insert(e->tokenID);
            kx_endCryptoEnt();
            EXPECT_TRUE(ids.count(own)) << own << " " << round;
            kxt::User user(get_user(s.get(), m("thread.user")));
            EXPECT_STREQ(user ? user->name : nullptr, "Thread User");
            char *host = nullptr;
            int port = 0;
            EXPECT_EQ(kx_getDSprimary(&host, &port), KXE_SUCCESS);
            EXPECT_EQ(port, -1) << "this host";
            EXPECT_EQ(kx_isDSprimary(), 1);
            std::free(host);
            EXPECT_EQ(kx_delCryptoEnt(s.get(), m(own.c_str())), KXE_SUCCESS) << own << " " << round;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back(worker, t);
    for (auto &thread : threads)
        thread.join();
    kxt::ldapdelete(dns);
}

}  // namespace
