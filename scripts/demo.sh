#!/usr/bin/env bash
# The tool's main job on a demo: makes a disk image, stamps a profile into it,
# presents it through the stand-in utility as mounted at /Volumes/Demo, runs
# brackwell on /Volumes/Demo/Install.pkg and shows the extracted profile.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target brackwell brackwell-standin brackwell-stamp

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"
image=$PWD/$demo/Demo.dmg
profile=$'customer: Acme Corporation\nlicense: ACME-4711-DEMO\nseats: 25\n'

# A stand-in for a freshly built installer image: image data and a 512-byte
# UDIF trailer starting with "koly" (version 4, header size 512).
be32() { printf "\\x$(printf %02x $(($1 >> 24 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))"; printf "\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 & 255)))"; }
{
  head -c 65536 /dev/zero
  printf 'koly'; be32 4; be32 512; head -c 500 /dev/zero
} >"$image"

# The build server's half: stamp this customer's profile into the image.
echo "=== brackwell-stamp write $demo/Demo.dmg - (the customer's profile)"
printf '%s' "$profile" | build/dev/src/stamp/brackwell-stamp write "$image" -
build/dev/src/stamp/brackwell-stamp show "$image"

cat >"$demo/info.txt" <<LISTING
framework       : 671.100.2
driver          : 671.100.2
================================================
image-path      : $image
image-alias     : $image
shadow-path     : <none>
icon-path       : /System/Library/PrivateFrameworks/DiskImages.framework/Resources/CDiskImage.icns
image-type      : read-only disk image
blockcount      : 130
process ID      : 412
/dev/disk4	GUID_partition_scheme	
/dev/disk4s1	Apple_HFS	/Volumes/Demo
LISTING
cat >"$demo/info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>framework</key>
	<string>671.100.2</string>
	<key>images</key>
	<array>
		<dict>
			<key>image-path</key>
			<string>$image</string>
			<key>image-type</key>
			<string>read-only disk image</string>
			<key>owner-uid</key>
			<integer>501</integer>
			<key>system-entities</key>
			<array>
				<dict>
					<key>content-hint</key>
					<string>Apple_HFS</string>
					<key>dev-entry</key>
					<string>/dev/disk4s1</string>
					<key>mount-point</key>
					<string>/Volumes/Demo</string>
					<key>potentially-mountable</key>
					<true/>
					<key>volume-kind</key>
					<string>hfs</string>
				</dict>
			</array>
		</dict>
	</array>
	<key>revision</key>
	<string>10.15v671.100.2</string>
	<key>vendor</key>
	<string>Apple</string>
</dict>
</plist>
PLIST

echo "=== brackwell /Volumes/Demo/Install.pkg $demo/profile.out"
status=0
BRACKWELL_STANDIN_INFO=$demo/info.txt BRACKWELL_STANDIN_PLIST=$demo/info.plist \
  build/dev/tests/brackwell-standin /Volumes/Demo/Install.pkg "$demo/profile.out" || status=$?
echo "=== exit status: $status"
[ "$status" -eq 0 ] || exit "$status"
echo "=== extracted profile ($demo/profile.out):"
cat "$demo/profile.out"
