#!/usr/bin/env bash
# Every test, the way CI runs them: installs what is missing, then builds and
# runs the whole suite plain, under AddressSanitizer + UndefinedBehaviorSanitizer,
# and with clang + libc++.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in dev asan libcxx; do
  echo "=== $preset"
  cmake --workflow --preset "$preset"
done
