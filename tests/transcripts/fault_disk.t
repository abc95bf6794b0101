# The device of fault_device.sh, with disks that fail: writes and reads that
# fail with an error number, an upload that vanishes after the scan, a
# database that cannot be read, a manifest whose sources are gone. A failed
# run changes nothing; every case starts from the saved flash.
$ . $STORIES/fault_device.sh

# A write failing with ENOSPC or EIO cancels everything, and the message
# names the package: at each temporary file of unpacked files (beta's
# library is made in /flash, as /flash/lib does not exist yet), at each
# database file with content (two of alpha, five of beta), in a stream
# install; from the eighth database write on, nothing fails.
$ reset && set -f && for e in ENOSPC EIO; do for rule in /flash/bin/tmp??????:$e /flash/tmp??????:$e $(seq -f "/flash/var/pdb/[!.]*:$e:%g" 7); do
>   lines env LD_PRELOAD=$SHIM FAULT_FAIL=write:$rule installer -r $ROOT > out; echo "[$?] $rule: $(grep ERROR out)"; state | diff before -
> done; lines env LD_PRELOAD=$SHIM FAULT_FAIL=write:/flash/bin/tmp??????:$e installer -r $ROOT - < alpha-1.1.qbx > out
> echo "[$?] stream: $(grep ERROR out)"; test ! -e $ROOT/flash/var/pdb/image && state | diff before -; done; set +f
[0] /flash/bin/tmp??????:ENOSPC: ERROR: installation of alpha-1.1 failed: disk is too small
[0] /flash/tmp??????:ENOSPC: ERROR: installation of beta-1.0 failed: disk is too small
[0] /flash/var/pdb/[!.]*:ENOSPC:1: ERROR: installation of alpha-1.1 failed: disk is too small
[0] /flash/var/pdb/[!.]*:ENOSPC:2: ERROR: installation of alpha-1.1 failed: disk is too small
[0] /flash/var/pdb/[!.]*:ENOSPC:3: ERROR: installation of beta-1.0 failed: disk is too small
[0] /flash/var/pdb/[!.]*:ENOSPC:4: ERROR: installation of beta-1.0 failed: disk is too small
[0] /flash/var/pdb/[!.]*:ENOSPC:5: ERROR: installation of beta-1.0 failed: disk is too small
[0] /flash/var/pdb/[!.]*:ENOSPC:6: ERROR: installation of beta-1.0 failed: disk is too small
[0] /flash/var/pdb/[!.]*:ENOSPC:7: ERROR: installation of beta-1.0 failed: disk is too small
[1] stream: ERROR: installation of alpha-1.1 failed: disk is too small
[0] /flash/bin/tmp??????:EIO: ERROR: installation of alpha-1.1 failed: disk error
[0] /flash/tmp??????:EIO: ERROR: installation of beta-1.0 failed: disk error
[0] /flash/var/pdb/[!.]*:EIO:1: ERROR: installation of alpha-1.1 failed: disk error
[0] /flash/var/pdb/[!.]*:EIO:2: ERROR: installation of alpha-1.1 failed: disk error
[0] /flash/var/pdb/[!.]*:EIO:3: ERROR: installation of beta-1.0 failed: disk error
[0] /flash/var/pdb/[!.]*:EIO:4: ERROR: installation of beta-1.0 failed: disk error
[0] /flash/var/pdb/[!.]*:EIO:5: ERROR: installation of beta-1.0 failed: disk error
[0] /flash/var/pdb/[!.]*:EIO:6: ERROR: installation of beta-1.0 failed: disk error
[0] /flash/var/pdb/[!.]*:EIO:7: ERROR: installation of beta-1.0 failed: disk error
[1] stream: ERROR: installation of alpha-1.1 failed: disk error
$ LD_PRELOAD=$SHIM FAULT_FAIL='write:/flash/var/pdb/[!.]*:ENOSPC:8' installer -q -r $ROOT && state | diff clean -

# A late write error that shows only when an unpacked file is closed cancels
# the run too.
$ reset && LD_PRELOAD=$SHIM FAULT_FAIL='close:/flash/bin/tmp??????:EIO' lines installer -r $ROOT > out; echo "[$?] $(grep ERROR out)"; state | diff before -
[0] ERROR: installation of alpha-1.1 failed: disk error

# The list of the run's temporary files or the record of its operations
# cannot be written: the install fails before anything is applied, and
# nothing of it stays.
$ for rule in .temporaries:ENOSPC .journal.new:ENOSPC .journal.new:EIO; do reset
>   lines env LD_PRELOAD=$SHIM FAULT_FAIL=write:/flash/var/pdb/$rule installer -r $ROOT > out; echo "[$?] $rule: $(grep ERROR out)"; state | diff before -; leftovers; done
[0] .temporaries:ENOSPC: ERROR: installation of alpha-1.1 failed: disk is too small
[28] .journal.new:ENOSPC: ERROR: could not record the install in /flash/var/pdb/.journal: No space left on device
[30] .journal.new:EIO: ERROR: could not record the install in /flash/var/pdb/.journal: Input/output error

# A stream install copies its input into the stored or boot image as it
# reads it; a copy cut short by a full disk fails the install.
$ mkdir -p boot && echo kernel > boot/kernel && head -c 40000 /dev/zero > image && reset
$ qbxtool build -o imaged.qbx --name imaged --version 1.0 --image image && qbxtool build -o boot.qbx --name tessel --version 6.40 --boot --image image boot
$ for p in imaged boot; do bootimage=1 LD_PRELOAD=$SHIM FAULT_FAIL='write:/flash/var/pdb//image:ENOSPC:2' lines installer -r $ROOT - < $p.qbx
>   echo "status $?"; test ! -e $ROOT/flash/var/pdb/image && state | diff before -; done
installing imaged-1.0 [..]
installed imaged-1.0
ERROR: could not write image: No space left on device
status 1
installing tessel-6.40 [..]
installed tessel-6.40
ERROR: could not write image: No space left on device
status 1

# A small package is copied whole into the stream's buffer: only the flush
# when the image is closed finds the disk full.
$ qbxtool build -o tiny.qbx --name tiny --version 1.0 && LD_PRELOAD=$SHIM FAULT_FAIL='write:/flash/var/pdb//image:ENOSPC' lines installer -r $ROOT - < tiny.qbx
installing tiny-1.0 [..]
installed tiny-1.0
ERROR: could not write image: No space left on device
[1]
$ test ! -e $ROOT/flash/var/pdb/image && state | diff before -

# Reads of alpha's upload fail from some read on, as a disk that died: in
# the scan alpha is a broken file (and beta, which needs it, is refused),
# in the install a broken package; past the headers the scan needs, the
# install finds the header unreadable and the run ends without a word.
$ n=0; while n=$((n + 1)); lines env LD_PRELOAD=$SHIM FAULT_FAIL=read:/flash/rw/pckg/alpha.qbx:EIO:$n installer -r $ROOT > out; s=$?; ! grep -q 'installed beta' out; do
>   state | diff before - > /dev/null || echo "changed at $n"; echo "[$s]" $(grep -v ^installing out)
> done | sort | uniq -c | sed 's/^ *[0-9]* /some: /'
some: [0]
some: [0] ERROR: broken package alpha.qbx ERROR: can not install beta-1.0: alpha-1.1 is not installed, but is required
some: [0] ERROR: installation of alpha-1.1 failed: broken package
$ state | diff clean -

# The scan opens each upload once; the install's open finds it gone. beta
# is refused without the alpha it needs, which drops the run; gamma, which
# nobody needs, is passed over in silence.
$ reset && LD_PRELOAD=$SHIM FAULT_UNLINK_BEFORE_OPEN=/flash/rw/pckg/alpha.qbx:2 installer -r $ROOT && state | diff before -
ERROR: can not install beta-1.0: alpha-1.1 is not installed, but is required
$ mkdir -p g/bin && echo g > g/bin/gamma && qbxtool build -o gamma.qbx --name gamma --version 1.0 g
$ reset && cp gamma.qbx $ROOT/flash/rw/pckg && LD_PRELOAD=$SHIM FAULT_UNLINK_BEFORE_OPEN=/flash/rw/pckg/gamma.qbx:2 lines installer -r $ROOT
installing alpha-1.1 [..]
installed alpha-1.1
installing beta-1.0 [..]
installed beta-1.0
$ state | diff clean - && ls $ROOT/flash/rw/pckg
alpha.qbx
beta.qbx

# A database file that cannot be read would make its package look broken,
# and a broken package is uninstalled: the run stops before it plans
# anything, with status 5.
$ reset && rm $ROOT/flash/rw/pckg/* && cp gamma.qbx imaged.qbx $ROOT/flash/rw/pckg && installer -q -r $ROOT && state > installed
$ for f in alpha/version alpha/deps alpha/files imaged/image; do for mode in '' --cleanup --show; do
>   LD_PRELOAD=$SHIM FAULT_FAIL=read:/flash/var/pdb/$f:EIO installer -r $ROOT $mode > out; echo "[$?] $(grep -c "^ERROR: could not read /flash/var/pdb/$f" out)"; state | diff installed -
> done; done | uniq -c
     12 [5] 1
$ installer -q -r $ROOT && state | diff installed -

# The schedule and state files stop the run on a disk error too; a
# directory standing in place of one of them, or of "files", is no error:
# it reads like an empty file, and the run goes on.
$ mkdir -p $ROOT/ram/pdb/alpha && echo none > $ROOT/ram/pdb/alpha/schedule && echo auto > $ROOT/flash/var/pdb/alpha/disabled
$ for f in /ram/pdb/alpha/schedule /flash/var/pdb/alpha/disabled; do
>   LD_PRELOAD=$SHIM FAULT_FAIL=read:$f:EIO installer -r $ROOT > out; echo "[$?] $(grep -c "^ERROR: could not read $f" out)"
> done
[5] 1
[5] 1
$ cd $ROOT && rm ram/pdb/alpha/schedule flash/var/pdb/alpha/disabled && mkdir ram/pdb/alpha/schedule flash/var/pdb/alpha/disabled && cd - > /dev/null
$ mv $ROOT/flash/var/pdb/gamma/files gamma.files && mkdir $ROOT/flash/var/pdb/gamma/files && installer -r $ROOT --show | awk 'NR > 2 { print $1, $2 }'
imaged 1.0
alpha X
gamma 1.0
$ installer -r $ROOT
WARNING: omitting package gamma-1.0: it is already installed

# --commit refuses a manifest whose move lost its source (unless its target
# is in place: moved by a commit that was cut short), and nothing changes;
# without those moves it applies whole and is removed.
$ reset && echo 'new alpha' > $ROOT/flash/tmpAAAAAA && cat > $ROOT/ram/MANIFEST <<END
> M /flash/bin/alpha /flash/tmpAAAAAA
> M /flash/bin/gone /flash/tmpMISSING
> U /flash/etc/alpha.conf
> L /flash/lib/link /flash/bin/alpha
> M /flash/sbin/also-gone /ram/tmpMISSING
> END
$ chroot $ROOT installer --commit
ERROR: /ram/MANIFEST /flash/tmpMISSING, the source of /flash/bin/gone, is missing
[6]
$ (cd $ROOT && ls flash/bin flash/etc flash/tmpAAAAAA ram && cat flash/bin/alpha)
flash/tmpAAAAAA

flash/bin:
alpha

flash/etc:
alpha.conf

ram:
MANIFEST
one
$ sed -i /MISSING/d $ROOT/ram/MANIFEST && chroot $ROOT installer --commit 2>&1
finishing install... \b  (esc)
$ (cd $ROOT && ls flash/bin flash/etc ram && cat flash/bin/alpha && readlink flash/lib/link)
flash/bin:
alpha

flash/etc:

ram:
new alpha
/flash/bin/alpha
