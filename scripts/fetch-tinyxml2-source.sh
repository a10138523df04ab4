#!/usr/bin/env bash
# Puts tinyxml2's 9.0.0 source archive, as Debian ships it
# (tinyxml2_9.0.0+dfsg.orig.tar.xz), in build/third_party/, for the builds that
# bundle tinyxml2 on a machine that reaches Debian's archive but not upstream's
# (the release and libcxx presets point there).
#
# The archive comes from bookworm's source package: apt checks the .dsc against
# the signed Sources index, and this script checks the archive against the
# SHA256 that the .dsc lists. When no deb-src entry for bookworm exists, one is
# added (/etc/apt/sources.list.d/brackwell-deb-src.sources) on the mirror the
# machine already uses for bookworm. Safe to run again: it does nothing while
# the archive is there and still matches its .dsc.
set -euo pipefail
cd "$(dirname "$0")/.."

suite=bookworm
archive=tinyxml2_9.0.0+dfsg.orig.tar.xz
dest=build/third_party

# The SHA256 that a .dsc lists for `archive` (empty when it lists none).
listed_sha256() {
  awk -v name="$archive" '
    /^Checksums-Sha256:/ { inside = 1; next }
    /^[^ ]/ { inside = 0 }
    inside && $3 == name { print $1 }' "$1"
}

# True when `dir` holds the archive and a .dsc whose SHA256 for it matches.
verified_in() {
  local dir=$1 dsc expected actual
  dsc=$(find "$dir" -maxdepth 1 -name 'tinyxml2_9.0.0+dfsg-*.dsc' | head -n 1)
  [ -n "$dsc" ] && [ -f "$dir/$archive" ] || return 1
  expected=$(listed_sha256 "$dsc")
  actual=$(sha256sum "$dir/$archive" | cut -d ' ' -f 1)
  if [ -z "$expected" ] || [ "$expected" != "$actual" ]; then
    echo "$dir/$archive: SHA256 $actual, but $(basename "$dsc") lists '${expected}'" >&2
    return 1
  fi
}

if verified_in "$dest"; then
  exit 0
fi

command -v apt-get >/dev/null || {
  echo "apt-get not found: this script takes tinyxml2's source from Debian's archive;" >&2
  echo "elsewhere pass BRACKWELL_TINYXML2_URL and BRACKWELL_TINYXML2_SHA256 to CMake" >&2
  exit 1
}
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# A source index for bookworm, on the mirror the machine uses for its packages.
# ('$(URI)' and '$(REPO_URI)' are apt's placeholders, not the shell's.)
# shellcheck disable=SC2016
if [ -z "$(apt-get indextargets --format '$(URI)' 'Created-By: Sources' "Release: $suite")" ]; then
  mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' "Release: $suite" | head -n 1)
  if [ -z "$mirror" ]; then
    echo "No $suite package index in this machine's apt sources, so no mirror to take tinyxml2's source from." >&2
    echo "Add the machine's Debian mirror for $suite to /etc/apt/sources.list.d/ and run 'apt-get update'," >&2
    echo "or pass BRACKWELL_TINYXML2_URL and BRACKWELL_TINYXML2_SHA256 to CMake." >&2
    exit 1
  fi
  list=/etc/apt/sources.list.d/brackwell-deb-src.sources
  echo "Adding a deb-src entry for $suite on $mirror ($list)"
  {
    echo "Types: deb-src"
    echo "URIs: $mirror"
    echo "Suites: $suite"
    echo "Components: main"
    if [ -f /usr/share/keyrings/debian-archive-keyring.gpg ]; then
      echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
    fi
  } | "${sudo[@]}" tee "$list" >/dev/null
  # Only the new entry's indexes: the others stay as they are.
  "${sudo[@]}" apt-get update -o Dir::Etc::SourceList="$list" -o Dir::Etc::SourceParts=- \
    -o APT::Get::List-Cleanup=0
elif ! apt-cache showsrc "tinyxml2/$suite" >/dev/null 2>&1; then
  "${sudo[@]}" apt-get update
fi

download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
# apt downloads as its unprivileged user when it may write there.
if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
  chown _apt "$download"
fi
(cd "$download" && apt-get source --download-only "tinyxml2/$suite")
verified_in "$download"
mkdir -p "$dest"
rm -f "$dest"/tinyxml2_*.dsc
cp "$download/$archive" "$download"/tinyxml2_9.0.0+dfsg-*.dsc "$dest/"
echo "tinyxml2 source: $dest/$archive (SHA256 $(sha256sum "$dest/$archive" | cut -d ' ' -f 1))"
