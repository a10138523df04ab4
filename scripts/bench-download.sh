#!/usr/bin/env bash
# Download-time stamping through the reference server (contrib/download-server:
# nginx, fcgiwrap, download.cgi, brackwell-stamp) against plain nginx serving
# the very same bytes as a static file, the floor. Prints, each against its
# target where it has one:
#
#   1. 8 downloads at once of a 256 MiB image, stamped while it is sent, against
#      the 8 of the static file: wall time of the whole batch (target: at most
#      1.5 times the static file's);
#   2. time to first byte of a real 1.6 MB image, stamped, against the static
#      file (no target: what a customer waits before the download starts);
#   3. brackwell-stamp --range of the last MiB of a 1 GiB image against
#      reading one MiB of it with dd (target: about the same, read here as at
#      most 1.5 times), with the whole 1 GiB stream for scale.
#
#   scripts/bench-download.sh [DIR]   DIR: where the images go (default build/bench-download/work)
#
#   BENCH_REAL_IMAGE  the 1.6 MB image (default ../shared/realdata/images/real-6.dmg;
#                     when it is missing, a pseudo-random image of 1,675,140 bytes)
#   BENCH_RUNS        hyperfine runs per command for 1 and 3 (default 5 and 30)
#   BENCH_TTFB_RUNS   requests per server for 2 (default 50)
#
# The images hold pseudo-random bytes written out in full (about 1.5 GiB in DIR,
# deleted afterwards); every image is read once before timing (warm page
# cache). Both servers listen on loopback only and run as the same account
# (serve.sh's: www-data when started as root). Needs hyperfine and jq
# (scripts/install-deps.sh bench); builds brackwell-stamp in the bench preset.
# A benchmark, not a test: it fails only when a download is not exact.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
cmake --preset bench >/dev/null
cmake --build --preset bench --target brackwell-stamp brackwell-fixture >/dev/null
stamp=$PWD/build/bench/src/stamp/brackwell-stamp
fixture=$PWD/build/bench/tests/support/brackwell-fixture
PATH="$(dirname "$stamp"):$PATH"
export PATH

dir=${1:-build/bench-download/work}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
work=$(mktemp -d "$dir/bench-download.XXXXXX")
chmod 755 "$work"
serve_pid=
static_pid=
stop() {
  [ -z "$serve_pid" ] || { kill -TERM "$serve_pid" 2>/dev/null; wait "$serve_pid" 2>/dev/null || true; }
  [ -z "$static_pid" ] || { kill -TERM -- "-$static_pid" 2>/dev/null; wait "$static_pid" 2>/dev/null || true; }
  rm -rf -- "$work"
}
trap stop EXIT

as_user=()
if [ "$(id -u)" -eq 0 ]; then
  user=${BRACKWELL_SERVE_USER:-www-data}
  as_user=(setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" --init-groups --no-new-privs --)
fi

echo "## machine"
echo "nproc: $(nproc)"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "kernel: $(uname -sr)"
echo "directory: $dir ($(findmnt -no FSTYPE -T "$dir" 2>/dev/null || stat -f -c %T "$dir"))"
echo "tools: $(nginx -v 2>&1 | sed 's/^nginx version: //'), fcgiwrap $(dpkg-query -W -f='${Version}' fcgiwrap), $(curl --version | head -1 | cut -d' ' -f1-2), $(hyperfine --version)"
echo "commit: $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- || echo ' (with uncommitted changes)')"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"

# free_port: a loopback port nobody listens on now.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
  done
  echo "$port"
}
# An image: pseudo-random data, then a bare 512-byte UDIF trailer.
make_image() { # PATH DATA_BYTES
  "$fixture" image --fill random --data "$2" "$1"
}

mkdir -p "$work/srv/images" "$work/srv/profiles" "$work/static" "$work/nginx/temp"
head -c 1024 /dev/urandom >"$work/srv/profiles/acme"
make_image "$work/srv/images/Big.dmg" $(((256 << 20) - 512))
real=${BENCH_REAL_IMAGE:-../shared/realdata/images/real-6.dmg}
if [ -f "$real" ]; then
  cp -- "$real" "$work/srv/images/Real.dmg"
  echo "real image: $real ($(stat -c %s "$real") bytes)"
else
  make_image "$work/srv/images/Real.dmg" $((1675140 - 512))
  echo "real image: $real is missing; a pseudo-random image of 1675140 bytes instead"
fi
# The static files are exactly what the stamped downloads are.
for image in Big Real; do
  (cd "$work/srv" && brackwell-stamp write "images/$image.dmg" profiles/acme --unsign --out - -q) >"$work/static/$image.dmg"
done
chmod -R a+rX "$work"

# The reference server.
serve_port=$(free_port)
TMPDIR=$work contrib/download-server/serve.sh "$work/srv" "$serve_port" >"$work/serve.out" 2>"$work/serve.err" &
serve_pid=$!
# Plain nginx for the static files, configured as serve.sh configures its own.
static_port=$(free_port)
cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
worker_processes auto;
pid "$work/nginx/nginx.pid";
error_log stderr warn;
events {
  worker_connections 1024;
}
http {
  access_log off;
  server_tokens off;
  sendfile on;
  client_body_temp_path "$work/nginx/temp/client";
  fastcgi_temp_path "$work/nginx/temp/fastcgi";
  proxy_temp_path "$work/nginx/temp/proxy";
  scgi_temp_path "$work/nginx/temp/scgi";
  uwsgi_temp_path "$work/nginx/temp/uwsgi";
  server {
    listen 127.0.0.1:$static_port;
    root "$work/static";
  }
}
EOF
[ ${#as_user[@]} -eq 0 ] || chown -R "$user:" "$work/nginx"
setsid env -i PATH=/usr/bin:/bin "${as_user[@]}" "$(command -v nginx || echo /usr/sbin/nginx)" -e stderr \
  -p "$work/nginx" -c "$work/nginx/nginx.conf" </dev/null 2>"$work/static.err" &
static_pid=$!
for _ in $(seq 100); do
  grep -q '^serve.sh: serving' "$work/serve.out" && (exec 3<>"/dev/tcp/127.0.0.1/$static_port") 2>/dev/null && break
  sleep 0.1
done
grep -q '^serve.sh: serving' "$work/serve.out" || { cat "$work/serve.err"; exit 1; }
stamped=http://127.0.0.1:$serve_port/download
static=http://127.0.0.1:$static_port

# Both servers give the same bytes, and the page cache holds them.
for image in Big Real; do
  cat "$work/srv/images/$image.dmg" "$work/static/$image.dmg" >/dev/null
  for url in "$stamped/$image.dmg/acme" "$static/$image.dmg"; do
    [ "$(curl -sS --max-time 120 "$url" | sha256sum)" = "$(sha256sum <"$work/static/$image.dmg")" ] ||
      { echo "the download of $url is not the stamped image" >&2; exit 1; }
  done
done

ratio() { # FILE.json: the second command's mean over the first's
  jq -r '(.results[1].mean / .results[0].mean * 1000 | round / 1000)' "$1"
}
verdict() { # RATIO LIMIT
  awk -v r="$1" -v l="$2" 'BEGIN { print (r <= l ? "met" : "MISSED") }'
}

echo
echo "## 1. 8 downloads at once of a 256 MiB image (268435456 bytes + the profile)"
batch() { # URL
  echo "seq 8 | xargs -P 8 -I{} curl -sS --fail --max-time 300 -o /dev/null '$1'"
}
hyperfine --style basic --runs "${BENCH_RUNS:-5}" --warmup 1 --export-json "$work/batch.json" \
  --export-markdown "$work/batch.md" \
  -n "static file, nginx" "$(batch "$static/Big.dmg")" \
  -n "stamped, serve.sh" "$(batch "$stamped/Big.dmg/acme")"
cat "$work/batch.md"
r=$(ratio "$work/batch.json")
echo "stamped / static: ${r}x  target <= 1.5x: $(verdict "$r" 1.5)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "## 2. time to first byte, the 1.6 MB image ($(stat -c %s "$work/static/Real.dmg") bytes as sent)"
ttfb() { # URL: the medians of BENCH_TTFB_RUNS requests' time to first byte and total time
  local runs=${BENCH_TTFB_RUNS:-50}
  for _ in $(seq "$runs"); do
    curl -sS --fail --max-time 30 -o /dev/null -w '%{time_starttransfer} %{time_total}\n' "$1"
  done >"$work/ttfb"
  local first total
  first=$(cut -d' ' -f1 "$work/ttfb" | sort -g | sed -n "$(((runs + 1) / 2))p")
  total=$(cut -d' ' -f2 "$work/ttfb" | sort -g | sed -n "$(((runs + 1) / 2))p")
  awk -v f="$first" -v t="$total" -v n="$runs" \
    'BEGIN { printf "%.2f ms to first byte, %.2f ms in all (medians of %d)\n", f * 1000, t * 1000, n }'
}
echo "static file, nginx: $(ttfb "$static/Real.dmg")"
echo "stamped, serve.sh:  $(ttfb "$stamped/Real.dmg/acme")"

echo
echo "## 3. --range of the last MiB of a 1 GiB image"
image=$work/srv/images/G.dmg
profile=$work/srv/profiles/acme
make_image "$image" $(((1 << 30) - 512))
cat "$image" >/dev/null
[ "$("$stamp" write "$image" "$profile" --unsign -o - --range -1048576 -q | sha256sum)" = \
  "$("$stamp" write "$image" "$profile" --unsign -o - -q | tail -c 1048576 | sha256sum)" ] ||
  { echo "--range -1048576 is not the last MiB of the stamped image" >&2; exit 1; }
# Each into the same pipe, whose reader takes the bytes, as a download would.
hyperfine --style basic --runs "${BENCH_RUNS:-30}" --warmup 3 --export-json "$work/range.json" \
  --export-markdown "$work/range.md" \
  -n "dd of 1 MiB | cat" "dd if='$image' bs=1M count=1 skip=1023 status=none | cat >/dev/null" \
  -n "write --range -1048576 | cat" \
  "'$stamp' write '$image' '$profile' --unsign -o - --range -1048576 -q | cat >/dev/null"
hyperfine --style basic --runs 3 --export-markdown "$work/whole.md" \
  -n "write, the whole 1 GiB | cat" "'$stamp' write '$image' '$profile' --unsign -o - -q | cat >/dev/null"
cat "$work/range.md" "$work/whole.md"
r=$(ratio "$work/range.json")
echo "range / dd: ${r}x  target about 1x (<= 1.5x): $(verdict "$r" 1.5)"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
