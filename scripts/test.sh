#!/bin/bash
# Builds the project and runs the whole test suite twice: in a normal build
# (build/) and in a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/).  The normal build's tests run while the sanitizer build
# compiles.  With --quick only the normal build is tested; with --thread
# only the tests of threads, in a ThreadSanitizer build (build-tsan/); with
# --chaos only the chaos test (writers at once while the directory server
# is killed and restarted, about a minute), which the other runs leave out.
#
# Each build places every product path below a directory of its own in the
# system's temporary folder (product_root), so the tests never read or
# write the real /etc/opt/QRLNkx or /opt/QRLNkx, and their runs as other
# users reach the product files wherever the checkout lies (root's home
# directory, which nobody else may enter, included).
set -euo pipefail

cd "$(dirname "$0")/.."
SRC=$(pwd)
JOBS=${JOBS:-2}

# The product root of a build directory: named after it, in ${TMPDIR:-/tmp}.
product_root() {
    echo "${TMPDIR:-/tmp}/kxadmin-tests.$(printf '%s' "$1" | md5sum | cut -c1-12)/product-root"
}

build() {
    local dir=$SRC/$1
    shift
    echo "==== building $dir"
    local configure=() targets=()
    while [ $# -gt 0 ] && [ "$1" != --target ]; do
        configure+=("$1")
        shift
    done
    [ $# -gt 0 ] && targets=("$@")
    cmake -S "$SRC" -B "$dir" -DBUILD_TESTING=ON -DKX_PRODUCT_ROOT="$(product_root "$dir")" "${configure[@]}" \
        >/dev/null
    cmake --build "$dir" -j "$JOBS" "${targets[@]}" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; return 1; }
}

# Runs a build's tests; the output goes to <build>/ctest.log.  Any sanitizer
# report ends the test that caused it with a failure.
run_tests() {
    ASAN_OPTIONS=abort_on_error=0:halt_on_error=1:detect_leaks=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        ctest --test-dir "$SRC/$1" --output-on-failure -j "$JOBS" -LE chaos >"$SRC/$1/ctest.log" 2>&1
}

report() {
    echo "==== tests of $1"
    cat "$SRC/$1/ctest.log"
}

if [ "${1:-}" = "--thread" ]; then
    build build-tsan -DKX_SANITIZE=thread --target kx_ds_tests kx_unit_tests kx_mkdbm
    status=0
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$SRC/build-tsan" --output-on-failure -R 'directory.threads|unit.threads' \
        >"$SRC/build-tsan/ctest.log" 2>&1 || status=$?
    report build-tsan
    exit $status
fi

build build
if [ "${1:-}" = "--chaos" ]; then
    ctest --test-dir "$SRC/build" --output-on-failure -V -L chaos
    exit
fi
if [ "${1:-}" = "--quick" ]; then
    status=0
    run_tests build || status=$?
    report build
    exit $status
fi

run_tests build &
normal=$!
asan=0
build build-asan -DKX_SANITIZE=ON && run_tests build-asan || asan=1
status=0
wait $normal || status=1
report build
[ -f build-asan/ctest.log ] && report build-asan
[ $status = 0 ] && [ $asan = 0 ]
