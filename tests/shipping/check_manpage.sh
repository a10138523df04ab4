#!/bin/sh
# check_manpage.sh PAGE...
# Each manual page passes mandoc's lint and, where groff is installed, renders
# through it without a warning. mandoc is required: a machine without it fails
# here instead of skipping the check.
set -u
status=0
if ! command -v mandoc >/dev/null 2>&1; then
  echo "mandoc not found (Debian: apt-get install mandoc)"
  exit 1
fi
for page in "$@"; do
  failed=0
  if ! mandoc -T lint -W warning "$page"; then
    echo "$page: mandoc -T lint reports the problems above"
    failed=1
  fi
  # groff is what man-db runs on Debian (groff-base, which
  # scripts/install-deps.sh installs); macOS 13 and later format manual pages
  # with mandoc alone.
  if command -v groff >/dev/null 2>&1; then
    warnings=$(groff -mandoc -ww -z -T utf8 "$page" 2>&1)
    if [ -n "$warnings" ]; then
      echo "$page: groff -mandoc -ww:"; echo "$warnings"
      failed=1
    fi
    checked="mandoc -T lint, groff -ww"
  else
    checked="mandoc -T lint (no groff here)"
  fi
  [ $failed -eq 0 ] && echo "$page: no warnings ($checked)"
  [ $failed -eq 0 ] || status=1
done
exit $status
