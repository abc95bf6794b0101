# One installer at a time. While another process holds the device (here
# flock(1) on the database folder, where the installer takes its lock),
# every mode that changes it is refused at once with status 16 and changes
# nothing, and a listing waits; a holder that is killed leaves no lock
# (once it is gone: kill only sends the signal, so the story waits for it).
$ mkdir -p a/bin && echo one > a/bin/alpha && qbxtool build -o $ROOT/flash/rw/pckg/alpha.qbx --name alpha --version 1.0 a
$ echo 'U /flash/rw/pckg/alpha.qbx' > $ROOT/ram/MANIFEST && state > before
$ flock -o $ROOT/flash/var/pdb sleep 60 & echo $! > holder; while flock -n $ROOT/flash/var/pdb true; do sleep 0.1; done
$ for a in '' --cleanup - --commit --cancel; do installer -r $ROOT $a < /dev/null; echo "status $?"; done 2>&1 | sort | uniq -c
      5 ERROR: another installer is working on this device
      5 status 16
$ timeout 1 installer -r $ROOT --show; echo "status $?"
status 124
$ state | diff before - && ls $ROOT/ram && kill -9 $(cat holder) && { wait $(cat holder) || true; }
MANIFEST
$ rm $ROOT/ram/MANIFEST && lines installer -r $ROOT
installing alpha-1.0 [..]
installed alpha-1.0
