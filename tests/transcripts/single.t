# kxcrypto against a single directory server: every operation, its
# messages and exit status, and what the directory holds afterwards.

# Add, display, modify, export, delete.
$ ./kxcrypto -a =mode=hard enc_up_type=ARCFOUR=x auth_down_type=simple auth_up_type=none
> Configuration successfully added.
> A warm or cold restart of services must be performed.
$ token
> objectClass: kxRawToken
> objectClass: kxCrypto
> kxCryptoString: =mode=hard,enc_up_type=ARCFOUR=x,auth_down_type=simple,auth_up_type=none
$ ./kxcrypto
> Token ID: default.token
> 	Key            	Value          	Inherited      
> 	---		-----		-------
> 	mode           	hard           	 
> 	enc_up_type    	ARCFOUR        	 
> 	auth_down_type 	simple         	 
> 	auth_up_type   	none           	 
> 	enc_down_type  	none           	*
$ ./kxcrypto -a mode=soft
! ./kxcrypto: Configuration for the default token already exists.
[1]
$ ./kxcrypto -m mode=soft
! ./kxcrypto: Duplicate key '=mode=hard'.
[1]
$ ./kxcrypto -m enc_down_type=none && token
> Configuration successfully modified.
> A warm or cold restart of services must be performed.
> objectClass: kxRawToken
> objectClass: kxCrypto
> kxCryptoString:
+ enc_down_type=none,=mode=hard,enc_up_type=ARCFOUR=x,auth_down_type=simple,auth_up_type=none
$ ./kxcrypto -d
> Successfully deleted configuration for the default token.
> A warm or cold restart of services must be performed.
$ ./kxcrypto -a mode=hard enc_up_type=ARCFOUR auth_down_type=simple auth_up_type=none
> Configuration successfully added.
> A warm or cold restart of services must be performed.
$ ./kxcrypto -m mode=default auth_up_type=default
> Configuration successfully modified.
> A warm or cold restart of services must be performed.
$ token
> objectClass: kxRawToken
> objectClass: kxCrypto
> kxCryptoString: enc_up_type=ARCFOUR,auth_down_type=simple
$ ./kxcrypto -o
> tokenID=default.token,enc_up_type=ARCFOUR,auth_down_type=simple
$ ./kxcrypto -o -f export.csv && cat export.csv
> tokenID=default.token,enc_up_type=ARCFOUR,auth_down_type=simple
$ ./kxcrypto -o -f export.csv
! ./kxcrypto: File 'export.csv' already exists.
[1]
$ mkdir -p adir && ./kxcrypto -o -f adir
! ./kxcrypto: File 'adir' already exists.
[1]
$ ln -s nowhere dangling && ./kxcrypto -o -f dangling; test -e nowhere || echo nothing written
> nothing written
! ./kxcrypto: File 'dangling' already exists.
$ ./kxcrypto -o -f nodir/out
! ./kxcrypto: Could not open file nodir/out for writing.
[1]
$ ./kxcrypto -m mode=default enc_up_type=default auth_down_type=default enc_down_type=default
> Configuration successfully modified.
> A warm or cold restart of services must be performed.
$ token
> objectClass: kxRawToken
$ ./kxcrypto -a mode=hard
> Configuration successfully added.
> A warm or cold restart of services must be performed.
$ ./kxcrypto -d
> Successfully deleted configuration for the default token.
> A warm or cold restart of services must be performed.
$ token
> objectClass: kxRawToken

# Batch edit: each line adds or modifies afresh; bad lines are skipped.
$ ./kxcrypto -e -f nofile
! ./kxcrypto: Could not open file 'nofile' for reading.
!
! ./kxcrypto: Unable to complete batch configuration.
[1]
$ ./kxcrypto -e -f export.csv && token
> Configuration successfully added.
> Successfully added config on line 1
> 1 lines successfully processed.
> 0 lines skipped due to errors.
> A warm or cold restart of services must be performed.
> objectClass: kxRawToken
> objectClass: kxCrypto
> kxCryptoString: enc_up_type=ARCFOUR,auth_down_type=simple
$ ./kxcrypto -d >/dev/null; printf '%s\n' '' 'tokenID=default' 'tokenID=other,mode=hard'
+ 'tokenID=default,mode=hard,mode=hard,mode=hard,mode=hard,mode=hard,mode=hard' | ./kxcrypto -e
> 0 lines successfully processed.
> 4 lines skipped due to errors.
> A warm or cold restart of services must be performed.
! ./kxcrypto: line 1 is not complete....skipping
! ./kxcrypto: line 2 does not have enoughkey/value pairs...skipping
! ./kxcrypto: tokenID on line 3 is not 'default'...skipping
! ./kxcrypto: line 4 has extraneous info...skipping
$ token
> objectClass: kxRawToken
$ ./kxcrypto -e
< tokenID=default,mode=hard
< ,mode=hard
< token=default,mode=hard
< tokenID,mode=hard
< ===,mode=hard
< tokenID=default.token,enc_up_type=ARCFOUR
< tokenID=default.token, mode = soft
< tokenID=default.token,  mode=soft  ,auth_down_type=simple
< tokenID=default,colour=red
> Configuration successfully added.
> Successfully added config on line 1
> Configuration successfully modified.
> Successfully modified config on line 6
> Configuration successfully modified.
> Successfully modified config on line 8
> 3 lines successfully processed.
> 6 lines skipped due to errors.
> A warm or cold restart of services must be performed.
! ./kxcrypto: line 2 is not complete....skipping
! ./kxcrypto: line 3 does not begin with key 'tokenID='...skipping
! ./kxcrypto: tokenID on line 4 is not 'default'...skipping
! ./kxcrypto: line 5 does not begin with key 'tokenID='...skipping
! ./kxcrypto: Invalid key 'mode '.
! ./kxcrypto: could not modify line 7...skipping
! ./kxcrypto: Invalid key 'colour'.
! ./kxcrypto: could not modify line 9...skipping
$ token
> objectClass: kxRawToken
> objectClass: kxCrypto
> kxCryptoString: mode=soft,auth_down_type=simple,enc_up_type=ARCFOUR
$ ./kxcrypto -e
< tokenID=default,mode=default,enc_up_type=default,auth_down_type=default
< tokenID=default,mode=default
> Configuration successfully modified.
> Successfully modified config on line 1
> Successfully added config on line 2
> 2 lines successfully processed.
> 0 lines skipped due to errors.
> A warm or cold restart of services must be performed.
$ token
> objectClass: kxRawToken

# A configuration changed by another writer between two lines: the second
# line is merged into what that writer stored.
$ put mode=hard && interleaved enc_up_type=ARCFOUR mode=soft,auth_down_type=simple mode=hard |
+ ./kxcrypto -e
> Configuration successfully modified.
> Successfully modified config on line 1
> Configuration successfully modified.
> Successfully modified config on line 2
> 2 lines successfully processed.
> 0 lines skipped due to errors.
> A warm or cold restart of services must be performed.
$ token && ./kxcrypto -d >/dev/null
> objectClass: kxRawToken
> objectClass: kxCrypto
> kxCryptoString: mode=hard,auth_down_type=simple

# A batch line is read in pieces of 255 characters, each taken as a line.
$ printf 'tokenID=default,mode=hard,auth_up_type=none%0220d\n' 0 | ./kxcrypto -e
> 0 lines successfully processed.
> 2 lines skipped due to errors.
> A warm or cold restart of services must be performed.
! ./kxcrypto: Invalid value
+ 'none000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000
++00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000
++000000000000000000000' to key 'auth_up_type'.
! ./kxcrypto: could not add line 1...skipping
! ./kxcrypto: line 2 does not have enoughkey/value pairs...skipping

# A default token configuration written by others that does not add up to
# the five keys.
$ put 'mode=hard,mode=soft' && ./kxcrypto
! ./kxcrypto: Internal system error
[1]
$ put 'mode=hard,mode=soft' && ./kxcrypto -o && ./kxcrypto -m mode=soft
> tokenID=default.token,mode=hard,mode=soft
> Configuration successfully modified.
> A warm or cold restart of services must be performed.
$ ./kxcrypto -d && token
> Successfully deleted configuration for the default token.
> A warm or cold restart of services must be performed.
> objectClass: kxRawToken
