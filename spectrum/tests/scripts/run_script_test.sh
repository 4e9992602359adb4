#!/usr/bin/env bash
# scripts/run in a copy of the scripts, with stand-ins for cmake, ccache and
# the program that record how they were called.
#   run_script_test.sh <source dir> no-display|configure|settings
#   no-display  without a display it says so before it builds anything
#   configure   it configures build/normal exactly as scripts/build does, with
#               ccache installed and without, so either reuses the other's work
#   settings    the program's spectrum.ini goes to build/normal/run unless
#               VELDON_REVADUVO_DIR was set
set -u
source_dir=$1
case_name=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tree=$tmp/tree
mkdir -p "$tree/scripts/lib" "$tree/build/normal/bin" "$tmp/bin" "$tmp/tools"
cp "$source_dir/scripts/run" "$source_dir/scripts/build" "$tree/scripts/"
cp "$source_dir"/scripts/lib/*.sh "$tree/scripts/lib/"
printf '#!/bin/sh\necho "$@" >> "%s/cmake.calls"\n' "$tmp" > "$tmp/bin/cmake"
printf '#!/bin/sh\necho "VELDON_REVADUVO_DIR=$VELDON_REVADUVO_DIR" > "%s/program.env"\n' "$tmp" \
  > "$tree/build/normal/bin/Revaduvo"
chmod +x "$tmp/bin/cmake" "$tree/build/normal/bin/Revaduvo"
# Only these tools: whether ccache is installed is the test's choice.
for tool in bash dirname mkdir; do ln -s "$(command -v "$tool")" "$tmp/tools/$tool"; done
path=$tmp/bin:$tmp/tools
status=0
fail() { echo "$*"; status=1; }

# Runs scripts/run and then scripts/build normal; the arguments each gave
# cmake to configure are left in calls.
configure_calls() {
  rm -f "$tmp/cmake.calls"
  env PATH="$path" VELDON_JOBS=1 QT_QPA_PLATFORM=offscreen "$tree/scripts/run" >/dev/null 2>&1 ||
    fail "scripts/run failed"
  env PATH="$path" VELDON_JOBS=1 "$tree/scripts/build" normal >/dev/null 2>&1 ||
    fail "scripts/build failed"
  mapfile -t calls < <(grep -e ' -B ' "$tmp/cmake.calls")
}

case $case_name in
  no-display)
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM PATH="$path" \
      "$tree/scripts/run" 2>&1)
    rc=$?
    if [ "$rc" -ne 1 ]; then fail "exit status $rc, expected 1"; fi
    if ! grep -q "no display" <<<"$out"; then fail "no word of the missing display: $out"; fi
    if [ -e "$tmp/cmake.calls" ]; then
      fail "cmake ran before the display was checked: $(cat "$tmp/cmake.calls")"
    fi ;;
  configure)
    for ccache in installed missing; do
      rm -f "$tmp/bin/ccache"
      if [ $ccache = installed ]; then
        printf '#!/bin/sh\nexec "$@"\n' > "$tmp/bin/ccache"
        chmod +x "$tmp/bin/ccache"
      fi
      configure_calls
      if [ ${#calls[@]} -ne 2 ]; then
        fail "ccache $ccache: expected one configure by each script: ${calls[*]}"
      elif [ "${calls[0]}" != "${calls[1]}" ]; then
        fail "ccache $ccache: scripts/run configured with '${calls[0]}'," \
          "scripts/build with '${calls[1]}'"
      elif [ $ccache = installed ] && ! grep -q -e "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache" <<<"${calls[0]}"; then
        fail "configured without the installed ccache: ${calls[0]}"
      fi
    done ;;
  settings)
    for given in "" "$tmp/own"; do
      rm -f "$tmp/program.env"
      own=(-u VELDON_REVADUVO_DIR)
      if [ -n "$given" ]; then own=(VELDON_REVADUVO_DIR="$given"); fi
      env "${own[@]}" PATH="$path" VELDON_JOBS=1 QT_QPA_PLATFORM=offscreen \
        "$tree/scripts/run" >/dev/null 2>&1 || fail "scripts/run failed"
      expected=${given:-$tree/build/normal/run}
      if [ "$(cat "$tmp/program.env" 2>/dev/null)" != "VELDON_REVADUVO_DIR=$expected" ]; then
        fail "set '$given': the program had $(cat "$tmp/program.env" 2>/dev/null), expected $expected"
      fi
    done ;;
  *) fail "unknown case $case_name" ;;
esac
exit $status
