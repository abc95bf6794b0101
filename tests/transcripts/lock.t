# One installer at a time. While another process holds the device (here
# flock(1) on the database folder, where the installer takes its lock),
# every mode that changes it is refused at once with status 16 and changes
# nothing, and a listing waits; a holder that is killed leaves no lock
# (once it is gone: kill only sends the signal, so the story waits for it,
# without the shell's note of how it ended, which comes or not by timing).
$ mkdir -p a/bin && echo one > a/bin/alpha && qbxtool build -o $ROOT/flash/rw/pckg/alpha.qbx --name alpha --version 1.0 a
$ cp -a $ROOT/flash fresh && echo 'U /flash/rw/pckg/alpha.qbx' > $ROOT/ram/MANIFEST && state > before
$ flock -o $ROOT/flash/var/pdb sleep 60 & echo $! > holder; while flock -n $ROOT/flash/var/pdb true; do sleep 0.1; done
$ for a in '' --cleanup - --commit --cancel; do installer -r $ROOT $a < /dev/null; echo "status $?"; done 2>&1 | sort | uniq -c
      5 ERROR: another installer is working on this device
      5 status 16
$ timeout 1 installer -r $ROOT --show; echo "status $?"
status 124
$ state | diff before - && ls $ROOT/ram && holder=$(cat holder) && kill -9 $holder && { wait $holder 2> /dev/null || true; }
MANIFEST
$ rm $ROOT/ram/MANIFEST && lines installer -r $ROOT
installing alpha-1.0 [..]
installed alpha-1.0

# Two installers started together, again and again: one installs and the
# other is refused (or, started after the first ended, finds nothing to do);
# nothing is lost. Then one of the two is killed while it applies: the
# next run finishes its work, and its lock is gone with it.
$ state > done && reset() { rm -rf $ROOT/flash && cp -a fresh $ROOT/flash; }
$ race() { reset; "$@" installer -q -r $ROOT 2> /dev/null & installer -q -r $ROOT 2> /dev/null; b=$?; wait $!; echo $? $b; }
$ for i in $(seq 40); do race | grep -v -x -e '0 16' -e '16 0' -e '0 0'; state | diff done - > /dev/null || echo "lost in run $i"; done
$ for i in $(seq 10); do race sh -c '"$@"' sh env LD_PRELOAD=$SHIM FAULT_KILL_AT=rename:2 > /dev/null 2>&1; installer -q -r $ROOT > /dev/null; state | diff done - > /dev/null || echo "lost in run $i"; done
