#!/usr/bin/env bash
# The demonstration: makes a few packages and a bundle with qbxtool, installs
# them into a fresh demo device root with an upgrade run, lists them, then
# disables one through its schedule file and lists again.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$build/demo-root
work=$build/demo-work
installer=$build/installer
qbxtool=$build/qbxtool
export SOURCE_DATE_EPOCH=1767225600   # Jan/01/2026 00:00:00, for files that build the same every time

rm -rf "$root" "$work"
mkdir -p "$root"/{ram,rw,flash/boot,flash/var/pdb,flash/rw/pckg,flash/var/pckg} "$work"

step() { printf '\n$ %s\n' "$*"; }
run() { step "$*"; "$@"; }

# Package contents: a small tree per package.
mkdir -p "$work/tessel/bin" "$work/tessel/etc" "$work/wardle/bin" "$work/media-kit/lib" "$work/dhcp/sbin"
echo 'base system' > "$work/tessel/bin/tessel"; chmod 755 "$work/tessel/bin/tessel"
echo 'hostname=router' > "$work/tessel/etc/system.conf"
echo 'wireless' > "$work/wardle/bin/wardle"
echo 'codecs' > "$work/media-kit/lib/media.so"
echo 'dhcp server' > "$work/dhcp/sbin/dhcpd"

run "$qbxtool" build -o "$work/tessel.qbx" --name tessel --version 6.40 "$work/tessel"
run "$qbxtool" build -o "$work/wardle.qbx" --name wardle --version 6.40 --depends tessel:6.40 "$work/wardle"
run "$qbxtool" build -o "$work/media-kit.qbx" --name media-kit --version 6.40 --depends tessel "$work/media-kit"
run "$qbxtool" bundle -o "$root/flash/rw/pckg/quorilan-6.40.qbd" --name quorilan --version 6.40 \
  --note "base bundle" --optional media-kit "$work/tessel.qbx" "$work/wardle.qbx" "$work/media-kit.qbx"
run "$qbxtool" build -o "$root/flash/rw/pckg/dhcp-1.2.qbx" --name dhcp --version 1.2 \
  --depends tessel:6.40 --note "dhcp server" "$work/dhcp"
run "$qbxtool" info "$root/flash/rw/pckg/dhcp-1.2.qbx"

run "$installer" -r "$root" </dev/null
run find "$root/flash" -path "$root/flash/var/pdb" -prune -o -type f -print
run "$installer" -r "$root" --show

step "echo disable > /ram/pdb/dhcp/schedule"
mkdir -p "$root/ram/pdb/dhcp"; echo disable > "$root/ram/pdb/dhcp/schedule"
rm -f "$root"/flash/rw/pckg/*
run "$installer" -r "$root"
rm -rf "$root/ram/pdb"
run "$installer" -r "$root" --show
run cat "$root/flash/postlog"
