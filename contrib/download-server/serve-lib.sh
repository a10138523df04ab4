# What the download server's serve.sh and the edge's (contrib/edge/serve.sh)
# share: their arguments, their refusals and how they stop a process group.
# Sourced by both from beside the download server's serve.sh, after they set
# $me (the name messages start with) and $usage.

# die MESSAGE...: the message on standard error, exit status 1.
die() {
  echo "$me: $*" >&2
  exit 1
}

# serve_arguments "$@": --help or -h alone prints the usage and exits 0;
# anything but DIR PORT, or a PORT that is not 1 to 65535, prints it on
# standard error and exits 2. Sets $given_dir and $port.
serve_arguments() {
  local port_ok
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
}

# find_nginx: nginx from PATH or /usr/sbin, in $nginx.
find_nginx() {
  nginx=$(command -v nginx 2>/dev/null) || { [ -x /usr/sbin/nginx ] && nginx=/usr/sbin/nginx; } ||
    die "nginx is not installed (scripts/install-deps.sh installs it)"
}

# server_account WHAT WHAT_RUNS: run as root, the servers (WHAT, e.g.
# "nginx"; WHAT_RUNS, e.g. "nginx runs", for the messages) are handed to the
# unprivileged account BRACKWELL_SERVE_USER names (www-data by default):
# refused when it does not exist or is root. Sets $user, $group, and $as_user,
# the command prefix that runs as that account (empty when not run as root:
# the servers then run as the caller); $uid and $gid when run as root.
server_account() {
  as_user=()
  user=$(id -un)
  group=$(id -gn)
  if [ "$(id -u)" -eq 0 ]; then
    user=${BRACKWELL_SERVE_USER:-www-data}
    uid=$(id -u -- "$user" 2>/dev/null) || die "no account '$user' (BRACKWELL_SERVE_USER) to run $1 as"
    [ "$uid" -ne 0 ] || die "BRACKWELL_SERVE_USER is root; $2 as an unprivileged account"
    gid=$(id -g -- "$user")
    group=$(id -gn -- "$user")
    as_user=(setpriv --reuid="$uid" --regid="$gid" --init-groups --no-new-privs --)
  fi
}

# listening PORT: something accepts connections on 127.0.0.1:PORT.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

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
# stop_group PID SIGNAL SECONDS: SIGNAL to the process group PID leads, then
# KILL to whatever of it still runs after SECONDS (whole seconds). Zombies do
# not count: PID is reaped here, the rest of the group by whoever inherited
# it. Nothing when PID is empty.
stop_group() {
  [ -n "$1" ] || return 0
  kill -"$2" -- "-$1" 2>/dev/null || return 0
  for _ in $(seq $(($3 * 10))); do
    group_ended "$1" && break
    sleep 0.1
  done
  group_ended "$1" || kill -KILL -- "-$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
