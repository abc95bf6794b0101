# A device whose flash is small: an upgrade that does not fit is refused
# with status 28 unless it is a reinstall; when the flash fills up while a
# package is unpacked, everything is cancelled.
$ mount -t tmpfs -o size=512k tmpfs $ROOT/flash && mkdir -p $ROOT/flash/boot $ROOT/flash/var/pdb $ROOT/flash/rw/pckg $ROOT/flash/var/pckg
$ noise() { awk -v n=$1 'BEGIN { x = 1; for (i = 0; i < n; i++) { x = (x * 75 + 74) % 65537; printf "%c", x % 256 } }'; }
$ mkdir -p big/bin && noise 307200 > big/bin/big && qbxtool build -o $ROOT/flash/rw/pckg/big.qbx --name big --version 1.0 big
$ state > before && lines installer -r $ROOT
installing big-1.0 [..]
installed big-1.0
ERROR: not enough space for upgrade
[28]
$ state | diff before - && ls $ROOT/flash
boot
postlog
rw
var
$ lines installer -r $ROOT --reinstall
Resuming upgrade...
installing big-1.0 [..]
installed big-1.0
copy: No space left on device
$ ls $ROOT/flash/bin

$ umount $ROOT/flash && mount -t tmpfs -o size=512k tmpfs $ROOT/flash && mkdir -p $ROOT/flash/boot $ROOT/flash/var/pdb $ROOT/flash/rw/pckg $ROOT/flash/var/pckg
$ mount -t tmpfs -o size=64k tmpfs $ROOT/ram && rm big/bin/big && noise 153600 > big/bin/one && noise 153600 > big/bin/two
$ qbxtool build -o $ROOT/flash/rw/pckg/big.qbx --name big --version 1.0 big && state > before
$ lines installer -r $ROOT
installing big-1.0 [..]
ERROR: installation of big-1.0 failed: disk is too small
$ state | diff before -
