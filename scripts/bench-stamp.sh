#!/usr/bin/env bash
# Times brackwell-stamp writing a 64 KiB profile into 1 MiB, 1 GiB and 8 GiB
# images, to a new file (--out) and in place, against a plain cp of the same
# image (and cp followed by an fsync of the copy, since the stamp flushes its
# result to disk before renaming it into place). Prints the machine, the copy
# method the stamp used and hyperfine's figures.
#
#   scripts/bench-stamp.sh [DIR]     DIR: where the images go (default build/bench-stamp/work)
#
#   BENCH_SIZES   image sizes in bytes, K, M or G suffixes (default "1M 1G 8G")
#
# The images hold random bytes written out in full, not holes: cp skips the
# holes of a sparse file, and the point is to see what copying real image
# data costs. They need about twice their size in free space, one size at a
# time; everything is deleted afterwards. Needs hyperfine.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v hyperfine >/dev/null || { echo "hyperfine is not installed (apt-get install hyperfine)" >&2; exit 1; }

build=build/bench-stamp
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRACKWELL_TESTS=OFF >/dev/null
cmake --build "$build" --target brackwell-stamp -j2 >/dev/null
stamp=$PWD/$build/src/app/brackwell-stamp

dir=${1:-$build/work}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
work=$(mktemp -d "$dir/bench-stamp.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "## machine"
echo "nproc: $(nproc)"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "kernel: $(uname -sr)"
echo "directory: $dir ($(findmnt -no FSTYPE -T "$dir" 2>/dev/null || stat -f -c %T "$dir"), $(df -h --output=avail "$dir" | tail -1 | tr -d ' ') free)"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "tools: $(hyperfine --version), $(cp --version | head -1)"

bytes() {
  local n=${1%[KMG]}
  case $1 in
    *K) echo $((n << 10)) ;;
    *M) echo $((n << 20)) ;;
    *G) echo $((n << 30)) ;;
    *) echo "$n" ;;
  esac
}

# A UDIF trailer: "koly", version 4, header size 512, the rest zero.
trailer() {
  printf 'koly\x00\x00\x00\x04\x00\x00\x02\x00'
  head -c 500 /dev/zero
}

head -c 65536 /dev/urandom >"$work/profile.bin"

for size in ${BENCH_SIZES:-1M 1G 8G}; do
  total=$(bytes "$size")
  free=$(($(df -B1 --output=avail "$work" | tail -1)))
  if [ "$free" -lt $((2 * total + (1 << 30))) ]; then
    echo "skipping $size: $free bytes free in $work, need about $((2 * total + (1 << 30)))" >&2
    continue
  fi
  image=$work/image-$size.dmg
  { head -c $((total - 512)) /dev/urandom; trailer; } >"$image"
  sync "$image"

  echo
  echo "## $size image ($total bytes), 64 KiB profile"
  # What the stamp did, and that it really copied: the output reads back and
  # occupies its full size on disk.
  BRACKWELL_STAMP_VERBOSE=1 "$stamp" write "$image" "$work/profile.bin" --out "$work/out.dmg"
  "$stamp" extract "$work/out.dmg" 2>/dev/null | cmp - "$work/profile.bin"
  cmp -n $((total - 512)) "$image" "$work/out.dmg"
  echo "output: $(stat -c %s "$work/out.dmg") bytes, $(du -k "$work/out.dmg" | cut -f1) KiB allocated"
  rm -f "$work/out.dmg"

  # The image was just written, so it is in the page cache already; large
  # sizes get no warm-up run.
  case $size in
    *G) runs=3 warmup=0 ;;
    *) runs=20 warmup=1 ;;
  esac
  # In place runs last and with --replace: its first run stamps the image,
  # every later one swaps the profile, which costs the same.
  hyperfine --style basic --warmup "$warmup" --runs "$runs" --export-markdown "$work/result.md" \
    --prepare "rm -f '$work/cp.dmg' '$work/out.dmg'" \
    -n "cp" "cp '$image' '$work/cp.dmg'" \
    -n "cp + fsync" "cp '$image' '$work/cp.dmg' && sync '$work/cp.dmg'" \
    -n "stamp --out" "'$stamp' write '$image' '$work/profile.bin' --out '$work/out.dmg'" \
    -n "stamp in place" "'$stamp' write '$image' '$work/profile.bin' --replace"
  cat "$work/result.md"
  BRACKWELL_STAMP_VERBOSE=1 "$stamp" write "$image" "$work/profile.bin" --replace 2>&1 | grep 'copy method'
  rm -f "$image" "$work/cp.dmg" "$work/out.dmg"
done
