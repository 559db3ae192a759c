// The directory server's own configuration file (kxdsd.conf): the reader of
// its logical lines, tokens and keywords, and the discovery and probing of
// the primary directory server that it names.

#include <atomic>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <strings.h>
#include <unistd.h>

#include "admin_private.h"
#include "kx_paths.h"
#include "kx_raii.hpp"
#include "kx_tcp.hpp"
#include "utils.h"

namespace {

bool starts_with_nocase(const char *text, const char *prefix)
{
    return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

bool is_blank_start(const char *line)
{
    return line[0] != '\0' && std::isspace(static_cast<unsigned char>(line[0]));
}

void free_subtrees(SubtreeNode *node)
{
    while (node) {
        SubtreeNode *next = node->next;
        std::free(node->dn);
        std::free(node);
        node = next;
    }
}

// ---- process-wide caches ----------------------------------------------------
// Each is set once under its lock and never changed afterwards, so readers
// look at it without the lock.

std::mutex localhost_lock;
std::atomic<char *> localhostname{nullptr};

std::mutex DS_lock;
std::atomic<char *> DSprimary{nullptr};
std::atomic<int> DSport{-1};

}  // namespace

// ===== the configuration reader =============================================

int fp_getline(FILE *fp, int *lineno, char *buf, int bufsize, char *line, int linesize)
{
    if (std::strlen(buf) >= static_cast<size_t>(linesize)) {
        dprintf("fp_getline(): buffer larger than %d", linesize);
        return -1;
    }
    std::strcpy(line, buf);
    ++*lineno;
    if (starts_with_nocase(line, "include")) {
        buf[0] = '\0';
        return 0;
    }
    size_t len = std::strlen(line);
    for (;;) {
        if (!std::fgets(buf, bufsize, fp)) {
            buf[0] = '\0';
            return line[0] ? 0 : KXE_NOMOREDATA;
        }
        if (char *nl = std::strchr(buf, '\n'))
            *nl = '\0';
        if (buf[0] == '#') {
            ++*lineno;
            continue;
        }
        if (!is_blank_start(buf))
            break;
        size_t add = std::strlen(buf);
        if (len + add >= static_cast<size_t>(linesize)) {
            dprintf("fp_getline(): buffer larger than %d", linesize);
            return -1;
        }
        std::memcpy(line + len, buf, add + 1);
        len += add;
        ++*lineno;
    }
    bool blank = true;
    for (const char *c = line; *c; ++c)
        if (!std::isspace(static_cast<unsigned char>(*c)))
            blank = false;
    if (blank)
        line[0] = '\0';
    return 0;
}

char *strtok_quote(char *text, const char *sep, char **pos)
{
    char *p = text ? text : *pos;
    if (!p)
        return nullptr;
    while (*p && std::strchr(sep, *p))
        ++p;
    if (!*p) {
        *pos = nullptr;
        return nullptr;
    }
    char *token = p;
    bool quoted = false;
    while (*p) {
        if (*p == '"' || *p == '\\') {
            if (*p == '"')
                quoted = !quoted;
            std::memmove(p, p + 1, std::strlen(p + 1) + 1);
            continue;
        }
        if (!quoted && std::strchr(sep, *p)) {
            *p = '\0';
            *pos = p + 1;
            return token;
        }
        ++p;
    }
    *pos = p;
    return token;
}

void fp_parse_line(char *line, int *argc, char **argv, int limit)
{
    char *pos = nullptr;
    *argc = 0;
    for (char *tok = strtok_quote(line, " \t", &pos); tok;
         tok = strtok_quote(nullptr, " \t", &pos)) {
        if (*argc >= limit) {
            dprintf("fp_parse_line(): Too many tokens (max %d)", limit);
            exit(1);
        }
        argv[(*argc)++] = tok;
    }
    argv[*argc] = nullptr;
}

Backend *new_backend(BackendTable *table, const char *type)
{
    if (table->count == table->capacity) {
        int capacity = table->capacity + 10;
        auto *grown = static_cast<Backend *>(
            std::realloc(table->backends, sizeof(Backend) * static_cast<size_t>(capacity)));
        if (!grown) {
            dprintf("new_backend(): failed to allocate backend struct");
            return nullptr;
        }
        std::memset(grown + table->capacity, 0, sizeof(Backend) * 10);
        table->backends = grown;
        table->capacity = capacity;
    }
    Backend *be = &table->backends[table->count++];
    be->type = (type && strcasecmp(type, "ldbm") == 0) ? "ldbm" : nullptr;
    return be;
}

void free_treeS(TreeS *list)
{
    while (list) {
        TreeS *next = list->next;
        free_subtrees(list->subtrees);
        kx_free_array(list->referrals);
        std::free(list->replicadn);
        std::free(list);
        list = next;
    }
}

void free_backend(BackendTable *table)
{
    if (!table)
        return;
    for (int i = 0; i < table->count; ++i) {
        Backend &be = table->backends[i];
        kx_free_array(be.suffixes);
        kx_free_array(be.replicas);
        std::free(be.rootdn);
        free_treeS(be.slaves);
        free_treeS(be.masters);
    }
    std::free(table->backends);
    table->count = 0;
    table->capacity = 0;
    table->backends = nullptr;
}

int configure_treeS(Backend *be, int argc, char **argv, int slave)
{
    auto *tree = static_cast<TreeS *>(std::calloc(1, sizeof(TreeS)));
    if (!tree)
        return KXE_NOMEM;
    auto drop = [&]() {
        free_treeS(tree);
        return KXE_NOMEM;
    };
    for (int i = 1; i < argc; ++i) {
        const char *tok = argv[i];
        if (starts_with_nocase(tok, "subtree=")) {
            auto *node = static_cast<SubtreeNode *>(std::calloc(1, sizeof(SubtreeNode)));
            if (!node || !(node->dn = strdup(tok + 8))) {
                std::free(node);
                return drop();
            }
            node->next = tree->subtrees;
            tree->subtrees = node;
        } else if (slave && starts_with_nocase(tok, "replicadn=")) {
            char *copy = strdup(tok + 10);
            if (!copy)
                return drop();
            std::free(tree->replicadn);
            tree->replicadn = copy;
        } else if (slave && starts_with_nocase(tok, "referral=")) {
            char *copy = strdup(tok + 9);
            if (!copy)
                return drop();
            if (kx_add_array(&tree->referrals, copy) != 0) {
                std::free(copy);
                return drop();
            }
        }
    }
    TreeS **list = slave ? &be->slaves : &be->masters;
    tree->next = *list;
    *list = tree;
    return 0;
}

Backend *select_backend(BackendTable *table, const char *dn)
{
    if (!table || !dn)
        return nullptr;
    size_t m = std::strlen(dn);
    for (int i = 0; i < table->count; ++i) {
        Backend *be = &table->backends[i];
        for (char **s = be->suffixes; s && *s; ++s) {
            size_t n = std::strlen(*s);
            if (n > m)
                continue;
            if (strcasecmp(*s, dn) == 0 || (n > 0 && strcasecmp(*s, dn + (m - n)) == 0))
                return be;
        }
    }
    return nullptr;
}

namespace {

// A read of the directory server's configuration file: the table that it
// fills, and the logical line at hand split into its keyword and arguments.
// Each keyword's step gives 0 when the line is taken or ignored, else the
// code that ends the whole read.
struct DsReader {
    BackendTable *table;
    const char *path;
    int lineno = -1;
    int current = -1;  // index of the current definition
    int argc = 0;
    char *argv[KX_DSCONF_MAX_TOKENS + 1] = {};

    int take(char *line);
    int database();
    int suffix();
    int rootdn();
    int replica();
    int tree(bool slave);

    Backend *definition() { return current >= 0 ? &table->backends[current] : nullptr; }
    void outside_definition(const char *what) const;
    char *copy(const char *text) const;
    int add(char ***array, const char *text, const char *what) const;
};

// Logs a line that belongs inside a database definition; it is ignored.
void DsReader::outside_definition(const char *what) const
{
    dprintf("read_ds_config(): [line %d] %s line must appear inside a database definition in %s "
            "file. (ignored)",
            lineno, what, path);
}

// A copy of an argument; nullptr, logged, without memory.
char *DsReader::copy(const char *text) const
{
    char *c = strdup(text);
    if (!c)
        dprintf("read_ds_config(): strdup() failed.");
    return c;
}

// Adds a copy of text to one of the definition's arrays (`what` names the
// line in the message of a failure).
int DsReader::add(char ***array, const char *text, const char *what) const
{
    char *c = copy(text);
    if (!c)
        return KXE_NOMEM;
    if (int rc = kx_add_array(array, c)) {
        std::free(c);
        dprintf("read_ds_config(): [line %d] failed to add \"%s\" into the \"be\" array.  (%s)",
                lineno, what, kx_err2str(rc));
        return -1;
    }
    return 0;
}

int DsReader::database()
{
    if (argc < 2) {
        dprintf("read_ds_config(): [line %d] missing type in \"database <type>\" line in %s file.",
                lineno, path);
        return -1;
    }
    if (!new_backend(table, argv[1]))
        return KXE_NOMEM;
    current = table->count - 1;
    return 0;
}

int DsReader::suffix()
{
    if (argc < 2) {
        dprintf("read_ds_config(): [line %d] missing dn in \"suffix <dn>\" line in %s file.",
                lineno, path);
        return -1;
    }
    if (argc > 2)
        dprintf("read_ds_config(): [line %d] extra nonsense after <dn> in \"suffix %s\" line in "
                "%s file. (ignored)",
                lineno, argv[2], path);
    Backend *be = definition();
    if (!be) {
        outside_definition("suffix");
        return 0;
    }
    return add(&be->suffixes, argv[1], "suffix");
}

int DsReader::rootdn()
{
    if (argc < 2) {
        dprintf("read_ds_config(): [line %d] missing dn in \"rootdn <dn>\" line in %s file.",
                lineno, path);
        return -1;
    }
    Backend *be = definition();
    if (!be) {
        outside_definition("rootdn");
        return 0;
    }
    char *dn = copy(argv[1]);
    if (!dn)
        return KXE_NOMEM;
    std::free(be->rootdn);
    be->rootdn = dn;
    return 0;
}

int DsReader::replica()
{
    if (argc < 2) {
        dprintf("read_ds_config(): [line %d] missing host in \"replica <host[:port]>\" line in%s "
                "file.",
                lineno, path);
        return -1;
    }
    Backend *be = definition();
    if (!be) {
        outside_definition("replica");
        return 0;
    }
    int host = 0;
    for (int i = 1; i < argc && !host; ++i)
        if (starts_with_nocase(argv[i], "host="))
            host = i;
    if (!host) {
        dprintf("read_ds_config(): [line %d] missing host in \"replica\" line in %s file. "
                "(ignored)",
                lineno, path);
        return 0;
    }
    return add(&be->replicas, argv[host] + 5, argv[0]);
}

int DsReader::tree(bool slave)
{
    Backend *be = definition();
    if (!be)
        outside_definition(slave ? "slave" : "master");
    else
        configure_treeS(be, argc, argv, slave ? 1 : 0);
    return 0;
}

// One logical line: comments, empty lines and lines without tokens are
// passed over, and so are "pull_replica", "include" and every other keyword
// without a step.
int DsReader::take(char *line)
{
    if (line[0] == '\0' || line[0] == '#')
        return 0;
    fp_parse_line(line, &argc, argv, KX_DSCONF_MAX_TOKENS);
    if (argc == 0)
        return 0;
    const char *kw = argv[0];
    if (strcasecmp(kw, "database") == 0)
        return database();
    if (strcasecmp(kw, "suffix") == 0)
        return suffix();
    if (strcasecmp(kw, "rootdn") == 0)
        return rootdn();
    if (strcasecmp(kw, "replica") == 0 || strcasecmp(kw, "push_replica") == 0)
        return replica();
    if (strcasecmp(kw, "slave") == 0 || strcasecmp(kw, "master") == 0)
        return tree(strcasecmp(kw, "slave") == 0);
    return 0;
}

}  // namespace

int read_ds_config_file(BackendTable *table, const char *path)
{
    kx::File fp(std::fopen(path, "r"));
    if (!fp) {
        int err = errno;
        dprintf("read_ds_config(): could not open config file \"%s\" (%s)", path,
                std::strerror(err));
        return kx_errno2kxerr(err, KXE_FILEACCESS);
    }
    char buf[KX_DSCONF_READ_BUFFER] = "";
    char line[KX_DSCONF_LINE_LIMIT];
    DsReader reader{.table = table, .path = path};
    for (;;) {
        int got = fp_getline(fp.get(), &reader.lineno, buf, sizeof buf, line, sizeof line);
        if (got == KXE_NOMOREDATA)
            return KXE_SUCCESS;
        if (int rc = got != 0 ? -1 : reader.take(line)) {
            free_backend(table);
            return rc;
        }
    }
}

int read_ds_config(BackendTable *table) { return read_ds_config_file(table, KX_DSD_CONF); }

// ===== the primary directory server ========================================

void setLocalHostname(void)
{
    char name[256];
    if (gethostname(name, sizeof name) != 0) {
        dprintf("setLocalHostname(): gethostname failed(%s)", std::strerror(errno));
        return;
    }
    name[sizeof name - 1] = '\0';
    std::lock_guard<std::mutex> guard(localhost_lock);
    if (!localhostname.load()) {
        char *copy = strdup(name);
        if (!copy)
            dprintf("setLocalHostname(): strdup failed");
        else
            localhostname.store(copy);
    }
}

namespace {

// This host's name, looked up on first use; nullptr when it is unknown.
const char *local_host_name()
{
    if (!localhostname.load())
        setLocalHostname();
    return localhostname.load();
}

// This host as the primary server: a copy of its name, or nullptr.
char *this_host_as_primary()
{
    const char *name = local_host_name();
    char *found = name ? strdup(name) : nullptr;
    if (name && !found)
        dprintf("kx_getDSprimary(): strdup failed");
    return found;
}

// The primary server that the first referral of a slave line names, its
// host up to the first ":" after the last "/", and the port after that;
// KXE_CONFIG when no port is given.
int primary_of_slave(const TreeS *slave, char *&host, int &port)
{
    const char *referral = slave->referrals ? slave->referrals[0] : nullptr;
    const char *colon = nullptr;
    std::string hostport;
    if (referral) {
        const char *slash = std::strrchr(referral, '/');
        hostport = slash ? slash + 1 : referral;
        colon = std::strchr(hostport.c_str(), ':');
    }
    long port_value = colon ? std::strtol(colon + 1, nullptr, 10) : 0;
    if (!colon || port_value < 1 || port_value > INT_MAX) {
        dprintf("kx_getDSprimary(): invalid or missing port number in datastore config file.");
        return KXE_CONFIG;
    }
    hostport.resize(static_cast<size_t>(colon - hostport.c_str()));
    host = strdup(hostport.c_str());
    port = static_cast<int>(port_value);
    return KXE_SUCCESS;
}

// The primary server of the data by the configuration file: this host when
// the definition of the suffix has a master line or no slave line, else the
// server that its latest slave line refers to.  The host is nullptr without
// memory.
int read_primary(char *&host, int &port)
{
    BackendTable table{0, 0, nullptr};
    int ret = read_ds_config(&table);
    if (ret != KXE_SUCCESS)
        return ret;
    Backend *be = select_backend(&table, KX_DS_SUFFIX);
    if (!be)
        ret = KXE_NOTFOUND;
    else if (!be->masters && be->slaves)
        ret = primary_of_slave(be->slaves, host, port);
    else
        host = this_host_as_primary();
    free_backend(&table);
    return ret;
}

}  // namespace

int kx_getDSprimary(char **host, int *port)
{
    if (!host || !port)
        return KXE_INVAL;
    if (const char *cached = DSprimary.load()) {
        *host = strdup(cached);
        *port = DSport.load();
        return *host ? KXE_SUCCESS : KXE_NOMEM;
    }
    *host = nullptr;
    *port = -1;
    char *found = nullptr;
    int found_port = -1;
    if (int ret = read_primary(found, found_port); ret != KXE_SUCCESS)
        return ret;
    if (!found)
        return KXE_NOMEM;
    {
        // The first primary stored stays.
        std::lock_guard<std::mutex> guard(DS_lock);
        if (!DSprimary.load()) {
            DSport.store(found_port);
            DSprimary.store(found);
            found = nullptr;
        }
    }
    std::free(found);
    *host = strdup(DSprimary.load());
    *port = DSport.load();
    return *host ? KXE_SUCCESS : KXE_NOMEM;
}

int kx_isDSprimary(void)
{
    char *raw = nullptr;
    int port = -1;
    if (kx_getDSprimary(&raw, &port) != KXE_SUCCESS)
        return 0;
    kx::CString host(raw);
    const char *name = local_host_name();
    return name && strcasecmp(name, host.get()) == 0 ? 1 : 0;
}

// The probe connects as the sessions do (kx::connect_tcp), to every address
// of the host in turn.
int kx_pingDShost(char *host, int port, int timeout)
{
    if (!host || timeout < 0)
        return KXE_INVAL;
    if (const char *name = local_host_name(); name && strcasecmp(name, host) == 0)
        return KXE_SUCCESS;
    if (port <= 0)
        return KXE_INVAL;

    kx::TcpConnection probe = kx::connect_tcp(host, port, timeout);
    switch (probe.failure) {
    case kx::TcpFailure::None:
        return KXE_SUCCESS;
    case kx::TcpFailure::Lookup:
        return KXE_NOTFOUND;
    case kx::TcpFailure::Socket:
        return KXE_SOCKET;
    case kx::TcpFailure::Refused:
        dprintf("kx_pingDShost(): connect failed (%s)", std::strerror(probe.error));
        return KXE_REMOTE;
    case kx::TcpFailure::Waiting:
        return KXE_REMOTE;
    case kx::TcpFailure::Timeout:
        return KXE_TIMEOUT;
    case kx::TcpFailure::Pending:
        dprintf("kx_pingDShost(): internal socket error %d", probe.error);
        return KXE_INTERNAL;
    }
    return KXE_INTERNAL;
}
