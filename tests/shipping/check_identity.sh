#!/bin/sh
# check_identity.sh NAME VERSION stripped|unstripped BINARY...
# Each binary carries "@(#)NAME VERSION" (what `what` and `strings` show) and
# has, or lacks, a symbol table as asked.
set -u
nm=${NM:-nm} # NM: another nm, e.g. llvm-nm for Mach-O files on Linux
name=$1 version=$2 expect=$3
shift 3
status=0
for binary in "$@"; do
  if strings -a "$binary" | grep -Fqx "@(#)$name $version"; then
    echo "$binary: identity '@(#)$name $version' found"
  else
    echo "$binary: no line '@(#)$name $version' in strings -a; it has: $(strings -a "$binary" | grep -F '@(#)' || echo nothing)"
    status=1
  fi
  # Defined symbols left in the symbol table; a stripped Mach-O executable
  # keeps __mh_execute_header, which dyld needs.
  # GNU and LLVM nm spell it --defined-only, older macOS nm only -U.
  if ! listing=$("$nm" --defined-only "$binary" 2>/dev/null || "$nm" -U "$binary" 2>/dev/null); then
    echo "$binary: $nm --defined-only failed"
    status=1
    continue
  fi
  # Symbol lines only ("address type name"): a universal file's listing also
  # has a heading per architecture.
  symbols=$(printf '%s\n' "$listing" | grep -E '^[[:xdigit:]]+ [[:alpha:]] ' | grep -cv ' __mh_execute_header$')
  if [ "$expect" = stripped ] && [ "$symbols" -ne 0 ]; then
    echo "$binary: expected stripped, but nm lists $symbols defined symbols"
    status=1
  elif [ "$expect" = unstripped ] && [ "$symbols" -eq 0 ]; then
    echo "$binary: expected a symbol table, but nm lists no defined symbol"
    status=1
  else
    echo "$binary: $expect ($symbols defined symbols)"
  fi
done
exit $status
