# Hostile streams on standard input. A stream is read no further than the
# length its file header declares; one whose parts run past that length, or
# that ends before it, is broken. A broken or refused stream changes
# nothing, in "/flash" or outside it, and leaves neither its copy nor a
# temporary file behind.
$ mkdir -p a/bin && printf one > a/bin/alpha && qbxtool build -o alpha.qbx --name alpha --version 1.0 a
$ lines installer -r $ROOT - < alpha.qbx
installing alpha-1.0 [..]
installed alpha-1.0
$ printf two > a/bin/alpha && qbxtool build -o two.qbx --name alpha --version 2.0 a && qbxtool bundle -o q.qbd --name quorilan --version 1.0 two.qbx
$ head -c 50 two.qbx > head.bin && printf '\002\000\000\000\000\000' > empty && for i in $(seq 12); do cat empty empty > e && mv e empty; done
$ zeros() { head -c 100000000 /dev/zero; }
$ empties() { while cat empty; do :; done | head -c 100000000; }
$ declaring() { printf '\036\361\320\272\377\377\000\000'; tail -c +9 $1; }
$ outside() { (cd $ROOT && ls -A . && find ram rw | sort); }
$ snap() { state; outside; }
$ try() { eval "{ $1; }" | lines timeout 20 installer -r $ROOT -; echo "status $?"; snap | diff before -; }
$ snap > before

# Endless zeros after the file header, and after the package's header part.
$ try 'head -c 8 two.qbx; zeros'
status 1
$ try 'cat head.bin; zeros'
installing alpha-2.0 [..]
ERROR: installation of alpha-2.0 failed: broken package
status 1
# A part declaring 4 GB; empty parts without end.
$ try "cat head.bin; printf '\\002\\000\\377\\377\\377\\377'; zeros"
installing alpha-2.0 [..]
ERROR: installation of alpha-2.0 failed: broken package
status 1
$ try 'cat head.bin; empties'
installing alpha-2.0 [..]
ERROR: installation of alpha-2.0 failed: broken package
status 1
# Cut short; whole but shorter than declared, a package and a bundle.
$ try 'head -c 120 two.qbx'
installing alpha-2.0 [..]
ERROR: installation of alpha-2.0 failed: broken package
status 1
$ try 'declaring two.qbx'
installing alpha-2.0 [..]
ERROR: installation of alpha-2.0 failed: broken package
status 1
$ try 'declaring q.qbd'
installing quorilan-1.0 [..]
ERROR: installation of quorilan-1.0 failed: broken package
status 1
# Refused: the version that is installed.
$ try 'cat alpha.qbx'
WARNING: omitting package alpha-1.0: it is already installed
status 0

# Bytes after the declared length are never read. The package has no image
# part, so its copy of the stream goes.
$ outside > was && { cat two.qbx; zeros; } | lines timeout 20 installer -r $ROOT -
installing alpha-2.0 [..]
installed alpha-2.0
$ outside | diff was - && grep . $ROOT/flash/bin/alpha && ls $ROOT/flash/var/pdb
two
alpha
# A package kept as it is was read only in part: its stored image stays whole.
$ head -c 10000 /dev/zero > small && qbxtool build -o imaged.qbx --name imaged --version 1.0 --image small
$ lines installer -r $ROOT - < imaged.qbx && lines installer -r $ROOT - < imaged.qbx
installing imaged-1.0 [..]
installed imaged-1.0
WARNING: omitting package imaged-1.0: it is already installed
$ cmp imaged.qbx $ROOT/flash/var/pdb/imaged/image && ls $ROOT/flash/var/pdb
alpha
imaged
# The copy of a boot package without an image part becomes the boot image,
# linked from nowhere.
$ mkdir k && echo kernel > k/kernel && qbxtool build -o boot.qbx --name tessel --version 6.40 --boot k
$ outside > was && bootimage=1 lines installer -r $ROOT - < boot.qbx
installing tessel-6.40 [..]
installed tessel-6.40
$ outside | diff was - && cmp boot.qbx $ROOT/flash/bootimage && ls $ROOT/flash/var/pdb/tessel
deps
files
version

# A flash that is nearly full: the install is checked as the upgrade run is,
# before anything is applied. The first file is unpacked on the flash, the
# second in "/ram", and the two do not fit.
$ mkdir -p big/bin && head -c 307200 /dev/zero > big/bin/one && cp big/bin/one big/bin/two && qbxtool build -o big.qbx --name big --version 1.0 big
$ cp -a $ROOT/flash saved && mount -t tmpfs -o size=1m tmpfs $ROOT/flash && cp -a saved/. $ROOT/flash && head -c 600000 /dev/zero > $ROOT/flash/filler
$ snap > before && try 'cat big.qbx'
installing big-1.0 [..]
installed big-1.0
ERROR: not enough space for upgrade
status 28
