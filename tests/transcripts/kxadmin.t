# kxadmin against a slapd run from cn=config: the report of a sound setup,
# then one broken setup a case, each with the lines that kxadmin check
# prints for it.
$ check
> kxadmin.conf: ok
> kxadmin.pw: ok
> kxdsd.conf: ok, this host is the primary server
> desktop status database: ok, 0 records
> user status database: ok, 0 records
> directory ldap://127.0.0.1:PORT: ok
> anonymous bind: ok
> administrator bind as cn=admin,o=kxdata: ok
> schema: ok
> base tree kxName=kx,o=kxdata: ok
> secrets: ok, none stored yet
> replication: ok, the directory server takes writes itself

# kxadmin.conf
$ with_file "$KX_ADMIN_CONF" "$(sed 's/^admin.server.name /admin.sever.name /' "$KX_ADMIN_CONF")"
+ problems
> kxadmin.conf: error: line 7: unknown key admin.sever.name, did you mean admin.server.name?
> kxadmin.conf: error: admin.server.name is missing
> status databases and directory: error: not checked; correct kxadmin.conf first
[1]
$ with_file "$KX_ADMIN_CONF" "$(sed 's/^admin.subtree = /admin.subtree: /' "$KX_ADMIN_CONF")"
+ problems
> kxadmin.conf: error: line 16: not "key = value": admin.subtree: kxName=kx,o=kxdata
> kxadmin.conf: error: admin.subtree is missing
> status databases and directory: error: not checked; correct kxadmin.conf first
[1]
$ with_file "$KX_ADMIN_CONF" "$(sed '/^admin.user.name/d; s/^admin.server.port .*/admin.server.port
+ = ldap/' "$KX_ADMIN_CONF")" problems
> kxadmin.conf: error: line 8: admin.server.port must be a number from 1 to 65535
> kxadmin.conf: error: admin.user.name is missing
> status databases and directory: error: not checked; correct kxadmin.conf first
[1]
$ with_file "$KX_ADMIN_CONF" "$(sed 's/^admin.server.port .*/admin.server.port = 70000/'
+ "$KX_ADMIN_CONF")" problems
> kxadmin.conf: error: line 8: admin.server.port must be a number from 1 to 65535
> status databases and directory: error: not checked; correct kxadmin.conf first
[1]
$ with_file "$KX_ADMIN_CONF" "$(sed 's/$/\r/' "$KX_ADMIN_CONF")" problems
> kxadmin.conf: error: 14 lines end with a carriage return, the first line 5; save the file with
+ Unix line ends
> status databases and directory: error: not checked; correct kxadmin.conf first
[1]
$ with_mode 0600 "$KX_ADMIN_CONF" problems
> kxadmin.conf: warning: other users cannot read it, so kxcrypto run by them cannot connect; chmod
+ 644 /etc/opt/QRLNkx/kxadmin.conf
$ with_file "$KX_ADMIN_CONF" '' problems
> kxadmin.conf: error: /etc/opt/QRLNkx/kxadmin.conf: No such file or directory; create it with
+ kxadmin init
> status databases and directory: error: not checked; correct kxadmin.conf first
[1]

# kxadmin.pw
$ with_file "$KX_ADMIN_PWFILE" '' problems
> kxadmin.pw: error: /etc/opt/QRLNkx/kxadmin.pw: No such file or directory; write it with kxadmin
+ passwd
> administrator bind as cn=admin,o=kxdata: error: no password in kxadmin.pw; write it with kxadmin
+ passwd
[1]
$ with_file "$KX_ADMIN_PWFILE" ' ' problems
> kxadmin.pw: error: empty; write it with kxadmin passwd
> administrator bind as cn=admin,o=kxdata: error: no password in kxadmin.pw; write it with kxadmin
+ passwd
[1]
$ with_file "$KX_ADMIN_PWFILE" "$KX_ADMIN_PW" problems
> administrator bind as cn=admin,o=kxdata: error: kxadmin.pw holds the password in clear, not
+ scrambled; write it with kxadmin passwd
[1]
$ with_file "$KX_ADMIN_PWFILE" "$(rot13 <<<"$KX_ADMIN_PW")"$'\r\n' problems
> kxadmin.pw: error: holds a carriage return; write it with kxadmin passwd
> administrator bind as cn=admin,o=kxdata: error: Invalid credentials; write the right password with
+ kxadmin passwd
[1]
$ with_file "$KX_ADMIN_PWFILE" "$(rot13 <<<"$KX_ADMIN_PW")"$'\nsecond\n' problems
> kxadmin.pw: error: holds 2 lines where only the first is read; write it with kxadmin passwd
[1]
$ with_mode 0644 "$KX_ADMIN_PWFILE" problems
> kxadmin.pw: error: mode 0644, not 0600; chmod 600 /etc/opt/QRLNkx/kxadmin.pw
[1]
$ with_file "$KX_ADMIN_PWFILE" "$(rot13 <<<kx-Wrong-Secret)" problems
> administrator bind as cn=admin,o=kxdata: error: Invalid credentials; write the right password with
+ kxadmin passwd
[1]

# kxdsd.conf and the primary
$ with_file "$KX_DSD_CONF" '' problems
> kxdsd.conf: error: /etc/opt/QRLNkx/kxds/current/kxdsd.conf: File or directory does not exist;
+ directory writes need it
[1]
$ with_file "$KX_DSD_CONF" $'database mdb\nsuffix "o=other"\n' problems
> kxdsd.conf: error: no database with the suffix o=kxdata
[1]
$ with_file "$KX_DSD_CONF" "$(sed 's|primary.example.org:389|127.0.0.1:1|'
+ "$KX_TESTS/../doc/examples/kxdsd.conf.replica")" problems
> primary server 127.0.0.1:1: error: unreachable, so directory writes fail; check the primary's host
+ and port in kxdsd.conf, that its slapd runs, and the network between the two hosts
> replication: warning: the directory server takes writes itself, but kxdsd.conf names 127.0.0.1:1
+ the primary server, where the library sends its existence tests
[1]

# status databases
$ mv "$KX_DSTATUS_DB.pag" saved.pag && problems
> desktop status database: error: /var/opt/QRLNkx/data/dstatus.pag: No such file or directory;
+ kxadmin init moves /var/opt/QRLNkx/data/dstatus.dir to /var/opt/QRLNkx/data/dstatus.dir.orphan and
+ creates both files anew
[1]
$ touch "$KX_DSTATUS_DB.dir.orphan" && problems
> desktop status database: error: /var/opt/QRLNkx/data/dstatus.pag: No such file or directory;
+ /var/opt/QRLNkx/data/dstatus.dir.orphan is taken, so kxadmin init cannot move
+ /var/opt/QRLNkx/data/dstatus.dir aside: move or remove one of them, then run kxadmin init
[1]
$ kxinit
> /etc/opt/QRLNkx/kxadmin.conf: exists
> /etc/opt/QRLNkx/kxds/current/kxdsd.conf: exists
> kxadmin: cannot move /var/opt/QRLNkx/data/dstatus.dir to /var/opt/QRLNkx/data/dstatus.dir.orphan:
+ File exists
> /var/opt/QRLNkx/data/ustatus: exists
> o=kxdata: exists
> kxName=kx,o=kxdata: exists
> kxName=users,kxName=kx,o=kxdata: exists
> kxName=logicalTokens,kxName=kx,o=kxdata: exists
> kxName=rawTokens,kxName=kx,o=kxdata: exists
[1]
$ rm "$KX_DSTATUS_DB.dir.orphan" && kxinit | grep dstatus && problems
> /var/opt/QRLNkx/data/dstatus.dir: moved to /var/opt/QRLNkx/data/dstatus.dir.orphan
> /var/opt/QRLNkx/data/dstatus: created
$ rm "$KX_DSTATUS_DB.dir.orphan" saved.pag
$ with_file "$KX_USTATUS_DB.pag" 'not a database' problems
> user status database: error: /var/opt/QRLNkx/data/ustatus is not an ndbm database (.dir/.pag pair)
[1]
$ with_mode 0600 "$KX_USTATUS_DB.dir" problems
> user status database: warning: other users cannot read it, so kxcrypto run by them cannot connect;
+ chmod 644 /var/opt/QRLNkx/data/ustatus.dir /var/opt/QRLNkx/data/ustatus.pag
$ cp "$KX_USTATUS_DB.pag" saved.pag && put_record u1 u1 Ann 0 1 d 2 && check | grep user
> user status database: ok, 1 record
$ put_record u2 u2 Bob x 1 d 2 && put_record u3 u3 Eve && put_record u4 u5 Eve 0 0 '' 0 && problems
> user status database: error: 3 of 4 records do not decode: u2 (create_time is not a number), u3 (2
+ fields, not 6), u4 (its id is not its key)
[1]
$ cp saved.pag "$KX_USTATUS_DB.pag"

# the directory
$ with_file "$KX_ADMIN_CONF" "$(sed 's/^admin.server.port .*/admin.server.port = 1/'
+ "$KX_ADMIN_CONF")" problems
> directory ldap://127.0.0.1:1: error: no answer: Connection refused; start the server or correct
+ admin.server.name and admin.server.port
[1]
$ echo 'admin.ldap.timeout = 2' >>"$KX_ADMIN_CONF" && silent_server problems
> directory ldap://127.0.0.1:PORT: error: no answer within 2 seconds (admin.ldap.timeout); the
+ server may be hung or overloaded
[1]
$ silent_server full problems
> directory ldap://127.0.0.1:PORT: error: no answer within 2 seconds (admin.ldap.timeout); the
+ server may be hung or overloaded
[1]
# a server without the kx schema, and one with a part of it
$ bare start && database_ldif '/kxID\|kxLogical\|kxSecret/d' && on_bare problems
> schema: error: the server does not know the kx schema; load it: ldapadd -Y EXTERNAL -H ldapi:///
+ -f /etc/ldap/schema/kx.ldif (cn=config) or include /etc/ldap/schema/kx.schema in slapd.conf
[1]
$ sed '/kxSynch/,/kxGenerationNumber )/d' "$KX_SCHEMA_LDIF" | on_bare_config && on_bare problems
> schema: error: the server does not know kxSynch; its kx schema is not the current one: replace it
+ with kx.ldif (cn=config) or kx.schema (slapd.conf) of /etc/ldap/schema
[1]
$ bare stop
$ printf 'dn: cn=config\nchangetype: modify\ndelete: olcAllows\n' | config && problems
> anonymous bind: error: Server is unwilling to perform; other users' kxcrypto binds as cn=anonymous
+ without a password: allow it (olcAllows: bind_anon_dn in cn=config, allow bind_anon_dn in
+ slapd.conf)
[1]
$ printf 'dn: cn=config\nchangetype: modify\nadd: olcAllows\nolcAllows: bind_anon_dn\n' | config
$ with_conf 's/^admin.subtree = .*/admin.subtree = kxName=kx1,o=kxdata/' problems
> base tree: error: kxName=kx1,o=kxdata: No such object; o=kxdata holds the server group
+ kxName=kx,o=kxdata: correct admin.subtree in kxadmin.conf
[1]
$ set -o pipefail; with_conf 's/^admin.subtree = .*/admin.subtree = kxName=kx,o=kxdta/' kxinit |
+ grep -v ': exists'
> kxadmin: cannot add o=kxdta: Server is unwilling to perform
[1]
$ ldap ldapdelete "kxName=users,$KX_SUBTREE" && problems
> base tree: error: kxName=users,kxName=kx,o=kxdata: No such object; create it with kxadmin init
[1]
$ ./kxadmin init -n | grep -v ': exists' && ./kxadmin init >/dev/null && problems
> kxName=users,kxName=kx,o=kxdata: would be added
$ put mode=hard && printf 'dn: %s\nchangetype: modify\nadd: kxSecret\nkxSecret: s3cret\n'
+ "$token_dn" | ldap ldapmodify >/dev/null && check | grep ^secrets
> secrets: ok, hidden from anonymous clients
$ printf 'dn: olcDatabase={1}mdb,cn=config\nchangetype: modify\nadd: olcAccess\nolcAccess: {0}to *
+ by * read\n' | config && problems
> secrets: warning: anonymous clients can read kxSecret; add the access rule "to attrs=kxSecret by
+ dn.exact=<administrator> write by * none"
$ printf 'dn: olcDatabase={1}mdb,cn=config\nchangetype: modify\ndelete: olcAccess\nolcAccess: {0}\n'
+ | config

# kxadmin init writes through no symbolic link, not even one that points
# nowhere.
$ planted_links "$KX_USTATUS_DB" && ./kxadmin init | grep ustatus | sed "s|$KX_PRODUCT_ROOT||"
> /var/opt/QRLNkx/data/ustatus: exists
$ ls planted.*; planted_links "$KX_USTATUS_DB" back
! ls: cannot access 'planted.*': No such file or directory

# kxadmin init and passwd from nothing: the files, then the password.
$ rm "$KX_ADMIN_CONF" "$KX_DSD_CONF" "$KX_ADMIN_PWFILE" "$KX_DSTATUS_DB".* "$KX_USTATUS_DB".* &&
+ ./kxadmin init -n | sed "s|$KX_PRODUCT_ROOT||g"
> /etc/opt/QRLNkx/kxadmin.conf: would be created
> /etc/opt/QRLNkx/kxds/current/kxdsd.conf: would be created, this host the primary server
> /var/opt/QRLNkx/data/dstatus: would be created
> /var/opt/QRLNkx/data/ustatus: would be created
> directory: not touched until /etc/opt/QRLNkx/kxadmin.conf exists
$ kxinit -n -r ldap1.example.org | grep kxdsd
> /etc/opt/QRLNkx/kxds/current/kxdsd.conf: would be created, a replica of ldap1.example.org:389
$ set -o pipefail; kxinit -r ldap://ldap1.example.org | head -1
> kxadmin: -r takes the primary server as host or host:port
[2]
$ set -o pipefail; kxinit -r ldap1.example.org:0 | head -1
> kxadmin: -r takes the primary server as host or host:port
[2]
$ ./kxadmin init -s 127.0.0.1 -p "$KX_LDAP_PORT" -D "$KX_ADMIN_DN" -b "$KX_SUBTREE" | sed
+ "s|$KX_PRODUCT_ROOT||g"
> /etc/opt/QRLNkx/kxadmin.conf: created
> /etc/opt/QRLNkx/kxds/current/kxdsd.conf: created, this host the primary server
> /var/opt/QRLNkx/data/dstatus: created
> /var/opt/QRLNkx/data/ustatus: created
> directory: not touched; write the password file with kxadmin passwd, then run kxadmin init again
$ set -o pipefail; echo kx-Wrong-Secret | ./kxadmin passwd 2>&1 | sed "s|:$KX_LDAP_PORT|:PORT|"
> kxadmin: ldap://127.0.0.1:PORT refused the password of cn=admin,o=kxdata: Invalid credentials
[1]
$ echo "$KX_ADMIN_PW" | ./kxadmin passwd | sed "s|$KX_PRODUCT_ROOT||g" && rot13 <"$KX_ADMIN_PWFILE"
+ && stat -c %a "$KX_ADMIN_PWFILE"
> /etc/opt/QRLNkx/kxadmin.pw: written
> kx-Testbed-Secret1
> 600
$ ./kxadmin init | grep -v ': exists' && problems
[1]
$ for a in "init -x" "init extra" "passwd extra" bogus; do ./kxadmin $a 2>&1 | sed -n 1p; echo
+ "${PIPESTATUS[0]}"; done
> ./kxadmin: invalid option -- 'x'
> 2
> kxadmin: unexpected argument: extra
> 2
> usage: kxadmin check
> 2
> usage: kxadmin check
> 2
$ ./kxadmin
! usage: kxadmin check
!        kxadmin init [-n] [-s server] [-p port] [-D admin-dn] [-b subtree]
!                     [-t none|starttls|ldaps] [-c cacert-file]
!                     [-r primary[:port]]
!        kxadmin passwd
[2]
