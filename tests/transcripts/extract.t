# qbxtool extract writes the files of a package with their modes where the
# installer would place them, and nothing of a package the installer would
# refuse.
$ mkdir -p tree/bin tree/etc/deep && printf '#!/bin/sh\n' > tree/bin/tool && chmod 4755 tree/bin/tool && : > tree/zero && chmod 444 tree/zero
$ echo a > tree/etc/deep/a.conf && chmod 600 tree/etc/deep/a.conf && qbxtool build -o p.qbx --name p --version 1.0 tree
$ modes() (cd $1 && find . -printf '%M %s %p\n' | sort -k3)
$ qbxtool extract p.qbx out && diff -r tree out && modes tree > tree.modes && modes out | diff tree.modes - && cat tree.modes
drwxr-xr-x 4096 .
drwxr-xr-x 4096 ./bin
-rwsr-xr-x 10 ./bin/tool
drwxr-xr-x 4096 ./etc
drwxr-xr-x 4096 ./etc/deep
-rw------- 2 ./etc/deep/a.conf
-r--r--r-- 0 ./zero

# Every variant's files side by side, or those one machine would get.
$ qbxtool build -o v.qbx --name v --version 1.0 --variant bin/tool=2 tree && for n in all 1 2; do
>   qbxtool extract $(test $n = all || echo --variant $n) v.qbx v$n || echo failed; done; find v? vall -type f | sort
v1/etc/deep/a.conf
v1/zero
v2/bin/tool
v2/etc/deep/a.conf
v2/zero
vall/bin/tool.variant-2
vall/etc/deep/a.conf
vall/zero

# A bundle: each member into a folder of its name, or all together, the
# later member's file over the earlier one's.
$ echo other > tree/zero && qbxtool build -o w.qbx --name w --version 1.0 tree && qbxtool bundle -o b.qbd --name b --version 1.0 v.qbx w.qbx
$ qbxtool extract --variant 2 b.qbd b && qbxtool extract --merge b.qbd m && find b m -type f | sort && cat b/v/zero b/w/zero m/zero
b/v/bin/tool
b/v/etc/deep/a.conf
b/v/zero
b/w/bin/tool
b/w/etc/deep/a.conf
b/w/zero
m/bin/tool
m/bin/tool.variant-2
m/etc/deep/a.conf
m/zero
other
other

# Names that leave the folder or that the installer refuses (also one too
# long for a path on the device), a name needed as a file and as a folder,
# two variants landing on one path: nothing.
% up.qbx name=evil version=1.0 entry=100644:0:bin/ok:x entry=100644:0:../escape:x
% deep.qbx name=evil version=1.0 entry=100644:0:bin/ok:x entry=100644:0:bin/../../escape:x
% root.qbx name=evil version=1.0 entry=100644:0://escape:x
% pdb.qbx name=evil version=1.0 entry=100644:0:var/pdb/other/version:x
% clash.qbx name=evil version=1.0 entry=100644:0:bin:x entry=100644:0:bin/ok:x
% twins.qbx name=evil version=1.0 entry=100644:2:bin/t:x entry=100644:0:bin/t.variant-2:y
% long.qbx name=evil version=1.0 entry=100644:0:\{240:aaaaaaaaaaaaaaaa/}\{9:b}:x
% odd.qbx name=odd version=1.0 entry=040755:0:dir:x entry=100644:7:bin/none:x entry=100644:0:/bin/ok:x
$ mkdir x && for f in up deep root pdb long clash twins; do qbxtool extract --no-verify $f.qbx x/$f; echo "status $?"; done; find x
ERROR: up.qbx: package evil-1.0: the installer refuses the entry name "../escape"; nothing extracted
status 1
ERROR: deep.qbx: package evil-1.0: the installer refuses the entry name "bin/../../escape"; nothing extracted
status 1
ERROR: root.qbx: package evil-1.0: the installer refuses the entry name "//escape"; nothing extracted
status 1
ERROR: pdb.qbx: package evil-1.0: the installer refuses the entry name "var/pdb/other/version"; nothing extracted
status 1
ERROR: long.qbx: package evil-1.0: the installer refuses the entry name "aaaaaaaaaaaaaaaa/aaaaaaaaaaaaaaaa/aaaaaaaaaaaaaaaa/aaaaaaaaaaaaa"...; nothing extracted
status 1
ERROR: clash.qbx: package evil-1.0: "bin" would be a file and the folder of "bin/ok"; nothing extracted
status 1
ERROR: twins.qbx: package evil-1.0: entries "bin/t" and "bin/t.variant-2" would both be extracted to "bin/t.variant-2"; nothing extracted
status 1
x
$ qbxtool extract --no-verify odd.qbx odd && find odd -type f
WARNING: odd.qbx: package odd-1.0: entry "dir" is not a regular file; the installer does not install it
WARNING: odd.qbx: package odd-1.0: entry "bin/none" is for no processor variant; the installer does not install it
odd/bin/ok

# Links standing in the folder are replaced or refused, never followed.
$ mkdir -p links/etc && ln -s ../../victim links/zero && ln -s ../.. links/bin && qbxtool extract p.qbx links
ERROR: p.qbx: cannot make the folder of links/bin/tool: links/bin is a link, which is not followed
[1]
$ rm links/bin && qbxtool extract p.qbx links && test -f links/zero -a ! -L links/zero -a ! -e victim && ls -a links links/bin
links:
.
..
bin
etc
zero

links/bin:
.
..
tool

# A package that fails its signature check extracts nothing without --no-verify.
$ qbxtool build -o own.qbx --name own --version 1.0 --key $STORIES/../data/release-key.txt tree 2> /dev/null
$ qbxtool extract own.qbx mine; echo "status $?"; ls mine; qbxtool extract --key $STORIES/../data/release-key.txt own.qbx mine && ls mine
ERROR: own.qbx: bad signature of own-1.0; nothing extracted
status 1
ls: cannot access 'mine': No such file or directory
bin
etc
zero
