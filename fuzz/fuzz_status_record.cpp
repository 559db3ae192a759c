// Decoding of stored status database values, desktops and users.
#include "fuzz_support.h"
#include "kx_dbm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    std::vector<char> copy(data, data + size);
    datum value{copy.data(), static_cast<int>(copy.size())};
    DBMDesktop *d = fill_dbm_desktop_struct(value);
    print_dbm_desktop(d);
    free_dbm_desktop(d);
    DBMUser *u = fill_dbm_user_struct(value);
    print_dbm_user(u);
    free_dbm_user(u);
    return 0;
}
