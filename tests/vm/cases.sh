# The tests that run inside the virtual machine (sourced by tests/vm/guest.sh). Each group is
# one whole path through the real kernel: the simulated card is a USB device made with
# dummy_hcd and the gadget framework, so the tool meets the kernel's cdc-acm driver, udevd
# and usbfs exactly as on a machine with a card plugged in.
#
# The card's serial function is a configfs gadget (CDC ACM) whose device side, /dev/ttyGS0,
# caddis-card-sim serves; binding the gadget to the one device controller plugs the card in,
# unbinding it pulls it out. On Boot the simulator hands the controller to its boot loader,
# served through GadgetFS, and gives it back when the boot loader leaves.

passed=0
failed=0
gadget=/sys/kernel/config/usb_gadget/caddis
work=/tmp/vm-tests
card_pid=
mkdir -p "$work"
export CADDIS_RECORD=$work/record.jsonl

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

pass() {
  passed=$((passed + 1))
  echo "PASS $*"
}
fail() {
  failed=$((failed + 1))
  echo "FAIL $*"
}
# check NAME COMMAND...: one verdict, from the command's exit status.
check() {
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}

# wait_for SECONDS COMMAND...: true as soon as the command succeeds, false after SECONDS.
wait_for() {
  local until=$(( $(now_ms) + $1 * 1000 ))
  shift
  until "$@"; do
    [ "$(now_ms)" -lt "$until" ] || return 1
    sleep 0.05
  done
}

acm() { ls /sys/class/tty 2> /dev/null | grep -m1 '^ttyACM'; }
acm_present() { [ -n "$(acm)" ]; }
acm_absent() { [ -z "$(acm)" ]; }

make_serial_gadget() {
  mkdir -p "$gadget" || return 1
  echo 0x1cbe > "$gadget/idVendor"
  echo 0x0100 > "$gadget/idProduct"
  echo 0x0100 > "$gadget/bcdDevice"
  mkdir -p "$gadget/strings/0x409" "$gadget/configs/c.1" "$gadget/functions/acm.GS0"
  echo Caddis > "$gadget/strings/0x409/manufacturer"
  echo "Caddis card" > "$gadget/strings/0x409/product"
  echo CADDIS0001 > "$gadget/strings/0x409/serialnumber"
  ln -s "$gadget/functions/acm.GS0" "$gadget/configs/c.1/"
}

# plug / unplug: the card's serial gadget on or off the bus, waiting for the host's side.
plug() {
  echo "$(ls /sys/class/udc | head -n 1)" > "$gadget/UDC" || return 1
  wait_for 10 acm_present && udevadm settle --timeout=10
}
unplug() {
  echo "" > "$gadget/UDC" 2> /dev/null
  wait_for 10 acm_absent && udevadm settle --timeout=10
}
port() { echo "/dev/$(acm)"; }

# start_card [OPTIONS]: the simulated card on the gadget (plugged in first).
start_card() {
  stop_card
  caddis-card-sim --tty /dev/ttyGS0 --gadget "$gadget" --restart-ms 300 "$@" \
    >> "$work/card.log" 2>&1 &
  card_pid=$!
}
stop_card() {
  if [ -n "$card_pid" ]; then
    kill "$card_pid" 2> /dev/null
    wait "$card_pid" 2> /dev/null
  fi
  card_pid=
}
# The card plugged in and running, whatever the last test left.
fresh_card() {
  stop_card
  unplug
  plug || return 1
  start_card "$@"
  sleep 1.5  # the card reports while nobody has its port open
}

# ---- the serial port ---------------------------------------------------------------------
byid=/dev/serial/by-id/usb-Caddis_Caddis_card_CADDIS0001-if00

case_ports() {
  fresh_card --seed 1
  local out
  out=$(caddis ports 2>&1)
  echo "$out"
  check "ports lists $(acm) with the card's USB identity" \
    grep -q "$(acm) .*USB 1cbe:0100 Caddis Caddis card, serial CADDIS0001" <<< "$out"
  check "udevd made the card's by-id link" [ -e "$byid" ]
}

# The by-id name is what an operator pins a card's port to.
case_status() {
  local out status
  out=$(caddis status --port "$byid" 2>&1)
  status=$?
  echo "$out"
  check "status through the by-id name identifies the card through cdc-acm" [ "$status" -eq 0 ]
  check "status shows the card's device ID" grep -q "33" <<< "$out"
}

case_update_fpga() {
  head -c 65536 /dev/urandom > "$work/fpga.bin"
  fresh_card --fpga-out "$work/fpga-received.bin"
  local status
  caddis update-fpga --port "$(port)" --file "$work/fpga.bin" --no-restart > "$work/update.log" 2>&1
  status=$?
  tail -n 5 "$work/update.log"
  check "update-fpga of 64 KiB ends with 0" [ "$status" -eq 0 ]
  wait_for 5 [ -f "$work/fpga-received.bin" ]
  check "the card received the 64 KiB byte for byte" cmp "$work/fpga.bin" "$work/fpga-received.bin"
}

case_monitor_replug() {
  fresh_card
  caddis monitor --port "$(port)" --seconds 14 > "$work/monitor.log" 2>&1 &
  local monitor=$!
  wait_for 6 grep -q "ID 33" "$work/monitor.log"
  local before=$(wc -l < "$work/monitor.log")
  unplug
  sleep 2
  plug
  # After the replug the monitor must hear the card again: its lines go on with the identity.
  wait "$monitor"
  local status=$?
  cat "$work/monitor.log"
  check "monitor ends with 0 across unplug and replug" [ "$status" -eq 0 ]
  check "monitor identifies the card again after the replug" \
    bash -c "tail -n +$((before + 1)) '$work/monitor.log' | grep -q 'reopened' &&
             tail -n +$((before + 1)) '$work/monitor.log' | sed -n '/reopened/,\$p' | grep -q 'ID 33'"
}

# The card reports every second, also while its port is closed; the kernel echoes what
# arrives while the port is being opened. The first status after every plug must identify it.
case_echo_at_open() {
  local rule=/run/udev/rules.d/60-caddis-serial.rules round ok=0 status
  fresh_card
  for round in $(seq 1 20); do
    unplug
    sleep 1.2
    plug
    caddis status --port "$(port)" > "$work/echo.log" 2>&1
    status=$?
    [ "$status" -eq 0 ] && ok=$((ok + 1)) || { echo "round $round: exit $status"; cat "$work/echo.log"; }
  done
  echo "first status after a plug identified the card $ok of 20 times"
  check "echo at open: the first status identifies the card, 20 of 20" [ "$ok" -eq 20 ]

  # Without the rule the line is echoing at open; the tool must get the card's reader back.
  mv "$rule" "$work/" && udevadm control --reload
  ok=0
  for round in $(seq 1 5); do
    unplug
    sleep 1.2
    plug
    local echo_mode=$(stty -F "$(port)" -a 2> /dev/null | grep -o -- '-\?echo ' | head -n 1)
    caddis status --port "$(port)" > "$work/echo.log" 2>&1 && ok=$((ok + 1)) ||
      cat "$work/echo.log"
    echo "round $round without the rule: line had '${echo_mode}'"
  done
  mv "$work/60-caddis-serial.rules" "$rule" && udevadm control --reload
  check "echo at open without the udev rule: the tool still identifies the card, 5 of 5" \
    [ "$ok" -eq 5 ]
}

# A card that stopped reading: the device side has its port closed, so what the tool
# writes stays in cdc-acm's queue, and closing waits for it unless that wait is dropped.
# status against a card that does not answer: its time in $elapsed (ms), exit in $status.
timed_status() {
  local start=$(now_ms)
  caddis status --port "$(port)" --timeout 3 > "$work/close.log" 2>&1
  status=$?
  elapsed=$(( $(now_ms) - start ))
}

# A card that stopped reading: the device side has its port closed, so what the tool
# writes stays in cdc-acm's queue, and closing waits for it unless that wait is dropped.
# Side by side: a card that reads but never answers, whose port closes at once.
case_close_time() {
  local reading stalled status elapsed
  fresh_card --silent
  timed_status
  reading=$elapsed
  stop_card
  timed_status
  stalled=$elapsed
  cat "$work/close.log"
  echo "status with a 3 s time-out: ${reading} ms against a silent card that reads," \
       "${stalled} ms against one that does not read (exit $status)"
  check "a card that does not read: no answer (exit 4)" [ "$status" -eq 4 ]
  check "closing took under 1 s more than with a card that reads" \
    [ $((stalled - reading)) -lt 1000 ]
}

# ---- hot-plug through udevd: the station -------------------------------------------------
records() { grep -c '"Result"' "$work/station.jsonl" 2> /dev/null || true; }
records_at_least() { [ "$(records)" -ge "$1" ]; }

case_station() {
  stop_card
  unplug
  head -c 16384 /dev/urandom > "$work/station-fpga.bin"
  rm -f "$work/station.jsonl"
  # A port gone for 4 s is a card unplugged; a restart (a new enumeration) is shorter.
  caddis station --fpga "$work/station-fpga.bin" --gone 4 --seconds 100 \
    --record "$work/station.jsonl" > "$work/station.log" 2>&1 &
  local station=$!
  sleep 1
  plug
  start_card --device-id 33
  # The update restarts the card: its gadget leaves and comes back (a new enumeration), and
  # the station must not take that for a new card.
  wait_for 40 records_at_least 1
  sleep 6
  check "station served the card plugged in, once across its restart" [ "$(records)" = 1 ]
  # The card swapped: another card (another serial number) in the same place.
  stop_card
  unplug
  sleep 6
  echo CADDIS0002 > "$gadget/strings/0x409/serialnumber"
  plug
  start_card --device-id 44
  wait_for 40 records_at_least 2
  kill -INT "$station"
  wait "$station"
  tail -n 8 "$work/station.log"
  check "station served the swapped card" [ "$(records)" = 2 ]
  check "both cards passed, each with its own serial number" \
    [ "$(grep -c '"Result":"success"' "$work/station.jsonl")" = 2 ] &&
    grep -q CADDIS0001 "$work/station.jsonl" && grep -q CADDIS0002 "$work/station.jsonl"
  echo CADDIS0001 > "$gadget/strings/0x409/serialnumber"
}

# ---- the boot loader through usbfs -------------------------------------------------------
case_dfu_list() {
  fresh_card
  caddis boot --port "$(port)" > "$work/boot.log" 2>&1
  check "boot ends with 0" [ $? -eq 0 ]
  wait_for 10 bash -c "caddis dfu list 2> /dev/null | grep -q SIM00001"
  local ours theirs
  ours=$(caddis dfu list 2>&1)
  theirs=$(dfu-util -l 2>&1)
  echo "$ours"
  echo "$theirs"
  check "caddis dfu list shows the boot loader" grep -qi "0x1CBE.*0x00FF" <<< "$ours"
  check "dfu-util -l lists the same device" grep -qi '\[1cbe:00ff\].*serial="SIM00001"' <<< "$theirs"
  check "both read the same serial number" grep -q "SIM00001" <<< "$ours"
  caddis-dfu-image --unmarked "$work/fw5.dfu" 5 20000
  caddis dfu download "$work/fw5.dfu" > "$work/download.log" 2>&1
  local status=$?
  cat "$work/download.log"
  check "dfu download ends with 0" [ "$status" -eq 0 ]
  wait_for 15 acm_present
  sleep 1
  check "the card is back with firmware 5" bash -c "caddis status --port $(port) | grep -i 'firmware' | grep -q 5"
}

case_update_firmware() {
  fresh_card
  caddis-dfu-image --unmarked "$work/fw7.dfu" 7 40000
  local status
  caddis update-firmware --port "$(port)" --file "$work/fw7.dfu" > "$work/firmware.log" 2>&1
  status=$?
  cat "$work/firmware.log"
  check "update-firmware end to end through usbfs ends with 0" [ "$status" -eq 0 ]
  check "update-firmware verified the image read back" grep -qi "verif" "$work/firmware.log"
  check "the card came back with firmware 7" \
    bash -c "caddis status --port $(port) | grep -i 'firmware' | grep -q 7"
}

case_reset_ignored() {
  fresh_card --dfu-fault reset-ignored
  caddis-dfu-image --unmarked "$work/fw9.dfu" 9 20000
  local status start=$(now_ms)
  caddis update-firmware --port "$(port)" --file "$work/fw9.dfu" --no-backup \
    --return-timeout 8 > "$work/ignored.log" 2>&1
  status=$?
  cat "$work/ignored.log"
  echo "update-firmware with a reset the boot loader ignores: exit $status after $(( $(now_ms) - start )) ms"
  check "a reset the device ignores: the update fails with 7 (the card did not come back)" \
    [ "$status" -eq 7 ]
  stop_card
}

run_all_cases() {
  mkdir -p /dev/gadget
  # GadgetFS takes the controller's name when it is mounted, so it is mounted while the
  # controller is free; the serial gadget is bound afterwards.
  mount -t gadgetfs gadgetfs /dev/gadget || fail "GadgetFS cannot be mounted"
  make_serial_gadget || fail "the serial gadget cannot be made"
  local group
  for group in ${CADDIS_VM_CASES:-ports status update_fpga monitor_replug echo_at_open \
                 close_time station dfu_list update_firmware reset_ignored}; do
    echo "=== case $group"
    "case_$group"
  done
  stop_card
  echo "--- simulated card's log"
  tail -n 60 "$work/card.log"
}
