#!/bin/sh
# Prints a signed download link for serve.sh (or any nginx with
# ngx_http_brackwell_stamp_module and the same key):
#
#   contrib/download-server/link.sh DIR IMAGE CUSTOMER [SECONDS]
#
#   /download/IMAGE/CUSTOMER?expires=E&signature=S
#
# valid for SECONDS (default 86400, one day) from now: E is the Unix time it
# expires at, S the HMAC-SHA256 in lowercase hex, keyed with the whole of
# DIR/link.key, of "/download/IMAGE/CUSTOMER?expires=E". Put the server's
# address in front of it. Needs the openssl command (Debian's openssl).
#
# The key reaches openssl on its command line, which other accounts on this
# machine can read while it runs: mint links where no untrusted account
# logs in (a web shop does it in its own code, README shows how).
#
# Exit status: 0 printed, 1 failed, 2 usage error.
set -eu

me=link.sh
usage="usage: $me DIR IMAGE CUSTOMER [SECONDS]"

if [ $# -eq 1 ] && { [ "$1" = --help ] || [ "$1" = -h ]; }; then
  echo "$usage"
  echo "Prints /download/IMAGE/CUSTOMER?expires=E&signature=S, valid for SECONDS (default one day),"
  echo "signed with DIR/link.key."
  exit 0
fi
if [ $# -lt 3 ] || [ $# -gt 4 ]; then
  echo "$usage" >&2
  exit 2
fi
dir=$1
image=$2
customer=$3
seconds=${4:-86400}

# The names serve.sh answers for, which need no percent-encoding.
case $image in
  '' | .* | *[!A-Za-z0-9_.-]*)
    echo "$me: IMAGE must be a file name of letters, digits and ._- that does not start with a dot, not '$image'" >&2
    exit 2
    ;;
esac
case $customer in
  '' | *[!A-Za-z0-9_-]*)
    echo "$me: CUSTOMER must be a name of letters, digits, _ and -, not '$customer'" >&2
    exit 2
    ;;
esac
case $seconds in
  '' | *[!0-9]* | ??????????*)
    echo "$me: SECONDS must be a number of seconds below 1000000000, not '$seconds'" >&2
    exit 2
    ;;
esac

key=$dir/link.key
if [ ! -f "$key" ] || [ ! -r "$key" ]; then
  echo "$me: cannot read the key '$key'" >&2
  exit 1
fi
command -v openssl >/dev/null || {
  echo "$me: the openssl command is not installed (Debian's openssl)" >&2
  exit 1
}

# The whole file is the key, trailing newline and all, as the server reads it.
hexkey=$(od -A n -v -t x1 "$key" | tr -d ' \n')
if [ ${#hexkey} -lt 64 ]; then
  echo "$me: '$key' holds fewer than 32 bytes" >&2
  exit 1
fi
expires=$(($(date +%s) + seconds))
target="/download/$image/$customer?expires=$expires"
signature=$(printf '%s' "$target" | openssl dgst -sha256 -mac HMAC -macopt "hexkey:$hexkey" -r | cut -d' ' -f1)
case $signature in
  *[!0-9a-f]* | '')
    echo "$me: openssl gave no HMAC" >&2
    exit 1
    ;;
esac
[ ${#signature} -eq 64 ] || {
  echo "$me: openssl gave no HMAC-SHA256" >&2
  exit 1
}
echo "$target&signature=$signature"
