# A device gets alpha 1.0, then 1.1 in its place; the older 1.0 waits for
# the user to ask for a downgrade; a version already there is only put
# back by a reinstall.
$ mkdir -p one/bin one/etc two/bin && printf one > one/bin/alpha && printf x=1 > one/etc/alpha.conf
$ printf two > two/bin/alpha2 && printf new > two/bin/alpha
$ qbxtool build -o alpha-1.0.qbx --name alpha --version 1.0 one && qbxtool build -o alpha-1.1.qbx --name alpha --version 1.1 two
$ cp alpha-1.0.qbx $ROOT/flash/rw/pckg/a.qbx
$ lines installer -r $ROOT
installing alpha-1.0 [..]
installed alpha-1.0
$ (cd $ROOT/flash && grep -r . bin etc var/pdb | sort && find var/pdb -empty && ls PCKGS_CHANGED && cat postlog)
bin/alpha:one
etc/alpha.conf:x=1
var/pdb/alpha/files:flash/bin/alpha
var/pdb/alpha/files:flash/etc/alpha.conf
var/pdb/alpha/version:16803328 0
var/pdb/alpha/deps
PCKGS_CHANGED
installed alpha-1.0
$ cp alpha-1.1.qbx $ROOT/flash/rw/pckg/a.qbx
$ lines installer -r $ROOT
installing alpha-1.1 [..]
installed alpha-1.1
$ (cd $ROOT/flash && grep -r . bin etc var/pdb | sort && cat postlog)
bin/alpha2:two
bin/alpha:new
var/pdb/alpha/files:flash/bin/alpha
var/pdb/alpha/files:flash/bin/alpha2
var/pdb/alpha/version:16868864 0
installed alpha-1.0
installed alpha-1.1
$ cp alpha-1.0.qbx $ROOT/flash/rw/pckg/a.qbx
$ lines installer -r $ROOT
WARNING: omitting package alpha-1.0: newer package alpha-1.1 is already installed
$ cat $ROOT/flash/bin/alpha
new (no-eol)
$ touch $ROOT/rw/DOWNGRADE
$ lines installer -r $ROOT
installing alpha-1.0 [..]
installed alpha-1.0
$ cat $ROOT/flash/bin/alpha; ls $ROOT/rw
one (no-eol)
$ lines installer -r $ROOT
WARNING: omitting package alpha-1.0: it is already installed
$ lines installer -r $ROOT --reinstall
Resuming upgrade...
installed alpha-1.0
$ cat $ROOT/flash/bin/alpha
one (no-eol)

# The second upload folder is read only when the first holds no package.
$ qbxtool build -o $ROOT/flash/var/pckg/b.qbx --name beta --version 1.0 && lines installer -r $ROOT
WARNING: omitting package alpha-1.0: it is already installed
$ rm $ROOT/flash/rw/pckg/a.qbx && lines installer -r $ROOT
installing beta-1.0 [..]
installed beta-1.0
