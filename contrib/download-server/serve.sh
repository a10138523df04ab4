#!/usr/bin/env bash
# The reference download server: nginx on 127.0.0.1:PORT in front of fcgiwrap
# running download.cgi, which stamps each customer's profile into the image at
# download time.
#
#   contrib/download-server/serve.sh DIR PORT
#
# DIR holds images/ and profiles/; GET and HEAD /download/<image>/<customer>
# answer with images/<image> stamped with profiles/<customer> (see README,
# "Stamping at download time"). brackwell-stamp is taken from PATH; nginx and
# fcgiwrap from PATH or /usr/sbin.
#
# It runs in the foreground until SIGTERM or SIGINT (Ctrl-C), then stops
# nginx, fcgiwrap and every download still running, removes its private
# directory and exits 0; it exits 1 when either server fails, 2 on a usage
# error. Started as root, both servers run as BRACKWELL_SERVE_USER (default
# www-data), with no new privileges; that account must be able to read DIR's
# two folders and run brackwell-stamp. BRACKWELL_SERVE_WORKERS (default 16) is
# how many downloads run at once; more wait for a free one.
#
# Everything nginx and fcgiwrap write (configuration, pid file, socket,
# temporary files, the CGI script they run) lives in a private directory made
# with mktemp -d under TMPDIR; errors go to standard error, and no access log
# is kept.
set -euo pipefail

me=serve.sh
usage="usage: $me DIR PORT
Serves GET and HEAD /download/<image>/<customer> on 127.0.0.1:PORT: DIR/images/<image>
stamped with DIR/profiles/<customer> by brackwell-stamp (taken from PATH), until SIGTERM
or SIGINT."

die() {
  echo "$me: $*" >&2
  exit 1
}

if [ $# -eq 1 ] && { [ "$1" = --help ] || [ "$1" = -h ]; }; then
  echo "$usage"
  exit 0
fi
if [ $# -ne 2 ]; then
  echo "$usage" >&2
  exit 2
fi
given_dir=$1
port=$2
case $port in
  '' | *[!0-9]* | 0*) port_ok= ;;
  *) [ ${#port} -le 5 ] && [ "$port" -le 65535 ] && port_ok=1 || port_ok= ;;
esac
if [ -z "$port_ok" ]; then
  echo "$me: PORT must be a number from 1 to 65535, not '$port'" >&2
  echo "$usage" >&2
  exit 2
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ -f "$here/download.cgi" ] || die "download.cgi is missing beside $me in $here"

find_program() {
  command -v "$1" 2>/dev/null || { [ -x "/usr/sbin/$1" ] && echo "/usr/sbin/$1"; } ||
    die "$1 is not installed (scripts/install-deps.sh installs it)"
}
nginx=$(find_program nginx)
fcgiwrap=$(find_program fcgiwrap)
stamp=$(command -v brackwell-stamp 2>/dev/null) || die "brackwell-stamp is not on PATH"
stamp=$(realpath -e -- "$stamp")

for folder in images profiles; do
  [ -d "$given_dir/$folder" ] || die "'$given_dir' has no folder $folder/"
done
dir=$(realpath -e -- "$given_dir")

# These paths go into nginx's configuration, where '$', quotes, ';' and
# braces would mean something; refuse them rather than escape them.
plain_path() {
  case $2 in
    *[!A-Za-z0-9._/+,@:=~-]*) die "$1 '$2' has characters other than letters, digits and ._/+,@:=~-" ;;
  esac
}
plain_path DIR "$dir"
plain_path brackwell-stamp "$stamp"

workers=${BRACKWELL_SERVE_WORKERS:-16}
case $workers in
  '' | *[!0-9]* | 0*) die "BRACKWELL_SERVE_WORKERS must be a number from 1 on, not '$workers'" ;;
esac

# As whom: root hands everything to an unprivileged account.
as_user=()
user=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
  user=${BRACKWELL_SERVE_USER:-www-data}
  uid=$(id -u -- "$user" 2>/dev/null) || die "no account '$user' (BRACKWELL_SERVE_USER) to run the servers as"
  [ "$uid" -ne 0 ] || die "BRACKWELL_SERVE_USER is root; the servers run as an unprivileged account"
  gid=$(id -g -- "$user")
  as_user=(setpriv --reuid="$uid" --regid="$gid" --init-groups --no-new-privs --)
  for folder in images profiles; do
    "${as_user[@]}" test -r "$dir/$folder" -a -x "$dir/$folder" ||
      die "the account '$user' cannot read '$given_dir/$folder'"
  done
  "${as_user[@]}" test -x "$stamp" || die "the account '$user' cannot run '$stamp'"
fi

private=$(mktemp -d "${TMPDIR:-/tmp}/brackwell-serve.XXXXXX")
fcgiwrap_pid=
nginx_pid=

# ended PID: the process is gone, or a zombie waiting to be reaped.
ended() {
  local stat
  { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 0
  stat=${stat##*) }
  [ "${stat%% *}" = Z ]
}
# group_ended PGID: no process of the group is still running.
group_ended() {
  local pid
  for pid in $(pgrep -g "$1"); do
    ended "$pid" || return 1
  done
}
# stop_job PID: TERM to the process group PID leads (fcgiwrap with its
# workers, the scripts and brackwell-stamp runs they started; nginx with its
# workers), then KILL to whatever of it still runs after 5 s. Zombies do not
# count: the leader is reaped here, the others by whoever inherited them.
stop_job() {
  [ -n "$1" ] || return 0
  kill -TERM -- "-$1" 2>/dev/null || return 0
  for _ in $(seq 50); do
    group_ended "$1" && break
    sleep 0.1
  done
  group_ended "$1" || kill -KILL -- "-$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  trap - EXIT TERM INT
  stop_job "$nginx_pid"
  stop_job "$fcgiwrap_pid"
  rm -rf -- "$private"
}
trap cleanup EXIT
trap 'cleanup; exit 0' TERM INT

plain_path "the private directory" "$private"
mkdir "$private/empty" "$private/temp"
install -m 0755 "$here/download.cgi" "$private/download.cgi"
socket=$private/fcgiwrap.socket

cat >"$private/nginx.conf" <<EOF
# Generated by serve.sh for one run; removed when it stops.
daemon off;
worker_processes auto;
pid "$private/nginx.pid";
error_log stderr warn;
events {
  worker_connections 1024;
}
http {
  access_log off;
  server_tokens off;
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

    location ^~ /download/ {
      client_max_body_size 1k;
      fastcgi_pass unix:$socket;
      # Straight through to the client, never into a temporary file: a
      # stream that fails part-way reaches the client as a short body, and
      # an image is not written to disk once more on its way out.
      fastcgi_buffering off;
      fastcgi_buffer_size 256k;
      fastcgi_buffers 4 256k;
      fastcgi_busy_buffers_size 256k;
      fastcgi_request_buffering off;
      fastcgi_pass_request_body off;

      # What the script reads. Request headers arrive as HTTP_*; the path
      # it parses is the raw one the client sent.
      fastcgi_param SCRIPT_FILENAME "$private/download.cgi";
      fastcgi_param GATEWAY_INTERFACE CGI/1.1;
      fastcgi_param SERVER_PROTOCOL \$server_protocol;
      fastcgi_param REQUEST_METHOD \$request_method;
      fastcgi_param REQUEST_URI \$request_uri;
      fastcgi_param QUERY_STRING \$query_string;
      fastcgi_param REMOTE_ADDR \$remote_addr;
      fastcgi_param PATH /usr/bin:/bin;
      fastcgi_param BRACKWELL_DOWNLOAD_DIR "$dir";
      fastcgi_param BRACKWELL_STAMP "$stamp";
    }
  }
}
EOF
if [ ${#as_user[@]} -gt 0 ]; then
  chown -R -- "$user:" "$private"
fi

# Each server in a session and process group of its own (setsid: it is not
# a group leader here, so it runs in place and $! is the group), so that
# stop_job reaches all it started, and Ctrl-C reaches serve.sh alone. Both
# start from an empty environment: fcgiwrap hands its own to the script and
# brackwell-stamp, which need nothing of the caller's.
clean_env=(env -i PATH=/usr/bin:/bin)
setsid "${clean_env[@]}" "${as_user[@]}" "$fcgiwrap" -c "$workers" -s "unix:$socket" -p "$private/download.cgi" </dev/null &
fcgiwrap_pid=$!
for _ in $(seq 100); do
  [ -S "$socket" ] && break
  kill -0 "$fcgiwrap_pid" 2>/dev/null || die "fcgiwrap stopped at once (see above)"
  sleep 0.05
done
[ -S "$socket" ] || die "fcgiwrap made no socket within 5 s"

setsid "${clean_env[@]}" "${as_user[@]}" "$nginx" -e stderr -p "$private" -c "$private/nginx.conf" </dev/null &
nginx_pid=$!
listening=
for _ in $(seq 100); do
  kill -0 "$nginx_pid" 2>/dev/null || die "nginx stopped at once (see above; is port $port taken?)"
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    listening=1
    break
  fi
  sleep 0.05
done
[ -n "$listening" ] || die "nginx did not listen on 127.0.0.1:$port within 5 s"

echo "$me: serving '$given_dir' at http://127.0.0.1:$port/download/<image>/<customer> as $user, $workers at once; stop with Ctrl-C or SIGTERM"

# Until a signal (the trap) or the end of either server.
set +e
wait -n "$fcgiwrap_pid" "$nginx_pid"
status=$?
if kill -0 "$nginx_pid" 2>/dev/null; then
  echo "$me: fcgiwrap stopped (status $status); stopping nginx" >&2
else
  echo "$me: nginx stopped (status $status); stopping fcgiwrap" >&2
fi
exit 1
