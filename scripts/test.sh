#!/usr/bin/env bash
# Builds and runs every test: the default build, then the AddressSanitizer+UBSan pass
# (with the bounded fuzz runs), the ThreadSanitizer pass (everything that does not load
# Qt) and the Windows pass (cross-built with mingw-w64, run under Wine). Installs the Debian
# packages it needs when they are missing (see scripts/deps.sh).
#
#   scripts/test.sh            all four passes
#   scripts/test.sh --quick    the default build only
#   scripts/test.sh default asan windows    the passes named
set -euo pipefail
cd "$(dirname "$0")/.."

passes=()
for arg in "$@"; do
  case "$arg" in
    --quick) passes=(default) ;;
    default|asan|tsan|windows) passes+=("$arg") ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "unknown argument: $arg" >&2; exit 2 ;;
  esac
done
[ ${#passes[@]} -eq 0 ] && passes=(default asan tsan windows)

if [[ " ${passes[*]} " == *" windows "* ]]; then
  scripts/deps.sh --windows
  # Wine's own prefix inside the build tree, started once and kept running for the whole
  # pass (each program would otherwise start and stop a Wine server: seconds per test).
  export WINEPREFIX="$PWD/build/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # The server goes first: "wineserver -p" fails while another server serves the prefix (a
  # left-over one is ended; wineboot would start a short-lived one of its own).
  mkdir -p "$WINEPREFIX"
  wineserver -k 2> /dev/null || true
  wineserver -p
  trap 'wineserver -k 2> /dev/null || true' EXIT
  wineboot -i > /dev/null 2>&1
  # No display here: windows (the device-notice window) use Wine's null graphics driver, or
  # no window can be made. The desktop started by the first boot keeps the driver it found, so
  # the server starts once more.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null 2>&1
  wineserver -k 2> /dev/null || true
  sleep 1
  wineserver -p
  wineboot -i > /dev/null 2>&1
else
  scripts/deps.sh
fi

for preset in "${passes[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset"
  if [ "$preset" = windows ]; then
    # caddis.exe's end-to-end tests run against the Linux simulated card.
    cmake --preset default > /dev/null
    cmake --build --preset default --target caddis-card-sim
  fi
  echo "=== $preset: tests"
  ctest --preset "$preset"
done
