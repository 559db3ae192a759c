#!/bin/bash
# check_package.sh <source dir> <work dir>
#
# Builds the Debian package of the default build (the real product paths),
# then installs it as on a fresh machine, but inside a private mount
# namespace whose /usr, /etc, /var and /opt are overlays with their upper
# layers below <work dir>: nothing reaches the machine's own file system.
# There it checks where the files went, brings up the test bed's directory
# at the real product paths, runs kxcrypto against it, and removes the
# package again.
set -euo pipefail

SRC=$(cd "$1" && pwd)
mkdir -p "$2"
WORK=$(cd "$2" && pwd)
BUILD=$WORK/build

if [ "${KX_IN_NAMESPACE:-}" != 1 ]; then
    cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr -DKX_PRODUCT_ROOT= >/dev/null
    cmake --build "$BUILD" -j2 >/dev/null
    (cd "$BUILD" && cpack -G DEB >/dev/null)
    exec env KX_IN_NAMESPACE=1 unshare --mount --propagation private "$0" "$SRC" "$WORK"
fi

# ---- inside the namespace ----------------------------------------------------
DEB=$(ls "$BUILD"/kxadmin_*.deb)
for dir in usr etc var opt; do
    mkdir -p "$WORK/overlay/$dir/upper" "$WORK/overlay/$dir/work" "/$dir"
    mount -t overlay overlay \
        -o "lowerdir=/$dir,upperdir=$WORK/overlay/$dir/upper,workdir=$WORK/overlay/$dir/work" "/$dir"
done

fail() {
    echo "FAILED: $*"
    exit 1
}

echo "== installing $(basename "$DEB")"
dpkg -i "$DEB" >"$WORK/dpkg-install.log" 2>&1 || { cat "$WORK/dpkg-install.log"; fail "dpkg -i"; }
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
for f in /usr/bin/kxcrypto "/usr/lib/$multiarch/libkxadmin.so.1" \
    "/usr/lib/$multiarch/libkxadmin.so.1.0.0" /usr/include/kxadmin/admin.h \
    /usr/include/kxadmin/kxerrno.h /usr/include/kxadmin/kx_dbm.h /etc/ldap/schema/kx.schema \
    /usr/share/kxadmin/kx_libkxadmin.pot; do
    [ -e "$f" ] || fail "$f is not installed"
done
man -w kxcrypto >/dev/null 2>&1 || fail "man kxcrypto finds no page"
soname=$(objdump -p "/usr/lib/$multiarch/libkxadmin.so.1.0.0" | awk '/SONAME/ {print $2}')
[ "$soname" = libkxadmin.so.1 ] || fail "soname is $soname"
ldd /usr/bin/kxcrypto | grep -Eq "libkxadmin.so.1 => (/usr)?/lib/$multiarch/libkxadmin.so.1" ||
    fail "kxcrypto does not load the installed library"
echo "installed: $(dpkg-query -W -f '${Package} ${Version}' kxadmin)"

echo "== kxcrypto against a directory at the real product paths"
STATE=$WORK/testbed
cleanup() { "$SRC/scripts/testbed.sh" stop "$STATE" >/dev/null 2>&1 || true; }
trap cleanup EXIT
"$SRC/scripts/testbed.sh" start "$STATE" / >/dev/null
[ -f /etc/opt/QRLNkx/kxadmin.conf ] || fail "the test bed wrote no /etc/opt/QRLNkx/kxadmin.conf"
out=$(kxcrypto -h) || fail "kxcrypto -h ended with $?"
[ "$(printf '%s\n' "$out" | head -n 1)" = "Usage:" ] || fail "kxcrypto -h printed: $out"
kxcrypto -a enc_up_type=ARCFOUR mode=hard >/dev/null || fail "kxcrypto -a"
[ "$(kxcrypto -o)" = "tokenID=default.token,enc_up_type=ARCFOUR,mode=hard" ] || fail "kxcrypto -o"
kxcrypto -d >/dev/null || fail "kxcrypto -d"
cleanup
trap - EXIT

echo "== removing the package"
dpkg -r kxadmin >"$WORK/dpkg-remove.log" 2>&1 || { cat "$WORK/dpkg-remove.log"; fail "dpkg -r"; }
[ ! -e /usr/bin/kxcrypto ] || fail "/usr/bin/kxcrypto stayed after removal"
echo "package installs, runs and removes cleanly"
