#!/bin/bash
# What the bash completion of kxcrypto offers for a command line typed up to
# its end.   check_completion.sh <generated completion script>
source "$1"
offers() {
    COMP_LINE=$1 COMP_POINT=${#1}
    _kxcrypto
    [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
status=0
check() {
    local got
    got=$(offers "$1")
    [ "$got" = "$2" ] || { echo "FAILED: '$1' offers '$got', expected '$2'"; status=1; }
}
while IFS='|' read -r line want; do
    check "$line" "$want"
done <<'ROWS'
kxcrypto -|-a -d -e -f -h -m -o 
kxcrypto -e -|-f 
kxcrypto -o -f|-f 
kxcrypto -f x -|-e -o 
kxcrypto -h -|
kxcrypto -a -|
kxcrypto -d |
kxcrypto -a |auth_down_type= auth_up_type= enc_down_type= enc_up_type= mode= 
kxcrypto -m mode=hard enc_|enc_down_type= enc_up_type= 
kxcrypto -a mode=hard mo|
kxcrypto -a enc_up_type=|ARCFOUR default none 
kxcrypto -m auth_up_type=|default none 
kxcrypto -a auth_down_type=s|simple 
kxcrypto -a mode=s|soft 
kxcrypto -a bogus=|
kxcrypto -e -f /dev/nul|/dev/null 
kxcrypto -ef /dev/nul|/dev/null 
kxcrypto lone |
ROWS
# Where "=" does not break words, bash replaces the whole word.
COMP_WORDBREAKS=${COMP_WORDBREAKS//=/}
check "kxcrypto -a mode=s" "mode=soft "
exit $status
