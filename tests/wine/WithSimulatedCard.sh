#!/usr/bin/env bash
# Runs a Windows program under Wine while the Linux simulated card is COM<n> of the prefix
# (sim-port.sh). The program learns the port's number from CADDIS_TEST_SIM_COM and, from
# CADDIS_TEST_SIM_FPGA_OUT, the Windows path of the file where the card keeps the FPGA images
# it receives. The card's output is shown when the program fails.
#   WithSimulatedCard.sh CARD_SIM COM [SIM ARGS...] -- PROGRAM [ARGS...]
set -uo pipefail
sim=$1
com=$2
shift 2
sim_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  sim_args+=("$1")
  shift
done
shift
. "$(dirname "$0")/sim-port.sh"

sim_port_start "$sim" "$com" "${sim_args[@]}" || exit 1
CADDIS_TEST_SIM_COM=$com CADDIS_TEST_SIM_FPGA_OUT=$(winepath -w "$sim_work/received.bit" 2> /dev/null) \
  "$@"
status=$?
if [ "$status" -ne 0 ]; then
  echo "--- simulated card's output"
  cat "$sim_work/sim.log"
fi
exit "$status"
