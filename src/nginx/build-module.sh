#!/usr/bin/env bash
# Builds ngx_http_brackwell_stamp_module.so for the nginx whose configure tree
# is NGINX_SOURCE (Debian's nginx-dev: /usr/share/nginx/src), the way Debian
# builds its own libnginx-mod-* packages: ./configure with the flags that
# nginx was configured with (conf_flags; --with-compat among them, without
# which nginx refuses the module as "not binary compatible"), plus
# --add-dynamic-module and --builddir, then `make modules`. CMake runs it
# (src/nginx/CMakeLists.txt); by hand:
#
#   build-module.sh NGINX_SOURCE OBJS_DIR OUTPUT CC_OPT LD_OPT STATIC_LIBRARY...
#
# OBJS_DIR receives everything configure and make write; OUTPUT is the module.
# The STATIC_LIBRARYs (built with -fPIC) are the recipe's, in link order.
# configure runs again only when its arguments change. The build fails if
# anything under NGINX_SOURCE was written: it belongs to a package.
set -euo pipefail

if [ $# -lt 6 ]; then
  echo "usage: build-module.sh NGINX_SOURCE OBJS_DIR OUTPUT CC_OPT LD_OPT STATIC_LIBRARY..." >&2
  exit 2
fi
source_dir=$1
objs=$2
output=$3
cc_opt=$4
ld_opt=$5
shift 5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ ! -f "$source_dir/conf_flags" ] || [ ! -x "$source_dir/configure" ]; then
  echo "build-module.sh: $source_dir holds no nginx configure tree with conf_flags (install nginx-dev: scripts/install-deps.sh)" >&2
  exit 1
fi
# Debian's file is a bash array assignment: NGX_CONF_FLAGS=( ... ).
NGX_CONF_FLAGS=()
# shellcheck disable=SC1091
. "$source_dir/conf_flags"
if [ ${#NGX_CONF_FLAGS[@]} -eq 0 ]; then
  echo "build-module.sh: $source_dir/conf_flags sets no NGX_CONF_FLAGS" >&2
  exit 1
fi

mkdir -p "$objs"
objs=$(cd "$objs" && pwd)
args=("${NGX_CONF_FLAGS[@]}" "--with-cc-opt=$cc_opt" "--with-ld-opt=$ld_opt"
  "--add-dynamic-module=$here" "--builddir=$objs")
libraries="$*"

marker=$objs/.build-started
touch "$marker"
# Not one byte into the package's tree: configure and make run there (its
# scripts and Makefile name their sources relative to it) but write only
# into OBJS_DIR.
check_source_untouched() {
  local written
  written=$(find "$source_dir" -newer "$marker" -print 2>/dev/null | head -n 5)
  if [ -n "$written" ]; then
    echo "build-module.sh: the build wrote into $source_dir:" >&2
    echo "$written" >&2
    exit 1
  fi
}

wanted=$(printf '%s\n' "${args[@]}" "libraries: $libraries")
if [ ! -f "$objs/Makefile" ] || [ "$(cat "$objs/configure.args" 2>/dev/null)" != "$wanted" ]; then
  rm -f "$objs/configure.args"
  echo "build-module.sh: configuring nginx $(sed -n 's/^#define NGINX_VERSION *"\(.*\)"/\1/p' "$source_dir/src/core/nginx.h") into $objs"
  # CFLAGS from the caller's environment would be added to nginx's own.
  if ! (cd "$source_dir" && env -u CFLAGS BRACKWELL_STAMP_LIBS="$libraries" ./configure "${args[@]}") \
    >"$objs/configure.log" 2>&1; then
    tail -n 30 "$objs/configure.log" >&2
    echo "build-module.sh: nginx's configure failed; its output is in $objs/configure.log" >&2
    exit 1
  fi
  check_source_untouched
  printf '%s\n' "$wanted" >"$objs/configure.args"
fi

# make relinks only when the module's sources change; the libraries may have
# changed too.
rm -f "$objs/ngx_http_brackwell_stamp_module.so"
# Our own make, not a job of the one that called us (CMake's).
(cd "$source_dir" && env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -s -f "$objs/Makefile" modules)
check_source_untouched

cp -- "$objs/ngx_http_brackwell_stamp_module.so" "$output.tmp"
mv -f -- "$output.tmp" "$output"
