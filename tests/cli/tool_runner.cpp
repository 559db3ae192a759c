#include "tool_runner.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

std::string slurp_fd(int fd)
{
    std::string s;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

int temp_fd()
{
    char name[] = "/tmp/kxtool.XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
        unlink(name);
    return fd;
}

} // namespace

ToolResult run_tool(const ToolRun &run)
{
    ToolResult result;
    int in = temp_fd(), out = temp_fd(), err = temp_fd();
    if (in < 0 || out < 0 || err < 0)
        return result;
    if (!run.input.empty() &&
        write(in, run.input.data(), run.input.size()) != static_cast<ssize_t>(run.input.size()))
        return result;
    lseek(in, 0, SEEK_SET);

    std::vector<std::string> args;
    std::string program = run.argv.at(0);
    if (run.ruid >= 0 || run.euid >= 0) {
        program = "/usr/bin/setpriv";
        args.push_back("setpriv");
        if (run.ruid >= 0) {
            args.push_back("--ruid=" + std::to_string(run.ruid));
            args.push_back("--rgid=" + std::to_string(run.ruid == 0 ? 0 : 65534));
        }
        if (run.euid >= 0) {
            args.push_back("--euid=" + std::to_string(run.euid));
            args.push_back("--egid=" + std::to_string(run.euid == 0 ? 0 : 65534));
        }
        args.push_back("--clear-groups");
        args.push_back("--");
        args.push_back(run.argv.at(0));
    } else {
        args.push_back(run.argv0.empty() ? run.argv.at(0) : run.argv0);
    }
    for (size_t i = 1; i < run.argv.size(); ++i)
        args.push_back(run.argv[i]);

    const std::map<std::string, std::string> &extra = run.env;

    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e) {
        std::string entry(*e);
        std::string key = entry.substr(0, entry.find('='));
        if (!extra.count(key))
            envs.push_back(entry);
    }
    for (const auto &[k, v] : extra)
        envs.push_back(k + "=" + v);

    std::vector<char *> cargs, cenv;
    for (auto &a : args)
        cargs.push_back(a.data());
    cargs.push_back(nullptr);
    for (auto &e : envs)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(program.c_str(), cargs.data(), cenv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    result.out = slurp_fd(out);
    result.err = slurp_fd(err);
    close(in);
    close(out);
    close(err);
    return result;
}

std::string make_scratch_dir(const std::string &tag)
{
    std::string base = KX_TEST_TMP;
    mkdir(base.c_str(), 0777);
    chmod(base.c_str(), 0777);
    std::string tmpl = base + "/" + tag + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        return {};
    chmod(buf.data(), 0777);
    return std::string(buf.data());
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

bool read_file(const std::string &path, std::string &content)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    content = ss.str();
    return true;
}
