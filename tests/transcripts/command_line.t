# The option scan: anything unknown prints the usage and ends the run with
# success; --cleanup, --show and "-" end the scan; --commit and --cancel
# act at once on the stored manifest, inside the root of a "-r" before them.
$ for a in --bogus '-q help' '--safe -down -b --force --noupgrade -i -x' -R --SHOW '--show --commitx' -r '-q -r /tmp -r'; do o=$(installer $a); echo "$o [$?]"; done | uniq -c
      8 usage: installer [-q] [-r <root>] [-] [0]
$ installer --reinstall --bogus 2>/dev/null

Resuming upgrade...
usage: installer [-q] [-r <root>] [-]
$ installer -q --reinstall --reinstall '?'

Resuming upgrade...

Resuming upgrade...
usage: installer [-q] [-r <root>] [-]

# In a device root: what ends the scan and what is ignored.
$ chroot $ROOT installer --cleanup --bogus
$ chroot $ROOT installer -q - --bogus
[1]
$ chroot $ROOT installer --cleanup --show
$ chroot $ROOT installer --show --cleanup
            Name          Version                Built                                    Note
----------------------------------------------------------------------------------------------
$ chroot $ROOT installer -b --force --noupgrade -i --show
            Name          Version                Built                                    Note
----------------------------------------------------------------------------------------------

# A root that cannot be entered (missing, a file, empty, or the option after
# "-r") ends the call with status 4 before anything runs, in every mode:
# the real root, whose stored manifest and upload are there, stays as it was.
$ mkdir -p one/bin && echo 1 > one/bin/one && qbxtool build -o $ROOT/flash/rw/pckg/one.qbx --name one --version 1.0 one
$ touch $ROOT/rw/file && echo 'U /flash/rw/pckg/one.qbx' > $ROOT/ram/MANIFEST && ls -lR $ROOT/flash $ROOT/ram > before
$ for r in /no/such/root /rw/file '' --commit; do for a in '' --show --cleanup - --commit --cancel; do
>   o=$(chroot $ROOT installer -q -r "$r" $a < /dev/null 2>&1); echo "$o [$?]"; done; done | sort | uniq -c
     18 chroot: No such file or directory [4]
      6 chroot: Not a directory [4]
$ ls -lR $ROOT/flash $ROOT/ram | diff before - && rm $ROOT/rw/file $ROOT/ram/MANIFEST $ROOT/flash/rw/pckg/one.qbx

# A manifest that removes a file and a directory, links, and moves a
# temporary file into a directory that does not exist yet. Applied, it is
# removed; cancelled, its temporary file goes too. After "-r /other" they
# work on /other's manifest alone (its /proc serves the sanitizers).
$ mkdir -p $ROOT/other/proc && mount --bind /proc $ROOT/other/proc
$ store() (
>   cd $ROOT && rm -rf flash/link flash/new ram/* && mkdir -p flash/olddir other/ram && echo old > flash/old
>   echo a > flash/olddir/a && echo 'a file the link replaces' > flash/link && echo 'new content' > ram/tmpAbc123
>   printf 'L /flash/link /flash/bootimage\nM /flash/new/dir/file /ram/tmpAbc123 T\nU /flash/old\nU /flash/olddir\n' > ram/MANIFEST
>   echo 'U /flash/link' > other/ram/MANIFEST
> )
$ show() (
>   cd $ROOT && for f in flash/old flash/olddir flash/olddir/a flash/new flash/new/dir/file ram/tmpAbc123; do
>     if [ -d $f ]; then echo $f/; elif [ -e $f ]; then echo "$f: $(cat $f)"; fi; done
>   echo "flash/link: $(readlink flash/link || cat flash/link)"; echo ram: $(ls ram) / other: $(ls other/ram)
> )
$ store && chroot $ROOT installer -q --commit --bogus
finishing install... \b  (esc)
$ show
flash/new/
flash/new/dir/file: new content
flash/link: /flash/bootimage
ram: / other: MANIFEST
$ store && chroot $ROOT installer --commit
finishing install... \b  (esc)
$ show
flash/new/
flash/new/dir/file: new content
flash/link: /flash/bootimage
ram: / other: MANIFEST
$ store && chroot $ROOT installer -r /other --commit
finishing install... \b  (esc)
$ show
flash/old: old
flash/olddir/
flash/olddir/a: a
ram/tmpAbc123: new content
flash/link: a file the link replaces
ram: MANIFEST tmpAbc123 / other:
$ store && chroot $ROOT installer -r /other --cancel && show | tail -1
ram: MANIFEST tmpAbc123 / other:
$ store && chroot $ROOT installer --cancel --bogus
$ show
flash/old: old
flash/olddir/
flash/olddir/a: a
flash/link: a file the link replaces
ram: / other: MANIFEST
# Nothing left to commit, nor to cancel.
$ chroot $ROOT installer --commit && grep . $ROOT/flash/old
finishing install... \b  (esc)
old
$ chroot $ROOT installer --cancel

# /flash on a small file system of its own: the move from /ram has to copy,
# which turns the spinner once; a copy that does not fit keeps the old file.
$ rm -rf $ROOT/ram/* && mount -t tmpfs -o size=64k tmpfs $ROOT/flash && echo 'old content' > $ROOT/flash/kept
$ echo small > $ROOT/ram/tmpSmall1 && head -c 262144 /dev/zero > $ROOT/ram/tmpHuge01
$ printf 'M /flash/kept /ram/tmpHuge01\nM /flash/var/pdb/x/file /ram/tmpSmall1\n' > $ROOT/ram/MANIFEST
$ chroot $ROOT installer --commit 2> errors && cat errors
finishing install... |\b  (esc)
ERROR: /ram/MANIFEST was applied only in part
[7]
$ (cd $ROOT && grep -r . flash | sort)
flash/kept:old content
flash/var/pdb/x/file:small

# A copy whose last block only partly fits, or whose close reports a late
# write error, fails as a whole: the old file stays and no copy is left.
$ umount $ROOT/flash && mount -t tmpfs -o size=64k tmpfs $ROOT/flash && echo 'old content' > $ROOT/flash/kept
$ head -c 40960 /dev/zero > $ROOT/flash/filler && head -c 28672 /dev/zero > $ROOT/ram/tmpLast01
$ printf 'M /flash/kept /ram/tmpLast01\n' > $ROOT/ram/MANIFEST && chroot $ROOT installer --commit 2>&1 >/dev/null
copy: No space left on device
[7]
$ rm $ROOT/flash/filler && printf 'M /flash/kept /ram/tmpLast01\n' > $ROOT/ram/MANIFEST
$ LD_PRELOAD=$SHIM FAULT_FAIL='close:/flash/tmp*:EIO' chroot $ROOT installer --commit 2>&1 >/dev/null
copy: Input/output error
[7]
$ ls $ROOT/flash && cat $ROOT/flash/kept
kept
old content
