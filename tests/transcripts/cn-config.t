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

# kx-database.ldif before the schema changes nothing, and the same command
# runs again once the schema is loaded.
$ bare start && database_ldif 2>/dev/null
[80]
$ on_bare_config -f "$KX_SCHEMA_LDIF" && database_ldif && ldapsearch -Q -Y EXTERNAL -H "$(cat
+ bare/master/ldapi)" -LLL -b cn=config '(|(olcAllows=*)(olcSuffix=*))' olcAllows olcSuffix
> dn: cn=config
> olcAllows: bind_anon_dn
>
> dn: olcDatabase={1}mdb,cn=config
> olcSuffix: o=kxdata
>
$ bare stop
