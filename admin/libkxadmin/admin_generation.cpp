// Generation counters: numbers kept on kxSynch entries below the session's
// base, incremented by a compare and swap, and the test whether a
// generation read earlier is still valid.

#include <cstdlib>
#include <optional>
#include <string>

#include "admin_private.h"
#include "kx_ldap.hpp"
#include "kx_raii.hpp"
#include "kx_swap.hpp"
#include "utils.h"

namespace {

constexpr size_t kGenerationDnLimit = 500;
char kSynchFilter[] = "objectclass=kxSynch";
char kGenerationAttr[] = "kxGenerationNumber";

// The counter at dn as stored: whether a kxSynch entry is there, and its
// first value.
struct Counter {
    bool entry = false;
    std::optional<std::string> value;
    int number() const { return value ? std::atoi(value->c_str()) : -1; }
};

Counter read_counter(KXAdmin kxa, char *dn)
{
    char *attrs[] = {kGenerationAttr, nullptr};
    kx::LdapMessage result(search_for_entries(kxa->ld, kSynchFilter, dn, attrs, 0, KX_SEARCH_ONE));
    LDAPMessage *e = result ? ldap_first_entry(kxa->ld, result.get()) : nullptr;
    if (!e)
        return {};
    return {true, kx::first_value(kxa->ld, e, kGenerationAttr)};
}

// The DN of the counter `name`; false without a session or a name, and
// when the DN is too long (logged for the function `who`).
bool generation_dn(KXAdmin kxa, const char *name, std::string &dn, const char *who)
{
    if (!kxa || !name || !*name)
        return false;
    dn = "kxname=" + kx::dn_value(name) + "," + p(kxa->subtree);
    if (dn.size() >= kGenerationDnLimit) {
        dprintf("%s: basedn name too long", who);
        return false;
    }
    return true;
}

}  // namespace

int kx_getGeneration(KXAdmin kxa, char *name)
{
    std::string dn;
    if (!generation_dn(kxa, name, dn, "kx_getGeneration"))
        return -1;
    return read_counter(kxa, dn.data()).number();
}

int kx_incGeneration(KXAdmin kxa, char *name)
{
    std::string dn;
    if (!generation_dn(kxa, name, dn, "kx_incGeneration"))
        return -1;
    // Compare and swap: the number read is deleted and the next one added in
    // one modification, which fails when another writer has moved the counter
    // in between; then read it again.  A counter that does not exist yet is
    // created by adding the number with the object class, which fails when
    // another writer created it first.
    int next = -1;
    int rc = kx::retry_conflicts(
        "kx_incGeneration",
        [&]() -> std::optional<int> {
            Counter stored = read_counter(kxa, dn.data());
            next =
                stored.value
                    ? static_cast<int>((static_cast<unsigned>(stored.number()) + 1u) & 0x7FFFFFFFu)
                    : 0;
            std::string number = std::to_string(next);
            kx::Mods mods;
            if (stored.value) {
                mods.add(LDAP_MOD_DELETE, kGenerationAttr, {*stored.value});
                mods.add(LDAP_MOD_ADD, kGenerationAttr, {number});
            } else {
                mods.add(LDAP_MOD_ADD, kGenerationAttr, {number});
                mods.add(LDAP_MOD_ADD, "objectclass", {"kxSynch"});
            }
            // A kxSynch entry without a number cannot take the class again:
            // that is no conflict.
            if (stored.entry && !stored.value)
                return modify_entry(kxa->ld, dn.data(), mods.get());
            // Without an equality rule for the number, it is replaced.
            return kx::swap_entry(kxa->ld, dn.data(), mods, [&] {
                kx::Mods replace;
                replace.add(LDAP_MOD_REPLACE, kGenerationAttr, {number});
                return replace;
            });
        },
        KXE_INTERNAL);
    return rc == KXE_SUCCESS ? next : -1;
}

int kx_isGenerationValid(KXAdmin kxa, char *name, int generation)
{
    if (!kxa || !name || !*name || generation < 0)
        return 0;
    int current = kx_getGeneration(kxa, name);
    if (current == -1)
        return 0;
    unsigned diff = static_cast<unsigned>(current) - static_cast<unsigned>(generation);
    return (diff & 0x40000000u) ? 0 : 1;
}
