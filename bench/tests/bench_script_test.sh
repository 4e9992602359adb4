#!/usr/bin/env bash
# scripts/bench names a benchmark that ended with an error as failed, though
# its program exits 0: it runs on a copy of the script with a stand-in cmake
# and the probe program as the only benchmark.
set -u
source_dir=$1
probe=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/tree/scripts" "$tmp/tree/build/bench/bin" "$tmp/bin"
cp "$source_dir/scripts/bench" "$tmp/tree/scripts/bench"
ln -s "$probe" "$tmp/tree/build/bench/bin/probe_bench"
printf '#!/bin/sh\nexit 0\n' >"$tmp/bin/cmake"
chmod +x "$tmp/bin/cmake"
status=0
check() { # expected exit status, expected text, arguments
  local want=$1 text=$2 out rc
  shift 2
  out=$(PATH="$tmp/bin:$PATH" "$tmp/tree/scripts/bench" "$@" 2>&1)
  rc=$?
  if [ "$rc" -ne "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
    echo "bench $*: exit status $rc (expected $want), no \"$text\" in:"
    echo "$out"
    status=1
  fi
}
check 0 "=== every benchmark ran" --benchmark_filter=BM_Fine
check 1 "=== probe_bench failed: BM_Broken ended with an error"
check 2 "--benchmark_out is taken" --benchmark_out=x.json
exit $status
