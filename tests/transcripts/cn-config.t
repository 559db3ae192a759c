# kxcrypto against a slapd that runs from cn=config, as Debian's does, after
# the kx schema, the database and the base tree were loaded with the LDIF
# files of the packages (testbed.sh --cn-config).
$ ldapsearch -Q -Y EXTERNAL -H "$KX_LDAPI_URI" -LLL -b cn=config '(|(cn={*}kx)(olcAllows=*))' 1.1
> dn: cn=config
>
> dn: cn={1}kx,cn=schema,cn=config
>
$ ./kxcrypto -a mode=hard enc_up_type=ARCFOUR
> Configuration successfully added.
> A warm or cold restart of services must be performed.
$ as 65534 65534 ./kxcrypto | sed -n 4p
> 	mode           	hard           	 

# Only the administrator reads the raw tokens' secrets.
$ printf 'dn: %s\nchangetype: modify\nadd: kxSecret\nkxSecret: s3cret\n' "$token_dn" | ldap
+ ldapmodify >/dev/null
$ ldapsearch -x -H "$KX_LDAP_URI" -LLL -b "$token_dn" kxSecret kxID
> dn: kxID=default.token,kxName=rawTokens,kxName=kx,o=kxdata
> kxID: default.token
>
$ ldap ldapsearch -LLL -b "$token_dn" kxSecret
> dn: kxID=default.token,kxName=rawTokens,kxName=kx,o=kxdata
> kxSecret: s3cret
>
$ ./kxcrypto -o && ./kxcrypto -d
> tokenID=default.token,mode=hard,enc_up_type=ARCFOUR
> Successfully deleted configuration for the default token.
> A warm or cold restart of services must be performed.
