#!/usr/bin/env bash
# The reference download server: nginx on 127.0.0.1:PORT with
# ngx_http_brackwell_stamp_module, which stamps each customer's profile into
# the image as it sends it, behind signed, expiring links.
#
#   contrib/download-server/serve.sh DIR PORT
#
# DIR holds images/, profiles/ and link.key; GET and HEAD
# /download/<image>/<customer>?expires=E&signature=S answer with
# images/<image> stamped with profiles/<customer> (see README, "A download
# server"); link.sh beside this script mints such links. nginx is taken from
# PATH or /usr/sbin; the module from BRACKWELL_NGINX_MODULE when set, else
# from build/nginx-module/ of the checkout this script lives in, else from
# the installed package (/usr/lib/nginx/modules/).
#
# link.key is the key of the links' HMAC: at least 32 bytes, readable by no
# one but its owner and the server's group; serve.sh refuses to start
# otherwise.
#
# When DIR also holds edge.secret (the same rules), the server answers a
# CDN's edge too (contrib/edge; README, "The CDN's edge"): GET
# /edge/recipe/download/<image>/<customer>?expires=E&signature=S and GET
# /edge/image/<image>?v=VERSION, for requests that show that secret. When
# BRACKWELL_ORIGIN_LOG is set, nginx appends one line per request to that
# file (the account nginx runs as must be able to write it): the time, the
# method, the path, the status and, last, the bytes sent ($bytes_sent).
#
# It runs in the foreground until SIGTERM or SIGINT (Ctrl-C), then stops
# nginx, which cuts every download still running, removes its private
# directory and exits 0; it exits 1 when nginx fails or cannot start, 2 on a
# usage error. Started as root, nginx runs as BRACKWELL_SERVE_USER (default
# www-data), with no new privileges; that account must be able to read DIR's
# two folders, link.key and the module.
#
# Everything nginx writes (configuration, pid file, temporary files) lives in
# a private directory made with mktemp -d under TMPDIR; errors go to standard
# error, and no access log is kept unless BRACKWELL_ORIGIN_LOG asks for one.
# BRACKWELL_NGINX_PRELOAD, when set, is put in nginx's LD_PRELOAD (with
# ASAN_OPTIONS, LSAN_OPTIONS and UBSAN_OPTIONS passed on): the sanitizer's
# runtime, for a module built with one.
set -euo pipefail

me=serve.sh
usage="usage: $me DIR PORT
Serves GET and HEAD /download/<image>/<customer>?expires=E&signature=S on 127.0.0.1:PORT:
DIR/images/<image> stamped with DIR/profiles/<customer> by nginx and
ngx_http_brackwell_stamp_module, for links signed with DIR/link.key (link.sh), until
SIGTERM or SIGINT."

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ -f "$here/serve-lib.sh" ] || {
  echo "$me: serve-lib.sh is missing beside $me in $here" >&2
  exit 1
}
# shellcheck source=serve-lib.sh
. "$here/serve-lib.sh"
serve_arguments "$@"

find_nginx

# The module: the one asked for, else this checkout's build, else the package's.
checkout_module=$here/../../build/nginx-module/ngx_http_brackwell_stamp_module.so
if [ -n "${BRACKWELL_NGINX_MODULE:-}" ]; then
  [ -f "$BRACKWELL_NGINX_MODULE" ] || die "BRACKWELL_NGINX_MODULE: no module at '$BRACKWELL_NGINX_MODULE'"
  module=$BRACKWELL_NGINX_MODULE
elif [ -f "$here/../../CMakeLists.txt" ] && [ -f "$checkout_module" ]; then
  module=$checkout_module
elif [ -f /usr/lib/nginx/modules/ngx_http_brackwell_stamp_module.so ]; then
  module=/usr/lib/nginx/modules/ngx_http_brackwell_stamp_module.so
else
  die "no ngx_http_brackwell_stamp_module.so: not in BRACKWELL_NGINX_MODULE, not built in this checkout" \
    "(cmake --workflow --preset nginx-module), not installed in /usr/lib/nginx/modules/"
fi
module=$(realpath -e -- "$module")

for folder in images profiles; do
  [ -d "$given_dir/$folder" ] || die "'$given_dir' has no folder $folder/"
done
dir=$(realpath -e -- "$given_dir")
key=$dir/link.key

# These paths go into nginx's configuration, where '$', quotes, ';' and
# braces would mean something; refuse them rather than escape them.
plain_path() {
  case $2 in
    *[!A-Za-z0-9._/+,@:=~-]*) die "$1 '$2' has characters other than letters, digits and ._/+,@:=~-" ;;
  esac
}
plain_path DIR "$dir"
plain_path "the module" "$module"

# As whom: root hands everything to an unprivileged account.
server_account nginx "nginx runs"

# The key, and the edge's secret if there is one: each a regular file of at
# least 32 bytes that only its owner and the server's group may read. (nginx
# reads them once, at the start, and checks them again on what it opened.)
check_private_file() { # NAME [WHAT: key, secret]
  local file=$dir/$1 size mode file_group
  [ -f "$file" ] && [ ! -L "$file" ] || die "'$given_dir/$1' is not a regular file"
  read -r size mode file_group < <(stat -c '%s %a %G' -- "$file")
  [ "$size" -ge 32 ] || die "'$given_dir/$1' holds $size bytes; a ${2:-key} has at least 32"
  if [ $((8#$mode & 8#004)) -ne 0 ]; then
    die "'$given_dir/$1' is readable by everyone (mode $mode); allow only its owner and the group '$group'"
  fi
  if [ $((8#$mode & 8#040)) -ne 0 ] && [ "$file_group" != "$group" ]; then
    die "'$given_dir/$1' is readable by the group '$file_group' (mode $mode); allow only its owner and the group '$group'"
  fi
}
[ -e "$key" ] || die "'$given_dir/link.key' is missing: the key that signs download links (README, \"A download server\")"
check_private_file link.key
edge=
if [ -e "$dir/edge.secret" ]; then
  check_private_file edge.secret secret
  edge=1
fi

access_log=off
if [ -n "${BRACKWELL_ORIGIN_LOG:-}" ]; then
  case $BRACKWELL_ORIGIN_LOG in
    /*) ;;
    *) die "BRACKWELL_ORIGIN_LOG must be an absolute path, not '$BRACKWELL_ORIGIN_LOG'" ;;
  esac
  plain_path BRACKWELL_ORIGIN_LOG "$BRACKWELL_ORIGIN_LOG"
  access_log="\"$BRACKWELL_ORIGIN_LOG\" origin"
fi

if [ ${#as_user[@]} -gt 0 ]; then
  for folder in images profiles; do
    "${as_user[@]}" test -r "$dir/$folder" -a -x "$dir/$folder" ||
      die "the account '$user' cannot read '$given_dir/$folder'"
  done
  "${as_user[@]}" test -r "$key" || die "the account '$user' cannot read '$given_dir/link.key'"
  [ -z "$edge" ] || "${as_user[@]}" test -r "$dir/edge.secret" ||
    die "the account '$user' cannot read '$given_dir/edge.secret'"
  "${as_user[@]}" test -r "$module" || die "the account '$user' cannot read '$module'"
fi

# Each download holds a connection and the image's descriptor: a worker may
# hold as many of both as the account's hard limit allows, up to 16384.
files=$(ulimit -Hn)
if [ "$files" = unlimited ] || [ "$files" -gt 16384 ]; then
  files=16384
fi
ulimit -n "$files"
connections=$(((files - 32) / 2))

private=$(mktemp -d "${TMPDIR:-/tmp}/brackwell-serve.XXXXXX")
nginx_pid=

# stop_nginx: TERM to nginx's process group (the master and its workers),
# then KILL to whatever of it still runs after 5 s.
stop_nginx() {
  stop_group "$nginx_pid" TERM 5
}
cleanup() {
  trap - EXIT TERM INT
  stop_nginx
  rm -rf -- "$private"
}
trap cleanup EXIT
trap 'cleanup; exit 0' TERM INT

plain_path "the private directory" "$private"

# A CDN's edge (contrib/edge): a download's recipe, the customer's link
# behind /edge/recipe, checked as a download's; and the image itself, at the
# version the recipe named, for the edge's cache. Both only for a request
# that shows the edge's secret.
edge_locations=
if [ -n "$edge" ]; then
  edge_locations=$(
    cat <<EOF

    location ~ "^/edge/recipe/download/([A-Za-z0-9_-][A-Za-z0-9_.-]*)/([A-Za-z0-9_-]+)\$" {
      client_max_body_size 1k;
      brackwell_stamp_edge recipe;
      brackwell_stamp_image "$dir/images/\$1";
      brackwell_stamp_profile "$dir/profiles/\$2";
      brackwell_stamp_unsign on;
      brackwell_stamp_link_key "$key";
      brackwell_stamp_edge_secret "$dir/edge.secret";
    }

    location ~ "^/edge/image/([A-Za-z0-9_-][A-Za-z0-9_.-]*)\$" {
      client_max_body_size 1k;
      brackwell_stamp_edge image;
      brackwell_stamp_image "$dir/images/\$1";
      brackwell_stamp_edge_secret "$dir/edge.secret";
    }
EOF
  )
fi

mkdir "$private/empty" "$private/temp"

cat >"$private/nginx.conf" <<EOF
# Generated by serve.sh for one run; removed when it stops.
load_module "$module";
daemon off;
worker_processes auto;
pid "$private/nginx.pid";
error_log stderr warn;
events {
  worker_connections $connections;
}
http {
  log_format origin '\$time_iso8601 \$request_method "\$uri" \$status \$bytes_sent';
  access_log $access_log;
  server_tokens off;
  sendfile on;
  tcp_nopush on;
  client_body_temp_path "$private/temp/client";
  fastcgi_temp_path "$private/temp/fastcgi";
  proxy_temp_path "$private/temp/proxy";
  scgi_temp_path "$private/temp/scgi";
  uwsgi_temp_path "$private/temp/uwsgi";
  default_type text/plain;

  server {
    listen 127.0.0.1:$port;
    root "$private/empty";

    location / {
      return 404;
    }

    # An image is a name in images/ that does not start with a dot, a
    # customer a name in profiles/; nginx matches the decoded, normalised
    # path, so no "..", "/" or NUL reaches a file name.
    location ~ "^/download/([A-Za-z0-9_-][A-Za-z0-9_.-]*)/([A-Za-z0-9_-]+)\$" {
      client_max_body_size 1k;
      brackwell_stamp;
      brackwell_stamp_image "$dir/images/\$1";
      brackwell_stamp_profile "$dir/profiles/\$2";
      brackwell_stamp_unsign on;
      brackwell_stamp_link_key "$key";
    }
$edge_locations
  }
}
EOF
if [ ${#as_user[@]} -gt 0 ]; then
  chown -R -- "$user:" "$private"
fi

# nginx in a session and process group of its own (setsid: it is not a group
# leader here, so it runs in place and $! is the group), so that stop_nginx
# reaches its workers, and Ctrl-C reaches serve.sh alone. It starts from an
# empty environment.
clean_env=(env -i PATH=/usr/bin:/bin)
if [ -n "${BRACKWELL_NGINX_PRELOAD:-}" ]; then
  clean_env+=("LD_PRELOAD=$BRACKWELL_NGINX_PRELOAD")
  for name in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS; do
    [ -z "${!name:-}" ] || clean_env+=("$name=${!name}")
  done
fi
setsid "${clean_env[@]}" "${as_user[@]}" "$nginx" -e stderr -p "$private" -c "$private/nginx.conf" </dev/null &
nginx_pid=$!
listening=
for _ in $(seq 100); do
  kill -0 "$nginx_pid" 2>/dev/null || die "nginx stopped at once (see above; is port $port taken?)"
  if listening "$port"; then
    listening=1
    break
  fi
  sleep 0.05
done
[ -n "$listening" ] || die "nginx did not listen on 127.0.0.1:$port within 5 s"

also=
[ -z "$edge" ] || also=" and the edge's requests"
echo "$me: serving '$given_dir' at http://127.0.0.1:$port/download/<image>/<customer>?expires=E&signature=S$also as $user with $module; stop with Ctrl-C or SIGTERM"

# Until a signal (the trap) or the end of nginx.
set +e
wait "$nginx_pid"
echo "$me: nginx stopped (status $?)" >&2
exit 1
