#!/bin/sh
# build-packages.sh <build dir>
#
# Builds the Debian packages libkxadmin1, libkxadmin-dev and kxcrypto from a
# release build with the real product paths, compiled with Debian's hardening
# flags, without the tests and with every compiler warning an error, into
# <build dir>, and checks them with lintian (no error and no warning may
# remain).
set -eu
[ $# -eq 1 ] || { echo "usage: build-packages.sh <build dir>" >&2; exit 2; }
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$1

# CMake reads CFLAGS, CXXFLAGS and LDFLAGS but not CPPFLAGS.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DCMAKE_INSTALL_PREFIX=/usr -DKX_PRODUCT_ROOT= -DKX_BUNDLE_CXX_RUNTIME=OFF >/dev/null
cmake --build "$BUILD" -j2 >/dev/null
rm -f "$BUILD"/*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
# CPack (CMake 3.25) gives the library's package maintainer scripts that
# call ldconfig; its ldconfig trigger does that job, as Debian wants.
lib=$(ls "$BUILD"/libkxadmin1_*.deb)
rm -rf "$BUILD/deb-lib"
dpkg-deb -R "$lib" "$BUILD/deb-lib"
rm -f "$BUILD/deb-lib/DEBIAN/postinst" "$BUILD/deb-lib/DEBIAN/postrm"
dpkg-deb --root-owner-group -b "$BUILD/deb-lib" "$lib" >/dev/null
rm -rf "$BUILD/deb-lib"
ls "$BUILD"/*.deb
lintian --fail-on error,warning "$BUILD"/*.deb
