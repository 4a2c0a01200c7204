#!/usr/bin/env bash
# Makes the README's screenshots: the window under Xvfb against the simulated card, while
# connected, during an FPGA update, and the firmware update dialog ready for confirmation,
# mid-download and after success; then the Windows build's window under Wine (its X11
# driver, on the same kind of display) against the same card, connected.
#   scripts/screenshots.sh [OUTPUT_FOLDER]      (default docs/screenshots)
# Needs a default build and scripts/deps.sh --extras (xdotool, ImageMagick, fonts-wine); the
# Windows shot needs the windows preset's build too, and is left out without it.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshots}
mkdir -p "$out"
. scripts/xsession.sh
xsession_start
# A slow boot loader, so the download can be seen.
xsession_sim 5 --device-id 17 --firmware 1 --fpga-version 0104052026 --dfu-block-ms 150
xsession_window
xsession_choose_port
sleep 3
xsession_shot "$out/window.png"

click() { xdotool mousemove "$1" "$2" click 1; }
log_has() { grep -q "$1" "$XSESSION_DIR/sim.log"; }
wait_for() {  # wait_for SECONDS COMMAND...: until COMMAND succeeds
  local limit=$1
  shift
  for _ in $(seq $((limit * 10))); do "$@" && return 0; sleep 0.1; done
  echo "timed out waiting for: $*" >&2
  return 1
}

click 345 85  # "Update FPGA"
sleep 2
xsession_shot "$out/fpga-update.png"
wait_for 30 log_has "FPGA image received"
sleep 4  # the restart that follows a successful update, and the card back

click 302 52  # "Update Firmware": Boot, then the dialog 101 ticks later
wait_for 20 log_has "DFU device"
sleep 3  # the dialog's search finds the boot loader and asks for confirmation
xsession_shot "$out/dfu-ready.png"
click $((96 + 93)) $((36 + 146))  # the dialog's "Confirm"
sleep 2
xsession_shot "$out/dfu-download.png"
wait_for 30 log_has "new firmware version"
# The dialog has shown its final state and the window waits 5 s for the card to restart,
# without handling any event meanwhile: what is on screen now was painted before the wait.
sleep 2
xsession_shot "$out/dfu-success.png"
kill "$XSESSION_WINDOW_PID"

# The window built for Windows, under Wine. Its prefix (build/wine-x11, made once) draws on
# the X display, unlike the tests' prefix, which has no display; the card is its COM5.
updater_exe=build/windows/bin/caddis-updater.exe
if [ ! -f "$updater_exe" ]; then
  echo "window-wine.png not made: no $updater_exe (cmake --preset windows && cmake --build --preset windows)"
  echo "screenshots in $out"
  exit 0
fi
. scripts/wine-session.sh
. tests/wine/sim-port.sh
export WINEPREFIX="$PWD/build/wine-x11"
trap 'sim_port_stop; xsession_cleanup; wineserver -k > /dev/null 2>&1 || true' EXIT
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i > /dev/null 2>&1
wine_prefix_like_windows
sim_port_start "$BIN/caddis-card-sim" 5 --device-id 17 --firmware 1 --fpga-version 0104052026
stamp=$XSESSION_DIR/wine-stamp
CADDIS_STARTUP_STAMP=$(winepath -w "$stamp") wine "$updater_exe" --log > "$XSESSION_DIR/wine.log" 2>&1 &
XSESSION_PIDS+=($!)
wait_for 120 grep -qs '^platform windows' "$stamp"
XSESSION_WINDOW_ID=$(xdotool search --sync --onlyvisible --name '^CaddisTiva$' | head -n 1)
sleep 1
xdotool mousemove --window "$XSESSION_WINDOW_ID" 226 53 click 1  # the port box
sleep 0.5
xdotool type 5  # the card's port, COM5
xdotool key Return
sleep 3
xsession_shot "$out/window-wine.png"
echo "screenshots in $out"
