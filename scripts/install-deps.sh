#!/usr/bin/env bash
# Installs the Debian packages that the build needs, only those that are missing.
set -euo pipefail
# clang and its runtime libraries build the fuzz targets (scripts/fuzz.sh);
# strace shows the order of the calls that make an install durable;
# groff-base formats the manual pages in their test.
packages=(cmake g++ make zlib1g-dev libssl-dev libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev strace groff-base)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
