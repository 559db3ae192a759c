// Owners for the C resources the library handles: LDAP results, value
// arrays, BER elements, LDAP-allocated strings, heap strings, FILE streams.
#ifndef KX_RAII_HPP
#define KX_RAII_HPP

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <ldap.h>

namespace kx {

struct LdapMsgFree {
    void operator()(LDAPMessage *m) const { ldap_msgfree(m); }
};
using LdapMessage = std::unique_ptr<LDAPMessage, LdapMsgFree>;

struct BerValuesFree {
    void operator()(berval **v) const { ldap_value_free_len(v); }
};
using BerValues = std::unique_ptr<berval *, BerValuesFree>;

struct BerElementFree {
    void operator()(BerElement *b) const { ber_free(b, 0); }
};
using BerElementPtr = std::unique_ptr<BerElement, BerElementFree>;

struct LdapMemFree {
    void operator()(char *s) const { ldap_memfree(s); }
};
using LdapString = std::unique_ptr<char, LdapMemFree>;

struct HeapFree {
    void operator()(void *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, HeapFree>;

// Owner of a library record, released by the record's free function.
template <class T, void (*Free)(T *)> struct RecordFree {
    void operator()(T *p) const { Free(p); }
};
template <class T, void (*Free)(T *)> using Owned = std::unique_ptr<T, RecordFree<T, Free>>;

struct FileClose {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileClose>;

}  // namespace kx

#endif
