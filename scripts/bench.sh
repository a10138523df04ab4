#!/usr/bin/env bash
# The benchmarks behind BENCHMARKS.md. Builds the bench preset (Release), then
#   1. runs the benchmark program: both listing parsers, package paths, profile
#      extraction beside a plain read of the same bytes, extraction's peak memory;
#   2. times whole runs of the tool against the stand-in utility beside the two
#      stand-in invocations alone (hyperfine);
#   3. measures the whole tool's peak memory with a 64 KiB and a 256 MiB profile;
# and prints every figure against its target. Results and plots go to
# build/bench/results.
#
#   scripts/bench.sh                              everything
#   scripts/bench.sh --benchmark_filter=plist     arguments go to the benchmark program
#   BENCH_REPETITIONS=3 BENCH_RUNS=100 BENCH_ROUNDS=1 scripts/bench.sh   quicker
#
# BENCH_REPETITIONS (default 5): repetitions of each benchmark, whose medians
# are reported. BENCH_RUNS (default 200) and BENCH_ROUNDS (default 3): hyperfine
# runs of each command per round, and rounds of the whole-run comparison.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
cmake --preset bench >/dev/null
cmake --build --preset bench --target brackwell_bench brackwell_peak_rss brackwell-fixture brackwell-standin

root=$PWD
build=$root/build/bench
results=$build/results
repetitions=${BENCH_REPETITIONS:-5}
runs=${BENCH_RUNS:-200}
rounds=${BENCH_ROUNDS:-3}
mkdir -p "$results"
rm -f "$results"/*
fixture=$build/tests/support/brackwell-fixture
scratch=$(mktemp -d --tmpdir brackwell-bench-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

load() { cut -d' ' -f1-3 /proc/loadavg; }
{
  echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(free -g | awk '/^Mem:/ {print $2}') GiB, Linux $(uname -r)"
  echo "commit: $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- src bench || echo ' (modified)')"
} | tee "$results/machine.txt"

# 1. The benchmark program. Its images (up to 64 GiB, sparse) go to the
# scratch directory.
echo "=== benchmark program: medians of $repetitions repetitions (load at start: $(load))"
load_start=$(load)
TMPDIR=$scratch "$build/bench/brackwell_bench" \
  --benchmark_repetitions="$repetitions" --benchmark_display_aggregates_only=true \
  --benchmark_out="$results/benchmarks.json" --benchmark_out_format=json "$@"
echo "program: load at start $load_start, at end $(load)" >>"$results/machine.txt"

# A disk image: zero bytes of image data, a profile of pseudo-random bytes,
# its descriptor and a 512-byte UDIF trailer.
make_image() { # path, bytes in front of the profile, profile length
  "$fixture" image --data "$2" --random-profile "$3" "$1"
}

# 2. Whole runs: a realistic listing pair of 10 attached images, the tool's
# own image last, a 64 KiB profile.
tool=$build/bench/brackwell-standin
standin=$root/tests/standin/hdiutil
mkdir "$scratch/small" "$scratch/large"
make_image "$scratch/Setup.dmg" 1048576 65536
"$fixture" listings --others 9 "$scratch/Setup.dmg" /Volumes/Setup "$scratch/small"
export BRACKWELL_STANDIN_INFO=$scratch/small/info.txt BRACKWELL_STANDIN_PLIST=$scratch/small/info.plist
"$tool" /Volumes/Setup/Install.pkg "$scratch/profile.out" >/dev/null
[ "$(stat -c %s "$scratch/profile.out")" = 65536 ] && cmp -i 1048576:0 -n 65536 "$scratch/Setup.dmg" "$scratch/profile.out"

echo "=== whole run against the stand-in: $rounds rounds of $runs runs each (load at start: $(load))"
load_start=$(load)
# Every command is started directly (no shell in between): the tool, and the
# stand-in's two invocations, each on its own; their medians add up to "the
# stand-in alone". The "_via_sh" pair is the same invocations the way popen
# starts them, each through "sh -c". hyperfine runs one command's runs back to
# back while load from elsewhere drifts, hence rounds: the ratio is taken per
# round and the median of the rounds is the figure.
for round in $(seq "$rounds"); do
  hyperfine -N --warmup 10 --runs "$runs" --export-json "$results/whole_run_$round.json" \
    -n tool "$tool /Volumes/Setup/Install.pkg $scratch/profile.out" \
    -n info "$standin info" \
    -n info_plist "$standin info -plist" \
    -n info_via_sh "sh -c '$standin info'" \
    -n info_plist_via_sh "sh -c '$standin info -plist'"
done
# The tool starting, printing its usage and exiting with status 1.
hyperfine -N -i --warmup 10 --runs "$runs" --export-json "$results/tool_start.json" -n tool_start "$tool"
echo "whole run: load at start $load_start, at end $(load)" >>"$results/machine.txt"

# 3. The whole tool's peak memory (maximum resident set, GNU time), median of
# 5 runs, with the small image and with a 256 MiB profile.
make_image "$scratch/Large.dmg" 1048576 268435456
"$fixture" listings --others 9 "$scratch/Large.dmg" /Volumes/Setup "$scratch/large"
tool_peak() { # listing directory -> KiB
  for _ in 1 2 3 4 5; do
    BRACKWELL_STANDIN_INFO=$1/info.txt BRACKWELL_STANDIN_PLIST=$1/info.plist \
      /usr/bin/time -f %M -o "$scratch/time.txt" "$tool" /Volumes/Setup/Install.pkg "$scratch/peak.out" >/dev/null
    cat "$scratch/time.txt"
  done | sort -n | sed -n 3p
}
{
  echo "65536 $(tool_peak "$scratch/small")"
  echo "268435456 $(tool_peak "$scratch/large")"
} >"$results/tool_peak.txt"
rm -f "$scratch/Large.dmg" "$scratch/peak.out"

# The figures against their targets.
# shellcheck disable=SC2016 # $m is jq's
medians='[.benchmarks[] | select(.aggregate_name == "median")] as $m
  | if ($m | length) > 0 then $m else [.benchmarks[] | select(.run_type == "iteration")] end | .[]'
figures() { jq -r "$medians | $1 | @tsv" "$results/benchmarks.json"; }
verdict() { if [ "$1" = 1 ]; then echo "met"; else echo "MISSED"; fi; }
echo
echo "=== figures (medians; MB = 10^6 bytes; warm page cache unless the name says cold)"
{
  echo "--- parsing: at least 200 MB/s on every input shape"
  figures 'select(.run_name | test("^(aliases|plist|tinyxml2_only)/"))
    | [.run_name, .input_bytes, .bytes_per_second / 1e6]' |
    awk -F'\t' '{ v = $1 ~ /^tinyxml2_only/ ? "(reference)" : ($3 >= 200 ? "met" : "MISSED");
                  printf "%-68s %9d B %9.1f MB/s  %s\n", $1, $2, $3, v }'
  echo "--- package-path matching"
  figures 'select(.run_name | test("^package_path/")) | [.run_name, .input_bytes, .bytes_per_second / 1e6, .real_time]' |
    awk -F'\t' '{ printf "%-68s %9d B %9.1f MB/s %10.3f us\n", $1, $2, $3, $4 }'
  echo "--- extraction: within 1.3x of a plain pread of the same bytes (ratio = reader / plain read; warm)"
  figures 'select(.run_name | test("^extract/")) | [(.run_name | sub("/manual_time$"; "")), .real_time,
      .floor_time * 1e6, .ratio, .locating_time * 1e6, .ratio_locating]' |
    awk -F'\t' '{ v = $1 ~ /cold/ ? "(ref.)" : ($4 <= 1.3 ? "met" : "MISSED")
                  printf "%-36s reader %10.1f us  plain %10.1f us  ratio %5.2f %-7s  locating read %10.1f us  ratio %5.2f\n",
                  $1, $2, $3, $4, v, $5, $6 }'
  echo "--- extraction independent of image size: 64 GiB within 1.1x of 1 MiB (64 KiB profile, warm)"
  for cache in warm cold; do
    figures "select(.run_name | test(\"^extract/image_size:(1MiB|64GiB)/$cache\")) | [.image_bytes, .real_time]" |
      sort -n | awk -v cache="$cache" '{ t[NR] = $2 } END { if (NR < 2) { print cache ": not run"; exit } r = t[2] / t[1]
        v = cache == "warm" ? (r <= 1.1 ? "met" : "MISSED") : "(reference: the virtual disk dominates)"
        printf "%s: 1 MiB %.1f us, 64 GiB %.1f us, ratio %.3f  %s\n", cache, t[1], t[2], r, v }'
  done
  echo "--- peak memory of one extraction (own process, VmHWM): at most the profile + 4 MiB"
  figures 'select(.run_name | test("^extract/.*warm")) | [(.run_name | sub("/manual_time$"; "")), .profile_bytes,
      .peak_rss / 1048576, .peak_growth / 1048576, .peak_limit / 1048576]' |
    awk -F'\t' '{ printf "%-36s profile %10d B  peak %8.2f MiB (growth %8.2f MiB)  limit %8.2f MiB  %s\n",
                  $1, $2, $3, $4, $5, ($3 <= $5 ? "met" : "MISSED") }'
  echo "--- peak memory of a whole run of the tool (GNU time, maximum resident set)"
  awk '{ limit = $1 / 1048576 + 4; printf "profile %10d B  peak %8.2f MiB  limit %8.2f MiB  %s\n",
         $1, $2 / 1024, limit, ($2 / 1024 <= limit ? "met" : "MISSED") }' "$results/tool_peak.txt"
  echo "--- whole run: within 1.2x of the stand-in invocations alone (hyperfine medians, ms)"
  for file in "$results"/whole_run_*.json; do
    jq -r '[.results[] | {(.command): (.median * 1000)}] | add
      | [.tool, .info, .info_plist, .info_via_sh, .info_plist_via_sh] | @tsv' "$file"
  done | awk -F'\t' '{ printf "round %d: tool %7.3f  info %7.3f + info -plist %7.3f  (via sh -c: %7.3f + %7.3f)  tool / stand-in %.2f\n",
                        NR, $1, $2, $3, $4, $5, $1 / ($2 + $3) }' | tee "$scratch/rounds.txt"
  awk '{ print $NF }' "$scratch/rounds.txt" | sort -n |
    awk '{ r[NR] = $1 } END { m = NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2
          printf "median over rounds: tool / stand-in %.2f  %s\n", m, (m <= 1.2 ? "met" : "MISSED") }'
  jq -r '.results[] | .median * 1000' "$results/tool_start.json" |
    awk '{ printf "tool starting, printing its usage and exiting: median %.3f ms\n", $1 }'
  echo "--- conditions"
  cat "$results/machine.txt"
} | tee "$results/summary.txt"

# The plots.
figures 'select(.run_name | test("^extract/image_size:.*/warm")) | [.image_bytes, .real_time, .floor_time * 1e6]' |
  sort -n >"$results/image_size_warm.dat"
figures 'select(.run_name | test("^extract/image_size:.*/cold")) | [.image_bytes, .real_time, .floor_time * 1e6]' |
  sort -n >"$results/image_size_cold.dat"
figures 'select(.run_name | test("^extract/profile_size:")) | [.profile_bytes, .real_time, .floor_time * 1e6]' |
  sort -n >"$results/profile_size.dat"
for family in aliases plist tinyxml2_only; do
  figures "select(.run_name | test(\"^$family/realistic/\")) | [.images, .input_bytes, .cpu_time]" |
    sort -n >"$results/parse_$family.dat"
done
gnuplot 2>"$results/gnuplot.log" <<PLOT || echo "(plots incomplete: some benchmarks were filtered out)"
set terminal pngcairo size 720,440 font ",10"
set grid
set key top left
set logscale xy
set ylabel "time per extraction (us)"
set xlabel "image size (bytes; sparse, 64 KiB profile at its end)"
set title "Profile extraction against image size"
set xtics ("1 MiB" 1048576, "1 GiB" 1073741824, "64 GiB" 68719476736)
set xrange [524288:137438953472]
set output "$results/extraction_vs_image_size.png"
plot "$results/image_size_warm.dat" using 1:2 with linespoints title "reader, warm cache", \
     "$results/image_size_warm.dat" using 1:3 with linespoints title "plain pread, warm cache", \
     "$results/image_size_cold.dat" using 1:2 with linespoints title "reader, cold cache", \
     "$results/image_size_cold.dat" using 1:3 with linespoints title "plain pread, cold cache"
set title "Profile extraction against profile size (warm cache)"
set xlabel "profile size (bytes)"
set xtics ("4 KiB" 4096, "64 KiB" 65536, "1 MiB" 1048576, "16 MiB" 16777216, "256 MiB" 268435456)
set xrange [2048:536870912]
set output "$results/extraction_vs_profile_size.png"
plot "$results/profile_size.dat" using 1:2 with linespoints title "reader", \
     "$results/profile_size.dat" using 1:3 with linespoints title "plain pread"
set title "Listing parse time against listing size"
set xlabel "attached images in the listing"
set ylabel "CPU time per parse (us)"
set xtics ("1" 1, "10" 10, "100" 100, "1000" 1000)
set xrange [0.7:1500]
set output "$results/parse_vs_listing_size.png"
plot "$results/parse_aliases.dat" using 1:3 with linespoints title "alias table (text listing)", \
     "$results/parse_plist.dat" using 1:3 with linespoints title "image records (property list)", \
     "$results/parse_tinyxml2_only.dat" using 1:3 with linespoints title "tinyxml2 parse alone (same property list)"
PLOT
echo "=== results, plots and this summary: $results"
