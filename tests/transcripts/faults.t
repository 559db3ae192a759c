# kxcrypto when things around it go wrong.  The last case kills the server.

# No time limit at all (admin.ldap.timeout 0) connects as any other.
$ with_conf 's/^#admin.ldap.timeout = 60/admin.ldap.timeout = 0/' ./kxcrypto | head -1
> Token ID: default.token

# The administration files: missing, empty, wrong, unreadable.
$ with_file "$KX_ADMIN_CONF" '' ./kxcrypto -h
! ./kxcrypto: Could not connect to admin server.
[1]
$ with_file "$KX_ADMIN_PWFILE" '' ./kxcrypto -h
! ./kxcrypto: Could not connect to admin server.
[1]
$ with_file "$KX_ADMIN_PWFILE" 'kx-Wrong-Secret' ./kxcrypto -d
! ./kxcrypto: Could not connect to admin server.
[1]
$ with_file "$KX_ADMIN_PWFILE" '' as 65534 65534 ./kxcrypto | head -1
> Token ID: default.token
$ with_mode 0600 "$KX_ADMIN_CONF" as 65534 65534 ./kxcrypto
! ./kxcrypto: Could not connect to admin server.
[1]
$ with_file "$KX_DSTATUS_DB.pag" '' ./kxcrypto -h
! ./kxcrypto: Could not connect to admin server.
[1]
$ with_file "$KX_DSTATUS_DB.pag" 'not a database' ./kxcrypto -h
! ./kxcrypto: Could not connect to admin server.
[1]
$ sed "s/^admin.server.port .*/admin.server.port = 1/" "$KX_ADMIN_CONF" >conf && with_file
+ "$KX_ADMIN_CONF" "$(cat conf)" ./kxcrypto -h
! ./kxcrypto: Could not connect to admin server.
[1]

# A primary that never answers is given up after admin.server.timeout;
# reading needs no primary.
$ echo admin.server.timeout=2 >>"$KX_ADMIN_CONF" && silent_primary timeout 20 ./kxcrypto -a
+ mode=hard
! ./kxcrypto: Unable to add configuration for default token.
[1]
$ silent_primary timeout 20 ./kxcrypto
> Token ID: default.token
> 	Key            	Value          	Inherited      
> 	---		-----		-------
> 	enc_up_type    	none           	*
> 	enc_down_type  	none           	*
> 	auth_up_type   	none           	*
> 	auth_down_type 	none           	*
> 	mode           	soft           	*
$ token
> No such object (32)
> Matched DN: kxName=rawTokens,kxName=kx,o=kxdata

# A server that accepts the connection and never answers, or one that never
# completes it, is given up after admin.ldap.timeout; an unknown name at once.
$ echo admin.ldap.timeout=2 >>"$KX_ADMIN_CONF" && silent_server timeout 20 ./kxcrypto -d
! ./kxcrypto: Could not connect to admin server.
[1]
$ silent_server full timeout 20 ./kxcrypto -d
! ./kxcrypto: Could not connect to admin server.
[1]
$ with_conf 's/^admin.server.name .*/admin.server.name = no-such-host.invalid/' ./kxcrypto
! ./kxcrypto: Could not connect to admin server.
[1]

# Crypto strings stored by others: 9,999 characters and more read back
# whole; a field of 512 characters or more cannot be read.
$ put "$(pairs 9999)" && ./kxcrypto -o | cmp - <(echo "tokenID=default.token,$(pairs 9999)") && echo
+ same
> same
$ put "$(pairs 20000)" && ./kxcrypto -o | cmp - <(echo "tokenID=default.token,$(pairs 20000)") &&
+ echo same
> same
$ put "mode=$(printf %0600d 0)" && ./kxcrypto
! ./kxcrypto: Internal system error
[1]
$ ./kxcrypto -o
! ./kxcrypto: Internal system error
[1]

# The directory server dies in the middle of a batch: the lines after it
# are skipped, each with its message, and the run ends normally.
$ ldap ldapdelete "$token_dn"; feed() { echo tokenID=default,mode=hard; for _ in $(seq 100); do
+ token | grep -q mode=hard && break; sleep 0.1; done; kill -9 "$KX_SLAPD_PID"; sleep 0.5; echo
+ tokenID=default,mode=soft; echo tokenID=default,auth_down_type=simple; }; feed | timeout 60
+ ./kxcrypto -e
> Configuration successfully added.
> Successfully added config on line 1
> 1 lines successfully processed.
> 2 lines skipped due to errors.
> A warm or cold restart of services must be performed.
! ./kxcrypto: Unable to add configuration for default token.
! ./kxcrypto: could not add line 2...skipping
! ./kxcrypto: Unable to add configuration for default token.
! ./kxcrypto: could not add line 3...skipping
