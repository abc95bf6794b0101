# The option scan: anything unknown prints the usage and ends the run with
# success; --cleanup, --show and "-" end the scan; --commit and --cancel
# act at once on the stored manifest, wherever they stand.
$ for a in --bogus '-q help' '--safe -down -b --force --noupgrade -i -x' -R --SHOW '--show --commitx' -r '-q -r /tmp -r'; do echo "$(installer $a) [$?]"; done | uniq -c
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
$ chroot $ROOT installer -r /no/such/root --show
chroot: No such file or directory
            Name          Version                Built                                    Note
----------------------------------------------------------------------------------------------
$ chroot $ROOT installer -r --commit --show
chroot: No such file or directory
            Name          Version                Built                                    Note
----------------------------------------------------------------------------------------------

# A manifest that removes a file and a directory, links, and moves a
# temporary file into a directory that does not exist yet.
$ store() (
>   cd $ROOT && rm -rf flash/link flash/new ram/* && mkdir -p flash/olddir other/ram && echo old > flash/old
>   echo a > flash/olddir/a && echo 'a file the link replaces' > flash/link && echo 'new content' > ram/tmpAbc123
>   printf 'L /flash/link /flash/bootimage\nM /flash/new/dir/file /ram/tmpAbc123\nU /flash/old\nU /flash/olddir\n' > ram/MANIFEST
>   echo 'U /flash/link' > other/ram/MANIFEST && cp ram/MANIFEST $OLDPWD/stored
> )
$ show() (
>   cd $ROOT && for f in flash/old flash/olddir flash/olddir/a flash/new flash/new/dir/file ram/tmpAbc123; do
>     if [ -d $f ]; then echo $f/; elif [ -e $f ]; then echo "$f: $(cat $f)"; fi; done
>   echo "flash/link: $(readlink flash/link || cat flash/link)"; cmp $OLDPWD/stored ram/MANIFEST
> )
$ store && chroot $ROOT installer -q --commit --bogus
finishing install... \b  (esc)
$ show
flash/new/
flash/new/dir/file: new content
flash/link: /flash/bootimage
$ store && chroot $ROOT installer --commit
finishing install... \b  (esc)
$ show
flash/new/
flash/new/dir/file: new content
flash/link: /flash/bootimage
$ store && chroot $ROOT installer -r /other --commit
finishing install... \b  (esc)
$ show
flash/new/
flash/new/dir/file: new content
flash/link: /flash/bootimage
$ store && chroot $ROOT installer --cancel --bogus
$ show
flash/old: old
flash/olddir/
flash/olddir/a: a
ram/tmpAbc123: new content
flash/link: a file the link replaces
cmp: ram/MANIFEST: No such file or directory
[2]
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
copy: No space left on device
$ (cd $ROOT && grep -r . flash | sort)
flash/kept:old content
flash/var/pdb/x/file:small

# A copy whose last block only partly fits, or whose close reports a late
# write error, fails as a whole: the old file stays and no copy is left.
$ umount $ROOT/flash && mount -t tmpfs -o size=64k tmpfs $ROOT/flash && echo 'old content' > $ROOT/flash/kept
$ head -c 40960 /dev/zero > $ROOT/flash/filler && head -c 28672 /dev/zero > $ROOT/ram/tmpLast01
$ printf 'M /flash/kept /ram/tmpLast01\n' > $ROOT/ram/MANIFEST && chroot $ROOT installer --commit 2>&1 >/dev/null
copy: No space left on device
$ rm $ROOT/flash/filler && printf 'M /flash/kept /ram/tmpLast01\n' > $ROOT/ram/MANIFEST
$ LD_PRELOAD=$SHIM FAULT_FAIL='close:/flash/tmp*:EIO' chroot $ROOT installer --commit 2>&1 >/dev/null
copy: Input/output error
$ ls $ROOT/flash && cat $ROOT/flash/kept
kept
old content
