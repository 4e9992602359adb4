#!/usr/bin/env bash
# scripts/run on a machine without a display says so before it builds
# anything: a stand-in cmake on PATH records whether it was called.
set -u
source_dir=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/tree/scripts" "$tmp/bin"
cp "$source_dir/scripts/run" "$tmp/tree/scripts/run"
printf '#!/bin/sh\necho "$@" >> "%s/cmake.calls"\n' "$tmp" > "$tmp/bin/cmake"
chmod +x "$tmp/bin/cmake"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM PATH="$tmp/bin:$PATH" \
  "$tmp/tree/scripts/run" 2>&1)
rc=$?
status=0
if [ "$rc" -ne 1 ]; then echo "exit status $rc, expected 1"; status=1; fi
if ! grep -q "no display" <<<"$out"; then echo "no word of the missing display: $out"; status=1; fi
if [ -e "$tmp/cmake.calls" ]; then
  echo "cmake ran before the display was checked: $(cat "$tmp/cmake.calls")"
  status=1
fi
exit $status
