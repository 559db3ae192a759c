// The description of the running directory test bed (<statedir>/env).
#ifndef KX_TESTBED_ENV_H
#define KX_TESTBED_ENV_H

#include <map>
#include <string>

struct TestBed {
    std::map<std::string, std::string> vars;
    bool loaded = false;

    // Reads the file named by KX_TESTBED_ENV.
    static const TestBed &get();
    std::string operator[](const std::string &key) const;
    // Runs "testbed.sh <command> <statedir>" (stop-provider, start-provider)
    // and reloads the description.
    static bool control(const std::string &command);
};

// Runs a shell command; its standard output, and its status in *status.
std::string shell(const std::string &command, int *status = nullptr);

#endif
