#!/bin/bash
# demo.sh - sets everything up and shows kxcrypto at work.
#
# Installs what is missing (scripts/install-deps.sh; skip with --no-install),
# builds the project in build-demo/ with every product path moved below
# build-demo/product-root, brings up a throw-away directory server on
# 127.0.0.1 with the test bed, runs a short session of kxcrypto against it
# (add, display, modify, export, delete) and stops the directory again.
# Nothing is written outside build-demo/ and /tmp.
set -euo pipefail

cd "$(dirname "$0")/.."
SRC=$(pwd)
BUILD=$SRC/build-demo
ROOT=$BUILD/product-root
STATE=$BUILD/testbed

if [ "${1:-}" != "--no-install" ]; then
    bash "$SRC/scripts/install-deps.sh" >/dev/null
fi

echo "== building in $BUILD"
cmake -S "$SRC" -B "$BUILD" -DBUILD_TESTING=ON -DKX_PRODUCT_ROOT="$ROOT" >/dev/null
cmake --build "$BUILD" -j2 --target kxcrypto kx_mkdbm >/dev/null

stop_directory() {
    echo "== stopping the directory server"
    "$SRC/scripts/testbed.sh" stop "$STATE" >/dev/null 2>&1 || true
}
trap stop_directory EXIT

echo "== starting a directory server for o=kxdata on 127.0.0.1"
rm -rf "$STATE"
KX_MKDBM=$BUILD/kx_mkdbm "$SRC/scripts/testbed.sh" start "$STATE" "$ROOT" >/dev/null

run() {
    echo
    echo "\$ $*"
    # The program name the tool prints is the name it was run by.
    (cd "$BUILD" && "$@" 2>&1) || echo "(exit status $?)"
}

run ./kxcrypto -a enc_up_type=ARCFOUR mode=hard
run ./kxcrypto
run ./kxcrypto -m enc_down_type=ARCFOUR auth_down_type=simple mode=default
run ./kxcrypto
run ./kxcrypto -o
run ./kxcrypto -d
run ./kxcrypto -o
echo
