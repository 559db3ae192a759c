// Sessions on the consumer of a replicated pair: writes follow the referral to the provider,
// existence tests can ask the primary, and enrolment waits for the user to reach the consumer.
#include <unistd.h>

#include "admin_private.h"
#include "kxtest.h"

namespace {

using kxt::m;
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

TEST_F(ReplPrimary, ExistenceTestsEnrolmentAndRemoval)
{
    std::string rdn = "cn=reader,o=kxdata", raw = kxt::rtoken_dn("unsynced.rp"),
                lt = kxt::ltoken_dn("user.rpl"), b = kxt::bed("KX_SUBTREE"),
                p = kxt::bed("KX_PROVIDER_URI");
    ASSERT_EQ(
        kxt::ldapmodify("dn: " + rdn +
                            "\nobjectClass: person\ncn: reader\nsn: r\nuserPassword: pw-r\n\n" +
                            kxt::record_ldif(raw) + kxt::record_ldif(lt, {"unsynced.rp2"}),
                        true, p),
        0);
    // Entries on the provider only: found on the primary, not here.
    EXPECT_EQ(_kx_rawTokenExists(k, m("unsynced.rp"), 1), KXE_SUCCESS);
    EXPECT_EQ(_kx_rawTokenExists(anon.get(), m("unsynced.rp"), 1), KXE_SUCCESS) << "anonymous";
    EXPECT_EQ(_kx_rawTokenExists(k, m("unsynced.rp"), 0), KXE_NOTFOUND);
    EXPECT_EQ(_kx_logicalTokenExists(k, nullptr, m("unsynced.rp2"), 1), KXE_SUCCESS);
    EXPECT_EQ(_kx_logicalTokenExists(k, m("user.rpl"), nullptr, 0), KXE_NOTFOUND);

    // Enrolment refuses a raw token that the consumer does not know yet.
    kxt::clear_logs();
    EXPECT_EQ(add_simple_user2(k, m("unsynced.rp"), nullptr, 0, m("Una"), nullptr), nullptr);
    EXPECT_EQ(
        kxt::logs(),
        "6 add_simple_user2(): there is already a raw token unsynced.rp on\nthe primary "
        "datastore.  The local datastore may be out of sync\nwith the primary.  Please inform "
        "your administrator.\n");
    EXPECT_EQ(kxt::ldif(b, "sub", "(|(kxName=Una)(kxRawTokenIDs=unsynced.rp))", "", p), "");
    kxt::ldapdelete({raw, lt}, p);

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
    // A session bound as a reader follows the referrals with the
    // administrator's credentials too.
    ASSERT_TRUE(on_consumer(rdn, true));
    kxt::Session reader(open_connection(4, rdn.data(), m("pw-r"), nullptr, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_EQ(delete_simple_user(reader.get(), m("rpe.r1")), 0);
    for (const auto &dn : {ud, ld, rd})
        EXPECT_EQ(provider(dn), "-") << dn;
    EXPECT_TRUE(on_consumer(ud, false) && on_consumer(rd, false));
    kxt::ldapdelete({rdn}, p);
}

}  // namespace
