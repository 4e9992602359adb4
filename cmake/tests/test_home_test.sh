#!/usr/bin/env bash
# test_home_test.sh probe: writes into the configuration folder as Qt's
# dialogs do (XDG_CONFIG_HOME, else ~/.config).
# test_home_test.sh check <ctest> <folder>: runs the probe by ctest in that
# folder of the build tree, from a shell whose home is an empty folder and
# which has none of the test run's folders set, both by `cd` and by
# --test-dir; the home folder must stay empty.
set -u
if [ "$1" = probe ]; then
  config=${XDG_CONFIG_HOME:-$HOME/.config}
  mkdir -p "$config" && echo probe >"$config/veldon-probe.conf"
  exit
fi
ctest=$2
folder=$3
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
status=0
for way in cd test-dir; do
  if [ "$way" = cd ]; then
    run=(sh -c 'cd "$1" && shift && exec "$@"' sh "$folder" "$ctest")
  else
    run=("$ctest" --test-dir "$folder")
  fi
  out=$(env -u VELDON_TEST_SCRATCH -u XDG_CONFIG_HOME -u XDG_CACHE_HOME -u XDG_DATA_HOME \
    -u XDG_STATE_HOME -u XDG_RUNTIME_DIR -u VELDON_USER_CONFIG -u VELDON_MACHINE_CONFIG \
    -u VELDON_REVADUVO_DIR HOME="$home" "${run[@]}" -R '^test_home_probe$' --no-tests=error 2>&1)
  rc=$?
  written=$(cd "$home" && find . -mindepth 1)
  if [ "$rc" -ne 0 ] || [ -n "$written" ]; then
    echo "ctest by $way in $folder: exit status $rc, written into the home folder:"
    echo "${written:-  nothing}"
    echo "$out"
    status=1
  fi
  find "$home" -mindepth 1 -delete
done
exit $status
