#!/usr/bin/env bash
# Builds the benchmarks (Release) if needed and runs both binaries twice:
# pinned to CPU 0 (taskset -c 0; the wire benchmark's responder thread shares
# that CPU) and unpinned. Each benchmark runs 5 times; only the aggregates are
# shown (median, stddev, cv). Then the heap check (1,000,000 reads, pinned) and
# a summary of the pinned medians against the targets.
#
#   bench/run.sh [build-dir]          default build-dir: <repo>/build-bench
# Environment: MIN_TIME (seconds per repetition of a micro benchmark, default
# 0.1), WIRE_MIN_TIME (default 0.5), HEAP_READS (default 1000000, 0 skips the
# heap check), BENCH_FILTER (regex passed to --benchmark_filter), PRIO (prefix
# for the round-trip runs; default "chrt -f 10" where allowed, "none" for
# none). Round trips are wall-clock waits: on a busy machine every other
# runnable process gets a turn while the benchmark waits for its answer, so
# they run at real-time priority. Micro benchmarks are judged on CPU time and
# run at normal priority.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build-bench}
MIN_TIME=${MIN_TIME:-0.1}
WIRE_MIN_TIME=${WIRE_MIN_TIME:-0.5}
HEAP_READS=${HEAP_READS:-1000000}
FILTER=${BENCH_FILTER:-.}
if [ -z "${PRIO:-}" ]; then
  if chrt -f 10 true 2>/dev/null; then PRIO="chrt -f 10"; else PRIO=none; fi
fi
if [ "$PRIO" = none ]; then PRIO_CMD=(); else read -r -a PRIO_CMD <<<"$PRIO"; fi

if [ ! -x "$BUILD/bench/veskor_bench_wire" ] || [ ! -x "$BUILD/bench/veskor_bench_pure" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DVESKOR_BUILD_BENCH=ON -DVESKOR_BUILD_TESTS=OFF \
    -DVESKOR_BUILD_TOOLS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$BUILD" -j2 --target veskor_bench_wire veskor_bench_pure LibVESKOR >/dev/null

WIRE=$BUILD/bench/veskor_bench_wire
PURE=$BUILD/bench/veskor_bench_pure
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

COMMON=(--benchmark_format=console --benchmark_color=false --benchmark_repetitions=5
        --benchmark_report_aggregates_only=true "--benchmark_filter=$FILTER")

# Aggregates only: the mean rows are dropped, median/stddev/cv stay.
show() { grep -v -E '_mean +[0-9]' "$1"; }

echo "== machine"
lscpu | grep -E '^(Model name|CPU\(s\)|Thread\(s\) per core|Core\(s\) per socket)' || true
echo "Kernel: $(uname -r)"
echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Round trips run with: ${PRIO}"

for mode in pinned unpinned; do
  if [ "$mode" = pinned ]; then PIN=(taskset -c 0); else PIN=(); fi
  echo
  echo "== round trips, $mode"
  "${PIN[@]}" "${PRIO_CMD[@]}" "$WIRE" "${COMMON[@]}" "--benchmark_min_time=$WIRE_MIN_TIME" >"$OUT/wire-$mode.txt" 2>&1
  show "$OUT/wire-$mode.txt"
  echo
  echo "== micro, $mode"
  "${PIN[@]}" "$PURE" "${COMMON[@]}" "--benchmark_min_time=$MIN_TIME" >"$OUT/pure-$mode.txt" 2>&1
  show "$OUT/pure-$mode.txt"
done

if [ "$HEAP_READS" -gt 0 ]; then
  echo
  echo "== heap, pinned"
  taskset -c 0 "${PRIO_CMD[@]}" "$WIRE" --heap_only "--heap_reads=$HEAP_READS"
fi

# Median of counter $2 on the row whose name is $1 followed by _median.
counter() {
  awk -v row="$1_median" -v key="$2" '
    $1 == row { for (i = 1; i <= NF; ++i) if (index($i, key "=") == 1) { split($i, kv, "="); print kv[2] } }' "$3"
}

echo
echo "== targets (pinned medians)"
wire=$OUT/wire-pinned.txt
pure=$OUT/pure-pinned.txt
check() {   # name value limit
  if [ -z "$2" ]; then printf '%-44s %10s\n' "$1" "not run"; return; fi
  if awk -v v="$2" -v l="$3" 'BEGIN { exit !(v <= l) }'; then verdict=met; else verdict="NOT met"; fi
  printf '%-44s %10.3f  <= %-5s %s\n' "$1" "$2" "$3" "$verdict"
}
check_min() {   # name value floor
  if [ -z "$2" ]; then printf '%-44s %10s\n' "$1" "not run"; return; fi
  if awk -v v="$2" -v l="$3" 'BEGIN { exit !(v >= l) }'; then verdict=met; else verdict="NOT met"; fi
  printf '%-44s %10.3f  >= %-5s %s\n' "$1" "$2" "$3" "$verdict"
}
check "ReadVariable / raw read" "$(counter wire/ReadVariable/real_time x_raw_read "$wire")" 1.10
check "WriteVariable / raw write" "$(counter wire/WriteVariable/real_time x_raw_write "$wire")" 1.12
check "WriteVariable / raw read" "$(counter wire/WriteVariable/real_time x_raw_read "$wire")" 1.3
check_min "64 drivers / 64 raw sockets, 8 threads (reads)" \
  "$(counter wire/scale_ReadVariable/real_time/threads:8 reads_vs_raw "$wire")" 0.90
info() {   # name value: no target, shown for the split of the gap
  if [ -z "$2" ]; then printf '%-44s %10s\n' "$1" "not run"; return; fi
  printf '%-44s %10.3f\n' "$1" "$2"
}
info "raw read with the rules' calls / raw read" "$(counter wire/raw_read_rules/real_time x_raw_read "$wire")"
info "ReadVariable / raw read with the rules' calls" "$(counter wire/ReadVariable/real_time x_rules "$wire")"
info "64 sockets, rules' calls / 64 raw (reads)" \
  "$(counter wire/scale_raw_rules/real_time/threads:8 reads_vs_raw "$wire")"
info "64 drivers / 64 sockets, rules' calls" \
  "$(counter wire/scale_ReadVariable/real_time/threads:8 reads_vs_rules "$wire")"
check "ReadVariable / libmodbus TCP read" "$(counter wire/ReadVariable/real_time x_modbus "$wire")" 1.0
worst=$(awk '$1 ~ /^(de|en)code\/.*\/(codec|member)_median$/ {
           for (i = 1; i <= NF; ++i) if (index($i, "x_vector=") == 1) { split($i, kv, "=");
             if (kv[2] + 0 > max) { max = kv[2] + 0; name = $1 } } }
         END { if (name != "") printf "%s %s\n", max, name }' "$pure")
check "worst codec / plain loop (${worst#* })" "${worst%% *}" 2
echo "atInt16 CPU medians (10, 1000, 100000 elements):" \
  $(awk '$1 ~ /^access\/atInt16\/[0-9]+_median$/ { printf "%s %s  ", $4, $5 }' "$pure")
