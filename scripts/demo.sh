#!/usr/bin/env bash
# The tool's main job on a demo: makes a disk image, stamps a profile into it,
# presents it through the stand-in utility as mounted at /Volumes/Demo, runs
# brackwell on /Volumes/Demo/Install.pkg and shows the extracted profile.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target brackwell brackwell-standin brackwell-stamp brackwell-fixture
fixture=build/dev/tests/support/brackwell-fixture

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"
image=$PWD/$demo/Demo.dmg
profile=$'customer: Acme Corporation\nlicense: ACME-4711-DEMO\nseats: 25\n'

# A stand-in for a freshly built installer image: 64 KiB of image data and a
# 512-byte UDIF trailer, made by the builders the tests use.
"$fixture" image --data 65536 "$image"

# The build server's half: stamp this customer's profile into the image.
echo "=== brackwell-stamp write $demo/Demo.dmg - (the customer's profile)"
printf '%s' "$profile" | build/dev/src/stamp/brackwell-stamp write "$image" -
build/dev/src/stamp/brackwell-stamp show "$image"

# What the disk-image utility prints with the image attached and mounted at
# /Volumes/Demo, "hdiutil info" and "hdiutil info -plist": the tests'
# listings, which the stand-in utility prints in its place.
"$fixture" listings "$image" /Volumes/Demo "$demo"

echo "=== brackwell /Volumes/Demo/Install.pkg $demo/profile.out"
status=0
BRACKWELL_STANDIN_INFO=$demo/info.txt BRACKWELL_STANDIN_PLIST=$demo/info.plist \
  build/dev/tests/brackwell-standin /Volumes/Demo/Install.pkg "$demo/profile.out" || status=$?
echo "=== exit status: $status"
[ "$status" -eq 0 ] || exit "$status"
echo "=== extracted profile ($demo/profile.out):"
cat "$demo/profile.out"
