// Runs a program as a child process and collects what it wrote.
#ifndef KX_TOOL_RUNNER_H
#define KX_TOOL_RUNNER_H

#include <map>
#include <string>
#include <vector>

struct ToolResult {
    std::string out;   // standard output, byte for byte
    std::string err;   // standard error, byte for byte
    int status = -1;   // exit status; 128 + signal when killed
};

struct ToolRun {
    std::vector<std::string> argv;            // argv[0] is the program path
    std::string input;                        // standard input
    std::map<std::string, std::string> env;   // added to the environment
    // Run under these real/effective user ids (via setpriv); -1 keeps ours.
    int ruid = -1;
    int euid = -1;
    std::string argv0;                        // name the program sees; empty: argv[0]
};

ToolResult run_tool(const ToolRun &run);

// A fresh directory below the tests' temporary area, readable and writable
// by every user (non-root runs use it too).
std::string make_scratch_dir(const std::string &tag);
void write_file(const std::string &path, const std::string &content);
bool read_file(const std::string &path, std::string &content);

#endif
