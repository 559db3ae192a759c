# A server that takes StartTLS only: without TLS, with a certificate
# authority that did not sign the server's certificate, and with a server
# name that the certificate does not hold, kxcrypto cannot connect, and
# kxadmin check says why.
$ with_conf 's/^admin.server.tls = .*/admin.server.tls = none/' ./kxcrypto
! ./kxcrypto: Could not connect to admin server.
[1]
$ with_conf 's/^admin.server.tls = .*/admin.server.tls = none/' problems
> administrator bind as cn=admin,o=kxdata: error: the server wants TLS; set admin.server.tls to starttls or ldaps
[1]
$ with_conf 's|/ca.pem$|/other-ca.pem|' ./kxcrypto -o
! ./kxcrypto: Could not connect to admin server.
[1]
$ with_conf 's|/ca.pem$|/other-ca.pem|' problems
> directory ldap://127.0.0.1:PORT: error: TLS failed: Connect error; the server's certificate must name admin.server.name and be signed by the authority of admin.server.cacert
[1]
$ with_conf 's/^admin.server.name = .*/admin.server.name = localhost/' ./kxcrypto -d
! ./kxcrypto: Could not connect to admin server.
[1]
$ with_conf 's/^admin.server.name = .*/admin.server.name = localhost/' problems
> directory ldap://localhost:PORT: error: TLS failed: Connect error; the server's certificate must name admin.server.name and be signed by the authority of admin.server.cacert
[1]
$ with_conf 's/^admin.server.tls = .*/admin.server.tls = tls/' ./kxcrypto
! ./kxcrypto: Could not connect to admin server.
[1]
$ with_conf 's/^admin.server.tls = .*/admin.server.tls = tls/' problems
> kxadmin.conf: error: line 27: admin.server.tls must be none, starttls or ldaps
> status databases and directory: error: not checked; correct kxadmin.conf first
[1]
