#!/bin/sh
# strip_equality.sh <kx.schema> <out>: the schema with no matching rules for
# the values that the library replaces and increments (kxCryptoString,
# kxGenerationNumber, the kxScreen* attributes), as a directory whose schema
# cannot compare them would have it.
set -eu
awk '
/^attributetype/ { strip = ($0 ~ /kxCryptoString|kxGenerationNumber|kxScreen/) }
strip && /^[ \t]+(EQUALITY|ORDERING|SUBSTR) / { next }
{ print }
' "$1" >"$2"
