// The reader of stored crypto strings, for ordinary tokens and for the
// default token, whose pairs are completed from the built-in defaults.
#include "admin_crypto.h"
#include "admin_private.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    std::string s = fuzz::text(data, size);
    for (int flag : {0, 1}) {
        kx_CryptoEnt_t *ent = allocate_cryptoEnt();
        int rc = _kx_cryptoStringToEnt(ent, s.c_str(), flag);
        if (rc == 0) {
            int n = count_args(ent->keyValue);
            if (!ent->origin || static_cast<int>(std::strlen(ent->origin)) != n)
                __builtin_trap();
            if (flag == 1 && n != 5)
                __builtin_trap();
            FILE *sink = std::fopen("/dev/null", "w");
            kx_printCryptoEnt(sink, ent);
            std::fclose(sink);
        }
        kx_freeCryptoEnt(ent);
    }
    return 0;
}
