#!/usr/bin/env bash
# Separates a generated demo song with the bundled default model, from a fresh
# clone: installs the dependencies, builds duostem, writes the song and its true
# stems into demo-out/, runs the tool, prints how close each stem comes to the
# truth, and draws the spectrograms of the mix and the two stems.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."

PYTHON=/usr/bin/python3
OUT=demo-out
SONG="$OUT/demo_song.wav"
SEED=1
PICTURE="$OUT/demo_spectrograms.png"

say() { printf '\ndemo: %s\n' "$*"; }
die() { printf 'demo: error: %s\n' "$*" >&2; exit 1; }

# quiet COMMAND...: the command without its standard output (its errors still show).
quiet() { "$@" >/dev/null; }

# step NAME COMMAND...: runs the command, or stops the demo naming the step.
step() {
  local name=$1 status=0
  shift
  say "$name"
  "$@" || status=$?
  [ "$status" -eq 0 ] || die "step \"$name\" failed (status $status)"
}

[ $# -eq 0 ] || { printf 'usage: scripts/demo.sh (no arguments)\n' >&2; exit 2; }

step "installing dependencies (scripts/bootstrap.sh)" bash scripts/bootstrap.sh
step "configuring the Release build in build/" cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
step "building duostem" cmake --build build --target duostem -j"$(nproc)"
[ -f models/vocals.onnx ] \
  || die "step \"default model\" failed: models/vocals.onnx is missing (tools/make_default_model.py models/vocals.onnx makes it)"
step "creating $OUT/" mkdir -p "$OUT"
step "writing the demo song $SONG (seed $SEED) and its true stems" \
  quiet "$PYTHON" tools/make_demo_song.py --seed "$SEED" --out "$SONG"

say "separating: build/duostem $SONG --out-dir $OUT"
status=0
paths=$(build/duostem "$SONG" --out-dir "$OUT") || status=$?
[ "$status" -eq 0 ] || die "step \"separating\" failed (status $status)"
instrumental=$(sed -n 1p <<<"$paths")
vocals=$(sed -n 2p <<<"$paths")
[ -f "$vocals" ] && [ -f "$instrumental" ] \
  || die "step \"separating\" failed: duostem printed no two existing output paths"

say "output files"
printf 'vocals:       %s\ninstrumental: %s\n' "$vocals" "$instrumental"

stem=${SONG%.wav}
step "signal-to-distortion ratio against the true stems (the mix column takes the mix itself as the estimate)" \
  "$PYTHON" tools/stem_quality.py --mix "$SONG" \
  --true-vocals "${stem}_true_vocals.wav" --true-instrumental "${stem}_true_instrumental.wav" \
  --vocals "$vocals" --instrumental "$instrumental"

step "drawing the spectrograms of the mix, the vocals and the instrumental" \
  quiet "$PYTHON" tools/plot_spectrograms.py --out "$PICTURE" "$SONG" "$vocals" "$instrumental"
say "done: listen to the two output files, and look at $PICTURE"
