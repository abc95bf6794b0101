# qbxtool builds, bundles and describes packages, the same bytes for the
# same inputs, and signs them with the development key or one of its own.
$ mkdir -p tree/bin tree/etc tree/empty && printf '#!/bin/sh\necho tool\n' > tree/bin/tool && chmod 755 tree/bin/tool
$ echo b=2 > tree/etc/b.conf && echo a=1 > tree/etc/a.conf && chmod 600 tree/etc/a.conf
$ qbxtool build -o p.qbx --name tessel --version 6.41beta3 --arch powerpc --note 'web tools' --text24 "$(printf 'x\001')" --depends system:6.40 --text2 t2 --provides web::7.0:-2 --conflicts old:1.0:2.0 --boot --variant /bin/tool=2 --build-time=1700000000 tree
$ qbxtool info p.qbx
p.qbx: file of 369 bytes, magic 0xbad0f11e (package), declared length 361
part 1 (header), 36 bytes at offset 8
  name "tessel", version 6.41beta3, build time 1700000000 (2023-11-14 22:13:20 UTC), flags 0x00000001 (boot)
part 24 (text 24), 2 bytes at offset 50
  "x\x01"
part 16 (architecture), 7 bytes at offset 58
  "powerpc"
part 2 (text 2), 2 bytes at offset 71
  "t2"
part 23 (note), 9 bytes at offset 79
  "web tools"
part 3 (depends), 34 bytes at offset 94
  1 entry
  "system" min 6.40 max - priority 0
part 19 (provides), 34 bytes at offset 134
  1 entry
  "web" min - max 7.0 priority -2
part 17 (conflicts), 34 bytes at offset 174
  1 entry
  "old" min 1.0 max 2.0 priority 0
part 4 (files), 75 bytes at offset 214
  146 bytes unpacked
  100755 variant 2 20 bytes "bin/tool"
  100600 variant 0 4 bytes "etc/a.conf"
  100644 variant 0 4 bytes "etc/b.conf"
part 9 (signature), 68 bytes at offset 295
  good signature of tessel-6.41beta3

$ qbxtool build -o one.qbx --name same --version 6.41beta3 tree && qbxtool build -o two.qbx --name same --version 6.41beta3 tree && cmp one.qbx two.qbx
$ qbxtool build -o dev.qbx --name same --version 6.41beta3 --key $KEYS/development-key.txt tree && cmp one.qbx dev.qbx
$ qbxtool info one.qbx | grep 'build time'
  name "same", version 6.41beta3, build time 0 (1970-01-01 00:00:00 UTC), flags 0x00000000
$ SOURCE_DATE_EPOCH=1234567 qbxtool build -o epoch.qbx --name same --version 1.0 && qbxtool info epoch.qbx | grep 'build time'
  name "same", version 1.0, build time 1234567 (1970-01-15 06:56:07 UTC), flags 0x00000000
$ SOURCE_DATE_EPOCH=soon qbxtool build -o epoch.qbx --name same --version 1.0
ERROR: build time "soon" is not a number of seconds below 2^32
[1]

# A changed byte anywhere or a file cut short is broken.
$ poke() { printf '\377' | dd of=$1 bs=1 seek=$2 conv=notrunc status=none; }
$ qbxtool build -o p.qbx --name tessel --version 6.41beta3 --depends system tree && size=$(wc -c < p.qbx)
$ for at in 20 60 $((size / 2)) $((size - 70)) $((size - 1)); do cp p.qbx bad.qbx && poke bad.qbx $at && qbxtool info bad.qbx > /dev/null 2> out; echo "[$?] $(tail -1 out)"; done
[1] ERROR: bad.qbx is broken
[1] ERROR: bad.qbx is broken
[1] ERROR: bad.qbx is broken
[1] ERROR: bad.qbx is broken
[1] ERROR: bad.qbx is broken
$ head -c $((size - 10)) p.qbx > cut.qbx && qbxtool info cut.qbx > /dev/null
ERROR: cut.qbx: the file header declares 235 bytes after it, the file has 225
ERROR: cut.qbx: part 9 at offset 169 declares 68 bytes, the file holds 58
ERROR: cut.qbx: package tessel-6.41beta3 has no signature part
ERROR: cut.qbx: the installer refuses it when it scans the upload directories
ERROR: cut.qbx is broken
[1]
$ qbxtool info missing.qbx
ERROR: cannot open missing.qbx: No such file or directory
[1]

# A key of the author's own: its packages verify with that key only.
$ qbxtool keygen -o author.key > out && grep -x "$(cat out)" author.key > /dev/null && grep -c '^private [0-9a-f]\{64\}$' author.key
1
$ stat -c %a author.key && qbxtool keygen -o author.key
600
ERROR: cannot create author.key: File exists
[1]
$ qbxtool build -o own.qbx --name own --version 6.41beta3 --key author.key tree
WARNING: author.key: the signing key is not the key that this installer build trusts
$ qbxtool info own.qbx > /dev/null
ERROR: own.qbx: package own-6.41beta3: the signature does not verify with key 9213af836af81a9b48b9a95dff2698f7de05104e0ed041d357dd887541cfe63c
ERROR: own.qbx is broken
[1]
$ qbxtool info --key author.key own.qbx | tail -1
  good signature of own-6.41beta3

$ qbxtool build -o a.qbx --name media-kit --version 6.41beta3 tree && qbxtool build -o b.qbx --name tessel --version 6.41beta3 --second-magic tree
$ qbxtool bundle -o s.qbd --name quorilan --version 6.41 --arch powerpc --optional media-kit a.qbx b.qbx && qbxtool info s.qbd | grep -e ^s.qbd -e ^part -e ' min ' -e signature
s.qbd: file of 499 bytes, magic 0xbad0f11e (package), declared length 491
part 18 (bundle header), 36 bytes at offset 8
part 16 (architecture), 7 bytes at offset 50
part 21 (image), 0 bytes at offset 63
part 20 (bundle members), 34 bytes at offset 69
  "media-kit" min - max - priority 0
part 1 (header), 36 bytes at offset 109
part 4 (files), 73 bytes at offset 151
part 9 (signature), 68 bytes at offset 230
  good signature of media-kit-6.41beta3
part 1 (header), 36 bytes at offset 304
part 4 (files), 73 bytes at offset 346
part 9 (signature), 68 bytes at offset 425
  good signature of tessel-6.41beta3
$ qbxtool bundle -o n.qbd --name q --version 6.41 --no-image a.qbx && qbxtool info n.qbd | grep '^part'
part 18 (bundle header), 36 bytes at offset 8
part 1 (header), 36 bytes at offset 50
part 4 (files), 73 bytes at offset 92
part 9 (signature), 68 bytes at offset 171
$ echo 'not a package' > junk.qbx && qbxtool bundle -o j.qbd --name q --version 1.0 junk.qbx
ERROR: junk.qbx is not a package file
[1]
$ cp a.qbx long.qbx && echo >> long.qbx && qbxtool bundle -o j.qbd --name q --version 1.0 long.qbx
ERROR: long.qbx does not have the length its header declares
[1]

# Refused command lines (status 2) and refused inputs (status 1).
$ qbxtool 2> /dev/null; echo "status $?"; qbxtool frobnicate 2> /dev/null; echo "status $?"; qbxtool help > /dev/null; echo "status $?"
status 2
status 2
status 0
$ for a in info 'build -o x.qbx --name x --version' 'build --name x --version 1.0' 'build -o x.qbx --name x --version 1.0 --colour red tree' \
>     'build -o x.qbx --name seventeen-letters --version 1.0 tree' 'build -o x.qbx --name .x --version 1.0 tree' \
>     'build -o x.qbx --name x --version 1.0 --conflicts .x tree' 'build -o x.qbx --name x --version 1.0 --depends a:1.0:2.0:5 tree' \
>     'build -o x.qbx --name x --version 1.0 --provides a:1.0:2.0:nine tree' 'build -o x.qbx --name x --version 1.0 --variant bin/nothing=1 tree' \
>     'build -o x.qbx --name x --version 1.0 --variant bin/tool=5 tree' 'build -o x.qbx --name x --version 6.41gamma'; do
>   qbxtool $a > out 2>&1; echo "$? $(head -1 out)"; done
2 qbxtool: info: no package file given
2 qbxtool: build: option --version needs a value
2 qbxtool: build: -o, --name and --version are required
2 qbxtool: build: unknown option --colour
1 ERROR: package name "seventeen-letters" must have 1 to 16 bytes, no "/", blank or control character and no "." first
1 ERROR: package name ".x" must have 1 to 16 bytes, no "/", blank or control character and no "." first
1 ERROR: reference name ".x" must have 1 to 16 bytes, no "/", blank or control character and no "." first
1 ERROR: "a:1.0:2.0:5" has too many fields
1 ERROR: "nine" is not a priority (a signed 32-bit number)
1 ERROR: --variant bin/nothing=1: no file bin/nothing in the tree
1 ERROR: --variant bin/tool=5: expected PATH=N with N from 0 to 4
1 ERROR: "6.41gamma" is not a version (like 6.41, 6.41.2, 6.41beta3, 6.41rc2)
$ ln -s tool tree/bin/link && qbxtool build -o x.qbx --name x --version 1.0 tree
ERROR: tree/bin/link is neither a regular file nor a directory
[1]
$ ls x.qbx
ls: cannot access 'x.qbx': No such file or directory
[2]

# What info finds wrong in files that qbxtool would not make (huge-entry.qbx:
# an entry of 2 name bytes and a size of 4 GiB - 1, in 32 unpacked bytes).
% late.qbx name=a version=1.0 entry=100644:0:bin/a:data part=16:9:x
% unsigned.qbx name=a version=1.0 entry=100644:0:bin/a:data unsigned
% cut-entry.qbx name=a version=1.0 entry=100644:0:bin/a:data cut=32
% cut-stream.qbx name=a version=1.0 entry=100644:0:bin/a:data files=\x78\xda\x01
% huge-entry.qbx name=a version=1.0 files=\x78\x01\x01\x20\x00\xdf\xff\xa4\x81\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xff\xff\xff\xff\x02\x00\x61\x62\x3f\x51\x05\xe7
% empty.qbd bundle name=q version=1.0
% twice.qbx name=a version=1.0 entry=100644:0:bin/a:data part=23:4:x part=23:4:y
$ for f in late.qbx twice.qbx unsigned.qbx cut-entry.qbx huge-entry.qbx cut-stream.qbx empty.qbd; do qbxtool info $f 2>&1 > /dev/null; echo "status $?"; done
WARNING: late.qbx: part 16 at offset 82 is out of order; the installer does not read it there
status 0
WARNING: twice.qbx: part 23 at offset 57 is out of order; the installer does not read it there
status 0
ERROR: unsigned.qbx: package a-1.0 has no signature part
ERROR: unsigned.qbx is broken
status 1
ERROR: cut-entry.qbx: file entry at unpacked offset 0: name or data cut short
ERROR: cut-entry.qbx is broken
status 1
ERROR: huge-entry.qbx: file entry at unpacked offset 0: name or data cut short
ERROR: huge-entry.qbx is broken
status 1
ERROR: cut-stream.qbx: files part at offset 50: the compressed data is cut short
ERROR: cut-stream.qbx is broken
status 1
ERROR: empty.qbd: the bundle holds no member package
ERROR: empty.qbd: the installer refuses it when it scans the upload directories
ERROR: empty.qbd is broken
status 1

# qbxtool(1) describes every command and option that the usage lists, and
# the README shows every command.
$ sed 's/\\-/-/g' $STORIES/../../man/qbxtool.1 > page && qbxtool help | grep -o -e '--[a-z0-9-]*' | sort -u > options && wc -l < options
20
$ while read o; do grep -q -e "^\.[BI]*[A-Z]* $o\( \|$\)" page || echo "$o not described"; done < options
$ for c in $(qbxtool help | sed -n 's/^  qbxtool \([a-z]*\).*/\1/p'); do grep -q "^\.B $c$" page && grep -q "qbxtool $c" $STORIES/../../README.md || echo "$c missing"; done
