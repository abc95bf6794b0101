#!/usr/bin/env bash
# Installs what is missing, builds a Release build and runs the demonstration
# on a small device root in build/demo-root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build/release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DINSTALLER_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
exec bash scripts/demo.sh "$build"
