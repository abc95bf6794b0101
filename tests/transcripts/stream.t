# A package read from standard input is installed at once; the copy of the
# stream is kept only as the image of a package that has an image part.
$ mkdir -p a/bin && printf one > a/bin/alpha && qbxtool build -o alpha.qbx --name alpha --version 1.0 a
$ lines installer -r $ROOT - < alpha.qbx
installing alpha-1.0 [..]
installed alpha-1.0
$ grep . $ROOT/flash/bin/alpha && ls $ROOT/flash && test ! -e $ROOT/image
one
bin
boot
postlog
rw
var
$ lines installer -r $ROOT - < alpha.qbx
WARNING: omitting package alpha-1.0: it is already installed
$ echo 'not a package' | installer -r $ROOT -
[1]
# The copy of what the reader consumed, the file header, goes.
$ test ! -e $ROOT/flash/var/pdb/image
$ rm -r $ROOT/flash/var/pdb && installer -q -r $ROOT - < alpha.qbx
ERROR: could not open image
[255]
