// What the two halves of the security configuration code share: the
// lookup and crypto strings of admin_crypto.cpp, used by the changes of
// admin_crypto_store.cpp.
#ifndef KX_CRYPTO_HPP
#define KX_CRYPTO_HPP

#include <cstddef>
#include <string>
#include <vector>

#include "admin_crypto.h"

namespace kx::crypto {

// Room for a DN or a filter that the code builds.
constexpr size_t kBuffer = 500;
// Room for a crypto string and its terminating NUL.
constexpr size_t kCryptoBuffer = KX_CRYPTO_STRING_MAX + 1;

// The crypto string of a record: its pairs joined by commas, at most
// KX_CRYPTO_STRING_MAX characters.
std::string crypto_string(char **pairs);
// A heap copy (malloc) of s; NULL when memory runs out.
char *dup_heap(const std::string &s);
// One lookup (kx_getCryptoEntByTokenID); with `stored`, also hands over the
// crypto strings that the record was read from.
int lookup(KXAdmin kxa, char *tokenID, kx_CryptoEnt_t **result, int merge,
           std::vector<std::string> *stored);

}  // namespace kx::crypto

#endif
