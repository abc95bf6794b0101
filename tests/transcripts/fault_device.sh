# The device of the fault stories: alpha 1.0 installed, the upgrade to
# alpha 1.1 (a changed, a new and a dropped file) and beta 1.0 uploaded;
# "flash" holds the flash before the upgrade, "before" and "clean" its
# state before and after a good run, and reset() puts it back.
mkdir -p a1/bin a1/etc a1/share/alpha a2/bin a2/etc a2/share/alpha b/bin b/lib
echo one > a1/bin/alpha && echo x=1 > a1/etc/alpha.conf && echo old > a1/share/alpha/old && echo b > b/bin/beta
noise() { awk -v n=$1 'BEGIN { x = 1; for (i = 0; i < n; i++) { x = (x * 75 + 74) % 65537; printf "%c", x % 256 } }'; }
echo two > a2/bin/alpha && echo x=2 > a2/etc/alpha.conf && noise 30720 > a2/share/alpha/new && noise 40960 > b/lib/beta.so
qbxtool build -o alpha-1.0.qbx --name alpha --version 1.0 a1 && qbxtool build -o alpha-1.1.qbx --name alpha --version 1.1 a2
qbxtool build -o beta.qbx --name beta --version 1.0 --depends alpha:1.1 --provides beta-api:1.0:1.0:5 --conflicts gamma b
cp alpha-1.0.qbx $ROOT/flash/rw/pckg/alpha.qbx && installer -q -r $ROOT && cp alpha-1.1.qbx $ROOT/flash/rw/pckg/alpha.qbx && cp beta.qbx $ROOT/flash/rw/pckg
cp -a $ROOT/flash flash && state > before && installer -q -r $ROOT && state > clean
reset() { rm -rf $ROOT/flash/* $ROOT/ram/* && cp -a flash/. $ROOT/flash; }
leftovers() { (cd $ROOT && find flash ram -name 'tmp??????' -o -name '.journal*' -o -name .temporaries -o -path flash/var/pdb/image); }
