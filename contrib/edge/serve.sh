#!/usr/bin/env bash
# The download server behind a CDN's edge, its three tiers on this machine:
#
#   contrib/edge/serve.sh DIR PORT
#
#   workerd  on 127.0.0.1:PORT: the edge, the Worker of contrib/edge/
#            (worker.js), which answers GET and HEAD
#            /download/<image>/<customer>?expires=E&signature=S as the origin
#            would, with the image's bytes from the cache and only the tail
#            from the origin
#   nginx    on a socket in the private directory: the cache, standing in
#            for the CDN's (proxy_cache with the slice module: the image in
#            1 MiB pieces, each fetched from the origin once)
#   origin   contrib/download-server/serve.sh DIR on a private port: nginx with
#            ngx_http_brackwell_stamp_module, which answers the edge's recipe
#            and image requests because DIR holds edge.secret
#
# DIR is the download server's (images/, profiles/, link.key) with
# edge.secret as well: the secret the edge shows the origin, one line of at
# least 32 visible ASCII characters (openssl rand -hex 32 >DIR/edge.secret),
# readable as link.key is, by its owner and the server's group alone. The
# edge reads both when it starts. BRACKWELL_ORIGIN_LOG, when set, is a file
# the origin appends one line per request to, its last field the bytes it
# sent; the other variables of the origin's serve.sh (BRACKWELL_SERVE_USER,
# BRACKWELL_NGINX_MODULE, BRACKWELL_NGINX_PRELOAD) reach it unchanged.
# workerd is taken from BRACKWELL_WORKERD when set, else from
# build/third_party/ of the checkout this script lives in
# (scripts/fetch-workerd.sh), else from PATH; nginx from PATH or /usr/sbin.
#
# It runs in the foreground until SIGTERM or SIGINT (Ctrl-C), then stops the
# three, which cuts every download still running (workerd is killed: given
# SIGTERM it would finish them first), removes its private
# directory (configuration, cache, socket; under TMPDIR) and exits 0; it
# exits 1 when any of them fails or cannot start, 2 on a usage error.
# Started as root, workerd and the cache's nginx run as BRACKWELL_SERVE_USER
# (default www-data), with no new privileges, as the origin does. Errors,
# and the Worker's reasons for refusing a link, go to standard error.
set -euo pipefail

me=serve.sh
usage="usage: $me DIR PORT
Serves GET and HEAD /download/<image>/<customer>?expires=E&signature=S on 127.0.0.1:PORT
through a CDN's edge: workerd running contrib/edge/worker.js, nginx's cache, and the
download server (contrib/download-server/serve.sh) as its origin, until SIGTERM or SIGINT."

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
origin_sh=$here/../download-server/serve.sh
[ -f "$here/../download-server/serve-lib.sh" ] || {
  echo "$me: the origin's serve-lib.sh is missing: $here/../download-server/serve-lib.sh" >&2
  exit 1
}
# shellcheck source=../download-server/serve-lib.sh
. "$here/../download-server/serve-lib.sh"
serve_arguments "$@"

for file in worker.js download.js; do
  [ -f "$here/$file" ] || die "$file is missing beside $me in $here"
done
[ -f "$origin_sh" ] || die "the origin's serve.sh is missing: $origin_sh"

find_nginx
checkout_workerd=$here/../../build/third_party/workerd-1.20261117.1/workerd-linux-64/bin/workerd
if [ -n "${BRACKWELL_WORKERD:-}" ]; then
  [ -x "$BRACKWELL_WORKERD" ] || die "BRACKWELL_WORKERD: no program at '$BRACKWELL_WORKERD'"
  workerd=$BRACKWELL_WORKERD
elif [ -f "$here/../../CMakeLists.txt" ] && [ -x "$checkout_workerd" ]; then
  workerd=$checkout_workerd
else
  workerd=$(command -v workerd 2>/dev/null) ||
    die "no workerd: not in BRACKWELL_WORKERD, not fetched into this checkout (scripts/fetch-workerd.sh), not on PATH"
fi
workerd=$(realpath -e -- "$workerd")

[ -d "$given_dir" ] || die "'$given_dir' is not a directory"
dir=$(realpath -e -- "$given_dir")
secret=$dir/edge.secret
[ -e "$secret" ] ||
  die "'$given_dir/edge.secret' is missing: the secret the edge shows the origin (README, \"The CDN's edge\")"

# As whom: root hands the edge and the cache to an unprivileged account.
server_account "workerd and nginx" "workerd and nginx run"
if [ "$(id -u)" -eq 0 ]; then
  "${as_user[@]}" test -x "$workerd" || die "the account '$user' cannot run '$workerd'"
fi

private=$(mktemp -d "${TMPDIR:-/tmp}/brackwell-serve.edge-XXXXXX")
origin_pid=
cache_pid=
workerd_pid=

# Each of the three gets 15 s to stop before KILL (the origin's serve.sh
# takes up to 5 s to stop its nginx). workerd, given SIGTERM, would first
# finish every download it is sending: it is killed, so that a stop cuts
# them, as the origin's does.
cleanup() {
  trap - EXIT TERM INT
  stop_group "$workerd_pid" KILL 15
  stop_group "$cache_pid" TERM 15
  stop_group "$origin_pid" TERM 15
  rm -rf -- "$private"
}
trap cleanup EXIT
trap 'cleanup; exit 0' TERM INT

# These paths go into nginx's and workerd's configurations, where quotes,
# '$', ';' and braces would mean something; refuse them rather than escape them.
case $private in
  *[!A-Za-z0-9._/+,@:=~-]*) die "the private directory '$private' has characters other than letters, digits and ._/+,@:=~-" ;;
esac

# --- The origin ------------------------------------------------------------
# The download server itself on a free loopback port, in a process group of
# its own, its standard error ours. Should it stop at once because the port
# it was given was taken meanwhile, another is tried; any other reason it
# gave stands.
origin_port=
for _ in 1 2 3 4 5; do
  candidate=$((20000 + RANDOM % 40000))
  if listening "$candidate"; then
    continue
  fi
  setsid "$origin_sh" "$dir" "$candidate" </dev/null >"$private/origin.out" &
  origin_pid=$!
  for _ in $(seq 200); do
    grep -q "^serve.sh: serving " "$private/origin.out" && origin_port=$candidate && break 2
    ended "$origin_pid" && break
    sleep 0.05
  done
  stop_group "$origin_pid" TERM 15
  origin_pid=
  listening "$candidate" || die "the origin did not start (see above)"
done
[ -n "$origin_port" ] || die "the origin found no free port in five tries"
grep -q "and the edge's requests" "$private/origin.out" ||
  die "the origin does not answer the edge's requests: $(cat "$private/origin.out")"

# --- The cache -------------------------------------------------------------
mkdir "$private/temp" "$private/cache"
cat >"$private/cache.conf" <<EOF
# Generated by serve.sh for one run; removed when it stops.
daemon off;
worker_processes auto;
pid "$private/cache.pid";
error_log stderr warn;
events {
  worker_connections 4096;
}
http {
  access_log off;
  server_tokens off;
  sendfile on;
  client_body_temp_path "$private/temp/client";
  fastcgi_temp_path "$private/temp/fastcgi";
  proxy_temp_path "$private/temp/proxy";
  scgi_temp_path "$private/temp/scgi";
  uwsgi_temp_path "$private/temp/uwsgi";

  proxy_cache_path "$private/cache" levels=1:2 keys_zone=images:16m max_size=16g inactive=7d use_temp_path=off;

  upstream origin {
    server 127.0.0.1:$origin_port;
    keepalive 32;
  }

  server {
    listen unix:$private/cache.sock;

    location / {
      return 404;
    }

    # The recipe, never stored: straight through to the origin.
    location ^~ /edge/recipe/ {
      proxy_pass http://origin;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_buffering off;
      proxy_cache off;
    }

    # The image, kept in 1 MiB pieces: each piece is asked of the origin
    # once, with the edge's secret passed on, and stored under the image's
    # URL (name and version) and the piece's range alone. A request that
    # waits for a piece another is fetching gets it from the cache.
    location ^~ /edge/image/ {
      slice 1m;
      proxy_cache images;
      proxy_cache_key "\$request_uri \$slice_range";
      proxy_set_header Range \$slice_range;
      proxy_cache_valid 206 7d;
      proxy_cache_lock on;
      proxy_cache_lock_timeout 60s;
      proxy_cache_lock_age 60s;
      proxy_ignore_headers Cache-Control Expires Set-Cookie Vary X-Accel-Expires;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_pass http://origin;
    }
  }
}
EOF

# --- The edge --------------------------------------------------------------
# workerd reads the Worker, the key (base64, as a CDN keeps it) and the
# secret when it parses this configuration; they are removed once it has.
cp -- "$here/worker.js" "$here/download.js" "$private/"
(umask 077 && base64 -w 0 -- "$dir/link.key" >"$private/link.key.base64" && cp -- "$secret" "$private/edge.secret") ||
  die "cannot read '$given_dir/link.key' and '$given_dir/edge.secret'"
cat >"$private/edge.capnp" <<EOF
# Generated by serve.sh for one run; removed when it stops.
using Workerd = import "/workerd/workerd.capnp";

const config :Workerd.Config = (
  services = [
    (name = "edge", worker = .edge),
    (name = "cache", external = (address = "unix:$private/cache.sock", http = ())),
  ],
  sockets = [ (name = "http", address = "127.0.0.1:$port", http = (), service = "edge") ],
);

# Every request the Worker makes goes to the cache, whatever its host: the
# origin's URL names the origin on the CDN, not here.
const edge :Workerd.Worker = (
  modules = [
    (name = "worker.js", esModule = embed "worker.js"),
    (name = "download.js", esModule = embed "download.js"),
  ],
  compatibilityDate = "2026-11-17",
  bindings = [
    (name = "ORIGIN", text = "http://origin.invalid"),
    (name = "LINK_KEY", text = embed "link.key.base64"),
    (name = "EDGE_SECRET", text = embed "edge.secret"),
  ],
  globalOutbound = "cache",
);
EOF
if [ ${#as_user[@]} -gt 0 ]; then
  chown -R -- "$user:" "$private"
fi

clean_env=(env -i PATH=/usr/bin:/bin)
setsid "${clean_env[@]}" "${as_user[@]}" "$nginx" -e stderr -p "$private" -c "$private/cache.conf" </dev/null &
cache_pid=$!
for _ in $(seq 100); do
  [ -S "$private/cache.sock" ] && break
  ended "$cache_pid" && die "the cache's nginx stopped at once (see above)"
  sleep 0.05
done
[ -S "$private/cache.sock" ] || die "the cache's nginx made no socket within 5 s"

setsid "${clean_env[@]}" "${as_user[@]}" "$workerd" serve "$private/edge.capnp" </dev/null &
workerd_pid=$!
listening=
for _ in $(seq 200); do
  ended "$workerd_pid" && die "workerd stopped at once (see above; is port $port taken?)"
  if listening "$port"; then
    listening=1
    break
  fi
  sleep 0.05
done
[ -n "$listening" ] || die "workerd did not listen on 127.0.0.1:$port within 10 s"
rm -f -- "$private/link.key.base64" "$private/edge.secret"

echo "$me: serving '$given_dir' at http://127.0.0.1:$port/download/<image>/<customer>?expires=E&signature=S through the edge (workerd $workerd, the origin on 127.0.0.1:$origin_port) as $user; stop with Ctrl-C or SIGTERM"

# Until a signal (the trap) or the end of any of the three.
set +e
wait -n "$origin_pid" "$cache_pid" "$workerd_pid"
status=$?
for name in origin:$origin_pid cache:$cache_pid workerd:$workerd_pid; do
  ended "${name#*:}" && echo "$me: the ${name%%:*} stopped (status $status); stopping the others" >&2 && break
done
exit 1
