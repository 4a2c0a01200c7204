# Shared by the scripts that run the window under Xvfb: a private X display, runtime and
# config folders, and the simulated card. Source it; call xsession_start, then
# xsession_sim ARGS..., then xsession_window; everything ends when the script exits.
BIN=${BIN:-build/default/bin}
XSESSION_PIDS=()

xsession_cleanup() {
  for pid in "${XSESSION_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${XSESSION_DIR:-}" ] && rm -rf "$XSESSION_DIR"
}
trap xsession_cleanup EXIT

xsession_start() {
  XSESSION_DIR=$(mktemp -d /tmp/caddis-x-XXXXXX)
  export CADDIS_RUNTIME_DIR=$XSESSION_DIR/run CADDIS_CONFIG_DIR=$XSESSION_DIR/config
  # The window's default images are the build's made-up ones, for the simulated card; its
  # log of link errors stays with the session.
  export CADDIS_IMAGE_DIR="$(cd "$BIN/.." && pwd)/demo-images" CADDIS_LOG_DIR=$XSESSION_DIR
  local n
  for n in $(seq 90 140); do [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] || break; done
  export DISPLAY=:$n
  Xvfb "$DISPLAY" -screen 0 640x540x24 -nolisten tcp > /dev/null 2>&1 &
  XSESSION_PIDS+=($!)
  for _ in $(seq 100); do xdpyinfo > /dev/null 2>&1 && return 0; sleep 0.05; done
  echo "Xvfb did not start" >&2
  return 1
}

# xsession_sim COM ARGS...: starts the simulated card as port COM and waits for its port.
xsession_sim() {
  local com=$1
  shift
  "$BIN/caddis-card-sim" --com "$com" "$@" > "$XSESSION_DIR/sim.log" 2>&1 &
  XSESSION_PIDS+=($!)
  for _ in $(seq 200); do [ -e "$CADDIS_RUNTIME_DIR/ports/COM$com" ] && return 0; sleep 0.05; done
  echo "the simulated card did not register COM$com" >&2
  return 1
}

# xsession_window: starts the window (with the logging controls) and waits for its first
# paint, which the window stamps in a file; sets XSESSION_WINDOW_START_NS (just before the
# start) and XSESSION_FIRST_PAINT_NS (wall-clock nanoseconds, as `date +%s%N`).
xsession_window() {
  local stamp=$XSESSION_DIR/startup-stamp
  XSESSION_WINDOW_START_NS=$(date +%s%N)
  CADDIS_STARTUP_STAMP=$stamp "$BIN/caddis-updater" --log > "$XSESSION_DIR/window.log" 2>&1 &
  XSESSION_WINDOW_PID=$!
  XSESSION_PIDS+=($XSESSION_WINDOW_PID)
  for _ in $(seq 3000); do grep -q '^logging-controls' "$stamp" 2> /dev/null && break; sleep 0.01; done
  XSESSION_FIRST_PAINT_NS=$(awk '/^first-paint-ns/ {print $2}' "$stamp")
  if [ -z "$XSESSION_FIRST_PAINT_NS" ]; then
    echo "the window did not paint" >&2
    return 1
  fi
  XSESSION_WINDOW_ID=$(xdotool search --sync --onlyvisible --name '^CaddisTiva$' | head -n 1)
}

# xsession_choose_port: opens the port box and takes the first port after "<none>".
xsession_choose_port() {
  xdotool mousemove 226 53 click 1
  sleep 0.4
  xdotool key Down Return
}

# xsession_shot FILE: the window as a PNG.
xsession_shot() { import -window "$XSESSION_WINDOW_ID" "$1"; }
