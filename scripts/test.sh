#!/usr/bin/env bash
# Builds and runs every test: the default build, then the AddressSanitizer+UBSan pass
# (with the bounded fuzz runs), the ThreadSanitizer pass (everything that does not load
# Qt), the Windows pass (cross-built with mingw-w64, run under Wine) and the VM pass (the
# default build's programs against the real Linux USB stack in a virtual machine, see
# scripts/vm-test.sh). Installs the Debian packages it needs when they are missing (see
# scripts/deps.sh).
#
#   scripts/test.sh            all five passes
#   scripts/test.sh --quick    the default build only
#   scripts/test.sh default asan windows    the passes named
set -euo pipefail
cd "$(dirname "$0")/.."

passes=()
for arg in "$@"; do
  case "$arg" in
    --quick) passes=(default) ;;
    default|asan|tsan|windows|vm) passes+=("$arg") ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "unknown argument: $arg" >&2; exit 2 ;;
  esac
done
[ ${#passes[@]} -eq 0 ] && passes=(default asan tsan windows vm)

if [[ " ${passes[*]} " == *" windows "* ]]; then
  scripts/deps.sh --windows
  # Wine's own prefix inside the build tree, with its server kept running for the whole pass.
  . scripts/wine-session.sh
  wine_session_start
else
  scripts/deps.sh
fi

# Runs "$@" as on a machine started a minute ago: in a time namespace whose steady and boot
# clocks read one minute, so code (or a test's made-up clock) that counts on "now" lying far
# from the clocks' start fails here as it would on such a machine. As root (CI) the
# namespace is required; another user gets it through a user namespace of their own where
# the system allows one, and otherwise runs on the machine's own clocks with a warning.
with_short_uptime() {
  local up offset
  up=$(cut -d. -f1 /proc/uptime)
  offset=$(( up > 60 ? up - 60 : 0 ))
  local ns=(unshare --time --monotonic "-$offset" --boottime "-$offset")
  [ "$(id -u)" -eq 0 ] || ns=(unshare --user --map-current-user --time --monotonic "-$offset"
                              --boottime "-$offset")
  local why
  if ! why=$("${ns[@]}" true 2>&1); then
    if [ "$(id -u)" -eq 0 ]; then
      echo "scripts/test.sh: cannot run the tests with a one-minute uptime: $why" >&2
      return 1
    fi
    echo "scripts/test.sh: warning: the tests run on this machine's own clocks, not with a" \
         "one-minute uptime ($why)" >&2
    "$@"
    return
  fi
  "${ns[@]}" "$@"
}

for preset in "${passes[@]}"; do
  if [ "$preset" = vm ]; then
    echo "=== vm: configure and build (default)"
    cmake --preset default > /dev/null
    cmake --build --preset default
    scripts/vm-test.sh build/default
    continue
  fi
  echo "=== $preset: configure and build"
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset"
  if [ "$preset" = windows ]; then
    # caddis.exe's end-to-end tests run against the Linux simulated card.
    cmake --preset default > /dev/null
    cmake --build --preset default --target caddis-card-sim
  fi
  echo "=== $preset: tests"
  if [ "$preset" = default ]; then
    with_short_uptime ctest --preset default
  else
    # The other passes keep the machine's clocks. The Windows pass could not simply join the
    # namespace: its wineserver, started once for the whole pass, lives outside it, and a
    # Wine program whose clocks differ from its server's has every timed wait end at once
    # (a 200 ms wait returns after 0 ms) and tick counts that disagree with its steady
    # clock. A server started inside the same namespace as the programs serves them right.
    ctest --preset "$preset"
  fi
done
