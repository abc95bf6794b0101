#!/usr/bin/env bash
# The demonstration: runs the installer built in $1 against a fresh demo root.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$build/demo-root
installer=$build/installer
rm -rf "$root"
mkdir -p "$root"/{ram,rw,flash/boot,flash/var/pdb,flash/rw/pckg,flash/var/pckg}

step() { printf '\n$ %s\n' "$*"; }

# "--commit" and "--cancel" work on the root the process starts in, so the
# demo copies the installer and its libraries into the demo root and runs
# it there with chroot.
copy_into_root() {
  install -D "$installer" "$root/bin/installer"
  ldd "$installer" | grep -o '/[^ ]*' | while read -r lib; do install -D "$lib" "$root$lib"; done
}
copy_into_root

step installer --help
"$installer" --help

step installer --reinstall --help
"$installer" --reinstall --help

echo 'hello from a stored journal' > "$root/ram/greeting"
mkdir -p "$root/flash/old"
echo 'stale' > "$root/flash/old/file"
printf 'M /flash/etc/greeting /ram/greeting\nU /flash/old/file\nL /flash/etc/link /flash/etc/greeting\n' > "$root/ram/MANIFEST"
step "cat /ram/MANIFEST"
cat "$root/ram/MANIFEST"
step "installer --commit   (in the demo root)"
chroot "$root" /bin/installer --commit
step "ls -l /flash/etc /flash/old; cat /flash/etc/link"
ls -l "$root/flash/etc" "$root/flash/old"
chroot "$root" /bin/installer --cancel
step "installer --cancel   (removes /ram/MANIFEST)"
ls "$root/ram"
