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
  # Wine's own prefix inside the build tree, with its server kept running for the whole pass.
  . scripts/wine-session.sh
  wine_session_start
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
