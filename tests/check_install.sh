#!/bin/bash
# The library and its development files, installed into a staging directory,
# export exactly what the headers declare, and serve a C program of another
# project built through pkg-config and through CMake's find_package(kxadmin);
# both builds run.
#   check_install.sh <build dir> <work dir>
set -euo pipefail
BUILD=$1 WORK=$2 SRC=$(cd "$(dirname "$0")/c_api" && pwd)
STAGE=$WORK/stage
rm -rf "$WORK" && mkdir -p "$WORK"
for component in lib dev; do
    DESTDIR=$STAGE cmake --install "$BUILD" --component $component >/dev/null
done
prefix=$STAGE$(sed -n 's/^prefix=//p' "$BUILD/kxadmin.pc")
"$(dirname "$0")/check_exports.sh" "$(find "$prefix" -name libkxadmin.so.1)" \
    "$(dirname "$(find "$prefix" -name admin.h)")"
pc=$(find "$prefix" -name kxadmin.pc)
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") PKG_CONFIG_SYSROOT_DIR=$STAGE \
    pkg-config --cflags --libs kxadmin)
echo "pkg-config: $flags"
cc -o "$WORK/by-pkg-config" "$SRC/headers.c" $flags
LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name libkxadmin.so.1)") "$WORK/by-pkg-config"
cmake -S "$SRC" -B "$WORK/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$WORK/cmake" >/dev/null
"$WORK/cmake/consumer"
echo "both consumers ran"
