#include "testbed_env.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>

namespace {

TestBed &instance()
{
    static TestBed bed;
    return bed;
}

void load(TestBed &bed)
{
    bed.vars.clear();
    const char *path = std::getenv("KX_TESTBED_ENV");
    if (!path)
        return;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos || line[0] == '#')
            continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        bed.vars[line.substr(0, eq)] = value;
    }
    bed.loaded = !bed.vars.empty();
}

} // namespace

const TestBed &TestBed::get()
{
    TestBed &bed = instance();
    if (!bed.loaded)
        load(bed);
    return bed;
}

std::string TestBed::operator[](const std::string &key) const
{
    auto it = vars.find(key);
    return it == vars.end() ? "" : it->second;
}

bool TestBed::control(const std::string &command)
{
    const TestBed &bed = get();
    std::string script = std::string(KX_SOURCE_DIR) + "/scripts/testbed.sh";
    int status = 0;
    shell("'" + script + "' " + command + " '" + bed["KX_STATEDIR"] + "' >/dev/null 2>&1", &status);
    load(instance());
    return status == 0;
}

std::string shell(const std::string &command, int *status)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) {
        if (status)
            *status = -1;
        return out;
    }
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    int st = pclose(p);
    if (status)
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}
