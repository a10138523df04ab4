#!/usr/bin/env bash
# Every test, the way CI runs them: installs what is missing, then builds and
# runs the whole suite plain, under AddressSanitizer + UndefinedBehaviorSanitizer,
# and with clang + libc++, then the release build; then builds and checks the
# Debian package of brackwell-stamp; then fuzzes each fuzz target for 30 s.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# tinyxml2's source archive, for the builds that link it in (libcxx, release).
scripts/fetch-tinyxml2-source.sh
for preset in dev asan libcxx; do
  echo "=== $preset"
  cmake --workflow --preset "$preset"
done
# The binary as shipped: optimised, tinyxml2 linked in, stripped; its tests
# include the end-to-end suite, the check that it loads nothing but the C and
# C++ runtimes, its version string, the install tree and the manual page.
echo "=== release"
cmake --workflow --preset release
# brackwell-stamp's Debian package, built and checked with dpkg-deb (its
# files, its dependencies on the C and C++ runtimes alone).
echo "=== package"
cmake --workflow --preset package
# The fuzz targets, 30 s each from their committed corpora (fuzz/run_fuzzer.sh);
# any crash, leak, timeout or failed check fails the run.
echo "=== fuzz"
cmake --workflow --preset fuzz
