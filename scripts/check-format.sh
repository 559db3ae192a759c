#!/bin/sh
# Fails, naming the files, when a C or C++ source of the project is not laid
# out as .clang-format says.  Fix with: clang-format -i --style=file FILE...
set -eu
cd "$(dirname "$0")/.."
git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | grep -v /corpus/ |
    xargs clang-format --style=file --dry-run --Werror
