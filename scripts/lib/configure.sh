# shellcheck shell=bash
# Configures one flavour of the tree into build/<flavour>: the one way every
# script that builds there does it, so that each reuses what another built.
# Sourced from the tree's root (scripts/build, scripts/run):
#   configure_flavour normal|asan|tsan [extra cmake args...]
configure_flavour() {
  local flavour=$1 san werror=OFF
  shift
  case "$flavour" in
    normal) san="" ;;
    asan) san="address" ;;
    tsan) san="thread" ;;
    *) echo "build: unknown flavour '$flavour' (normal, asan, tsan)" >&2; return 2 ;;
  esac
  if [ -n "${CI:-}" ]; then werror=ON; fi
  # ccache, where installed, makes rebuilds in several checkouts cheap; CI has
  # none. Named either way, so that a tree configured before ccache came or
  # went follows it.
  local launcher=""
  if command -v ccache >/dev/null 2>&1; then launcher=ccache; fi
  cmake -S . -B "build/$flavour" -G Ninja -DVELDON_SANITIZE="$san" -DVELDON_WERROR="$werror" \
    -DCMAKE_C_COMPILER_LAUNCHER="$launcher" -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" "$@" >/dev/null
}
