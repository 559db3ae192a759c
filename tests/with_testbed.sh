#!/bin/bash
# with_testbed.sh <statedir> <product-root> [--replicated] -- <command> ...
#
# Brings up the directory test bed, runs the command with KX_TESTBED_ENV
# naming the test bed's description, and stops the test bed again however
# the command ends.  The product files that the test bed wrote below
# <product-root> are removed afterwards, so that the next test starts from
# an empty product root.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
testbed=$here/../scripts/testbed.sh

statedir=$1
root=$2
shift 2
flags=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    flags+=("$1")
    shift
done
[ "${1:-}" = "--" ] && shift

cleanup() {
    "$testbed" stop "$statedir" >/dev/null 2>&1 || true
    rm -rf "$root/etc/opt/QRLNkx" "$root/var/opt/QRLNkx"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

rm -rf "$statedir"
"$testbed" start "$statedir" "$root" "${flags[@]}" >/dev/null
KX_TESTBED_ENV=$statedir/env "$@"
