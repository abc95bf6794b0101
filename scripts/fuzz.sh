#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ in build/fuzz and runs each one
# for a bounded time, growing its corpus in build/fuzz/corpus/<target>.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]      (default 60)
#
# Each target adds its seeds to its corpus when it starts. Prints each
# target's final executions and coverage. Exits non-zero when any target
# reports a crash, a leak, a timeout, running out of memory or a sanitizer
# error; the input that caused it is copied to fuzz/regressions/<target>/,
# where the unit test FuzzRegressionTest replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: $0 [SECONDS_PER_TARGET]" >&2
  exit 2
fi
bash scripts/install-deps.sh
compiler=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$compiler" ]; then
  echo "clang++ is needed for the fuzz targets (apt-get install clang)" >&2
  exit 2
fi

targets=(fuzz_package_file fuzz_stream_install fuzz_manifest fuzz_database_entry fuzz_entry_layout)
build=build/fuzz
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$compiler" -DINSTALLER_FUZZ=ON -DINSTALLER_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >/dev/null

cd "$build"
rm -rf artifacts logs tmp
mkdir -p artifacts logs tmp

# Each fuzzer makes its device root below TMPDIR and changes its root to it;
# nothing of the host is seen from there but through the working directory,
# which stays here, so every path given to it is relative.
export TMPDIR=$PWD/tmp
regressions=$(realpath --relative-to=. "$source_dir/fuzz/regressions")
# A smaller quarantine keeps the resident size well below the limit.
export ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=64
export UBSAN_OPTIONS=print_stacktrace=1

status=0
for target in "${targets[@]}"; do
  mkdir -p "corpus/$target" "artifacts/$target"
  log=logs/$target.log
  # New inputs and the seeds go to the first directory; saved findings are read.
  inputs=("corpus/$target")
  if [ -d "$regressions/$target" ]; then inputs+=("$regressions/$target"); fi
  set +e
  "./$target" -max_total_time="$seconds" -rss_limit_mb=1024 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="artifacts/$target/" "${inputs[@]}" >"$log" 2>&1
  result=$?
  set -e
  final=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  echo "$target: ${executions:-?} executions; ${final:-no final line}"

  reported=$(grep -E 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|fuzz check failed' "$log" || true)
  if [ "$result" -ne 0 ] || [ -n "$reported" ]; then
    status=1
    echo "$target FAILED (exit $result); report in $build/$log:"
    grep -E -A 12 'ERROR: |runtime error:|fuzz check failed' "$log" | head -n 40 || true
    mkdir -p "$source_dir/fuzz/regressions/$target"
    for input in "artifacts/$target"/*; do
      [ -f "$input" ] || continue
      cp "$input" "$source_dir/fuzz/regressions/$target/"
      echo "kept $input as fuzz/regressions/$target/$(basename "$input")"
    done
  fi
  # The root's mounts lived in the fuzzer's own namespace; what remains is empty.
  rm -rf tmp/installer-fuzz-*
done
exit $status
