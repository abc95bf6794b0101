# The device of fault_device.sh with /ram missing, /flash read-only, and
# /ram full.
$ . $STORIES/fault_device.sh
$ mkdir -p e/etc g/bin && touch e/etc/empty && echo g > g/bin/gamma
$ qbxtool build -o empty.qbx --name empty --version 1.0 e && qbxtool build -o gamma.qbx --name gamma --version 1.0 g

# Without /ram, --safe cannot store its manifest: nothing would ever apply
# the journal, so it is dropped. An empty file has its temporary file in
# /ram; other installs do not need it.
$ reset && rm -r $ROOT/ram && lines installer -r $ROOT --safe
installing alpha-1.1 [..]
installed alpha-1.1
installing beta-1.0 [..]
installed beta-1.0
ERROR: could not store /ram/MANIFEST: No such file or directory
[1]
$ state | diff before - && cp empty.qbx $ROOT/flash/rw/pckg && lines installer -r $ROOT
installing empty-1.0 [..]
ERROR: installation of empty-1.0 failed: could not create etc/empty: No such file or directory
$ state | diff before - && rm $ROOT/flash/rw/pckg/empty.qbx && installer -q -r $ROOT - < gamma.qbx && cat $ROOT/flash/bin/gamma
g
$ lines installer -r $ROOT
installing alpha-1.1 [..]
installed alpha-1.1
installing beta-1.0 [..]
installed beta-1.0
$ mkdir $ROOT/ram

# A read-only /flash refuses every install and changes nothing.
$ reset && cp $ROOT/flash/postlog postlog && mount --bind $ROOT/flash $ROOT/flash && mount -o remount,bind,ro $ROOT/flash
$ lines installer -r $ROOT
installing alpha-1.1 [..]
ERROR: installation of alpha-1.1 failed: could not create bin/alpha: Read-only file system
$ lines installer -r $ROOT --safe
installing alpha-1.1 [..]
ERROR: installation of alpha-1.1 failed: could not create bin/alpha: Read-only file system
$ installer -r $ROOT - < alpha-1.1.qbx
ERROR: could not open image
[255]
$ umount $ROOT/flash && state | diff before - && cmp postlog $ROOT/flash/postlog && ls $ROOT/ram

# A manifest larger than /ram drops the --safe run without leaving a part
# of it. With /ram full, upgrades and streams still work: an empty file
# needs no room.
$ d=many/share/many/a-rather-long-directory-name && mkdir -p $d && for n in $(seq 150); do echo x > $d/file-number-$n; done
$ reset && mount -t tmpfs -o size=4k tmpfs $ROOT/ram && qbxtool build -o $ROOT/flash/rw/pckg/many.qbx --name many --version 1.0 many
$ lines installer -r $ROOT --safe
installing alpha-1.1 [..]
installed alpha-1.1
installing beta-1.0 [..]
installed beta-1.0
installing many-1.0 [..]
installed many-1.0
ERROR: could not store /ram/MANIFEST: No space left on device
[1]
$ state | diff before - && ls $ROOT/ram && chroot $ROOT installer --commit && state | diff before -
finishing install... \b  (esc)
$ head -c 8192 /dev/zero > $ROOT/ram/filler
head: error writing 'standard output': No space left on device
[1]
$ lines installer -r $ROOT - < empty.qbx && wc -c < $ROOT/flash/etc/empty
installing empty-1.0 [..]
installed empty-1.0
0
$ lines installer -r $ROOT && cat $ROOT/flash/bin/alpha
installing alpha-1.1 [..]
installed alpha-1.1
installing beta-1.0 [..]
installed beta-1.0
installing many-1.0 [..]
installed many-1.0
two
