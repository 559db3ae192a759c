#!/bin/bash
# testbed.sh - a throw-away OpenLDAP data store for the tests and benchmarks
# of libkxadmin and kxcrypto.
#
#   testbed.sh start <statedir> <product-root> [--replicated | --cn-config]
#                    [--tls starttls|ldaps]
#   testbed.sh stop <statedir>
#   testbed.sh stop-provider <statedir>
#   testbed.sh start-provider <statedir>
#   testbed.sh kill <statedir>
#   testbed.sh restart <statedir>
#   testbed.sh status <statedir>
#
# start runs slapd (slapd.conf, mdb backend) on a free port of 127.0.0.1,
# loads the base tree (o=kxdata, the server group entry given as
# admin.subtree and its containers users, logicalTokens and rawTokens) and
# writes below <product-root> the files that the library reads:
#   etc/opt/QRLNkx/kxadmin.conf              administration configuration
#   etc/opt/QRLNkx/kxadmin.pw                administrator password (ROT13)
#   etc/opt/QRLNkx/kxds/current/kxdsd.conf   data-store server configuration
#   var/opt/QRLNkx/data/{dstatus,ustatus}    empty ndbm status databases
#
# --replicated runs two servers: a provider (syncprov) and a consumer
# (syncrepl refreshAndPersist from the provider, updateref to it, so every
# write on the consumer is answered with a referral).  The product files then
# describe the consumer host: kxadmin.conf names the consumer and kxdsd.conf
# names the provider through a "slave" line with its referral.
#
# --tls makes a throw-away certificate authority and server certificate
# (for 127.0.0.1 and 127.0.0.2) with openssl; every server then listens for
# ldap:// with StartTLS and for ldaps:// on a second port, refuses anything
# without TLS (security ssf=1), and replicates over TLS.  The product files
# ask for the given mode and trust that authority; a consumer refers writes
# to ldap:// (starttls) or ldaps:// (ldaps) of the provider.  <statedir>/tls
# also holds other-ca.pem, an authority that signed nothing of the test bed.
#
# kill ends the server of a single test bed at once (SIGKILL), as a crash
# would; restart brings it back on its port with its database.
#
# --cn-config runs one server the way Debian's slapd runs: its configuration
# in a cn=config directory (slapd -F) holding only the core schema, managed
# by the local user over ldapi:// with SASL EXTERNAL.  The kx schema and the
# database o=kxdata are then loaded while it runs, with the commands and LDIF
# files that the README gives to administrators, and the base tree from
# kx-base.ldif (the entries that kxadmin init adds).
#
# Everything the servers write stays below <statedir>; <statedir>/env is a
# shell-sourceable description (URIs, ports, pids, DNs, password).  stop ends
# exactly the slapd processes recorded in <statedir>, and does nothing when
# none runs.  A start that fails stops whatever it had started.
#
# Environment:
#   KX_MKDBM               kx_mkdbm program (else built with cc into statedir)
#   KX_TESTBED_TIMEOUT     seconds to wait for a server or for replication (30)
#   KX_SLAPD_DEBUG         slapd -d level; the log is <instance>/slapd.log
#                          (default "stats": one line per operation)
#   KX_TESTBED_ADMIN_PW    administrator password (default below)
#   KX_TESTBED_SUBTREE     admin.subtree, kxName=<x>,o=kxdata or o=kxdata
#   KX_SLAPD               slapd binary (/usr/sbin/slapd)
#   KX_SLAPD_MODULEDIR     directory of the slapd modules (/usr/lib/ldap)
#   KX_LDAP_SCHEMADIR      directory holding core.schema (/etc/ldap/schema)
#   KX_SCHEMA              the kx schema (schema/kx.schema)
#   KX_SCHEMA_LDIF         --cn-config: the kx schema LDIF (made from kx.schema)
#   KX_DATABASE_LDIF       --cn-config: the database LDIF (schema/kx-database.ldif)
#   KX_BASE_LDIF           the base tree's template (schema/kx-base.ldif)
#   KX_TESTBED_BARE        --cn-config: 1 starts the bare server only, as a
#                          fresh Debian slapd, and writes no product files
#   KX_TESTBED_PORT        --cn-config: a fixed port instead of a free one
#   KX_TESTBED_LDAPI       --cn-config: the ldapi socket (else in statedir)
#   KX_TESTBED_HOST        the loopback address of the (consumer) server
#                          (127.0.0.1)
set -euo pipefail

PROG=testbed.sh
SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC_ROOT=$(cd "$SCRIPT_DIR/.." && pwd)

KX_SCHEMA=${KX_SCHEMA:-$SRC_ROOT/schema/kx.schema}
KX_BASE_LDIF=${KX_BASE_LDIF:-$SRC_ROOT/schema/kx-base.ldif}
EXAMPLES=$SRC_ROOT/doc/examples
KX_DATABASE_LDIF=${KX_DATABASE_LDIF:-$SRC_ROOT/schema/kx-database.ldif}
MKDBM_SRC=$SRC_ROOT/scripts/kx_mkdbm.c

SUFFIX="o=kxdata"
ADMIN_DN="cn=admin,o=kxdata"
ADMIN_PW=${KX_TESTBED_ADMIN_PW:-kx-Testbed-Secret1}
SUBTREE=${KX_TESTBED_SUBTREE:-kxName=kx,o=kxdata}
HOST=${KX_TESTBED_HOST:-127.0.0.1}
# The provider of the replicated pair listens on another loopback address
# with the consumer's port, as a primary on another host would: the product
# files give one port for both, and the primary is told apart by its host.
PROVIDER_HOST=${KX_TESTBED_PROVIDER_HOST:-127.0.0.2}
TIMEOUT=${KX_TESTBED_TIMEOUT:-30}
SLAPD_DEBUG=${KX_SLAPD_DEBUG:-stats}
SLAPD=${KX_SLAPD:-/usr/sbin/slapd}
MODULEDIR=${KX_SLAPD_MODULEDIR:-/usr/lib/ldap}
SCHEMADIR=${KX_LDAP_SCHEMADIR:-/etc/ldap/schema}
# Seconds that a stop waits after SIGTERM before it sends SIGKILL.
STOP_WAIT=5
# Tries with a new port when another process took the chosen one first.
PORT_TRIES=8

# The ldap tools must not pick up a user's or the host's ldap.conf.
export LDAPNOINIT=1
# With --tls: the mode and the directory of the certificates.
TLS_MODE=
TLS_DIR=

# Runs an OpenLDAP tool; with TLS it starts TLS (-ZZ) and trusts the test
# bed's authority.
lt() {
    if [ -n "$TLS_DIR" ]; then
        env -u LDAPNOINIT LDAPCONF="$TLS_DIR/ldap.conf" LDAPRC=kx-none "$1" -ZZ "${@:2}"
    else
        "$@"
    fi
}

# make_tls <dir>: the authority, the server's certificate, another authority.
make_tls() {
    local dir=$1 ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    mkdir -p "$dir"
    {
        openssl req -x509 "${ec[@]}" -days 2 -subj "/CN=kx test bed CA" -keyout "$dir/ca.key" -out "$dir/ca.pem" &&
            openssl req -x509 "${ec[@]}" -days 2 -subj "/CN=kx other CA" -keyout "$dir/other-ca.key" \
                -out "$dir/other-ca.pem" &&
            openssl req "${ec[@]}" -subj "/CN=kx test bed server" -keyout "$dir/server.key" -out "$dir/server.csr" &&
            printf 'subjectAltName=IP:127.0.0.1,IP:127.0.0.2\nextendedKeyUsage=serverAuth\n' >"$dir/server.ext" &&
            openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
                -days 2 -extfile "$dir/server.ext" -out "$dir/server.pem"
    } >"$dir/openssl.out" 2>&1 || { cat "$dir/openssl.out" >&2; die "openssl could not make the certificates"; }
    printf 'TLS_CACERT %s\nTLS_REQCERT demand\n' "$dir/ca.pem" >"$dir/ldap.conf"
}

die() {
    echo "$PROG: $*" >&2
    exit 1
}

note() {
    echo "$PROG: $*" >&2
}

usage() {
    cat >&2 <<EOF
usage: $PROG start <statedir> <product-root> [--replicated | --cn-config] [--tls starttls|ldaps]
       $PROG stop <statedir>
       $PROG stop-provider <statedir>
       $PROG start-provider <statedir>
       $PROG kill <statedir>
       $PROG restart <statedir>
       $PROG status <statedir>
EOF
    exit 2
}

abspath() {
    local d=$1
    mkdir -p "$d"
    (cd "$d" && pwd)
}

# ---------------------------------------------------------------------------
# Processes

# True when pid is a live slapd started with the configuration file conf.
# Guards every signal against a pid that has been reused since it was
# recorded.
is_our_slapd() {
    local pid=$1 conf=$2 cmdline
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    kill -0 "$pid" 2>/dev/null || return 1
    if [ -r "/proc/$pid/cmdline" ]; then
        cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || return 1
        [[ $cmdline == *slapd* && $cmdline == *"$conf"* ]] || return 1
        # A zombie has an empty command line and never matches above.
    fi
    return 0
}

# The pids recorded for an instance: the one that the launch returned and the
# one that slapd wrote itself (normally the same).
recorded_pids() {
    local inst=$1 f pid
    for f in "$inst/launch.pid" "$inst/slapd.pid"; do
        [ -s "$f" ] || continue
        read -r pid <"$f" || true
        [ -n "${pid:-}" ] && echo "$pid"
    done | sort -u
}

# Prints the pid of the running slapd of an instance, or nothing.
instance_pid() {
    local inst=$1 pid
    for pid in $(recorded_pids "$inst"); do
        if is_our_slapd "$pid" "$inst/slapd."; then
            echo "$pid"
            return 0
        fi
    done
    return 0
}

# Stops the slapd of one instance directory: SIGTERM, up to STOP_WAIT
# seconds, then SIGKILL.  Idempotent.
stop_instance() {
    local inst=$1 pid pids=() waited
    [ -d "$inst" ] || return 0
    for pid in $(recorded_pids "$inst"); do
        if is_our_slapd "$pid" "$inst/slapd."; then
            pids+=("$pid")
        fi
    done
    if [ ${#pids[@]} -gt 0 ]; then
        kill -TERM "${pids[@]}" 2>/dev/null || true
        waited=0
        while [ "$waited" -lt $((STOP_WAIT * 10)) ]; do
            local alive=()
            for pid in "${pids[@]}"; do
                is_our_slapd "$pid" "$inst/slapd." && alive+=("$pid")
            done
            [ ${#alive[@]} -eq 0 ] && break
            sleep 0.1
            waited=$((waited + 1))
        done
        for pid in "${pids[@]}"; do
            if is_our_slapd "$pid" "$inst/slapd."; then
                note "slapd $pid ($(basename "$inst")) did not stop on SIGTERM, killing it"
                kill -KILL "$pid" 2>/dev/null || true
            fi
        done
        # Give the kernel a moment to reap a killed process's port.
        for pid in "${pids[@]}"; do
            for _ in $(seq 1 50); do
                kill -0 "$pid" 2>/dev/null || break
                [ -r "/proc/$pid/stat" ] && [[ $(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null) == Z ]] && break
                sleep 0.1
            done
        done
    fi
    rm -f "$inst/launch.pid" "$inst/slapd.pid" "$inst/slapd.args"
}

# ---------------------------------------------------------------------------
# Ports

# The address an instance listens on.
instance_host() {
    if [ "$(basename "$1")" = provider ]; then
        echo "$PROVIDER_HOST"
    else
        echo "$HOST"
    fi
}

# A port that nothing on 127.0.0.1 listens on right now, chosen by the kernel
# when python3 is there; the launch tries again when slapd cannot bind it.
pick_port() {
    local port py
    py=/usr/bin/python3
    [ -x "$py" ] || py=$(command -v python3 2>/dev/null) || py=
    if [ -n "$py" ] &&
        port=$("$py" -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()' 2>/dev/null) && [[ $port =~ ^[0-9]+$ ]]; then
        echo "$port"
        return 0
    fi
    for _ in $(seq 1 100); do
        port=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/$HOST/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    die "no free port found on $HOST"
}

# ---------------------------------------------------------------------------
# slapd configuration

# write_slapd_conf <inst> <role> [<provider port>]
# role: master (single server), provider, consumer.
write_slapd_conf() {
    local inst=$1 role=$2 pport=${3:-} rootpw
    rootpw=$(slappasswd -n -s "$ADMIN_PW" 2>/dev/null) || rootpw=$ADMIN_PW
    [ -n "$rootpw" ] || rootpw=$ADMIN_PW
    {
        cat <<EOF
# slapd.conf of the $role server of the kx directory test bed.
include		$SCHEMADIR/core.schema
include		$KX_SCHEMA

pidfile		$inst/slapd.pid
argsfile	$inst/slapd.args

modulepath	$MODULEDIR
moduleload	back_mdb
EOF
        [ "$role" = provider ] && echo "moduleload	syncprov"
        cat <<EOF

# The log goes to slapd.log only: slapd runs with -d $SLAPD_DEBUG (by
# default "stats", one line per operation) and its stderr in that file.
# Nothing goes to the system log.
loglevel	0

# Mode 1 sessions bind as "cn=anonymous" without a password.
allow		bind_anon_dn
EOF
        [ -n "$TLS_DIR" ] && cat <<EOF

# Nothing without TLS.
TLSCACertificateFile	$TLS_DIR/ca.pem
TLSCertificateFile	$TLS_DIR/server.pem
TLSCertificateKeyFile	$TLS_DIR/server.key
security	ssf=1
EOF
        cat <<EOF

sizelimit	unlimited
timelimit	unlimited

database	mdb
suffix		"$SUFFIX"
rootdn		"$ADMIN_DN"
rootpw		$rootpw
directory	$inst/db
maxsize		1073741824
dbnosync

index	objectClass			eq
index	kxID,kxName			eq,sub
index	kxLogicalTokenIDs,kxRawTokenIDs	eq
index	entryCSN,entryUUID		eq

# The administrator is the root DN and may write everything; every other
# client, anonymous included, may read.
access to *
	by * read
EOF
        case $role in
        provider)
            cat <<EOF

overlay		syncprov
syncprov-checkpoint	100 10
syncprov-sessionlog	1000
EOF
            ;;
        consumer)
            cat <<EOF

# Read-only copy of the provider; writes are referred to it.  Entries whose
# kxID or kxName, or a raw token id they list, begins with "unsynced" are
# never copied: tests use them for data that the primary holds and this
# replica does not (yet).
syncrepl	rid=001
		provider=ldap://$PROVIDER_HOST:$pport
		type=refreshAndPersist
		retry="1 +"
		timeout=5
		network-timeout=5
		searchbase="$SUFFIX"
		scope=sub
		filter="(!(|(kxID=unsynced*)(kxName=unsynced*)(kxRawTokenIDs=unsynced*)))"
		attrs="*,+"
		bindmethod=simple
		binddn="$ADMIN_DN"
		credentials="$ADMIN_PW"
EOF
            if [ -n "$TLS_DIR" ]; then
                printf '\t\tstarttls=critical tls_cacert=%s tls_reqcert=demand\n' "$TLS_DIR/ca.pem"
            fi
            if [ "$TLS_MODE" = ldaps ]; then
                echo "updateref	ldaps://$PROVIDER_HOST:$(cat "$(dirname "$inst")/provider/sport")"
            else
                echo "updateref	ldap://$PROVIDER_HOST:$pport"
            fi
            ;;
        esac
    } >"$inst/slapd.conf"
    chmod 600 "$inst/slapd.conf"
}

# write_cn_config <inst>: the cn=config directory of a fresh Debian slapd,
# and the ldapi:// URI (a socket path short enough for the kernel) in
# <inst>/ldapi.
write_cn_config() {
    local inst=$1 sock=${KX_TESTBED_LDAPI:-$1/ldapi.sock}
    mkdir -p "$(dirname "$sock")"
    [ ${#sock} -le 100 ] || sock=/tmp/kxtestbed-$(printf '%s' "$inst" | md5sum | cut -c1-16).sock
    rm -f "$sock"
    echo "ldapi://${sock//\//%2F}" >"$inst/ldapi"
    mkdir -p "$inst/slapd.d"
    cat >"$inst/config.ldif" <<EOF
dn: cn=config
objectClass: olcGlobal
cn: config
olcPidFile: $inst/slapd.pid
olcArgsFile: $inst/slapd.args

dn: cn=module{0},cn=config
objectClass: olcModuleList
cn: module{0}
olcModulePath: $MODULEDIR
olcModuleLoad: back_mdb

dn: cn=schema,cn=config
objectClass: olcSchemaConfig
cn: schema

include: file://$SCHEMADIR/core.ldif

dn: olcDatabase={-1}frontend,cn=config
objectClass: olcDatabaseConfig
objectClass: olcFrontendConfig
olcDatabase: {-1}frontend

dn: olcDatabase={0}config,cn=config
objectClass: olcDatabaseConfig
olcDatabase: {0}config
olcAccess: to * by dn.exact=gidNumber=$(id -g)+uidNumber=$(id -u),cn=peercred,cn=external,cn=auth manage by * break
EOF
    if ! "$SLAPD" -Ta -n0 -F "$inst/slapd.d" -l "$inst/config.ldif" >"$inst/slapadd.out" 2>&1; then
        cat "$inst/slapadd.out" >&2
        die "cannot make the cn=config directory of $(basename "$inst")"
    fi
}

# load_cn_config <inst>: the kx schema and the database o=kxdata, added to
# the running server as an administrator of a Debian slapd adds them.
load_cn_config() {
    local inst=$1 ldapi schema=${KX_SCHEMA_LDIF:-}
    ldapi=$(cat "$inst/ldapi")
    if [ -z "$schema" ]; then
        schema=$inst/kx.ldif
        sh "$SCRIPT_DIR/schema2ldif.sh" "$KX_SCHEMA" kx >"$schema"
    fi
    {
        ldapadd -Q -Y EXTERNAL -H "$ldapi" -f "$schema" &&
            sed -e "s|@ROOTPW@|$(slappasswd -s "$ADMIN_PW")|" -e "s|/var/lib/ldap/kxdata|$inst/db|" \
                "$KX_DATABASE_LDIF" | ldapadd -Q -Y EXTERNAL -H "$ldapi"
    } >"$inst/cn-config.out" 2>&1 || {
        cat "$inst/cn-config.out" >&2
        print_log "$inst"
        die "loading the kx schema or the database into cn=config failed"
    }
}

# ---------------------------------------------------------------------------
# Starting one server

# True when the server at uri answers a search of the root DSE.
answers() {
    lt ldapsearch -x -H "$1" -o nettimeout=2 -l 2 -b "" -s base \
        '(objectClass=*)' 1.1 >/dev/null 2>&1
}

print_log() {
    local inst=$1
    echo "---- $inst/slapd.log (last 60 lines) ----" >&2
    tail -n 60 "$inst/slapd.log" >&2 2>/dev/null || true
    echo "---- end of log ----" >&2
}

# launch_instance <inst> <port>: starts slapd and waits until it answers.
# Returns 0 when up, 3 when the port was taken, 1 on any other failure.
launch_instance() {
    local inst=$1 port=$2 uri pid deadline
    uri="ldap://$(instance_host "$inst"):$port/"
    echo "$port" >"$inst/port"
    {
        echo "==== $(date '+%Y-%m-%d %H:%M:%S') slapd on $uri"
    } >>"$inst/slapd.log"
    local config=(-f "$inst/slapd.conf") listen=$uri
    if [ -d "$inst/slapd.d" ]; then
        config=(-F "$inst/slapd.d")
        listen="$uri $(cat "$inst/ldapi")"
    fi
    [ -n "$TLS_DIR" ] && listen="$uri ldaps://$(instance_host "$inst"):$(cat "$inst/sport")/"
    if command -v setsid >/dev/null 2>&1; then
        setsid "$SLAPD" "${config[@]}" -h "$listen" -n "kxtestbed-$(basename "$inst")" \
            -d "$SLAPD_DEBUG" </dev/null >>"$inst/slapd.log" 2>&1 &
    else
        "$SLAPD" "${config[@]}" -h "$listen" -n "kxtestbed-$(basename "$inst")" \
            -d "$SLAPD_DEBUG" </dev/null >>"$inst/slapd.log" 2>&1 &
    fi
    pid=$!
    echo "$pid" >"$inst/launch.pid"
    deadline=$((SECONDS + TIMEOUT))
    while :; do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid" 2>/dev/null || true
            rm -f "$inst/launch.pid"
            if grep -q "Address already in use" "$inst/slapd.log" 2>/dev/null &&
                tail -n 20 "$inst/slapd.log" | grep -q "Address already in use"; then
                return 3
            fi
            return 1
        fi
        if answers "$uri"; then
            return 0
        fi
        if [ "$SECONDS" -ge "$deadline" ]; then
            return 1
        fi
        sleep 0.2
    done
}

# start_instance <inst> <role> [<provider port>] [<fixed port>] [<fixed ldaps port>]
start_instance() {
    local inst=$1 role=$2 pport=${3:-} fixed=${4:-} port rc
    mkdir -p "$inst/db"
    if [ -n "$TLS_DIR" ]; then
        if [ -n "${5:-}" ]; then
            echo "$5" >"$inst/sport"
        elif [ -z "$fixed" ] || [ ! -s "$inst/sport" ]; then
            pick_port >"$inst/sport"
        fi
    fi
    if [ "$role" = cn-config ]; then
        write_cn_config "$inst"
    else
        write_slapd_conf "$inst" "$role" "$pport"
        if ! "$SLAPD" -Tt -u -f "$inst/slapd.conf" >"$inst/slaptest.out" 2>&1; then
            cat "$inst/slaptest.out" >&2
            die "slapd.conf of $(basename "$inst") does not pass slaptest"
        fi
    fi
    for _ in $(seq 1 "$PORT_TRIES"); do
        if [ -n "$fixed" ]; then
            port=$fixed
        else
            port=$(pick_port)
        fi
        rc=0
        launch_instance "$inst" "$port" || rc=$?
        case $rc in
        0)
            echo "$port"
            return 0
            ;;
        3)
            if [ -n "$fixed" ]; then
                print_log "$inst"
                die "port $port of the $role server is taken by another process"
            fi
            note "port $port was taken, trying another one"
            ;;
        *)
            print_log "$inst"
            stop_instance "$inst"
            die "the $role server did not answer on ldap://$(instance_host "$inst"):$port/ within ${TIMEOUT}s"
            ;;
        esac
    done
    print_log "$inst"
    die "no free port for the $role server after $PORT_TRIES tries"
}

# ---------------------------------------------------------------------------
# Directory content and product files

# The subtree in lower case without blanks around the commas.
subtree_norm() {
    echo "$SUBTREE" | tr '[:upper:]' '[:lower:]' | sed 's/ *, */,/g'
}

subtree_rdn_value() {
    # kxName=<value>,o=kxdata -> <value>
    local rdn=${SUBTREE%%,*}
    echo "${rdn#*=}"
}

check_subtree() {
    local norm
    norm=$(subtree_norm)
    if [ "$norm" = "o=kxdata" ]; then
        return 0
    fi
    [[ $norm =~ ^kxname=[^,=]+,o=kxdata$ ]] ||
        die "KX_TESTBED_SUBTREE must be o=kxdata or kxName=<name>,o=kxdata (got \"$SUBTREE\")"
}

# The base tree from the template that the product ships, moved to the
# subtree: without a server group entry when the subtree is the suffix.
base_ldif() {
    local flat=
    [ "$(subtree_norm)" = "o=kxdata" ] && flat=1
    KX_SUB=$SUBTREE KX_GROUP=$(subtree_rdn_value) KX_FLAT=$flat awk '
        function swap(s, from, to,   i) {
            i = index(s, from)
            return i ? substr(s, 1, i - 1) to substr(s, i + length(from)) : s
        }
        BEGIN { RS = ""; ORS = "\n\n"; group = "kxName=kx,o=kxdata" }
        /^#/ { next }
        $0 ~ "^dn: " group "\n" {
            if (ENVIRON["KX_FLAT"]) next
            $0 = swap($0, "\nkxName: kx", "\nkxName: " ENVIRON["KX_GROUP"])
        }
        { print swap($0, group, ENVIRON["KX_FLAT"] ? "o=kxdata" : ENVIRON["KX_SUB"]) }
    ' "$KX_BASE_LDIF"
}

load_base_tree() {
    local uri=$1 inst=$2
    base_ldif >"$inst/base.ldif"
    if ! lt ldapadd -x -H "$uri" -o nettimeout=5 -D "$ADMIN_DN" -w "$ADMIN_PW" \
        -f "$inst/base.ldif" >"$inst/base.out" 2>&1; then
        cat "$inst/base.out" >&2
        print_log "$inst"
        die "loading the base tree into $uri failed"
    fi
}

# Waits until the consumer holds the rawTokens container (the last entry of
# the base tree).
wait_replicated() {
    local uri=$1 inst=$2 deadline
    deadline=$((SECONDS + TIMEOUT))
    while :; do
        if lt ldapsearch -x -H "$uri" -o nettimeout=2 -l 2 \
            -b "kxName=rawTokens,$SUBTREE" -s base '(objectClass=*)' 1.1 \
            >/dev/null 2>&1; then
            return 0
        fi
        if [ "$SECONDS" -ge "$deadline" ]; then
            print_log "$inst"
            die "the consumer did not replicate the base tree within ${TIMEOUT}s"
        fi
        sleep 0.2
    done
}

mkdbm_program() {
    local statedir=$1
    if [ -n "${KX_MKDBM:-}" ]; then
        [ -x "$KX_MKDBM" ] || die "KX_MKDBM=$KX_MKDBM is not an executable"
        echo "$KX_MKDBM"
        return 0
    fi
    local out=$statedir/kx_mkdbm
    if [ ! -x "$out" ] || [ "$MKDBM_SRC" -nt "$out" ]; then
        ${CC:-cc} -o "$out" "$MKDBM_SRC" -lgdbm_compat -lgdbm >&2 ||
            die "cannot build kx_mkdbm from $MKDBM_SRC (set KX_MKDBM)"
    fi
    echo "$out"
}

rot13() {
    tr 'A-Za-z' 'N-ZA-Mn-za-m'
}

# write_product_files <statedir> <root> <admin port> <mode> [<provider port>]
write_product_files() {
    local statedir=$1 root=$2 port=$3 mode=$4 pport=${5:-}
    local etc=$root/etc/opt/QRLNkx data=$root/var/opt/QRLNkx/data mkdbm
    mkdir -p "$etc/kxds/current" "$data"

    # The example files of the package, with this test bed's values.
    sed -e "s|^admin.server.name = .*|admin.server.name = $HOST|" \
        -e "s|^admin.server.port = .*|admin.server.port = $port|" \
        -e "s|^admin.user.name = .*|admin.user.name = $ADMIN_DN|" \
        -e "s|^admin.subtree = .*|admin.subtree = $SUBTREE|" \
        -e "s|^admin.dstatus.dbfile = .*|admin.dstatus.dbfile = $data/dstatus|" \
        -e "s|^admin.ustatus.dbfile = .*|admin.ustatus.dbfile = $data/ustatus|" \
        -e "s|^#admin.server.timeout = .*|admin.server.timeout = 5|" \
        "$EXAMPLES/kxadmin.conf" >"$etc/kxadmin.conf"
    if [ -n "$TLS_MODE" ]; then
        [ "$TLS_MODE" = ldaps ] && port=$(cat "$statedir/$([ "$mode" = replicated ] && echo consumer || echo master)/sport")
        sed -i -e "s|^admin.server.port = .*|admin.server.port = $port|" \
            -e "s|^#admin.server.tls = .*|admin.server.tls = $TLS_MODE|" \
            -e "s|^#admin.server.cacert = .*|admin.server.cacert = $TLS_DIR/ca.pem|" "$etc/kxadmin.conf"
        [ "$TLS_MODE" = ldaps ] && [ -n "$pport" ] && pport=$(cat "$statedir/provider/sport")
    fi

    printf '%s\n' "$ADMIN_PW" | rot13 >"$etc/kxadmin.pw"
    chmod 600 "$etc/kxadmin.pw"

    if [ "$mode" = replicated ]; then
        local scheme=ldap
        [ "$TLS_MODE" = ldaps ] && scheme=ldaps
        sed "s|ldap://primary.example.org:389|$scheme://$PROVIDER_HOST:$pport|" \
            "$EXAMPLES/kxdsd.conf.replica" >"$etc/kxds/current/kxdsd.conf"
    else
        cp "$EXAMPLES/kxdsd.conf.primary" "$etc/kxds/current/kxdsd.conf"
    fi

    mkdbm=$(mkdbm_program "$statedir")
    rm -f "$data/dstatus.dir" "$data/dstatus.pag" "$data/ustatus.dir" "$data/ustatus.pag"
    "$mkdbm" "$data/dstatus" "$data/ustatus" ||
        die "cannot create the status databases in $data"
}

# Quotes a value for the env file only when it needs it, so that simple
# KEY=value readers see plain DNs and paths.
q() {
    local v=$1
    if [[ $v =~ ^[A-Za-z0-9_./:=,+@%-]*$ ]]; then
        printf '%s' "$v"
    else
        printf "'%s'" "${v//\'/\'\\\'\'}"
    fi
}

write_env() {
    local statedir=$1 root mode
    root=$(cat "$statedir/product-root")
    mode=$(cat "$statedir/mode")
    local etc=$root/etc/opt/QRLNkx data=$root/var/opt/QRLNkx/data
    {
        echo "# Directory test bed (testbed.sh); source this file."
        echo "KX_TESTBED_MODE=$mode"
        echo "KX_STATEDIR=$(q "$statedir")"
        echo "KX_PRODUCT_ROOT=$(q "$root")"
        echo "KX_LDAP_HOST=$HOST"
        if [ "$mode" = replicated ]; then
            local pport cport
            pport=$(cat "$statedir/provider/port")
            cport=$(cat "$statedir/consumer/port")
            echo "KX_LDAP_PORT=$cport"
            echo "KX_LDAP_URI=ldap://$HOST:$cport"
            echo "KX_SLAPD_PID=$(instance_pid "$statedir/consumer")"
            echo "KX_SLAPD_LOG=$(q "$statedir/consumer/slapd.log")"
            echo "KX_PROVIDER_PORT=$pport"
            echo "KX_PROVIDER_HOST=$PROVIDER_HOST"
            echo "KX_PROVIDER_URI=ldap://$PROVIDER_HOST:$pport"
            echo "KX_PROVIDER_PID=$(instance_pid "$statedir/provider")"
            echo "KX_PROVIDER_LOG=$(q "$statedir/provider/slapd.log")"
            echo "KX_CONSUMER_PORT=$cport"
            echo "KX_CONSUMER_URI=ldap://$HOST:$cport"
            echo "KX_CONSUMER_PID=$(instance_pid "$statedir/consumer")"
            echo "KX_CONSUMER_LOG=$(q "$statedir/consumer/slapd.log")"
        else
            local port
            port=$(cat "$statedir/master/port")
            echo "KX_LDAP_PORT=$port"
            echo "KX_LDAP_URI=ldap://$HOST:$port"
            echo "KX_SLAPD_PID=$(instance_pid "$statedir/master")"
            echo "KX_SLAPD_LOG=$(q "$statedir/master/slapd.log")"
            [ -f "$statedir/master/ldapi" ] && echo "KX_LDAPI_URI=$(cat "$statedir/master/ldapi")"
        fi
        if [ -n "$TLS_MODE" ]; then
            echo "KX_TLS_MODE=$TLS_MODE"
            echo "KX_TLS_DIR=$(q "$TLS_DIR")"
        fi
        echo "KX_SUFFIX=$(q "$SUFFIX")"
        echo "KX_ADMIN_DN=$(q "$ADMIN_DN")"
        echo "KX_ADMIN_PW=$(q "$ADMIN_PW")"
        echo "KX_SUBTREE=$(q "$SUBTREE")"
        echo "KX_ADMIN_CONF=$(q "$etc/kxadmin.conf")"
        echo "KX_ADMIN_PWFILE=$(q "$etc/kxadmin.pw")"
        echo "KX_DSD_CONF=$(q "$etc/kxds/current/kxdsd.conf")"
        echo "KX_DSTATUS_DB=$(q "$data/dstatus")"
        echo "KX_USTATUS_DB=$(q "$data/ustatus")"
    } >"$statedir/env.tmp"
    mv -f "$statedir/env.tmp" "$statedir/env"
}

# ---------------------------------------------------------------------------
# Subcommands

INSTANCES=(master provider consumer)

stop_all() {
    local statedir=$1 i
    # The provider first: a consumer whose persistent search is still open
    # takes seconds to shut down, one whose provider is gone stops at once.
    for i in provider consumer master; do
        stop_instance "$statedir/$i"
    done
}

cmd_start() {
    [ $# -ge 2 ] || usage
    local statedir root mode=single
    statedir=$(abspath "$1")
    root=$(abspath "$2")
    shift 2
    while [ $# -gt 0 ]; do
        case $1 in
        --replicated) mode=replicated ;;
        --cn-config) mode=cn-config ;;
        --tls)
            [[ ${2:-} =~ ^(starttls|ldaps)$ ]] || usage
            TLS_MODE=$2
            TLS_DIR=$statedir/tls
            shift
            ;;
        *) usage ;;
        esac
        shift
    done
    check_subtree
    # The password goes into slapd.conf and ldif text unquoted.
    [[ $ADMIN_PW =~ ^[A-Za-z0-9._+@%:=,!-]+$ ]] ||
        die "KX_TESTBED_ADMIN_PW may hold only letters, digits and ._+@%:=,!-"
    [ -x "$SLAPD" ] || die "no slapd at $SLAPD"
    [ -r "$SCHEMADIR/core.schema" ] || die "no core.schema in $SCHEMADIR"
    [ -r "$KX_SCHEMA" ] || die "no schema file $KX_SCHEMA"
    command -v ldapsearch >/dev/null || die "ldapsearch not found (ldap-utils)"

    # A server left running in this statedir by an earlier start is ours.
    local i running=0
    for i in "${INSTANCES[@]}"; do
        [ -n "$(instance_pid "$statedir/$i")" ] && running=1
    done
    if [ "$running" = 1 ]; then
        note "stopping the servers still running in $statedir"
        stop_all "$statedir"
    fi
    for i in "${INSTANCES[@]}"; do
        rm -rf "${statedir:?}/$i"
    done
    rm -f "$statedir/env" "$statedir/mode" "$statedir/product-root"

    # From here on a failure stops what has been started.
    trap 'rc=$?; if [ $rc -ne 0 ]; then stop_all "'"$statedir"'"; fi' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP

    echo "$mode" >"$statedir/mode"
    echo "$root" >"$statedir/product-root"
    rm -rf "$statedir/tls"
    if [ -n "$TLS_MODE" ]; then
        [ "$mode" != cn-config ] || die "--tls goes with a slapd.conf test bed only"
        make_tls "$TLS_DIR"
        echo "$TLS_MODE" >"$TLS_DIR/mode"
    fi

    if [ "$mode" != replicated ]; then
        local port
        mkdir -p "$statedir/master"
        if [ "$mode" = cn-config ]; then
            port=$(start_instance "$statedir/master" cn-config "" "${KX_TESTBED_PORT:-}")
            if [ "${KX_TESTBED_BARE:-}" = 1 ]; then
                write_env "$statedir"
                echo "KX_LDAP_PORT=$port"
                trap - EXIT INT TERM HUP
                return 0
            fi
            load_cn_config "$statedir/master"
        else
            port=$(start_instance "$statedir/master" master)
        fi
        load_base_tree "ldap://$HOST:$port/" "$statedir/master"
        write_product_files "$statedir" "$root" "$port" single
        write_env "$statedir"
        echo "KX_LDAP_PORT=$port"
    else
        local pport cport
        mkdir -p "$statedir/provider" "$statedir/consumer"
        pport=$(start_instance "$statedir/provider" provider)
        load_base_tree "ldap://$PROVIDER_HOST:$pport/" "$statedir/provider"
        cport=$(start_instance "$statedir/consumer" consumer "$pport" "$pport" \
            "$(cat "$statedir/provider/sport" 2>/dev/null || true)")
        wait_replicated "ldap://$HOST:$cport/" "$statedir/consumer"
        write_product_files "$statedir" "$root" "$cport" replicated "$pport"
        write_env "$statedir"
        echo "KX_PROVIDER_PORT=$pport"
        echo "KX_CONSUMER_PORT=$cport"
        echo "KX_LDAP_PORT=$cport"
    fi
    echo "KX_ENV=$statedir/env"
    trap - EXIT INT TERM HUP
}

# The absolute path of an existing statedir (the recorded command lines of
# the servers hold absolute paths), or nothing.
existing_dir() {
    (cd "$1" 2>/dev/null && pwd) || true
}

cmd_stop() {
    [ $# -eq 1 ] || usage
    local statedir
    statedir=$(existing_dir "$1")
    [ -n "$statedir" ] || return 0
    stop_all "$statedir"
}

# The TLS mode of an existing test bed.
load_tls() {
    if [ -f "$1/tls/mode" ]; then
        TLS_MODE=$(cat "$1/tls/mode")
        TLS_DIR=$1/tls
    fi
}

# statedir_of <statedir> [replicated | single]: the absolute path of an
# existing statedir, which must hold a test bed of that mode when one is
# given.
statedir_of() {
    local statedir
    statedir=$(existing_dir "$1")
    [ -n "$statedir" ] || die "no statedir $1"
    if [ -n "${2:-}" ] && [ "$(cat "$statedir/mode" 2>/dev/null)" != "$2" ]; then
        die "$statedir holds no $([ "$2" = single ] && echo single-server || echo "$2") test bed"
    fi
    echo "$statedir"
}

cmd_stop_provider() {
    [ $# -eq 1 ] || usage
    local statedir
    statedir=$(statedir_of "$1" replicated)
    load_tls "$statedir"
    stop_instance "$statedir/provider"
    write_env "$statedir"
}

# start_again <statedir> <instance> <role>: brings a stopped server back on
# its port, with its database (where the consumer and the referrals look for
# a provider, and the product files for a single server).
start_again() {
    local statedir=$1 inst=$2 role=$3
    load_tls "$statedir"
    if [ -n "$(instance_pid "$statedir/$inst")" ]; then
        note "the $role server is already running"
        return 0
    fi
    start_instance "$statedir/$inst" "$role" "" "$(cat "$statedir/$inst/port")" >/dev/null
    write_env "$statedir"
}

cmd_start_provider() {
    [ $# -eq 1 ] || usage
    local statedir
    statedir=$(statedir_of "$1" replicated)
    start_again "$statedir" provider provider
    echo "KX_PROVIDER_PORT=$(cat "$statedir/provider/port")"
}

cmd_kill() {
    [ $# -eq 1 ] || usage
    local statedir pid
    statedir=$(statedir_of "$1" single)
    pid=$(instance_pid "$statedir/master")
    [ -n "$pid" ] || die "no server runs in $statedir"
    kill -KILL "$pid"
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        [[ $(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null) == Z ]] && break
        sleep 0.02
    done
    rm -f "$statedir/master/launch.pid" "$statedir/master/slapd.pid"
    write_env "$statedir"
}

cmd_restart() {
    [ $# -eq 1 ] || usage
    local statedir
    statedir=$(statedir_of "$1" single)
    start_again "$statedir" master master
}

cmd_status() {
    [ $# -eq 1 ] || usage
    local statedir i pid any=1
    statedir=$(statedir_of "$1")
    for i in "${INSTANCES[@]}"; do
        [ -d "$statedir/$i" ] || continue
        pid=$(instance_pid "$statedir/$i")
        if [ -n "$pid" ]; then
            echo "$i: running, pid $pid, ldap://$(instance_host "$statedir/$i"):$(cat "$statedir/$i/port")/"
            any=0
        else
            echo "$i: stopped"
        fi
    done
    return $any
}

[ $# -ge 1 ] || usage
cmd=$1
shift
case $cmd in
start) cmd_start "$@" ;;
stop) cmd_stop "$@" ;;
stop-provider) cmd_stop_provider "$@" ;;
start-provider) cmd_start_provider "$@" ;;
kill) cmd_kill "$@" ;;
restart) cmd_restart "$@" ;;
status) cmd_status "$@" ;;
-h | --help | help) usage ;;
*) usage ;;
esac
