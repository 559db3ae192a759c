// Shared pieces of the user, token and screen configuration records: names
// of entries, bounded filters, conversions between entries and record
// fields.
#ifndef KX_RECORDS_HPP
#define KX_RECORDS_HPP

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "admin_private.h"
#include "admin_token.h"
#include "kx_ldap.hpp"
#include "kx_raii.hpp"
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

// "<attr>=<value>" with the value escaped, within the filter buffer
// (kFilterBuffer - 1 characters at most).
inline std::optional<std::string> attr_filter(const char *attr, const char *value)
{
    if (!value)
        return std::nullopt;
    std::string filter = std::string(attr) + "=" + filter_value(value);
    if (filter.size() >= kFilterBuffer)
        return std::nullopt;
    return filter;
}

inline char *text_field(LDAP *ld, LDAPMessage *e, const char *attr)
{
    auto v = first_value(ld, e, attr);
    return v ? safe_strdup(v->c_str()) : nullptr;
}

// ---- the fields of a record, one row each ---------------------------------
//
// A record type describes its fields in one table: per field the directory
// attribute, the member, its kind, the label of printouts and which of the
// generic routines below use it.  Reading an entry, writing the add and
// replace modifications, freeing and printing a record are driven by it.
// A field that its kind does not describe well enough brings hooks of its
// own, which take the place of the generic handling.

enum class Kind { Text, Number, Ids, Class, Custom };

enum Use : unsigned {
    kRead = 1,       // read from an entry
    kAdd = 2,        // written when the entry is added (or, for screen
                     // configurations, when values are added or deleted)
    kReplace = 4,    // replaced when the record is modified
    kLinks = 8,      // the id list written when the entry is added with its links
    kOptional = 16,  // a number equal to its absent value is not written
};

template <class R> struct Field {
    Kind kind;
    const char *attr;   // the object class for Kind::Class
    const char *label;  // the field's name in printouts; nullptr: not printed
    unsigned use;
    char *R::*text = nullptr;
    int R::*number = nullptr;
    char **R::*ids = nullptr;
    int absent = 0;  // the number of a missing attribute
    // The hooks; Kind::Custom is a field that only its hooks handle.
    void (*read)(LDAP *, LDAPMessage *, const Field &, R &) = nullptr;  // fill_record
    void (*write)(Mods &, int op, const Field &, const R &) = nullptr;  // write_fields
    void (*print)(FILE *, const Field &, const R &) = nullptr;          // the printers
    void (*release)(R &) = nullptr;                                     // free_record
};

template <class R>
constexpr Field<R> text(const char *attr, const char *label, char *R::*m, unsigned use)
{
    return {.kind = Kind::Text, .attr = attr, .label = label, .use = use, .text = m};
}

template <class R>
constexpr Field<R> number(const char *attr, const char *label, int R::*m, unsigned use,
                          int absent = 0)
{
    return {.kind = Kind::Number,
            .attr = attr,
            .label = label,
            .use = use,
            .number = m,
            .absent = absent};
}

template <class R>
constexpr Field<R> ids(const char *attr, const char *label, char **R::*m, unsigned use)
{
    return {.kind = Kind::Ids, .attr = attr, .label = label, .use = use, .ids = m};
}

// The object class value that the entry carries.
template <class R> constexpr Field<R> object_class(const char *name, unsigned use)
{
    return {.kind = Kind::Class, .attr = name, .label = nullptr, .use = use};
}

// A new record with the fields marked kRead read from an entry; nullptr
// without a session or an entry.
template <class R, size_t N> R *fill_record(KXAdmin kxa, LDAPMessage *e, const Field<R> (&table)[N])
{
    if (!kxa || !e)
        return nullptr;
    auto *r = static_cast<R *>(safe_malloc(sizeof(R)));
    for (const Field<R> &f : table) {
        if (!(f.use & kRead))
            continue;
        if (f.read) {
            f.read(kxa->ld, e, f, *r);
        } else if (f.kind == Kind::Text) {
            r->*f.text = text_field(kxa->ld, e, f.attr);
        } else if (f.kind == Kind::Number) {
            auto v = first_value(kxa->ld, e, f.attr);
            r->*f.number = v ? std::atoi(v->c_str()) : f.absent;
        } else if (f.kind == Kind::Ids) {
            std::vector<std::string> values = all_values(kxa->ld, e, f.attr);
            if (values.empty())
                continue;
            auto **list = static_cast<char **>(
                safe_calloc(static_cast<int>(values.size() + 1), sizeof(char *)));
            for (size_t i = 0; i < values.size(); ++i)
                list[i] = safe_strdup(values[i].c_str());
            r->*f.ids = list;
        }
    }
    return r;
}

// The modifications of the fields marked with any bit of which, in table
// order, all with the operation op.  With kReplace every field is written,
// an unset one without values (which removes the attribute); otherwise an
// unset field is left out.
template <class R, size_t N>
void write_fields(Mods &mods, int op, const R &r, const Field<R> (&table)[N], unsigned which)
{
    bool replace = which & kReplace;
    for (const Field<R> &f : table) {
        if (!(f.use & which))
            continue;
        if (f.write)
            f.write(mods, op, f, r);
        else if (f.kind == Kind::Text && (r.*f.text || replace))
            mods.add(op, f.attr,
                     r.*f.text ? std::vector<std::string>{r.*f.text} : std::vector<std::string>{});
        else if (f.kind == Kind::Number && (!(f.use & kOptional) || r.*f.number != f.absent))
            mods.add(op, f.attr, {std::to_string(r.*f.number)});
        else if (f.kind == Kind::Ids && (replace || (r.*f.ids && (r.*f.ids)[0])))
            mods.add(op, f.attr, strings_of(r.*f.ids));
        else if (f.kind == Kind::Class)
            mods.add(op, "objectClass", {f.attr});
    }
}

// Frees what the fields of a record own, then the record.
template <class R, size_t N> void free_record(R *r, const Field<R> (&table)[N])
{
    if (!r)
        return;
    for (const Field<R> &f : table) {
        if (f.release)
            f.release(*r);
        else if (f.kind == Kind::Text)
            std::free(r->*f.text);
        else if (f.kind == Kind::Ids)
            kx_free_array(r->*f.ids);
    }
    std::free(r);
}

// "<title>:" and a line "  <label> = <value>" for each labelled field (a
// field with a print hook writes its own); id lists one id a line, and only
// when not brief.
template <class R, size_t N>
void print_fields(const char *title, const R &r, const Field<R> (&table)[N], bool brief)
{
    std::fprintf(stderr, "%s:\n", title);
    for (const Field<R> &f : table) {
        if (!f.label)
            continue;
        if (f.print) {
            f.print(stderr, f, r);
        } else if (f.kind == Kind::Number) {
            std::fprintf(stderr, "  %-19s= %d\n", f.label, r.*f.number);
        } else if (f.kind == Kind::Text) {
            std::fprintf(stderr, "  %-19s= %s\n", f.label, r.*f.text ? r.*f.text : "(nil)");
        } else if (f.kind == Kind::Ids && !brief) {
            char **ids = r.*f.ids;
            std::fprintf(stderr, "  %-19s= %s\n", f.label, ids && ids[0] ? ids[0] : "(nil)");
            for (int i = 1; ids && ids[0] && ids[i]; ++i)
                std::fprintf(stderr, "  %-19s= %s\n", "", ids[i]);
        }
    }
}

// The record of the entry with the id in its container, read by fill;
// nullptr when there is no single such entry.
template <class R>
R *get_record(KXAdmin kxa, const char *container, char *id, R *(*fill)(KXAdmin, LDAPMessage *))
{
    auto filter = attr_filter("kxID", id);
    auto base = container_base(kxa, container);
    if (!filter || !base)
        return nullptr;
    LdapMessage result(
        search_for_entries(kxa->ld, filter->data(), base->data(), nullptr, 0, KX_SEARCH_ONE));
    return result ? fill(kxa, ldap_first_entry(kxa->ld, result.get())) : nullptr;
}

// 1 when an entry with the id is in the container, 0 when not, -1 when the
// name or filter cannot be made or the search fails.
inline int record_exists(KXAdmin kxa, const char *container, char *id)
{
    auto filter = attr_filter("kxID", id);
    auto base = container_base(kxa, container);
    if (!filter || !base)
        return -1;
    return entry_exists(kxa->ld, filter->data(), base->data());
}

// One modification of a single value of a list attribute on an entry.
inline int modify_list(KXAdmin kxa, const std::string &dn, int op, const char *attr,
                       const char *value)
{
    Mods mods;
    mods.add(op, attr, {value});
    std::string name = dn;
    return modify_entry(kxa->ld, name.data(), mods.get());
}

// The attributes of a new logical token entry without its raw token ids,
// and of a new raw token entry.
void logical_token_attributes(Mods &mods, const KXLogicalToken *t);
void raw_token_attributes(Mods &mods, const KXRawToken *t);

}  // namespace kx

#endif
