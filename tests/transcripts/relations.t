# What a package needs and excludes decides how it is installed: a package
# that an installed one conflicts with comes in disabled, one whose
# dependency is missing or that is made for another processor not at all.
$ mkdir -p victim/bin && printf v > victim/bin/victim
$ qbxtool build -o $ROOT/flash/rw/pckg/guard.qbx --name guard --version 1.0 --conflicts victim
$ lines installer -r $ROOT
installing guard-1.0 [..]
installed guard-1.0
$ rm $ROOT/flash/rw/pckg/* && qbxtool build -o $ROOT/flash/rw/pckg/victim.qbx --name victim --version 1.0 victim
$ lines installer -r $ROOT
installing  (disabled) victim-1.0 [..]
installed (disabled) victim-1.0
$ (cd $ROOT/flash && grep -r . x var/pdb/victim/disabled | sort && ls bin)
var/pdb/victim/disabled:auto
x/victim/bin/victim:v
ls: cannot access 'bin': No such file or directory
[2]

$ rm $ROOT/flash/rw/pckg/* && qbxtool build -o $ROOT/flash/rw/pckg/needy.qbx --name needy --version 1.0 --depends missing:2.0
$ lines installer -r $ROOT
ERROR: can not install needy-1.0: missing-2.0 is not installed, but is required
$ rm $ROOT/flash/rw/pckg/* && qbxtool build -o $ROOT/flash/rw/pckg/foreign.qbx --name foreign --version 1.0 --arch powerpc
$ lines installer -r $ROOT
ERROR: can not install foreign-1.0: it is not made for i386, but for powerpc
$ ls $ROOT/flash/var/pdb
guard
victim
