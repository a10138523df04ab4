#!/bin/sh
# check_install.sh CMAKE BUILD_DIR CONFIG INSTALLED=SOURCE...
# Installs the build into a fresh prefix; it must hold exactly the INSTALLED
# paths (relative to the prefix), each identical to its SOURCE (the built
# binary, executable, or the manual page).
set -u
cmake=$1 build=$2 config=$3
shift 3
prefix=$(mktemp -d) || exit 1
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --config "$config" --prefix "$prefix" || exit 1

status=0
found=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
expected=$(for pair in "$@"; do echo "${pair%%=*}"; done | LC_ALL=C sort)
if [ "$found" != "$expected" ]; then
  echo "installed files:"; echo "$found"
  echo "expected exactly:"; echo "$expected"
  status=1
fi
for pair in "$@"; do
  installed=${pair%%=*} source=${pair#*=}
  case $installed in
    */bin/*|bin/*)
      if [ ! -x "$prefix/$installed" ]; then
        echo "$installed is not executable"
        status=1
      fi ;;
  esac
  if ! cmp "$source" "$prefix/$installed"; then
    echo "$installed is not $source"
    status=1
  fi
done
[ $status -eq 0 ] && echo "installed: $expected" | tr '\n' ' ' && echo
exit $status
