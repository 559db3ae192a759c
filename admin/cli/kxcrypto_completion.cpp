// Writes the bash completion of kxcrypto to standard output: its options,
// and after -a or -m the keys not given yet and each key's allowed values,
// taken from the table that the tool checks them against.

#include <cstdio>
#include <string>

#include "kxcrypto.h"

int main()
{
    std::string keys, cases;
    for (const kx::CryptoKey *k : kx::listed_crypto_keys()) {
        keys += std::string(keys.empty() ? "" : " ") + k->key;
        cases += std::string("        ") + k->key + ") values=\"";
        for (const char *v : k->values)
            if (v)
                cases += std::string(v) + " ";
        cases += std::string(kxcrypto::kDefaultValue) + "\" ;;\n";
    }
    std::printf(R"(# bash completion for kxcrypto(1)                         -*- shell-script -*-
# Generated at build time from the tool's own table of keys and values.

_kxcrypto()
{
    # The word under the cursor, with any "key=" kept together whatever
    # COMP_WORDBREAKS says, and the words before it.
    local line=${COMP_LINE:0:COMP_POINT}
    local cur=${line##*[[:space:]]} ops= keys_seen=' ' ended= want_file= w i
    local -a words
    read -ra words <<<"${line:0:${#line}-${#cur}}"
    COMPREPLY=()
    for w in "${words[@]:1}"; do
        if [[ -n $want_file ]]; then
            want_file=
        elif [[ -z $ended && $w == -?* && $w != -- ]]; then
            for ((i = 1; i < ${#w}; i++)); do
                ops+=${w:i:1}
                if [[ ${w:i:1} == f ]]; then
                    [[ $i -eq $((${#w} - 1)) ]] && want_file=1
                    break
                fi
            done
        else
            ended=1
            keys_seen+="${w%%%%=*} "
        fi
    done
    if [[ -n $want_file ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
        return
    fi
    if [[ -z $ended && $cur == -* ]]; then
        local offer=
        case $ops in
        *h* | *[adm]*) ;;
        *[eo]*) [[ $ops == *f* ]] || offer='-f' ;;
        *f*) offer='-e -o' ;;
        *) offer='-a -d -e -f -h -m -o' ;;
        esac
        COMPREPLY=($(compgen -W "$offer" -- "$cur"))
        return
    fi
    [[ $ops == *[am]* && $ops != *[deoh]* ]] || return
    if [[ $cur == *=* ]]; then
        local key=${cur%%%%=*} values=
        case $key in
%s        esac
        COMPREPLY=($(compgen -W "$values" -- "${cur#*=}"))
        # Without "=" among the word breaks bash replaces the whole word.
        [[ $COMP_WORDBREAKS == *=* ]] || COMPREPLY=("${COMPREPLY[@]/#/$key=}")
        return
    fi
    local k offer=
    for k in %s; do
        [[ $keys_seen == *" $k "* ]] || offer+=" $k="
    done
    COMPREPLY=($(compgen -W "$offer" -- "$cur"))
    compopt -o nospace 2>/dev/null
}
complete -F _kxcrypto kxcrypto
)",
                cases.c_str(), keys.c_str());
    return std::ferror(stdout) ? 1 : 0;
}
