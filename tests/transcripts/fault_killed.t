# A device with alpha 1.0 and the upgrade to alpha 1.1 (a changed, a new and
# a dropped file), beta 1.0 and a boot package (a link in its database
# folder) uploaded; the fault shim kills the installer at chosen calls. The
# next call finishes a run whose record was complete and drops one whose
# record was not: the tree and the database are exactly the old ones or
# exactly the new ones, and no temporary file or record stays.
$ . $STORIES/fault_device.sh
$ mkdir k && echo kernel > k/kernel && printf zImage > kimg && qbxtool build -o flash/rw/pckg/kern.qbx --name kern --version 2.0 --boot --image kimg k
$ export bootimage=1 && reset && installer -q -r $ROOT && state > clean

# cut CALL PATTERN COMMAND...: kills COMMAND at each CALL whose path matches
# PATTERN in turn, each time on a fresh copy of the flash (after `prepare`),
# then runs `next`. The flash must then be exactly as before or exactly as
# after a complete run (the file named by $done), and the latter whenever
# the record was there at the kill (and then `next` says that it finished it).
$ prepare() { :; }; next() { installer -r $ROOT --show; }; done=clean
$ cut() {
>   call=$1 pattern=$2 n=0 old=0 new=0; shift 2
>   while n=$((n + 1)); reset; prepare; sh -c '"$@"' sh env LD_PRELOAD=$SHIM FAULT_KILL_AT=$call:$n:$pattern "$@" > /dev/null 2>&1; s=$?; [ $s = 137 ]; do
>     test -e $ROOT/flash/var/pdb/.journal && recorded=1 || recorded=0
>     next > shown 2>&1; leftovers; [ $(grep -c '^finished an interrupted install$' shown) = $recorded ] || echo "$call:$n: message"
>     if state | diff before - > /dev/null && [ $recorded = 0 ]; then old=$((old + 1)); elif state | diff $done - > /dev/null; then new=$((new + 1)); else echo "$call:$n: neither"; fi
>   done; echo "$call $pattern: $old kills kept the old state, $new gave the new one; then status $s"; state | diff $done -
> }

# Every point before the record is complete: each temporary file made, each
# line of their list, the record, and the sync that puts them on storage.
$ cut open '*/tmp??????' installer -r $ROOT
open */tmp??????: 27 kills kept the old state, 1 gave the new one; then status 0
$ cut write '/flash/var/pdb/.*' installer -r $ROOT
write /flash/var/pdb/.*: 17 kills kept the old state, 0 gave the new one; then status 0
$ cut sync '' installer -r $ROOT
sync : 1 kills kept the old state, 3 gave the new one; then status 0

# The postlog keeps its old lines until the new one replaces it whole.
$ echo 'an old line' > flash/postlog && reset && sh -c '"$@"' sh env LD_PRELOAD=$SHIM FAULT_KILL_AT=rename:5 installer -r $ROOT > /dev/null 2>&1; cat $ROOT/flash/postlog
an old line
$ reset && installer -r $ROOT > /dev/null && head -2 $ROOT/flash/postlog
an old line
installed kern-2.0

# Every destructive call of the apply (the record is complete by then).
$ for call in rename unlink mkdir symlink; do cut $call '*' installer -r $ROOT; done
rename *: 1 kills kept the old state, 17 gave the new one; then status 0
unlink *: 0 kills kept the old state, 4 gave the new one; then status 0
mkdir *: 0 kills kept the old state, 8 gave the new one; then status 0
symlink *: 0 kills kept the old state, 1 gave the new one; then status 0

# A stream install: its copy of the package is one of the run's files.
$ reset && installer -q -r $ROOT - < alpha-1.1.qbx && state > streamed && done=streamed
$ for call in write:/flash/var/pdb/*image open:*/tmp??????; do cut ${call%%:*} "${call#*:}" sh -c "installer -r $ROOT - < alpha-1.1.qbx"; done
write /flash/var/pdb/*image: 1 kills kept the old state, 0 gave the new one; then status 0
open */tmp??????: 9 kills kept the old state, 0 gave the new one; then status 0
$ done=clean

# Killed again at every point while the next call finishes the record.
$ prepare() { sh -c '"$@"' sh env LD_PRELOAD=$SHIM FAULT_KILL_AT=rename:9 installer -r $ROOT > /dev/null 2>&1; }; next() { installer -r $ROOT; }
$ for call in rename unlink mkdir symlink; do cut $call '*' installer -r $ROOT --show; done; cut sync '' installer -r $ROOT --show
rename *: 0 kills kept the old state, 9 gave the new one; then status 0
unlink *: 0 kills kept the old state, 7 gave the new one; then status 0
mkdir *: 0 kills kept the old state, 4 gave the new one; then status 0
symlink *: 0 kills kept the old state, 1 gave the new one; then status 0
sync : 0 kills kept the old state, 2 gave the new one; then status 0

# --commit writes the same record: killed anywhere, the next call finishes
# the commit and removes the stored manifest, or the commit runs again.
$ prepare() { installer -q -r $ROOT --safe; }; next() { installer -r $ROOT --commit; }
$ for call in rename unlink mkdir symlink; do cut $call '*' installer -r $ROOT --commit; done; cut sync '' installer -r $ROOT --commit
rename *: 0 kills kept the old state, 17 gave the new one; then status 0
unlink *: 0 kills kept the old state, 5 gave the new one; then status 0
mkdir *: 0 kills kept the old state, 8 gave the new one; then status 0
symlink *: 0 kills kept the old state, 1 gave the new one; then status 0
sync : 0 kills kept the old state, 3 gave the new one; then status 0
$ test ! -e $ROOT/ram/MANIFEST

# --cancel does not finish a commit cut short, nor take from it the files
# that it still moves: the next call finishes it.
$ reset && prepare && sh -c '"$@"' sh env LD_PRELOAD=$SHIM FAULT_KILL_AT=rename:5 installer -r $ROOT --commit > /dev/null 2>&1
[137]
$ installer -r $ROOT --cancel && installer -r $ROOT --show > /dev/null && state | diff clean - && leftovers

# The temporary files, their list and the record reach storage before the
# first call that changes the live tree, in an upgrade run and in a commit:
# the order of the calls, traced (the leak check cannot run under a tracer).
$ order() { ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -qq -e trace=sync,fsync,rename,unlink,rmdir,symlink,mkdir -o trace "$@" > /dev/null; sed -E -e 's/^rename\("[^"]*\.journal\.new".*/record/' -e 's/^(sync|fsync)\(.*/\1/' -e 's/^[a-z]+\(.*/change/' trace | uniq | head -5 | tr '\n' ' '; echo; }
$ prepare() { :; } && reset && order installer -q -r $ROOT
sync record fsync sync change 
$ reset && installer -q -r $ROOT --safe && order installer -q -r $ROOT --commit
sync record fsync sync change 

# Killed while a --safe run stores its manifest (the second write of a long
# one): the older manifest stays whole, for --commit to apply, and the
# files of the killed run go.
$ d=many/share/many/a-rather-long-directory-name && mkdir -p $d && for n in $(seq 150); do echo x > $d/file-number-$n; done
$ reset && qbxtool build -o $ROOT/flash/rw/pckg/many.qbx --name many --version 1.0 many && echo 'U /flash/share/alpha/old' > $ROOT/ram/MANIFEST
$ LD_PRELOAD=$SHIM FAULT_KILL_AT='write:2:/ram/MANIFEST*' installer -r $ROOT --safe > /dev/null
Killed
[137]
$ cat $ROOT/ram/MANIFEST && installer -r $ROOT --commit && leftovers
U /flash/share/alpha/old
finishing install... \b  (esc)
$ state | diff before -
11d10
< flash/share/alpha/old 814fa5ca
[1]

# --cleanup drops a package that nothing needs: its files, then its
# database folder (rmdir).
$ mkdir -p t/bin l/bin && echo t > t/bin/tessel && echo l > l/bin/loose && rm -rf $ROOT/flash/* flash && mkdir -p $ROOT/flash/boot $ROOT/flash/var/pdb $ROOT/flash/rw/pckg
$ qbxtool build -o $ROOT/flash/rw/pckg/tessel.qbx --name tessel --version 6.40 t && qbxtool build -o $ROOT/flash/rw/pckg/loose.qbx --name loose --version 1.0 l
$ installer -q -r $ROOT && cp -a $ROOT/flash flash && state > before && installer -q -r $ROOT --cleanup && state > clean
$ prepare() { :; }; next() { installer -r $ROOT --show; }
$ for call in unlink rmdir; do cut $call '*' installer -r $ROOT --cleanup; done
unlink *: 0 kills kept the old state, 7 gave the new one; then status 0
rmdir *: 0 kills kept the old state, 1 gave the new one; then status 0

# A damaged record is not carried out, and the next call says so.
$ printf 'installer record 1\nU /flash/bin/tessel\n' > $ROOT/flash/var/pdb/.journal && installer -r $ROOT --show 2>&1 | grep ERROR && test -e $ROOT/flash/bin/tessel && leftovers
ERROR: /flash/var/pdb/.journal was damaged: nothing of it was applied
