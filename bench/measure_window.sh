#!/usr/bin/env bash
# Measures the window under Xvfb against the simulated card: start-up time until the window
# is mapped, resident memory, and CPU used while idle with a port open (the 10 ms main loop
# and the port's I/O thread). Prints one line per measure.
#   bench/measure_window.sh [IDLE_SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
idle=${1:-10}
. scripts/xsession.sh
xsession_start
xsession_sim 5 --device-id 17 --firmware 3
xsession_window
startup_ms=$(echo "($XSESSION_WINDOW_SHOWN - $XSESSION_WINDOW_START) * 1000" | bc)
xsession_choose_port
sleep 3  # the card identifies itself; the display refreshes from the 101st tick

ticks() { awk '{print $14 + $15}' "/proc/$XSESSION_WINDOW_PID/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$idle"
after=$(ticks)
rss_kb=$(awk '/VmRSS/ {print $2}' "/proc/$XSESSION_WINDOW_PID/status")
cpu_pct=$(echo "scale=2; 100 * ($after - $before) / $hz / $idle" | bc)
printf 'start-up to mapped window: %.0f ms\n' "$startup_ms"
printf 'resident memory with a port open: %d KiB\n' "$rss_kb"
printf 'CPU while idle with a port open: %s %% of one core over %s s\n' "$cpu_pct" "$idle"
