# A bundle installs its members under its own name, optional ones disabled
# until the user enables them; a broken member fails the whole bundle, and
# a newer bundle drops the members it no longer carries unless something
# needs them.
$ poke() { printf '\377' | dd of=$1 bs=1 seek=$(($(wc -c < $1) - 1)) conv=notrunc status=none; }
$ member() { mkdir -p $1-$2/bin && echo "$1 $2" > $1-$2/bin/$1 && qbxtool build -o $1-$2.qbx --name $1 --version $2 $1-$2; }
$ for v in 6.40 6.41 6.42; do member tessel $v; member wardle $v; member media-kit $v; done
$ qbxtool bundle -o q.qbd --name quorilan --version 6.40 --optional media-kit tessel-6.40.qbx wardle-6.40.qbx media-kit-6.40.qbx
$ lines installer -r $ROOT - < q.qbd
installing quorilan-6.40 [..]
installed quorilan-6.40
$ (cd $ROOT/flash && grep -r . bin x var/pdb/media-kit/disabled var/pdb/wardle/bundle | sort && ls var/pdb/quorilan)
bin/tessel:tessel 6.40
bin/wardle:wardle 6.40
var/pdb/media-kit/disabled:auto
var/pdb/wardle/bundle:quorilan
x/media-kit/bin/media-kit:media-kit 6.40
image
$ installer -r $ROOT --show | sed 's/ *$//'
            Name          Version                Built                                    Note
----------------------------------------------------------------------------------------------
          tessel  B          6.40 Jan/01/1970 00:00:00
          wardle  B          6.40 Jan/01/1970 00:00:00
       media-kit XB          6.40 Jan/01/1970 00:00:00
        quorilan             6.40 Jan/01/1970 00:00:00
$ lines installer -r $ROOT - < q.qbd
WARNING: omitting package quorilan-6.40: it is already installed
[2]

$ test ! -e $ROOT/flash/var/pdb/image && state > before && poke wardle-6.41.qbx
$ qbxtool bundle -o broken.qbd --name quorilan --version 6.41 tessel-6.41.qbx wardle-6.41.qbx
$ lines installer -r $ROOT - < broken.qbd
installing quorilan-6.41 [..]
ERROR: installation of quorilan-6.41 failed: broken package
[1]
$ test ! -e $ROOT/flash/var/pdb/image && state | diff before - && member wardle 6.41

# The user's state decides an optional member in the upgrade run.
$ mkdir -p $ROOT/ram/pdb/media-kit && echo enable > $ROOT/ram/pdb/media-kit/schedule
$ qbxtool bundle -o $ROOT/flash/rw/pckg/q.qbd --name quorilan --version 6.41 --optional media-kit tessel-6.41.qbx wardle-6.41.qbx media-kit-6.41.qbx
$ lines installer -r $ROOT
enabling media-kit-6.40...
enabled media-kit-6.40
installing quorilan-6.41 [..]
installed quorilan-6.41
$ rm -r $ROOT/ram/pdb && (cd $ROOT/flash && grep -r . bin var/pdb/media-kit | sort)
bin/media-kit:media-kit 6.41
bin/tessel:tessel 6.41
bin/wardle:wardle 6.41
var/pdb/media-kit/bundle:quorilan
var/pdb/media-kit/enabled:user
var/pdb/media-kit/files:flash/bin/media-kit
var/pdb/media-kit/version:103376384 0

$ qbxtool build -o user.qbx --name user --version 1.0 --depends wardle
$ lines installer -r $ROOT - < user.qbx
installing user-1.0 [..]
installed user-1.0
$ qbxtool bundle -o $ROOT/flash/rw/pckg/q.qbd --name quorilan --version 6.42 media-kit-6.42.qbx
$ lines installer -r $ROOT
installing quorilan-6.42 [..]
installed quorilan-6.42
$ (cd $ROOT/flash && grep -r . bin var/pdb/wardle | sort && ls var/pdb)
bin/media-kit:media-kit 6.42
bin/wardle:wardle 6.41
var/pdb/wardle/bundle:quorilan
var/pdb/wardle/files:flash/bin/wardle
var/pdb/wardle/version:103376384 0
media-kit
quorilan
user
wardle
