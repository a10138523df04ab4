#!/usr/bin/env bash
# Download-time stamping in the reference server (contrib/download-server/
# serve.sh: nginx with ngx_http_brackwell_stamp_module, behind signed links)
# against the same nginx sending the very same bytes as a static file, the
# floor, both on this machine in this one run. Prints each figure as a ratio
# to the static file's, against its goal:
#
#   1. 8 downloads at once of a 256 MiB image: the batch's wall time (goal:
#      at most 1.1 times the static file's);
#   2. time to first byte of the real 1.6 MB image (goal: at most 2 times);
#   3. CPU seconds of nginx (master and workers, utime + stime from /proc) per
#      GiB sent, over the batches of 1 (goal: at most 1.2 times);
#   4. 1,000 slow connections held open (brackwell-slow-clients,
#      tests/support/slow_clients.cpp: 10 KiB/s each through a 4 KiB receive
#      buffer, all from one process) while a new
#      request for the real image is timed to its first byte (goal: within 2
#      times of its time on the idle server), and nginx's memory (resident
#      set of master and workers) meanwhile;
#   5. brackwell-stamp --range of the last MiB of a 1 GiB image against
#      reading one MiB of it with dd (goal: about the same, read here as at
#      most 1.5 times), with the whole 1 GiB stream for scale.
#
#   scripts/bench-download.sh [DIR]   DIR: where the images go (default build/bench-download/work)
#
#   BENCH_REAL_IMAGE        the 1.6 MB image (default $BRACKWELL_REALDATA_DIR/images/real-6.dmg,
#                           BRACKWELL_REALDATA_DIR defaulting to ../shared/realdata; when it is
#                           missing, a pseudo-random image of 1,675,140 bytes)
#   BENCH_RUNS              batches per server for 1 and 3, after one warm-up each (default 5)
#   BENCH_TTFB_RUNS         requests per server for 2 (default 50)
#   BENCH_SLOW_CONNECTIONS  connections for 4 (default 1000)
#   BENCH_SLOW_ROUNDS       rounds of 4 per server (default 3)
#   BENCH_SLOW_TTFB_RUNS    requests timed per round of 4 with the slow connections open, and as
#                           many on the idle server, half before and half after (default 30)
#   BENCH_RANGE_RUNS        hyperfine runs for 5 (default 30)
#
# Batches, requests and rounds alternate between the two servers, so that
# load from elsewhere falls on both alike. The images hold pseudo-random bytes
# written out in full (about 1.5 GiB in DIR, deleted afterwards); every image
# is read once before timing (warm page cache). Both servers listen on
# loopback only, run as the same account (serve.sh's: www-data when started
# as root) and are the same nginx binary, configured alike but for the
# module. Needs hyperfine and jq (scripts/install-deps.sh bench); builds
# brackwell-stamp, the fixture builder and the slow clients in the bench
# preset and the module in the nginx-module preset. A benchmark, not a test:
# it fails only when a download is not exact or a slow connection was lost.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
cmake --preset bench >/dev/null
cmake --build --preset bench --target brackwell-stamp brackwell-fixture brackwell-slow-clients >/dev/null
cmake --preset nginx-module >/dev/null
cmake --build --preset nginx-module >/dev/null
stamp=$PWD/build/bench/src/stamp/brackwell-stamp
fixture=$PWD/build/bench/tests/support/brackwell-fixture
slow_clients=$PWD/build/bench/tests/support/brackwell-slow-clients
module=$PWD/build/nginx-module/ngx_http_brackwell_stamp_module.so
nginx=$(command -v nginx || echo /usr/sbin/nginx)
PATH="$(dirname "$stamp"):$PATH"
export PATH
. scripts/bench-lib.sh

work_dir "${1:-build/bench-download/work}" bench-download
serve_pid=
static_pid=
slow_pid=
stop() {
  [ -z "$slow_pid" ] || { kill -TERM "$slow_pid" 2>/dev/null; wait "$slow_pid" 2>/dev/null || true; }
  [ -z "$serve_pid" ] || { kill -TERM "$serve_pid" 2>/dev/null; wait "$serve_pid" 2>/dev/null || true; }
  [ -z "$static_pid" ] || { kill -TERM -- "-$static_pid" 2>/dev/null; wait "$static_pid" 2>/dev/null || true; }
  rm -rf -- "$work"
}
trap stop EXIT

server_account
machine_header "$(nginx_version), $(curl_version), $(hyperfine --version)"

mkdir -p "$work/srv/images" "$work/srv/profiles" "$work/static"
head -c 1024 /dev/urandom >"$work/srv/profiles/acme"
make_image "$work/srv/images/Big.dmg" $(((256 << 20) - 512))
real_image "$work/srv/images/Real.dmg"
# The static files are exactly what the stamped downloads are.
for image in Big Real; do
  (cd "$work/srv" && brackwell-stamp write "images/$image.dmg" profiles/acme --unsign --out - -q) >"$work/static/$image.dmg"
done
chmod -R a+rX "$work"
# The links' key: the owner and the server's group may read it, nobody else.
head -c 32 /dev/urandom >"$work/srv/link.key"
chmod 640 "$work/srv/link.key"
[ ${#as_user[@]} -eq 0 ] || chgrp "$(id -gn "$user")" "$work/srv/link.key"

descriptor_limit
declare -A port target url group

# start_servers: the reference server with the module just built, and the
# static one, each on a free port, fresh; sets port, target and url (the
# signed links a day long, from the script a shop would run; the static files
# under their names) and group (each nginx's process group).
start_servers() {
  local serve_port static_port child image server
  serve_port=$(free_port)
  TMPDIR=$work BRACKWELL_NGINX_MODULE=$module contrib/download-server/serve.sh "$work/srv" "$serve_port" \
    >"$work/serve.out" 2>"$work/serve.err" &
  serve_pid=$!
  static_port=$(free_port)
  start_static "$static_port"
  await_servers "$work/serve.out" "$work/serve.err" "$static_port" 100

  # serve.sh's nginx: the child of serve.sh that runs it, leader of its group.
  group[stamped]=
  for child in $(pgrep -P "$serve_pid"); do
    [ "$(readlink "/proc/$child/exe")" = "$(readlink -f "$nginx")" ] && group[stamped]=$child
  done
  [ -n "${group[stamped]}" ] || { echo "found no nginx among serve.sh's processes" >&2; exit 1; }
  group[static]=$static_pid

  port=([stamped]=$serve_port [static]=$static_port)
  for image in Big Real; do
    target[stamped $image]=$(contrib/download-server/link.sh "$work/srv" "$image.dmg" acme 86400)
    target[static $image]=/$image.dmg
    for server in stamped static; do
      url[$server $image]=http://127.0.0.1:${port[$server]}${target[$server $image]}
    done
  done
}
stop_servers() {
  kill -TERM "$serve_pid" 2>/dev/null
  wait "$serve_pid" 2>/dev/null || true
  serve_pid=
  kill -TERM -- "-$static_pid" 2>/dev/null
  wait "$static_pid" 2>/dev/null || true
  static_pid=
}
start_servers
servers=(static stamped)

# Both servers give the same bytes, and the page cache holds them.
for image in Big Real; do
  cat "$work/srv/images/$image.dmg" "$work/static/$image.dmg" >/dev/null
  for server in "${servers[@]}"; do
    [ "$(curl -sS --max-time 120 "${url[$server $image]}" | sha256sum)" = "$(sha256sum <"$work/static/$image.dmg")" ] ||
      { echo "the download of ${url[$server $image]} is not the stamped image" >&2; exit 1; }
  done
done

# cpu_ticks SERVER: utime + stime of its nginx, master and workers, in clock ticks.
cpu_ticks() {
  local pid stat total=0 fields
  for pid in $(pgrep -g "${group[$1]}"); do
    { read -r stat <"/proc/$pid/stat"; } 2>/dev/null || continue
    read -r -a fields <<<"${stat##*) }"
    total=$((total + fields[11] + fields[12]))
  done
  echo "$total"
}
# memory SERVER: the resident set (VmRSS) of its nginx, master and workers,
# summed, in KiB; then the proportional set (Pss), which counts pages they
# share once.
memory() {
  local pid rss=0 pss=0 value
  for pid in $(pgrep -g "${group[$1]}"); do
    value=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) && rss=$((rss + ${value:-0}))
    value=$(awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null) && pss=$((pss + ${value:-0}))
  done
  echo "$rss $pss"
}
ticks_per_second=$(getconf CLK_TCK)
verdict() { # RATIO LIMIT
  awk -v r="$1" -v l="$2" 'BEGIN { print (r <= l ? "met" : "MISSED") }'
}

big_bytes=$(stat -c %s "$work/static/Big.dmg")
runs=${BENCH_RUNS:-5}
echo
echo "## 1. 8 downloads at once of a 256 MiB image ($big_bytes bytes as sent), and 3. CPU per GiB sent"
# batch SERVER: 8 downloads at once of the big image; prints the wall time in
# seconds and nginx's CPU seconds per GiB sent.
batch() {
  local before after t0 t1
  before=$(cpu_ticks "$1")
  eight_downloads "$1" "${url[$1 Big]}" "$big_bytes"
  after=$(cpu_ticks "$1")
  awk -v t0="$t0" -v t1="$t1" -v c=$((after - before)) -v hz="$ticks_per_second" -v b="$big_bytes" \
    'BEGIN { printf "%.3f %.3f\n", (t1 - t0) / 1e9, c / hz / (8 * b / 1073741824) }'
}
for server in "${servers[@]}"; do batch "$server" >/dev/null; done # warm-up
: >"$work/batch.static"
: >"$work/batch.stamped"
echo "| Run | Static [s] | Stamped [s] | Stamped / static | Static CPU [s/GiB] | Stamped CPU [s/GiB] | Stamped / static |"
echo "|---|---:|---:|---:|---:|---:|---:|"
for run in $(seq "$runs"); do
  # Which server goes first alternates from one run to the next.
  if [ $((run % 2)) -eq 1 ]; then order=(static stamped); else order=(stamped static); fi
  for server in "${order[@]}"; do batch "$server" >>"$work/batch.$server"; done
  read -r ts cs < <(sed -n "${run}p" "$work/batch.static")
  read -r tm cm < <(sed -n "${run}p" "$work/batch.stamped")
  awk -v r="$run" -v ts="$ts" -v tm="$tm" -v cs="$cs" -v cm="$cm" \
    'BEGIN { printf "| %d | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f |\n", r, ts, tm, tm / ts, cs, cm, (cs > 0 ? cm / cs : 0) }'
done
read -r ts_mean ts_lo ts_hi < <(stats "$work/batch.static" 1)
read -r tm_mean tm_lo tm_hi < <(stats "$work/batch.stamped" 1)
read -r cs_mean cs_lo cs_hi < <(stats "$work/batch.static" 2)
read -r cm_mean cm_lo cm_hi < <(stats "$work/batch.stamped" 2)
r=$(awk -v a="$tm_mean" -v b="$ts_mean" 'BEGIN { printf "%.3f", a / b }')
echo "wall time, mean (min-max) of $runs: static $ts_mean s ($ts_lo-$ts_hi), stamped $tm_mean s ($tm_lo-$tm_hi)"
echo "1. stamped / static wall time: ${r}x  goal <= 1.1x: $(verdict "$r" 1.1)"
r=$(awk -v a="$cm_mean" -v b="$cs_mean" 'BEGIN { printf "%.3f", a / b }')
echo "CPU per GiB sent, mean (min-max) of $runs: static $cs_mean s ($cs_lo-$cs_hi), stamped $cm_mean s ($cm_lo-$cm_hi) (clock tick $((1000 / ticks_per_second)) ms)"
echo "3. stamped / static CPU per GiB: ${r}x  goal <= 1.2x: $(verdict "$r" 1.2)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

# ttfb URL COUNT FILE: COUNT requests one after the other, each line "time to
# first byte, time in all" in ms, appended to FILE.
ttfb() {
  for _ in $(seq "$2"); do
    curl -sS --fail --max-time 30 -o /dev/null -w '%{time_starttransfer} %{time_total}\n' "$1"
  done | awk '{ printf "%.3f %.3f\n", $1 * 1000, $2 * 1000 }' >>"$3"
}

echo
echo "## 2. time to first byte, the 1.6 MB image ($(stat -c %s "$work/static/Real.dmg") bytes as sent)"
: >"$work/ttfb.static"
: >"$work/ttfb.stamped"
declare -A first_byte
for _ in $(seq "${BENCH_TTFB_RUNS:-50}"); do
  for server in "${servers[@]}"; do ttfb "${url[$server Real]}" 1 "$work/ttfb.$server"; done
done
for server in "${servers[@]}"; do
  read -r median p10 p90 < <(percentiles "$work/ttfb.$server" 1)
  read -r total _ _ < <(percentiles "$work/ttfb.$server" 2)
  echo "$server: first byte $median ms (median of $(wc -l <"$work/ttfb.$server"); 10th-90th percentile $p10-$p90 ms), in all $total ms"
  first_byte[$server]=$median
done
r=$(awk -v a="${first_byte[stamped]}" -v b="${first_byte[static]}" 'BEGIN { printf "%.3f", a / b }')
echo "2. stamped / static time to first byte: ${r}x  goal <= 2x: $(verdict "$r" 2)"

connections=${BENCH_SLOW_CONNECTIONS:-1000}
echo
echo "## 4. $connections slow connections (each reading 10 KiB/s through a 4 KiB receive buffer), a new request meanwhile"
slow_ttfb_runs=${BENCH_SLOW_TTFB_RUNS:-30}
# One round against SERVER: the new request's time to first byte and nginx's
# memory on the idle server, then with the slow connections open, then idle
# again (the idle time is taken on both sides of the load, so that a change in
# the machine's own load in between falls on both).
slow_round() {
  local server=$1 idle loaded
  : >"$work/idle" && : >"$work/loaded"
  read -r idle_rss _ < <(memory "$server")
  # A new server's first requests are not what an idle one answers with.
  ttfb "${url[$server Real]}" 3 /dev/null
  ttfb "${url[$server Real]}" $((slow_ttfb_runs / 2)) "$work/idle"
  # Held until SIGTERM, at most 10 minutes; every connection must still be
  # open when it comes.
  "$slow_clients" "${port[$server]}" "${target[$server Big]}" "$connections" 600 >"$work/slow.out" 2>&1 &
  slow_pid=$!
  for _ in $(seq 600); do
    grep -q '^ready ' "$work/slow.out" && break
    kill -0 "$slow_pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q "^ready $connections:" "$work/slow.out" || { cat "$work/slow.out" >&2; exit 1; }
  ttfb "${url[$server Real]}" "$slow_ttfb_runs" "$work/loaded"
  read -r loaded_rss loaded_pss < <(memory "$server")
  kill -TERM "$slow_pid"
  wait "$slow_pid" || { cat "$work/slow.out" >&2; slow_pid=; exit 1; }
  slow_pid=
  ttfb "${url[$server Real]}" $(((slow_ttfb_runs + 1) / 2)) "$work/idle"
  read -r idle _ _ < <(percentiles "$work/idle" 1)
  read -r loaded _ _ < <(percentiles "$work/loaded" 1)
  awk -v s="$server" -v i="$idle" -v l="$loaded" -v ir="$idle_rss" -v lr="$loaded_rss" -v lp="$loaded_pss" \
    -v n="$connections" \
    'BEGIN { printf "| %s | %.3f | %.3f | %.2f | %.1f | %.1f | %.1f | %.1f |\n", s, i, l, l / i, ir / 1024, lr / 1024,
             lp / 1024, (lr - ir) / n }' | tee -a "$work/slow.rows"
  tail -1 "$work/slow.out" >>"$work/slow.log"
}
: >"$work/slow.log"
: >"$work/slow.rows"
echo "| Server | Idle: first byte [ms] | Loaded: first byte [ms] | Loaded / idle | RSS idle [MiB] | RSS loaded [MiB] | PSS loaded [MiB] | RSS per connection [KiB] |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
for _ in $(seq "${BENCH_SLOW_ROUNDS:-3}"); do
  # Fresh servers, so that the idle memory is a new server's.
  stop_servers
  start_servers
  for server in stamped static; do
    slow_round "$server"
  done
done
sed 's/^/slow clients: /' "$work/slow.log"
# The verdict on the median round; every round is in the table above, and
# the static file's rounds show what the machine's own noise does to the
# same ratio.
for server in stamped static; do
  awk -F'|' -v s="$server" '$2 ~ s { print $5 + 0 }' "$work/slow.rows" >"$work/slow.$server"
  read -r median lowest highest < <(sort -g "$work/slow.$server" |
    awk '{ v[NR] = $1 } END { printf "%.2f %.2f %.2f\n", v[int((NR + 1) / 2)], v[1], v[NR] }')
  echo "$server, loaded / idle time to first byte: median round ${median}x (rounds: $lowest-$highest)"
  [ "$server" = stamped ] && r=$median
done
echo "4. stamped, loaded / idle time to first byte: ${r}x (the median round)  goal <= 2x: $(verdict "$r" 2)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "## 5. --range of the last MiB of a 1 GiB image"
image=$work/srv/images/G.dmg
profile=$work/srv/profiles/acme
make_image "$image" $(((1 << 30) - 512))
cat "$image" >/dev/null
[ "$("$stamp" write "$image" "$profile" --unsign -o - --range -1048576 -q | sha256sum)" = \
  "$("$stamp" write "$image" "$profile" --unsign -o - -q | tail -c 1048576 | sha256sum)" ] ||
  { echo "--range -1048576 is not the last MiB of the stamped image" >&2; exit 1; }
# Each into the same pipe, whose reader takes the bytes, as a download would.
hyperfine --style basic --runs "${BENCH_RANGE_RUNS:-30}" --warmup 3 --export-json "$work/range.json" \
  --export-markdown "$work/range.md" \
  -n "dd of 1 MiB | cat" "dd if='$image' bs=1M count=1 skip=1023 status=none | cat >/dev/null" \
  -n "write --range -1048576 | cat" \
  "'$stamp' write '$image' '$profile' --unsign -o - --range -1048576 -q | cat >/dev/null"
hyperfine --style basic --runs 3 --export-markdown "$work/whole.md" \
  -n "write, the whole 1 GiB | cat" "'$stamp' write '$image' '$profile' --unsign -o - -q | cat >/dev/null"
cat "$work/range.md" "$work/whole.md"
r=$(jq -r '(.results[1].mean / .results[0].mean * 1000 | round / 1000)' "$work/range.json")
echo "5. range / dd: ${r}x  goal about 1x (<= 1.5x): $(verdict "$r" 1.5)"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
