#!/usr/bin/env bash
# Runs one fuzz target for a fixed time and fails on any finding.
#
#   fuzz/run_fuzzer.sh <fuzz binary> <target name> <seconds> <findings dir> [<dictionary>]
#
# The target starts from its committed corpus (fuzz/corpus/<name>) and its
# committed findings (fuzz/regressions/<name>), so every finding fixed earlier
# is tried again first. New inputs go to a temporary copy of the corpus: the
# repository is never written to. A crash, a leak, a timeout (10 s for one
# input) or a failed check leaves its input in <findings dir> and a non-zero
# exit status.
set -euo pipefail
binary=$1
name=$2
seconds=$3
findings=$4
dictionary=${5:-}
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d --tmpdir "brackwell-fuzz-$name.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -R "$here/corpus/$name" "$work/corpus"
mkdir -p "$findings"

options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
         -artifact_prefix="$findings/")
if [ -n "$dictionary" ]; then
  options+=(-dict="$dictionary")
fi
inputs=("$work/corpus")
if [ -d "$here/regressions/$name" ]; then
  inputs+=("$here/regressions/$name")
fi

if ! "$binary" "${options[@]}" "${inputs[@]}"; then
  echo "fuzz_$name: finding kept in $findings" >&2
  exit 1
fi
