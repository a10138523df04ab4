#!/usr/bin/env bash
# scripts/mac-e2e.sh [BUILD_DIR]
# Both tools against the real system, on a Mac only: makes a disk image with
# hdiutil, stamps a profile into it with brackwell-stamp, checks that hdiutil
# still verifies the image, attaches it and runs brackwell on the package on
# the mounted volume (against the real /usr/bin/hdiutil), to a file and to
# /dev/stdout through a pipe, and compares what it wrote with the profile
# byte for byte; then signs an image ad hoc with codesign and checks that
# `brackwell-stamp unsign` gives back the unsigned bytes and that hdiutil
# verifies what `write --unsign` makes of it. Then what only macOS has: an
# image carrying a quarantine attribute, an ACL and the hidden flag stamped
# by the clone and by the buffered copy (both must carry the same), and a
# locked image (chflags uchg), which must be stamped to --out, refused in
# place, and leave no file behind that cannot be removed.
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
  # A locked file cannot be removed until it is unlocked.
  chflags -R nouchg "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
step() { echo "=== $*"; }
fail() {
  echo "mac-e2e.sh: $*" >&2
  exit 1
}

# hdiutil's create, attach and detach fail now and then with "Resource busy"
# on CI runners (a disk arbitration daemon still busy with the last image):
# each gets a few tries, with a growing pause between them.
with_retries() {
  local try
  for try in 1 2 3 4 5; do
    if "$@"; then
      return 0
    fi
    echo "mac-e2e.sh: '$*' failed (try $try of 5)" >&2
    sleep $((try * 3))
  done
  return 1
}

# Attaches image $1 read-only and sets $mounted to where hdiutil mounted it,
# read from its property list (a volume name already in use gets another
# mount point than /Volumes/<name>).
attach_once() {
  hdiutil attach -plist -nobrowse -readonly "$1" >"$work/attach.plist"
}
attach() {
  with_retries attach_once "$1"
  mounted=
  local entity=0 point
  while plutil -extract "system-entities.$entity" xml1 -o /dev/null "$work/attach.plist" 2>/dev/null; do
    if point=$(plutil -extract "system-entities.$entity.mount-point" raw -o - "$work/attach.plist" 2>/dev/null); then
      mounted=$point
      break
    fi
    entity=$((entity + 1))
  done
  [ -n "$mounted" ] || fail "hdiutil attach named no mount point for $1: $(cat "$work/attach.plist")"
}

detach() {
  with_retries hdiutil detach -quiet "$mounted"
  mounted=
}

step "an installer image: hdiutil create"
mkdir "$work/content"
printf 'stand-in installer package\n' >"$work/content/Install.pkg"
with_retries hdiutil create -quiet -ov -volname "$volume" -srcfolder "$work/content" -format UDZO "$work/Setup.dmg"
# A profile with every byte value in it, a zero byte and 0xff included.
for i in $(seq 0 255); do printf "\\$(printf %03o "$i")"; done >"$work/profile.bin"

step "brackwell-stamp write; hdiutil verify"
"$stamp" write "$work/Setup.dmg" "$work/profile.bin" --out "$work/Acme.dmg"
"$stamp" show "$work/Acme.dmg"
with_retries hdiutil verify -quiet "$work/Acme.dmg"

step "attach; brackwell <mount point>/Install.pkg, to a file and to /dev/stdout"
attach "$work/Acme.dmg"
echo "mounted at $mounted"
[ -f "$mounted/Install.pkg" ] || fail "$mounted/Install.pkg is not there after attaching"
"$brackwell" "$mounted/Install.pkg" "$work/extracted.bin"
cmp "$work/profile.bin" "$work/extracted.bin"
echo "brackwell wrote the profile, byte for byte"
# Standard output a pipe: /dev/stdout leads to devfs's /dev/fd/1, which opens
# as a duplicate of descriptor 1. brackwell's own lines go there too; the
# profile comes right before the last one.
printf 'Profile extracted to: /dev/stdout\n' >"$work/last-line"
"$brackwell" "$mounted/Install.pkg" /dev/stdout | cat >"$work/stdout.bin"
last=$(wc -c <"$work/last-line")
size=$(wc -c <"$work/profile.bin")
tail -c "$last" "$work/stdout.bin" | cmp - "$work/last-line"
tail -c $((size + last)) "$work/stdout.bin" | head -c "$size" | cmp - "$work/profile.bin"
echo "brackwell wrote the profile to /dev/stdout, a pipe, byte for byte"
detach

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
with_retries hdiutil verify -quiet "$work/AcmeFromSigned.dmg"
cmp "$work/Acme.dmg" "$work/AcmeFromSigned.dmg"
echo "write --unsign gave the same image as write on the unsigned one"

# What the new image carries besides its bytes, one line each: the
# quarantine attribute, the ACL's entries, the file flags.
metadata() {
  xattr -p com.apple.quarantine "$1"
  # shellcheck disable=SC2012 # ls -le is how macOS shows an ACL's entries
  ls -le "$1" | tail -n +2
  stat -f 'flags: %Sf' "$1"
}

step "a quarantined image with an ACL, hidden: the clone and the buffered copy carry the same"
cp "$work/Setup.dmg" "$work/Downloaded.dmg"
xattr -w com.apple.quarantine '0083;65f0a1b2;Safari;' "$work/Downloaded.dmg"
chmod +a 'group:staff allow read' "$work/Downloaded.dmg"
chflags hidden "$work/Downloaded.dmg"
metadata "$work/Downloaded.dmg" >"$work/expected-metadata"
cat "$work/expected-metadata"
for copy in auto stream; do
  said=$(BRACKWELL_STAMP_COPY=$copy BRACKWELL_STAMP_VERBOSE=1 \
    "$stamp" write "$work/Downloaded.dmg" "$work/profile.bin" --out "$work/Downloaded-$copy.dmg" 2>&1)
  echo "$said"
  case $copy:$said in
    auto:*"copy method: clone"* | stream:*"copy method: streamed"*) ;;
    *) fail "BRACKWELL_STAMP_COPY=$copy did not copy the way it names" ;;
  esac
  metadata "$work/Downloaded-$copy.dmg" | diff "$work/expected-metadata" - ||
    fail "BRACKWELL_STAMP_COPY=$copy: the stamped copy does not carry the image's attribute, ACL and flags"
  cmp "$work/Acme.dmg" "$work/Downloaded-$copy.dmg"
done
echo "both ways give the same bytes, attribute, ACL and flags"

step "a locked image (chflags uchg): stamped to --out unlocked, refused in place, nothing left behind"
cp "$work/Setup.dmg" "$work/Locked.dmg"
chflags uchg "$work/Locked.dmg"
said=$(BRACKWELL_STAMP_VERBOSE=1 "$stamp" write "$work/Locked.dmg" "$work/profile.bin" --out "$work/LockedAcme.dmg" 2>&1)
echo "$said"
case $said in
  *"copy method: clone"*) fail "a locked image was cloned: its clone would be locked too" ;;
esac
cmp "$work/Acme.dmg" "$work/LockedAcme.dmg"
[ "$(stat -f %Sf "$work/LockedAcme.dmg")" = - ] ||
  fail "the stamped copy of a locked image has the flags $(stat -f %Sf "$work/LockedAcme.dmg")"
rm "$work/LockedAcme.dmg" # a copy that cannot be removed would fail here
if "$stamp" write "$work/Locked.dmg" "$work/profile.bin"; then
  fail "a locked image was replaced in place"
fi
cmp "$work/Setup.dmg" "$work/Locked.dmg"
leftovers=$(find "$work" -maxdepth 1 -name '.*.stamp-*')
[ -z "$leftovers" ] || fail "left behind: $leftovers"
echo "the locked image stays as it was, and no run left a file behind"

echo "mac-e2e.sh: all passed"
