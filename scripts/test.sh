#!/usr/bin/env bash
# Every test, the way CI runs them: installs what is missing, then builds and
# runs the whole suite plain, under AddressSanitizer + UndefinedBehaviorSanitizer,
# and with clang + libc++; then fuzzes each fuzz target for 30 s.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in dev asan libcxx; do
  echo "=== $preset"
  cmake --workflow --preset "$preset"
done
# The fuzz targets, 30 s each from their committed corpora (fuzz/run_fuzzer.sh);
# any crash, leak, timeout or failed check fails the run.
echo "=== fuzz"
cmake --workflow --preset fuzz
