// parse_args on any text and separator.  A field of 512 characters or more
// ends the process by design; such inputs are recognised first with the
// same splitter and left out.
#include "fuzz_support.h"
#include "kx_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    char separator = static_cast<char>(data[0]);
    std::string s = fuzz::text(data + 1, size - 1);
    std::vector<std::string> fields;
    if (!kx::split_args(s.c_str(), separator, fields))
        return 0;
    char **args = parse_args(s.c_str(), separator);
    if (count_args(args) != static_cast<int>(fields.size()))
        __builtin_trap();
    for (int i = 0; args[i]; ++i)
        if (fields[static_cast<size_t>(i)] != args[i])
            __builtin_trap();
    // The merge, search and line helpers over the fields.
    char **merged = nullptr;
    merge_keyValue_arrays(&merged, args);
    merge_keyValue_arrays(&merged, args);
    int n = count_args(args);
    if (n > 0) {
        key_index_of(args, n, args[0]);
        same_keyValue(args, args[0], args[n - 1]);
        char *v = get_value(args, n, args[n - 1]);
        std::free(v);
        char *k = nullptr, *val = nullptr;
        parse_key_and_value(args[0], &k, &val);
        std::free(k);
        std::free(val);
    }
    free_args(merged);
    free_args(args);
    return 0;
}
