#!/bin/bash
# The manual page renders cleanly, and its options are those of the tool's
# usage text.
#   check_manpage.sh <manual page> <the usage text>
set -euo pipefail
page=$1
usage=$2

warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
    echo "man reports problems in $page:"
    echo "$warnings"
    exit 1
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
