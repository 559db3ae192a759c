// Conditional writes.  A change that depends on what was read goes to the
// directory as one modification that deletes the values read and adds the
// new ones: the directory applies all of it or nothing, and refuses it when a
// value read is gone or a value that was not there has appeared, that is,
// when another writer came first.  The writer then reads again and tries
// again, a bounded number of times, so that concurrent writers neither undo
// each other's changes nor see a mere conflict as a failure, and an entry
// never lacks a value between a deletion and an addition.
#ifndef KX_SWAP_HPP
#define KX_SWAP_HPP

#include <functional>
#include <optional>

#include <ldap.h>

#include "kx_ldap.hpp"

namespace kx {

enum class Write {
    Done,
    Conflict,    // another writer changed what was read
    NoEquality,  // the schema gives an attribute no equality rule, so that
                 // single values cannot be deleted: write unconditionally
    Failed,
};

// How a conditional modification ended, from libldap's result.
constexpr Write write_outcome(int ldap_rc)
{
    switch (ldap_rc) {
    case LDAP_SUCCESS:
        return Write::Done;
    case LDAP_NO_SUCH_ATTRIBUTE:     // a value read is gone
    case LDAP_TYPE_OR_VALUE_EXISTS:  // a value has appeared
    case LDAP_CONSTRAINT_VIOLATION:  // ... as a second one of a single-valued attribute
        return Write::Conflict;
    case LDAP_INAPPROPRIATE_MATCHING:
        return Write::NoEquality;
    default:
        return Write::Failed;
    }
}

// modify_entry (the primary-server guard, then the request), with libldap's
// result in ldap_rc (LDAP_OTHER when the guard refused), and without the log
// line for results that write_outcome does not call a failure: the caller
// decides what they mean.  Returns the library code.
int modify_entry_quietly(LDAP *ld, char *dn, LDAPMod **mods, int &ldap_rc);

// Logs a modification that failed as modify_entry does.
void log_modify_failure(int ldap_rc);

// Sends the conditional modification of dn (through the primary-server
// guard); where the schema cannot compare the values it deletes, sends the
// unconditional one that `unconditional` makes instead.  nullopt on a
// conflict, else the library code; failures are logged as modify_entry
// logs them.
std::optional<int> swap_entry(LDAP *ld, char *dn, Mods &conditional,
                              const std::function<Mods()> &unconditional);

// Attempts of a conditional write before it gives up.
constexpr int kWriteAttempts = 50;

// Waits before attempt n (1, 2, ...) of a conditional write: a random time
// of up to 2^(n-1) milliseconds, at most 32, so that writers that met drift
// apart and a replica that lags behind its primary catches up.
void pause_before_attempt(int n);

// Logs that the conditional write of the function `who` gave up.
void log_gave_up(const char *who);

// Runs attempt() until it gives a result instead of nullopt (a conflict), at
// most kWriteAttempts times; `exhausted`, logged for the function `who`,
// when every attempt met a conflict.
template <class F> int retry_conflicts(const char *who, F attempt, int exhausted)
{
    for (int n = 0; n < kWriteAttempts; ++n) {
        if (n > 0)
            pause_before_attempt(n);
        if (std::optional<int> result = attempt())
            return *result;
    }
    log_gave_up(who);
    return exhausted;
}

}  // namespace kx

#endif
