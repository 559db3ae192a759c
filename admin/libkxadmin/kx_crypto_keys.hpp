// The keys of a security configuration, in one table: the store completes
// the default token's configuration from it, and the kxcrypto tool checks
// and completes what the administrator types against it.
#ifndef KX_CRYPTO_KEYS_HPP
#define KX_CRYPTO_KEYS_HPP

#include <array>
#include <cstddef>
#include <iterator>

namespace kx {

struct CryptoKey {
    const char *key;
    const char *builtin;    // the value that applies when no configuration states one
    const char *values[3];  // the values a configuration may state, up to a nullptr
    size_t listed;          // the key's place in the tool's listings
};

// In the order in which the store appends the built-in pairs of missing
// keys.
inline constexpr CryptoKey kCryptoKeys[] = {
    {.key = "enc_up_type", .builtin = "none", .values = {"ARCFOUR", "none"}, .listed = 0},
    {.key = "enc_down_type", .builtin = "none", .values = {"ARCFOUR", "none"}, .listed = 1},
    {.key = "auth_up_type", .builtin = "none", .values = {"none"}, .listed = 3},
    {.key = "auth_down_type", .builtin = "none", .values = {"simple", "none"}, .listed = 2},
    {.key = "mode", .builtin = "soft", .values = {"hard", "soft"}, .listed = 4},
};

inline constexpr size_t kCryptoKeyCount = std::size(kCryptoKeys);

// The keys in the order of the tool's listings (its check and its bash
// completion).
constexpr std::array<const CryptoKey *, kCryptoKeyCount> listed_crypto_keys()
{
    std::array<const CryptoKey *, kCryptoKeyCount> listed{};
    for (const CryptoKey &k : kCryptoKeys)
        listed[k.listed] = &k;
    return listed;
}

// Each place of the listings is taken by exactly one key.
constexpr bool listed_once_each()
{
    bool taken[kCryptoKeyCount] = {};
    for (const CryptoKey &k : kCryptoKeys) {
        if (k.listed >= kCryptoKeyCount || taken[k.listed])
            return false;
        taken[k.listed] = true;
    }
    return true;
}
static_assert(listed_once_each(), "every key has a place of its own in the tool's listings");

}  // namespace kx

#endif
