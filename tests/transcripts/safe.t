# With --safe the run only stores its journal in /ram/MANIFEST; --commit
# applies it later and removes it, --cancel throws it away.
$ mkdir -p one/bin two/bin && printf one > one/bin/alpha && printf two > two/bin/alpha
$ qbxtool build -o $ROOT/flash/rw/pckg/a.qbx --name alpha --version 1.0 one && state > before
$ lines installer -r $ROOT --safe
installing alpha-1.0 [..]
installed alpha-1.0
$ state | grep -v '/tmp...... ' | diff before - && cut -d ' ' -f 1-2 $ROOT/ram/MANIFEST
M /flash/PCKGS_CHANGED
M /flash/bin/alpha
M /flash/var/pdb/alpha/deps
M /flash/var/pdb/alpha/files
M /flash/var/pdb/alpha/version
$ chroot $ROOT installer --commit
finishing install... \b  (esc)
$ grep . $ROOT/flash/bin/alpha && ls $ROOT/ram
one

# A second stored run, thrown away: its temporary files go with it, and
# nothing else changes.
$ qbxtool build -o $ROOT/flash/rw/pckg/a.qbx --name alpha --version 1.1 two
$ lines installer -r $ROOT --safe
installing alpha-1.1 [..]
installed alpha-1.1
$ grep -c ' T$' $ROOT/ram/MANIFEST && state | grep -v '/tmp...... ' > committed && chroot $ROOT installer --cancel
5
$ state | diff committed - && grep . $ROOT/flash/bin/alpha && ls $ROOT/ram
one
