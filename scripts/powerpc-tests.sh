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

# Tests left out under qemu-user, as gtest patterns, each with its reason
# (a kernel feature that the emulator does not pass through); none is about
# the processor itself. None so far: the unit tests' chroot and fork, and the
# transcripts' mount namespaces, bind mounts, chroot, flock, kill, timeout
# and the fault library preloaded into installer all work under qemu-ppc.
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
  # Linked with the shared C and C++ runtime (POWERPC_STATIC=OFF): the
  # fault stories preload their library into installer. zlib, libcrypto and
  # GoogleTest are static libraries all the same.
  cmake -S "$source_dir" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DPOWERPC_SYSROOT="$sysroot" \
    -DPOWERPC_STATIC=OFF -DCMAKE_BUILD_TYPE=Debug -DINSTALLER_SANITIZE=OFF -DINSTALLER_TESTS=ON >/dev/null
  cmake --build "$tree" -j"$jobs" --target unit_tests e2e_tests installer qbxtool fault_shim
  local program
  for program in unit_tests e2e_tests installer qbxtool; do
    isPowerpcProgram "$tree/$program" || { echo "$program is not a 32-bit big-endian PowerPC program" >&2; exit 1; }
  done
}

# Runs one test binary in one process under qemu-ppc and adds its counts of
# passed and failed tests to the totals.
passed=0
failed=0
runTests() {
  local binary=$1 filter=() log=$build/$1.log
  shift
  local -n excluded=$1
  shift
  if [ ${#excluded[@]} -gt 0 ]; then
    local IFS=:
    filter=("--gtest_filter=-${excluded[*]}")
    unset IFS
    echo "== left out of $binary: ${excluded[*]}"
  fi
  echo "== $binary under qemu-ppc"
  local status=0
  (cd "$tree" && qemu-ppc -L "$sysroot" "./$binary" "${filter[@]}" "$@") 2>&1 | tee "$log" || status=1
  local count
  count=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\.$/\1/p' "$log")
  passed=$((passed + ${count:-0}))
  count=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:$/\1/p' "$log")
  failed=$((failed + ${count:-0}))
  if [ $status -ne 0 ] && [ -z "$count" ]; then failed=$((failed + 1)); fi
  return $status
}

# The firmware build, as the toolchain file makes it (static, unused
# sections dropped), optimized for size and stripped. Prints the size of installer and qbxtool and, from the link map,
# how much of the installer is the project's own code against the C++ and C
# runtime, zlib and libcrypto. Then a smoke run of the static programs, which
# need no sysroot under qemu-ppc: a package with a file for variant 1 built
# and installed on an e300 core.
buildFirmware() {
  # LDFLAGS adds the link map to the toolchain's own flags.
  LDFLAGS="-Wl,-Map,link.map" cmake -S "$source_dir" -B "$firmware" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DPOWERPC_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=MinSizeRel -DINSTALLER_TESTS=OFF >/dev/null
  # Each link writes link.map; an installer that is up to date keeps the map
  # of its last link.
  rm -f "$firmware/link.map"
  cmake --build "$firmware" -j"$jobs" --target installer
  if [ -f "$firmware/link.map" ]; then mv -f "$firmware/link.map" "$firmware/installer.map"; fi
  cmake --build "$firmware" -j"$jobs" --target qbxtool
  rm -f "$firmware/link.map"
  local program
  for program in installer qbxtool; do
    powerpc-linux-gnu-strip -o "$firmware/$program.stripped" "$firmware/$program"
    isPowerpcProgram "$firmware/$program.stripped" || { echo "$program is not a PowerPC program" >&2; exit 1; }
    if powerpc-linux-gnu-readelf -l "$firmware/$program" | grep -q INTERP; then
      echo "$program is not static" >&2
      exit 1
    fi
  done
  echo "== firmware (static, MinSizeRel, stripped): installer $(stat -c %s "$firmware/installer.stripped") bytes," \
    "qbxtool $(stat -c %s "$firmware/qbxtool.stripped") bytes"
  powerpc-linux-gnu-size "$firmware/installer.stripped" "$firmware/qbxtool.stripped"
  echo "== what the installer is made of (bytes, from $firmware/installer.map)"
  awk -f "$source_dir/scripts/link-map-sizes.awk" "$firmware/installer.map"
  smokeFirmware
}

smokeFirmware() {
  local work
  work=$(mktemp -d)
  mkdir -p "$work/tree/bin" "$work/root/flash/boot" "$work/root/flash/var/pdb" "$work/root/flash/rw/pckg" \
    "$work/root/flash/var/pckg" "$work/root/ram" "$work/root/rw"
  echo common >"$work/tree/bin/common" && echo e300 >"$work/tree/bin/e300" && echo e500 >"$work/tree/bin/e500"
  qemu-ppc "$firmware/qbxtool.stripped" build -o "$work/p.qbx" --name p --version 1.0 \
    --variant bin/e300=1 --variant bin/e500=2 "$work/tree" >/dev/null
  QEMU_CPU=e300c3 qemu-ppc "$firmware/installer.stripped" -q -r "$work/root" - <"$work/p.qbx"
  local installed
  installed=$(cd "$work/root/flash/bin" && echo *)
  rm -rf "$work"
  if [ "$installed" != "common e300" ]; then
    echo "static installer on an e300c3: installed $installed, not common e300" >&2
    exit 1
  fi
  echo "== static installer on an e300c3: installed bin/common and bin/e300, as it should"
}

started=$SECONDS
buildTests
status=0
runTests unit_tests excluded_unit_tests "$@" || status=1
runTests e2e_tests excluded_e2e_tests "$@" || status=1
if [ "${SKIP_FIRMWARE:-0}" != 1 ]; then buildFirmware; fi
echo "== left out: ${excluded_unit_tests[*]:-no unit test}; ${excluded_e2e_tests[*]:-no end-to-end test}" \
  "($((SECONDS - started)) s after the sysroot)"
echo "powerpc: $passed passed, $failed failed"
exit $status
