// kxcrypto - sets the security configuration of the default token.
//
// One run performs one operation: display (no arguments), add (-a), modify
// (-m), delete (-d), batch edit (-e), export (-o) or usage (-h).  Every
// diagnostic goes to standard error prefixed with the program name as
// invoked; every failure ends the run with status 1.

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "admin.h"
#include "admin_crypto.h"
#include "admin_private.h"
#include "kxerrno.h"
#include "utils.h"

#include "kxcrypto.h"

// The tool's names live in their own namespace: <string.h> declares a
// basename() of its own, which the program-name variable below hides.
namespace kxcrypto {

enum Operation {
    OP_NONE = 0,
    OP_ADD = 1,
    OP_DELETE = 2,
    OP_MODIFY = 3,
    OP_OUTPUT = 4,
    OP_BATCH = 5,
};

static char *basename;

void set_program_name(char *name) { basename = name; }

static const char kRestart[] = "A warm or cold restart of services must be performed.\n";

void usage(FILE *fd)
{
    fputs("Usage:\n", fd);
    fputs("kxcrypto\n", fd);
    fputs("kxcrypto -a { key=value ... }\n", fd);
    fputs("kxcrypto -m { key=value ... }\n", fd);
    fputs("kxcrypto -d\n", fd);
    fputs("kxcrypto -e [-f filename]\n", fd);
    fputs("kxcrypto -o [-f filename]\n", fd);
    fputs("kxcrypto -h\n\n", fd);
    fputs("\t-a                      # Add a security configuration.\n"
          "\t-m                      # Modify a security configuration.\n"
          "\t-d                      # Delete a security configuration.\n"
          "\t-e                      # Batch edit a series of configurations\n"
          "\t                        # from a file or stdin.\n"
          "\t-o                      # Output all configurations in comma-delimited\n"
          "\t                        # format to a file or stdout.\n"
          "\t-f filename             # Used to specify a file for the -e and -o\n"
          "\t                        # options.\n"
          "\t-h                      # Print this message.\n"
          "\n"
          "\t                        # If executed with no options then\n"
          "\t                        # the configuration(s) are output in\n"
          "\t                        # human-readable format.\n"
          "\n",
          fd);
}

void check_operation_set(int op)
{
    if (op != OP_NONE) {
        fprintf(stderr,
                "%s: Must perform one operation at a time.\n"
                "Please specify only one of the -a, -d, -e, -m\n"
                "and -o options.\n",
                basename);
        exit(1);
    }
}

// ---- key/value validation --------------------------------------------------

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

struct CryptoEntDeleter {
    void operator()(kx_CryptoEnt_t *e) const { kx_freeCryptoEnt(e); }
};
using CryptoEnt = std::unique_ptr<kx_CryptoEnt_t, CryptoEntDeleter>;

struct ArgsDeleter {
    void operator()(char **a) const { free_args(a); }
};
using Args = std::unique_ptr<char *, ArgsDeleter>;

void not_enough_memory() { fprintf(stderr, "%s: Not enough memory.\n", basename); }

// Writes of a modification before it gives up on a configuration that
// other writers keep changing.
constexpr int kSwapAttempts = 50;

// Waits after the n-th write (1, 2, ...) found the configuration changed:
// a random time of up to 2^(n-1) milliseconds, at most 32, so that writers
// that met drift apart.
void pause_before_attempt(int n)
{
    static unsigned seed;  // the tool is single-threaded
    if (n == 1)
        seed = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr));
    long ceiling_us = 1000L << std::min(n - 1, 5);
    timespec pause{0, rand_r(&seed) % (ceiling_us + 1) * 1000};
    nanosleep(&pause, nullptr);
}

// The row of the key, looked up in the order of the tool's listings;
// nullptr for an unknown key.
const kx::CryptoKey *find_key(const char *key)
{
    for (const kx::CryptoKey *k : kx::listed_crypto_keys())
        if (std::strcmp(k->key, key) == 0)
            return k;
    return nullptr;
}

bool allowed_value(const kx::CryptoKey &k, const char *value)
{
    if (std::strcmp(value, kDefaultValue) == 0)
        return true;
    for (const char *v : k.values)
        if (v && std::strcmp(v, value) == 0)
            return true;
    return false;
}

}  // namespace

int check_keyValue(KXAdmin /*kxa*/, char ***keyValue)
{
    if (!keyValue || !*keyValue)
        return 0;
    int seen[kx::kCryptoKeyCount] = {};
    char **array = *keyValue;

    for (int i = 0; i < count_args(array);) {
        CString copy(strdup(array[i]));
        if (!copy) {
            not_enough_memory();
            return -1;
        }
        char *save = nullptr;
        char *key = strtok_r(copy.get(), "=", &save);
        char *value = key ? strtok_r(nullptr, "=", &save) : nullptr;
        if (!key || !value) {
            fprintf(stderr, "%s: Ill-formed key/value pair %s\n", basename, array[i]);
            return -1;
        }
        const kx::CryptoKey *rule = find_key(key);
        if (!rule) {
            fprintf(stderr, "%s: Invalid key '%s'.\n", basename, key);
            return -1;
        }
        if (!allowed_value(*rule, value)) {
            fprintf(stderr, "%s: Invalid value '%s' to key '%s'.\n", basename, value, key);
            return -1;
        }
        if (++seen[rule - kx::kCryptoKeys] > 1) {
            fprintf(stderr, "%s: Duplicate key '%s'.\n", basename, array[i]);
            return -1;
        }
        if (std::strcmp(value, kDefaultValue) == 0) {
            // Take the pair out; the next entry moves into this position.
            std::free(array[i]);
            for (int j = i; array[j]; ++j)
                array[j] = array[j + 1];
            continue;
        }
        ++i;
    }
    return 0;
}

// ---- add, modify, batch edit ---------------------------------------------

namespace {

// Record for the token holding copies of argv[start] .. argv[max - 1].
CryptoEnt build_record(const char *token, char **argv, int start, int max)
{
    CryptoEnt ent(static_cast<kx_CryptoEnt_t *>(std::calloc(1, sizeof(kx_CryptoEnt_t))));
    if (!ent)
        return nullptr;
    ent->tokenID = strdup(token);
    int n = max > start ? max - start : 0;
    ent->keyValue = static_cast<char **>(std::calloc(static_cast<size_t>(n) + 1, sizeof(char *)));
    if (!ent->tokenID || !ent->keyValue)
        return nullptr;
    for (int i = 0; i < n; ++i)
        if (!(ent->keyValue[i] = strdup(argv[start + i])))
            return nullptr;
    return ent;
}

}  // namespace

int add_config(KXAdmin kxa, char *token, char **argv, int start, int max)
{
    CryptoEnt ent = build_record(token, argv, start, max);
    if (!ent) {
        not_enough_memory();
        return -1;
    }
    if (check_keyValue(kxa, &ent->keyValue) != 0)
        return -1;
    if (count_args(ent->keyValue) > 0) {
        if (kx_addCryptoEnt(kxa, ent.get(), 0) != 0) {
            fprintf(stderr, "%s: Unable to add configuration for default token.\n", basename);
            return -1;
        }
        fputs("Configuration successfully added.\n", stdout);
    }
    return 0;
}

namespace {

// modify_config, handing the record it stored to *written (empty when it
// removed the configuration or failed).
int modify_and_keep(KXAdmin kxa, char *token, char **argv, char **orig, int start, int max,
                    CryptoEnt *written)
{
    // The new pairs are merged into the stored ones and written only if the
    // stored configuration is still the one read; when another writer
    // changed it in between, it is read again and the pairs merged again.
    CryptoEnt reread;
    written->reset();
    for (int attempt = 1;; ++attempt) {
        CryptoEnt ent = build_record(token, argv, start, max);
        if (!ent) {
            not_enough_memory();
            return -1;
        }
        if (merge_keyValue_arrays(&ent->keyValue, orig) == KXE_NOMEM) {
            not_enough_memory();
            return -1;
        }
        if (check_keyValue(kxa, &ent->keyValue) != 0)
            return -1;
        bool keep = count_args(ent->keyValue) > 0;
        int ret = _kx_swapCryptoEnt(kxa, token, orig, keep ? ent.get() : nullptr);
        if (ret == KX_CHANGED && attempt < kSwapAttempts) {
            pause_before_attempt(attempt);
            kx_CryptoEnt_t *stored = nullptr;
            ret = kx_getCryptoEntByTokenID(kxa, token, &stored, 0);
            reread.reset(stored);
            orig = stored ? stored->keyValue : nullptr;
            if (ret == 0 || ret == KXE_NOTFOUND)
                continue;
        }
        if (ret != 0) {
            fprintf(stderr, "%s: Unable to modify configuration for the default token.\n",
                    basename);
            return -1;
        }
        fputs("Configuration successfully modified.\n", stdout);
        if (keep)
            *written = std::move(ent);
        return 0;
    }
}

}  // namespace

int modify_config(KXAdmin kxa, char *token, char **argv, char **orig, int start, int max)
{
    CryptoEnt written;
    return modify_and_keep(kxa, token, argv, orig, start, max, &written);
}

const char *batch_line_problem(char **f, bool *no_memory)
{
    *no_memory = false;
    int count = count_args(f);
    if (count == 0 || f[0][0] == '\0')
        return "%s: line %d is not complete....skipping\n";
    // The tokenID field and at most one pair for each key.
    if (count > static_cast<int>(kx::kCryptoKeyCount) + 1)
        return "%s: line %d has extraneous info...skipping\n";
    if (count < 2)
        return "%s: line %d does not have enoughkey/value pairs...skipping\n";
    CString first(strdup(f[0]));
    if (!first) {
        *no_memory = true;
        return nullptr;
    }
    char *save = nullptr;
    char *key = strtok_r(first.get(), "=", &save);
    char *value = key ? strtok_r(nullptr, "=", &save) : nullptr;
    if (!key || std::strcmp(key, "tokenID") != 0)
        return "%s: line %d does not begin with key 'tokenID='...skipping\n";
    if (!value || (std::strcmp(value, "default") != 0 && std::strcmp(value, KX_DEFAULT_TOKEN) != 0))
        return "%s: tokenID on line %d is not 'default'...skipping\n";
    return nullptr;
}

namespace {

// The batch input: standard input, or the file of that name; nullptr (after
// the message) when the file cannot be opened.
FILE *open_batch_input(const char *filename)
{
    if (!filename)
        return stdin;
    FILE *in = fopen(filename, "r");
    if (!in)
        fprintf(stderr, "%s: Could not open file '%s' for reading.\n\n", basename, filename);
    return in;
}

// Stores the pairs of a batch line that passed batch_line_problem (the
// fields after the first) as the default token's configuration: merged into
// the stored one, or added when there is none.  Returns nullptr after the
// success line, or the skip message of the line.  *last_stored holds the
// configuration that the previous line stored, and then this line's.
const char *store_batch_line(KXAdmin kxa, char **f, int line_num, CryptoEnt *last_stored)
{
    char token[] = KX_DEFAULT_TOKEN;
    int count = count_args(f);
    // What the last line stored needs no lookup: the write is conditional
    // on it, and reads the configuration again when another writer changed
    // it in the meantime.
    CryptoEnt stored = std::move(*last_stored);
    int ret = 0;
    if (!stored) {
        kx_CryptoEnt_t *raw = nullptr;
        ret = kx_getCryptoEntByTokenID(kxa, token, &raw, 0);
        stored.reset(raw);
    }
    if (ret == 0) {
        if (modify_and_keep(kxa, token, f, stored->keyValue, 1, count, last_stored) != 0)
            return "%s: could not modify line %d...skipping\n";
        printf("Successfully modified config on line %d\n", line_num);
        return nullptr;
    }
    if (ret == KXE_NOTFOUND) {
        if (add_config(kxa, token, f, 1, count) != 0)
            return "%s: could not add line %d...skipping\n";
        printf("Successfully added config on line %d\n", line_num);
        return nullptr;
    }
    return "%s: could not determine if configuration on line %d exists...skipping\n";
}

}  // namespace

int add_batch_crypto_config(KXAdmin kxa, char *filename)
{
    FILE *in = open_batch_input(filename);
    if (!in)
        return -1;
    struct Closer {
        FILE *fp;
        ~Closer()
        {
            if (fp != stdin)
                fclose(fp);
        }
    } closer{in};

    int line_num = 0;
    int configs_success = 0;
    int configs_skipped = 0;
    char line[256];
    CryptoEnt last_stored;  // the configuration the last line stored
    while (fgets(line, sizeof line, in)) {
        ++line_num;
        Args fields(parse_args(line, ','));
        bool no_memory = false;
        const char *problem = batch_line_problem(fields.get(), &no_memory);
        if (no_memory) {
            not_enough_memory();
            return -1;
        }
        if (!problem)
            problem = store_batch_line(kxa, fields.get(), line_num, &last_stored);
        if (problem) {
            // Every skip message names the program and then the line number.
            fprintf(stderr, problem, basename, line_num);
            ++configs_skipped;
        } else {
            ++configs_success;
        }
    }

    printf("%d lines successfully processed.\n", configs_success);
    printf("%d lines skipped due to errors.\n", configs_skipped);
    return 0;
}

// ---- the run ---------------------------------------------------------------

namespace {

[[noreturn]] void fail_with_usage()
{
    usage(stderr);
    exit(1);
}

// Reports a lookup failure of the stored configuration and ends the run.
[[noreturn]] void lookup_failed(int ret, const char *not_found_message)
{
    if (ret == KXE_NOTFOUND)
        fprintf(stderr, not_found_message, basename);
    else
        fprintf(stderr, "%s: %s\n", basename, kx_err2str(ret));
    exit(1);
}

constexpr const char kDoesNotExist[] = "%s: Configuration for the default token doesn't exist.\n";

// The stored configuration of the token (merge mode 0); a failed lookup
// ends the run with the message for a missing one, or with the error.
kx_CryptoEnt_t *stored_config(KXAdmin kxa, char *token, const char *not_found_message)
{
    kx_CryptoEnt_t *result = nullptr;
    int ret = kx_getCryptoEntByTokenID(kxa, token, &result, 0);
    if (ret != 0)
        lookup_failed(ret, not_found_message);
    return result;
}

[[noreturn]] void display(KXAdmin kxa, char *token)
{
    kx_CryptoEnt_t *result = nullptr;
    int ret = kx_getCryptoEntByTokenID(kxa, token, &result, 1);
    if (ret != 0)
        lookup_failed(ret, kDoesNotExist);
    kx_printCryptoEnt(stdout, result);
    kx_freeCryptoEnt(result);
    exit(0);
}

// The connection mode of the caller: root (real and effective) changes the
// configuration with the password file; anyone else may only display it,
// and giving any argument ends the run.
int connection_mode(int argc)
{
    uid_t uid = getuid();
    uid_t euid = geteuid();
    if (uid == 0 && euid == 0)
        return KX_MODE_PASSWD_FILE;
    if (argc > 1) {
        fprintf(stderr, "%s: Must be root to set configuration.\n", basename);
        exit(1);
    }
    return KX_MODE_ANONYMOUS;
}

// What the options of a command line ask for.
struct Options {
    int operation = OP_NONE;
    char *filename = nullptr;  // -f
    bool help = false;         // -h
};

void set_operation(Options &o, int op)
{
    check_operation_set(o.operation);
    o.operation = op;
}

// Reads the options; an unknown one ends the run with the usage text.
Options parse_options(int argc, char **argv)
{
    Options o;
    // "+": option scanning stops at the first argument that is not an
    // option; the key=value pairs follow the options.
    int c;
    while ((c = getopt(argc, argv, "+adef:moh")) != -1) {
        switch (c) {
        case 'a':
            set_operation(o, OP_ADD);
            break;
        case 'd':
            set_operation(o, OP_DELETE);
            break;
        case 'm':
            set_operation(o, OP_MODIFY);
            break;
        case 'o':
            set_operation(o, OP_OUTPUT);
            break;
        case 'e':
            set_operation(o, OP_BATCH);
            break;
        case 'f':
            o.filename = optarg;
            break;
        case 'h':
            o.help = true;
            break;
        default:
            fail_with_usage();
        }
    }
    return o;
}

// Ends the run on arguments that the options do not take, on -h with
// other options and on -f without -e or -o; -h alone prints the usage text
// and ends the run.
void check_command_line(int argc, char **argv, const Options &o)
{
    if (argc > optind && (o.help || o.operation == OP_DELETE || o.operation == OP_OUTPUT ||
                          o.operation == OP_BATCH)) {
        fprintf(stderr, "%s: malformed command line. Unexpected argument: %s\n", basename,
                argv[optind]);
        fail_with_usage();
    }
    if (o.help) {
        if (o.operation != OP_NONE || o.filename) {
            fprintf(stderr, "%s: Cannot specify -h with other options.\n", basename);
            fail_with_usage();
        }
        usage(stdout);
        exit(0);
    }
    if (o.filename && o.operation != OP_OUTPUT && o.operation != OP_BATCH) {
        fprintf(stderr, "%s: -f must be used with either -e or -o.\n", basename);
        fail_with_usage();
    }
}

// -a and -m need key/value pairs after the options.
void require_pairs(int argc)
{
    if (argc - optind == 0) {
        fprintf(stderr, "%s: No key value pairs specified.\n", basename);
        fail_with_usage();
    }
}

// -a: the pairs become the configuration, which must not exist yet.
void add_operation(KXAdmin kxa, char *token, int argc, char **argv)
{
    require_pairs(argc);
    kx_CryptoEnt_t *result = nullptr;
    int ret = kx_getCryptoEntByTokenID(kxa, token, &result, 0);
    if (ret == 0) {
        fprintf(stderr, "%s: Configuration for the default token already exists.\n", basename);
        kx_freeCryptoEnt(result);
        exit(1);
    }
    if (ret != KXE_NOTFOUND)
        lookup_failed(ret, kDoesNotExist);
    if (add_config(kxa, token, argv, optind, argc) != 0)
        exit(1);
    fputs(kRestart, stdout);
}

// -m: the pairs are merged into the stored configuration.
void modify_operation(KXAdmin kxa, char *token, int argc, char **argv)
{
    require_pairs(argc);
    kx_CryptoEnt_t *result = stored_config(kxa, token, kDoesNotExist);
    if (modify_config(kxa, token, argv, result->keyValue, optind, argc) != 0) {
        kx_freeCryptoEnt(result);
        exit(1);
    }
    fputs(kRestart, stdout);
    kx_freeCryptoEnt(result);
}

// -e: the lines of the file (or standard input) applied one by one.
void batch_operation(KXAdmin kxa, char *filename)
{
    if (add_batch_crypto_config(kxa, filename) != 0) {
        fprintf(stderr, "%s: Unable to complete batch configuration.\n", basename);
        exit(1);
    }
    fputs(kRestart, stdout);
}

// -d: the stored configuration is removed.
void delete_operation(KXAdmin kxa, char *token)
{
    kx_CryptoEnt_t *result = stored_config(kxa, token, kDoesNotExist);
    if (kx_delCryptoEnt(kxa, token) != 0) {
        kx_freeCryptoEnt(result);
        fprintf(stderr, "%s: Could not delete default token configuration.\n", basename);
        exit(1);
    }
    fputs("Successfully deleted configuration for the default token.\n", stdout);
    fputs(kRestart, stdout);
    kx_freeCryptoEnt(result);
}

// The export file, new; nullptr (after the message) when it cannot be
// made.  Anything of that name is refused, a symbolic link too (even one
// that points nowhere), and the file is created so that nothing put there
// after the test is opened instead.
FILE *create_export_file(const char *filename)
{
    struct stat st;
    bool exists = lstat(filename, &st) == 0;
    int out =
        exists ? -1 : open(filename, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (exists || (out < 0 && (errno == EEXIST || errno == ELOOP))) {
        fprintf(stderr, "%s: File '%s' already exists.\n", basename, filename);
        return nullptr;
    }
    FILE *fd = out < 0 ? nullptr : fdopen(out, "w");
    if (!fd && out >= 0) {
        close(out);
        unlink(filename);
    }
    if (!fd)
        fprintf(stderr, "%s: Could not open file %s for writing.\n", basename, filename);
    return fd;
}

void write_export_line(FILE *fd, const kx_CryptoEnt_t *ent)
{
    fprintf(fd, "tokenID=%s,", ent->tokenID ? ent->tokenID : "");
    for (int i = 0; ent->keyValue && ent->keyValue[i]; ++i)
        fprintf(fd, i > 0 ? ",%s" : "%s", ent->keyValue[i]);
    fputs("\n", fd);
}

// -o: the stored configuration as one comma-delimited line, to the file
// (or standard output).
void export_operation(KXAdmin kxa, char *token, const char *filename)
{
    kx_CryptoEnt_t *result =
        stored_config(kxa, token,
                      "%s: An explicit configuration for the default token doesn't exist.  "
                      "Internal default values will be used.\n");
    FILE *fd = filename ? create_export_file(filename) : stdout;
    if (!fd) {
        kx_freeCryptoEnt(result);
        exit(1);
    }
    write_export_line(fd, result);
    if (fd != stdout && fclose(fd) != 0) {
        fprintf(stderr, "%s: Could not write file %s.\n", basename, filename);
        kx_freeCryptoEnt(result);
        exit(1);
    }
    kx_freeCryptoEnt(result);
}

}  // namespace

int run(int argc, char **argv)
{
    basename = argv[0] ? argv[0] : const_cast<char *>("kxcrypto");
    // libldap writes to its connections with write(): a server that goes
    // away in the middle of a request must end the request, not the run.
    signal(SIGPIPE, SIG_IGN);
    int mode = connection_mode(argc);

    char token[] = KX_DEFAULT_TOKEN;
    int return_code = 0;
    KXAdmin kxa = open_connection(mode, nullptr, nullptr, nullptr, &return_code);
    if (!kxa) {
        fprintf(stderr, "%s: Could not connect to admin server.\n", basename);
        return 1;
    }
    if (argc == 1)
        display(kxa, token);

    Options options = parse_options(argc, argv);
    check_command_line(argc, argv, options);
    switch (options.operation) {
    case OP_ADD:
        add_operation(kxa, token, argc, argv);
        break;
    case OP_MODIFY:
        modify_operation(kxa, token, argc, argv);
        break;
    case OP_BATCH:
        batch_operation(kxa, options.filename);
        break;
    case OP_DELETE:
        delete_operation(kxa, token);
        break;
    case OP_OUTPUT:
        export_operation(kxa, token, options.filename);
        break;
    default:
        break;
    }
    close_connection(kxa);
    return 0;
}

}  // namespace kxcrypto

#ifndef KXCRYPTO_NO_MAIN
int main(int argc, char **argv) { return kxcrypto::run(argc, argv); }
#endif
