#!/bin/sh
# check_install.sh CMAKE BUILD_DIR CONFIG BIN_PATH MAN_PATH BUILT_BINARY MAN_SOURCE
# Installs the build into a fresh prefix; it must hold exactly BIN_PATH (the
# built binary, executable) and MAN_PATH (the manual page), both relative to
# the prefix.
set -u
cmake=$1 build=$2 config=$3 bin=$4 man=$5 built=$6 source=$7
prefix=$(mktemp -d) || exit 1
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --config "$config" --prefix "$prefix" || exit 1

status=0
found=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
expected=$(printf '%s\n%s\n' "$bin" "$man" | LC_ALL=C sort)
if [ "$found" != "$expected" ]; then
  echo "installed files:"; echo "$found"
  echo "expected exactly:"; echo "$expected"
  status=1
fi
if [ ! -x "$prefix/$bin" ] || ! cmp "$built" "$prefix/$bin"; then
  echo "$bin is not the built binary, or not executable"
  status=1
fi
if ! cmp "$source" "$prefix/$man"; then
  echo "$man is not the manual page"
  status=1
fi
[ $status -eq 0 ] && echo "installed: $bin, $man"
exit $status
