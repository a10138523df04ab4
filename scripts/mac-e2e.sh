#!/usr/bin/env bash
# scripts/mac-e2e.sh [BUILD_DIR]
# Both tools against the real system, on a Mac only: makes a disk image with
# hdiutil, stamps a profile into it with brackwell-stamp, checks that hdiutil
# still verifies the image, attaches it and runs brackwell on the package on
# the mounted volume (against the real /usr/bin/hdiutil), and compares what it
# wrote with the profile byte for byte; then signs an image ad hoc with
# codesign and checks that `brackwell-stamp unsign` gives back the unsigned
# bytes and that hdiutil verifies what `write --unsign` makes of it.
# BUILD_DIR holds the build to try (default build/macos-universal). Run by
# .github/workflows/macos.yml.
set -euo pipefail

if [ "$(uname -s)" != Darwin ]; then
  echo "mac-e2e.sh: this runs on macOS only: it needs hdiutil, codesign and a volume mounted under /Volumes." >&2
  echo "This machine runs $(uname -s); here the cross-build's checks run instead (cmake --workflow --preset macos-cross)." >&2
  exit 1
fi
cd "$(dirname "$0")/.."
build=${1:-build/macos-universal}
brackwell=$build/src/app/brackwell
stamp=$build/src/stamp/brackwell-stamp
for tool in "$brackwell" "$stamp"; do
  [ -x "$tool" ] || { echo "mac-e2e.sh: $tool not found: build first (cmake --workflow --preset macos-universal)" >&2; exit 1; }
done

work=$(mktemp -d)
volume=BrackwellE2E-$$
mounted=
cleanup() {
  if [ -n "$mounted" ]; then
    hdiutil detach -quiet "$mounted" || hdiutil detach -force -quiet "$mounted" || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
step() { echo "=== $*"; }

step "an installer image: hdiutil create"
mkdir "$work/content"
printf 'stand-in installer package\n' >"$work/content/Install.pkg"
hdiutil create -quiet -volname "$volume" -srcfolder "$work/content" -format UDZO "$work/Setup.dmg"
# A profile with every byte value in it, a zero byte and 0xff included.
for i in $(seq 0 255); do printf "\\$(printf %03o "$i")"; done >"$work/profile.bin"

step "brackwell-stamp write; hdiutil verify"
"$stamp" write "$work/Setup.dmg" "$work/profile.bin" --out "$work/Acme.dmg"
"$stamp" show "$work/Acme.dmg"
hdiutil verify -quiet "$work/Acme.dmg"

step "attach; brackwell /Volumes/$volume/Install.pkg"
hdiutil attach -quiet -nobrowse -readonly "$work/Acme.dmg"
mounted=/Volumes/$volume
[ -f "$mounted/Install.pkg" ] || { echo "mac-e2e.sh: $mounted/Install.pkg is not there after attaching" >&2; exit 1; }
"$brackwell" "$mounted/Install.pkg" "$work/extracted.bin"
cmp "$work/profile.bin" "$work/extracted.bin"
echo "brackwell wrote the profile, byte for byte"
hdiutil detach -quiet "$mounted"
mounted=

step "codesign -s - (ad hoc); brackwell-stamp unsign gives back the unsigned bytes"
cp "$work/Setup.dmg" "$work/Signed.dmg"
codesign -s - "$work/Signed.dmg"
codesign --verify --verbose=2 "$work/Signed.dmg"
"$stamp" show "$work/Signed.dmg" || true # no profile: exits 1 after reporting the signature
"$stamp" unsign "$work/Signed.dmg" --out "$work/Unsigned.dmg"
cmp "$work/Setup.dmg" "$work/Unsigned.dmg"
echo "unsign gave back the image as it was before signing"

step "brackwell-stamp write --unsign; hdiutil verify"
"$stamp" write "$work/Signed.dmg" "$work/profile.bin" --unsign --out "$work/AcmeFromSigned.dmg"
hdiutil verify -quiet "$work/AcmeFromSigned.dmg"
cmp "$work/Acme.dmg" "$work/AcmeFromSigned.dmg"
echo "write --unsign gave the same image as write on the unsigned one"

echo "mac-e2e.sh: all passed"
