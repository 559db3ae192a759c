#!/bin/sh
# schema2ldif.sh <schema file> <name>
#
# Writes to standard output the schema of an OpenLDAP slapd.conf "include"
# file as the LDIF of an entry cn=<name>,cn=schema,cn=config, which a slapd
# running from cn=config loads while it runs:
#   ldapadd -Y EXTERNAL -H ldapi:/// -f <name>.ldif
# Comments are left out; each definition becomes one value, its continuation
# lines folded as LDIF continuation lines.
set -eu
[ $# -eq 2 ] || { echo "usage: schema2ldif.sh <schema file> <name>" >&2; exit 2; }

printf '# %s.ldif - generated from %s; load into a slapd running from\n' "$2" "${1##*/}"
printf '# cn=config with: ldapadd -Y EXTERNAL -H ldapi:/// -f %s.ldif\n' "$2"
printf 'dn: cn=%s,cn=schema,cn=config\nobjectClass: olcSchemaConfig\ncn: %s\n' "$2" "$2"
awk '
    /^[ \t]*(#|$)/ { next }
    /^[ \t]/ {
        if (!open) { print "schema2ldif.sh: continuation without a definition at line " NR > "/dev/stderr"; exit 1 }
        sub(/^[ \t]+/, ""); print "  " $0; next
    }
    {
        keyword = tolower($1)
        if (keyword == "objectidentifier") attr = "olcObjectIdentifier"
        else if (keyword == "attributetype") attr = "olcAttributeTypes"
        else if (keyword == "objectclass") attr = "olcObjectClasses"
        else { print "schema2ldif.sh: unknown keyword " $1 " at line " NR > "/dev/stderr"; exit 1 }
        sub(/^[^ \t]+[ \t]+/, ""); print attr ": " $0; open = 1
    }' "$1"
