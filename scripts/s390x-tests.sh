#!/usr/bin/env bash
# Big-endian check: cross-builds the library and the unit tests for s390x
# (a big-endian machine, like the router's processor) and runs the unit tests
# under qemu-user. Any code that copies little-endian file data straight from
# memory instead of assembling it byte by byte fails here.
#
# Run as root on Debian 12. It installs what is missing on the host (the s390x
# cross compiler, qemu-user, cmake, make), adds the s390x architecture to dpkg,
# downloads the s390x packages of zlib, OpenSSL libcrypto and GoogleTest from
# Debian's archive (kept in build/s390x/debs), unpacks them into a sysroot in
# build/s390x/sysroot together with the cross C library, builds `unit_tests`
# in build/s390x/tree and runs the whole binary in one process under
# qemu-s390x. Extra arguments are passed to the test binary, for example
#     bash scripts/s390x-tests.sh --gtest_filter='PackageReader*'
# (a --gtest_filter given here replaces the default exclusions below).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
build=$source_dir/build/s390x
sysroot=$build/sysroot
debs=$build/debs
tree=$build/tree
toolchain=$build/toolchain.cmake
triplet=s390x-linux-gnu
target_packages=(zlib1g zlib1g-dev libssl3 libssl-dev libgtest-dev libgmock-dev)

# Tests left out under qemu-user, as gtest patterns, each for a reason that
# has nothing to do with byte order; keep the reason beside every pattern.
# The tests that fork, chroot, unshare mount namespaces and start qbxtool
# all run under qemu-user as root.
# FuzzRegressionTest runs too: its fuzz root looks only below "/flash",
# "/ram" and "/rw", paths that qemu-user does not look up in the sysroot,
# so a file left there is seen under qemu-user as it is natively.
excluded_tests=()

if [ "$(id -u)" -ne 0 ]; then
  echo "run as root: the script installs packages and the tests use chroot" >&2
  exit 1
fi

apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"; }

installHostTools() {
  local packages=(cmake make g++-"$triplet" qemu-user) missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt_get update -qq
    apt_get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# Downloads the target packages' .deb files once; later runs reuse them.
downloadTargetPackages() {
  mkdir -p "$debs"
  local missing=()
  for p in "${target_packages[@]}"; do
    compgen -G "$debs/${p}_*_s390x.deb" >/dev/null || missing+=("$p:s390x")
  done
  if [ ${#missing[@]} -eq 0 ]; then return 0; fi
  if ! dpkg --print-foreign-architectures | grep -qx s390x; then
    dpkg --add-architecture s390x
  fi
  apt_get update -qq
  echo "downloading: ${missing[*]}"
  # apt drops to its own user for downloads; let it write into the folder.
  chown _apt "$debs" 2>/dev/null || true
  (cd "$debs" && apt_get download -qq "${missing[@]}")
}

# Rewrites absolute symbolic links inside the sysroot (such as
# usr/lib/<triplet>/libz.so -> /lib/<triplet>/libz.so.1.2.13) to point into it.
relinkAbsoluteLinks() {
  local link target
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    if [[ $target == /* ]]; then ln -sfn "$sysroot$target" "$link"; fi
  done < <(find "$sysroot" -type l -print0)
}

# The sysroot: the unpacked target packages plus the cross C and C++ runtime,
# laid out so that qemu-s390x -L finds /lib/ld64.so.1 and every library.
makeSysroot() {
  rm -rf "$sysroot"
  mkdir -p "$sysroot/lib"
  for deb in "$debs"/*_s390x.deb; do dpkg-deb -x "$deb" "$sysroot"; done
  relinkAbsoluteLinks
  cp -a "/usr/$triplet/lib/"*.so.[0-9]* "$sysroot/lib/"
}

writeToolchain() {
  cat >"$toolchain" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_LIBRARY_ARCHITECTURE $triplet)
set(CMAKE_C_COMPILER $triplet-gcc)
set(CMAKE_CXX_COMPILER $triplet-g++)
set(CMAKE_FIND_ROOT_PATH "$sysroot")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# OpenSSL keeps its configuration header in the multiarch include folder.
set(CMAKE_CXX_FLAGS_INIT "-isystem $sysroot/usr/include/$triplet")
# Runs unit_tests --gtest_list_tests when the build discovers the tests.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x;-L;$sysroot)
EOF
}

# The unit tests start the qbxtool command themselves, which the host kernel
# cannot run without binfmt_misc. So after the build the binary is moved aside
# and replaced by a small script that starts it under qemu-s390x; before the
# next build the real binary is put back, so make still sees its own output.
restoreWrappedBinaries() {
  if [ -f "$tree/qbxtool.s390x" ]; then mv -f "$tree/qbxtool.s390x" "$tree/qbxtool"; fi
}

wrapBinaries() {
  [ -f "$tree/qbxtool" ] || return 0
  mv -f "$tree/qbxtool" "$tree/qbxtool.s390x"
  printf '#!/bin/sh\nexec qemu-s390x -L "%s" "%s" "$@"\n' "$sysroot" "$tree/qbxtool.s390x" >"$tree/qbxtool"
  chmod 755 "$tree/qbxtool"
}

buildTests() {
  restoreWrappedBinaries
  cmake -S "$source_dir" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Debug -DINSTALLER_SANITIZE=OFF -DINSTALLER_TESTS=ON >/dev/null
  cmake --build "$tree" -j"${JOBS:-$(nproc)}" --target unit_tests
  wrapBinaries
}

runTests() {
  local filter=()
  if [ ${#excluded_tests[@]} -gt 0 ]; then
    local IFS=:
    filter=("--gtest_filter=-${excluded_tests[*]}")
  fi
  # Byte 5 of the ELF header is 2 for a big-endian binary.
  if [ "$(od -An -tu1 -j5 -N1 "$tree/unit_tests" | tr -d ' ')" != 2 ]; then
    echo "unit_tests is not a big-endian binary" >&2
    exit 1
  fi
  qemu-s390x -L "$sysroot" "$tree/unit_tests" "${filter[@]}" "$@"
}

installHostTools
downloadTargetPackages
makeSysroot
writeToolchain
buildTests
runTests "$@"
