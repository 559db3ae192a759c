#!/bin/sh
# Installs everything the build, the tests, the benchmarks and the demo need
# on a Debian machine. Safe to run again: apt-get skips what is there.
set -eu

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi

export DEBIAN_FRONTEND=noninteractive

PACKAGES="
    build-essential
    cmake
    pkg-config
    libldap-dev
    libgdbm-compat-dev
    slapd
    ldap-utils
    googletest
    libgtest-dev
    libgmock-dev
    libbenchmark-dev
    gettext
    locales
    man-db
    util-linux
    clang
    clang-format
    libclang-rt-dev
    valgrind
    python3
    gcovr
    lintian
    dpkg-dev
    debhelper
    mmdebstrap
    iproute2
    openssl
"

$SUDO apt-get update
# slapd asks configuration questions on install; the project never uses the
# system instance, so let debconf take its defaults.
$SUDO apt-get install -y --no-install-recommends \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
    $PACKAGES
# And what building the Debian packages needs (debian/control).
cd "$(dirname "$0")/.."
$SUDO apt-get build-dep -y --no-install-recommends ./
