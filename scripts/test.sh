#!/bin/bash
# Builds the project and runs the whole test suite, twice: in a normal build
# (build/) and in a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/).  With --quick only the normal build is tested.
#
# Both builds place every product path below <build>/product-root, so the
# tests never read or write the real /etc/opt/QRLNkx or /opt/QRLNkx.
set -euo pipefail

cd "$(dirname "$0")/.."
SRC=$(pwd)
JOBS=${JOBS:-2}

variants=(normal asan)
if [ "${1:-}" = "--quick" ]; then
    variants=(normal)
fi

run_variant() {
    local name=$1 dir flags=()
    case $name in
    normal) dir=$SRC/build ;;
    asan)   dir=$SRC/build-asan; flags=(-DKX_SANITIZE=ON) ;;
    esac
    echo "==== $name build in $dir"
    cmake -S "$SRC" -B "$dir" -DBUILD_TESTING=ON \
        -DKX_PRODUCT_ROOT="$dir/product-root" "${flags[@]}"
    cmake --build "$dir" -j "$JOBS"
    # Any sanitizer report ends the test that caused it with a failure.
    ASAN_OPTIONS=abort_on_error=0:halt_on_error=1:detect_leaks=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        ctest --test-dir "$dir" --output-on-failure -j "$JOBS"
}

for v in "${variants[@]}"; do
    run_variant "$v"
done
