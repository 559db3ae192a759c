// kxcrypto's functions, for the tool's own tests and fuzz targets.
#ifndef KXCRYPTO_H
#define KXCRYPTO_H

#include <cstdio>

#include "admin.h"

namespace kxcrypto {

struct KeyRule {
    const char *key;
    const char *values[4];
};

// The keys of a security configuration in the order in which they are
// looked up, with their allowed values.  The bash completion of the tool is
// generated from this table too.
constexpr KeyRule kRules[] = {
    {"enc_up_type", {"ARCFOUR", "none", "default", nullptr}},
    {"enc_down_type", {"ARCFOUR", "none", "default", nullptr}},
    {"auth_down_type", {"simple", "none", "default", nullptr}},
    {"auth_up_type", {"none", "default", nullptr, nullptr}},
    {"mode", {"hard", "soft", "default", nullptr}},
};

void set_program_name(char *name);
void usage(FILE *fd);
void check_operation_set(int op);
int check_keyValue(KXAdmin kxa, char ***keyValue);
int add_config(KXAdmin kxa, char *token, char **argv, int start, int max);
int modify_config(KXAdmin kxa, char *token, char **argv, char **orig, int start, int max);
// The skip message (a format taking the program name and the line number)
// for a batch line split into fields, or nullptr when the line may be
// applied; *no_memory is set when it could not be checked.
const char *batch_line_problem(char **fields, bool *no_memory);
int add_batch_crypto_config(KXAdmin kxa, char *filename);
int run(int argc, char **argv);

}  // namespace kxcrypto

#endif
