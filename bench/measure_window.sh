#!/usr/bin/env bash
# Measures the window under Xvfb against the simulated card:
#   - start-up to first paint: from just before the program starts to the end of the window's
#     first paint, which the window stamps when CADDIS_STARTUP_STAMP names a file;
#   - that the chosen port really is open (the window holds the card's pseudo-terminal);
#   - peak resident memory (VmHWM) with the port open and the card identified;
#   - CPU while idle with the port open (the scheduler's nanosecond account of every thread),
#     beside an empty 10 ms Qt timer loop measured over the same seconds, so machine load shows
#     in both; the loop is the floor, since the window must wake every 10 ms.
#   bench/measure_window.sh [IDLE_SECONDS]
# Needs a default build and scripts/deps.sh --extras.
set -euo pipefail
cd "$(dirname "$0")/.."
idle=${1:-20}
. scripts/xsession.sh
xsession_start
xsession_sim 5 --device-id 17 --firmware 3
xsession_window
startup_ms=$(echo "scale=1; ($XSESSION_FIRST_PAINT_NS - $XSESSION_WINDOW_START_NS) / 1000000" | bc)
xsession_choose_port
sleep 3  # the card identifies itself; the display refreshes from the 101st tick

# The port is open when the window holds the device the port link points at.
device=$(readlink -f "$CADDIS_RUNTIME_DIR/ports/COM5")
held=no
for fd in /proc/"$XSESSION_WINDOW_PID"/fd/*; do
  [ "$(readlink -f "$fd" 2> /dev/null)" = "$device" ] && held=yes && break
done
if [ "$held" != yes ]; then
  echo "the window did not open COM5 ($device)" >&2
  exit 1
fi

"$BIN/bench_qt_timer_loop" > /dev/null 2>&1 &
loop_pid=$!
XSESSION_PIDS+=($loop_pid)
sleep 1

# CPU time in nanoseconds over every thread, from the scheduler's own account: utime and stime
# in /proc/PID/stat are sampled at the 100 Hz clock tick, too coarse for well under 1 % of a core.
ticks() { cat /proc/"$1"/task/*/schedstat | awk '{ns += $1} END {printf "%d\n", ns}'; }
window_before=$(ticks "$XSESSION_WINDOW_PID")
loop_before=$(ticks "$loop_pid")
sleep "$idle"
window_after=$(ticks "$XSESSION_WINDOW_PID")
loop_after=$(ticks "$loop_pid")
pct() { echo "scale=2; 100 * ($2 - $1) / 1000000000 / $idle" | bc; }
hwm_kb=$(awk '/VmHWM/ {print $2}' "/proc/$XSESSION_WINDOW_PID/status")
printf 'start-up to first paint: %s ms\n' "$startup_ms"
printf 'port COM5 open: %s (%s)\n' "$held" "$device"
printf 'peak resident memory (VmHWM) with the port open: %d KiB\n' "$hwm_kb"
printf 'CPU while idle with the port open, over the same %s s: window %s %%, empty 10 ms Qt timer loop %s %% of one core\n' \
  "$idle" "$(pct "$window_before" "$window_after")" "$(pct "$loop_before" "$loop_after")"
