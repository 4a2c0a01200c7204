#!/usr/bin/env bash
# A soak run of the production line: caddis station serves four simulated cards (COM91..94,
# each behind an emulated 115200-baud wire) that are plugged in and unplugged (started and
# stopped) over and over, each time with a fault drawn at random from the simulator's switches
# or none, for a set time. Then a report: updates done, failures by kind, every service-record
# line checked against the image each simulated card really received, the station's resident
# memory at the start and the end, and whether every port is usable afterwards.
#
#   scripts/soak.sh                 30 minutes, the default build
#   scripts/soak.sh --minutes 5     a shorter run
#   scripts/soak.sh --build DIR     the programs of another build folder (DIR/bin)
#   scripts/soak.sh --keep          keep the run's folder (record, logs, received images)
#
# Exit status 0 when every record line is true, nothing was lost and every port is usable.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=30
build=build/default
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "soak.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done
caddis="$PWD/$build/bin/caddis"
sim="$PWD/$build/bin/caddis-card-sim"
for program in "$caddis" "$sim"; do
  [ -x "$program" ] || { echo "soak.sh: $program is missing: build first" >&2; exit 2; }
done

root=$(mktemp -d /tmp/caddis-soak-XXXXXX)
export CADDIS_RUNTIME_DIR="$root/run" CADDIS_CONFIG_DIR="$root/config" CADDIS_LOG_DIR="$root"
export XDG_STATE_HOME="$root/state" CADDIS_RECORD="$root/service-record.jsonl"
mkdir -p "$root/received" "$root/sims"
ports=(91 92 93 94)
gone=2  # seconds a port stays gone before the station counts its card as unplugged

# A 16 KiB bitstream: a whole update (transfer, restart, return) takes about 4 s on the wire.
head -c 16384 /dev/urandom > "$root/SkerryFPGA.bit"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ "$keep" = 1 ] && echo "soak.sh: the run's folder is $root" || rm -rf "$root"
}
trap cleanup EXIT

resident_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }

"$caddis" station --fpga "$root/SkerryFPGA.bit" --gone "$gone" > "$root/station.log" 2>&1 &
station=$!
pids+=("$station")
sleep 2
rss_start=$(resident_kb "$station")
end=$(( $(date +%s) + minutes * 60 ))

# One slot: a card plugged in with a random fault, left for a random time (long enough for an
# update most of the time, sometimes not), unplugged for longer than a restart takes; again.
# Every plugging is noted: port, run, the moments in and out (ms), the fault.
slot() {
  local port=$1 run=0 fault pid in out
  RANDOM=$((port * 7919 + $$))
  while [ "$(date +%s)" -lt "$end" ]; do
    run=$((run + 1))
    case $((RANDOM % 10)) in
      0) fault="--ack-code $((1 + RANDOM % 4))@$((RANDOM % 128))" ;;
      1) fault="--wrong-ack $((RANDOM % 128))" ;;
      2) fault="--silent-at $((RANDOM % 128))" ;;
      3) fault="--corrupt-checksum $((20 + RANDOM % 200))" ;;
      4) fault="--packet-delay $((RANDOM % 30))" ;;
      5) fault="--bad-length $((50 + RANDOM % 200))" ;;
      *) fault="" ;;
    esac
    local received="$root/received/COM$port-$run.bit"
    in=$(date +%s%3N)
    # shellcheck disable=SC2086
    "$sim" --com "$port" --wire-baud 115200 --fpga-out "$received" $fault \
      > "$root/sims/COM$port-$run.log" 2>&1 &
    pid=$!
    sleep $((4 + RANDOM % 8))
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    out=$(date +%s%3N)
    echo "$port $run $in $out $fault" >> "$root/pluggings.txt"
    sleep $((gone + 1 + RANDOM % 2))
  done
}

echo "soak.sh: $minutes min, station pid $station, folder $root"
for port in "${ports[@]}"; do slot "$port" & done
wait_slots() { for job in $(jobs -p); do [ "$job" = "$station" ] || wait "$job" || true; done; }
wait_slots
sleep 3
rss_end=$(resident_kb "$station")
kill -INT "$station"
station_exit=0
wait "$station" || station_exit=$?

# Every port usable afterwards: a fresh card on each answers caddis status.
usable=0
for port in "${ports[@]}"; do
  "$sim" --com "$port" > "$root/sims/COM$port-after.log" 2>&1 &
  pid=$!
  for _ in $(seq 50); do [ -L "$CADDIS_RUNTIME_DIR/ports/COM$port" ] && break; sleep 0.1; done
  if "$caddis" status --port "$port" > /dev/null 2>&1; then usable=$((usable + 1)); fi
  kill "$pid"; wait "$pid" 2>/dev/null || true
done

python3 - "$root" "$rss_start" "$rss_end" "$usable" "${#ports[@]}" "$station_exit" <<'EOF'
import hashlib, json, os, re, sys
from datetime import datetime, timezone

root, rss_start, rss_end, usable, port_count, station_exit = sys.argv[1:]
pluggings = []
for line in open(os.path.join(root, "pluggings.txt")):
    port, run, t_in, t_out, *fault = line.split()
    pluggings.append(dict(port=int(port), run=int(run), t_in=int(t_in), t_out=int(t_out),
                          fault=" ".join(fault)))

def millis(stamp):
    return int(datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S.%fZ")
               .replace(tzinfo=timezone.utc).timestamp() * 1000)

def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()

image = os.path.join(root, "SkerryFPGA.bit")
image_sha = digest(image)
records = [json.loads(l) for l in open(os.path.join(root, "service-record.jsonl"))] \
    if os.path.exists(os.path.join(root, "service-record.jsonl")) else []

problems = []
claimed = set()
by_result = {}
for r in records:
    by_result[r["Result"]] = by_result.get(r["Result"], 0) + 1
    start = millis(r["Start"])
    run = next((p for p in pluggings
                if p["port"] == r["Port"] and p["t_in"] - 1000 <= start <= p["t_out"]), None)
    if run is None:
        problems.append("record of COM%d at %s matches no plugging" % (r["Port"], r["Start"]))
        continue
    key = (run["port"], run["run"])
    if key in claimed:
        problems.append("COM%d run %d was updated twice" % key)
    claimed.add(key)
    received = os.path.join(root, "received", "COM%d-%d.bit" % key)
    got = digest(received) if os.path.exists(received) else None
    if r["Result"] == "success":
        if r["Image"]["SHA256"] != image_sha:
            problems.append("COM%d run %d: the record names another image" % key)
        if got != r["Image"]["SHA256"]:
            problems.append("COM%d run %d: recorded as a success, the card received %s"
                            % (key + ("nothing" if got is None else "other bytes",)))
    elif got == image_sha and not any(
            words in (r.get("Failure") or "").lower()
            for words in ("restart", "come back", "back on", "interrupted", "at 100%")):
        # The whole image arrived: only a failure at or after the transfer's end (the last
        # answer, the restart, the card's return, or the station stopping the update of a card
        # that was unplugged meanwhile) may say failed then.
        problems.append("COM%d run %d: recorded as failed (%s) though the card received the "
                        "whole image" % (key + (r.get("Failure", ""),)))

# Nothing lost: every card that received the whole image has its line.
for p in pluggings:
    key = (p["port"], p["run"])
    received = os.path.join(root, "received", "COM%d-%d.bit" % key)
    if os.path.exists(received) and digest(received) == image_sha and key not in claimed:
        problems.append("COM%d run %d received the image but has no record line" % key)

# Nothing skipped: every card plugged in was served (its plugging matched by a record line).
unserved = [p for p in pluggings if (p["port"], p["run"]) not in claimed]
for p in unserved:
    problems.append("COM%d run %d (plugged in for %.1f s) was not served"
                    % (p["port"], p["run"], (p["t_out"] - p["t_in"]) / 1000.0))

# Failures by kind, as the station showed them.
kinds = {}
for line in open(os.path.join(root, "station.log"), errors="replace"):
    m = re.match(r"COM\d+ failed \(([a-z-]+)\)", line)
    if m:
        kinds[m.group(1)] = kinds.get(m.group(1), 0) + 1

served = 0
for line in open(os.path.join(root, "station.log"), errors="replace"):
    m = re.match(r"Served: (\d+), succeeded: (\d+)", line)
    if m:
        served = int(m.group(1))

print("Pluggings:            %d (%d with a fault)" % (len(pluggings),
                                                     sum(1 for p in pluggings if p["fault"])))
print("Updates recorded:     %d (%s)" % (len(records), ", ".join(
    "%s %d" % kv for kv in sorted(by_result.items()))))
print("Station served:       %d" % served)
print("Failures by kind:     %s" % (", ".join("%s %d" % kv for kv in sorted(kinds.items()))
                                    or "none"))
print("Record lines checked: %d, untrue or lost: %d" % (len(records), len(problems)))
for problem in problems[:20]:
    print("  " + problem)
if served != len(records):
    problems.append("the station served %d cards, the record has %d lines" % (served, len(records)))
    print("  " + problems[-1])
print("Station memory:       %s kB at the start, %s kB at the end" % (rss_start, rss_end))
print("Station exit:         %s" % station_exit)
print("Ports usable after:   %s of %s" % (usable, port_count))
sys.exit(0 if not problems and usable == port_count and len(records) > 0 else 1)
EOF
