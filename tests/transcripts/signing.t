# A package built with the development key is signed again with a release
# key in a step of its own: only the signature data changes, the installer
# built with the release key (installer-release-key) takes it, the one with
# the development key refuses it. verify answers for scripts.
$ mkdir -p tree/bin && echo hi > tree/bin/hi && qbxtool build -o dev.qbx --name hi --version 1.0 tree
$ key=$STORIES/../data/release-key.txt && qbxtool sign --key $key -o rel.qbx dev.qbx && qbxtool sign --key $key -o again.qbx dev.qbx && cmp rel.qbx again.qbx
# Changed: the signature data after its stored digest (from byte 82 + 6 + 20 + 1).
$ cmp -l dev.qbx rel.qbx | awk 'NR == 1 { print "first changed byte " $1 } END { print NR " changed, the last " $1 }'; qbxtool info dev.qbx | grep '^part 9'
first changed byte 109
48 changed, the last 156
part 9 (signature), 68 bytes at offset 82
$ info() { qbxtool info "$@" | tail -n +2; } && info dev.qbx > dev.info && info --key $key rel.qbx | diff dev.info - && info rel.qbx 2> /dev/null | diff dev.info - | sed 's/^< /gone: /'
7d6
gone:   good signature of hi-1.0
$ lines installer -r $ROOT - < rel.qbx; lines installer-release-key -r $ROOT - < dev.qbx; ls $ROOT/flash/var/pdb
installing hi-1.0 [..]
ERROR: installation of hi-1.0 failed: broken package
installing hi-1.0 [..]
ERROR: installation of hi-1.0 failed: broken package
$ lines installer-release-key -r $ROOT - < rel.qbx && cat $ROOT/flash/bin/hi
installing hi-1.0 [..]
installed hi-1.0
hi

# One line per file; status 0 only when every package of every file verifies.
$ poke() { cp $1 $2 && printf '\377' | dd of=$2 bs=1 seek=$3 conv=notrunc status=none; }
$ poke dev.qbx data.qbx 60 && poke dev.qbx sig.qbx 150 && head -c 150 dev.qbx > cut.qbx && echo not a package > junk.qbx
$ qbxtool bundle -o mixed.qbd --name mixed --version 1.0 dev.qbx rel.qbx && qbxtool bundle -o fine.qbd --name fine --version 1.0 dev.qbx
$ qbxtool verify dev.qbx fine.qbd rel.qbx data.qbx sig.qbx cut.qbx junk.qbx mixed.qbd missing.qbx
dev.qbx: good
fine.qbd: good
rel.qbx: bad signature of hi-1.0
data.qbx: bad signature of hi-1.0
sig.qbx: bad signature of hi-1.0
ERROR: cut.qbx: the file header declares 148 bytes after it, the file has 142
cut.qbx: broken
ERROR: junk.qbx: not a package file
junk.qbx: broken
mixed.qbd: bad signature of hi-1.0
ERROR: cannot open missing.qbx: No such file or directory
missing.qbx: unreadable
[1]
$ qbxtool verify dev.qbx fine.qbd && qbxtool verify --key $key rel.qbx
dev.qbx: good
fine.qbd: good
rel.qbx: good
$ qbxtool verify rel.qbx dev.qbx
rel.qbx: bad signature of hi-1.0
dev.qbx: good
[1]
$ qbxtool sign --key $key -o mixed.qbd mixed.qbd && qbxtool verify --key $key mixed.qbd
mixed.qbd: good

# A new key: its public half beside it, in the form INSTALLER_SIGNATURE_KEY
# takes, checks what the key signs.
$ qbxtool keygen -o new.key > /dev/null && grep -c '^[0-9a-f]\{64\}$' new.key.pub && qbxtool sign --key new.key -o new.qbx dev.qbx && qbxtool verify --key new.key.pub new.qbx
1
new.qbx: good

# Refused inputs leave no output, also no half-written one beside it.
$ qbxtool sign --key $key -o out.qbx data.qbx; qbxtool sign --key $key -o out.qbx cut.qbx; qbxtool sign --key new.key.pub -o out.qbx dev.qbx
ERROR: data.qbx: package hi-1.0: the stored digest does not match its bytes; not signed
ERROR: cut.qbx: the file header declares 148 bytes after it, the file has 142; not signed
ERROR: key file new.key.pub holds no private key
[1]
$ mkdir dir.qbx && qbxtool sign --key $key -o dir.qbx dev.qbx; qbxtool build -o nowhere/x.qbx --name x --version 1.0 tree; qbxtool sign --key $key -o dev.qbx
ERROR: cannot write dir.qbx: Is a directory
ERROR: cannot create nowhere/x.qbx: No such file or directory
qbxtool: sign: --key KEYFILE, -o OUT and a package file are required
run "qbxtool help" for the usage
[2]
$ ls -A | grep -v -e '^\.' -e '\.qbx$' -e '\.qbd$' -e '\.info$' -e '^new\.key' -e '^tree$'
[1]
