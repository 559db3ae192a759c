# kxcrypto on a host that keeps a replica: the session reads the consumer,
# writes follow the consumer's referral to the provider with the
# administrator's credentials, and replication brings them back.
$ ./kxcrypto -a enc_up_type=ARCFOUR mode=hard
> Configuration successfully added.
> A warm or cold restart of services must be performed.
$ token -p
> objectClass: kxRawToken
> objectClass: kxCrypto
> kxCryptoString: enc_up_type=ARCFOUR,mode=hard
$ synced && ./kxcrypto
> Token ID: default.token
> 	Key            	Value          	Inherited      
> 	---		-----		-------
> 	enc_up_type    	ARCFOUR        	 
> 	mode           	hard           	 
> 	enc_down_type  	none           	*
> 	auth_up_type   	none           	*
> 	auth_down_type 	none           	*
$ ./kxcrypto -m mode=soft auth_down_type=simple && synced && ./kxcrypto -o
> Configuration successfully modified.
> A warm or cold restart of services must be performed.
> tokenID=default.token,mode=soft,auth_down_type=simple,enc_up_type=ARCFOUR
$ ./kxcrypto -e && synced && token
< tokenID=default.token,enc_down_type=ARCFOUR
> Configuration successfully modified.
> Successfully modified config on line 1
> 1 lines successfully processed.
> 0 lines skipped due to errors.
> A warm or cold restart of services must be performed.
> objectClass: kxRawToken
> objectClass: kxCrypto
> kxCryptoString: enc_down_type=ARCFOUR,mode=soft,auth_down_type=simple,enc_up_type=ARCFOUR
$ ./kxcrypto -m mode=default && ./kxcrypto -d && synced && token
> Configuration successfully modified.
> A warm or cold restart of services must be performed.
> Successfully deleted configuration for the default token.
> A warm or cold restart of services must be performed.
> objectClass: kxRawToken

# The primary of kxdsd.conf by another name of the same address (127.2 is
# the provider's 127.0.0.2 written short) still gets the credentials.
$ with_file "$KX_DSD_CONF" "$(sed 's|//127.0.0.2:|//127.2:|' "$KX_DSD_CONF")" ./kxcrypto -a
+ mode=hard
> Configuration successfully added.
> A warm or cold restart of services must be performed.
$ ./kxcrypto -d >/dev/null && synced

# kxadmin check on the replica's host: the server refers writes to the
# provider that kxdsd.conf names; a kxdsd.conf that says otherwise is named.
$ problems
$ with_file "$KX_DSD_CONF" "$(cat "$KX_TESTS/../doc/examples/kxdsd.conf.primary")" problems
> replication: error: the directory server is a replica that refers writes to ldap://127.0.0.2:PORT,
+ but kxdsd.conf names this host the primary server; give this host a replica's kxdsd.conf (a slave
+ line whose referral names that server)
[1]
$ with_file "$KX_DSD_CONF" "$(sed 's|//127.0.0.2:|//127.0.0.3:|' "$KX_DSD_CONF")" problems
> primary server 127.0.0.3:PORT: error: unreachable, so directory writes fail; check the primary's
+ host and port in kxdsd.conf, that its slapd runs, and the network between the two hosts
> replication: error: the directory server refers writes to ldap://127.0.0.2:PORT, but kxdsd.conf
+ names 127.0.0.3:PORT the primary server; make the slave line's referral name ldap://127.0.0.2:PORT
[1]

# kxadmin init -r writes a replica's kxdsd.conf, which agrees with the
# server; a base tree that the replica lacks is the primary's to add.
$ with_file "$KX_DSD_CONF" "" eval 'kxinit -r 127.0.0.2:$KX_LDAP_PORT | grep kxdsd
+ && check | grep ^replication' | sed "s|:$KX_LDAP_PORT|:PORT|"
> /etc/opt/QRLNkx/kxds/current/kxdsd.conf: created, a replica of 127.0.0.2:PORT
> replication: ok, writes are referred to ldap://127.0.0.2:PORT, the primary server of kxdsd.conf
$ set -o pipefail; with_conf 's/^admin.subtree = .*/admin.subtree = kxName=unsynced,o=kxdata/'
+ kxinit | tail -1
> kxadmin: kxName=unsynced,o=kxdata: missing on this replica; run kxadmin init on the primary
+ server, whose entries the replica copies
[1]

# With the provider down, reading goes on and every change fails.
$ ./kxcrypto -a mode=hard >/dev/null && synced && testbed stop-provider
$ ./kxcrypto -o && as 65534 65534 ./kxcrypto
> tokenID=default.token,mode=hard
> Token ID: default.token
> 	Key            	Value          	Inherited      
> 	---		-----		-------
> 	mode           	hard           	 
> 	enc_up_type    	none           	*
> 	enc_down_type  	none           	*
> 	auth_up_type   	none           	*
> 	auth_down_type 	none           	*
$ ./kxcrypto -m mode=soft
! ./kxcrypto: Unable to modify configuration for the default token.
[1]
$ ./kxcrypto -d
! ./kxcrypto: Could not delete default token configuration.
[1]
$ ./kxcrypto -a mode=soft
! ./kxcrypto: Configuration for the default token already exists.
[1]
$ ./kxcrypto -e
< tokenID=default,mode=soft
> 0 lines successfully processed.
> 1 lines skipped due to errors.
> A warm or cold restart of services must be performed.
! ./kxcrypto: Unable to modify configuration for the default token.
! ./kxcrypto: could not modify line 1...skipping
$ testbed start-provider && ./kxcrypto -m mode=soft && synced && ./kxcrypto -o
> Configuration successfully modified.
> A warm or cold restart of services must be performed.
> tokenID=default.token,mode=soft
