# Packages with an image part are kept whole in their database entry; a
# boot package becomes the boot image when the loader asks for one.
$ mkdir boot && printf kernel > boot/kernel && head -c 10000 /dev/zero | tr '\0' Z > big && head -c 50 /dev/zero > small
$ qbxtool build -o imaged-1.0.qbx --name imaged --version 1.0 --image small
$ lines installer -r $ROOT - < imaged-1.0.qbx
installing imaged-1.0 [..]
installed imaged-1.0
$ cmp imaged-1.0.qbx $ROOT/flash/var/pdb/imaged/image && ls $ROOT/flash/var/pdb
imaged

$ qbxtool build -o imaged.qbx --name imaged --version 2.0 --note 'kept whole' --image big && cp imaged.qbx $ROOT/flash/rw/pckg
$ lines installer -r $ROOT
installing imaged-2.0 [..]
installed imaged-2.0
$ cmp imaged.qbx $ROOT/flash/var/pdb/imaged/image && (cd $ROOT/flash && ls var/pdb/imaged rw/pckg)
rw/pckg:

var/pdb/imaged:
image
$ installer -r $ROOT --show
            Name          Version                Built                                    Note
----------------------------------------------------------------------------------------------
          imaged              2.0 Jan/01/1970 00:00:00                               kept whole

$ qbxtool build -o tessel.qbx --name tessel --version 6.40 --boot --image small boot && cp tessel.qbx $ROOT/flash/rw/pckg
$ bootimage=1 lines installer -r $ROOT
installing tessel-6.40 [..]
installed tessel-6.40
$ cmp tessel.qbx $ROOT/flash/bootimage && (cd $ROOT/flash && readlink var/pdb/tessel/image && ls -p . boot)
/flash/bootimage
.:
PCKGS_CHANGED
UPGRADED
boot/
bootimage
postlog
rw/
var/

boot:

# From standard input too, also without an image part: the copy of the
# stream becomes the boot image whole.
$ qbxtool build -o tessel-2.qbx --name tessel --version 6.41 --boot boot && bootimage=1 installer -q -r $ROOT - < tessel-2.qbx && cmp tessel-2.qbx $ROOT/flash/bootimage
