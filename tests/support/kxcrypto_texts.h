// kxcrypto's usage text, byte for byte, for the tests of the tool.
#ifndef KXCRYPTO_TEXTS_H
#define KXCRYPTO_TEXTS_H

inline const char kxcrypto_usage_text[] =
    "Usage:\n"
    "kxcrypto\n"
    "kxcrypto -a { key=value ... }\n"
    "kxcrypto -m { key=value ... }\n"
    "kxcrypto -d\n"
    "kxcrypto -e [-f filename]\n"
    "kxcrypto -o [-f filename]\n"
    "kxcrypto -h\n\n"
    "\t-a                      # Add a security configuration.\n"
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
    "\n";

#endif
