#!/usr/bin/env bash
# Times brackwell-stamp writing a 64 KiB profile into 1 MiB, 1 GiB and 8 GiB
# images, to a new file (--out) and in place, against a plain cp of the same
# image (and cp followed by an fsync of the copy, since the stamp flushes its
# result to disk before renaming it into place). Then streams: write, remove
# and unsign with --out - into a pipe, against cat of the same image into the
# same pipe, whose reader (bench/pipe_sink.cpp) throws the bytes away as
# cheaply as it can; the target is at most 1.2 times cat's time for write at
# 1 GiB (smaller images are timed, but process start-up dominates them).
# Prints the machine, the copy method the stamp used, hyperfine's figures and
# each streaming ratio against its target.
#
#   scripts/bench-stamp.sh [DIR]     DIR: where the images go (default build/bench-stamp/work)
#
#   BENCH_SIZES         image sizes for the file outputs, in bytes, K, M or G (default "1M 1G 8G")
#   BENCH_STREAM_SIZES  image sizes for the streams (default "1M 1G")
#
# The images hold pseudo-random bytes written out in full, not holes: cp
# skips the holes of a sparse file, and the point is to see what copying real
# image data costs. They need about twice their size in free space, one size at a
# time; everything is deleted afterwards. Needs hyperfine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench # hyperfine, jq, and Google Benchmark for the bench directory

build=build/bench-stamp
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRACKWELL_TESTS=OFF -DBRACKWELL_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target brackwell-stamp brackwell_pipe_sink brackwell-fixture -j2 >/dev/null
stamp=$PWD/$build/src/stamp/brackwell-stamp
sink=$PWD/$build/bench/brackwell_pipe_sink
fixture=$PWD/$build/tests/support/brackwell-fixture

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

# An image of $1 bytes of pseudo-random data and a 512-byte UDIF trailer,
# to standard output. The data is the same sequence in every image, so two
# images agree as far as the shorter one's data goes. More arguments go to
# brackwell-fixture (--signature N: a code signature between the two).
image() {
  local data=$1
  shift
  "$fixture" image --fill random --data "$data" "$@" -
}

# room COPIES BYTES WHAT: whether the work directory has room for COPIES
# files of BYTES and 1 GiB besides; when not, says that WHAT is skipped.
room() {
  local need=$(($1 * $2 + (1 << 30))) free
  free=$(($(df -B1 --output=avail "$work" | tail -1)))
  [ "$free" -ge "$need" ] || { echo "skipping $3: $free bytes free in $work, need about $need" >&2; return 1; }
}

head -c 65536 /dev/urandom >"$work/profile.bin"

for size in ${BENCH_SIZES:-1M 1G 8G}; do
  total=$(bytes "$size")
  room 2 "$total" "$size" || continue
  image=$work/image-$size.dmg
  image $((total - 512)) >"$image"
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

# Streams: the new image into a pipe, against cat of the image into the same
# pipe. The pipe's reader is the same cheap sink for both.
for size in ${BENCH_STREAM_SIZES:-1M 1G}; do
  total=$(bytes "$size")
  room 3 "$total" "streams of $size" || continue
  image=$work/image-$size.dmg
  stamped=$work/stamped-$size.dmg
  signed=$work/signed-$size.dmg
  image $((total - 512)) >"$image"
  "$stamp" write "$image" "$work/profile.bin" --out "$stamped" 2>/dev/null
  # Signed as codesign signs: a superblob of 8 KiB between data and trailer.
  image $((total - 512 - 8192)) --signature 8192 >"$signed"
  sync "$image" "$stamped" "$signed"

  echo
  echo "## streams of a $size image ($total bytes)"
  # The streamed bytes are exactly the file each command would write.
  "$stamp" write "$image" "$work/profile.bin" --out - 2>/dev/null | cmp - "$stamped"
  "$stamp" remove "$stamped" --out - 2>/dev/null | cmp - "$image"
  # unsign gives the image as it was before signing: its data, then the trailer.
  [ "$("$stamp" unsign "$signed" --out - 2>/dev/null | sha256sum)" = \
    "$(image $((total - 512 - 8192)) | sha256sum)" ]
  # Into a pipe, as timed below.
  received=$(BRACKWELL_STAMP_VERBOSE=1 "$stamp" write "$image" "$work/profile.bin" --out - 2>"$work/verbose" |
    "$sink" -c)
  echo "into a pipe: $(grep -o 'copy method: [a-z_]*' "$work/verbose"); the sink received $received bytes"

  case $size in
    *G) runs=10 warmup=1 ;;
    *) runs=50 warmup=3 ;;
  esac
  hyperfine --style basic --warmup "$warmup" --runs "$runs" --export-json "$work/stream.json" \
    --export-markdown "$work/stream.md" \
    -n "cat | sink" "cat '$image' | '$sink'" \
    -n "write --out - | sink" "'$stamp' write '$image' '$work/profile.bin' --out - 2>/dev/null | '$sink'" \
    -n "remove --out - | sink" "'$stamp' remove '$stamped' --out - 2>/dev/null | '$sink'" \
    -n "unsign --out - | sink" "'$stamp' unsign '$signed' --out - 2>/dev/null | '$sink'" \
    -n "write --out - (streamed) | sink" \
    "BRACKWELL_STAMP_COPY=stream '$stamp' write '$image' '$work/profile.bin' --out - 2>/dev/null | '$sink'"
  cat "$work/stream.md"
  jq -r --arg size "$size" '
    (.results[0].mean) as $cat
    | .results[1:][]
    | (.mean / $cat) as $ratio
    | "\(.command) / cat, \($size): \($ratio * 1000 | round / 1000)x (mean \(.mean * 1000 | round / 1000) s vs \($cat * 1000 | round / 1000) s)"
      + (if (.command | startswith("write --out - |")) and ($size == "1G") then
           (if $ratio <= 1.2 then "  target <= 1.2x: met" else "  target <= 1.2x: MISSED" end)
         else "" end)' "$work/stream.json"
  rm -f "$image" "$stamped" "$signed"
done
