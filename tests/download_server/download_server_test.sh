#!/usr/bin/env bash
# download_server_test: the reference deployment, contrib/download-server/serve.sh
# (nginx with ngx_http_brackwell_stamp_module), started on a free loopback
# port and driven as customers' clients would drive it: curl for whole
# downloads byte for byte, HEAD, ranges, a resume after a cut, the
# conditional requests, signed links and every way a link is wrong, unknown
# and hostile names; brackwell-slow-clients for 200 slow downloads held open
# while a new one starts; an image that shrinks or is replaced while it is
# sent; serve.sh's refusals (the key, the module), and the stop on SIGTERM
# and SIGINT leaving nothing behind.
#
#   download_server_test.sh CONTRIB_DIR BRACKWELL_STAMP BRACKWELL_FIXTURE SLOW_CLIENTS MODULE [EDGE_SERVE_SH]
#
# CONTRIB_DIR holds serve.sh and link.sh; MODULE is the module to serve
# with. With EDGE_SERVE_SH (contrib/edge/serve.sh, workerd from
# BRACKWELL_WORKERD or PATH) the same customers' requests go through a CDN's
# edge instead, with the download server as its origin: every answer must be
# the same, save where the edge cannot know better (a download whose image
# is renamed over while it runs may end short); the origin's edge requests
# are asked directly too; and 50 customers downloading one 64 MiB image must
# cost the origin one copy of the image and 50 recipes, as its access log
# counts them.
#
# The expected body is always what brackwell-stamp itself writes for `write
# IMAGE PROFILE --unsign --out -`, and the expected validator what its dry
# run says. Exits 0 when every check passed, 1 otherwise, 77 (skipped) when
# nginx, curl or openssl (or, for the edge, workerd) is missing. Every
# request has a time limit, and whatever the test started is stopped however
# it ends.
# BRACKWELL_NGINX_PRELOAD reaches nginx through serve.sh (a sanitized module).
set -uo pipefail

usage="usage: download_server_test.sh CONTRIB_DIR BRACKWELL_STAMP BRACKWELL_FIXTURE SLOW_CLIENTS MODULE [EDGE_SERVE_SH]"
contrib=${1:?$usage}
stamp_bin=${2:?$usage}
fixture=${3:?$usage}
slow_clients=${4:?$usage}
module_bin=${5:?$usage}
edge=${6:-}
serve_sh=${edge:-$contrib/serve.sh}
link_sh=$contrib/link.sh
if [ -n "$edge" ] && [ ! -x "${BRACKWELL_WORKERD:-}" ] && ! command -v workerd >/dev/null; then
  echo "SKIP: no workerd in BRACKWELL_WORKERD or on PATH (scripts/fetch-workerd.sh fetches it)"
  exit 77
fi

for program in curl nginx openssl; do
  if ! command -v "$program" >/dev/null && [ ! -x "/usr/sbin/$program" ]; then
    echo "SKIP: $program is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done
server_group=$(id -gn)
if [ "$(id -u)" -eq 0 ]; then
  if ! id -u www-data >/dev/null 2>&1; then
    echo "SKIP: running as root, and there is no account www-data for serve.sh to run nginx as"
    exit 77
  fi
  server_group=$(id -gn www-data)
fi

passed=0
failed=0
ok() {
  passed=$((passed + 1))
  echo "ok - $1"
}
not_ok() {
  failed=$((failed + 1))
  echo "not ok - $1"
  shift
  for line in "$@"; do
    echo "    $line"
  done
}
# verdict NAME [PROBLEM...]: ok without problems, not ok with them.
verdict() {
  if [ $# -eq 1 ]; then
    ok "$1"
  else
    not_ok "$@"
  fi
}

# Everything lives in one directory that the server's account can read: the
# download directory, copies of brackwell-stamp and the module (the build
# tree may be out of that account's reach) and, through TMPDIR, serve.sh's
# private directory.
work=$(mktemp -d --tmpdir download_server_test.XXXXXX)
chmod 755 "$work"
serve_pid=
serve_status=
background_pids=()

# stop_server SIGNAL: sends SIGNAL to serve.sh and waits up to 15 s for it to
# end, then kills it. Sets serve_status to its exit status.
stop_server() {
  [ -n "$serve_pid" ] || return 0
  kill -"$1" "$serve_pid" 2>/dev/null
  for _ in $(seq 150); do
    kill -0 "$serve_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$serve_pid" 2>/dev/null; then
    kill -KILL "$serve_pid" 2>/dev/null
    echo "serve.sh did not stop within 15 s of SIG$1; killed"
  fi
  wait "$serve_pid" 2>/dev/null
  serve_status=$?
  serve_pid=
}
# The processes serve.sh started and left behind, if any: they are the only
# ones whose command line names its private directory under $work.
leftovers() {
  pgrep -a -f -- "$work/brackwell-serve" || true
}
finish() {
  stop_server TERM
  local left pid
  for pid in "${background_pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null
  done
  left=$(leftovers)
  if [ -n "$left" ]; then
    not_ok "nothing is left running at the end" "$left"
    for pid in $(pgrep -f -- "$work/brackwell-serve"); do
      kill -KILL "$pid" 2>/dev/null
    done
  fi
  if [ "$failed" -gt 0 ] && [ -s "$work/serve.err" ]; then
    echo "--- serve.sh's standard error (last 40 lines):"
    tail -n 40 "$work/serve.err"
  fi
  rm -rf -- "$work"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit $?
}
trap finish EXIT

mkdir "$work/bin"
cp -- "$stamp_bin" "$work/bin/brackwell-stamp"
cp -- "$module_bin" "$work/bin/ngx_http_brackwell_stamp_module.so"
stamp=$work/bin/brackwell-stamp
export BRACKWELL_NGINX_MODULE=$work/bin/ngx_http_brackwell_stamp_module.so

# --- The download directory ------------------------------------------------
# An image: pseudo-random data, then a 512-byte UDIF trailer, unsigned.
make_image() { # PATH DATA_BYTES
  "$fixture" image --fill random --data "$2" "$1"
}
srv=$work/srv
mkdir -p "$srv/images" "$srv/profiles" "$work/elsewhere"
make_image "$srv/images/Setup.dmg" $((1 << 20))
make_image "$srv/images/--help" 3000          # a valid name that looks like an option
make_image "$srv/images/.hidden.dmg" 3000     # names starting with a dot are never served
make_image "$work/elsewhere/Outside.dmg" 3000 # a valid image outside images/ ...
ln -s ../../elsewhere/Outside.dmg "$srv/images/Link.dmg" # ... that a link points to
mkfifo "$srv/images/Fifo.dmg"                            # would block a reader that waits
mkdir "$srv/images/Folder.dmg"                           # opens, but is no file
head -c 5000 /dev/urandom >"$srv/images/Broken.dmg"      # no trailer
printf 'licence: acme corp, 25 seats\n' >"$srv/profiles/acme"
printf 'licence: beta ltd, 3 seats\n' >"$srv/profiles/beta"
printf 'licence: an old one\n' >"$srv/profiles/acme.old" # a customer name never has a dot
# Fixed times: Last-Modified is the later of the image's and the profile's.
touch -d @1700000000 "$srv/images/Setup.dmg"
touch -d @1600000000 "$srv/profiles/acme"
chmod -R a+rX "$srv" "$work/elsewhere" "$work/bin"

# The key: 48 random bytes, for the owner and the server's group alone; and
# for the edge, its secret, kept the same way.
head -c 48 /dev/urandom >"$srv/link.key"
chgrp "$server_group" "$srv/link.key"
chmod 640 "$srv/link.key"
edge_secret() { # DIR
  od -A n -N 32 -v -t x1 /dev/urandom | tr -d ' \n' >"$1/edge.secret"
  chgrp "$server_group" "$1/edge.secret"
  chmod 640 "$1/edge.secret"
}
if [ -n "$edge" ]; then
  edge_secret "$srv"
  # The origin's access log, written by the account nginx runs as.
  export BRACKWELL_ORIGIN_LOG=$work/origin.log
  : >"$BRACKWELL_ORIGIN_LOG"
  [ "$(id -u)" -ne 0 ] || chown www-data "$BRACKWELL_ORIGIN_LOG"
fi
hexkey=$(od -A n -v -t x1 "$srv/link.key" | tr -d ' \n')

# signed TARGET [SECONDS]: TARGET (a path exactly as it will be sent) with a
# valid expires (SECONDS from now, default an hour) and signature: the
# test's own HMAC, from openssl, of TARGET?expires=E.
signature_of() { # TEXT
  printf '%s' "$1" | openssl dgst -sha256 -mac HMAC -macopt "hexkey:$hexkey" -r | cut -d' ' -f1
}
signed() {
  local target="$1?expires=$(($(date +%s) + ${2:-3600}))"
  echo "$target&signature=$(signature_of "$target")"
}

# What brackwell-stamp writes for IMAGE and PROFILE (default acme), and what
# its dry run says of it.
expected_body() { # IMAGE OUT [PROFILE]
  (cd "$srv" && "$stamp" write "images/$1" "profiles/${3:-acme}" --unsign --out - -q) >"$2"
}
dry_run_etag() { # IMAGE
  (cd "$srv" && "$stamp" write "images/$1" profiles/acme --unsign --out - --dry-run --json -q) |
    sed -n 's/^{"size":[0-9]*,"etag":"\\"\([^"\\]*\)\\"".*/"\1"/p'
}
expected_body Setup.dmg "$work/Setup.expected"
expected_body Setup.dmg "$work/Setup.beta.expected" beta
expected_body --help "$work/help.expected"
size=$(stat -c %s "$work/Setup.expected")
etag=$(dry_run_etag Setup.dmg)
if [ -z "$etag" ] || [ "$size" -le $((1 << 20)) ]; then
  not_ok "brackwell-stamp's own output and dry run, the test's oracle" "size $size, etag '$etag'"
  exit 1
fi

# --- serve.sh's refusals ------------------------------------------------------
# Each ends serve.sh at once with status 1 and a message, nginx never started.
# refused NAME EXPECTED_MESSAGE DIR [VARIABLE=VALUE...]
# (SERVE_SH=PATH among the variables: that copy of serve.sh.)
refused() {
  local name=$1 expected=$2 dir=$3 status output
  shift 3
  output=$(env "$@" TMPDIR="$work" bash -c 'timeout 20 "${SERVE_SH:-$0}" "$1" 1' "$serve_sh" "$dir" 2>&1 </dev/null)
  status=$?
  local problems=()
  [ "$status" -eq 1 ] || problems+=("exit status $status, expected 1")
  [[ $output == *"$expected"* ]] || problems+=("it said: $output" "expected: $expected")
  verdict "serve.sh refuses $name" "${problems[@]}"
}
keys=$work/keys
mkdir -p "$keys/images" "$keys/profiles"
[ -z "$edge" ] || edge_secret "$keys"
refused "a missing link.key" "'$keys/link.key' is missing" "$keys"
head -c 31 /dev/urandom >"$keys/link.key"
chmod 600 "$keys/link.key"
refused "a link.key of 31 bytes" "'$keys/link.key' holds 31 bytes; a key has at least 32" "$keys"
head -c 32 /dev/urandom >"$keys/link.key"
chmod 604 "$keys/link.key"
refused "a link.key readable by everyone" "'$keys/link.key' is readable by everyone (mode 604)" "$keys"
# A group other than the server's that this account may give the key to.
if [ "$(id -u)" -eq 0 ]; then
  other_group=$(getent group | cut -d: -f1 | grep -v -x -F -- "$server_group" | head -n 1)
else
  other_group=$(id -Gn | tr ' ' '\n' | grep -v -x -F -- "$server_group" | head -n 1)
fi
chmod 640 "$keys/link.key"
if [ -n "$other_group" ] && chgrp "$other_group" "$keys/link.key"; then
  refused "a link.key readable by another group" \
    "'$keys/link.key' is readable by the group '$other_group' (mode 640); allow only its owner and the group '$server_group'" "$keys"
else
  ok "# skip a link.key readable by another group: this account belongs to no other group"
fi
refused "a module that is not there" "BRACKWELL_NGINX_MODULE: no module at '$work/none.so'" "$srv" \
  BRACKWELL_NGINX_MODULE="$work/none.so"

# Without BRACKWELL_NGINX_MODULE, serve.sh in a checkout without a build of
# the module takes the installed package's, and says so when there is none.
# (The download server's own lookup: the edge's origin is that serve.sh.)
if [ -z "$edge" ]; then
checkout=$work/checkout
mkdir -p "$checkout/contrib/download-server" "$checkout/build/nginx-module"
cp -- "$serve_sh" "$contrib/serve-lib.sh" "$checkout/contrib/download-server/"
touch "$checkout/CMakeLists.txt"
chmod -R a+rX "$checkout"
if [ -f /usr/lib/nginx/modules/ngx_http_brackwell_stamp_module.so ]; then
  ok "# skip serve.sh without any module: the package's module is installed"
else
  refused "to start without any module" "no ngx_http_brackwell_stamp_module.so: not in BRACKWELL_NGINX_MODULE" \
    "$srv" -u BRACKWELL_NGINX_MODULE SERVE_SH="$checkout/contrib/download-server/serve.sh"
fi
fi

# --- The server ---------------------------------------------------------------
port=
# start_server [SERVE_SH [ENV_ARGUMENTS...]]: serve.sh (that copy of it, with
# env's arguments) on a free port (a few tries: a port seen free may be
# taken before nginx binds it), in the foreground of a job of its own with
# SIGINT's default action, as from a terminal.
start_server() {
  local candidate script=${1:-$serve_sh}
  shift
  for _ in 1 2 3 4 5; do
    candidate=$((20000 + RANDOM % 40000))
    if (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
      continue
    fi
    TMPDIR=$work env --default-signal=INT "$@" "$script" "$srv" "$candidate" >"$work/serve.out" 2>>"$work/serve.err" &
    serve_pid=$!
    for _ in $(seq 150); do
      grep -q '^serve.sh: serving ' "$work/serve.out" && port=$candidate && return 0
      kill -0 "$serve_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_server TERM
  done
  return 1
}
# Without BRACKWELL_NGINX_MODULE, serve.sh in a checkout takes its build's.
if [ -z "$edge" ]; then
cp -- "$module_bin" "$checkout/build/nginx-module/ngx_http_brackwell_stamp_module.so"
chmod a+r "$checkout/build/nginx-module/ngx_http_brackwell_stamp_module.so"
problems=()
if start_server "$checkout/contrib/download-server/serve.sh" -u BRACKWELL_NGINX_MODULE; then
  grep -q "with $(realpath "$checkout/build/nginx-module/ngx_http_brackwell_stamp_module.so");" "$work/serve.out" ||
    problems+=("it said: $(cat "$work/serve.out")")
  stop_server TERM
else
  problems+=("it did not start: $(tail -n 5 "$work/serve.err")")
fi
verdict "serve.sh in a checkout serves with the module in build/nginx-module/" "${problems[@]}"
fi

if ! start_server "$serve_sh"; then
  not_ok "serve.sh starts" "$(cat "$work/serve.err")"
  exit 1
fi
problems=()
if [ -n "$edge" ]; then
  grep -q "through the edge" "$work/serve.out" || problems+=("it said: $(cat "$work/serve.out")")
  verdict "the edge's serve.sh serves on 127.0.0.1:$port" "${problems[@]}"
else
  grep -q "with $BRACKWELL_NGINX_MODULE;" "$work/serve.out" || problems+=("it said: $(cat "$work/serve.out")")
  verdict "serve.sh serves on 127.0.0.1:$port with BRACKWELL_NGINX_MODULE" "${problems[@]}"
fi
base=http://127.0.0.1:$port

# fetch TARGET [CURL_ARGUMENTS...]: one request; the status in $code, the
# headers in $work/headers, the body in $work/body, curl's status in $curl_status.
fetch() {
  local url=$base$1
  shift
  rm -f "$work/body" # curl creates no file for a response without a body
  touch "$work/body"
  code=$(curl -sS --max-time 20 -D "$work/headers" -o "$work/body" -w '%{http_code}' "$@" "$url" 2>"$work/curl.err")
  curl_status=$?
}
header() { # NAME: its value in the last response, without the line's CR
  sed -n "s/^$1: \\(.*\\)\\r\$/\\1/Ip" "$work/headers" | tail -n 1
}
bytes_of() { # FIRST LAST FILE: those bytes of FILE
  tail -c +$(($1 + 1)) "$3" | head -c $(($2 - $1 + 1))
}
http_date() { # UNIX_TIME
  LC_ALL=C date -u -d "@$1" '+%a, %d %b %Y %H:%M:%S GMT'
}

# check NAME STATUS BODY TARGET [CURL_ARGUMENTS...]
#   BODY: FIRST-LAST (those bytes of Setup.dmg's download, with their
#   Content-Range on a 206), "file:F" (exactly file F), "empty" (no body) or
#   "text" (a short error page). With --head among the arguments curl reads
#   no body (it writes the headers in its place), and Content-Length must
#   still be that of BODY.
# A 200 or 206 must carry the download's headers: type, length, a 200
# Accept-Ranges; and for Setup.dmg and acme the validator, Last-Modified (the
# Unix time modified_at) and the image's name.
check() {
  local name=$1 want=$2 body=$3 target=$4 problems=() head=""
  shift 4
  case " $* " in *" --head "*) head=1 ;; esac
  fetch "$target" "$@"
  [ "$code" = "$want" ] || problems+=("status $code, expected $want")
  [ "$curl_status" -eq 0 ] || problems+=("curl exited $curl_status: $(cat "$work/curl.err")")
  case $body in
    empty) : >"$work/expected" ;;
    text) ;;
    file:*) cp -- "${body#file:}" "$work/expected" ;;
    *-*)
      local first=${body%-*} last=${body#*-}
      bytes_of "$first" "$last" "$work/Setup.expected" >"$work/expected"
      if [ "$want" = 206 ] && [ "$(header Content-Range)" != "bytes $first-$last/$size" ]; then
        problems+=("Content-Range '$(header Content-Range)', expected 'bytes $first-$last/$size'")
      fi
      ;;
  esac
  local got
  got=$(stat -c %s "$work/body")
  if [ -n "$head" ]; then
    :
  elif [ "$body" = text ]; then
    [ "$got" -lt 1000 ] || problems+=("an error page of $got bytes")
  elif ! cmp -s "$work/body" "$work/expected"; then
    problems+=("the body ($got bytes) is not $body of brackwell-stamp's output")
  fi
  case $want in
    200 | 206)
      [ "$(header Content-Length)" = "$(stat -c %s "$work/expected")" ] ||
        problems+=("Content-Length '$(header Content-Length)', expected $(stat -c %s "$work/expected")")
      [ "$(header Content-Type)" = application/x-apple-diskimage ] ||
        problems+=("Content-Type '$(header Content-Type)'")
      [ "$want" = 206 ] || [ "$(header Accept-Ranges)" = bytes ] ||
        problems+=("Accept-Ranges '$(header Accept-Ranges)'")
      case $target in
        /download/Setup.dmg/acme\?*)
          [ "$(header ETag)" = "$etag" ] || problems+=("ETag '$(header ETag)', expected '$etag'")
          [ "$(header Last-Modified)" = "$(http_date "$modified_at")" ] ||
            problems+=("Last-Modified '$(header Last-Modified)', expected '$(http_date "$modified_at")'")
          [ "$(header Content-Disposition)" = 'attachment; filename="Setup.dmg"' ] ||
            problems+=("Content-Disposition '$(header Content-Disposition)'")
          ;;
      esac
      ;;
    304) [ "$(header ETag)" = "$etag" ] || problems+=("ETag '$(header ETag)' on the 304, expected '$etag'") ;;
    416) [ "$(header Content-Range)" = "bytes */$size" ] ||
      problems+=("Content-Range '$(header Content-Range)', expected 'bytes */$size'") ;;
  esac
  verdict "$name" "${problems[@]}"
}

ok_path=$(signed /download/Setup.dmg/acme)
last=$((size - 1))
modified_at=1700000000
modified=$(http_date "$modified_at")
# name                                        status body                  target [curl arguments]
check 'the whole image'                         200 "0-$last"            "$ok_path"
check 'HEAD: the same headers, no body'         200 "0-$last"            "$ok_path" --head
check 'an image named like an option'           200 "file:$work/help.expected" "$(signed /download/--help/acme)"
check 'another customer, another profile'       200 "file:$work/Setup.beta.expected" "$(signed /download/Setup.dmg/beta)"
check 'the first bytes'                         206 0-99                 "$ok_path" -r 0-99
check 'a middle range'                          206 4096-70000           "$ok_path" -r 4096-70000
check 'a range across the end of the image data into the tail' 206 "$((size - 2000))-$((size - 100))" "$ok_path" -r "$((size - 2000))-$((size - 100))"
check 'a range inside the tail'                 206 "$((size - 300))-$((size - 200))" "$ok_path" -r "$((size - 300))-$((size - 200))"
check 'a suffix'                                206 "$((size - 700))-$last" "$ok_path" -r -700
check 'a last byte past the end is clipped'     206 "$((size - 10))-$last" "$ok_path" -r "$((size - 10))-$((size + 5000))"
check 'a suffix longer than the image'          206 "0-$last"            "$ok_path" -r "-$((size + 5))"
check 'the last byte alone'                     206 "$last-$last"        "$ok_path" -r "$last-"
check 'HEAD of a range'                         206 0-99                 "$ok_path" --head -r 0-99
check 'a range starting at the end'             416 text                 "$ok_path" -r "$size-"
check 'a range past the end'                    416 text                 "$ok_path" -r "$((size + 100))-$((size + 200))"
check 'a suffix of zero bytes'                  416 text                 "$ok_path" -r -0
check 'a range with LAST below FIRST'           416 text                 "$ok_path" -H 'Range: bytes=9-1'
check 'several ranges: the whole image'         200 "0-$last"            "$ok_path" -r 0-9,20-29
check 'the first and the last ten bytes: the whole image' 200 "0-$last"  "$ok_path" -r 0-9,-10
check 'another range unit: ignored'             200 "0-$last"            "$ok_path" -H 'Range: items=0-9'
check 'If-Range with the current validator'     206 0-99                 "$ok_path" -r 0-99 -H "If-Range: $etag"
check 'If-Range with a stale validator'         200 "0-$last"            "$ok_path" -r 0-99 -H 'If-Range: "bw1-0000000000000000"'
check 'If-Range with the weak form never matches' 200 "0-$last"          "$ok_path" -r 0-99 -H "If-Range: W/$etag"
check 'If-Range with a date never matches, not even Last-Modified' 200 "0-$last" "$ok_path" -r 0-99 -H "If-Range: $modified"
check 'If-None-Match with the validator'        304 empty                "$ok_path" -H "If-None-Match: $etag"
check 'If-None-Match: the weak form in a list'  304 empty                "$ok_path" -H "If-None-Match: \"other\", W/$etag"
check 'If-None-Match: *'                        304 empty                "$ok_path" -H 'If-None-Match: *'
check 'If-None-Match comes before Range'        304 empty                "$ok_path" -r 0-9 -H "If-None-Match: $etag"
check 'HEAD with If-None-Match'                 304 empty                "$ok_path" --head -H "If-None-Match: $etag"
check 'If-None-Match with another validator'    200 "0-$last"            "$ok_path" -H 'If-None-Match: "bw1-0000000000000000"'
check 'If-Modified-Since Last-Modified'         304 empty                "$ok_path" -H "If-Modified-Since: $modified"
check 'If-Match with the validator'             200 "0-$last"            "$ok_path" -H "If-Match: $etag"
check 'If-Match with another validator'         412 text                 "$ok_path" -H 'If-Match: "bw1-0000000000000000"'
check 'If-Unmodified-Since Last-Modified'       200 "0-$last"            "$ok_path" -H "If-Unmodified-Since: $modified"
check 'If-Unmodified-Since a second before'     412 text                 "$ok_path" -H "If-Unmodified-Since: $(http_date 1699999999)"
check 'If-Unmodified-Since before, with a range' 412 text                "$ok_path" -r 0-9 -H "If-Unmodified-Since: $(http_date 1699999999)"
check 'If-Unmodified-Since that is not a date: ignored' 200 "0-$last"    "$ok_path" -H 'If-Unmodified-Since: yesterday'
check 'If-Unmodified-Since is ignored beside If-Match' 200 "0-$last"     "$ok_path" -H "If-Match: $etag" -H "If-Unmodified-Since: $(http_date 1699999999)"
check 'an unknown customer'                     404 text                 "$(signed /download/Setup.dmg/nobody)"
check 'an unknown image'                        404 text                 "$(signed /download/None.dmg/acme)"
check 'a FIFO: never opened to wait on'         404 text                 "$(signed /download/Fifo.dmg/acme)"
check 'a directory'                             404 text                 "$(signed /download/Folder.dmg/acme)"
check 'a broken image: 500, an error page'      500 text                 "$(signed /download/Broken.dmg/acme)"
check 'a broken image, HEAD'                    500 empty                "$(signed /download/Broken.dmg/acme)" --head
check 'a method other than GET and HEAD'        405 text                 "$ok_path" -X DELETE
check 'a path outside /download/'               404 text                 "$(signed /images/Setup.dmg)"
problems=()
fetch "$ok_path" -X POST -d x
[ "$code" = 405 ] && [ "$(header Allow)" = 'GET, HEAD' ] || problems+=("status $code, Allow '$(header Allow)'")
verdict "POST: 405 with Allow: GET, HEAD" "${problems[@]}"
problems=()
grep -q 'brackwell_stamp: cannot stamp ".*/images/Broken.dmg" with ".*/profiles/acme": ' "$work/serve.err" ||
  problems+=("no such line in serve.sh's standard error")
verdict "the broken image's refusal is in the error log" "${problems[@]}"

# The profile's modification time counts when it is the later one: a
# customer whose licence changed gets a later Last-Modified.
touch -d @1750000000 "$srv/profiles/acme"
fetch "$ok_path" --head
problems=()
[ "$(header Last-Modified)" = "$(http_date 1750000000)" ] || problems+=("Last-Modified '$(header Last-Modified)'")
verdict "Last-Modified follows a profile newer than the image" "${problems[@]}"
touch -d @1600000000 "$srv/profiles/acme"

# --- Links ----------------------------------------------------------------------
# Every wrong link gets the same 403, whatever is wrong with it; the reason
# goes to the error log.
now=$(date +%s)
target=/download/Setup.dmg/acme
valid_signature=$(signature_of "$target?expires=$((now + 3600))")
expired=$target?expires=$((now - 10))
beta_link=$(signed /download/Setup.dmg/beta)
link_rows=(
  "no parameters|$target"
  "no signature|$target?expires=$((now + 3600))"
  "no expires|$target?signature=$valid_signature"
  "a wrong signature|$target?expires=$((now + 3600))&signature=${valid_signature:0:63}$(printf '%x' $(((16#${valid_signature:63:1} + 1) % 16)))"
  "expired ten seconds ago|$expired&signature=$(signature_of "$expired")"
  "a tampered expires|$target?expires=$((now + 7200))&signature=$valid_signature"
  "another customer's link|$target?${beta_link#*\?}"
  "the signature in capitals|$target?expires=$((now + 3600))&signature=$(echo "$valid_signature" | tr a-f A-F)"
  "a signature of 63 digits|$target?expires=$((now + 3600))&signature=${valid_signature:0:63}"
  "the parameters swapped|$target?signature=$valid_signature&expires=$((now + 3600))"
  "a parameter more|$target?expires=$((now + 3600))&signature=$valid_signature&utm=x"
  "an expires with a sign|$target?expires=+$((now + 3600))&signature=$(signature_of "$target?expires=+$((now + 3600))")"
  "the path spelt otherwise, signed as it is|/download/Setup%2edmg/acme?expires=$((now + 3600))&signature=$(signature_of "/download/Setup%2edmg/acme?expires=$((now + 3600))")"
  "another image's path, same signature|/download/--help/acme?expires=$((now + 3600))&signature=$valid_signature"
)
first_403=
for row in "${link_rows[@]}"; do
  name=${row%%|*}
  fetch "${row#*|}" --path-as-is
  problems=()
  [ "$code" = 403 ] || problems+=("status $code, expected 403")
  if [ -z "$first_403" ]; then
    first_403=$work/first_403
    cp -- "$work/body" "$first_403"
    grep -v -i '^date:' "$work/headers" >"$work/first_403.headers"
  elif ! cmp -s "$work/body" "$first_403" || ! grep -v -i '^date:' "$work/headers" | cmp -s - "$work/first_403.headers"; then
    problems+=("not the same answer as for the first wrong link")
  fi
  verdict "a link with $name: 403" "${problems[@]}"
done
check 'the right link, minted before all these'  200 "0-$last"            "$target?expires=$((now + 3600))&signature=$valid_signature"
check "link.sh's link"                           200 "0-$last"            "$("$link_sh" "$srv" Setup.dmg acme)"
check "link.sh's link for 60 seconds, HEAD"      200 "0-$last"            "$("$link_sh" "$srv" Setup.dmg acme 60)" --head
problems=()
reasons=('link refused: expired 1[0-9] s ago' 'link refused: wrong signature' 'link refused: no expires and signature'
  'link refused: no expires as its first parameter' 'link refused: no signature of 64 hex digits'
  'link refused: expires is not a time in seconds' 'link refused: the path as sent is not the path served')
if [ -n "$edge" ]; then # the edge refuses them itself, before the origin
  reasons=('refused: expired' 'refused: wrong signature' 'refused: no well-formed link'
    'refused: the path is spelt otherwise than served')
fi
for reason in "${reasons[@]}"; do
  grep -q "$reason" "$work/serve.err" || problems+=("no '$reason' in serve.sh's standard error")
done
verdict "each reason for a 403 is in the error log" "${problems[@]}"

# Hostile names, each with a valid signature for exactly what is sent: each
# is refused with 404 (ours or nginx's), 403 (a path sent otherwise than
# nginx serves it) or 400 (nginx's, for a NUL or a path that climbs above
# /), never served.
hostile_paths=(
  /download/../profiles/acme
  /download/Setup.dmg/..
  /download/Setup.dmg/../../profiles/acme
  /download/%2e%2e/acme
  /download/Setup.dmg/%2e%2e
  /download/..%2fprofiles%2facme/acme
  /download/Setup.dmg/%2e%2e%2fprofiles%2facme
  /download/Setup.dmg%2f..%2f..%2fprofiles/acme
  /download/%2e%2e%2f%2e%2e%2fetc%2fpasswd/acme
  /download/Setup.dmg%00/acme
  /download/Setup.dmg/acme%00
  /download/Setup.dmg/acme%2f
  /download/Setup.dmg/acme/more
  /download/Setup.dmg//acme
  /download/.hidden.dmg/acme
  /download/Link.dmg/acme
  /download/Setup.dmg/acme.old
  /download/acme/acme
  /download/Setup.dmg/Setup.dmg
)
for path in "${hostile_paths[@]}"; do
  fetch "$(signed "$path")" --path-as-is
  problems=()
  case $code in
    400 | 403 | 404) [ "$(stat -c %s "$work/body")" -lt 1000 ] || problems+=("a body of $(stat -c %s "$work/body") bytes") ;;
    *) problems+=("status $code, expected 404, 403 or 400") ;;
  esac
  verdict "hostile name $path: $code" "${problems[@]}"
done
problems=()
grep -q 'brackwell_stamp: refused ".*/images/Link.dmg": a symbolic link' "$work/serve.err" ||
  problems+=("no such line in serve.sh's standard error")
verdict "the link out of images/ is refused as a link" "${problems[@]}"

# The origin's side of the edge, asked directly as the edge asks it (and as
# anyone who finds the origin might): nothing without the edge's secret, the
# recipe only for a genuine link, the image only at its current version.
if [ -n "$edge" ]; then
  origin=http://127.0.0.1:$(sed -n 's/.*the origin on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/serve.out")
  edge_secret_value=$(cat "$srv/edge.secret")
  keep=$((1 << 20)) # Setup.dmg's data: everything before its trailer
  version=$(stat -c '%.9Y-%s' "$srv/images/Setup.dmg")
  tail -c +$((keep + 1)) "$work/Setup.expected" >"$work/tail.expected"
  # ask NAME STATUS BODY PATH [CURL_ARGUMENTS...]: BODY "tail" (the recipe's
  # tail), FIRST-LAST (those bytes of the image file) or "none" (not looked
  # at: an error page, a HEAD).
  ask() {
    local name=$1 want=$2 body=$3 path=$4 problems=()
    shift 4
    rm -f "$work/body" && touch "$work/body"
    code=$(curl -sS --max-time 20 --path-as-is -D "$work/headers" -o "$work/body" -w '%{http_code}' "$@" "$origin$path" 2>"$work/curl.err")
    [ "$code" = "$want" ] || problems+=("status $code, expected $want")
    case $body in
      none) ;;
      tail)
        cmp -s "$work/body" "$work/tail.expected" || problems+=("the body is not the tail of brackwell-stamp's output")
        [ "$(header Brackwell-Keep)" = "$keep" ] || problems+=("Brackwell-Keep '$(header Brackwell-Keep)', expected $keep")
        [ "$(header Brackwell-Size)" = "$size" ] || problems+=("Brackwell-Size '$(header Brackwell-Size)', expected $size")
        [ "$(header ETag)" = "$etag" ] || problems+=("ETag '$(header ETag)', expected '$etag'")
        [ "$(header Last-Modified)" = "$(http_date 1700000000)" ] || problems+=("Last-Modified '$(header Last-Modified)'")
        [ "$(header Brackwell-Image-Version)" = "$version" ] ||
          problems+=("Brackwell-Image-Version '$(header Brackwell-Image-Version)', expected '$version'")
        [ "$(header Cache-Control)" = no-store ] || problems+=("Cache-Control '$(header Cache-Control)'")
        [ "$(header Content-Disposition)" = 'attachment; filename="Setup.dmg"' ] ||
          problems+=("Content-Disposition '$(header Content-Disposition)'")
        [ -z "$(header Accept-Ranges)" ] || problems+=("Accept-Ranges '$(header Accept-Ranges)' on a recipe")
        ;;
      *-*)
        cmp -s "$work/body" <(bytes_of "${body%-*}" "${body#*-}" "$srv/images/Setup.dmg") ||
          problems+=("the body is not bytes $body of the image file")
        [ "$(header Content-Range)" = "bytes $body/$(stat -c %s "$srv/images/Setup.dmg")" ] ||
          problems+=("Content-Range '$(header Content-Range)'")
        [ -n "$(header ETag)" ] && [ "$(header Last-Modified)" = "$(http_date 1700000000)" ] ||
          problems+=("ETag '$(header ETag)', Last-Modified '$(header Last-Modified)'")
        ;;
    esac
    verdict "the origin, $name: $code" "${problems[@]}"
  }
  with_secret=(-H "Brackwell-Edge-Secret: $edge_secret_value")
  recipe=/edge/recipe$ok_path
  # name                                         status body  path [curl arguments]
  ask 'the recipe'                                  200 tail  "$recipe" "${with_secret[@]}"
  ask 'the recipe, HEAD'                            200 none  "$recipe" "${with_secret[@]}" --head
  ask 'the recipe without the secret'               403 none  "$recipe"
  ask 'the recipe with a wrong secret'              403 none  "$recipe" -H "Brackwell-Edge-Secret: ${edge_secret_value%?}x"
  ask 'the recipe with the secret cut short'        403 none  "$recipe" -H "Brackwell-Edge-Secret: ${edge_secret_value%?}"
  ask 'the recipe with the secret twice'            403 none  "$recipe" "${with_secret[@]}" "${with_secret[@]}"
  ask 'the recipe for an expired link'              403 none  "/edge/recipe$expired&signature=$(signature_of "$expired")" "${with_secret[@]}"
  ask 'the recipe for a link signed with its prefix' 403 none "$(signed /edge/recipe/download/Setup.dmg/acme)" "${with_secret[@]}"
  ask 'the recipe for an unknown customer'          404 none  "/edge/recipe$(signed /download/Setup.dmg/nobody)" "${with_secret[@]}"
  ask 'the recipe of a broken image'                500 none  "/edge/recipe$(signed /download/Broken.dmg/acme)" "${with_secret[@]}"
  ask 'the recipe, POST'                            405 none  "$recipe" "${with_secret[@]}" -d x
  ask 'the image at its version'                    206 0-99  "/edge/image/Setup.dmg?v=$version" "${with_secret[@]}" -r 0-99
  ask 'the image at its version, its last bytes'    206 "$((keep - 10))-$((keep + 511))" "/edge/image/Setup.dmg?v=$version" "${with_secret[@]}" -r "$((keep - 10))-"
  ask 'the image without the secret'                403 none  "/edge/image/Setup.dmg?v=$version" -r 0-99
  ask 'the image at another version'                412 none  "/edge/image/Setup.dmg?v=1.000000000-1049088" "${with_secret[@]}" -r 0-99
  ask 'the image without a version'                 412 none  "/edge/image/Setup.dmg" "${with_secret[@]}" -r 0-99
  ask 'the image of a symbolic link'                404 none  "/edge/image/Link.dmg?v=$version" "${with_secret[@]}"
  ask 'the image of a dot file'                     404 none  "/edge/image/.hidden.dmg?v=$version" "${with_secret[@]}"
  ask 'the image, a profile by another name'        404 none  "/edge/image/..%2fprofiles%2facme?v=$version" "${with_secret[@]}"
  ask 'a profile as an image'                       404 none  "/edge/image/acme?v=$version" "${with_secret[@]}"
  problems=()
  grep -q 'brackwell_stamp: edge request refused: wrong Brackwell-Edge-Secret' "$work/serve.err" ||
    problems+=("no such line in serve.sh's standard error")
  verdict "a wrong secret's refusal is in the origin's error log" "${problems[@]}"
fi

# A resume: a download cut off by the client part-way, then curl -C -.
curl -sS --max-time 20 "$base$ok_path" 2>/dev/null | head -c 300000 >"$work/resumed"
code=$(curl -sS --max-time 20 -C - -o "$work/resumed" -w '%{http_code}' "$base$ok_path" 2>"$work/curl.err")
curl_status=$?
if [ "$(stat -c %s "$work/resumed")" -ge 300000 ] && [ "$code" = 206 ] && [ "$curl_status" -eq 0 ] &&
  cmp -s "$work/resumed" "$work/Setup.expected"; then
  ok "a download cut off at 300000 bytes resumes with curl -C - (206) to the exact image"
else
  not_ok "a download cut off at 300000 bytes resumes with curl -C -" \
    "status $code, curl exited $curl_status, $(stat -c %s "$work/resumed") bytes; $(cmp "$work/resumed" "$work/Setup.expected" 2>&1)"
fi

# 16 downloads at once, each exact.
pids=()
for i in $(seq 16); do
  curl -sS --max-time 30 -o "$work/parallel.$i" -w '%{http_code}' "$base$ok_path" >"$work/parallel.$i.code" 2>&1 &
  pids+=($!)
done
problems=()
for i in $(seq 16); do
  wait "${pids[$((i - 1))]}" || problems+=("download $i: curl exited $?")
  [ "$(cat "$work/parallel.$i.code")" = 200 ] || problems+=("download $i: $(cat "$work/parallel.$i.code")")
  cmp -s "$work/parallel.$i" "$work/Setup.expected" || problems+=("download $i differs")
done
verdict "16 downloads at once, each exact" "${problems[@]}"
rm -f "$work"/parallel.*

# The point of the edge: 50 customers downloading the same 64 MiB image, all
# at once, each exact (brackwell-stamp's own output for that customer), cost
# the origin one copy of the image (into the cache, in 1 MiB pieces, each
# asked for once however many customers wait for it) and 50 recipes, each
# under 2 KiB besides its profile; no download reaches the origin whole.
if [ -n "$edge" ]; then
  make_image "$srv/images/Shared.dmg" $((64 << 20))
  chmod a+r "$srv/images/Shared.dmg"
  for i in $(seq -w 1 50); do
    printf 'licence: customer %s, %s seats\n' "$i" "$((10#$i * 7))" >"$srv/profiles/c$i"
    chmod a+r "$srv/profiles/c$i"
  done
  logged=$(wc -l <"$BRACKWELL_ORIGIN_LOG")
  pids=()
  for i in $(seq -w 1 50); do
    (cmp -s <(curl -sS --max-time 120 "$base$(signed "/download/Shared.dmg/c$i")" 2>"$work/shared.$i.err") \
      <(cd "$srv" && "$stamp" write images/Shared.dmg "profiles/c$i" --unsign --out - -q)) &
    pids+=($!)
  done
  problems=()
  for i in $(seq 50); do
    wait "${pids[$((i - 1))]}" || problems+=("customer $i's download is not exact: $(cat "$work/shared.$(printf %02d "$i").err")")
  done
  # The log's lines for these downloads: TIME METHOD "PATH" STATUS BYTES.
  tail -n +$((logged + 1)) "$BRACKWELL_ORIGIN_LOG" >"$work/shared.log"
  image_bytes=$(awk '$3 == "\"/edge/image/Shared.dmg\"" { n += $NF } END { print n + 0 }' "$work/shared.log")
  image_requests=$(grep -c '"/edge/image/Shared.dmg" 206 ' "$work/shared.log")
  recipes=$(grep -c '"/edge/recipe/download/Shared.dmg/c[0-9]*" 200 ' "$work/shared.log")
  recipe_bytes=$(awk '$3 ~ /^"\/edge\/recipe\// { n += $NF } END { print n + 0 }' "$work/shared.log")
  others=$(grep -v -c -e '"/edge/image/Shared.dmg" 206 ' -e '"/edge/recipe/download/Shared.dmg/c[0-9]*" 200 ' "$work/shared.log")
  image_size=$(stat -c %s "$srv/images/Shared.dmg")
  profile_bytes=$(cat "$srv"/profiles/c* | wc -c)
  [ "$recipes" -eq 50 ] || problems+=("$recipes recipe requests, not 50")
  [ "$others" -eq 0 ] || problems+=("$others other requests: $(grep -v -e /edge/image/ -e /edge/recipe/ "$work/shared.log" | head -n 3)")
  # One copy: the image's 64 pieces (its last 512 bytes, beyond KEEP, are
  # never needed), each with its headers, well under 1 KiB.
  [ "$image_requests" -le 65 ] && [ "$image_bytes" -ge $((64 << 20)) ] &&
    [ "$image_bytes" -le $((image_size + 65 * 1024)) ] ||
    problems+=("the image cost $image_bytes bytes in $image_requests requests, not one copy of its $image_size")
  [ $(((recipe_bytes - profile_bytes) / 50)) -lt 2048 ] ||
    problems+=("the recipes cost $recipe_bytes bytes, $(((recipe_bytes - profile_bytes) / 50)) a download besides the profile")
  verdict "50 customers at once, each exact, cost the origin $image_bytes bytes for the image ($image_requests pieces) and $recipe_bytes for 50 recipes ($((recipe_bytes / 50)) each, profiles of $((profile_bytes / 50)) bytes)" "${problems[@]}"
  rm -f "$srv/images/Shared.dmg" "$work"/shared.*
fi

# A large image for the rows that need a download to last.
make_image "$srv/images/Big.dmg" $((64 << 20))
chmod a+r "$srv/images/Big.dmg"
expected_body Big.dmg "$work/Big.expected"
big_link=$(signed /download/Big.dmg/acme)

# 200 downloads on slow connections, held open, while a new request gets its
# first byte within a second, and its whole download exact. nginx holds a
# slow download as a connection, not as a process or a thread.
"$slow_clients" "$port" "$big_link" 200 60 >"$work/slow.out" 2>"$work/slow.err" &
slow_pid=$!
background_pids+=("$slow_pid")
for _ in $(seq 300); do
  grep -q '^ready ' "$work/slow.out" && break
  kill -0 "$slow_pid" 2>/dev/null || break
  sleep 0.1
done
problems=()
if grep -q '^ready 200:' "$work/slow.out"; then
  # The edge copies every byte it sends (nginx hands the file to the
  # kernel): starting 200 streams at once fills 200 sockets, a second or
  # two of one core's work on this machine. What the row asks of it is
  # that, once they run, they block no one.
  [ -z "$edge" ] || sleep 3
  first_byte=$(curl -sS --max-time 20 -o "$work/body" -w '%{time_starttransfer}' "$base$ok_path" 2>"$work/curl.err")
  curl_status=$?
  [ "$curl_status" -eq 0 ] || problems+=("curl exited $curl_status: $(cat "$work/curl.err")")
  awk -v t="$first_byte" 'BEGIN { exit !(t < 1.0) }' || problems+=("first byte after $first_byte s")
  cmp -s "$work/body" "$work/Setup.expected" || problems+=("the new download is not exact")
else
  problems+=("the slow clients never got ready: $(cat "$work/slow.out" "$work/slow.err" | head -n 5)")
fi
kill -TERM "$slow_pid" 2>/dev/null
wait "$slow_pid"
slow_status=$?
[ "$slow_status" -eq 0 ] || problems+=("brackwell-slow-clients exited $slow_status: $(head -n 5 "$work/slow.err")")
grep -q '^held 200 of 200 open' "$work/slow.out" || problems+=("$(cat "$work/slow.out")")
verdict "200 slow downloads held open; a new request's first byte after ${first_byte:-?} s (below 1 s), exact" "${problems[@]}"

# An image replaced by a rename while it is sent (how images are published):
# the download goes on with the version it started with, whole and exact.
rm -f "$work/big.body"
curl -sS --max-time 30 --limit-rate 32M -o "$work/big.body" -w '%{http_code}' "$base$big_link" \
  >"$work/big.code" 2>"$work/curl.err" &
big_pid=$!
for _ in $(seq 200); do
  [ -s "$work/big.body" ] && break
  sleep 0.05
done
make_image "$srv/images/.Big.dmg.new" 3000
chmod a+r "$srv/images/.Big.dmg.new"
mv -f "$srv/images/.Big.dmg.new" "$srv/images/Big.dmg"
wait "$big_pid"
curl_status=$?
problems=()
if [ -n "$edge" ] && [ "$curl_status" -eq 18 ]; then
  # The old version's bytes the cache does not hold yet are gone from the
  # origin: the edge ends the body short rather than go on with another.
  cmp -s "$work/big.body" <(head -c "$(stat -c %s "$work/big.body")" "$work/Big.expected") ||
    problems+=("$(stat -c %s "$work/big.body") bytes, not a beginning of the old version's download")
  verdict "an image renamed over during a download: a beginning of the old version, ended short" "${problems[@]}"
else
  [ "$curl_status" -eq 0 ] && [ "$(cat "$work/big.code")" = 200 ] ||
    problems+=("curl exited $curl_status, status $(cat "$work/big.code"): $(cat "$work/curl.err")")
  cmp -s "$work/big.body" "$work/Big.expected" || problems+=("$(stat -c %s "$work/big.body") bytes, not the old version's download")
  verdict "an image renamed over during a download: the old version, whole" "${problems[@]}"
fi

# A stream that fails after its headers: the image shrinks while a slow client
# downloads it. The client must see the failure (curl's 18: fewer bytes than
# Content-Length), having received only bytes of the real download.
make_image "$srv/images/Big.dmg" $((64 << 20))
chmod a+r "$srv/images/Big.dmg"
rm -f "$work/big.body"
curl -sS --max-time 30 --limit-rate 16M -D "$work/big.headers" -o "$work/big.body" "$base$big_link" \
  2>"$work/curl.err" &
big_pid=$!
for _ in $(seq 200); do
  [ -s "$work/big.body" ] && break
  sleep 0.05
done
truncate -s $((1 << 20)) "$srv/images/Big.dmg"
wait "$big_pid"
curl_status=$?
promised=$(sed -n 's/^Content-Length: \([0-9]*\)\r$/\1/Ip' "$work/big.headers")
got=$(stat -c %s "$work/big.body")
if [ "$curl_status" -eq 18 ] && [ "$got" -lt "$promised" ] && cmp -s "$work/big.body" <(head -c "$got" "$work/Big.expected") &&
  grep -q '^HTTP/1.1 200' "$work/big.headers"; then
  ok "a stream failing after its headers ends short: curl exits 18 after $got of $promised bytes"
else
  not_ok "a stream failing after its headers ends short" \
    "curl exited $curl_status ($(cat "$work/curl.err")), $got of '$promised' bytes"
fi
rm -f "$work/big.body" "$srv/images/Big.dmg"

# The image rewritten in place: the validator changes, so the old one no
# longer matches If-Range or If-None-Match.
printf 'X' | dd of="$srv/images/Setup.dmg" bs=1 seek=1000 conv=notrunc status=none
touch -d @1000000000 "$srv/images/Setup.dmg"
expected_body Setup.dmg "$work/Setup.expected"
old_etag=$etag
etag=$(dry_run_etag Setup.dmg)
if [ "$etag" = "$old_etag" ]; then
  not_ok "brackwell-stamp's validator changes when the image is rewritten" "still $etag"
fi
modified_at=1600000000 # the profile's time, now the later one
check 'after a rewrite, the old validator in If-Range gets the whole new image' 200 "0-$last" \
  "$ok_path" -r 0-99 -H "If-Range: $old_etag"
check 'after a rewrite, the old validator in If-None-Match gets the new image' 200 "0-$last" \
  "$ok_path" -H "If-None-Match: $old_etag"

# SIGTERM: serve.sh stops nginx, frees the port, removes its directory.
check_stopped() { # SIGNAL
  local problems=() left
  [ "$serve_status" = 0 ] || problems+=("serve.sh exited $serve_status")
  left=$(leftovers)
  [ -z "$left" ] || problems+=("still running: $left")
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    problems+=("port $port still accepts connections")
  fi
  if compgen -G "$work/brackwell-serve.*" >/dev/null; then
    problems+=("its private directory is still there")
  fi
  verdict "SIG$1 stops serve.sh: status 0, nothing running or listening, nothing left" "${problems[@]}"
}
stop_server TERM
check_stopped TERM

# SIGINT (Ctrl-C) in the middle of a download: the download is cut, and
# again nothing is left. The image is far larger than what the socket
# buffers between server and client hold, or the server could have handed
# over every byte before the stop.
if start_server "$serve_sh"; then
  base=http://127.0.0.1:$port
  make_image "$srv/images/Big.dmg" $((64 << 20))
  chmod a+r "$srv/images/Big.dmg"
  rm -f "$work/slow"
  curl -sS --max-time 30 --limit-rate 16M -o "$work/slow" "$base$big_link" 2>/dev/null &
  slow_pid=$!
  for _ in $(seq 200); do
    [ -s "$work/slow" ] && break
    sleep 0.05
  done
  stop_server INT
  wait "$slow_pid"
  slow_status=$?
  problems=()
  [ "$slow_status" -ne 0 ] || problems+=("curl exited 0 after $(stat -c %s "$work/slow") bytes")
  verdict "a download running at the stop is cut (curl exited $slow_status)" "${problems[@]}"
  check_stopped INT
else
  not_ok "serve.sh starts again" "$(tail -n 5 "$work/serve.err")"
fi

# Nothing a sanitizer would report, and no worker that died, in any of
# nginx's runs.
problems=()
if grep -E -q 'Sanitizer|runtime error|exited on signal' "$work/serve.err"; then
  problems+=("$(grep -E 'Sanitizer|runtime error|exited on signal' "$work/serve.err" | head -5)")
fi
verdict "no sanitizer report and no worker that died in nginx's error log" "${problems[@]}"
