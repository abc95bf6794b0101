# A stored manifest is read and checked whole before any of it runs. One
# that is malformed or cut short, names a place that is not the installer's
# or moves a file that is gone is refused with "ERROR:" and status 6, and
# nothing changes, in "/flash" or out of it. --cancel refuses the same but
# for a missing file, which it has nothing to delete of.
$ snap() (cd $ROOT && find data flash ram rw \( -type f -exec md5sum {} + \) -o -type l -printf '%p -> %l\n' -o -printf '%p/\n' | grep -v ' ram/MANIFEST$' | sort)
$ setup() (cd $ROOT && rm -rf data flash/* ram/* && mkdir -p data flash/bin && echo secret > data/secret && echo config > rw/config &&
>   echo old > flash/bin/old && echo one > flash/bin/one && echo new > ram/tmpAbc123 && echo beside > flash/bin/tmpXyz789)
$ while read -r m; do setup; printf "$m" > $ROOT/ram/MANIFEST; snap > before
>   c=$(chroot $ROOT installer --commit 2>&1); s=$?; k=$(chroot $ROOT installer --cancel 2>&1); t=$?
>   echo "$c [$s]"; [ "$k [$t]" = "$c [$s]" ] || echo "  cancel: $k [$t]"; snap | diff before -
> done <<'END'
> U /flash/bin/old\nX /flash/bin/one\n
> U /flash/bin/old\n\nU /flash/bin/one\n
> U /flash/bin/old\nM /flash/bin/one\n
> U /flash/bin/old\nU /flash/bin/one
> U /flash/bin/old\nU /flash/bin/old\n
> U /data/secret\n
> U /flash/../data/secret\n
> L /rw/config /flash/bin/one\n
> M /flash/bin/one /data/secret\n
> M /flash/bin/new /rw/config\n
> M /flash/bin/new /flash/bin/one T\n
> U /flash/bin/old\nM /flash/bin/new /ram/tmpGone1 T\n
> END
ERROR: /ram/MANIFEST line 2 is malformed [6]
ERROR: /ram/MANIFEST line 2 is malformed [6]
ERROR: /ram/MANIFEST line 2 is malformed [6]
ERROR: /ram/MANIFEST line 2 is cut short [6]
ERROR: /ram/MANIFEST line 2 names /flash/bin/old twice [6]
ERROR: /ram/MANIFEST line 1 names /data/secret, outside /flash [6]
ERROR: /ram/MANIFEST line 1 names /flash/../data/secret, outside /flash [6]
ERROR: /ram/MANIFEST line 1 names /rw/config, outside /flash [6]
ERROR: /ram/MANIFEST line 1 moves /data/secret, which is not the installer's [6]
ERROR: /ram/MANIFEST line 1 moves /rw/config, which is not the installer's [6]
ERROR: /ram/MANIFEST line 1 moves /flash/bin/one, which is not the installer's [6]
ERROR: /ram/MANIFEST /ram/tmpGone1, the source of /flash/bin/new, is missing [6]
  cancel:  [0]

# Applied whole, a manifest is removed: a second --commit does not undo what
# a later run put in place. Cancelled, its temporary files go, in "/ram" and
# beside their targets.
$ m='M /flash/bin/new /ram/tmpAbc123 T\nM /flash/bin/one /flash/bin/tmpXyz789 T\nU /flash/bin/old\n'
$ setup && printf "$m" > $ROOT/ram/MANIFEST && chroot $ROOT installer --commit && echo again > $ROOT/flash/bin/old
finishing install... \b  (esc)
$ installer -r $ROOT --commit && (cd $ROOT && grep -r . data flash ram rw | sort)
finishing install... \b  (esc)
data/secret:secret
flash/bin/new:new
flash/bin/old:again
flash/bin/one:beside
rw/config:config
$ setup && printf "$m" > $ROOT/ram/MANIFEST && installer -r $ROOT --cancel && (cd $ROOT && grep -r . data flash ram rw | sort)
data/secret:secret
flash/bin/old:old
flash/bin/one:one
rw/config:config
