#!/usr/bin/env bash
# Records the station's live screen in tmux at 80 and 40 columns while simulated cards arrive
# and leave, and checks every frame: exactly one table heading, no line wider than the
# terminal. Exit status 0 when every frame holds; the frames are kept in the output folder.
#   scripts/station-screen.sh [--seconds S] [--out FOLDER]
# Needs a built tree (build/default: caddis, caddis-card-sim, the demo images) and tmux.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=120
out=
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -h|--help) sed -n '2,6p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
bin=$PWD/build/default/bin
images=$PWD/build/default/demo-images
for need in "$bin/caddis" "$bin/caddis-card-sim" "$images/SkerryFPGA.bit"; do
  [ -e "$need" ] || { echo "build the tree first: $need is missing" >&2; exit 2; }
done
command -v tmux > /dev/null || { echo "tmux is needed (scripts/deps.sh installs it)" >&2; exit 2; }

work=$(mktemp -d /tmp/caddis-station-screen-XXXXXX)
[ -n "$out" ] || out=$work/frames
mkdir -p "$out"
socket=caddis-station-$$
sims=()
cleanup() {
  tmux -L "$socket" kill-server 2> /dev/null || true
  for pid in "${sims[@]}"; do kill "$pid" 2> /dev/null || true; done
  wait 2> /dev/null || true
  cat "$work/station80.err" "$work/station40.err" >&2 2> /dev/null || true
  rm -rf "$work/run80" "$work/run40"
}
trap cleanup EXIT

# One station per width, each with its own port folder and cards.
start_station() { # width
  local width=$1 run=$work/run$1
  mkdir -p "$run" "$work/config$1" "$work/state$1"
  tmux -L "$socket" new-session -d -s "w$width" -x "$width" -y 24 \
    env CADDIS_RUNTIME_DIR="$run" CADDIS_CONFIG_DIR="$work/config$width" \
    CADDIS_LOG_DIR="$work" CADDIS_RECORD="$work/state$width/record.jsonl" LANG=C.UTF-8 \
    "$bin/caddis" station --fpga "$images/SkerryFPGA.bit" --gone 2 --seconds $((seconds + 30)) \
    2> "$work/station$width.err"
}

# A card plugged into port N of a station (width), until unplugged (its simulator ended).
declare -A card
plug() { # width port device-id [simulator options]
  local width=$1 port=$2 id=$3
  shift 3
  CADDIS_RUNTIME_DIR=$work/run$width "$bin/caddis-card-sim" --com "$port" --device-id "$id" \
    --wire-baud 115200 "$@" > /dev/null 2>&1 &
  card[$width.$port]=$!
  sims+=($!)
}
unplug() { # width port
  local key=$1.$2
  [ -n "${card[$key]:-}" ] || return 0
  kill "${card[$key]}" 2> /dev/null || true
  wait "${card[$key]}" 2> /dev/null || true
  card[$key]=
}

start_station 80
start_station 40

# Captures both screens and checks them: one heading, each line within the width.
frames=0
bad=0
capture() {
  local width frame
  for width in 80 40; do
    frame=$out/$(printf 'w%s-%04d.txt' "$width" "$frames")
    tmux -L "$socket" capture-pane -p -t "w$width" > "$frame"
    local headings longest
    headings=$(grep -c '^Port ' "$frame" || true)
    longest=$(LC_ALL=C.UTF-8 wc -L < "$frame")
    # Before the station's first drawing the screen is empty; after it, one table at all times.
    if [ "$headings" -ne 1 ] && { [ "$headings" -gt 1 ] || [ "$frames" -gt 4 ]; }; then
      echo "$frame: $headings headings" >&2
      bad=$((bad + 1))
    fi
    if [ "$longest" -gt "$width" ]; then
      echo "$frame: a line of $longest columns" >&2
      bad=$((bad + 1))
    fi
  done
  frames=$((frames + 1))
}

# The run: four ports; every few seconds a card is unplugged and another one plugged in its
# place; one card in five refuses the image (a FAIL), and a port stays empty a while.
start=$SECONDS
round=0
while [ $((SECONDS - start)) -lt "$seconds" ]; do
  port=$((5 + round % 4))
  for width in 80 40; do
    unplug "$width" "$port"
    if [ $((round % 7)) -ne 6 ]; then
      if [ $((round % 5)) -eq 3 ]; then
        plug "$width" "$port" $((round + 10)) --ack-code 4@5
      else
        plug "$width" "$port" $((round + 10))
      fi
    fi
  done
  round=$((round + 1))
  for _ in 1 2 3 4 5 6 7 8; do
    sleep 0.5
    capture
  done
done
cp "$out/$(printf 'w80-%04d.txt' $((frames - 1)))" "$out/last-80.txt"
cp "$out/$(printf 'w40-%04d.txt' $((frames - 1)))" "$out/last-40.txt"
echo "$frames frames at 80 and 40 columns in $out; $bad bad"
[ "$bad" -eq 0 ]
