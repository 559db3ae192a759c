# kxcrypto over TLS, on servers that refuse anything else: add, display,
# batch edit, export and delete, on a single server or on a replica that
# refers the writes to its primary.
$ ./kxcrypto -a mode=hard enc_up_type=ARCFOUR && synced
> Configuration successfully added.
> A warm or cold restart of services must be performed.
$ ./kxcrypto -e && synced && token
< tokenID=default.token,enc_down_type=ARCFOUR
> Configuration successfully modified.
> Successfully modified config on line 1
> 1 lines successfully processed.
> 0 lines skipped due to errors.
> A warm or cold restart of services must be performed.
> objectClass: kxRawToken
> objectClass: kxCrypto
> kxCryptoString: enc_down_type=ARCFOUR,mode=hard,enc_up_type=ARCFOUR
$ ./kxcrypto | sed -n 1,4p
> Token ID: default.token
> 	Key            	Value          	Inherited      
> 	---		-----		-------
> 	enc_down_type  	ARCFOUR        	 
$ ./kxcrypto -d && synced && ./kxcrypto -o
> Successfully deleted configuration for the default token.
> A warm or cold restart of services must be performed.
! ./kxcrypto: An explicit configuration for the default token doesn't exist.  Internal default
+ values will be used.
[1]
