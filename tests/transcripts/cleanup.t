# --cleanup uninstalls what is no longer wanted: it keeps the base and the
# packages that need its current generation, and drops those made for an
# older one and those that nothing needs, also when they need a recent
# version of another base package.
$ mkdir -p t/bin old/bin new/bin loose/bin && echo t > t/bin/tessel && echo o > old/bin/old && echo n > new/bin/new && echo l > loose/bin/loose
$ (cd $ROOT/flash/rw/pckg && qbxtool build -o tessel.qbx --name tessel --version 6.40 $OLDPWD/t && qbxtool build -o wardle.qbx --name wardle --version 6.40)
$ qbxtool build -o $ROOT/flash/rw/pckg/old.qbx --name old --version 1.0 --depends tessel:3.22rc9 old
$ qbxtool build -o $ROOT/flash/rw/pckg/new.qbx --name new --version 1.0 --depends tessel:3.22 new
$ qbxtool build -o $ROOT/flash/rw/pckg/loose.qbx --name loose --version 1.0 loose
$ qbxtool build -o $ROOT/flash/rw/pckg/plugin.qbx --name plugin --version 1.0 --depends wardle:3.22
$ installer -q -r $ROOT && (cd $ROOT/flash && ls bin var/pdb)
bin:
loose
new
old
tessel

var/pdb:
loose
new
old
plugin
tessel
wardle
$ lines installer -r $ROOT --cleanup
$ (cd $ROOT/flash && ls bin var/pdb)
bin:
new
tessel

var/pdb:
new
tessel
wardle
