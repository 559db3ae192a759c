#!/bin/bash
# A manual page renders cleanly (check_manpage.sh <page>), and
#   check_manpage.sh <kxcrypto.1> <the usage text>
# names the options of the tool's usage text, or
#   check_manpage.sh <libkxadmin.3> --errors <kxerrno.h> <a catalogue .po>
# lists every error code of the header with its number, and messages that
# the catalogue translates.
set -euo pipefail
page=$1
usage=${2:-}

warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
    echo "man reports problems in $page:"
    echo "$warnings"
    exit 1
fi

[ -n "$usage" ] || exit 0
if [ "$usage" = --errors ]; then
    codes=$(sed -n 's/^#define \(KXE_[A-Z]*\) *\(-\{0,1\}[0-9]*\)$/\1;\2/p' "$3")
    rows=$(sed -n '/^\.TS/,/^\.TE/p' "$page" | sed -n 's/\\-/-/g; /^[^;]*;-\{0,1\}[0-9]*;/p')
    diff <(echo "$codes") <(echo "$rows" | sed -n 's/^\(KXE_[A-Z]*;[-0-9]*\);.*/\1/p') ||
        { echo "the error table of $page differs from $3"; exit 1; }
    while IFS=';' read -r _ _ message; do
        grep -qxF "msgid \"$message\"" "$4" || { echo "no message \"$message\" in $4"; exit 1; }
    done <<<"$rows"
    echo "$(echo "$codes" | wc -l) error codes"
    exit 0
fi

# Options of the usage text: the option column of its description block.
usage_opts=$(sed -n 's/^\t\(-[a-z]\).*/\1/p' "$usage" | sort -u | tr '\n' ' ')
# Options of the page: the tagged paragraphs of its OPTIONS section.
page_opts=$(awk '/^\.SH OPTIONS/ {on=1; next} /^\.SH/ {on=0}
    on && prev == ".TP" { sub(/^\.BI? /, ""); gsub(/\\/, ""); split($0, w, " "); print w[1] }
    { prev = $0 }' "$page" | sort -u | tr '\n' ' ')
# And the synopsis names the same options.
synopsis_opts=$(MANWIDTH=200 man -l "$page" 2>/dev/null |
    awk '/^SYNOPSIS/ {on=1; next} /^[A-Z]/ {on=0} on' | grep -oE -- '(^|[ [])-[a-z]' | tr -d ' [' |
    sort -u | tr '\n' ' ')

echo "usage:    $usage_opts"
echo "page:     $page_opts"
echo "synopsis: $synopsis_opts"
[ "$usage_opts" = "$page_opts" ] && [ "$usage_opts" = "$synopsis_opts" ]
