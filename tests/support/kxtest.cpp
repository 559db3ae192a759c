#include "kxtest.h"

#include "admin_private.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// ---- the system log ------------------------------------------------------
// These definitions in the test program take the place of the C library's
// syslog() for the library too: there is no log daemon on test machines.
namespace {
std::mutex log_lock;
std::string &log_text()
{
    static auto *text = new std::string;  // outlives static destructors
    return *text;
}
void keep(int priority, const char *format, va_list ap)
{
    char buf[8192];
    vsnprintf(buf, sizeof buf, format, ap);
    std::lock_guard<std::mutex> guard(log_lock);
    log_text() += std::to_string(priority) + " " + buf + "\n";
}
}  // namespace

extern "C" {
void openlog(const char *, int, int) {}
void closelog(void) {}
void vsyslog(int priority, const char *format, va_list ap) { keep(priority, format, ap); }
void __vsyslog_chk(int priority, int, const char *format, va_list ap)
{
    keep(priority, format, ap);
}
void syslog(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    keep(priority, format, ap);
    va_end(ap);
}
void __syslog_chk(int priority, int, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    keep(priority, format, ap);
    va_end(ap);
}
}

namespace kxt {

std::string logs()
{
    std::lock_guard<std::mutex> guard(log_lock);
    return log_text();
}

void clear_logs()
{
    std::lock_guard<std::mutex> guard(log_lock);
    log_text().clear();
}

// ---- files and commands --------------------------------------------------
std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string &path, const std::string &text, int mode)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string scratch(const std::string &tag)
{
    // Below a directory of the process's own in the system's temporary
    // folder, which the runs as other users can reach wherever the build
    // tree is; the process that made it removes it when it ends.
    static const std::string root = [] {
        const char *tmp = getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kxtest.XXXXXX";
        if (!mkdtemp(dir.data()) || chmod(dir.c_str(), 0755) != 0)
            return std::string(KX_TEST_TMP);
        static pid_t owner = getpid();
        static std::string remove = "rm -rf " + q(dir);
        atexit([] {
            if (getpid() == owner)
                (void)!system(remove.c_str());
        });
        return dir;
    }();
    static int serial;
    std::string dir =
        root + "/" + tag + "." + std::to_string(getpid()) + "." + std::to_string(++serial);
    sh("rm -rf " + q(dir) + " && mkdir -p " + q(dir) + " && chmod 0777 " + q(dir));
    return dir;
}

std::string q(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string sh(const std::string &cmd, int *status)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    int st = pclose(p);
    if (status)
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

Listener::Listener(int backlog) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), size), listen(fd, backlog);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size), port = ntohs(a.sin_port);
}

Listener::~Listener() { close(fd); }

std::string Listener::take(int idle_ms)
{
    pollfd wait{fd, POLLIN, 0};
    int c = poll(&wait, 1, 10000) == 1 ? accept(fd, nullptr, nullptr) : -1;
    std::string received;
    char buf[4096];
    for (pollfd in{c, POLLIN, 0}; c >= 0 && poll(&in, 1, idle_ms) == 1;) {
        ssize_t got = read(c, buf, sizeof buf);
        if (got <= 0)
            break;
        received.append(buf, static_cast<size_t>(got));
    }
    close(c);
    return received;
}

// ---- library values ------------------------------------------------------
char *dup(const char *s) { return s ? strdup(s) : nullptr; }

char **ids(const Strings &v)
{
    auto **list = static_cast<char **>(calloc(v.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < v.size(); ++i)
        list[i] = strdup(v[i].c_str());
    return list;
}

Strings strs(char **list)
{
    Strings out;
    for (; list && *list; ++list)
        out.emplace_back(*list);
    return out;
}

std::string take(char *s)
{
    std::string out = s ? s : "(null)";
    free(s);
    return out;
}

// ---- the directory test bed ----------------------------------------------
std::string bed(const std::string &key)
{
    static const std::map<std::string, std::string> vars = [] {
        std::map<std::string, std::string> m;
        const char *path = getenv("KX_TESTBED_ENV");
        std::istringstream in(path ? slurp(path) : "");
        for (std::string line; std::getline(in, line);) {
            auto eq = line.find('=');
            if (eq == std::string::npos || line[0] == '#')
                continue;
            std::string v = line.substr(eq + 1);
            if (v.size() >= 2 && (v[0] == '\'' || v[0] == '"') && v.back() == v[0])
                v = v.substr(1, v.size() - 2);
            m[line.substr(0, eq)] = v;
        }
        return m;
    }();
    auto it = vars.find(key);
    return it == vars.end() ? "" : it->second;
}

Session open(int mode)
{
    int err = 0;
    Session s(open_connection(mode, nullptr, nullptr, nullptr, &err));
    EXPECT_TRUE(s) << "open_connection(" << mode << ") failed with " << err;
    return s;
}

static std::string tool(const std::string &name, const std::string &uri)
{
    // A test bed with TLS takes nothing else: StartTLS, trusting its authority.
    std::string tls = bed("KX_TLS_DIR");
    return (tls.empty()
                ? "LDAPNOINIT=1 " + name
                : "LDAPCONF=" + q(tls + "/ldap.conf") + " LDAPRC=kx-none " + name + " -ZZ") +
           " -x -H " + q(uri.empty() ? bed("KX_LDAP_URI") : uri) + " -D " + q(bed("KX_ADMIN_DN")) +
           " -w " + q(bed("KX_ADMIN_PW"));
}

std::string ldif(const std::string &base, const std::string &scope, const std::string &filter,
                 const std::string &attrs, const std::string &uri)
{
    return sh(tool("ldapsearch", uri) + " -LLL -o ldif-wrap=no -s " + scope + " -b " + q(base) +
              " " + q(filter) + " " + attrs + " 2>/dev/null");
}

int ldapmodify(const std::string &text, bool add, const std::string &uri)
{
    std::string file = scratch("ldif") + "/in.ldif";
    spit(file, text);
    int status = -1;
    sh(tool(add ? "ldapadd" : "ldapmodify", uri) + " -f " + q(file) + " >/dev/null 2>&1", &status);
    return status;
}

void ldapdelete(const Strings &dns, const std::string &uri)
{
    std::string args;
    for (const auto &dn : dns)
        args += " " + q(dn);
    if (!args.empty())
        sh(tool("ldapdelete", uri) + " -r -c" + args + " >/dev/null 2>&1");
}

std::string token_ldif(const std::string &dn, const char *crypto)
{
    bool logical = dn.find(",kxName=logicalTokens,") != std::string::npos;
    return "dn: " + dn + "\nobjectClass: " + (logical ? "kxLogicalToken" : "kxRawToken") +
           "\nkxID: " + dn.substr(5, dn.find(',') - 5) + "\n" +
           (crypto ? "objectClass: kxCrypto\nkxCryptoString: " + std::string(crypto) + "\n" : "") +
           "\n";
}

std::string conf_of(const std::string &dn)
{
    std::istringstream in(ldif(dn, "base", "(objectClass=*)", "objectClass kxCryptoString"));
    std::string out, line;
    while (std::getline(in, line))
        out += line.rfind("dn: ", 0) == 0 || line.empty() ? ""
                                                          : line.substr(line.find(": ") + 2) + " ";
    return in.str().empty() ? "-" : out;
}

int remove_counter(const std::string &name)
{
    return ldapmodify("dn: kxName=" + name + "," + bed("KX_SUBTREE") +
                      "\nchangetype: modify\ndelete: kxGenerationNumber\n-\n"
                      "delete: objectClass\nobjectClass: kxSynch\n");
}

std::string user_dn(const std::string &id)
{
    return "kxID=" + id + ",kxName=users," + bed("KX_SUBTREE");
}
std::string ltoken_dn(const std::string &id)
{
    return "kxID=" + id + ",kxName=logicalTokens," + bed("KX_SUBTREE");
}
std::string rtoken_dn(const std::string &id)
{
    return "kxID=" + id + ",kxName=rawTokens," + bed("KX_SUBTREE");
}

}  // namespace kxt

// ---- one call at a time, and what the directory tests share ---------------
#include "kx_paths.h"

namespace kxt {

std::string at(const std::string &dn, const std::string &attrs, const std::string &uri)
{
    std::string e = ldif(dn, "base", "(objectClass=*)", attrs, uri);
    if (e.empty())
        return "-";
    e.erase(0, e.find('\n') + 1);
    while (!e.empty() && e.back() == '\n')
        e.pop_back();
    return e;
}

std::string record_ldif(const std::string &dn, const Strings &ids, const std::string &more)
{
    bool user = dn.find(",kxName=users,") != std::string::npos;
    bool logical = dn.find(",kxName=logicalTokens,") != std::string::npos;
    std::string text = "dn: " + dn + "\nobjectClass: " +
                       (user      ? "kxUser"
                        : logical ? "kxLogicalToken"
                                  : "kxRawToken") +
                       "\nkxID: " + dn.substr(5, dn.find(',') - 5) + "\n" + more;
    for (const auto &id : ids)
        text += (user ? "kxLogicalTokenIDs: " : "kxRawTokenIDs: ") + id + "\n";
    return text + "\n";
}

std::string ids_of(int (*f)(KXAdmin, char *, char ***), KXAdmin k, const std::string &id, int &rc)
{
    char *none[] = {nullptr}, **ids = none;
    rc = f(k, const_cast<char *>(id.c_str()), &ids);
    std::string out = ids == none ? "untouched" : ids ? "" : "NULL";
    for (char **p = ids != none ? ids : nullptr; p && *p; ++p)
        out += (p == ids ? "" : " ") + std::string(*p);
    kx_free_array(ids != none ? ids : nullptr);
    return out;
}

std::string shown(const kx_CryptoEnt_t *e)
{
    std::string s = std::string(e->tokenID ? e->tokenID : "(null)") + " ";
    for (char **p = e->keyValue; p && *p; ++p)
        s += (p == e->keyValue ? "" : "|") + std::string(*p);
    return s + " '" + (e->origin ? e->origin : "(null)") + "'";
}

std::string conf_copy(const std::string &from, const std::string &to)
{
    std::string text = slurp(KX_ADMIN_CONF), path = scratch("conf") + "/kxadmin.conf";
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    spit(path, at == std::string::npos ? text : text.replace(at, from.size(), to));
    return path;
}

}  // namespace kxt
