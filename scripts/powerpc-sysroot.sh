#!/usr/bin/env bash
# Builds the sysroot of the PowerPC check (scripts/powerpc-tests.sh): the
# router's own kind of processor, 32-bit big-endian PowerPC, which Debian 12
# ships a cross compiler for but no packages of its own. So zlib, OpenSSL's
# libcrypto and GoogleTest are built here from Debian's source packages:
#
#   build/powerpc/src       the unpacked sources (apt-get source)
#   build/powerpc/sysroot   the cross C library and the three built libraries
#   build/powerpc/sysroot.stamp
#                           the hash of this script and of the source versions
#                           the sysroot was built from
#
# The sysroot is built again only when the stamp does not match: a change of
# this script or a new version of one of the source packages. Run as root on
# Debian 12; it installs what it needs (the cross compiler, qemu-user, dpkg-dev
# for apt-get source) and adds the deb-src twin of the system's Debian archive
# to apt's sources. JOBS sets the parallel build jobs (default: the cores).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
build=$source_dir/build/powerpc
sources=$build/src
sysroot=$build/sysroot
stamp=$build/sysroot.stamp
triplet=powerpc-linux-gnu
jobs=${JOBS:-$(nproc)}
source_packages=(zlib openssl googletest)
deb_src_list=/etc/apt/sources.list.d/installer-powerpc-src.sources

if [ "$(id -u)" -ne 0 ]; then
  echo "run as root: the script installs packages" >&2
  exit 1
fi

apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"; }

installHostTools() {
  local packages=(cmake make g++ g++-"$triplet" qemu-user dpkg-dev) missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt_get update -qq
    apt_get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# The deb-src entries of the archive that the system already installs from:
# each "Types: deb" stanza of the deb822 lists, or each "deb" line of the
# one-line lists, copied as deb-src. Nothing is added when apt knows sources.
addSourceArchive() {
  if apt-cache showsrc zlib 2>/dev/null | grep -q '^Package: zlib'; then return 0; fi
  local lists=() file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] && [ "$file" != "$deb_src_list" ] && grep -q 'debian' "$file" && lists+=("$file")
  done
  if [ ${#lists[@]} -gt 0 ]; then
    # Only the stanzas of Debian's main archive, their "Types:" line made
    # deb-src. Not the security archive: its mirror here serves no sources,
    # and the point releases of the main archive carry its fixes.
    awk 'BEGIN { RS = ""; ORS = "\n\n" } /URIs:[^\n]*debian/ && !/debian-security/ && /Types:[^\n]*deb/ {
           gsub(/Types:[^\n]*/, "Types: deb-src"); print }' "${lists[@]}" >"$deb_src_list"
  else
    grep -hs '^deb [^#]*debian' /etc/apt/sources.list /etc/apt/sources.list.d/*.list | grep -v debian-security |
      sed 's/^deb /deb-src /' >"${deb_src_list%.sources}.list"
  fi
  apt_get update -qq
}

# The version of each source package that apt would fetch, one line each.
sourceVersions() {
  local p
  for p in "${source_packages[@]}"; do
    echo "$p $(apt-cache showsrc --only-source "$p" | awk '/^Version:/ { print $2 }' | sort -V | tail -1)"
  done
}

fetchSources() {
  rm -rf "$sources"
  mkdir -p "$sources"
  chown _apt "$sources" 2>/dev/null || true
  (cd "$sources" && apt_get source -qq --only-source "${source_packages[@]}" >/dev/null)
}

# The C library, the C++ runtime and the dynamic loader of the cross
# compiler, where qemu-ppc -L looks for them (lib/ld.so.1 and the rest).
copyRuntime() {
  mkdir -p "$sysroot/lib"
  cp -a "/usr/$triplet/lib/"*.so.[0-9]* "$sysroot/lib/"
}

# zlib, static only.
buildZlib() {
  local dir=("$sources"/zlib-*/)
  (cd "$dir" && CHOST=$triplet CFLAGS="-O2 -D_FILE_OFFSET_BITS=64" ./configure --static --prefix=/usr >/dev/null &&
    make -s -j"$jobs" libz.a >/dev/null && make -s install DESTDIR="$sysroot" >/dev/null)
}

# libcrypto alone, static, with what the installer uses (SHA-1) and as
# little else as still builds: no library of TLS, no engines, no modules,
# no threads, and most algorithms left out.
openssl_options=(no-shared no-dso no-threads no-engine no-module no-tests no-ui-console
  no-sock no-autoload-config no-async no-comp no-ct no-ocsp no-ts no-cms no-srp no-srtp no-psk
  no-ssl3 no-tls1 no-tls1_1 no-dtls no-legacy no-aria no-bf no-blake2 no-camellia no-cast no-des
  no-idea no-md4 no-mdc2 no-rc2 no-rc4 no-rmd160 no-seed no-siphash no-siv no-sm2 no-sm3 no-sm4
  no-whirlpool no-scrypt no-ocb no-poly1305 no-chacha no-gost no-ec2m no-dsa no-ecdsa)

buildOpenssl() {
  local dir=("$sources"/openssl-*/)
  (cd "$dir" && ./Configure linux-ppc --cross-compile-prefix="$triplet"- --prefix=/usr --libdir=lib \
    "${openssl_options[@]}" -D_FILE_OFFSET_BITS=64 >/dev/null &&
    make -s -j"$jobs" build_generated >/dev/null && make -s -j"$jobs" libcrypto.a >/dev/null)
  mkdir -p "$sysroot/usr/lib" "$sysroot/usr/include"
  cp "$dir"/libcrypto.a "$sysroot/usr/lib/"
  cp -r "$dir"/include/openssl "$sysroot/usr/include/"
}

# GoogleTest and GoogleMock, static.
buildGoogletest() {
  local dir=("$sources"/googletest-*/)
  cat >"$build/sysroot-toolchain.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER $triplet-gcc)
set(CMAKE_CXX_COMPILER $triplet-g++)
TOOLCHAIN
  cmake -S "$dir" -B "$build/googletest" -DCMAKE_TOOLCHAIN_FILE="$build/sysroot-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF >/dev/null
  cmake --build "$build/googletest" -j"$jobs" >/dev/null
  DESTDIR="$sysroot" cmake --install "$build/googletest" >/dev/null
  rm -rf "$build/googletest"
}

installHostTools
addSourceArchive
wanted="$(sha256sum "$source_dir/scripts/powerpc-sysroot.sh" | cut -d' ' -f1) $(sourceVersions | tr '\n' ' ')"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ] && [ -d "$sysroot" ]; then
  echo "sysroot up to date: $sysroot"
  exit 0
fi
echo "building the sysroot in $sysroot ($(sourceVersions | tr '\n' ' '))"
rm -f "$stamp"
rm -rf "$sysroot"
fetchSources
copyRuntime
time_start=$SECONDS
buildZlib
echo "zlib built ($((SECONDS - time_start)) s)"
buildOpenssl
echo "libcrypto built ($((SECONDS - time_start)) s)"
buildGoogletest
echo "googletest built ($((SECONDS - time_start)) s)"
# The stamp comes last, so that a build cut short is done again.
echo "$wanted" >"$stamp"
