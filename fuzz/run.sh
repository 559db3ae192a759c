#!/bin/bash
# run.sh - builds the fuzz targets with clang and runs each one for a while.
#
#   fuzz/run.sh [seconds per target]     (default 30)
#
# New inputs that raise coverage go to build-fuzz/corpus/<target> (the seeds
# in fuzz/corpus/ are only read); a crash stops the run with status 1 and
# leaves the input as build-fuzz/crash-<target>-*.
set -euo pipefail

cd "$(dirname "$0")/.."
SRC=$(pwd)
BUILD=$SRC/build-fuzz
SECONDS_EACH=${1:-30}
TARGETS=(fuzz_parse_args fuzz_check_keyvalue fuzz_crypto_string fuzz_admin_config
    fuzz_dsd_config fuzz_status_record fuzz_small_parsers)

cmake -S "$SRC" -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DKX_FUZZ=ON -DBUILD_TESTING=OFF -DKX_PRODUCT_ROOT="$BUILD/product-root" >/dev/null
cmake --build "$BUILD" -j2 --target "${TARGETS[@]}" >/dev/null

status=0
for t in "${TARGETS[@]}"; do
    work=$BUILD/corpus/$t
    mkdir -p "$work"
    echo "== $t (${SECONDS_EACH}s)"
    if ! "$BUILD/fuzz/$t" -max_total_time="$SECONDS_EACH" -max_len=4096 -close_fd_mask=3 \
        -artifact_prefix="$BUILD/crash-$t-" -print_final_stats=1 \
        "$work" "$SRC/fuzz/corpus/$t" >"$BUILD/$t.log" 2>&1; then
        echo "!! $t failed; see $BUILD/$t.log"
        tail -n 40 "$BUILD/$t.log"
        status=1
    else
        grep -E '^stat::number_of_executed_units' "$BUILD/$t.log" || true
    fi
done
exit $status
