#!/bin/bash
# The library's dynamic symbols are exactly the functions and variables that
# its installed headers declare, both ways:
#   check_exports.sh <libkxadmin.so.1> <directory of the installed headers>
set -euo pipefail
lib=$1 dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
headers="admin.h admin_crypto.h admin_token.h utils.h admin_private.h kx_dbm.h kxerrno.h"
for h in $headers; do echo "#include \"$h\""; done >"$work/all.c"
# Functions: the prototypes that the compiler met in those headers, under
# their link names (utils.h renames dprintf); variables: their extern lines.
cc -fsyntax-only -aux-info "$work/aux" -I "$dir" "$work/all.c"
{
    grep -E "^/\* $dir/[a-z_]+\.h:" "$work/aux" |
        sed -E 's/^[^/]*\/\*[^*]*\*\/ //; s/ \(.*$//; s/^.*[ *]//'
    (cd "$dir" && grep -hE '^extern [^(]*;' $headers) |
        sed -E 's/^.*[ *]([A-Za-z_][A-Za-z0-9_]*)(\[[^]]*\])?;.*$/\1/'
} | sort -u >"$work/declared"
nm -D --defined-only "$lib" | awk '{print $3}' | sort -u >"$work/exported"
if ! diff "$work/declared" "$work/exported" >"$work/diff"; then
    echo "FAILED: declared (<) and exported (>) names of $lib differ:"
    grep '^[<>]' "$work/diff"
    exit 1
fi
echo "$(wc -l <"$work/exported") names, each declared and exported"
