# Broken uploads change nothing on a device: a bad signature, a file cut
# short, a broken second package after a good first one. An upload that is
# no file does not stop the run.
$ poke() { printf '\377' | dd of=$1 bs=1 seek=$(($(wc -c < $1) - 1)) conv=notrunc status=none; }
$ mkdir -p one/bin two/bin && printf b > one/bin/base && head -c 5000 /dev/zero | tr '\0' z > two/bin/base
$ qbxtool build -o $ROOT/flash/rw/pckg/base.qbx --name base --version 1.0 one
$ lines installer -r $ROOT
installing base-1.0 [..]
installed base-1.0
$ rm $ROOT/flash/rw/pckg/* && state > before

# The last byte of a package is the last byte of its signature.
$ qbxtool build -o $ROOT/flash/rw/pckg/base.qbx --name base --version 1.1 one && poke $ROOT/flash/rw/pckg/base.qbx
$ lines installer -r $ROOT
installing base-1.1 [..]
ERROR: installation of base-1.1 failed: broken package
$ state | diff before -
$ qbxtool build -o base.qbx --name base --version 1.2 two && head -c $(($(wc -c < base.qbx) / 2)) base.qbx > $ROOT/flash/rw/pckg/base.qbx
$ lines installer -r $ROOT
ERROR: broken package base.qbx
$ state | diff before -

# The first package goes into the journal, the second fails: all is dropped.
$ rm $ROOT/flash/rw/pckg/* && mkdir -p first/bin second/bin && printf f > first/bin/first && printf s > second/bin/second
$ qbxtool build -o $ROOT/flash/rw/pckg/first.qbx --name first --version 1.0 first
$ qbxtool build -o $ROOT/flash/rw/pckg/second.qbx --name second --version 1.0 --depends first second && poke $ROOT/flash/rw/pckg/second.qbx
$ lines installer -r $ROOT
installing first-1.0 [..]
installed first-1.0
installing second-1.0 [..]
ERROR: installation of second-1.0 failed: broken package
$ state | diff before -

$ rm $ROOT/flash/rw/pckg/* && mkfifo $ROOT/flash/rw/pckg/fifo.qbx && qbxtool build -o $ROOT/flash/rw/pckg/good.qbx --name good --version 1.0
$ lines installer -r $ROOT
ERROR: broken package fifo.qbx
installing good-1.0 [..]
installed good-1.0
