#!/usr/bin/env bash
# Puts workerd 1.20261117.1, the Workers runtime, for Linux x86_64 in
# build/third_party/workerd-1.20261117.1/, for the CDN edge of the download
# server (contrib/edge/: its serve.sh and its tests). It is the open-source
# runtime the CDN runs our Worker in; it runs on Debian 12 as it is (it links
# only glibc).
#
# Two npm packages, fetched with the npm client (`npm pack`, from the
# registry npm is configured with) and each checked against the integrity
# recorded below before anything is unpacked (scripts/npm-unpack.sh):
#   workerd                          its configuration schema (workerd.capnp)
#                                    and a Node.js launcher we do not use,
#                                    unpacked into workerd/
#   @cloudflare/workerd-linux-64     the Linux binary the launcher would
#                                    start, unpacked into workerd-linux-64/;
#                                    the program is workerd-linux-64/bin/workerd
# Safe to run again: it does nothing while the unpacked copy is there and
# complete.
set -euo pipefail
cd "$(dirname "$0")/.."

version=1.20261117.1
# Each package's dist.integrity in the registry: SHA-512 of its tarball, base64.
packages=(
  "workerd@$version sha512-iakDbGVtJRiErpWSM5fYT0z3spJ2Mo1x/POsEajBNLqUbTRwm8vMqbB7g8zPN2tzs6eZYNiO5ECyEnAXO9Foxw== workerd"
  "@cloudflare/workerd-linux-64@$version sha512-gZLA8X11m/luZwn+YA3+mDu61vdxNJzpksP/QZqjydKTQ+VUCulsK5gtn9Bqst1p3KJu2kafQpJ1nDQv4B23jA== workerd-linux-64"
)
dest=build/third_party/workerd-$version
program=$dest/workerd-linux-64/bin/workerd
# What `workerd --version` prints: the date its compatibility reaches.
says="workerd 2026-11-17"

# A copy counts as complete once its program runs and names its version
# (the marker is written last, after both packages are unpacked).
if [ -f "$dest/.complete" ] && [ "$("$program" --version 2>/dev/null)" = "$says" ]; then
  exit 0
fi

if [ "$(uname -s)-$(uname -m)" != Linux-x86_64 ]; then
  echo "fetch-workerd.sh: this workerd build runs on Linux x86_64 only, not on $(uname -s) $(uname -m)" >&2
  exit 1
fi
# Both into a folder of their own first, so that a copy cut short is never
# taken for a complete one.
rm -rf "$dest" "$dest.partial"
trap 'rm -rf "$dest.partial"' EXIT
for entry in "${packages[@]}"; do
  read -r package integrity folder <<<"$entry"
  scripts/npm-unpack.sh "$package" "$integrity" "$dest.partial/$folder"
done
if [ "$("$dest.partial/workerd-linux-64/bin/workerd" --version)" != "$says" ]; then
  echo "fetch-workerd.sh: the unpacked workerd does not say '$says'" >&2
  exit 1
fi
touch "$dest.partial/.complete"
mv "$dest.partial" "$dest"
echo "workerd $version: $program (packages workerd and @cloudflare/workerd-linux-64, integrity checked)"
