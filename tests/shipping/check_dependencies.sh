#!/bin/sh
# check_dependencies.sh BINARY...
# Every library each binary loads at launch (ldd on ELF systems, otool -L on
# macOS) must belong to the C or C++ runtime: the binary is copied onto
# machines that have nothing else, tinyxml2 least of all.
set -u
status=0

if command -v otool >/dev/null 2>&1; then
  list() { otool -L "$1" | sed -n 's/^[[:space:]]\{1,\}\([^ ]*\) (compatibility.*/\1/p'; }
  # libSystem (the C runtime, libunwind included) and the system's libc++.
  allowed='^/usr/lib/(libSystem\.B|libc\+\+\.1|libc\+\+abi)\.dylib$'
elif command -v ldd >/dev/null 2>&1; then
  # "name => path (address)", "path (address)" or "name => not found".
  list() {
    ldd "$1" | awk '$2 == "=>" && $3 == "not" { print $1 " (not found)"; next } { print $1 }'
  }
  # glibc (with the kernel's vDSO and the dynamic loader), and either C++
  # runtime: GNU's (libstdc++, libgcc_s) or LLVM's (libc++, libc++abi and the
  # libunwind that libc++abi throws through).
  allowed='^(linux-vdso\.so\.1|linux-gate\.so\.1|(/[^ ]*/)?ld-linux[^/ ]*\.so\.[0-9]+|lib(c\.so\.6|m\.so\.6|pthread\.so\.0|dl\.so\.2|rt\.so\.1|stdc\+\+\.so\.6|gcc_s\.so\.1|c\+\+\.so\.1|c\+\+abi\.so\.1|unwind\.so\.1))$'
else
  echo "neither otool nor ldd found: cannot list what the binaries load"
  exit 1
fi

# A sanitized build also loads the sanitizers' runtimes; the caller names
# them in BRACKWELL_ALSO_ALLOWED (an extended regular expression).
if [ -n "${BRACKWELL_ALSO_ALLOWED:-}" ]; then
  allowed="$allowed|$BRACKWELL_ALSO_ALLOWED"
fi

for binary in "$@"; do
  libraries=$(list "$binary") || { echo "$binary: cannot list its libraries"; status=1; continue; }
  if [ -z "$libraries" ]; then
    echo "$binary: no libraries listed; expected at least the C runtime"
    status=1
    continue
  fi
  echo "$binary loads:"
  echo "$libraries" | sed 's/^/  /'
  outside=$(echo "$libraries" | grep -Ev "$allowed")
  if [ -n "$outside" ]; then
    echo "$outside" | while IFS= read -r library; do
      echo "$binary needs $library, which is not part of the C or C++ runtime"
    done
    status=1
  fi
done
exit $status
