#!/bin/sh
# check_deb.sh PACKAGE NAME VERSION REQUIRED ALSO_ALLOWED PATH=MODE...
# A Debian package of ours is NAME at VERSION, holds exactly the files PATH
# (as dpkg-deb -c lists them: ./usr/...), each with its MODE (-rwxr-xr-x),
# and depends on the C and C++ runtimes and nothing else but the packages
# named in REQUIRED, which it must depend on, and in ALSO_ALLOWED, which it
# may (space-separated names; either may be empty).
set -u
deb=$1 name=$2 version=$3 required=$4 also_allowed=$5
shift 5
status=0
command -v dpkg-deb >/dev/null 2>&1 || { echo "dpkg-deb not found"; exit 1; }
[ -f "$deb" ] || { echo "$deb: no such package (run the package step first)"; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$name" ] || { echo "Package: '$(field Package)', expected $name"; status=1; }
[ "$(field Version)" = "$version" ] || { echo "Version: '$(field Version)', expected $version"; status=1; }

listing=$(dpkg-deb -c "$deb")
files=$(echo "$listing" | awk '$1 !~ /^d/ { print $NF }' | LC_ALL=C sort)
expected=$(for entry in "$@"; do echo "${entry%=*}"; done | LC_ALL=C sort)
if [ "$files" != "$expected" ]; then
  echo "files in the package:"; echo "$files"
  echo "expected exactly:"; echo "$expected"
  status=1
fi
for entry in "$@"; do
  path=${entry%=*} mode=${entry##*=}
  actual=$(echo "$listing" | awk -v p="$path" '$NF == p { print $1 }')
  if [ -n "$actual" ] && [ "$actual" != "$mode" ]; then
    echo "$path is $actual, expected $mode"
    status=1
  fi
done

# Depends: "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)": every
# name must be one of the runtimes' packages (GNU's or LLVM's C++ runtime),
# or named by the caller.
depends=$(field Depends)
if [ -z "$depends" ]; then
  echo "Depends is empty: it needs at least the C runtime"
  status=1
fi
names=$(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/^ *//; s/ *$//' | grep -v '^$')
for needed in $required; do
  echo "$names" | grep -Fqx "$needed" || { echo "does not depend on $needed"; status=1; }
done
outside=$(echo "$names" | grep -Ev '^(libc6|libgcc-s1|libstdc\+\+6|libc\+\+1(-[0-9]+)?|libc\+\+abi1(-[0-9]+)?|libunwind-[0-9]+)$')
for name_ in $outside; do
  case " $required $also_allowed " in
    *" $name_ "*) ;;
    *)
      echo "depends on $name_, which is neither part of the C or C++ runtime nor one of: $required $also_allowed"
      status=1
      ;;
  esac
done
[ $status -eq 0 ] && echo "$deb: $(field Package) $(field Version) $(field Architecture); Depends: $depends; files: $(echo $files)"
exit $status
