// kxcrypto's key/value validation and its batch line checks on any line.
#include "fuzz_support.h"
#include "kx_text.hpp"
#include "kxcrypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    static char name[] = "kxcrypto";
    kxcrypto::set_program_name(name);
    // A batch line is read in pieces of at most 255 characters.
    std::string line = fuzz::text(data, size).substr(0, 255);
    std::vector<std::string> fields;
    if (!kx::split_args(line.c_str(), ',', fields))
        return 0;
    char **args = parse_args(line.c_str(), ',');
    bool no_memory = false;
    kxcrypto::batch_line_problem(args, &no_memory);
    kxcrypto::check_keyValue(nullptr, &args);
    free_args(args);
    return 0;
}
