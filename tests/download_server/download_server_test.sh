#!/usr/bin/env bash
# download_server_test: the reference deployment, contrib/download-server/serve.sh
# (nginx, fcgiwrap, download.cgi), started on a free loopback port and driven
# by curl as a customer's client would: whole downloads byte for byte, HEAD,
# ranges, a resume after a cut, If-Range and If-None-Match, unknown and
# hostile names, a broken image, a stream that fails after its headers, 16
# downloads at once, and the stop on SIGTERM and SIGINT leaving nothing
# behind.
#
#   download_server_test.sh SERVE_SH BRACKWELL_STAMP BRACKWELL_FIXTURE
#
# The expected body is always what brackwell-stamp itself writes for
# `write IMAGE PROFILE --unsign --out -`, and the expected validator what its
# dry run says. Exits 0 when every check passed, 1 otherwise, 77 (skipped)
# when nginx, fcgiwrap or curl is missing. Every request has a time limit,
# and whatever the test started is stopped however it ends.
set -uo pipefail

usage="usage: download_server_test.sh SERVE_SH BRACKWELL_STAMP BRACKWELL_FIXTURE"
serve_sh=${1:?$usage}
stamp_bin=${2:?$usage}
fixture=${3:?$usage}

for program in curl nginx fcgiwrap; do
  if ! command -v "$program" >/dev/null && [ ! -x "/usr/sbin/$program" ]; then
    echo "SKIP: $program is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done
if [ "$(id -u)" -eq 0 ] && ! id -u www-data >/dev/null 2>&1; then
  echo "SKIP: running as root, and there is no account www-data for serve.sh to run the servers as"
  exit 77
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
# download directory, a copy of brackwell-stamp (the build tree may be out of
# that account's reach) and, through TMPDIR, serve.sh's private directory.
work=$(mktemp -d --tmpdir download_server_test.XXXXXX)
chmod 755 "$work"
serve_pid=
serve_status=

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
  local left
  left=$(leftovers)
  if [ -n "$left" ]; then
    not_ok "nothing is left running at the end" "$left"
    for pid in $(pgrep -f -- "$work/brackwell-serve"); do
      kill -KILL "$pid" 2>/dev/null
    done
  fi
  if [ "$failed" -gt 0 ] && [ -s "$work/serve.err" ]; then
    echo "--- serve.sh's standard error:"
    cat "$work/serve.err"
  fi
  rm -rf -- "$work"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit $?
}
trap finish EXIT

mkdir "$work/bin"
cp -- "$stamp_bin" "$work/bin/brackwell-stamp"
export PATH="$work/bin:$PATH"
stamp=$work/bin/brackwell-stamp

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
head -c 5000 /dev/urandom >"$srv/images/Broken.dmg"      # no trailer
printf 'licence: acme corp, 25 seats\n' >"$srv/profiles/acme"
printf 'licence: an old one\n' >"$srv/profiles/acme.old" # a customer name never has a dot
chmod -R a+rX "$srv" "$work/elsewhere" "$work/bin"

# What brackwell-stamp writes for IMAGE and the acme profile, and what its
# dry run says of it.
expected_body() { # IMAGE OUT
  (cd "$srv" && "$stamp" write "images/$1" profiles/acme --unsign --out - -q) >"$2"
}
dry_run_etag() { # IMAGE
  (cd "$srv" && "$stamp" write "images/$1" profiles/acme --unsign --out - --dry-run --json -q) |
    sed -n 's/^{"size":[0-9]*,"etag":"\\"\([^"\\]*\)\\"".*/"\1"/p'
}
expected_body Setup.dmg "$work/Setup.expected"
expected_body --help "$work/help.expected"
size=$(stat -c %s "$work/Setup.expected")
etag=$(dry_run_etag Setup.dmg)
if [ -z "$etag" ] || [ "$size" -le $((1 << 20)) ]; then
  not_ok "brackwell-stamp's own output and dry run, the test's oracle" "size $size, etag '$etag'"
  exit 1
fi

# --- The server ---------------------------------------------------------------
port=
# start_server: serve.sh on a free port (a few tries: a port seen free may be
# taken before nginx binds it), in the foreground of a job of its own with
# SIGINT's default action, as from a terminal.
start_server() {
  local candidate
  for _ in 1 2 3 4 5; do
    candidate=$((20000 + RANDOM % 40000))
    if (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
      continue
    fi
    TMPDIR=$work env --default-signal=INT "$serve_sh" "$srv" "$candidate" >"$work/serve.out" 2>>"$work/serve.err" &
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
if ! start_server; then
  not_ok "serve.sh starts" "$(cat "$work/serve.err")"
  exit 1
fi
ok "serve.sh serves on 127.0.0.1:$port"
base=http://127.0.0.1:$port

# fetch PATH [CURL_ARGUMENTS...]: one request; the status in $code, the
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

# check NAME STATUS BODY PATH [CURL_ARGUMENTS...]
#   BODY: FIRST-LAST (those bytes of Setup.dmg's download, with their
#   Content-Range on a 206), "file:F" (exactly file F), "empty" (no body) or
#   "text" (a short error text). With --head among the arguments curl reads
#   no body (it writes the headers in its place), and Content-Length must
#   still be that of BODY.
# A 200 or 206 must carry the download's headers: type, length, validator,
# Accept-Ranges and the image's name.
check() {
  local name=$1 want=$2 body=$3 path=$4 problems=() head=""
  shift 4
  case " $* " in *" --head "*) head=1 ;; esac
  fetch "$path" "$@"
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
    [ "$got" -lt 1000 ] || problems+=("an error text of $got bytes")
  elif ! cmp -s "$work/body" "$work/expected"; then
    problems+=("the body ($got bytes) is not $body of brackwell-stamp's output")
  fi
  case $want in
    200 | 206)
      [ "$(header Content-Length)" = "$(stat -c %s "$work/expected")" ] ||
        problems+=("Content-Length '$(header Content-Length)', expected $(stat -c %s "$work/expected")")
      [ "$(header Content-Type)" = application/x-apple-diskimage ] ||
        problems+=("Content-Type '$(header Content-Type)'")
      [ "$(header Accept-Ranges)" = bytes ] || problems+=("Accept-Ranges '$(header Accept-Ranges)'")
      case $path in
        */Setup.dmg/*)
          [ "$(header ETag)" = "$etag" ] || problems+=("ETag '$(header ETag)', expected '$etag'")
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

ok_path=/download/Setup.dmg/acme
last=$((size - 1))
# name                                        status body                  path [curl arguments]
check 'the whole image'                         200 "0-$last"            $ok_path
check 'HEAD: the same headers, no body'         200 "0-$last"            $ok_path --head
check 'a query is ignored'                      200 "0-$last"            "$ok_path?utm=x"
check 'an image named like an option'           200 "file:$work/help.expected" /download/--help/acme
check 'the first bytes'                         206 0-99                 $ok_path -r 0-99
check 'a middle range'                          206 4096-70000           $ok_path -r 4096-70000
check 'a suffix'                                206 "$((size - 700))-$last" $ok_path -r -700
check 'a last byte past the end is clipped'     206 "$((size - 10))-$last" $ok_path -r "$((size - 10))-$((size + 5000))"
check 'a suffix longer than the image'          206 "0-$last"            $ok_path -r "-$((size + 5))"
check 'the last byte alone'                     206 "$last-$last"        $ok_path -r "$last-"
check 'HEAD of a range'                         206 0-99                 $ok_path --head -r 0-99
check 'a range starting at the end'             416 empty                $ok_path -r "$size-"
check 'a range past the end'                    416 empty                $ok_path -r "$((size + 100))-$((size + 200))"
check 'a suffix of zero bytes'                  416 empty                $ok_path -r -0
check 'several ranges: the whole image'         200 "0-$last"            $ok_path -r 0-9,20-29
check 'a range with LAST below FIRST: ignored'  200 "0-$last"            $ok_path -H 'Range: bytes=9-1'
check 'another range unit: ignored'             200 "0-$last"            $ok_path -H 'Range: items=0-9'
check 'If-Range with the current validator'     206 0-99                 $ok_path -r 0-99 -H "If-Range: $etag"
check 'If-Range with a stale validator'         200 "0-$last"            $ok_path -r 0-99 -H 'If-Range: "bw1-0000000000000000"'
check 'If-Range with the weak form never matches' 200 "0-$last"          $ok_path -r 0-99 -H "If-Range: W/$etag"
check 'If-Range with a date never matches'      200 "0-$last"            $ok_path -r 0-99 -H 'If-Range: Tue, 01 Jan 2030 00:00:00 GMT'
check 'If-None-Match with the validator'        304 empty                $ok_path -H "If-None-Match: $etag"
check 'If-None-Match: the weak form in a list'  304 empty                $ok_path -H "If-None-Match: \"other\", W/$etag"
check 'If-None-Match: *'                        304 empty                $ok_path -H 'If-None-Match: *'
check 'If-None-Match comes before Range'        304 empty                $ok_path -r 0-9 -H "If-None-Match: $etag"
check 'HEAD with If-None-Match'                 304 empty                $ok_path --head -H "If-None-Match: $etag"
check 'If-None-Match with another validator'    200 "0-$last"            $ok_path -H 'If-None-Match: "bw1-0000000000000000"'
check 'an unknown customer'                     404 text                 /download/Setup.dmg/nobody
check 'an unknown image'                        404 text                 /download/None.dmg/acme
check 'a broken image: 500 and no body'         500 empty                /download/Broken.dmg/acme
check 'a broken image, HEAD'                    500 empty                /download/Broken.dmg/acme --head
check 'a method other than GET and HEAD'        405 text                 $ok_path -X DELETE
check 'a path outside /download/'               404 text                 /images/Setup.dmg

# Hostile names: each is refused with 404 (ours or nginx's) or 400 (nginx's,
# for a NUL), never served.
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
  fetch "$path" --path-as-is
  problems=()
  case $code in
    400 | 404) [ "$(stat -c %s "$work/body")" -lt 1000 ] || problems+=("a body of $(stat -c %s "$work/body") bytes") ;;
    *) problems+=("status $code, expected 404 or 400") ;;
  esac
  verdict "hostile name $path: $code" "${problems[@]}"
done
problems=()
grep -q 'refused images/Link.dmg: a symbolic link' "$work/serve.err" ||
  problems+=("no such line in serve.sh's standard error")
verdict "the link out of images/ is refused as a link" "${problems[@]}"

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

# A stream that fails after its headers: the image shrinks while a slow client
# downloads it. The client must see the failure (curl's 18: fewer bytes than
# Content-Length), having received only bytes of the real download.
make_image "$srv/images/Big.dmg" $((64 << 20))
chmod a+r "$srv/images/Big.dmg"
(cd "$srv" && "$stamp" write images/Big.dmg profiles/acme --unsign --out - -q) >"$work/Big.expected"
curl -sS --max-time 30 --limit-rate 16M -D "$work/big.headers" -o "$work/big.body" "$base/download/Big.dmg/acme" \
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
rm -f "$work/Big.expected" "$work/big.body" "$srv/images/Big.dmg"

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
check 'after a rewrite, the old validator in If-Range gets the whole new image' 200 "0-$last" \
  $ok_path -r 0-99 -H "If-Range: $old_etag"
check 'after a rewrite, the old validator in If-None-Match gets the new image' 200 "0-$last" \
  $ok_path -H "If-None-Match: $old_etag"

# SIGTERM: serve.sh stops both servers, frees the port, removes its directory.
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
if start_server; then
  base=http://127.0.0.1:$port
  make_image "$srv/images/Big.dmg" $((64 << 20))
  chmod a+r "$srv/images/Big.dmg"
  curl -sS --max-time 30 --limit-rate 16M -o "$work/slow" "$base/download/Big.dmg/acme" 2>/dev/null &
  slow_pid=$!
  for _ in $(seq 200); do
    [ -s "$work/slow" ] && break
    sleep 0.05
  done
  # Half a second later brackwell-stamp still streams, at the client's pace:
  # nginx does not swallow the response ahead of the client (into a
  # temporary file), which would also hide a failure late in the stream.
  sleep 0.5
  problems=()
  pgrep -f -- "$work/bin/brackwell-stamp write /dev/fd/3 /dev/fd/4 --unsign --out - --if-etag" >/dev/null ||
    problems+=("no brackwell-stamp run left after $(stat -c %s "$work/slow") bytes reached the client")
  verdict "the server streams at the client's pace" "${problems[@]}"
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

# Nothing a sanitizer would report, in any run of brackwell-stamp the server made.
if grep -E -q 'Sanitizer|runtime error' "$work/serve.err"; then
  not_ok "no sanitizer report from the server's runs" "$(grep -E 'Sanitizer|runtime error' "$work/serve.err" | head -5)"
fi
