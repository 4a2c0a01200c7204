# The Linux simulated card as a COM port of the Wine prefix: its pseudo-terminal becomes
# Wine's COM<n> (a dosdevices link) and is listed in the registry's SERIALCOMM, so a Windows
# program finds and opens it exactly as it would a real port. Sourced by the tests that run
# Windows programs against the card; needs WINEPREFIX set to a prepared prefix whose server
# is running.
#   sim_port_start SIM COM [SIM ARGS...]   starts the card; its work folder is $sim_work, the
#                                          FPGA images it receives go to $sim_work/received.bit
#   sim_port_stop                          ends it and takes the port out of the prefix
#                                          (also done when the shell exits)
sim_pid=
sim_follower_pid=
sim_com=
sim_work=
serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'

# Safe in a script that stops at the first failure (set -e): nothing here fails.
sim_port_stop() {
  local pid
  for pid in $sim_pid $sim_follower_pid; do
    kill "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
  done
  sim_pid=
  sim_follower_pid=
  if [ -n "$sim_com" ]; then
    wine reg delete "$serialcomm" /v "CaddisSim$sim_com" /f > /dev/null 2>&1 || true
    rm -f "$WINEPREFIX/dosdevices/com$sim_com"
  fi
  if [ -n "$sim_work" ]; then rm -rf "$sim_work"; fi
  sim_com=
  sim_work=
}
trap sim_port_stop EXIT

# A restarting card comes back on a new pseudo-terminal; Windows keeps an adapter's COM number
# for it, so the link follows the card's port entry (and is absent while the card is away).
_sim_follow_port() {
  local target
  while kill -0 "$sim_pid" 2> /dev/null; do
    target=$(readlink "$sim_work/run/ports/COM$sim_com" 2> /dev/null) || target=
    if [ -z "$target" ]; then
      rm -f "$WINEPREFIX/dosdevices/com$sim_com"
    elif [ "$(readlink "$WINEPREFIX/dosdevices/com$sim_com" 2> /dev/null)" != "$target" ]; then
      ln -sfn "$target" "$WINEPREFIX/dosdevices/com$sim_com"
    fi
    sleep 0.05
  done
}

sim_port_start() {
  local sim=$1 com=$2
  shift 2
  [ -x "$sim" ] || { echo "no simulated card at $sim (build the default preset's caddis-card-sim)"; return 1; }
  [ -n "${WINEPREFIX:-}" ] || { echo "WINEPREFIX is not set"; return 1; }
  sim_com=$com
  sim_work=$(mktemp -d /tmp/caddis-wine-XXXXXX)
  # The simulator's folders are Linux paths; the Windows program must use its own.
  CADDIS_RUNTIME_DIR=$sim_work/run CADDIS_CONFIG_DIR=$sim_work/config \
    "$sim" --com "$com" --fpga-out "$sim_work/received.bit" "$@" > "$sim_work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 200); do [ -L "$sim_work/run/ports/COM$com" ] && break; sleep 0.05; done
  readlink "$sim_work/run/ports/COM$com" > /dev/null || { echo "the simulated card did not start"; return 1; }
  _sim_follow_port &
  sim_follower_pid=$!
  for _ in $(seq 100); do [ -L "$WINEPREFIX/dosdevices/com$com" ] && break; sleep 0.05; done
  wine reg add "$serialcomm" /v "CaddisSim$com" /t REG_SZ /d "COM$com" /f > /dev/null 2>&1 ||
    { echo "cannot list COM$com in SERIALCOMM"; return 1; }
}
