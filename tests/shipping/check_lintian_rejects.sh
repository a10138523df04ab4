#!/bin/sh
# check_lintian_rejects.sh CHECK_LINTIAN PACKAGE
# The lintian check refuses a package that lacks its copyright file: PACKAGE
# is rebuilt without usr/share/doc/<package>/copyright (and its md5sums line),
# and check_lintian.sh must fail on it, naming lintian's no-copyright-file.
set -u
check=$1 deb=$2
[ -f "$deb" ] || { echo "$deb: no such package (run the package step first)"; exit 1; }
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
dpkg-deb -R "$deb" "$work/root" || exit 1
package=$(dpkg-deb -f "$deb" Package)
copyright=usr/share/doc/$package/copyright
[ -f "$work/root/$copyright" ] || { echo "$deb has no $copyright to take away"; exit 1; }
rm -- "$work/root/$copyright"
grep -v "  $copyright\$" "$work/root/DEBIAN/md5sums" >"$work/md5sums"
cat "$work/md5sums" >"$work/root/DEBIAN/md5sums"
dpkg-deb --root-owner-group -b "$work/root" "$work/without-copyright.deb" >/dev/null || exit 1

findings=$(sh "$check" "$work/without-copyright.deb")
status=$?
echo "$findings"
if [ $status -eq 0 ]; then
  echo "check_lintian.sh passed a package without $copyright"
  exit 1
fi
if ! printf '%s\n' "$findings" | grep -q "^E: $package: no-copyright-file"; then
  echo "check_lintian.sh failed, but lintian did not name no-copyright-file"
  exit 1
fi
echo "check_lintian.sh refuses $package without $copyright"
