#!/bin/sh
# check_lintian.sh PACKAGE...
# lintian, the check every Debian package passes, finds no error in any of
# the packages: no line of its output starts with "E:". Its warnings and notes
# are shown, and do not fail the check.
set -u
command -v lintian >/dev/null 2>&1 || { echo "lintian not found (scripts/install-deps.sh installs it)"; exit 1; }
[ $# -gt 0 ] || { echo "usage: check_lintian.sh PACKAGE..."; exit 2; }
status=0
for deb in "$@"; do
  if [ ! -f "$deb" ]; then
    echo "$deb: no such package (run the package step first)"
    status=1
    continue
  fi
  # --fail-on none: lintian's own status then says only whether it could run;
  # whether the package passed is in its E: lines.
  if ! findings=$(lintian --fail-on none --display-info "$deb" 2>&1); then
    echo "$findings"
    echo "$deb: lintian could not check it"
    status=1
    continue
  fi
  findings=$(printf '%s\n' "$findings" | grep -v '^running with root privileges is not recommended!$')
  [ -z "$findings" ] || printf '%s\n' "$findings"
  errors=$(printf '%s\n' "$findings" | grep -c '^E:')
  if [ "$errors" -ne 0 ]; then
    echo "$deb: lintian found $errors error(s)"
    status=1
  else
    echo "$deb: lintian found no error"
  fi
done
exit $status
