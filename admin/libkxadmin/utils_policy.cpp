// The local host: the product's local policy, the root of an installed
// package, and the process's environment.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "kx_paths.h"
#include "kx_text.hpp"
#include "kx_utils.hpp"
#include "utils.h"

using kx::utils::dup_or_null;

namespace {

struct PipeClose {
    void operator()(FILE *f) const { pclose(f); }
};

// A package name goes into a shell command: only the characters of package
// names are let through.
bool plain_package_name(const char *name)
{
    if (!name || !*name)
        return false;
    for (const char *c = name; *c; ++c)
        if (!std::isalnum(static_cast<unsigned char>(*c)) && !std::strchr("._+-", *c))
            return false;
    return true;
}

}  // namespace

char *get_local_policy(void)
{
    FILE *pipe = popen(KX_POLICY_CMD, "r");
    if (!pipe) {
        dprintf("Error obtaining local policy! %s\n", std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<FILE, PipeClose> closer(pipe);
    std::string text;
    char piece[128];
    while (fgets(piece, sizeof piece, pipe))
        if (piece[0] != '#')
            text += piece;
    closer.reset();
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    char *out = dup_or_null(text);
    if (!out)
        dprintf("Error validating local policy! Out of Memory");
    return out;
}

int pseudo_allowed(void)
{
    char *raw = get_local_policy();
    if (!raw)
        return -1;
    std::vector<std::string> words = kx::split(raw, ' ');
    std::free(raw);
    std::erase(words, std::string());

    int policy = 0;
    bool s_mark = false;
    auto pseudo_or_both = [](const std::string &v) { return v == "both" || v == "pseudo"; };
    for (size_t i = 0; i < words.size(); ++i) {
        std::string current = words[i];
        // A flag's value takes the place of the flag for the flags after
        // it; a flag that is the last word has no value and is ignored.
        auto value_of = [&](const char *flag) {
            if (current != flag || i + 1 >= words.size())
                return false;
            current = words[++i];
            return true;
        };
        // -r and -z: pseudo or both gives their own policy, card the card
        // policy unless another is set.
        auto choose = [&](int pseudo) {
            if (pseudo_or_both(current))
                policy = pseudo;
            else if (current == "card" && policy == 0)
                policy = 2;
        };
        if (value_of("-r"))
            choose(15);
        if (value_of("-z"))
            choose(16);
        if (value_of("-s") && pseudo_or_both(current))
            s_mark = true;
    }
    switch (policy) {
    case 2:
        return 12;
    case 15:
        return s_mark ? 11 : 15;
    default:
        return 11;
    }
}

char *get_package_root(const char *package)
{
    auto query = plain_package_name(package)
                     ? std::optional<std::string>(std::string(KX_PKGINFO_CMD) + " -r " + package +
                                                  " 2> /dev/null")
                     : std::nullopt;
    if (!query || query->size() > 127)
        return nullptr;
    FILE *pipe = popen(query->c_str(), "r");
    if (!pipe) {
        dprintf("get_package_root(): Could not open pipe to determine locale dir\n");
        return nullptr;
    }
    std::string last, line;
    int lines = 0;
    char piece[128];
    while (fgets(piece, sizeof piece, pipe)) {
        line += piece;
        if (line.back() == '\n') {
            last = line;
            line.clear();
            ++lines;
        }
    }
    if (!line.empty()) {
        last = line;
        ++lines;
    }
    int status = pclose(pipe);
    if (lines != 1) {
        dprintf("get_package_root(): Got unexpected data from pkginfo\n");
        return nullptr;
    }
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        dprintf("get_package_root(): Could not get package location\n");
        return nullptr;
    }
    if (!last.empty() && last.back() == '\n')
        last.pop_back();
    return dup_or_null(last);
}

void set_env_var(const char *name, const char *value)
{
    if (!name)
        return;
    std::string entry = std::string(name) + "=" + p(value);
    // putenv keeps the string itself: it stays allocated.
    char *kept = dup_or_null(entry);
    if (kept)
        putenv(kept);
}

char *get_env_var(const char *name) { return name ? getenv(name) : nullptr; }
