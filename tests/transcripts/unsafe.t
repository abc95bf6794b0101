# Names that would reach outside the flash make a package broken; entries
# that are no regular file or are for another processor are passed over.
% evil1.qbx name=evil version=1.0 entry=100644:0:../escape:x
% evil2.qbx name=evil version=1.0 entry=100644:0:bin/../../escape:x
% evil3.qbx name=evil version=1.0 entry=100644:0:with\x20space:x
% evil4.qbx name=evil version=1.0 entry=100644:0:tab\x09here:x
% evil5.qbx name=evil version=1.0 entry=100644:0::x
% bad1.qbx name=.. version=1.0
% bad2.qbx name=. version=1.0
% bad3.qbx name=a/b version=1.0
% bad4.qbx name=a\x20b version=1.0
$ state > before
$ for n in 1 2 3 4 5; do lines installer -r $ROOT - < evil$n.qbx; echo "status $?"; test -e $ROOT/flash/var/pdb/image && echo "image left"; done | sort | uniq -c
      5 ERROR: installation of evil-1.0 failed: broken package
      5 installing evil-1.0 [..]
      5 status 1
$ state | diff before - && test -e $ROOT/escape
[1]
$ for n in 1 2 3 4; do cp bad$n.qbx $ROOT/flash/rw/pckg/bad.qbx; lines installer -r $ROOT; installer -q -r $ROOT - < bad$n.qbx; echo "status $?"; test -e $ROOT/flash/var/pdb/image && echo "image left"; done | sort | uniq -c
      4 ERROR: broken package bad.qbx
      4 ERROR: router installation failed!!!
      4 status 1
$ state | diff before -

# A test machine is no known processor variant: the entry for variant 3 is
# passed over with its data, and so is the directory entry.
% mixed.qbx name=mixed version=1.0 entry=100755:3:bin/other:for\x20variant\x203 entry=40755:0:lib: entry=100750:0:bin/all:for\x20all entry=100644:0:etc/empty:
$ rm $ROOT/flash/rw/pckg/* && cp mixed.qbx $ROOT/flash/rw/pckg
$ lines installer -r $ROOT
installing mixed-1.0 [..]
installed mixed-1.0
$ (cd $ROOT/flash && stat -c "%n %a %s" bin/* etc/* && grep . bin/all && ls lib; cat var/pdb/mixed/files)
bin/all 750 7
etc/empty 644 0
for all
ls: cannot access 'lib': No such file or directory
flash/bin/all
flash/etc/empty
