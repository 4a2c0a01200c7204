#!/usr/bin/env bash
# Builds the tool and runs its main job: for now, the list of serial ports present.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default > /dev/null
cmake --build --preset default
echo "=== Serial ports present"
build/default/bin/caddis ports
