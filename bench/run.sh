#!/bin/bash
# run.sh - measures what the library and kxcrypto cost against their
# baselines, on a throw-away directory of the test bed.
#
#   bench/run.sh [--quick]
#
# Builds in build-bench/ (Release, product paths below
# build-bench/product-root), brings up the test bed, and runs:
#   - kx_bench (Google Benchmark): one lookup against one raw search; the
#     status database listings with 10,000 and 100,000 records; iterating
#     every configuration with 1,000, 10,000 and 50,000 tokens in both merge
#     modes against one raw subtree search;
#   - kx_bench on the paths of a login, with 10,000 users, logical and raw
#     tokens: token id translation, a user with its status record, a screen
#     configuration, and the id lists of a user with 100 logical tokens, each
#     against the raw searches that answer the same question, with the
#     searches per call counted from slapd's statistics log;
#   - a login's update of the user status database (fetch and store a
#     record) on the library's locked handles, against the same fetch and
#     store on a plain ndbm handle;
#   - whole processes: kxcrypto's display and export against ldapsearch
#     reading the same entry with the same bind, and a batch edit of 1,000
#     lines against ldapmodify applying 1,000 equivalent modifications, in
#     five interleaved rounds, with the directory operations per line
#     counted from slapd's statistics log.
# The figures and their ratios are written to build-bench/results.md.
# --quick stops at 10,000 tokens and repeats less.
set -euo pipefail

cd "$(dirname "$0")/.."
SRC=$(pwd)
BUILD=$SRC/build-bench
ROOT=$BUILD/product-root
STATE=$BUILD/testbed
OUT=$BUILD/results
QUICK=0
[ "${1:-}" = "--quick" ] && QUICK=1

cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
    -DKX_BUILD_BENCHMARKS=ON -DKX_PRODUCT_ROOT="$ROOT" >/dev/null
cmake --build "$BUILD" -j2 --target kx_bench kxcrypto kx_mkdbm >/dev/null

rm -rf "$OUT"
mkdir -p "$OUT"
trap '"$SRC/scripts/testbed.sh" stop "$STATE" >/dev/null 2>&1 || true' EXIT
rm -rf "$STATE"
KX_MKDBM=$BUILD/kx_mkdbm "$SRC/scripts/testbed.sh" start "$STATE" "$ROOT" >/dev/null
# shellcheck disable=SC1091
. "$STATE/env"

KXCRYPTO=$BUILD/kxcrypto
LDAP_AUTH=(-x -H "$KX_LDAP_URI" -D "$KX_ADMIN_DN" -w "$KX_ADMIN_PW")
RAW="kxName=rawTokens,$KX_SUBTREE"

"$KXCRYPTO" -a enc_up_type=ARCFOUR mode=hard >/dev/null

echo "== in-process: lookup, status databases"
# Repeated and interleaved, so that a change of load on the machine weighs on
# a measure and its baseline alike; the report takes the medians.
BENCH_FLAGS=(--benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
    --benchmark_report_aggregates_only=true)
KX_BENCH_TMP=$BUILD "$BUILD/bench/kx_bench" --benchmark_min_time=0.5 "${BENCH_FLAGS[@]}" \
    --benchmark_out="$OUT/bench-base.json" --benchmark_out_format=json >/dev/null

# ---- whole processes ---------------------------------------------------------

now_ns() { date +%s%N; }

# mean wall time in microseconds of running "$@" N times
time_runs() {
    local n=$1 start end
    shift
    start=$(now_ns)
    for _ in $(seq 1 "$n"); do
        "$@" >/dev/null 2>&1
    done
    end=$(now_ns)
    echo $(((end - start) / n / 1000))
}

RUNS=300
[ "$QUICK" = 1 ] && RUNS=60
echo "== whole process: display and export ($RUNS runs each)"
# The same bind (administrator), the same entry, interleaved in ten rounds
# (a line each: display, export, ldapsearch); the report takes the medians,
# so that a change of load on the machine during one round weighs on no
# figure.
: >"$OUT/rounds.txt"
for _ in $(seq 1 10); do
    d=$(time_runs $((RUNS / 10)) "$KXCRYPTO")
    x=$(time_runs $((RUNS / 10)) "$KXCRYPTO" -o)
    b=$(time_runs $((RUNS / 10)) ldapsearch "${LDAP_AUTH[@]}" -LLL -b "$RAW" \
        '(&(kxID=default.token)(objectclass=kxCrypto))')
    echo "$d $x $b" >>"$OUT/rounds.txt"
done

echo "== whole process: batch edit of 1,000 lines"
batch=$OUT/batch.txt
mods=$OUT/batch.ldif
: >"$batch"
: >"$mods"
for i in $(seq 1 1000); do
    if [ $((i % 2)) = 0 ]; then m=hard; else m=soft; fi
    echo "tokenID=default,enc_up_type=ARCFOUR,mode=$m" >>"$batch"
    printf 'dn: kxID=default.token,%s\nchangetype: modify\nreplace: kxCryptoString\nkxCryptoString: enc_up_type=ARCFOUR,mode=%s\n\n' \
        "$RAW" "$m" >>"$mods"
done
count_ops() {
    # operations of each kind in the part of the log written since offset $1
    tail -c +"$(($1 + 1))" "$KX_SLAPD_LOG" | awk '
        / SRCH base=/ {s++} / MOD dn=/ {m++} / ADD dn=/ {a++} / DEL dn=/ {d++} / BIND dn=.* method=/ {b++}
        END {printf "srch=%d mod=%d add=%d del=%d bind=%d\n", s, m, a, d, b}'
}
# Five interleaved rounds; the operations are counted in the first.
: >"$OUT/batch-rounds.txt"
for round in 1 2 3 4 5; do
    sleep 1
    off=$(stat -c %s "$KX_SLAPD_LOG")
    s=$(now_ns)
    "$KXCRYPTO" -e -f "$batch" >"$OUT/batch.out" 2>&1
    e=$(now_ns)
    sleep 1
    [ "$round" = 1 ] && echo "kxcrypto_ms=$(((e - s) / 1000000)) $(count_ops "$off")" >"$OUT/batch-kxcrypto.txt"
    kx=$(((e - s) / 1000))
    off=$(stat -c %s "$KX_SLAPD_LOG")
    s=$(now_ns)
    ldapmodify "${LDAP_AUTH[@]}" -f "$mods" >/dev/null
    e=$(now_ns)
    sleep 1
    [ "$round" = 1 ] && echo "ldapmodify_ms=$(((e - s) / 1000000)) $(count_ops "$off")" >"$OUT/batch-ldapmodify.txt"
    echo "$kx $(((e - s) / 1000))" >>"$OUT/batch-rounds.txt"
done
tail -n 3 "$OUT/batch.out" >"$OUT/batch-summary.txt"

# ---- the paths of a login ---------------------------------------------------------

echo "== in-process: token id translation, users, screens (10,000 users)"
USERS=10000
[ "$QUICK" = 1 ] && USERS=2000
ldif=$OUT/users.ldif
LT="kxName=logicalTokens,$KX_SUBTREE"
US="kxName=users,$KX_SUBTREE"
python3 - "$USERS" "$US" "$LT" "$RAW" >"$ldif" <<'PY'
import sys
n, users, logical, raw = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
out = []
for i in range(n):
    out.append(f"dn: kxID=bench.r{i},{raw}\nobjectClass: kxRawToken\nkxID: bench.r{i}\nkxTokenType: user\n")
    out.append(f"dn: kxID=user.l{i},{logical}\nobjectClass: kxLogicalToken\nobjectClass: kxXconfig\n"
               f"kxID: user.l{i}\nkxRawTokenIDs: bench.r{i}\nkxScreenResolution: 1280x1024\nkxScreenDimRows: 1\n"
               f"kxScreenDimColumns: 2\nkxScreenOrdering: 0,1\n")
    out.append(f"dn: kxID=bench.u{i},{users}\nobjectClass: kxUser\nkxID: bench.u{i}\nkxName: Bench User {i}\n"
               f"kxLogicalTokenIDs: user.l{i}\n")
out.append(f"dn: kxID=bulk.r,{raw}\nobjectClass: kxRawToken\nkxID: bulk.r\n")
for j in range(100):
    out.append(f"dn: kxID=user.bulk{j},{logical}\nobjectClass: kxLogicalToken\nkxID: user.bulk{j}\nkxRawTokenIDs: bulk.r\n")
out.append(f"dn: kxID=bulk.user,{users}\nobjectClass: kxUser\nkxID: bulk.user\nkxName: Bulk User\n"
           + "".join(f"kxLogicalTokenIDs: user.bulk{j}\n" for j in range(100)))
print("\n".join(out))
PY
ldapadd "${LDAP_AUTH[@]}" -f "$ldif" >/dev/null
rm -f "$ldif"
KX_BENCH_USERS=$USERS KX_SLAPD_LOG=$KX_SLAPD_LOG "$BUILD/bench/kx_bench" --benchmark_min_time=0.5 "${BENCH_FLAGS[@]}" \
    --benchmark_out="$OUT/bench-login.json" --benchmark_out_format=json >/dev/null

# ---- iterating every configuration ------------------------------------------------

"$KXCRYPTO" -d >/dev/null
sizes=(1000 10000 50000)
[ "$QUICK" = 1 ] && sizes=(1000 10000)
loaded=0
for n in "${sizes[@]}"; do
    echo "== in-process: iteration over $n tokens"
    ldif=$OUT/tokens-$n.ldif
    : >"$ldif"
    for i in $(seq $((loaded + 1)) "$n"); do
        printf 'dn: kxID=bench%06d.tok,%s\nobjectClass: kxRawToken\nobjectClass: kxCrypto\nkxID: bench%06d.tok\nkxCryptoString: enc_up_type=ARCFOUR,mode=hard\n\n' \
            "$i" "$RAW" "$i" >>"$ldif"
    done
    ldapadd "${LDAP_AUTH[@]}" -f "$ldif" >/dev/null
    rm -f "$ldif"
    loaded=$n
    KX_BENCH_TOKENS=$n "$BUILD/bench/kx_bench" --benchmark_min_time=1 "${BENCH_FLAGS[@]}" \
        --benchmark_out="$OUT/bench-iterate-$n.json" --benchmark_out_format=json >/dev/null
done

python3 "$SRC/bench/report.py" "$OUT" | tee "$BUILD/results.md"
