#!/usr/bin/env bash
# Downloads through the CDN's edge (contrib/edge/serve.sh: workerd running the
# Worker, nginx's slice cache, the download server with
# ngx_http_brackwell_stamp_module as the origin) against the same downloads
# from that origin alone and from nginx sending the very same bytes as a
# static file, all on this machine in this one run. Prints:
#
#   1. the origin's bytes per download once the cache holds the image, from
#      its access log ($bytes_sent of every request), for downloads of the
#      256 MiB image by customers with 1 KiB profiles (goal: under 2 KiB
#      besides the profile), and what the first download cost it;
#   2. 8 downloads at once of the 256 MiB image, warm cache: the batch's wall
#      time through the edge, from the origin alone and from the static
#      file, each batch in turn, and the ratios;
#   3. time to first byte of the real 1.6 MB image through the edge, warm
#      cache, beside the origin's and the static file's.
#
#   scripts/bench-edge.sh [DIR]   DIR: where the images go (default build/bench-edge/work)
#
#   BENCH_REAL_IMAGE   the 1.6 MB image (default $BRACKWELL_REALDATA_DIR/images/real-6.dmg,
#                      BRACKWELL_REALDATA_DIR defaulting to ../shared/realdata; when it is
#                      missing, a pseudo-random image of 1,675,140 bytes)
#   BENCH_DOWNLOADS    downloads after the first for 1 (default 20)
#   BENCH_RUNS         batches per server for 2, after one warm-up each (default 5)
#   BENCH_TTFB_RUNS    requests per server for 3 (default 50)
#
# Batches and requests alternate between the servers, so that load from
# elsewhere falls on all alike; the spread of the runs is printed with each
# mean. Every image is read once before timing (warm page cache), every
# download is checked against brackwell-stamp's own output. The three listen
# on loopback only and run as the same account (www-data when started as
# root). Builds brackwell-stamp and the fixture builder in the bench preset
# and the module in the nginx-module preset; fetches workerd. A benchmark,
# not a test: it fails only when a download is not exact.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench >/dev/null
cmake --preset bench >/dev/null
cmake --build --preset bench --target brackwell-stamp brackwell-fixture >/dev/null
cmake --preset nginx-module >/dev/null
cmake --build --preset nginx-module >/dev/null
stamp=$PWD/build/bench/src/stamp/brackwell-stamp
fixture=$PWD/build/bench/tests/support/brackwell-fixture
module=$PWD/build/nginx-module/ngx_http_brackwell_stamp_module.so
nginx=$(command -v nginx || echo /usr/sbin/nginx)
. scripts/bench-lib.sh

work_dir "${1:-build/bench-edge/work}" bench-edge
edge_pid=
static_pid=
stop() {
  [ -z "$edge_pid" ] || { kill -TERM "$edge_pid" 2>/dev/null; wait "$edge_pid" 2>/dev/null || true; }
  [ -z "$static_pid" ] || { kill -TERM -- "-$static_pid" 2>/dev/null; wait "$static_pid" 2>/dev/null || true; }
  rm -rf -- "$work"
}
trap stop EXIT

server_account
machine_header "$(nginx_version), $(build/third_party/workerd-1.20261117.1/workerd-linux-64/bin/workerd --version), $(curl_version)"

customers=${BENCH_DOWNLOADS:-20}
mkdir -p "$work/srv/images" "$work/srv/profiles" "$work/static"
make_image "$work/srv/images/Big.dmg" $(((256 << 20) - 512))
real_image "$work/srv/images/Real.dmg"
# Customer c0 is the one every timed download is for; c1... are the
# downloads after the first of figure 1. Each profile is 1 KiB.
for i in $(seq 0 "$customers"); do
  head -c 1024 /dev/urandom >"$work/srv/profiles/c$i"
done
for image in Big Real; do
  (cd "$work/srv" && "$stamp" write "images/$image.dmg" profiles/c0 --unsign --out - -q) >"$work/static/$image.dmg"
done
chmod -R a+rX "$work"
head -c 32 /dev/urandom >"$work/srv/link.key"
od -A n -N 32 -v -t x1 /dev/urandom | tr -d ' \n' >"$work/srv/edge.secret"
chmod 640 "$work/srv/link.key" "$work/srv/edge.secret"
[ ${#as_user[@]} -eq 0 ] || chgrp "$(id -gn "$user")" "$work/srv/link.key" "$work/srv/edge.secret"
log=$work/origin.log
: >"$log"
[ ${#as_user[@]} -eq 0 ] || chown "$user" "$log"

descriptor_limit

# The edge, with the origin it starts; the origin's port is in its first line.
edge_port=$(free_port)
TMPDIR=$work BRACKWELL_NGINX_MODULE=$module BRACKWELL_ORIGIN_LOG=$log contrib/edge/serve.sh "$work/srv" "$edge_port" \
  >"$work/edge.out" 2>"$work/edge.err" &
edge_pid=$!
static_port=$(free_port)
start_static "$static_port"
await_servers "$work/edge.out" "$work/edge.err" "$static_port" 300
origin_port=$(sed -n 's/.*the origin on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/edge.out")

declare -A url
link() { # IMAGE CUSTOMER
  contrib/download-server/link.sh "$work/srv" "$1" "$2" 86400
}
for image in Big Real; do
  target=$(link "$image.dmg" c0)
  url[edge $image]=http://127.0.0.1:$edge_port$target
  url[origin $image]=http://127.0.0.1:$origin_port$target
  url[static $image]=http://127.0.0.1:$static_port/$image.dmg
done
servers=(static origin edge)
cat "$work/srv/images/"*.dmg "$work/static/"*.dmg >/dev/null

# exact URL EXPECTED_COMMAND...: the download is what the command writes.
exact() {
  local url=$1
  shift
  cmp -s <(curl -sS --fail --max-time 300 "$url") <("$@") ||
    { echo "the download of $url is not the stamped image" >&2; exit 1; }
}
logged_bytes() { # FROM_LINE: the bytes the origin sent from that line of its log on
  tail -n +"$1" "$log" | awk '{ n += $NF } END { print n + 0 }'
}

echo
echo "## 1. the origin's bytes per download through the edge"
image_bytes=$(stat -c %s "$work/srv/images/Big.dmg")
lines=$(($(wc -l <"$log") + 1))
exact "${url[edge Big]}" cat "$work/static/Big.dmg"
first=$(logged_bytes "$lines")
lines=$(($(wc -l <"$log") + 1))
for i in $(seq "$customers"); do
  exact "http://127.0.0.1:$edge_port$(link Big.dmg "c$i")" \
    sh -c "cd '$work/srv' && '$stamp' write images/Big.dmg profiles/c$i --unsign --out - -q"
done
after=$(logged_bytes "$lines")
requests=$(tail -n +"$lines" "$log" | wc -l)
echo "the first download: the origin sent $first bytes (the image is $image_bytes bytes; its pieces, the recipe and their headers)"
echo "the $customers downloads after it: $after bytes in $requests requests, $((after / customers)) bytes a download, of which 1024 the profile"
r=$((after / customers - 1024))
echo "1. origin bytes per download besides the profile: $r  goal < 2048: $([ "$r" -lt 2048 ] && echo met || echo MISSED)"
tail -n +"$lines" "$log" | awk '{ print $3 }' | sort | uniq -c | sed 's/^/   requests: /'

big_bytes=$(stat -c %s "$work/static/Big.dmg")
runs=${BENCH_RUNS:-5}
echo
echo "## 2. 8 downloads at once of a 256 MiB image ($big_bytes bytes as sent), warm cache"
batch() { # SERVER: the wall time of 8 downloads at once, in seconds
  local t0 t1
  eight_downloads "$1" "${url[$1 Big]}" "$big_bytes"
  awk -v t0="$t0" -v t1="$t1" 'BEGIN { printf "%.3f\n", (t1 - t0) / 1e9 }'
}
for server in "${servers[@]}"; do
  exact "${url[$server Real]}" cat "$work/static/Real.dmg" # and the edge's cache holds it
  batch "$server" >/dev/null                                # a warm-up
done
for server in "${servers[@]}"; do : >"$work/batch.$server"; done
echo "| Run | Static [s] | Origin [s] | Edge [s] | Edge / origin | Edge / static |"
echo "|---|---:|---:|---:|---:|---:|"
for run in $(seq "$runs"); do
  # The order turns from one run to the next.
  order=("${servers[@]:$((run % 3))}" "${servers[@]:0:$((run % 3))}")
  for server in "${order[@]}"; do batch "$server" >>"$work/batch.$server"; done
  read -r ts < <(sed -n "${run}p" "$work/batch.static")
  read -r to < <(sed -n "${run}p" "$work/batch.origin")
  read -r te < <(sed -n "${run}p" "$work/batch.edge")
  awk -v r="$run" -v ts="$ts" -v to="$to" -v te="$te" \
    'BEGIN { printf "| %d | %.3f | %.3f | %.3f | %.2f | %.2f |\n", r, ts, to, te, te / to, te / ts }'
done
declare -A mean
for server in "${servers[@]}"; do
  read -r m lo hi < <(stats "$work/batch.$server")
  mean[$server]=$m
  echo "$server: mean $m s (min $lo, max $hi) of $runs"
done
awk -v e="${mean[edge]}" -v o="${mean[origin]}" -v s="${mean[static]}" \
  'BEGIN { printf "2. edge / origin wall time: %.2fx; edge / static: %.2fx; origin / static: %.2fx\n", e / o, e / s, o / s }'
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "## 3. time to first byte, the 1.6 MB image ($(stat -c %s "$work/static/Real.dmg") bytes as sent), warm cache"
for server in "${servers[@]}"; do : >"$work/ttfb.$server"; done
for _ in $(seq "${BENCH_TTFB_RUNS:-50}"); do
  for server in "${servers[@]}"; do
    curl -sS --fail --max-time 30 -o /dev/null -w '%{time_starttransfer}\n' "${url[$server Real]}" |
      awk '{ printf "%.3f\n", $1 * 1000 }' >>"$work/ttfb.$server"
  done
done
for server in "${servers[@]}"; do
  read -r median p10 p90 < <(percentiles "$work/ttfb.$server")
  echo "$server: first byte $median ms (median of $(wc -l <"$work/ttfb.$server"); 10th-90th percentile $p10-$p90 ms)"
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
