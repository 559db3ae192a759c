#!/bin/bash
# Runs every kxcrypto operation under valgrind's memcheck against the test
# bed: any invalid access, use of uninitialised memory or leaked block
# (definitely or indirectly lost) fails the test.
#
#   valgrind_kxcrypto.sh <kxcrypto>
# (run through with_testbed.sh, which provides KX_TESTBED_ENV)
set -uo pipefail

KXCRYPTO=$1
# shellcheck disable=SC1090
. "$KX_TESTBED_ENV"
WORK=$(mktemp -d /tmp/kxvalgrind.XXXXXX)
chmod 1777 "$WORK"
trap 'rm -rf "$WORK"' EXIT

failures=0
# run <name> <standard input> [--nobody] <command> ...
run() {
    local name=$1 input=$2 as=()
    shift 2
    if [ "$1" = --nobody ]; then
        as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        shift
    fi
    printf "%s" "$input" | "${as[@]}" valgrind --quiet --tool=memcheck --leak-check=full \
        --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
        --track-origins=yes --error-exitcode=99 --log-file="$WORK/$name.%p.log" "$@" >"$WORK/$name.out" 2>&1
    local rc=$?
    local reports
    reports=$(cat "$WORK/$name".*.log 2>/dev/null)
    if [ "$rc" = 99 ] || [ -n "$reports" ] || ! ls "$WORK/$name".*.log >/dev/null 2>&1; then
        echo "FAILED: $name ($*)"
        echo "$reports"
        cat "$WORK/$name.out"
        failures=$((failures + 1))
    else
        echo "ok: $name (status $rc): $(head -c 120 "$WORK/$name.out" | head -n 1)"
    fi
}

printf 'tokenID=default,enc_up_type=ARCFOUR,mode=hard\n\ntokenID=other,mode=soft\ntokenID=default.token,mode=soft,auth_down_type=simple\n' >"$WORK/batch"

run display-empty "" "$KXCRYPTO"
run add "" "$KXCRYPTO" -a enc_up_type=ARCFOUR mode=hard
run add-exists "" "$KXCRYPTO" -a mode=soft
run display "" "$KXCRYPTO"
run display-nonroot "" --nobody "$KXCRYPTO"
run modify "" "$KXCRYPTO" -m mode=default enc_down_type=ARCFOUR
run modify-bad "" "$KXCRYPTO" -m colour=red
run export "" "$KXCRYPTO" -o
run export-file "" "$KXCRYPTO" -o -f "$WORK/export.csv"
run export-exists "" "$KXCRYPTO" -o -f "$WORK/export.csv"
run delete "" "$KXCRYPTO" -d
run delete-missing "" "$KXCRYPTO" -d
run batch-file "" "$KXCRYPTO" -e -f "$WORK/batch"
run batch-stdin "tokenID=default,mode=hard
tokenID=default,x
" "$KXCRYPTO" -e
run batch-missing "" "$KXCRYPTO" -e -f "$WORK/none"
run reimport "" "$KXCRYPTO" -e -f "$WORK/export.csv"
run help "" "$KXCRYPTO" -h
run usage-error "" "$KXCRYPTO" -a -d
run add-defaults "" "$KXCRYPTO" -d
run nonroot-refused "" --nobody "$KXCRYPTO" -d

echo "$failures operations failed under memcheck"
[ "$failures" = 0 ]
