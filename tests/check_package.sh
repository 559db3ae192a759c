#!/bin/bash
# check_package.sh <source dir> <work dir>
#
# Builds the Debian packages of the default build (the real product paths)
# with scripts/build-packages.sh (dpkg-buildpackage, lintian --pedantic),
# debug symbol packages included, then installs them as
# on a fresh machine, but inside a private mount namespace whose /usr, /etc,
# /var and /opt are overlays with their upper layers below <work dir>:
# nothing reaches the machine's own file system.  There it checks where the
# files went, runs the test suites beside the installed packages, brings up
# the test bed's directory at the real product paths, runs kxcrypto and the
# -dev package's example against it, and removes the packages again.
set -euo pipefail

SRC=$(cd "$1" && pwd)
mkdir -p "$2"
WORK=$(cd "$2" && pwd)
BUILD=$WORK/build

if [ "${KX_IN_NAMESPACE:-}" != 1 ]; then
    "$SRC/scripts/build-packages.sh" "$BUILD"
    # A default build (the real product paths) of the tests, run below.
    cmake -S "$SRC" -B "$WORK/default" -DBUILD_TESTING=ON >/dev/null
    cmake --build "$WORK/default" -j 2 >"$WORK/default.log" 2>&1 ||
        { cat "$WORK/default.log"; exit 1; }
    # Every run starts from the machine's own file system, not from what an
    # earlier run of the same work dir left in the overlays.
    rm -rf "$WORK/overlay" "$WORK/testbed"
    exec env KX_IN_NAMESPACE=1 unshare --mount --net --propagation private "$0" "$SRC" "$WORK"
fi

# ---- inside the namespace ----------------------------------------------------
# A network of its own (loopback only, port 389 free) and a file system
# whose changes stay below <work dir>.
ip link set lo up
for dir in usr etc var opt run; do
    mkdir -p "$WORK/overlay/$dir/upper" "$WORK/overlay/$dir/work" "/$dir"
    mount -t overlay overlay \
        -o "lowerdir=/$dir,upperdir=$WORK/overlay/$dir/upper,workdir=$WORK/overlay/$dir/work" \
        "/$dir"
done

fail() {
    echo "FAILED: $*"
    exit 1
}

# Shows a command's output file and fails when the command failed.
run() {
    local out=$1 what=$2
    shift 2
    "$@" >"$out" 2>&1 || { cat "$out"; fail "$what"; }
}

echo "== installing the packages"
run "$WORK/dpkg-install.log" "dpkg -i" dpkg -i "$BUILD"/*.deb
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
lib=/usr/lib/$multiarch
for f in /usr/bin/kxcrypto /usr/sbin/kxadmin \
    "$lib/libkxadmin.so.1" "$lib/libkxadmin.so.1.0.0" "$lib/libkxadmin.so" \
    /usr/include/kxadmin/admin.h /usr/include/kxadmin/kx_dbm.h "$lib/pkgconfig/kxadmin.pc" \
    "$lib/cmake/kxadmin/kxadminConfig.cmake" /etc/ldap/schema/kx.schema /etc/ldap/schema/kx.ldif \
    /usr/share/kxcrypto/kx-database.ldif /usr/share/kxcrypto/kx-base.ldif \
    /usr/share/kxcrypto/kx-provider.ldif /usr/share/kxcrypto/kx-consumer.ldif \
    /usr/share/kxcrypto/kx-tls.ldif \
    /usr/share/doc/kxcrypto/examples/kxadmin.conf \
    /usr/share/doc/kxcrypto/examples/kxdsd.conf.replica \
    /usr/share/bash-completion/completions/kxcrypto \
    /usr/share/locale/fr/LC_MESSAGES/kx_libkxadmin.mo \
    /opt/QRLNkx/lib/locale/fr/LC_MESSAGES/kx_libkxadmin.mo; do
    [ -e "$f" ] || fail "$f is not installed"
done
for page in kxcrypto kxadmin libkxadmin.3; do
    man -w $page >/dev/null 2>&1 || fail "man finds no page $page"
done
# (Conffiles, sonames, copyright and changelog: debhelper and lintian.)
"$SRC/tests/check_exports.sh" "$lib/libkxadmin.so.1" /usr/include/kxadmin ||
    fail "the exported names"
ldd /usr/bin/kxcrypto | grep -Eq "libkxadmin.so.1 => (/usr)?/lib/$multiarch/libkxadmin.so.1" ||
    fail "kxcrypto does not load the installed library"
[ "$(echo $(pkg-config --cflags --libs kxadmin))" = "-I/usr/include/kxadmin -lkxadmin" ] ||
    fail "pkg-config kxadmin gives: $(pkg-config --cflags --libs kxadmin)"
bash -c '. /usr/share/bash-completion/completions/kxcrypto && complete -p kxcrypto' >/dev/null ||
    fail "the bash completion of kxcrypto does not load"
dpkg-query -W -f '${Package} ${Version}\n' libkxadmin1 libkxadmin-dev kxcrypto

echo "== the test suites with the packages installed"
# The whole suite of the build that scripts/test.sh made (its own product
# root), when there is one.
if [ -f "$SRC/build/CTestTestfile.cmake" ]; then
    run "$WORK/suite.log" "the suite with the packages" \
        ctest --test-dir "$SRC/build" -LE chaos --output-on-failure
fi
# A default build's tests leave the real product paths as they were.
paths() {
    { find /etc/opt /opt /var/opt /bin/pkginfo -printf '%p %s %m %T@\n' 2>/dev/null || :; } | sort
}
before=$(paths)
run "$WORK/default-suite.log" "a default build's tests" \
    ctest --test-dir "$WORK/default" --output-on-failure
[ "$(paths)" = "$before" ] || { diff <(echo "$before") <(paths); fail "a default build's tests"; }

echo "== kxcrypto against a directory at the real product paths"
STATE=$WORK/testbed
cleanup() { "$SRC/scripts/testbed.sh" stop "$STATE" >/dev/null 2>&1 || true; }
trap cleanup EXIT
# A slapd run from cn=config, set up with the LDIF files of the package.
KX_SCHEMA_LDIF=/etc/ldap/schema/kx.ldif KX_DATABASE_LDIF=/usr/share/kxcrypto/kx-database.ldif \
    KX_BASE_LDIF=/usr/share/kxcrypto/kx-base.ldif \
    "$SRC/scripts/testbed.sh" start "$STATE" / --cn-config >/dev/null
[ -f /etc/opt/QRLNkx/kxadmin.conf ] || fail "the test bed wrote no /etc/opt/QRLNkx/kxadmin.conf"
kxadmin check >"$WORK/check.out" || { cat "$WORK/check.out"; fail "kxadmin check"; }
out=$(kxcrypto -h) || fail "kxcrypto -h ended with $?"
[ "$(printf '%s\n' "$out" | head -n 1)" = "Usage:" ] || fail "kxcrypto -h printed: $out"
kxcrypto -a enc_up_type=ARCFOUR mode=hard >/dev/null || fail "kxcrypto -a"
[ "$(kxcrypto -o)" = "tokenID=default.token,enc_up_type=ARCFOUR,mode=hard" ] || fail "kxcrypto -o"
# The example of libkxadmin-dev, built through pkg-config, logs a card's
# user in: the user, the configuration in force and the status record.
(set -a; . "$STATE/env"
    b=$KX_SUBTREE
    printf '%s\n' "dn: kxID=u1,kxName=users,$b" objectClass:\ kxUser kxID:\ u1 kxName:\ Ann \
        kxLogicalTokenIDs:\ user.u1 "" "dn: kxID=user.u1,kxName=logicalTokens,$b" \
        objectClass:\ kxLogicalToken kxID:\ user.u1 kxRawTokenIDs:\ card.1 "" \
        "dn: kxID=card.1,kxName=rawTokens,$b" objectClass:\ kxRawToken kxID:\ card.1 |
        ldapadd -x -H "$KX_LDAP_URI" -D "$KX_ADMIN_DN" -w "$KX_ADMIN_PW" >/dev/null) ||
    fail "the card's entries"
run "$WORK/kxlogin.build" "the example does not build" \
    cc -o "$WORK/kxlogin" /usr/share/doc/libkxadmin-dev/examples/kxlogin.c \
    $(pkg-config --cflags --libs kxadmin)
run "$WORK/kxlogin.out" kxlogin "$WORK/kxlogin" card.1 IEEE802.080020000001
grep -qx "user u1 (Ann)" "$WORK/kxlogin.out" && grep -q "mode.*hard" "$WORK/kxlogin.out" &&
    grep -qx "login recorded at IEEE802.080020000001" "$WORK/kxlogin.out" ||
    { cat "$WORK/kxlogin.out"; fail "kxlogin"; }
kxadmin check | grep -qx "user status database: ok, 1 record" || fail "kxlogin recorded no login"
kxcrypto -d >/dev/null || fail "kxcrypto -d"
cleanup
rm -rf /etc/opt/QRLNkx /var/opt/QRLNkx

# Every command of the README's "From install to first change" but the
# installations, on a fresh slapd run from cn=config at Debian's own
# addresses, the passwords given on standard input.
echo "== the README's first change"
KX_TESTBED_BARE=1 KX_TESTBED_PORT=389 KX_TESTBED_LDAPI=/var/run/slapd/ldapi \
    "$SRC/scripts/testbed.sh" start "$STATE" / --cn-config >/dev/null
pw=kx-First-Change1
slappasswd() { command slappasswd -s "$pw"; }
kxadmin() {
    if [ "$1" = passwd ]; then command kxadmin passwd <<<"$pw"; else command kxadmin "$@"; fi
}
block=$(sed -n '/^## From install to first change/,/^## /p' "$SRC/README.md" |
    sed -n '/^```sh$/,/^```$/p' | sed '/^```/d; /^apt /d')
[ "$(grep -c . <<<"$block")" -ge 8 ] || fail "no command block in the README's first change"
# Run by a shell of its own, which stops at the first failing command.
{ declare -f slappasswd kxadmin; echo "pw=$pw"; echo "$block"; } >"$WORK/first-change.sh"
run "$WORK/first-change.out" "the README's first change" bash -e "$WORK/first-change.sh"
[ "$(kxcrypto -o)" = "tokenID=default.token,enc_up_type=ARCFOUR,mode=hard" ] ||
    fail "kxcrypto -o after the first change"
cleanup
trap - EXIT

# The README's "A replicated directory": its first block on this host as
# the primary ldap1.example.org (127.0.0.1), its second on a host of its own
# as the replica ldap2.example.org (127.0.0.2): a mount namespace with its
# own product files, slapd socket, database and certificates.  Then a change
# made on the replica's host must reach the primary.
echo "== the README's replicated directory"
rm -rf /etc/opt/QRLNkx /var/opt/QRLNkx /var/lib/ldap/kxdata
printf '127.0.0.1 ldap1.example.org\n127.0.0.2 ldap2.example.org\n' >>/etc/hosts
# tls_for <host> <dir>: the authority of the two hosts and the host's own
# certificate and key.
CA=$WORK/ca
mkdir -p "$CA"
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
run "$WORK/ca.log" "the authority" openssl req -x509 "${ec[@]}" -days 2 -subj /CN=kx-ca \
    -keyout "$CA/ca.key" -out "$CA/ca.pem"
tls_for() {
    mkdir -p "$2" && cp "$CA/ca.pem" "$2/" &&
        openssl req "${ec[@]}" -subj "/CN=$1" -keyout "$2/server.key" -out "$2/server.csr" &&
        openssl x509 -req -in "$2/server.csr" -CA "$CA/ca.pem" -CAkey "$CA/ca.key" -days 2 \
            -CAcreateserial -extfile <(echo "subjectAltName=DNS:$1") -out "$2/server.pem"
}
block() {
    sed -n '/^## A replicated directory/,/^## /p' "$SRC/README.md" |
        awk -v n="$1" '/^```/ { if ($0 == "```sh") k++; on = $0 == "```sh" && k == n; next } on'
}
for n in 1 2; do
    [ "$(block $n | grep -c .)" -ge 9 ] || fail "no block $n in the README's replicated section"
done
# The other host: private mounts over everything a host keeps of its own.
mkdir -p /run/slapd /etc/opt /var/opt /etc/ldap/tls /var/lib/ldap
unshare --mount --propagation private bash -c '
    for d in /run/slapd /etc/opt /var/opt /etc/ldap/tls /var/lib/ldap; do
        mount -t tmpfs tmpfs "$d" || exit 1
    done
    touch "$1"; exec sleep infinity' holder "$WORK/replica.ready" &
holder=$!
replica() { nsenter --target "$holder" --mount -- "$@"; }
REPLICA=$WORK/replica
cleanup() {
    "$SRC/scripts/testbed.sh" stop "$STATE" >/dev/null 2>&1 || true
    "$SRC/scripts/testbed.sh" stop "$REPLICA" >/dev/null 2>&1 || true
    kill "$holder" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do [ -e "$WORK/replica.ready" ] || sleep 0.1; done
[ -e "$WORK/replica.ready" ] || fail "the replica's host"
rm -f "$WORK/replica.ready"
run "$WORK/tls-primary.log" "the primary's certificate" tls_for ldap1.example.org /etc/ldap/tls
run "$WORK/tls-replica.log" "the replica's certificate" replica bash -c "$(declare -p CA ec
    declare -f tls_for); tls_for ldap2.example.org /etc/ldap/tls"
# bed <statedir> [<command prefix>...]: a bare slapd at Debian's addresses.
bed() {
    local state=$1
    shift
    "$@" env KX_TESTBED_BARE=1 KX_TESTBED_PORT=389 KX_TESTBED_LDAPI=/var/run/slapd/ldapi \
        "$SRC/scripts/testbed.sh" start "$state" / --cn-config >/dev/null
}
bed "$STATE"
# The replica's kxadmin check waits until the replica holds the base tree.
synced() {
    for _ in $(seq 100); do
        ldapsearch -LLL -x -ZZ -H ldap://ldap2.example.org -s base 1.1 \
            -b kxName=rawTokens,kxName=kx,o=kxdata >/dev/null 2>&1 && return
        sleep 0.3
    done
}
{ declare -f slappasswd kxadmin; echo "pw=$pw"; block 1; } >"$WORK/primary.sh"
run "$WORK/primary.out" "the README's primary block" bash -e "$WORK/primary.sh"
bed "$REPLICA" replica env KX_TESTBED_HOST=127.0.0.2
{
    declare -f slappasswd kxadmin synced
    echo "pw=$pw"
    block 2 | sed 's/^kxadmin check/synced; &/'
} >"$WORK/replica.sh"
run "$WORK/replica.out" "the README's replica block" \
    replica env LDAPTLS_CACERT=/etc/ldap/tls/ca.pem bash -e "$WORK/replica.sh" <<<"$pw"
grep -qx "replication: ok.*" "$WORK/replica.out" || { cat "$WORK/replica.out"; fail "replication"; }
changed=tokenID=default.token,enc_up_type=ARCFOUR,mode=hard
[ "$(kxcrypto -o)" = "$changed" ] || fail "the change made on the replica is not on the primary"
for _ in $(seq 50); do [ "$(replica kxcrypto -o)" = "$changed" ] && break || sleep 0.2; done
[ "$(replica kxcrypto -o)" = "$changed" ] || fail "the replica did not copy the change back"
cleanup
trap - EXIT

echo "== removing the packages"
run "$WORK/dpkg-remove.log" "dpkg -r" \
    dpkg -r kxcrypto-dbgsym libkxadmin1-dbgsym kxcrypto libkxadmin-dev libkxadmin1
for f in /usr/bin/kxcrypto "$lib/libkxadmin.so.1" /usr/include/kxadmin; do
    [ ! -e "$f" ] || fail "$f stayed after removal"
done
echo "the packages install, run and remove cleanly"
