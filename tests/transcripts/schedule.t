# The user's wishes for installed packages wait in /ram/pdb/NAME/schedule
# and are carried out by the next run: beta, which needs alpha, is disabled
# and enabled again; alpha cannot go while beta needs it, nor both at once.
$ mkdir -p a/bin b/bin && echo a > a/bin/alpha && echo b > b/bin/beta
$ qbxtool build -o $ROOT/flash/rw/pckg/alpha.qbx --name alpha --version 1.0 a
$ qbxtool build -o $ROOT/flash/rw/pckg/beta.qbx --name beta --version 1.0 --depends alpha b
$ installer -q -r $ROOT && rm $ROOT/flash/rw/pckg/*
$ wish() { mkdir -p $ROOT/ram/pdb/$1 && echo $2 > $ROOT/ram/pdb/$1/schedule; }
$ wish beta disable && lines installer -r $ROOT
disabling beta-1.0...
disabled beta-1.0
$ rm -r $ROOT/ram/pdb && ls $ROOT/flash/var/pdb/beta && cat $ROOT/flash/var/pdb/beta/disabled
deps
disabled
files
version
user
$ wish beta enable && lines installer -r $ROOT
enabling beta-1.0...
enabled beta-1.0
$ rm -r $ROOT/ram/pdb && ls $ROOT/flash/var/pdb/beta && cat $ROOT/flash/var/pdb/beta/enabled $ROOT/flash/postlog
deps
enabled
files
version
user
disabled beta-1.0
enabled beta-1.0

$ wish alpha uninstall && wish beta uninstall && lines installer -r $ROOT
ERROR: can not uninstall or disable all packages
$ rm -r $ROOT/ram/pdb && wish alpha uninstall && lines installer -r $ROOT
WARNING: can not uninstall alpha-1.0: beta depends on it
$ rm -r $ROOT/ram/pdb && wish beta uninstall && lines installer -r $ROOT
$ rm -r $ROOT/ram/pdb && (cd $ROOT/flash && ls bin var/pdb)
bin:
alpha

var/pdb:
alpha
