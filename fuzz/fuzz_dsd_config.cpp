// The reader of the directory server's configuration file (logical lines,
// quoted tokens, keywords).  More than 100 tokens on one line ends the
// process by design: such inputs are recognised first with the reader's
// own line and token functions, which never end it, and left out.
#include <cstring>
#include <vector>

#include "admin_private.h"
#include "fuzz_support.h"

namespace {

bool has_too_many_tokens(const char *path)
{
    FILE *fp = std::fopen(path, "r");
    if (!fp)
        return false;
    char buf[KX_DSCONF_READ_BUFFER] = "";
    char line[KX_DSCONF_LINE_LIMIT];
    int lineno = -1;
    bool too_many = false;
    while (!too_many && fp_getline(fp, &lineno, buf, sizeof buf, line, sizeof line) == 0) {
        if (line[0] == '\0' || line[0] == '#')
            continue;
        char *pos = nullptr;
        int n = 0;
        for (char *t = strtok_quote(line, " \t", &pos); t; t = strtok_quote(nullptr, " \t", &pos))
            ++n;
        too_many = n > KX_DSCONF_MAX_TOKENS;
    }
    std::fclose(fp);
    return too_many;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    fuzz::MemFile file(data, size);
    if (!file.ok() || has_too_many_tokens(file.path()))
        return 0;
    BackendTable table{0, 0, nullptr};
    if (read_ds_config_file(&table, file.path()) == 0) {
        select_backend(&table, "o=kxdata");
        free_backend(&table);
    } else if (table.count != 0 || table.backends) {
        __builtin_trap();  // a failed read hands nothing back
    }
    return 0;
}
