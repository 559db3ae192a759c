// Helpers for LDAP requests and their results: escaping of values placed in
// filters and distinguished names, bounded and cut formatting, modification
// lists, the message of a search that expected one entry and found several,
// the values of an attribute (the first, or all) and the texts of a string
// array, and for a handle the time limit of its operations and the reason
// of libldap's last failure.
#ifndef KX_LDAP_HPP
#define KX_LDAP_HPP

#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <ldap.h>

namespace kx {

// A value written into a search filter, with the filter's special
// characters escaped, so that an id never adds filter syntax.
inline std::string filter_value(std::string_view v)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(v.size());
    for (unsigned char c : v) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
            out += '\\';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// A value written as the value of an RDN, escaped so that an id never adds
// name syntax.
inline std::string dn_value(std::string_view v)
{
    std::string out;
    out.reserve(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        bool special = c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' ||
                       c == ';' || c == '=' || (i == 0 && (c == '#' || c == ' ')) ||
                       (i + 1 == v.size() && c == ' ');
        if (special)
            out += '\\';
        out += c;
    }
    return out;
}

// Formats into a buffer of `size` bytes: nothing when the text would not
// fit (size - 1 characters at most).
template <typename... Args>
std::optional<std::string> bounded(size_t size, const char *format, Args... args)
{
    int n = std::snprintf(nullptr, 0, format, args...);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return std::nullopt;
    std::string s(static_cast<size_t>(n), '\0');
    std::snprintf(s.data(), s.size() + 1, format, args...);
    return s;
}

// Formats into a buffer of `size` bytes, cutting what does not fit.
template <typename... Args> std::string cut(size_t size, const char *format, Args... args)
{
    std::vector<char> buf(size);
    std::snprintf(buf.data(), size, format, args...);
    return std::string(buf.data());
}

// A NULL-terminated list of modifications whose strings it owns.
class Mods {
public:
    Mods() = default;
    // Each modification points into its own strings: moving keeps them in
    // place, copying would not.
    Mods(Mods &&) = default;
    Mods &operator=(Mods &&) = default;
    Mods(const Mods &) = delete;
    Mods &operator=(const Mods &) = delete;

    // One modification of attr; values may be empty (a replace without
    // values removes the attribute).
    void add(int op, const char *attr, std::vector<std::string> values)
    {
        Entry &e = entries_.emplace_back();
        e.attr = attr;
        e.values = std::move(values);
        for (auto &v : e.values)
            e.ptrs.push_back(v.data());
        e.ptrs.push_back(nullptr);
        e.mod.mod_op = op;
        e.mod.mod_type = e.attr.data();
        e.mod.mod_values = e.ptrs.data();
    }
    // Adds attr = value when value is set.
    void add_if(int op, const char *attr, const char *value)
    {
        if (value)
            add(op, attr, {value});
    }
    LDAPMod **get()
    {
        list_.clear();
        for (auto &e : entries_)
            list_.push_back(&e.mod);
        list_.push_back(nullptr);
        return list_.data();
    }
    size_t size() const { return entries_.size(); }
    // The values of the first modification of attr; nullptr without one.
    const std::vector<std::string> *values_of(std::string_view attr) const
    {
        for (const Entry &e : entries_)
            if (e.attr == attr)
                return &e.values;
        return nullptr;
    }

private:
    struct Entry {
        std::string attr;
        std::vector<std::string> values;
        std::vector<char *> ptrs;
        LDAPMod mod{};
    };
    std::deque<Entry> entries_;  // stable addresses
    std::vector<LDAPMod *> list_;
};

// Reported when a search that expects one entry finds several.
inline constexpr char kSeveralMatches[] =
    "search_for_entries(): Found multiple matching entries, was expecting a single match";

// First value of attr in entry, as text; nothing when there is none.
inline std::optional<std::string> first_value(LDAP *ld, LDAPMessage *entry, const char *attr)
{
    berval **values = ldap_get_values_len(ld, entry, attr);
    if (!values)
        return std::nullopt;
    std::optional<std::string> out;
    if (values[0])
        out = std::string(values[0]->bv_val, values[0]->bv_len);
    ldap_value_free_len(values);
    return out;
}

// Every value of attr in entry, as text.
inline std::vector<std::string> all_values(LDAP *ld, LDAPMessage *entry, const char *attr)
{
    std::vector<std::string> out;
    berval **values = ldap_get_values_len(ld, entry, attr);
    for (int i = 0; values && values[i]; ++i)
        out.emplace_back(values[i]->bv_val, values[i]->bv_len);
    ldap_value_free_len(values);
    return out;
}

// The texts of a NULL-terminated string array.
inline std::vector<std::string> strings_of(char **array)
{
    std::vector<std::string> out;
    for (int i = 0; array && array[i]; ++i)
        out.emplace_back(array[i]);
    return out;
}

// Every operation of a handle, and every connection that libldap opens for
// it to follow a referral, ends within the given seconds (0: no limit).
inline void limit_time(LDAP *ld, int seconds)
{
    if (seconds <= 0)
        return;
    timeval limit{seconds, 0};
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &limit);
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &limit);
}

// The reason of libldap's last failure on a handle: the text of the result
// and libldap's diagnostic, when it has one of its own (GnuTLS's
// verification failures come without).
inline std::string ldap_reason(LDAP *ld, int rc)
{
    char *diag = nullptr;
    ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diag);
    std::string reason = ldap_err2string(rc);
    if (diag && *diag && std::strcmp(diag, "(unknown error code)") != 0)
        reason += std::string(" (") + diag + ")";
    ldap_memfree(diag);
    return reason;
}

}  // namespace kx

#endif
