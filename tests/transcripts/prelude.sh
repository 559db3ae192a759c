# Functions for the commands of the transcripts (sourced by transcript.py).
export LDAPNOINIT=1
token_dn="kxID=default.token,kxName=rawTokens,$KX_SUBTREE"
# ldapsearch/ldapmodify as the administrator, on the session's server or,
# with -p first, on the provider of a replicated pair.
ldap() {
    local tool=$1 uri=$KX_LDAP_URI
    shift
    [ "${1:-}" = -p ] && { uri=$KX_PROVIDER_URI; shift; }
    if [ -n "${KX_TLS_DIR:-}" ]; then
        env -u LDAPNOINIT LDAPCONF="$KX_TLS_DIR/ldap.conf" LDAPRC=kx-none \
            "$tool" -ZZ -x -H "$uri" -D "$KX_ADMIN_DN" -w "$KX_ADMIN_PW" "$@"
    else
        "$tool" -x -H "$uri" -D "$KX_ADMIN_DN" -w "$KX_ADMIN_PW" "$@"
    fi
}
# The default token's entry as the directory holds it: its object classes
# and configuration, without the DN.
token() {
    ldap ldapsearch "$@" -LLL -o ldif-wrap=no -s base -b "$token_dn" \
        objectClass kxCryptoString 2>&1 |
        sed '/^dn: /d; /^$/d'
}
# Puts the default token's entry back with exactly this crypto string.
put() {
    ldap ldapdelete -r "$token_dn" 2>/dev/null
    printf '%s\n' "dn: $token_dn" "objectClass: kxRawToken" "objectClass: kxCrypto" \
        "kxID: default.token" "kxCryptoString: $1" | ldap ldapadd >/dev/null
}
# Runs a command as another user: as <ruid> <euid> command ...
as() { setpriv --ruid="$1" --euid="$2" --rgid=65534 --egid=65534 --clear-groups "${@:3}"; }
# Runs a command with a product file replaced (or removed, with no text).
with_file() {
    local file=$1 text=$2 rc
    shift 2
    mv "$file" "$file.saved"
    [ -n "$text" ] && printf '%s' "$text" >"$file" && chmod --reference="$file.saved" "$file"
    "$@"; rc=$?
    mv "$file.saved" "$file"
    return $rc
}
# Runs a command with a product file's mode changed: with_mode <mode> <file> ...
with_mode() {
    local mode rc
    mode=$(stat -c %a "$2") && chmod "$1" "$2"
    "${@:3}"; rc=$?
    chmod "$mode" "$2"
    return $rc
}
# Waits (up to 10 s) until the consumer holds what the provider holds.
synced() {
    [ -n "${KX_PROVIDER_URI:-}" ] || return 0
    for _ in $(seq 100); do
        [ "$(token)" = "$(token -p)" ] && return 0
        sleep 0.1
    done
    echo "the consumer did not follow the provider"
}
# stop-provider / start-provider of the replicated test bed.
testbed() { "$KX_TESTS/../scripts/testbed.sh" "$1" "$KX_STATEDIR" >/dev/null; }
# A listener on loopback that never answers, its port in $port and its pid
# in $listener: with "full" its queue is full and connections hang, with
# "accept" it accepts them and stays silent.
mute_listener() {
    exec 3< <(python3 -c 'import socket, sys, time
full = sys.argv[1] == "full"
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(0 if full else 8)
c = [socket.socket() for _ in range(4 if full else 0)]
for x in c: x.setblocking(False); x.connect_ex(s.getsockname())
print(s.getsockname()[1], flush=True)
held = []
while True: held.append(time.sleep(60) if full else s.accept())' "$1")
    listener=$!
    read -r port <&3
}
# Runs a command while kxdsd.conf names a primary that never answers.
silent_primary() {
    local rc
    mute_listener full
    with_file "$KX_DSD_CONF" "database ldbm
suffix o=kxdata
slave subtree=o=kxdata
	referral=ldap://127.0.0.1:$port
" "$@"
    rc=$?
    kill "$listener"
    return $rc
}
# Runs a command while kxadmin.conf names a server that accepts connections
# and never answers, or, with "full" first, one whose queue is full, so that
# connections never complete: silent_server [full] <command> ...
silent_server() {
    local rc
    if [ "$1" = full ]; then mute_listener full; shift; else mute_listener accept; fi
    with_file "$KX_ADMIN_CONF" \
        "$(sed "s/^admin.server.port .*/admin.server.port = $port/" "$KX_ADMIN_CONF")
" "$@"
    rc=$?
    kill "$listener"
    return $rc
}
# A crypto string of short pairs, exactly $1 characters long.
pairs() {
    python3 -c 'import sys
n, s, i = int(sys.argv[1]), "", 0
while len(s) < n - 12: s += "k%d=v," % i; i += 1
print(s + "last=" + "x" * (n - len(s) - 5))' "$1"
}
# kxadmin check with the product root and the ports of the server and of a
# silent listener left out of its report; its exit status.
check() {
    ./kxadmin check | sed -e "s|$KX_PRODUCT_ROOT||g" -e "s|:$KX_LDAP_PORT\b|:PORT|g" \
        -e "s|:${port:-PORT}\b|:PORT|g"
    return "${PIPESTATUS[0]}"
}
# Batch lines for kxcrypto -e with another writer in between: the line
# tokenID=default,<pair1>, then, once it is stored, the configuration
# <crypto> put in place, then the line tokenID=default,<pair2>.
# Usage: interleaved <pair1> <crypto> <pair2>
interleaved() {
    echo "tokenID=default,$1"
    for _ in $(seq 100); do token | grep -q "$1" && break; sleep 0.1; done
    put "$2"
    echo "tokenID=default,$3"
}
# Stores a record in the user status database: put_record <key> <field> ...
# (each field followed by the separator byte).
put_record() { "$KX_MKDBM" -s "$KX_USTATUS_DB" "$1" "$(printf '%s\x1e' "${@:2}")"; }
# kxadmin init with its messages on standard output and the product root
# left out; its exit status.
kxinit() {
    ./kxadmin init "$@" 2>&1 | sed "s|$KX_PRODUCT_ROOT||g"
    return "${PIPESTATUS[0]}"
}
# Only the steps of kxadmin check that are not in order.
problems() { check | grep -v ': ok'; return "${PIPESTATUS[0]}"; }
# ldapmodify on cn=config, as the local administrator of the server.
config() { ldapmodify -Q -Y EXTERNAL -H "$KX_LDAPI_URI" >/dev/null; }
rot13() { tr 'A-Za-z' 'N-ZA-Mn-za-m'; }
# Runs a command with kxadmin.conf edited by a sed script: with_conf <script> ...
with_conf() { with_file "$KX_ADMIN_CONF" "$(sed "$1" "$KX_ADMIN_CONF")" "${@:2}"; }
# Runs a command where libldap's environment and an ldaprc in the current
# directory both say to check no certificate, with kxadmin.conf naming an
# authority file that does not exist.
unchecked() {
    echo 'TLS_REQCERT never' >ldaprc
    with_conf 's|^admin.server.cacert = .*|admin.server.cacert = /nonexistent/ca.pem|' \
        env -u LDAPNOINIT LDAPTLS_REQCERT=never "$@"
}
# Runs a command, with libldap reading its configuration, in a mount
# namespace of its own where /etc/ldap holds only an ldap.conf of the given
# text: with_ldap_conf <text> <command> ...
with_ldap_conf() {
    mkdir -p etc-ldap && printf '%s\n' "$1" >etc-ldap/ldap.conf
    env -u LDAPNOINIT unshare --mount --propagation private \
        sh -c 'mount --bind etc-ldap /etc/ldap && exec "$@"' sh "${@:2}"
}
no_cacert() { with_conf '/^admin.server.cacert/d' "$@"; }
# kxadmin init of kxadmin.conf for the test bed with StartTLS and its
# authority, and the directory step of kxadmin check.
tls_init() {
    ./kxadmin init -s 127.0.0.1 -p "$KX_LDAP_PORT" -D "$KX_ADMIN_DN" -b "$KX_SUBTREE" -t starttls \
        -c "$KX_TLS_DIR/ca.pem" >/dev/null &&
        { grep "^admin.server.[tc]" "$KX_ADMIN_CONF" && ./kxadmin check | grep ^directory; } |
        sed -e "s|$KX_TLS_DIR|TLS|" -e "s|:$KX_LDAP_PORT|:PORT|"
}
# Puts symbolic links to planted.dir and planted.pag (which do not exist) in
# the place of a status database's files, or, with "back", the files back:
# planted_links <database> [back]
planted_links() {
    if [ "${2:-}" = back ]; then
        rm "$1".* && mv saved.dir "$1.dir" && mv saved.pag "$1.pag"
    else
        mv "$1.dir" saved.dir && mv "$1.pag" saved.pag && ln -s "$PWD/planted.dir" "$1.dir" &&
            ln -s "$PWD/planted.pag" "$1.pag"
    fi
}
# A second server in bare/, as a fresh Debian slapd is, with the core schema
# only and no database: bare start | stop.
bare() {
    if [ "$1" = stop ]; then
        "$KX_TESTS/../scripts/testbed.sh" stop bare
        return
    fi
    KX_TESTBED_BARE=1 "$KX_TESTS/../scripts/testbed.sh" start bare bare-root --cn-config |
        sed -n 's/^KX_LDAP_PORT=//p' >bare.port && mkdir -p bare/db
}
# ldapadd on the bare server's cn=config: on_bare_config <ldapadd argument> ...
on_bare_config() { ldapadd -Q -Y EXTERNAL -H "$(cat bare/master/ldapi)" "$@" >/dev/null; }
# Adds kx-database.ldif, with the test bed's password and a directory in
# bare/, to the bare server; a sed script given takes lines out first.
database_ldif() {
    sed -e "s|@ROOTPW@|$(slappasswd -s "$KX_ADMIN_PW")|" \
        -e "s|/var/lib/ldap/kxdata|$PWD/bare/db|" -e "${1:-}" \
        "$KX_TESTS/../schema/kx-database.ldif" | on_bare_config
}
# Runs a command with kxadmin.conf naming the bare server: on_bare <command> ...
on_bare() {
    port=$(cat bare.port)
    with_conf "s/^admin.server.port .*/admin.server.port = $port/" "$@"
}
