#!/bin/sh
# build-packages.sh <build dir>
#
# Builds the Debian packages libkxadmin1, libkxadmin-dev and kxcrypto and
# their debug symbol packages with dpkg-buildpackage (debian/: dh with its
# CMake build system; the real product paths, Debian's hardening flags, no
# tests, every compiler warning an error) from a copy of the checkout's
# files in <build dir>/src, so that the checkout and its parent stay as they
# are; the packages land in <build dir>. lintian --pedantic then checks them:
# no error and no warning may remain, and every informational tag left has
# an override that says why.
set -eu
[ $# -eq 1 ] || { echo "usage: build-packages.sh <build dir>" >&2; exit 2; }
SRC=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
BUILD=$(cd "$1" && pwd)

rm -rf "$BUILD/src" "$BUILD"/*.deb "$BUILD"/*.changes "$BUILD"/*.buildinfo
mkdir -p "$BUILD/src"
(cd "$SRC" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$BUILD/src")
(cd "$BUILD/src" && dpkg-buildpackage -us -uc -b >"$BUILD/dpkg-buildpackage.log" 2>&1) ||
    { tail -n 40 "$BUILD/dpkg-buildpackage.log"; exit 1; }
ls "$BUILD"/*.deb
lintian --pedantic --fail-on error,warning "$BUILD"/*.changes
