#!/usr/bin/env bash
# Every test, the way CI runs them: installs what is missing, then builds and
# runs the whole suite plain, under AddressSanitizer + UndefinedBehaviorSanitizer,
# and with clang + libc++, then the release build; then builds and checks the
# Debian packages of brackwell-stamp and of the nginx module; then builds the nginx module and runs the
# download server's tests with it, plain and under AddressSanitizer; then
# cross-builds both tools for macOS and checks the universal binaries; then
# fuzzes each fuzz target for 30 s.
set -euo pipefail
cd "$(dirname "$0")/.."
# Also fetches tinyxml2's source archive, for the builds that link it in
# (libcxx, release, macos-cross), and zig, the macOS cross-compiler.
scripts/install-deps.sh
for preset in dev asan libcxx; do
  echo "=== $preset"
  cmake --workflow --preset "$preset"
done
# The binary as shipped: optimised, tinyxml2 linked in, stripped; its tests
# include the end-to-end suite, the check that it loads nothing but the C and
# C++ runtimes, its version string, the install tree and the manual page.
echo "=== release"
cmake --workflow --preset release
# The Debian packages: brackwell-stamp's and the nginx module's, built and
# checked with dpkg-deb (their files, their dependencies: the C and C++
# runtimes, and for the module the nginx ABI and libcrypto) and lintian (no
# error); the module's is installed here with dpkg -i, accepted by nginx -t,
# and purged again.
echo "=== package"
cmake --workflow --preset package
# ngx_http_brackwell_stamp_module for Debian's nginx, and the download
# server's tests against it (contrib/download-server/serve.sh driven by curl
# and 200 slow clients; nginx -t on the directives); then the same with the
# module and our libraries under AddressSanitizer + UBSan, nginx started with
# the sanitizer's runtime preloaded: a fault in the module would take down
# every download of a worker.
echo "=== nginx-module"
cmake --workflow --preset nginx-module
echo "=== nginx-module-asan"
cmake --workflow --preset nginx-module-asan
# Both tools for macOS 11 and later, arm64 and x86_64, cross-built with zig
# and joined into universal binaries; its tests check what a Mac will check:
# both architectures, minos 11.0, libSystem alone, the identity, and the
# arm64 slice's code signature page by page. zig's cache is kept outside the
# clone (cmake/MacosCross.cmake), so a second run takes about a minute.
echo "=== macos-cross"
cmake --workflow --preset macos-cross
# The fuzz targets, 30 s each from their committed corpora (fuzz/run_fuzzer.sh);
# any crash, leak, timeout or failed check fails the run.
echo "=== fuzz"
cmake --workflow --preset fuzz
