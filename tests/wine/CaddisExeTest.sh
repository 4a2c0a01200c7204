#!/usr/bin/env bash
# caddis.exe under Wine against the Linux simulated card, which is COM61 of the prefix
# (sim-port.sh), found and opened exactly as a real port would be.
#   CaddisExeTest.sh CADDIS_EXE CARD_SIM
# Needs WINEPREFIX set to a prepared prefix whose server is running.
set -uo pipefail
exe=$1
sim=$2
com=61
failures=0
. "$(dirname "$0")/sim-port.sh"

sim_port_start "$sim" "$com" --device-id 17 --firmware 3 || exit 1
work=$sim_work

# The log of link errors goes to the test's own folder, by its Windows name.
winlog=$(winepath -w "$work" 2> /dev/null)

# run NAME EXPECTED_STATUS ARGS...: runs caddis.exe, keeps its output in $out. The arguments
# reach Wine in UTF-8, as a UTF-8 terminal passes them.
run() {
  local name=$1 expected=$2
  shift 2
  out=$(env -u CADDIS_RUNTIME_DIR -u CADDIS_CONFIG_DIR CADDIS_LOG_DIR="$winlog" LC_ALL=C.UTF-8 \
    wine "$exe" "$@" 2>&1 | tr -d '\r')
  local status=${PIPESTATUS[0]}
  if [ "$status" -ne "$expected" ]; then
    echo "FAIL $name: exit $status, expected $expected"
    echo "$out" | sed 's/^/    /'
    failures=$((failures + 1))
    return 1
  fi
  return 0
}
expect() {  # expect NAME PATTERN: $out must match the extended regular expression
  if ! grep -Eq -- "$2" <<< "$out"; then
    echo "FAIL $1: no line matches /$2/"
    echo "$out" | sed 's/^/    /'
    failures=$((failures + 1))
  else
    echo "ok   $1"
  fi
}

run ports 0 ports && expect "ports lists the card's port" "^$com "
run status 0 status --port "$com" && {
  expect "status shows the device ID" "^Device ID: +17$"
  expect "status shows the firmware version" "^Firmware version: +3$"
}
# Wine cancels every event wait on the pseudo-terminal behind the port, so the port polls; -v
# and the log say so, with the reason.
run status-verbose 0 status -v --port "$com" && {
  expect "-v says the port starts on arrival events" "COM$com read path: arrival events"
  expect "-v says the port polls and why" \
    "COM$com read path: polling every 10 ms \(the driver cancelled an event wait\)"
}
out=$(tr -d '\r' < "$work/Log.txt" 2> /dev/null)
expect "the log says the port polls and why" "COM$com read path: polling every 10 ms \(the driver"

run echo 0 echo --port "$com" "hello from Windows" &&
  expect "echo comes back" "^from Caddis: Echo .*104 101 108 108 111"

run reset 0 reset --port "$com" && expect "the card restarts and comes back" "^Card back on COM$com: device ID 17"

# expect_received NAME: the simulated card received image.bit byte for byte.
expect_received() {
  for _ in $(seq 100); do
    [ "$(stat -c %s "$work/received.bit" 2> /dev/null)" = "$(stat -c %s "$work/image.bit")" ] && break
    sleep 0.1
  done
  if cmp -s "$work/image.bit" "$work/received.bit"; then
    echo "ok   $1"
  else
    echo "FAIL $1: the card received other bytes than the image"
    failures=$((failures + 1))
  fi
}

# An FPGA image of 64 KiB and a bit, not a whole number of packets; given by its Windows name.
head -c $((64 * 1024 + 77)) /dev/urandom > "$work/image.bit"
image=$(winepath -w "$work/image.bit" 2> /dev/null)
run update-fpga 0 update-fpga --port "$com" --file "$image" &&
  expect_received "update-fpga delivers the image byte-exact"

# A folder name outside the ANSI code page's reach: the program takes its arguments from the
# wide command line and writes names back in UTF-8.
mkdir -p "$work/Jörg Ærø"
cp "$work/image.bit" "$work/Jörg Ærø/image.bit"
: > "$work/received.bit"
wide=$(winepath -w "$work/Jörg Ærø/image.bit" 2> /dev/null)
run "update-fpga, non-ASCII path" 0 update-fpga --port "$com" --file "$wide" --no-restart &&
  expect_received "update-fpga reads an image from a non-ASCII path"
run "missing image, non-ASCII path" 5 dfu download "${wide%image.bit}none.dfu" &&
  expect "the path is written back in UTF-8" "cannot read .*Jörg Ærø.none\.dfu"

# A release package made, signed and checked by caddis.exe with a key of the signing tool, and
# its FPGA image sent: the package's zip and signatures work on Windows as on Linux.
if command -v minisign > /dev/null; then
  mkdir -p "$work/keys"
  minisign -G -W -p "$work/keys/release.pub" -s "$work/release.sec" > /dev/null
  export CADDIS_TRUSTED_KEYS
  CADDIS_TRUSTED_KEYS=$(winepath -w "$work/keys" 2> /dev/null)
  release=$(winepath -w "$work/release.zip" 2> /dev/null)
  : > "$work/received.bit"
  run "package create" 0 package create "$release" --name "Caddis 2027.1" --version 2027.1 \
    --device-id 17 --fpga "$image" --fpga-version 0104052027 \
    --key "$(winepath -w "$work/release.sec" 2> /dev/null)" &&
    expect "the package is signed" "^Package .* written, signed by key [0-9A-F]{16}$"
  run "package verify" 0 package verify "$release" && expect "the package is good" ": good, signed"
  run "update-fpga --package" 0 update-fpga --port "$com" --package "$release" --no-restart &&
    expect_received "update-fpga --package delivers the release's image byte-exact"
  CADDIS_TRUSTED_KEYS=$(winepath -w "$work" 2> /dev/null)
  run "package of an unknown key" 5 package verify "$release" &&
    expect "a key not trusted is refused" "not among the trusted keys"
  unset CADDIS_TRUSTED_KEYS
else
  echo "FAIL package: minisign is missing (scripts/deps.sh installs it)"
  failures=$((failures + 1))
fi

run "missing port" 3 status --port 199 && expect "a missing port is named" "ComPort 199: no such port"

if [ "$failures" -ne 0 ]; then
  echo "--- simulated card's output"
  cat "$work/sim.log"
  exit 1
fi
