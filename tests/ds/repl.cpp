// Sessions on the consumer of a replicated pair: writes follow the referral to the provider,
// existence tests can ask the primary, and enrolment waits for the user to reach the consumer.
#include <functional>

#include <unistd.h>

#include "admin_private.h"
#include "kxtest.h"

namespace {

using kxt::m;
using ReplWrites = kxt::Dir;
using ReplPrimary = kxt::Dir;

// The entry as the provider holds it, attribute lines only; "-" without one.
std::string provider(const std::string &dn, const std::string &attrs = "")
{
    return kxt::at(dn, attrs, kxt::bed("KX_PROVIDER_URI"));
}

// Polls the consumer, for ten seconds at most, until the entry is there (or gone).
bool on_consumer(const std::string &dn, bool present)
{
    for (int i = 0; i < 100; ++i, usleep(100000))
        if (kxt::ldif(dn).empty() != present)
            return true;
    return false;
}

TEST_F(ReplWrites, FollowTheReferralToTheProvider)
{
    std::string rdn = "cn=reader,o=kxdata", one = kxt::rtoken_dn("rp.one"),
                two = kxt::rtoken_dn("rp.two");
    ASSERT_EQ(kxt::ldapmodify("dn: " + rdn +
                                  "\nobjectClass: person\ncn: reader\nsn: r\nuserPassword: pw-r",
                              true, kxt::bed("KX_PROVIDER_URI")),
              0);
    ASSERT_TRUE(on_consumer(rdn, true));
    kxt::Session reader(open_connection(4, rdn.data(), m("pw-r"), nullptr, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_EQ(kx_isDSprimary(), 0);
    EXPECT_EQ(check_primary(), KXE_SUCCESS);
    KXRawToken t1{}, t2{};
    t1.id = m("rp.one"), t1.secret = m("s1"), t2.id = m("rp.two");
    ASSERT_EQ(add_raw_token(k, &t1), 0);
    EXPECT_EQ(provider(one), "objectClass: kxRawToken\nkxID: rp.one\nkxSecret: s1");
    // A session bound as a reader follows the referral with the
    // administrator's credentials too.
    ASSERT_EQ(add_raw_token(reader.get(), &t2), 0);
    EXPECT_EQ(provider(two, "kxID"), "kxID: rp.two");
    ASSERT_TRUE(on_consumer(one, true) && on_consumer(two, true));
    t1.secret = nullptr, t1.misc1 = m("x");
    EXPECT_EQ(modify_raw_token(k, &t1), 0);
    EXPECT_EQ(provider(one, "kxSecret kxMisc1"), "kxMisc1: x");
    EXPECT_EQ(delete_raw_token(k, m("rp.one")), KXE_SUCCESS);
    EXPECT_EQ(delete_raw_token(reader.get(), m("rp.two")), KXE_SUCCESS);
    EXPECT_EQ(provider(one), "-");
    EXPECT_EQ(provider(two), "-");
    EXPECT_TRUE(on_consumer(one, false) && on_consumer(two, false));
    kxt::ldapdelete({rdn}, kxt::bed("KX_PROVIDER_URI"));
}

TEST_F(ReplPrimary, ExistenceTestsAndEnrolment)
{
    std::string raw = kxt::rtoken_dn("unsynced.rp"), lt = kxt::ltoken_dn("user.rpl"),
                b = kxt::bed("KX_SUBTREE");
    ASSERT_EQ(
        kxt::ldapmodify(
            "dn: " + raw + "\nobjectClass: kxRawToken\nkxID: unsynced.rp\n\ndn: " + lt +
                "\nobjectClass: kxLogicalToken\nkxID: user.rpl\nkxRawTokenIDs: unsynced.rp2\n",
            true, kxt::bed("KX_PROVIDER_URI")),
        0);
    // Entries on the provider only: found on the primary, not here.
    KXAdmin a = anon.get();
    struct {
        const char *what;
        std::function<int()> call;
        int rc;
    } exists[] = {
        {"raw, on the primary", [&] { return _kx_rawTokenExists(k, m("unsynced.rp"), 1); }, 0},
        {"raw, anonymously", [&] { return _kx_rawTokenExists(a, m("unsynced.rp"), 1); }, 0},
        {"raw, here", [&] { return _kx_rawTokenExists(k, m("unsynced.rp"), 0); }, KXE_NOTFOUND},
        {"logical, on the primary",
         [&] { return _kx_logicalTokenExists(k, nullptr, m("unsynced.rp2"), 1); }, KXE_SUCCESS},
        {"logical, here", [&] { return _kx_logicalTokenExists(k, m("user.rpl"), nullptr, 0); },
         KXE_NOTFOUND},
    };
    for (const auto &e : exists)
        EXPECT_EQ(e.call(), e.rc) << e.what;

    // Enrolment refuses a raw token that the consumer does not know yet.
    kxt::clear_logs();
    EXPECT_EQ(add_simple_user2(k, m("unsynced.rp"), nullptr, 0, m("Una"), nullptr), nullptr);
    EXPECT_EQ(
        kxt::logs(),
        "6 add_simple_user2(): there is already a raw token unsynced.rp on\nthe primary "
        "datastore.  The local datastore may be out of sync\nwith the primary.  Please inform "
        "your administrator.\n");
    EXPECT_EQ(kxt::ldif(b, "sub", "(|(kxName=Una)(kxRawTokenIDs=unsynced.rp))", "",
                        kxt::bed("KX_PROVIDER_URI")),
              "");
    kxt::ldapdelete({raw, lt}, kxt::bed("KX_PROVIDER_URI"));

    // An enrolment through the consumer waits until the user has reached it.
    kxt::clear_logs();
    std::string uid =
        kxt::take(add_simple_user2(k, m("rpe.r1"), m("srv"), 7040, m("Rita"), m("r1")));
    std::string ud = kxt::user_dn(uid), ld = kxt::ltoken_dn("user." + uid),
                rd = kxt::rtoken_dn("rpe.r1");
    EXPECT_EQ(kxt::logs(), "142 user : User (Rita) successfully added.\n");
    EXPECT_EQ(kxt::at(ud, "kxName kxLogicalTokenIDs"),
              "kxName: Rita\nkxLogicalTokenIDs: user." + uid);
    EXPECT_EQ(provider(ld, "kxRawTokenIDs kxServerPort"),
              "kxServerPort: 7040\nkxRawTokenIDs: rpe.r1");
    EXPECT_EQ(delete_simple_user(k, m("rpe.r1")), 0);
    for (const auto &dn : {ud, ld, rd})
        EXPECT_EQ(provider(dn), "-") << dn;
    EXPECT_TRUE(on_consumer(ud, false) && on_consumer(rd, false));
}

}  // namespace
