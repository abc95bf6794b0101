#!/usr/bin/env bash
# The router's own processor: cross-builds the installer, qbxtool and every
# test for 32-bit big-endian PowerPC and runs them under qemu-ppc, then builds
# the firmware's static installer and prints its size.
#
# Run as root on Debian 12 (the tests use chroot and mount namespaces). The
# sysroot comes from scripts/powerpc-sysroot.sh, which installs the cross
# compiler and qemu-user and builds zlib, libcrypto and GoogleTest from
# Debian's sources once (again only when the script or a source version
# changes). Then, in build/powerpc/:
#
#   tree/       cmake/powerpc-linux-gnu.cmake build of every test; unit_tests
#               runs in one process under qemu-ppc, and so does e2e_tests,
#               whose transcripts start installer and qbxtool under qemu-ppc
#               as well (tests/transcript_test.cpp, cmake/emulated_tests.cmake)
#   firmware/   a MinSizeRel static build of installer and qbxtool, stripped;
#               its size and the share of the project's own code are printed
#
# Extra arguments go to both test binaries, for example
#     bash scripts/powerpc-tests.sh --gtest_filter='Transcripts/*'
# (a --gtest_filter given here replaces the exclusions below).
# SKIP_FIRMWARE=1 leaves the firmware build out.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
build=$source_dir/build/powerpc
sysroot=$build/sysroot
tree=$build/tree
firmware=$build/firmware
toolchain=$source_dir/cmake/powerpc-linux-gnu.cmake
jobs=${JOBS:-$(nproc)}

# Tests left out under qemu-user, as gtest patterns, each with its reason;
# none is about the processor itself.
excluded_unit_tests=()
excluded_e2e_tests=()

bash scripts/powerpc-sysroot.sh

# True when the file is a 32-bit (class 1), big-endian (data 2) PowerPC
# (machine 20) ELF program.
isPowerpcProgram() {
  local header
  header=$(od -An -tu1 -j4 -N2 "$1" | tr -s ' ')
  [ "$header" = " 1 2" ] && [ "$(od -An -tu2 --endian=big -j18 -N2 "$1" | tr -d ' ')" = 20 ]
}

buildTests() {
  cmake -S "$source_dir" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DPOWERPC_SYSROOT="$sysroot" \
    -DCMAKE_BUILD_TYPE=Debug -DINSTALLER_SANITIZE=OFF -DINSTALLER_TESTS=ON >/dev/null
  cmake --build "$tree" -j"$jobs" --target unit_tests e2e_tests installer qbxtool fault_shim
  local program
  for program in unit_tests e2e_tests installer qbxtool; do
    isPowerpcProgram "$tree/$program" || { echo "$program is not a 32-bit big-endian PowerPC program" >&2; exit 1; }
  done
}

# Runs one test binary in one process under qemu-ppc.
runTests() {
  local binary=$1 filter=()
  shift
  local -n excluded=$1
  shift
  if [ ${#excluded[@]} -gt 0 ]; then
    local IFS=:
    filter=("--gtest_filter=-${excluded[*]}")
    unset IFS
  fi
  echo "== $binary under qemu-ppc"
  (cd "$tree" && qemu-ppc -L "$sysroot" "./$binary" "${filter[@]}" "$@")
}

# The firmware build: static, optimized for size, stripped; prints the size
# of the installer and how much of it is the project's own code (the text of
# its libraries' objects) against the C++ and C runtime, zlib and libcrypto.
buildFirmware() {
  cmake -S "$source_dir" -B "$firmware" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DPOWERPC_SYSROOT="$sysroot" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DINSTALLER_TESTS=OFF -DCMAKE_EXE_LINKER_FLAGS="-static -Wl,-Map,installer.map" \
    >/dev/null
  cmake --build "$firmware" -j"$jobs" --target installer qbxtool
  powerpc-linux-gnu-strip -o "$firmware/installer.stripped" "$firmware/installer"
  powerpc-linux-gnu-strip -o "$firmware/qbxtool.stripped" "$firmware/qbxtool"
  isPowerpcProgram "$firmware/installer.stripped"
  # A static program needs no sysroot: it runs under qemu-ppc as it is.
  local root
  root=$(mktemp -d)
  mkdir -p "$root/flash/var/pdb"
  qemu-ppc "$firmware/installer.stripped" -r "$root" --show >/dev/null
  rm -rf "$root"
  echo "== static installer: $(stat -c %s "$firmware/installer.stripped") bytes stripped," \
    "qbxtool: $(stat -c %s "$firmware/qbxtool.stripped") bytes stripped"
  powerpc-linux-gnu-size "$firmware/installer.stripped"
  # Text, data and bss of the project's libraries (every object of the
  # folders' archives that the link kept) and of the rest, by the link map.
  awk -f "$source_dir/scripts/link-map-sizes.awk" "$firmware/installer.map"
}

buildTests
status=0
runTests unit_tests excluded_unit_tests "$@" || status=1
runTests e2e_tests excluded_e2e_tests "$@" || status=1
if [ "${SKIP_FIRMWARE:-0}" != 1 ]; then buildFirmware; fi
exit $status
