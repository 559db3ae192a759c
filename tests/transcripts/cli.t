# kxcrypto's command line and the checks of its pairs, against a single
# directory server holding no configuration.

# Nothing stored: the display shows the built-in values, all inherited, to
# root and to anybody else; changes need both ids 0, and are refused before
# any other check.
$ ./kxcrypto
> Token ID: default.token
> 	Key            	Value          	Inherited      
> 	---		-----		-------
> 	enc_up_type    	none           	*
> 	enc_down_type  	none           	*
> 	auth_up_type   	none           	*
> 	auth_down_type 	none           	*
> 	mode           	soft           	*
$ as 65534 65534 ./kxcrypto | cmp - <(./kxcrypto) && as 0 65534 ./kxcrypto | cmp - <(./kxcrypto) &&
+ echo same
> same
$ as 65534 65534 ./kxcrypto -h
! ./kxcrypto: Must be root to set configuration.
[1]
$ as 65534 0 ./kxcrypto -d
! ./kxcrypto: Must be root to set configuration.
[1]
$ as 0 65534 ./kxcrypto -a mode=hard
! ./kxcrypto: Must be root to set configuration.
[1]
$ ./kxcrypto -d
! ./kxcrypto: Configuration for the default token doesn't exist.
[1]
$ ./kxcrypto -o
! ./kxcrypto: An explicit configuration for the default token doesn't exist.  Internal default
+ values will be used.
[1]
$ ./kxcrypto -m mode=hard
! ./kxcrypto: Configuration for the default token doesn't exist.
[1]
$ token
> No such object (32)
> Matched DN: kxName=rawTokens,kxName=kx,o=kxdata

# The command line.
$ ./kxcrypto -h
> <usage>
$ ./kxcrypto -a -d
! ./kxcrypto: Must perform one operation at a time.
! Please specify only one of the -a, -d, -e, -m
! and -o options.
[1]
$ ./kxcrypto -x
! ./kxcrypto: invalid option -- 'x'
! <usage>
[1]
$ ./kxcrypto -e -f
! ./kxcrypto: option requires an argument -- 'f'
! <usage>
[1]
$ ./kxcrypto -d now
! ./kxcrypto: malformed command line. Unexpected argument: now
! <usage>
[1]
$ ./kxcrypto -h -d
! ./kxcrypto: Cannot specify -h with other options.
! <usage>
[1]
$ ./kxcrypto -f out
! ./kxcrypto: -f must be used with either -e or -o.
! <usage>
[1]
$ ./kxcrypto word
$ ./kxcrypto -a
! ./kxcrypto: No key value pairs specified.
! <usage>
[1]
$ ./kxcrypto -a mode=hard -d
! ./kxcrypto: Ill-formed key/value pair -d
[1]

# Validation of the pairs; nothing is stored by a refused add.
$ ./kxcrypto -a colour=red
! ./kxcrypto: Invalid key 'colour'.
[1]
$ ./kxcrypto -a auth_up_type=simple
! ./kxcrypto: Invalid value 'simple' to key 'auth_up_type'.
[1]
$ ./kxcrypto -a mode=hard mode=soft
! ./kxcrypto: Duplicate key 'mode=soft'.
[1]
$ ./kxcrypto -a mode=default mode=hard
! ./kxcrypto: Duplicate key 'mode=hard'.
[1]
$ ./kxcrypto -a auth_down_type=simple auth_down_type=bad
! ./kxcrypto: Invalid value 'bad' to key 'auth_down_type'.
[1]
$ ./kxcrypto -a mode
! ./kxcrypto: Ill-formed key/value pair mode
[1]
$ ./kxcrypto -a mode=
! ./kxcrypto: Ill-formed key/value pair mode=
[1]
$ ./kxcrypto -a =
! ./kxcrypto: Ill-formed key/value pair =
[1]
$ ./kxcrypto -a mode=default enc_up_type=default
> A warm or cold restart of services must be performed.
$ token
> No such object (32)
> Matched DN: kxName=rawTokens,kxName=kx,o=kxdata
