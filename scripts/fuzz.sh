#!/usr/bin/env bash
# Fuzzes the WAV reader for a bounded time: scripts/fuzz.sh [seconds] (default 120).
# Builds the libFuzzer target with clang, ASan and UBSan in its own build
# directory (DUOSTEM_FUZZ_BUILD, default build-fuzz), seeds it with small odd
# files made now, and fails on any finding: a crash, a sanitizer report, a leak,
# a hang, or a disagreement with the target's model of the format rules.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."

seconds=${1:-120}
build=${DUOSTEM_FUZZ_BUILD:-build-fuzz}

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDUOSTEM_FUZZ=ON -DDUOSTEM_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target wav_fuzz

run="$build/fuzz-run"
seeds="$run/seeds"
findings="$run/findings"
# The corpus is kept between runs so that a longer earlier run helps a shorter later one.
corpus="$build/fuzz-corpus"
rm -rf "$seeds" "$findings"
mkdir -p "$seeds" "$findings" "$corpus"

/usr/bin/python3 fuzz/make_seeds.py "$seeds"
# A few milliseconds of what real writers produce, with their extra chunks.
if command -v sox >/dev/null; then
  sox -n -r 44100 -c 2 -b 16 "$seeds/sox_pcm16.wav" synth 0.0003 sine 440
  sox -n -r 44100 -c 1 -e floating-point -b 32 "$seeds/sox_float_mono.wav" synth 0.0003 sine 440
  sox -n -r 44100 -c 2 -b 24 "$seeds/sox_pcm24.wav" synth 0.0003 sine 440
fi
if command -v ffmpeg >/dev/null; then
  ffmpeg -v error -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=0.0003" -ac 2 \
    -c:a pcm_f32le "$seeds/ffmpeg_float.wav"
fi

log="$run/fuzz.log"
status=0
"$build/wav_fuzz" -max_total_time="$seconds" -timeout=10 -max_len=4096 -dict=fuzz/wav.dict \
  -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" "$seeds" >"$log" 2>&1 || status=$?

summary=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
runs=$(grep -E '^stat::number_of_executed_units:' "$log" | awk '{print $2}' || true)
echo "fuzz: ${summary:-no final line} (${runs:-?} executions in ${seconds} s)"
if [ "$status" -ne 0 ] || [ -n "$(ls -A "$findings")" ]; then
  tail -n 40 "$log" >&2
  echo "fuzz: FINDING (status $status); inputs kept in $findings, log in $log" >&2
  exit 1
fi
echo "fuzz: no findings"
