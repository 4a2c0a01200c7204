#!/usr/bin/env bash
# The long fuzz run (nightly style): every libFuzzer target of the AddressSanitizer+UBSan
# build, one after the other, each bounded by time and by executions, starting from the seed
# corpora in fuzz/corpus/. Prints one line per target: executions, executions per second,
# coverage points (cov), features (ft), corpus size and crashes; the logs, the grown corpora
# and any crashing inputs stay in the output folder.
#
#   scripts/fuzz-long.sh                      every target, 600 s or 10 million runs each
#   SECONDS_PER_TARGET=60 scripts/fuzz-long.sh hostlink_receive_fuzzer
#   RUNS_PER_TARGET=0 (no limit on runs)  BUILD_DIR=build/asan  OUT=/tmp/caddis-fuzz
#   BUILD=0 skips building the targets first.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${SECONDS_PER_TARGET:-600}
runs=${RUNS_PER_TARGET:-10000000}
build_dir=${BUILD_DIR:-build/asan}
out=${OUT:-/tmp/caddis-fuzz-long}

if [ "${BUILD:-1}" != 0 ]; then
  cmake --preset asan > /dev/null
  cmake --build "$build_dir" --target caddis_fuzzers
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in "$build_dir"/bin/*_fuzzer; do targets+=("$(basename "$bin")"); done
fi

mkdir -p "$out"
printf '%-26s %8s %12s %9s %6s %7s %7s %7s\n' target seconds executions exec/s cov ft corpus crashes
for t in "${targets[@]}"; do
  bin="$build_dir/bin/$t"
  [ -x "$bin" ] || { echo "$t: not built" >&2; continue; }
  corpus="$out/$t.corpus"
  artifacts="$out/$t.crashes"
  mkdir -p "$corpus" "$artifacts"
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  log="$out/$t.log"
  start=$(date +%s)
  set +e
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
    "$bin" -max_total_time="$seconds" -runs="$((runs > 0 ? runs : -1))" -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$corpus" "${seeds[@]}" > "$log" 2>&1
  set -e
  elapsed=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<< "$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<< "$last")
  crashes=$(find "$artifacts" -type f | wc -l)
  printf '%-26s %8s %12s %9s %6s %7s %7s %7s\n' "$t" "$elapsed" "${execs:-?}" "${rate:-?}" \
    "${cov:-?}" "${ft:-?}" "$(find "$corpus" -type f | wc -l)" "$crashes"
done
echo "logs, corpora and crashing inputs: $out"
