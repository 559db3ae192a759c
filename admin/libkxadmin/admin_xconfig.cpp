// Multihead screen configurations: the kxXconfig auxiliary class and the
// kxScreen* attributes on a token's own entry.

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "admin_private.h"
#include "admin_token.h"
#include "kx_records.hpp"
#include "kx_raii.hpp"
#include "kx_swap.hpp"
#include "kx_text.hpp"
#include "utils.h"

namespace {

constexpr size_t kBuffer = 500;

const char *defined(const char *s) { return s ? s : "<not defined>"; }

// rows x columns when both make a grid, else 0.
long grid_size(const KXXconfig *c)
{
    long n = static_cast<long>(c->screenDimRows) * c->screenDimColumns;
    return n > 0 ? n : 0;
}

// Decimal integer of a whole text (blanks around allowed); false when the
// text holds no number.
bool to_int(const std::string &text, int &out)
{
    const char *s = text.c_str();
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (end == s || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    out = static_cast<int>(v);
    return true;
}

using X = KXXconfig;
using XField = kx::Field<X>;

// kxID: a raw token stored under its bare name (without a period) reads as
// a pseudo token.
void read_id(LDAP *ld, LDAPMessage *e, const XField &f, X &c)
{
    if (auto id = kx::first_value(ld, e, f.attr))
        c.id =
            safe_strdup(isValidToken(id->c_str()) != KX_TOKEN_INVALID ? id->c_str()
                                                                      : ("pseudo." + *id).c_str());
}

// kxScreenOrdering, read after the grid: rows x columns numbers.  A grid
// without cells (or with too many) is no grid, and has no ordering.
void read_ordering(LDAP *ld, LDAPMessage *e, const XField &f, X &c)
{
    long cells = grid_size(&c);
    if (cells == 0 || cells > INT_MAX) {
        c.screenDimRows = 0;
        c.screenDimColumns = 0;
    } else if (auto ordering = kx::first_value(ld, e, f.attr)) {
        parse_intList(ordering->c_str(), &c.screenOrdering, static_cast<int>(cells));
    }
}

// kxScreenOrdering: the rows x columns numbers of the ordering joined by
// commas, when there is a grid and an ordering.
void write_ordering(kx::Mods &mods, int op, const XField &f, const X &c)
{
    long cells = grid_size(&c);
    if (cells <= 0 || !c.screenOrdering)
        return;
    std::string ordering;
    for (long i = 0; i < cells; ++i) {
        if (i > 0)
            ordering += ',';
        ordering += std::to_string(c.screenOrdering[i]);
    }
    mods.add(op, f.attr, {ordering});
}

// The ordering's numbers joined by ", "; a grid of negative size shows the
// first number alone.
void print_ordering(FILE *fd, const XField &f, const X &c)
{
    long cells = static_cast<long>(c.screenDimRows) * c.screenDimColumns;
    if (cells != 0 && c.screenOrdering) {
        std::fprintf(fd, "\t%s: %d", f.label, c.screenOrdering[0]);
        for (long i = 1; i < cells; ++i)
            std::fprintf(fd, ", %d", c.screenOrdering[i]);
        std::fprintf(fd, "\n");
    } else {
        std::fprintf(fd, "\t%s: <not set>\n", f.label);
    }
}

void free_ordering(X &c) { std::free(c.screenOrdering); }

// The grid's rows and columns on one line, printed with the rows.
void print_dimension(FILE *fd, const XField &f, const X &c)
{
    std::fprintf(fd, "\t%s: %d x %d\n", f.label, c.screenDimRows, c.screenDimColumns);
}

using kx::kAdd, kx::kOptional, kx::kRead;

// The fields of a screen configuration in the order they are written and
// printed.  The ordering is read after the grid.
constexpr XField kXconfigFields[] = {
    {.kind = kx::Kind::Text,
     .attr = "kxID",
     .label = "Logical Token",
     .use = kRead,
     .text = &X::id,
     .read = read_id},
    kx::text("kxScreenResolution", "Screen Resolution", &X::screenResolution, kRead | kAdd),
    kx::number("kxScreenRefresh", "Screen Refresh", &X::screenRefresh, kRead | kAdd | kOptional,
               -1),
    kx::text("kxScreenEnablePC", "Screen EnablePC", &X::screenEnablePC, kRead | kAdd),
    kx::text("kxScreenDefaultPC", "Screen DefaultPC", &X::screenDefaultPC, kRead | kAdd),
    kx::object_class<X>("kxXconfig", kAdd),
    {.kind = kx::Kind::Number,
     .attr = "kxScreenDimRows",
     .label = "Screen Ordering Dimension",
     .use = kRead | kAdd | kOptional,
     .number = &X::screenDimRows,
     .print = print_dimension},
    kx::number("kxScreenDimColumns", nullptr, &X::screenDimColumns, kRead | kAdd | kOptional),
    {.kind = kx::Kind::Custom,
     .attr = "kxScreenOrdering",
     .label = "Screen Ordering",
     .use = kRead | kAdd,
     .read = read_ordering,
     .write = write_ordering,
     .print = print_ordering,
     .release = free_ordering},
    kx::text("kxScreenEnableAutoSizing", "Screen EnableAutoSizing", &X::screenEnableAutoSizing,
             kRead | kAdd),
    kx::text("kxScreenEnableXinerama", "Screen EnableXinerama", &X::screenEnableXinerama,
             kRead | kAdd),
    kx::text("kxScreenEnableMultiscreen", "Screen EnableMultiscreen", &X::screenEnableMultiscreen,
             kRead | kAdd),
};

}  // namespace

KXXconfig *allocate_xconfig(void)
{
    auto *c = static_cast<KXXconfig *>(safe_malloc(sizeof(KXXconfig)));
    c->screenRefresh = -1;
    return c;
}

void kx_freeXconf(KXXconfig *c) { kx::free_record(c, kXconfigFields); }

void parse_intList(const char *text, int **result, int count)
{
    if (!result)
        return;
    *result = nullptr;
    if (!text || !*text || count <= 0)
        return;
    std::vector<std::string> elements = kx::split(text, ',');
    auto *numbers = static_cast<int *>(std::calloc(static_cast<size_t>(count), sizeof(int)));
    if (!numbers)
        return;
    int n = 0;
    for (const std::string &e : elements) {
        if (n == count)
            break;
        kx::CString stripped(strip_leading_and_trailing_whitespace(e.c_str()));
        // An element that holds no number is passed over.
        if (stripped && to_int(stripped.get(), numbers[n]))
            ++n;
    }
    if (n < count) {
        std::free(numbers);
        return;
    }
    *result = numbers;
}

KXXconfig *fill_Xconfig_struct(KXAdmin kxa, LDAPMessage *e)
{
    KXXconfig *c = kx::fill_record(kxa, e, kXconfigFields);
    if (c && !c->id) {
        // Without a kxID there is no record.
        kx_freeXconf(c);
        return nullptr;
    }
    return c;
}

namespace {

// The values of the screen attributes of an entry, as the directory holds
// them, by attribute; an attribute without values is absent.
using Values = std::map<std::string, std::vector<std::string>>;

// The attributes of the kxXconfig class: what is written, the object class
// aside.
bool is_screen_attribute(const XField &f) { return f.kind != kx::Kind::Class && (f.use & kAdd); }

// A lookup (kx_getXconfByTokenID); with `stored`, also hands over the
// values that the record was read from.
int lookup(KXAdmin kxa, char *tokenID, KXXconfig **result, Values *stored)
{
    if (!result)
        return KXE_INVAL;
    *result = nullptr;
    int cls = isValidToken(tokenID);
    if (!kxa || cls == KX_TOKEN_INVALID)
        return KXE_INVAL;
    std::string id = kx::filter_value(cls == KX_TOKEN_RAW ? getTokenID(tokenID) : tokenID);
    std::string filter = kx::cut(kBuffer, "(&(kxID=%s)(objectclass=kxXconfig))", id.c_str());
    std::string base = kx::cut(
        kBuffer, "%s,%s", cls == KX_TOKEN_RAW ? KX_RTOKENS_RDN : KX_LTOKENS_RDN, p(kxa->subtree));
    kx::LdapMessage found(
        search_for_entries(kxa->ld, filter.data(), base.data(), nullptr, 0, KX_SEARCH_ONE));
    if (!found)
        return KXE_NOTFOUND;
    LDAPMessage *e = ldap_first_entry(kxa->ld, found.get());
    KXXconfig *c = fill_Xconfig_struct(kxa, e);
    if (!c)
        return KXE_NOTFOUND;
    for (const XField &f : kXconfigFields)
        if (stored && is_screen_attribute(f))
            if (std::vector<std::string> values = kx::all_values(kxa->ld, e, f.attr);
                !values.empty())
                (*stored)[f.attr] = std::move(values);
    *result = c;
    return KXE_SUCCESS;
}

using Record = kx::Owned<KXXconfig, kx_freeXconf>;

// A token's screen configuration as a change reads it.
struct Stored {
    int rc;
    Record record;
    Values values;
};

Stored read_stored(KXAdmin kxa, char *tokenID)
{
    KXXconfig *record = nullptr;
    Values values;
    int rc = lookup(kxa, tokenID, &record, &values);
    return {rc, Record(record), std::move(values)};
}

// The modification that turns the stored configuration into `next`
// (nullptr: removes it).  Conditional, it deletes every value read, and the
// object class, and adds back what stays: the directory refuses it when
// another writer changed any of them.  Unconditional (for a schema without
// equality rules), it replaces every attribute.
kx::Mods swap_mods(const Values &stored, const KXXconfig *next, bool conditional)
{
    kx::Mods wanted;
    if (next)
        kx::write_fields(wanted, LDAP_MOD_ADD, *next, kXconfigFields, kAdd);
    kx::Mods mods;
    mods.add(LDAP_MOD_DELETE, "objectClass", {"kxXconfig"});
    if (next)
        mods.add(LDAP_MOD_ADD, "objectClass", {"kxXconfig"});
    for (const XField &f : kXconfigFields) {
        if (!is_screen_attribute(f))
            continue;
        auto old = stored.find(f.attr);
        const std::vector<std::string> *values = wanted.values_of(f.attr);
        if (!conditional) {
            if (next)
                mods.add(LDAP_MOD_REPLACE, f.attr, values ? *values : std::vector<std::string>{});
            else if (old != stored.end())
                mods.add(LDAP_MOD_DELETE, f.attr, {});
            continue;
        }
        if (old != stored.end())
            mods.add(LDAP_MOD_DELETE, f.attr, old->second);
        if (values)
            mods.add(LDAP_MOD_ADD, f.attr, *values);
        else if (next && old == stored.end())
            // Nothing read, nothing wanted: whatever another writer put
            // there goes too.
            mods.add(LDAP_MOD_REPLACE, f.attr, {});
    }
    return mods;
}

// Makes `next` the screen configuration of the token's entry (nullptr:
// removes it), provided that the entry still holds the values `stored`;
// nullopt when it does not: another writer came first.
std::optional<int> swap_xconf(KXAdmin kxa, char *id, const Values &stored, const KXXconfig *next)
{
    kx::CString dn(constructDN(kxa, id));
    if (!dn)
        return KXE_INTERNAL;
    kx::Mods mods = swap_mods(stored, next, true);
    return kx::swap_entry(kxa->ld, dn.get(), mods, [&] { return swap_mods(stored, next, false); });
}

}  // namespace

int kx_getXconfByTokenID(KXAdmin kxa, char *tokenID, KXXconfig **result)
{
    return lookup(kxa, tokenID, result, nullptr);
}

int _modXconf(KXAdmin kxa, KXXconfig *c, int op)
{
    kx::Mods mods;
    kx::write_fields(mods, op == 1 ? LDAP_MOD_DELETE : LDAP_MOD_ADD, *c, kXconfigFields, kAdd);
    kx::CString dn(constructDN(kxa, c->id));
    if (!dn)
        return KXE_INTERNAL;
    return modify_entry(kxa->ld, dn.get(), mods.get());
}

int kx_delXconfByTokenID(KXAdmin kxa, char *tokenID)
{
    if (!kxa || isValidToken(tokenID) == KX_TOKEN_INVALID)
        return KXE_INVAL;
    return kx::retry_conflicts(
        "kx_delXconfByTokenID",
        [&]() -> std::optional<int> {
            Stored stored = read_stored(kxa, tokenID);
            if (stored.rc != KXE_SUCCESS)
                return stored.rc;
            return swap_xconf(kxa, stored.record->id, stored.values, nullptr);
        },
        KXE_INTERNAL);
}

int kx_addXconf(KXAdmin kxa, KXXconfig *c, int replace)
{
    if (!kxa || !c || isValidToken(c->id) == KX_TOKEN_INVALID)
        return KXE_INVAL;
    return kx::retry_conflicts(
        "kx_addXconf",
        [&]() -> std::optional<int> {
            Stored stored = read_stored(kxa, c->id);
            if (stored.rc == KXE_SUCCESS) {
                if (replace != 1)
                    return KXE_EXISTS;
                // Replaced in one modification; a refusal leaves it in place.
                std::optional<int> rc = swap_xconf(kxa, stored.record->id, stored.values, c);
                if (rc && *rc != KXE_SUCCESS)
                    return KXE_INTERNAL;
                return rc;
            }
            if (stored.rc != KXE_NOTFOUND)
                return stored.rc;
            if (int rc = _kx_ensureTokenEntry(kxa, c->id))
                return rc;
            int rc = _modXconf(kxa, c, 0);
            if (rc == KXE_SUCCESS || read_stored(kxa, c->id).rc != KXE_SUCCESS)
                return rc;
            // Another writer added a configuration in the meantime: it is
            // replaced on the next attempt, or refused as if it had been there.
            if (replace != 1)
                return KXE_EXISTS;
            return std::nullopt;
        },
        KXE_INTERNAL);
}

void kx_printXconfig(FILE *fd, KXXconfig *c)
{
    if (!fd || !c)
        return;
    for (const XField &f : kXconfigFields) {
        if (!f.label)
            continue;
        if (f.print)
            f.print(fd, f, *c);
        else if (f.kind == kx::Kind::Number)
            std::fprintf(fd, "\t%s: %d\n", f.label, c->*f.number);
        else if (f.kind == kx::Kind::Text)
            std::fprintf(fd, "\t%s: %s\n", f.label, defined(c->*f.text));
    }
}
