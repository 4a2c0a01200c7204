#!/usr/bin/env bash
# Builds the tool (unless the tree is built) and runs it against the simulated card, started
# as port COM5.
#   scripts/demo.sh              the window when a display is present, else the headless demo
#   scripts/demo.sh --headless   the command-line demo: status, an FPGA update with progress,
#                                and the whole firmware update over the virtual USB bus
# The simulated card answers over an emulated 115200-baud wire, with the real card's timing.
# Installs the Debian packages it needs when they are missing (see scripts/deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
headless=false
case "${1:-}" in
  --headless) headless=true ;;
  "") ;;
  -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
  *) echo "unknown argument: $1" >&2; exit 2 ;;
esac
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || headless=true

bin=build/default/bin
# A built tree starts at once; otherwise the packages, the configuration and the build first.
needed=("$bin/caddis" "$bin/caddis-card-sim" build/default/demo-images/SkerryFPGA.bit
        build/default/demo-images/SkerryTiva.dfu)
$headless || needed+=("$bin/caddis-updater")
built=true
for file in "${needed[@]}"; do [ -e "$file" ] || built=false; done
if ! $built; then
  scripts/deps.sh
  cmake --preset default > /dev/null
  cmake --build --preset default
fi

# A private runtime folder: the simulated card's port and virtual USB bus live there. The
# programs take their default images from the build's made-up ones, which only this variable
# points them at (an installed tool has none).
work=$(mktemp -d /tmp/caddis-demo-XXXXXX)
export CADDIS_RUNTIME_DIR=$work/run CADDIS_CONFIG_DIR=$work/config CADDIS_LOG_DIR=$work
export CADDIS_IMAGE_DIR=$PWD/build/default/demo-images
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2> /dev/null && wait "$sim_pid" 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The card's real timing: every byte takes its time on an emulated 115200-baud wire.
"$bin/caddis-card-sim" --com 5 --device-id 17 --firmware 1 --fpga-version 0104052026 \
  --wire-baud 115200 > "$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$CADDIS_RUNTIME_DIR/ports/COM5" ] && break; sleep 0.05; done

if ! $headless; then
  echo "The simulated card is port COM5. Choose \"5 pts/...\" in the window's COM Port box."
  "$bin/caddis-updater" --log
  exit 0
fi

step() { printf '\n=== %s\n' "$*"; }
step "caddis ports"
"$bin/caddis" ports
step "caddis status --port 5"
"$bin/caddis" status --port 5
step "caddis update-fpga --port 5   (the build's made-up demo bitstream)"
"$bin/caddis" update-fpga --port 5
step "caddis update-firmware --port 5   (Boot, the boot loader on USB, download, the card back)"
"$bin/caddis" update-firmware --port 5
step "caddis status --port 5   (the card is back with the firmware version of the image)"
"$bin/caddis" status --port 5
