# The pieces scripts/bench-download.sh and scripts/bench-edge.sh share: the
# work directory, the servers' account, the machine's header, free ports, the
# images, the static nginx that is the floor both compare against, the batch
# of 8 downloads and the statistics. Sourced by both from the checkout's top;
# they set $fixture and $nginx first.

# work_dir DIR NAME: DIR made absolute in $dir, and a fresh $work inside it
# that the servers' account can enter.
work_dir() {
  dir=$1
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  work=$(mktemp -d "$dir/$2.XXXXXX")
  chmod 755 "$work"
}

# server_account: the account the servers run as, in $user, and the command
# prefix that switches to it, in $as_user (empty unless run as root; then
# BRACKWELL_SERVE_USER, default www-data, as serve.sh does).
server_account() {
  user=$(id -un)
  as_user=()
  if [ "$(id -u)" -eq 0 ]; then
    user=${BRACKWELL_SERVE_USER:-www-data}
    as_user=(setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" --init-groups --no-new-privs --)
  fi
}

# nginx_version: nginx's own version and the Debian package's.
nginx_version() {
  echo "$("$nginx" -v 2>&1 | sed 's/^nginx version: //') ($(dpkg-query -W -f='${Version}' nginx))"
}
curl_version() { curl --version | head -1 | cut -d' ' -f1-2; }

# machine_header TOOLS: what the figures were taken on.
machine_header() {
  echo "## machine"
  echo "nproc: $(nproc)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
  echo "kernel: $(uname -sr)"
  echo "directory: $dir ($(findmnt -no FSTYPE -T "$dir" 2>/dev/null || stat -f -c %T "$dir"))"
  echo "tools: $1"
  echo "commit: $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- || echo ' (with uncommitted changes)')"
  echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
}

# listening PORT: something accepts connections on that loopback port.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# free_port: a loopback port nobody listens on now.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    listening "$port" || break
  done
  echo "$port"
}

# An image: pseudo-random data, then a bare 512-byte UDIF trailer.
make_image() { # PATH DATA_BYTES
  "$fixture" image --fill random --data "$2" "$1"
}
# real_image PATH: the real 1.6 MB image at PATH ($BENCH_REAL_IMAGE, or
# real-6.dmg under BRACKWELL_REALDATA_DIR), or a pseudo-random one of its
# size when it is missing.
real_image() {
  local real=${BENCH_REAL_IMAGE:-${BRACKWELL_REALDATA_DIR:-../shared/realdata}/images/real-6.dmg}
  if [ -f "$real" ]; then
    cp -- "$real" "$1"
    echo "real image: $real ($(stat -c %s "$real") bytes)"
  else
    make_image "$1" $((1675140 - 512))
    echo "real image: $real is missing; a pseudo-random image of 1675140 bytes instead"
  fi
}

# descriptor_limit: as many descriptors as the hard limit allows up to 16384,
# in $files and for this shell and what it starts, as serve.sh sets them.
descriptor_limit() {
  files=$(ulimit -Hn)
  if [ "$files" = unlimited ] || [ "$files" -gt 16384 ]; then
    files=16384
  fi
  ulimit -n "$files"
}

# start_static PORT: the same nginx sending $work/static's files, configured
# as serve.sh configures its own (half the descriptors as connections, so
# many worker processes as cores, sendfile and tcp_nopush, no access log), as
# $user from an empty environment, leader of its own process group, in
# $static_pid. Its configuration and temporary files are under $work/nginx.
start_static() {
  mkdir -p "$work/nginx/temp"
  cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
worker_processes auto;
pid "$work/nginx/nginx.pid";
error_log stderr warn;
events {
  worker_connections $(((files - 32) / 2));
}
http {
  access_log off;
  server_tokens off;
  sendfile on;
  tcp_nopush on;
  client_body_temp_path "$work/nginx/temp/client";
  fastcgi_temp_path "$work/nginx/temp/fastcgi";
  proxy_temp_path "$work/nginx/temp/proxy";
  scgi_temp_path "$work/nginx/temp/scgi";
  uwsgi_temp_path "$work/nginx/temp/uwsgi";
  server {
    listen 127.0.0.1:$1;
    root "$work/static";
  }
}
EOF
  [ ${#as_user[@]} -eq 0 ] || chown -R "$user:" "$work/nginx"
  setsid env -i PATH=/usr/bin:/bin "${as_user[@]}" "$nginx" -e stderr \
    -p "$work/nginx" -c "$work/nginx/nginx.conf" </dev/null 2>"$work/static.err" &
  static_pid=$!
}

# Waits up to TRIES tenths of a second until a serve.sh (its standard output in
# OUT) says it is serving and the static nginx listens on STATIC_PORT; prints
# the error output of the one that did not start (ERR, or the static nginx's)
# and exits when either failed.
await_servers() { # OUT ERR STATIC_PORT TRIES
  for _ in $(seq "$4"); do
    grep -q '^serve.sh: serving' "$1" && listening "$3" && break
    sleep 0.1
  done
  grep -q '^serve.sh: serving' "$1" || { cat "$2"; exit 1; }
  listening "$3" || { cat "$work/static.err"; exit 1; }
}

now_ns() { date +%s%N; }
# eight_downloads SERVER URL BYTES: 8 downloads of URL at once, each of BYTES
# bytes or the script stops; the clock before and after in $t0 and $t1 (ns).
eight_downloads() {
  local sizes
  t0=$(now_ns)
  sizes=$(seq 8 | xargs -P 8 -I{} curl -sS --fail --max-time 300 -o /dev/null -w '%{size_download}\n' "$2")
  t1=$(now_ns)
  [ "$(echo "$sizes" | grep -cx "$3")" -eq 8 ] || { echo "a download from $1 was short: $sizes" >&2; exit 1; }
}

# stats FILE [COLUMN]: mean, min and max of a column of numbers (default 1).
stats() {
  awk -v c="${2:-1}" '{ s += $c; if (NR == 1 || $c < lo) lo = $c; if (NR == 1 || $c > hi) hi = $c }
    END { printf "%.3f %.3f %.3f\n", s / NR, lo, hi }' "$1"
}
# percentiles FILE [COLUMN]: the median, the 10th and the 90th percentile
# (the nearest rank) of a column of numbers (default 1).
percentiles() {
  local c=${2:-1}
  sort -g -k"$c","$c" "$1" | awk -v c="$c" '
    function rank(p) { r = int(p * NR + 0.999999); return r < 1 ? 1 : r }
    { v[NR] = $c }
    END { printf "%.3f %.3f %.3f\n", v[rank(0.5)], v[rank(0.1)], v[rank(0.9)] }'
}
