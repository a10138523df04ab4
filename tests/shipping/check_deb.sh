#!/bin/sh
# check_deb.sh PACKAGE VERSION
# The Debian package of brackwell-stamp holds exactly the tool, its manual
# page (compressed) and its copyright and changelog under /usr, and depends on
# nothing but the C and C++ runtimes.
set -u
deb=$1 version=$2
status=0
command -v dpkg-deb >/dev/null 2>&1 || { echo "dpkg-deb not found"; exit 1; }
[ -f "$deb" ] || { echo "$deb: no such package (run the package step first)"; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = brackwell-stamp ] || { echo "Package: '$(field Package)', expected brackwell-stamp"; status=1; }
[ "$(field Version)" = "$version" ] || { echo "Version: '$(field Version)', expected $version"; status=1; }

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | LC_ALL=C sort)
expected=$(printf '%s\n' ./usr/bin/brackwell-stamp ./usr/share/man/man1/brackwell-stamp.1.gz \
  ./usr/share/doc/brackwell-stamp/copyright ./usr/share/doc/brackwell-stamp/changelog.gz | LC_ALL=C sort)
if [ "$files" != "$expected" ]; then
  echo "files in the package:"; echo "$files"
  echo "expected exactly:"; echo "$expected"
  status=1
fi
if ! dpkg-deb -c "$deb" | awk '$NF == "./usr/bin/brackwell-stamp" { exit ($1 ~ /^-rwxr-xr-x$/) ? 0 : 1 }'; then
  echo "./usr/bin/brackwell-stamp is not mode 0755"
  status=1
fi

# Depends: "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)": every
# name must be one of the runtimes' packages (GNU's or LLVM's C++ runtime).
depends=$(field Depends)
if [ -z "$depends" ]; then
  echo "Depends is empty: the tool needs at least the C runtime"
  status=1
fi
names=$(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/^ *//; s/ *$//' | grep -v '^$')
outside=$(echo "$names" | grep -Ev '^(libc6|libgcc-s1|libstdc\+\+6|libc\+\+1(-[0-9]+)?|libc\+\+abi1(-[0-9]+)?|libunwind-[0-9]+)$')
if [ -n "$outside" ]; then
  echo "$outside" | while IFS= read -r name; do
    echo "depends on $name, which is not part of the C or C++ runtime"
  done
  status=1
fi
[ $status -eq 0 ] && echo "$deb: $(field Package) $(field Version) $(field Architecture); Depends: $depends; files: $(echo $files)"
exit $status
