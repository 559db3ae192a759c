# A server that takes StartTLS only: without TLS, with a certificate
# authority that did not sign the server's certificate, and with a server
# name that the certificate does not hold, kxadmin check says why (the
# sessions' refusals: Tls.SessionsAndRefusals).
$ with_conf 's/^admin.server.tls = .*/admin.server.tls = none/' problems
> administrator bind as cn=admin,o=kxdata: error: the server wants TLS; set admin.server.tls to
+ starttls or ldaps
[1]
$ with_conf 's|/ca.pem$|/other-ca.pem|' problems
> directory ldap://127.0.0.1:PORT: error: TLS failed: Connect error; the server's certificate must
+ name admin.server.name and be signed by the authority of admin.server.cacert
[1]
$ with_conf 's/^admin.server.name = .*/admin.server.name = localhost/' problems
> directory ldap://localhost:PORT: error: TLS failed: Connect error; for the name localhost libldap
+ checks the certificate against this machine's own host name: set admin.server.name to a name or
+ address that the certificate holds
[1]
$ with_conf 's/^admin.server.tls = .*/admin.server.tls = tls/' problems
> kxadmin.conf: error: line 27: admin.server.tls must be none, starttls or ldaps
> status databases and directory: error: not checked; correct kxadmin.conf first
[1]

# An authority file that cannot be loaded ends every connection, whatever
# libldap's environment and an ldaprc in the current directory say.
$ unchecked ./kxcrypto
! ./kxcrypto: Could not connect to admin server.
[1]
$ echo "$KX_ADMIN_PW" | unchecked ./kxadmin passwd 2>&1 | sed "s|:$KX_LDAP_PORT|:PORT|"
> kxadmin: cannot bind to ldap://127.0.0.1:PORT as cn=admin,o=kxdata: TLS settings: Connect error
$ unchecked ./kxadmin init 2>&1 | tail -n 1 | sed "s|:$KX_LDAP_PORT|:PORT|"
> kxadmin: cannot bind to ldap://127.0.0.1:PORT as cn=admin,o=kxdata: TLS settings: Connect error

# Without admin.server.cacert the authority is libldap's: TLS_CACERT of
# ldap.conf or LDAPTLS_CACERT, never an ldaprc; with it, that file alone.
# (kxcrypto -o that connects finds no configuration.)
$ no_cacert with_ldap_conf "TLS_CACERT $KX_TLS_DIR/ca.pem" ./kxcrypto -o
! ./kxcrypto: An explicit configuration for the default token doesn't exist.  Internal default
+ values will be used.
[1]
$ no_cacert with_ldap_conf "TLS_CACERT $KX_TLS_DIR/other-ca.pem" ./kxcrypto -o
! ./kxcrypto: Could not connect to admin server.
[1]
$ export LDAPTLS_CACERT=$KX_TLS_DIR/ca.pem && no_cacert with_ldap_conf '' ./kxcrypto -o
! ./kxcrypto: An explicit configuration for the default token doesn't exist.  Internal default
+ values will be used.
[1]
$ echo "TLS_CACERT $KX_TLS_DIR/ca.pem" >ldaprc && no_cacert with_ldap_conf '' ./kxcrypto -o
! ./kxcrypto: Could not connect to admin server.
[1]
$ rm ldaprc && with_ldap_conf "TLS_CACERT $KX_TLS_DIR/other-ca.pem" ./kxcrypto -o
! ./kxcrypto: An explicit configuration for the default token doesn't exist.  Internal default
+ values will be used.
[1]

# kxadmin init takes the TLS settings: a fresh set-up needs no edit.
$ with_file "$KX_ADMIN_CONF" '' tls_init
> admin.server.tls = starttls
> admin.server.cacert = TLS/ca.pem
> directory ldap://127.0.0.1:PORT: ok, starttls
$ set -o pipefail; ./kxadmin init -t tls 2>&1 | head -1
> kxadmin: -t takes none, starttls or ldaps
[2]
