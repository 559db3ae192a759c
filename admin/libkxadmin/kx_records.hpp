// Shared pieces of the user and token records: names of entries, bounded
// filters, conversions between entries and record fields.
#ifndef KX_RECORDS_HPP
#define KX_RECORDS_HPP

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "admin_private.h"
#include "admin_token.h"
#include "kx_ldap.hpp"
#include "utils.h"

namespace kx {

constexpr size_t kDnBuffer = 500;
constexpr size_t kFilterBuffer = 128;

// "kxID=<id>, <container>, <subtree>", the name of a record entry; nothing
// when it would not fit its buffer.
inline std::optional<std::string> record_dn(KXAdmin kxa, const char *container, const char *id)
{
    if (!kxa || !id)
        return std::nullopt;
    std::string value = dn_value(id);
    return bounded(kDnBuffer, "kxID=%s, %s, %s", value.c_str(), container, p(kxa->subtree));
}

// "<container>, <subtree>", the base of searches in a container.
inline std::optional<std::string> container_base(KXAdmin kxa, const char *container)
{
    if (!kxa)
        return std::nullopt;
    return bounded(kDnBuffer, "%s, %s", container, p(kxa->subtree));
}

// "<attr>=<value>" with the value escaped, within the filter buffer.
inline std::optional<std::string> attr_filter(const char *attr, const char *value)
{
    if (!value)
        return std::nullopt;
    std::string v = filter_value(value);
    return bounded(kFilterBuffer, "%s=%s", attr, v.c_str());
}

inline char *text_field(LDAP *ld, LDAPMessage *e, const char *attr)
{
    auto v = first_value(ld, e, attr);
    return v ? safe_strdup(v->c_str()) : nullptr;
}

inline int int_field(LDAP *ld, LDAPMessage *e, const char *attr)
{
    auto v = first_value(ld, e, attr);
    return v ? std::atoi(v->c_str()) : 0;
}

// A NULL-terminated heap array of copies; NULL for no values.
inline char **array_field(LDAP *ld, LDAPMessage *e, const char *attr)
{
    std::vector<std::string> values = all_values(ld, e, attr);
    if (values.empty())
        return nullptr;
    auto **out = static_cast<char **>(safe_calloc(static_cast<int>(values.size() + 1), sizeof(char *)));
    for (size_t i = 0; i < values.size(); ++i)
        out[i] = safe_strdup(values[i].c_str());
    return out;
}

inline std::vector<std::string> one_or_none(const char *value)
{
    return value ? std::vector<std::string>{value} : std::vector<std::string>{};
}

inline const char *nil(const char *s)
{
    return s ? s : "(nil)";
}

// Prints an id list in the records' aligned form.
inline void print_id_list(const char *label, char **ids)
{
    if (!ids || !ids[0]) {
        std::fprintf(stderr, "  %-19s= (nil)\n", label);
        return;
    }
    std::fprintf(stderr, "  %-19s= %s\n", label, ids[0]);
    for (int i = 1; ids[i]; ++i)
        std::fprintf(stderr, "                     = %s\n", ids[i]);
}

// One modification of a single value of a list attribute on an entry.
inline int modify_list(KXAdmin kxa, const std::string &dn, int op, const char *attr, const char *value)
{
    Mods mods;
    mods.add(op, attr, {value});
    std::string name = dn;
    return modify_entry(kxa->ld, name.data(), mods.get());
}

// The attributes of a new logical token entry from objectClass to kxMisc2,
// and of a new raw token entry.
void logical_token_attributes(Mods &mods, const KXLogicalToken *t);
void raw_token_attributes(Mods &mods, const KXRawToken *t);

} // namespace kx

#endif
