#!/usr/bin/env bash
# nginx_module_config_test: nginx -t on configurations that load
# ngx_http_brackwell_stamp_module and use its directives. The one a
# deployment writes is accepted; each mistake is refused with its message,
# before nginx would serve anything.
#
#   nginx_module_config_test.sh MODULE
#
# Exits 0 when every row passed, 1 otherwise, 77 (skipped) without nginx.
# BRACKWELL_NGINX_PRELOAD, when set, goes into nginx's LD_PRELOAD (a module
# built with a sanitizer).
set -uo pipefail

module=${1:?usage: nginx_module_config_test.sh MODULE}
nginx=$(command -v nginx 2>/dev/null || echo /usr/sbin/nginx)
if [ ! -x "$nginx" ]; then
  echo "SKIP: nginx is not installed (scripts/install-deps.sh installs it)"
  exit 77
fi

. "$(dirname "$0")/../support/nginx_test_conf.sh"

work=$(mktemp -d --tmpdir nginx_module_config_test.XXXXXX)
trap 'rm -rf -- "$work"' EXIT
passed=0
failed=0

head -c 48 /dev/urandom >"$work/link.key"
head -c 31 /dev/urandom >"$work/short.key"
head -c 4097 /dev/urandom >"$work/long.key"
# The edge's secret: one line of visible ASCII, 32 characters at least.
printf '%s\n' "$(od -A n -N 32 -v -t x1 /dev/urandom | tr -d ' \n')" >"$work/edge.secret"
printf '%s\n' "$(head -c 31 /dev/zero | tr '\0' x)" >"$work/short.secret"
printf 'an edge secret with spaces in it, long enough\n' >"$work/spaced.secret"
mkdir "$work/key.dir" "$work/temp"

# conf LOCATION_BODY [SERVER_LINES]: a whole configuration whose one
# location holds LOCATION_BODY.
conf() {
  echo "load_module \"$module\";"
  nginx_test_conf "$work" "$(
    cat <<EOF
  server {
    listen 127.0.0.1:1;
    ${2:-}
    location ~ ^/download/([^/]+)/([^/]+)\$ {
      $1
    }
  }
EOF
  )"
}

images='brackwell_stamp_image /srv/images/$1;'
profiles='brackwell_stamp_profile /srv/profiles/$2;'
key="brackwell_stamp_link_key $work/link.key;"
secret="brackwell_stamp_edge_secret $work/edge.secret;"

# name | location body | server lines | expected: "ok" or a piece of the message
rows=(
  "everything a deployment sets|brackwell_stamp; $images $profiles brackwell_stamp_unsign on; $key||ok"
  "paths and key from the server level|brackwell_stamp;|$images $profiles $key|ok"
  "unsign off|brackwell_stamp; $images $profiles brackwell_stamp_unsign off; $key||ok"
  "no image|brackwell_stamp; $profiles $key||\"brackwell_stamp\" needs \"brackwell_stamp_image\""
  "no profile|brackwell_stamp; $images $key||\"brackwell_stamp\" needs \"brackwell_stamp_profile\""
  "no key|brackwell_stamp; $images $profiles||\"brackwell_stamp\" needs \"brackwell_stamp_link_key\""
  "a key of 31 bytes|brackwell_stamp; $images $profiles brackwell_stamp_link_key $work/short.key;||the link key \"$work/short.key\" must be a regular file of 32 to 4096 bytes"
  "a key of 4097 bytes|brackwell_stamp; $images $profiles brackwell_stamp_link_key $work/long.key;||the link key \"$work/long.key\" must be a regular file of 32 to 4096 bytes"
  "a key that is a directory|brackwell_stamp; $images $profiles brackwell_stamp_link_key $work/key.dir;||the link key \"$work/key.dir\" must be a regular file"
  "a missing key|brackwell_stamp; $images $profiles brackwell_stamp_link_key $work/none.key;||open() \"$work/none.key\" failed (2: No such file or directory)"
  "two keys|brackwell_stamp; $images $profiles $key $key||\"brackwell_stamp_link_key\" directive is duplicate"
  "brackwell_stamp twice|brackwell_stamp; brackwell_stamp; $images $profiles $key||\"brackwell_stamp\" directive is duplicate"
  "brackwell_stamp with an argument|brackwell_stamp on; $images $profiles $key||invalid number of arguments in \"brackwell_stamp\" directive"
  "brackwell_stamp at the server level|$images|brackwell_stamp;|\"brackwell_stamp\" directive is not allowed here"
  "unsign neither on nor off|brackwell_stamp; $images $profiles brackwell_stamp_unsign maybe; $key||invalid value \"maybe\" in \"brackwell_stamp_unsign\" directive"
  "an image path with an unclosed variable|brackwell_stamp; brackwell_stamp_image /srv/\${x; $profiles $key||the closing bracket in \"x\" variable is missing"
  "the edge's recipe|brackwell_stamp_edge recipe; $images $profiles brackwell_stamp_unsign on; $key $secret||ok"
  "the edge's image|brackwell_stamp_edge image; $images $secret||ok"
  "the edge's secret from the server level|brackwell_stamp_edge image; $images|$secret|ok"
  "the edge's image without the secret|brackwell_stamp_edge image; $images||\"brackwell_stamp_edge\" needs \"brackwell_stamp_edge_secret\""
  "the edge's recipe without the secret|brackwell_stamp_edge recipe; $images $profiles $key||\"brackwell_stamp_edge\" needs \"brackwell_stamp_edge_secret\""
  "the edge's recipe without a profile|brackwell_stamp_edge recipe; $images $key $secret||\"brackwell_stamp_edge\" needs \"brackwell_stamp_profile\""
  "the edge's recipe without a key|brackwell_stamp_edge recipe; $images $profiles $secret||\"brackwell_stamp_edge\" needs \"brackwell_stamp_link_key\""
  "the edge's image without an image|brackwell_stamp_edge image; $secret||\"brackwell_stamp_edge\" needs \"brackwell_stamp_image\""
  "brackwell_stamp_edge neither recipe nor image|brackwell_stamp_edge both; $images $secret||invalid value \"both\", it must be \"recipe\" or \"image\""
  "brackwell_stamp and brackwell_stamp_edge in one location|brackwell_stamp; brackwell_stamp_edge image; $images $profiles $key $secret||\"brackwell_stamp_edge\" directive is duplicate"
  "two edge secrets|brackwell_stamp_edge image; $images $secret $secret||\"brackwell_stamp_edge_secret\" directive is duplicate"
  "an edge secret of 31 characters|brackwell_stamp_edge image; $images brackwell_stamp_edge_secret $work/short.secret;||the edge secret \"$work/short.secret\" must be one line of at least 32 visible ASCII characters"
  "an edge secret with spaces|brackwell_stamp_edge image; $images brackwell_stamp_edge_secret $work/spaced.secret;||the edge secret \"$work/spaced.secret\" must be one line of at least 32 visible ASCII characters"
  "an edge secret of 31 bytes|brackwell_stamp_edge image; $images brackwell_stamp_edge_secret $work/short.key;||the edge secret \"$work/short.key\" must be a regular file of 32 to 4096 bytes"
)

run_env=(env)
[ -z "${BRACKWELL_NGINX_PRELOAD:-}" ] || run_env+=("LD_PRELOAD=$BRACKWELL_NGINX_PRELOAD")
for row in "${rows[@]}"; do
  IFS='|' read -r name body server expected <<<"$row"
  conf "$body" "$server" >"$work/nginx.conf"
  output=$("${run_env[@]}" "$nginx" -t -q -e stderr -p "$work" -c "$work/nginx.conf" 2>&1)
  status=$?
  if [ "$expected" = ok ]; then
    [ "$status" -eq 0 ] && [ -z "$output" ] && verdict=ok || verdict=bad
  else
    [ "$status" -ne 0 ] && [[ $output == *"$expected"* ]] && verdict=ok || verdict=bad
  fi
  if [ "$verdict" = ok ]; then
    passed=$((passed + 1))
    echo "ok - $name"
  else
    failed=$((failed + 1))
    echo "not ok - $name: nginx -t exited $status, expected ${expected}"
    printf '    %s\n' "$output"
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
