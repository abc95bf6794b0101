# Links that stand on flash never carry a write, move or removal of the
# installer out of "/flash": a link as the last component is replaced or
# removed, never followed, and a package with a file or its entry below a
# folder that is a link leading elsewhere is broken. "look" shows the folder
# outside, which never changes, and any temporary file left behind.
$ mkdir -p $ROOT/outside && echo kept > $ROOT/outside/tool && echo kept > $ROOT/outside/log
$ look() { (cd $ROOT/outside && find . -type f | sort && cat log tool); find $ROOT/flash $ROOT/ram -name 'tmp??????'; }
$ mkdir -p one/bin two/sbin && printf one > one/bin/tool && printf two > two/sbin/tool
$ qbxtool build -o tool-1.0.qbx --name tool --version 1.0 one && qbxtool build -o tool-1.1.qbx --name tool --version 1.1 two

# "/flash/bin" leads outside: nothing of the package is written.
$ ln -s /outside $ROOT/flash/bin && cp tool-1.0.qbx $ROOT/flash/rw/pckg/t.qbx && lines installer -r $ROOT
installing tool-1.0 [..]
ERROR: installation of tool-1.0 failed: broken package
$ look; state
./log
./tool
kept
kept
flash/
flash/bin -> /outside
flash/boot/
flash/rw/
flash/var/
flash/var/pdb/

# Installed while "/flash/bin" was a folder, the file that 1.1 drops is not
# removed through the link that took the folder's place; the postlog and
# the change marker, links too, are replaced.
$ rm $ROOT/flash/bin && lines installer -r $ROOT
installing tool-1.0 [..]
installed tool-1.0
$ mv $ROOT/flash/bin bin && ln -s /outside $ROOT/flash/bin && cp tool-1.1.qbx $ROOT/flash/rw/pckg/t.qbx
$ rm $ROOT/flash/postlog && ln -s /outside/log $ROOT/flash/postlog && ln -sf /outside/changed $ROOT/flash/PCKGS_CHANGED
$ lines installer -r $ROOT
installing tool-1.1 [..]
installed tool-1.1
$ look; state; cat $ROOT/flash/postlog
./log
./tool
kept
kept
flash/
flash/PCKGS_CHANGED d41d8cd9
flash/bin -> /outside
flash/boot/
flash/rw/
flash/sbin/
flash/sbin/tool b8a9f715
flash/var/
flash/var/pdb/
flash/var/pdb/tool/
flash/var/pdb/tool/deps d41d8cd9
flash/var/pdb/tool/files beb1ae60
flash/var/pdb/tool/version d6eae9a6
installed tool-1.1

# A stream install replaces a link standing at "/flash/var/pdb/image".
$ mkdir -p g/lib && echo g > g/lib/gamma && qbxtool build -o gamma.qbx --name gamma --version 1.0 g
$ rm $ROOT/flash/rw/pckg/* && ln -s /outside/tool $ROOT/flash/var/pdb/image && lines installer -r $ROOT - < gamma.qbx
installing gamma-1.0 [..]
installed gamma-1.0
$ look; ls $ROOT/image $ROOT/flash/var/pdb/image 2> /dev/null; state | tee gamma | grep -v tool
./log
./tool
kept
kept
flash/
flash/PCKGS_CHANGED d41d8cd9
flash/bin -> /outside
flash/boot/
flash/lib/
flash/lib/gamma f5302386
flash/rw/
flash/sbin/
flash/var/
flash/var/pdb/
flash/var/pdb/gamma/
flash/var/pdb/gamma/deps d41d8cd9
flash/var/pdb/gamma/files 8b36db7d
flash/var/pdb/gamma/version 108aa600

# An entry folder that leads outside makes its package broken.
$ qbxtool build -o delta.qbx --name delta --version 1.0 g && ln -s /outside $ROOT/flash/var/pdb/delta
$ lines installer -r $ROOT - < delta.qbx
installing delta-1.0 [..]
ERROR: installation of delta-1.0 failed: broken package
[1]
$ look; rm $ROOT/flash/var/pdb/delta && state | diff gamma -
./log
./tool
kept
kept

# A "files" list leads no removal out of "/flash".
$ printf 'flash/sbin/tool\nflash/../outside/log\noutside/tool\nflash/bin/../../outside/tool\n' > $ROOT/flash/var/pdb/tool/files
$ mkdir -p $ROOT/ram/pdb/tool && echo uninstall > $ROOT/ram/pdb/tool/schedule && lines installer -r $ROOT
$ rm -r $ROOT/ram/pdb; look; grep -v tool gamma > without-tool; state | diff without-tool -
./log
./tool
kept
kept

# A file that packages share stays until the last that lists it goes: the
# upgrade of right drops it, then left is uninstalled, then mid.
$ for p in left mid right; do mkdir -p $p/share && echo same > $p/share/common && echo $p > $p/share/$p
> qbxtool build -o $ROOT/flash/rw/pckg/$p.qbx --name $p --version 1.0 $p; done
$ installer -q -r $ROOT && rm $ROOT/flash/rw/pckg/* && rm right/share/common && qbxtool build -o $ROOT/flash/rw/pckg/right.qbx --name right --version 1.1 right
$ installer -q -r $ROOT && rm $ROOT/flash/rw/pckg/* && (cd $ROOT/flash && ls share && cat var/pdb/*/files)
common
left
mid
right
flash/lib/gamma
flash/share/common
flash/share/left
flash/share/common
flash/share/mid
flash/share/right
$ wish() { mkdir -p $ROOT/ram/pdb/$1 && echo uninstall > $ROOT/ram/pdb/$1/schedule && installer -q -r $ROOT; rm -r $ROOT/ram/pdb; }
$ wish left && (cd $ROOT/flash && ls share var/pdb)
share:
common
mid
right

var/pdb:
gamma
mid
right
$ wish mid && (cd $ROOT/flash && ls share var/pdb)
share:
right

var/pdb:
gamma
right

# A link that appears after a run stored its journal (--safe) does not lead
# the commit elsewhere: the removal below it is skipped, and the commit
# says that it was applied only in part.
$ mkdir -p o/opt && printf o > o/opt/tool && qbxtool build -o $ROOT/flash/rw/pckg/o.qbx --name opt --version 1.0 o
$ installer -q -r $ROOT && rm -r o/opt && mkdir o/etc && printf o > o/etc/opt && qbxtool build -o $ROOT/flash/rw/pckg/o.qbx --name opt --version 1.1 o
$ installer -q -r $ROOT --safe && grep opt/tool $ROOT/ram/MANIFEST
U /flash/opt/tool
$ mv $ROOT/flash/opt opt && ln -s /outside $ROOT/flash/opt && chroot $ROOT installer --commit
finishing install... skipped /flash/opt/tool: a link leads out of its place
\b  (esc)
ERROR: /ram/MANIFEST was applied only in part
[7]
$ look; (cd $ROOT/flash && ls -d opt etc/opt var/pdb/opt/*)
./log
./tool
kept
kept
etc/opt
opt
var/pdb/opt/deps
var/pdb/opt/files
var/pdb/opt/version

# A link that stays inside "/flash" is followed as before; a dangling one
# leads nowhere the installer owns.
$ mkdir -p $ROOT/flash/usr/libexec w/libexec d/srv && ln -s usr/libexec $ROOT/flash/libexec && ln -s /nowhere $ROOT/flash/srv
$ echo w > w/libexec/w && echo d > d/srv/d && qbxtool build -o w.qbx --name within --version 1.0 w && qbxtool build -o d.qbx --name dangling --version 1.0 d
$ lines installer -r $ROOT - < w.qbx && lines installer -r $ROOT - < d.qbx
installing within-1.0 [..]
installed within-1.0
installing dangling-1.0 [..]
ERROR: installation of dangling-1.0 failed: broken package
[1]
$ look; cat $ROOT/flash/usr/libexec/w $ROOT/flash/var/pdb/*/files | grep -e w -e d; test -e $ROOT/nowhere || echo nothing at /nowhere
./log
./tool
kept
kept
w
flash/libexec/w
nothing at /nowhere
