#!/usr/bin/env bash
# The end of the user's session during an update, under Wine against the Linux simulated card:
# caddis.exe update-fpga runs (slowly: the card takes its time for every packet); the session
# window refuses the end while it runs, and when the session ends anyway the service record's
# line says "interrupted by shutdown" and the program ends as a terminated one.
#   SessionEndTest.sh CADDIS_EXE END_SESSION_EXE CARD_SIM
# Needs WINEPREFIX set to a prepared prefix whose server is running.
set -uo pipefail
exe=$1
ender=$2
sim=$3
com=63
failures=0
. "$(dirname "$0")/sim-port.sh"
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

sim_port_start "$sim" "$com" --device-id 17 --firmware 3 --packet-delay 20 || exit 1
work=$sim_work
head -c $((64 * 1024)) /dev/urandom > "$work/image.bit"
image=$(winepath -w "$work/image.bit" 2> /dev/null)
record=$(winepath -w "$work/record.jsonl" 2> /dev/null)

env -u CADDIS_RUNTIME_DIR -u CADDIS_CONFIG_DIR CADDIS_LOG_DIR="$(winepath -w "$work")" \
  wine "$exe" update-fpga --port "$com" --file "$image" --record "$record" --no-restart \
  > "$work/caddis.log" 2>&1 &
caddis_pid=$!
said=$(wine "$ender" 2>&1 | tr -d '\r')
echo "$said" | sed 's/^/    /'
grep -qx held <<< "$said" || fail "the session window did not hold off the end during the update"
grep -qx ended <<< "$said" || fail "the session window was not told that the session ends"
wait "$caddis_pid"
status=$?
[ "$status" -eq 143 ] || fail "caddis.exe ended with $status, expected 143 (terminated)"
line=$(tail -n 1 "$work/record.jsonl" 2> /dev/null)
if grep -q '"Result":"interrupted"' <<< "$line" && grep -q 'interrupted by shutdown' <<< "$line"; then
  echo "ok   the record says the update was interrupted by shutdown"
else
  fail "the record's line does not say \"interrupted by shutdown\": $line"
fi
if [ "$failures" -ne 0 ]; then
  echo "--- caddis.exe"
  tr -d '\r' < "$work/caddis.log"
  exit 1
fi
