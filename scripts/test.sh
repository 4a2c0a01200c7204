#!/usr/bin/env bash
# Builds and runs every test: the default build, then the AddressSanitizer+UBSan pass
# (with the bounded fuzz runs) and the ThreadSanitizer pass (everything that does not load
# Qt). Installs the Debian packages it needs when they are missing (see scripts/deps.sh).
#
#   scripts/test.sh            all three passes
#   scripts/test.sh --quick    the default build only
#   scripts/test.sh default asan    the passes named
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

passes=()
for arg in "$@"; do
  case "$arg" in
    --quick) passes=(default) ;;
    default|asan|tsan) passes+=("$arg") ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "unknown argument: $arg" >&2; exit 2 ;;
  esac
done
[ ${#passes[@]} -eq 0 ] && passes=(default asan tsan)

for preset in "${passes[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: tests"
  ctest --preset "$preset"
done
