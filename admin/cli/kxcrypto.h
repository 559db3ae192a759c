// kxcrypto's functions, for the tool's own tests and fuzz targets.
#ifndef KXCRYPTO_H
#define KXCRYPTO_H

#include <cstdio>

#include "admin.h"
#include "kx_crypto_keys.hpp"

namespace kxcrypto {

// The value that takes a key out of the configuration: the inherited or
// built-in value applies.  Every key accepts it besides the values of its
// row in kx::kCryptoKeys, and the bash completion offers it last.
constexpr char kDefaultValue[] = "default";

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
