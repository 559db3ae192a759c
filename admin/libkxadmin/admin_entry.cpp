// Directory entry operations: the writes, each behind the primary-server
// guard (check_primary), the conditional writes of kx_swap.hpp, searches
// and existence tests (on the session's server or on the primary), the
// children of an entry, and the printer of a subtree.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "admin_private.h"
#include "kx_ldap.hpp"
#include "kx_raii.hpp"
#include "kx_swap.hpp"
#include "utils.h"

namespace kx {

int modify_entry_quietly(LDAP *ld, char *dn, LDAPMod **mods, int &ldap_rc)
{
    ldap_rc = LDAP_OTHER;
    int ret = check_primary();
    if (ret != KXE_SUCCESS)
        return ret;
    ldap_rc = ldap_modify_ext_s(ld, dn, mods, nullptr, nullptr);
    if (write_outcome(ldap_rc) == Write::Failed)
        log_modify_failure(ldap_rc);
    return kx_dserr2kxerr(ldap_rc);
}

void log_modify_failure(int ldap_rc)
{
    dprintf("modify_entry(): LDAP modify failed - %s\n", ldap_err2string(ldap_rc));
}

std::optional<int> swap_entry(LDAP *ld, char *dn, Mods &conditional,
                              const std::function<Mods()> &unconditional)
{
    int ldap_rc = LDAP_SUCCESS;
    int rc = modify_entry_quietly(ld, dn, conditional.get(), ldap_rc);
    switch (write_outcome(ldap_rc)) {
    case Write::Done:
        return KXE_SUCCESS;
    case Write::Conflict:
        return std::nullopt;
    case Write::NoEquality: {
        Mods mods = unconditional();
        return modify_entry(ld, dn, mods.get());
    }
    case Write::Failed:
        break;
    }
    return rc;
}

void log_gave_up(const char *who)
{
    dprintf("%s(): gave up after %d attempts, the entry kept changing\n", who, kWriteAttempts);
}

void pause_before_attempt(int n)
{
    thread_local std::minstd_rand random(static_cast<unsigned>(std::random_device{}()));
    int ceiling_ms = 1 << std::min(n - 1, 5);
    std::uniform_int_distribution<int> micros(0, ceiling_ms * 1000);
    std::this_thread::sleep_for(std::chrono::microseconds(micros(random)));
}

}  // namespace kx

int global_num_entries = 0;

int add_entry(LDAP *ld, char *dn, LDAPMod **mods)
{
    int ret = check_primary();
    if (ret != KXE_SUCCESS)
        return ret;
    int rc = ldap_add_ext_s(ld, dn, mods, nullptr, nullptr);
    if (rc != LDAP_SUCCESS)
        dprintf("add_entry(): LDAP add failed - %s\n", ldap_err2string(rc));
    return kx_dserr2kxerr(rc);
}

int modify_entry(LDAP *ld, char *dn, LDAPMod **mods)
{
    int rc = LDAP_SUCCESS;
    int ret = kx::modify_entry_quietly(ld, dn, mods, rc);
    if (kx::write_outcome(rc) != kx::Write::Failed && rc != LDAP_SUCCESS)
        kx::log_modify_failure(rc);
    return ret;
}

int delete_entry(LDAP *ld, char *dn)
{
    int ret = check_primary();
    if (ret != KXE_SUCCESS)
        return ret;
    int rc = ldap_delete_ext_s(ld, dn, nullptr, nullptr);
    if (rc != LDAP_SUCCESS)
        dprintf("delete_entry(): LDAP delete failed - %s\n", ldap_err2string(rc));
    return kx_dserr2kxerr(rc);
}

LDAPMessage *search_for_entries(LDAP *ld, char *filter, char *base, char **attrs, int attrsonly,
                                int which)
{
    int scope = which == KX_SEARCH_CHILDREN ? LDAP_SCOPE_ONELEVEL : LDAP_SCOPE_SUBTREE;
    LDAPMessage *raw = nullptr;
    int rc = ldap_search_ext_s(ld, base, scope, filter, attrs, attrsonly, nullptr, nullptr, nullptr,
                               LDAP_NO_LIMIT, &raw);
    kx::LdapMessage result(raw);
    if (rc != LDAP_SUCCESS) {
        dprintf("search_for_entries(): LDAP search failed - %s\n", ldap_err2string(rc));
        return nullptr;
    }
    if (which == KX_SEARCH_ONE) {
        int n = ldap_count_entries(ld, result.get());
        if (n == 0)
            return nullptr;
        if (n > 1) {
            dprintf("%s", kx::kSeveralMatches);
            return nullptr;
        }
    }
    return result.release();
}

int entry_exists(LDAP *ld, char *filter, char *base)
{
    char objectclass[] = "objectclass";
    char *attrs[] = {objectclass, nullptr};
    kx::LdapMessage result(search_for_entries(ld, filter, base, attrs, 1, KX_SEARCH_ALL));
    if (!result)
        return -1;
    return ldap_count_entries(ld, result.get()) > 0 ? 1 : 0;
}

int _kx_dsEntryExists(KXAdmin kxa, char *filter, char *base, int on_primary)
{
    if (!kxa || !filter || !base)
        return KXE_INVAL;
    int found;
    if (!on_primary || kx_isDSprimary()) {
        found = entry_exists(kxa->ld, filter, base);
    } else {
        char *raw_host = nullptr;
        int port = -1;
        int ret = kx_getDSprimary(&raw_host, &port);
        kx::CString host(raw_host);
        if (ret != KXE_SUCCESS) {
            dprintf("kx_EntryExists(): failed to retrieve primary server name");
            return ret == KXE_NOMEM ? KXE_NOMEM : KXE_CONFIG;
        }
        if (kx_pingDShost(host.get(), port, 10) != KXE_SUCCESS) {
            dprintf("kx_EntryExists(): failed to contact primrary server %s", host.get());
            return KXE_UNREACHABLE;
        }
        int err = 0;
        KXAdmin primary = _kx_dsConnect(kxa->mode == KX_MODE_PASSWD_FILE ? KX_MODE_PASSWD_FILE
                                                                         : KX_MODE_ANONYMOUS,
                                        nullptr, nullptr, nullptr, host.get(), &err);
        if (!primary) {
            if (err == KXE_AUTHFAIL) {
                dprintf("kx_EntryExists(): failed to authenticate with %s", host.get());
                return KXE_AUTHFAIL;
            }
            dprintf("kx_EntryExists(): failed to connect to %s - %s", host.get(), kx_err2str(err));
            return KXE_INTERNAL;
        }
        found = entry_exists(primary->ld, filter, base);
        close_connection(primary);
    }
    return found == 1 ? KXE_SUCCESS : found == 0 ? KXE_NOTFOUND : KXE_INTERNAL;
}

namespace {
char kAnyObject[] = "objectclass=*";
char kIdAttr[] = "kxID";
}  // namespace

int count_child_entries(LDAP *ld, char *dn)
{
    char *attrs[] = {kIdAttr, nullptr};
    kx::LdapMessage result(search_for_entries(ld, kAnyObject, dn, attrs, 1, KX_SEARCH_CHILDREN));
    if (!result)
        return -1;
    return ldap_count_entries(ld, result.get());
}

int delete_child_entries(LDAP *ld, char *dn)
{
    char *attrs[] = {kIdAttr, nullptr};
    kx::LdapMessage result(search_for_entries(ld, kAnyObject, dn, attrs, 1, KX_SEARCH_CHILDREN));
    if (!result)
        return -1;
    int count = 0;
    for (LDAPMessage *e = ldap_first_entry(ld, result.get()); e; e = ldap_next_entry(ld, e)) {
        kx::LdapString child(ldap_get_dn(ld, e));
        if (!child)
            return -1;
        ++count;
        int rc = ldap_delete_ext_s(ld, child.get(), nullptr, nullptr);
        if (rc != LDAP_SUCCESS) {
            dprintf("delete_child_entries(): LDAP delete failed - %s\n", ldap_err2string(rc));
            return -1;
        }
    }
    return count;
}

char *normalize_search_filter(const char *filter)
{
    if (!filter)
        return nullptr;
    size_t parens = 0;
    for (const char *c = filter; *c; ++c)
        if (*c == '(')
            ++parens;
    if (parens < 2)
        return safe_strdup(filter);
    std::string wrapped = "(&" + std::string(filter) + ")";
    return safe_strdup(wrapped.c_str());
}

int print_entry_hierarchy(LDAP *ld, char *dn, int level, int show_attributes, int sort)
{
    int scope = LDAP_SCOPE_ONELEVEL;
    if (level == 1) {
        global_num_entries = 0;
        scope = LDAP_SCOPE_BASE;
    }
    LDAPMessage *raw = nullptr;
    int rc = ldap_search_ext_s(ld, dn, scope, kAnyObject, nullptr, 0, nullptr, nullptr, nullptr,
                               LDAP_NO_LIMIT, &raw);
    kx::LdapMessage result(raw);
    if (rc != LDAP_SUCCESS) {
        dprintf("print_entry_hierarchy(): LDAP search failed - %s\n", ldap_err2string(rc));
        return -1;
    }
    // The entries with their DNs, in result order or sorted by DN.
    std::vector<std::pair<kx::LdapString, LDAPMessage *>> entries;
    for (LDAPMessage *e = ldap_first_entry(ld, result.get()); e; e = ldap_next_entry(ld, e)) {
        kx::LdapString entry_dn(ldap_get_dn(ld, e));
        if (!entry_dn) {
            int err = LDAP_OTHER;
            ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &err);
            dprintf("print_entry_hierarchy(): LDAP get_dn failed - %s\n", ldap_err2string(err));
            return -1;
        }
        entries.emplace_back(std::move(entry_dn), e);
    }
    if (sort)
        std::stable_sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) {
            return std::strcmp(a.first.get(), b.first.get()) < 0;
        });

    // indent_spaces hands out one shared buffer: copy it before recursing.
    std::string indent = indent_spaces(level);
    for (auto &[entry_dn, e] : entries) {
        ++global_num_entries;
        std::printf("%s* %s\n", indent.c_str(), entry_dn.get());
        if (show_attributes) {
            BerElement *ber_raw = nullptr;
            for (char *attr = ldap_first_attribute(ld, e, &ber_raw); attr;
                 attr = ldap_next_attribute(ld, e, ber_raw)) {
                kx::LdapString name(attr);
                kx::BerValues values(ldap_get_values_len(ld, e, attr));
                int n = ldap_count_values_len(values.get());
                if (n == 0)
                    std::printf("%s  %-17s = %s\n", indent.c_str(), attr, "(nil)");
                for (int i = 0; i < n; ++i)
                    std::printf("%s  %-17s = %.*s\n", indent.c_str(), attr,
                                static_cast<int>(values.get()[i]->bv_len), values.get()[i]->bv_val);
            }
            kx::BerElementPtr ber(ber_raw);
            std::printf("\n");
        }
        if (int r = print_entry_hierarchy(ld, entry_dn.get(), level + 1, show_attributes, sort))
            return r;
    }
    if (level == 1)
        std::printf("\ntotal entries = %d\n", global_num_entries);
    return 0;
}

void print_hierarchy(KXAdmin kxa, int show_attributes, int sort)
{
    if (!kxa)
        return;
    print_entry_hierarchy(kxa->ld, kxa->subtree, 1, show_attributes, sort);
}
