#!/usr/bin/env bash
# Builds the benchmarks and runs the pipeline benchmark for the figures in
# docs/performance.md: the whole run against its transform floor with the
# identity test model (and, if asked, the benchmark network g = 32, whose wall
# time at the default thread count, every core duostem counts, stands beside
# one thread's), on a 60-second and a four-minute synthetic song, then draws the
# chart. Figures and logs land in BUILD/perf/.
#
# Then the benchmark network on a 60-second song at each --overlap, its wall
# time and chunk count and the ratio of its time to that at 0.5.
#
# usage: scripts/bench.sh [--build DIR] [--seconds "60 240"] [--models "identity g32"] [--rounds 5]
#                         [--baseline EXECUTABLE] [--modules] [--chart FILE] [--overlaps "0.25 0.5 0.75"]
#   --baseline  also measures another duostem executable (an earlier build) the same way, as "before"
#   --modules   also runs the module benchmarks (wav_bench, spectral_bench, model_bench)
#   --chart     where the PNG goes (default BUILD/perf/performance-chart.png)
# The four-minute run with g = 32 takes a quarter of an hour or more per round on two cores.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."

build=build-bench
seconds="60 240"
models="identity"
rounds=5
baseline=""
modules=0
chart=""
overlaps="0.25 0.5 0.75"
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --models) models="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    --baseline) baseline="$2"; shift 2 ;;
    --modules) modules=1; shift ;;
    --chart) chart="$2"; shift 2 ;;
    --overlaps) overlaps="$2"; shift 2 ;;
    *) echo "bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
perf="$build/perf"
chart="${chart:-$perf/performance-chart.png}"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=(pipeline_bench test_models duostem)
[ "$modules" = 1 ] && targets+=(wav_bench spectral_bench model_bench)
cmake --build "$build" -j2 --target "${targets[@]}"
mkdir -p "$perf"

{
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "nproc: $(nproc)"
  echo "duostem --cores (its default threads): $("$build/duostem" --cores)"
  grep -m1 'model name' /proc/cpuinfo || true
  grep MemTotal /proc/meminfo || true
} > "$perf/machine.txt"
cat "$perf/machine.txt"

model_path() {
  case "$1" in
    identity) echo "$build/test-models/identity.onnx" ;;
    g32)
      [ -f "$perf/bench_g32.onnx" ] || /usr/bin/python3 tools/make_bench_model.py "$perf/bench_g32.onnx" --g 32 >&2
      echo "$perf/bench_g32.onnx" ;;
    *) echo "bench.sh: unknown model $1 (identity or g32)" >&2; exit 2 ;;
  esac
}

# bench NAME LABEL ARGS...: one pipeline_bench run, its log and its figures file.
plots=()
bench() {
  local name=$1 label=$2
  shift 2
  echo "== $name (load: $(cut -d' ' -f1-3 /proc/loadavg))"
  "$build/pipeline_bench" "$@" --rounds "$rounds" --record "$perf/$name.txt" 2>/dev/null | tee "$perf/$name.log"
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$perf/$name.log"
  plots+=("$label=$perf/$name.txt")
}

for model in $models; do
  path=$(model_path "$model")
  for s in $seconds; do
    [ -z "$baseline" ] || bench "${model}_${s}s_before" "before, $model, $s s" --model "$path" --seconds "$s" --tool "$baseline"
    # The benchmark network also at one thread: what the default's cores are worth on this machine.
    threads=()
    [ "$model" != g32 ] || threads=(--threads 1)
    bench "${model}_${s}s" "${baseline:+after, }$model, $s s" --model "$path" --seconds "$s" "${threads[@]}"
  done
done

/usr/bin/python3 tools/plot_performance.py "$chart" "${plots[@]}"
echo "chart: $chart"

if [ "$modules" = 1 ]; then
  for b in wav_bench spectral_bench model_bench; do
    echo "== $b"
    "$build/$b" --benchmark_min_time=0.2 | tee "$perf/$b.log"
  done
fi

if [ -n "$overlaps" ]; then
  echo "== --overlap with the benchmark network on a 60-second song (load: $(cut -d' ' -f1-3 /proc/loadavg))"
  net=$(model_path g32)
  /usr/bin/python3 -c 'import sys, numpy as np, soundfile
t = np.arange(60 * 44100) / 44100
x = 0.3 * np.sin(2 * np.pi * 220 * t) + 0.05 * np.random.default_rng(1).standard_normal(t.size)
soundfile.write(sys.argv[1], np.stack([x, 0.7 * x], 1).astype(np.float32), 44100, subtype="FLOAT")' "$perf/overlap_song.wav"
  declare -A wall
  for r in $overlaps; do
    start=$(date +%s%N)
    "$build/duostem" "$perf/overlap_song.wav" --model "$net" --overlap "$r" --out-dir "$perf/overlap_$r" \
      >/dev/null 2>"$perf/overlap_$r.log"
    wall[$r]=$((($(date +%s%N) - start) / 1000000))
    echo "overlap $r: $(tail -n 1 "$perf/overlap_$r.log" | cut -d' ' -f2 | cut -d/ -f2) chunks, ${wall[$r]} ms"
  done
  [ -z "${wall[0.5]:-}" ] || for r in $overlaps; do
    awk -v r="$r" -v t="${wall[$r]}" -v half="${wall[0.5]}" 'BEGIN { printf "overlap %s: %.2f times the time at 0.5\n", r, t / half }'
  done | tee "$perf/overlap.log"
fi
