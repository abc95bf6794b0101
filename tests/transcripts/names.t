# Entries whose target cannot become a plain file, entries inside the
# package database and names that the database cannot read back make a
# package broken before anything changes: the tree stays as it was, the
# database lists only files that exist and no temporary file is left.
% e1.qbx name=evil version=1.0 entry=100644:0:bin:x
% e2.qbx name=evil version=1.0 entry=100644:0:y/.:x
% e3.qbx name=evil version=1.0 entry=100644:0:a//b:x
% e4.qbx name=evil version=1.0 entry=100644:0:./x:x
% e5.qbx name=evil version=1.0 entry=100644:0:\{256:n}:x
% e6.qbx name=evil version=1.0 entry=100644:0:\{2043:p/}xxx:x
% e7.qbx name=evil version=1.0 entry=100644:0:q:x entry=100644:0:q/sub:y
% e8.qbx name=evil version=1.0 entry=100644:0:q/sub:y entry=100644:0:q:x
% e9.qbx name=evil version=1.0 entry=100644:0:var/pdb/base/files:bin/evil
$ mkdir -p tree/bin && echo base > tree/bin/base && qbxtool build -o $ROOT/flash/rw/pckg/base.qbx --name base --version 1.0 tree
$ installer -q -r $ROOT && rm $ROOT/flash/rw/pckg/* && state > before
$ check() { state | diff before -; (cd $ROOT && cat flash/var/pdb/*/files | while read f; do test -f "$f" || echo "missing $f"; done); find $ROOT/flash $ROOT/ram -name 'tmp*'; }
$ for n in 1 2 3 4 5 6 7 8 9; do lines installer -r $ROOT - < e$n.qbx; echo "status $?"; rm -f $ROOT/flash/var/pdb/image; check; done | sort | uniq -c
      9 ERROR: installation of evil-1.0 failed: broken package
      9 installing evil-1.0 [..]
      9 status 1
$ cp e9.qbx $ROOT/flash/rw/pckg && lines installer -r $ROOT; check
installing evil-1.0 [..]
ERROR: installation of evil-1.0 failed: broken package
$ rm $ROOT/flash/rw/pckg/*

# Dotted names, and a component and a whole target of the greatest length
# that fits, are no fault.
% fine.qbx name=fine version=1.0 entry=100644:0:/fine/\{255:b}:x\x0a entry=100644:0:fine/.dot/..x:y\x0a entry=100644:0:fine/qq/sub:w\x0a entry=100644:0:fine/q:z\x0a
$ lines installer -r $ROOT - < fine.qbx && rm -f $ROOT/flash/var/pdb/image
installing fine-1.0 [..]
installed fine-1.0
$ (cd $ROOT && xargs cat < flash/var/pdb/fine/files) && rm -r $ROOT/flash/fine $ROOT/flash/var/pdb/fine && check
y
x
z
w
% deep.qbx name=deep version=1.0 entry=100644:0:\{2043:p/}xx:deep
$ lines installer -r $ROOT - < deep.qbx && (cd $ROOT && cat $(cat flash/var/pdb/deep/files)) && rm -r $ROOT/flash/p $ROOT/flash/var/pdb/deep && check
installing deep-1.0 [..]
installed deep-1.0
deep (no-eol)

# A package name that starts with "." would be no database entry; names in
# the relation lists must read back from the database as they were written.
% h1.qbx name=.hidden version=1.0 entry=100644:0:bin/hidden:x
% h2.qbd name=.bundle version=1.0 bundle
% h3.qbx name= version=1.0
% r1.qbx name=refs version=1.0 depends=base\x09
% r2.qbx name=refs version=1.0 provides=a\x20b
% r3.qbx name=refs version=1.0 conflicts=
% r4.qbx name=refs version=1.0 conflicts=x\x01
$ for p in h1.qbx h2.qbd h3.qbx r1.qbx r2.qbx r3.qbx r4.qbx; do lines installer -r $ROOT - < $p; echo "status $?"; rm -f $ROOT/flash/var/pdb/image; check; done
ERROR: installation of .hidden-1.0 failed: broken package
status 1
ERROR: installation of .bundle-1.0 failed: broken package
status 1
ERROR: broken package
status 1
ERROR: installation of refs-1.0 failed: broken package
status 1
ERROR: installation of refs-1.0 failed: broken package
status 1
ERROR: installation of refs-1.0 failed: broken package
status 1
ERROR: installation of refs-1.0 failed: broken package
status 1
$ cp h1.qbx r1.qbx r2.qbx r3.qbx r4.qbx $ROOT/flash/rw/pckg && lines installer -r $ROOT | sort; check
ERROR: broken package h1.qbx
ERROR: broken package r1.qbx
ERROR: broken package r2.qbx
ERROR: broken package r3.qbx
ERROR: broken package r4.qbx
