# A device with alpha 1.0 and the upgrade to alpha 1.1 (a changed, a new and
# a dropped file) and beta 1.0 uploaded; the fault shim kills the installer
# at chosen calls. A killed run leaves the tree as it was but for temporary
# files; the next run does the whole upgrade. Every case starts from the
# saved flash.
$ . $STORIES/fault_device.sh
$ lasting() { state | grep -v '/tmp...... '; }
$ temporaries() { state | grep '/tmp...... ' | cut -d ' ' -f 1; }

$ reset && LD_PRELOAD=$SHIM FAULT_KILL_AT=sync:1 installer -r $ROOT > /dev/null
Killed
[137]
$ lasting | diff before - && ls $ROOT/ram && temporaries > garbage && wc -l < garbage
14
$ lines installer -r $ROOT
installing alpha-1.1 [..]
installed alpha-1.1
installing beta-1.0 [..]
installed beta-1.0
$ lasting | diff clean - && temporaries | diff garbage -

# Killed before each temporary file is made, and at each read of an upload.
$ killed() {
>   rm -f out.*; n=0; while n=$((n + 1)); lines env LD_PRELOAD=$SHIM FAULT_KILL_AT=$1:$n:$2 installer -r $ROOT > out.$n; s=$?; [ $s = 137 ]; do
>     lasting | diff before - > /dev/null || echo "changed at $1:$n"; test -e $ROOT/ram/MANIFEST && echo "manifest at $1:$n"
>   done; rm out.$n; echo "$1: status $s after $((n - 1)) killed runs"; lasting | diff clean -
> }
$ reset && killed mkstemp
mkstemp: status 0 after 14 killed runs
$ reset && killed read '/flash/rw/pckg/*'
read: status 0 after 10 killed runs
$ for text in 'installing ' 'installing alpha-1.1' 'installed alpha-1.1' 'installing beta-1.0'; do echo "$text: $(grep -l "$text" out.* | wc -l)"; done
installing : 5
installing alpha-1.1: 5
installed alpha-1.1: 3
installing beta-1.0: 2

# A stream install killed while it applies has already dropped its copy of
# a package without an image part.
$ reset && LD_PRELOAD=$SHIM FAULT_KILL_AT=sync:1 installer -r $ROOT - < alpha-1.1.qbx > /dev/null
Killed
[137]
$ test ! -e $ROOT/flash/var/pdb/image && lasting | diff before - && ls $ROOT/ram && temporaries | wc -l
6

# Killed while a --safe run stores its manifest (the second write of a long
# one): the older manifest stays whole, for --commit to apply.
$ d=many/share/many/a-rather-long-directory-name && mkdir -p $d && for n in $(seq 150); do echo x > $d/file-number-$n; done
$ reset && qbxtool build -o $ROOT/flash/rw/pckg/many.qbx --name many --version 1.0 many && echo 'U /flash/share/alpha/old' > $ROOT/ram/MANIFEST
$ LD_PRELOAD=$SHIM FAULT_KILL_AT='write:2:/ram/MANIFEST*' installer -r $ROOT --safe > /dev/null
Killed
[137]
$ cat $ROOT/ram/MANIFEST && chroot $ROOT installer --commit
U /flash/share/alpha/old
finishing install... \b  (esc)
$ lasting | diff before -
11d10
< flash/share/alpha/old 814fa5ca
[1]

# Killed at any removal or move, or before it removes the manifest, --commit
# run again finishes the upgrade: what was moved already counts as done.
$ for call in unlink rename; do n=0; while n=$((n + 1)); reset && installer -q -r $ROOT --safe
>   chroot $ROOT env LD_PRELOAD=$SHIM FAULT_KILL_AT=$call:$n installer --commit > /dev/null 2>&1; s=$?; [ $s = 137 ]; do
>   chroot $ROOT installer --commit > /dev/null 2>&1 && lasting | diff clean - > /dev/null || echo "not finished after $call:$n"
> done; echo "$call: status $s after $((n - 1)) killed runs"; lasting | diff clean -; done
unlink: status 0 after 2 killed runs
rename: status 0 after 14 killed runs
