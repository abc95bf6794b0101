#!/usr/bin/env bash
# Builds the installer as a firmware image takes it (statically linked,
# Release), installs it with qbxtool and the manual pages into a staging
# folder, lists what was installed and checks that the installer needs no
# shared library.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build/firmware
stage=$PWD/$build/stage
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DINSTALLER_STATIC=ON -DINSTALLER_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target installer qbxtool
rm -rf "$stage"
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
(cd "$stage" && find . -type f | sort)
dependencies=$(ldd "$stage/usr/sbin/installer" 2>&1 || true)
echo "ldd usr/sbin/installer: $dependencies"
if [ "$(echo "$dependencies" | tr -d '[:space:]')" != "notadynamicexecutable" ]; then
  echo "the installer is not linked statically" >&2
  exit 1
fi
