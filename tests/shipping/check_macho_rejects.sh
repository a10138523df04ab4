#!/bin/sh
# check_macho_rejects.sh MACHO_CHECK IDENTITY UNIVERSAL LIPO
# Each check of macho_check, on a copy of the universal binary UNIVERSAL that
# lacks what the check looks for: every copy must be refused, with the
# message that names what it lacks. The binary itself must pass first, or the
# refusals would prove nothing. The copies are changed in one slice, the
# x86_64 one where it can be (it carries no code signature, so nothing else
# fails along with the check under test), and put back with LIPO (llvm-lipo).
set -u
check=$1 identity=$2 universal=$3 lipo=$4
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
status=0

if ! "$check" "$identity" 11.0 "$universal" >"$work/out"; then
  cat "$work/out"
  echo "$universal itself fails the checks: the copies below would prove nothing"
  exit 1
fi

# Writes the bytes printf makes of FORMAT at DELTA past the first PATTERN (a
# grep -P pattern) in FILE; fails when FILE holds no PATTERN.
patch_after() {
  pattern=$1 delta=$2 format=$3 file=$4
  at=$(LC_ALL=C grep -obUaP -- "$pattern" "$file" | head -n 1 | cut -d: -f1)
  [ -n "$at" ] || return 1
  # shellcheck disable=SC2059
  printf "$format" | dd of="$file" bs=1 seek=$((at + delta)) conv=notrunc 2>/dev/null
}
# Changes ARCH's slice of the copy with the function MUTATE.
in_slice() {
  arch=$1 mutate=$2
  "$lipo" "$work/copy" -thin "$arch" -output "$work/$arch" || return 1
  "$mutate" "$work/$arch" || return 1
  "$lipo" "$work/copy" -replace "$arch" "$work/$arch" -output "$work/copy.new" && mv "$work/copy.new" "$work/copy"
}

# LC_BUILD_VERSION (cmd 0x32, 32 bytes, platform 1 = macOS), then minos 11.0 -> 12.0.
newer_minos() {
  patch_after '\x32\x00\x00\x00\x20\x00\x00\x00\x01\x00\x00\x00\x00\x00\x0b\x00' 12 '\000\000\014\000' "$1"
}
# The platform field: 1 (macOS) -> 2 (iOS).
ios_platform() { patch_after '\x32\x00\x00\x00\x20\x00\x00\x00\x01\x00\x00\x00' 8 '\002' "$1"; }
# libSystem's load command names a library of the same length instead.
loads_tinyxml2() { patch_after '/usr/lib/libSystem\.B\.dylib' 0 '/usr/lib/libtinyxml2.dylib' "$1"; }
# The identity's "@(#)" marker gone.
no_identity() { patch_after '@\(#\)' 2 '-' "$1"; }
# LC_CODE_SIGNATURE (cmd 0x1d, 16 bytes) turned into a command nobody knows.
unsigned_slice() { patch_after '\x1d\x00\x00\x00\x10\x00\x00\x00' 0 '\177' "$1"; }
# One byte of code changed after signing (page 5's hash no longer matches):
# the byte 100 bytes into page 5, whatever it is, plus one.
changed_code() {
  at=$((5 * 4096 + 100))
  byte=$(od -An -tu1 -j "$at" -N 1 "$1" | tr -d ' ')
  printf "\\$(printf '%03o' $(((byte + 1) % 256)))" | dd of="$1" bs=1 seek="$at" conv=notrunc 2>/dev/null
}

# name | how the copy is made | what the refusal must say
try() {
  name=$1 expected=$3
  cp "$universal" "$work/copy"
  if ! eval "$2"; then
    echo "$name: could not make the copy"
    status=1
    return
  fi
  if "$check" "$identity" 11.0 "$work/copy" >"$work/out"; then
    echo "$name: ACCEPTED, but it lacks what the check looks for:"
    sed 's/^/  /' "$work/out"
    status=1
  elif grep -Eq -- "$expected" "$work/out"; then
    echo "$name: refused: $(grep -E -- "$expected" "$work/out" | head -n 1)"
  else
    echo "$name: refused, but not with '$expected':"
    sed 's/^/  /' "$work/out"
    status=1
  fi
}

try "arm64 only" '"$lipo" "$universal" -thin arm64 -output "$work/arm64" && "$lipo" -create "$work/arm64" -output "$work/copy"' \
  '^FAILED: file: holds arm64; expected exactly one arm64 and one x86_64'
try "not universal" '"$lipo" "$universal" -thin arm64 -output "$work/copy"' \
  '^FAILED: file: not a universal binary'
try "minos 12.0" 'in_slice x86_64 newer_minos' '^FAILED: x86_64: minos 12\.0, expected 11\.0$'
try "iOS platform" 'in_slice x86_64 ios_platform' '^FAILED: x86_64: LC_BUILD_VERSION platform 2, not macOS'
try "loads another library" 'in_slice x86_64 loads_tinyxml2' \
  '^FAILED: x86_64: loads /usr/lib/libtinyxml2\.dylib, which is neither libSystem'
try "no identity" 'in_slice x86_64 no_identity' "^FAILED: x86_64: no '.*' in the slice$"
try "arm64 unsigned" 'in_slice arm64 unsigned_slice' '^FAILED: arm64: no code signature'
try "code changed after signing" 'in_slice arm64 changed_code' \
  '^FAILED: arm64: page 5 \(bytes 20480 to 24576\) does not match its hash'
exit $status
