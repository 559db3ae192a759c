// The administration configuration and password file readers.
#include "admin_private.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    fuzz::MemFile file(data, size);
    if (!file.ok())
        return 0;
    KXAdminStruct *kxa = allocate_kxa();
    read_config_file(kxa, file.path());
    kxa->mode = 1;
    check_kxa(kxa);
    kxa->mode = 3;
    check_kxa(kxa);
    free_kxa(kxa);
    int err = 0;
    char *pw = read_passwd_file(file.path(), &err);
    if ((pw != nullptr) != (err == 0))
        __builtin_trap();
    std::free(pw);
    set_gdebug(nullptr);
    return 0;
}
