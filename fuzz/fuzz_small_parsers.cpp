// The small text checks: terminal ids, token names, HTML-safe text, screen
// orderings, group names.
#include "admin_private.h"
#include "admin_token.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    std::string s = fuzz::text(data, size);
    char out[21];
    char *err = nullptr;
    if (char *cid = kx_normalize_CID(s.c_str(), out, sizeof out, &err))
        if (std::strlen(cid) != 20 || err)
            __builtin_trap();
    const char *msg = nullptr;
    int legal = kx_isLegalToken(s.c_str(), &msg);
    if (legal && s.size() > 64)
        __builtin_trap();
    kx_isDtuBoundToken(s.c_str());
    kx_isDsLogicalToken(s.c_str());
    legal_raw_token_id(s.data());
    char *safe = kx_safe_str(s.c_str());
    std::free(safe);
    int *numbers = nullptr;
    parse_intList(s.c_str(), &numbers, 1 + static_cast<int>(size % 17));
    std::free(numbers);
    kx_validate_multihead_group_name(s.c_str(), &err);
    isValidToken(s.c_str());
    return 0;
}
