#!/bin/sh
# Download-time stamping, as a CGI script behind nginx and fcgiwrap (serve.sh
# sets both up). It answers GET and HEAD /download/<image>/<customer> with
#
#   brackwell-stamp write images/<image> profiles/<customer> --unsign --out -
#
# run in the download directory, and takes care of what HTTP needs around
# that body: its size and validator before the first byte (a dry run), a
# single byte range, If-Range, If-None-Match, and a status for every way a
# request can fail. A 200 or 206 is only ever sent on the strength of a dry
# run that succeeded; should the stream fail after the headers all the same,
# the body ends short of Content-Length, which every client reports as an
# error.
#
# Settings, from the FastCGI parameters of serve.sh's nginx configuration:
#   BRACKWELL_DOWNLOAD_DIR  the download directory, holding images/ and
#                           profiles/: a canonical absolute path (no symbolic
#                           link on the way)
#   BRACKWELL_STAMP         the brackwell-stamp to run, an absolute path
#
# Only the request's raw path (REQUEST_URI, as the client sent it, before any
# decoding) names files, and only once both names have passed the patterns
# below, so no "..", "%2f" or NUL reaches the file system. Each file is opened
# once, here; whether it is a regular file inside images/ or profiles/ is
# decided on the opened file (through /proc/self/fd: Linux), and
# brackwell-stamp reads that very descriptor, never the name again.

LC_ALL=C
export LC_ALL
umask 077

dir=${BRACKWELL_DOWNLOAD_DIR:-}
stamp=${BRACKWELL_STAMP:-}
method=${REQUEST_METHOD:-}
uri=${REQUEST_URI:-}

# One line on standard error, which fcgiwrap passes on to serve.sh's.
log() {
  printf 'download.cgi: %s %s: %s\n' "$method" "$uri" "$*" | tr -c '[:print:]\n' '?' >&2
}

# trim TEXT: TEXT without leading and trailing spaces and tabs, in $t.
trim() {
  t=$1
  t=${t#"${t%%[! 	]*}"}
  t=${t%"${t##*[! 	]}"}
}

# respond STATUS [HEADER...]: a response with no body of ours, then the end
# of the script. 404, 405 and 400 carry a one-line text (not for HEAD);
# 304, 416 and 500 carry nothing.
respond() {
  status=$1
  shift
  case $status in
    404*) text='not found' ;;
    405*) text='method not allowed' ;;
    400*) text='bad request' ;;
    *) text= ;;
  esac
  printf 'Status: %s\r\n' "$status"
  for header in "$@"; do
    printf '%s\r\n' "$header"
  done
  if [ -n "$text" ]; then
    printf 'Content-Type: text/plain\r\nContent-Length: %s\r\n\r\n' $((${#text} + 1))
    [ "$method" = HEAD ] || printf '%s\n' "$text"
  elif [ "${status%% *}" = 304 ]; then
    printf '\r\n'
  else
    printf 'Content-Length: 0\r\n\r\n'
  fi
  exit 0
}

case $dir in
  /*) ;;
  *)
    log "BRACKWELL_DOWNLOAD_DIR is not an absolute path"
    respond '500 Internal Server Error'
    ;;
esac
case $stamp in
  /*) ;;
  *)
    log "BRACKWELL_STAMP is not an absolute path"
    respond '500 Internal Server Error'
    ;;
esac

case $method in
  GET | HEAD) ;;
  *) respond '405 Method Not Allowed' 'Allow: GET, HEAD' ;;
esac

# /download/<image>/<customer>; a query, if any, is ignored.
path=${uri%%\?*}
case $path in
  /download/*/*) ;;
  *) respond '404 Not Found' ;;
esac
rest=${path#/download/}
image=${rest%%/*}
customer=${rest#*/}
case $image in
  '' | .* | *[!A-Za-z0-9_.-]*) respond '404 Not Found' ;;
esac
case $customer in
  '' | *[!A-Za-z0-9_-]*) respond '404 Not Found' ;;
esac

# open_in FD FOLDER NAME: opens FOLDER/NAME on descriptor FD, or answers
# 404 when the name is missing, not a regular file, or a symbolic link (even
# one that points back inside). These looks at the name only keep a FIFO
# from blocking the open; the verdict is taken below, on what was opened.
open_in() {
  file=$dir/$2/$3
  if [ -L "$file" ]; then
    log "refused $2/$3: a symbolic link"
    respond '404 Not Found'
  fi
  [ -f "$file" ] || respond '404 Not Found'
  if ! eval "command exec $1<\"\$file\""; then
    log "cannot open $2/$3"
    respond '500 Internal Server Error'
  fi
}
open_in 3 images "$image"
open_in 4 profiles "$customer"
# Each opened file must be a regular file that lives in its very folder, as
# the descriptors themselves say (one readlink for both: every process
# started here adds to the time before the first byte).
if ! opened=$(readlink /proc/self/fd/3 /proc/self/fd/4); then
  log "cannot tell which files were opened (is /proc mounted?)"
  respond '500 Internal Server Error'
fi
if [ "$opened" != "$dir/images/$image
$dir/profiles/$customer" ] || [ ! -f /dev/fd/3 ] || [ ! -f /dev/fd/4 ]; then
  log "refused: what was opened is not a regular file in images/ and one in profiles/ but $opened"
  respond '404 Not Found'
fi

# The request's byte range, when it has exactly one that parses: bytes=F-L,
# bytes=F- or bytes=-N. Anything else (another unit, several ranges, a
# malformed one) is ignored and the whole image served, as HTTP allows.
range=
if [ -n "${HTTP_RANGE:-}" ]; then
  trim "$HTTP_RANGE"
  case $t in
    [Bb][Yy][Tt][Ee][Ss]=*)
      trim "${t#*=}"
      case $t in
        *[!0-9-]* | *-*-*) ;;
        [0-9]*-[0-9]* | [0-9]*- | -[0-9]*) range=$t ;;
      esac
      ;;
  esac
fi

# dry_run [--range SPEC]: what brackwell-stamp's dry run says of the body (of
# the byte range SPEC the client asked for, when given),
#   {"size":N,"etag":"\"bw1-...\""[,"range":{"first":F,"last":L,"length":K}]}
# in size, etag (with its quotes, as the header wants it) and, for a range
# that can be served, first, last and length; dry_status is its exit status.
# Parsed in the shell itself, and every value checked: no extra process per
# request, and nothing unexpected reaches a header.
dry_run() {
  json=$("$stamp" write /dev/fd/3 /dev/fd/4 --unsign --out - --dry-run --json -q "$@")
  dry_status=$?
  size='' etag='' first='' last='' length=''
  case $json in
    '{"size":'*',"etag":"\"'*) ;;
    *) return ;;
  esac
  rest=${json#'{"size":'}
  size=${rest%%,*}
  rest=${rest#*',"etag":"\"'}
  tag=${rest%%'\"'*}
  case $tag in
    '' | *[!A-Za-z0-9_.:+/=-]*) ;;
    *) etag="\"$tag\"" ;;
  esac
  case $json in
    *',"range":{"first":'*)
      rest=${json#*',"range":{"first":'}
      first=${rest%%,*}
      rest=${rest#*',"last":'}
      last=${rest%%,*}
      rest=${rest#*',"length":'}
      length=${rest%%\}*}
      ;;
  esac
  case $size$first$last$length in
    *[!0-9]*) size='' ;;
  esac
}

if [ -n "$range" ]; then
  dry_run --range "$range"
  # 2: a range the tool finds malformed (LAST below FIRST): ignored, as above.
  if [ "$dry_status" -eq 2 ]; then
    range=
    dry_run
  fi
else
  dry_run
fi
case $dry_status in
  0 | 4) ;;
  *)
    log "refused: brackwell-stamp's dry run on images/$image and profiles/$customer exited $dry_status"
    respond '500 Internal Server Error'
    ;;
esac
if [ -z "$size" ] || [ -z "$etag" ] || { [ -n "$range" ] && [ "$dry_status" -eq 0 ] && [ -z "$length" ]; }; then
  log "cannot read brackwell-stamp's dry run: $json"
  respond '500 Internal Server Error'
fi

# If-None-Match: "*" or a list of validators, compared weakly (W/ ignored);
# it comes before the range.
if [ -n "${HTTP_IF_NONE_MATCH:-}" ]; then
  matched=
  set -f
  IFS=,
  for tag in $HTTP_IF_NONE_MATCH; do
    trim "$tag"
    if [ "$t" = '*' ] || [ "${t#W/}" = "$etag" ]; then
      matched=1
    fi
  done
  unset IFS
  set +f
  [ -z "$matched" ] || respond '304 Not Modified' "ETag: $etag"
fi

# If-Range: the range is served only while the client's partial copy is of
# this very body, by strong comparison; a weak validator or a date never
# matches, and the client gets the whole image instead.
if [ -n "$range" ] && [ -n "${HTTP_IF_RANGE+set}" ]; then
  trim "$HTTP_IF_RANGE"
  [ "$t" = "$etag" ] || range=
fi

headers() {
  printf 'Status: %s\r\n' "$1"
  printf 'Content-Type: application/x-apple-diskimage\r\n'
  printf 'Content-Length: %s\r\n' "$2"
  printf 'ETag: %s\r\n' "$etag"
  printf 'Accept-Ranges: bytes\r\n'
  printf 'Content-Disposition: attachment; filename="%s"\r\n' "$image"
}

if [ -z "$range" ]; then
  headers '200 OK' "$size"
  printf '\r\n'
  set --
elif [ "$dry_status" -eq 4 ]; then
  respond '416 Range Not Satisfiable' "Content-Range: bytes */$size"
else
  headers '206 Partial Content' "$length"
  printf 'Content-Range: bytes %s-%s/%s\r\n\r\n' "$first" "$last" "$size"
  set -- --range "$first-$last"
fi
[ "$method" = HEAD ] && exit 0

# The body. --if-etag refuses, before the first byte, an image rewritten in
# place since the dry run; any failure leaves the body short.
"$stamp" write /dev/fd/3 /dev/fd/4 --unsign --out - --if-etag "$etag" -q "$@"
status=$?
[ "$status" -eq 0 ] || log "brackwell-stamp exited $status after the headers; the body ends short"
exit "$status"
