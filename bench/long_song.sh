#!/bin/bash
# A song of any length through duostem, by hand (it takes minutes and gigabytes):
#   bench/long_song.sh [path/to/duostem] [seconds, default 12600 = 3 h 30 min] [model]
# Generates a stereo float song (RF64 past 4 GiB) in a scratch folder, separates
# it under /usr/bin/time -v (peak resident memory, wall time), and reads both
# stems back with Python's soundfile and, decoded, through ffmpeg: frame counts,
# and the first and last second against runs that write plain RIFF stems of the
# song's first minute and of its end. The end's cut starts where the whole
# song's chunk schedule lines up with the cut's (a multiple of both the chunk
# step and the chunk body), so both seconds must agree bit for bit. Everything
# is deleted afterwards.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tool=$(realpath "${1:-build/duostem}")
seconds=${2:-12600}
model=$(realpath "${3:-$here/../models/vocals.onnx}")
py=/usr/bin/python3
dir=$(mktemp -d "${TMPDIR:-/tmp}/duostem-long.XXXXXX")
trap 'rm -rf "$dir"' EXIT

"$py" "$here/long_song.py" make "$seconds" "$dir/song.wav"
frames=$("$py" -c "import soundfile, sys; print(soundfile.info(sys.argv[1]).frames)" "$dir/song.wav")
ls -l "$dir/song.wav"

/usr/bin/time -v "$tool" "$dir/song.wav" --model "$model" --out-dir "$dir/out" >/dev/null 2>"$dir/time.log" ||
  { tail -5 "$dir/time.log"; exit 1; }
grep -E 'Elapsed \(wall|Maximum resident|User time|System time' "$dir/time.log"
ls -l "$dir/out"

# The default network's chunk step and body: 130560 and 254976 frames.
step=130560 body=254976
a=$step b=$body
while ((b)); do t=$((a % b)); a=$b; b=$t; done
period=$((step / a * body))
minute=$((60 * 44100))
tail_from=$(( (frames - minute) / period * period ))
"$py" "$here/long_song.py" cut "$dir/song.wav" 0 "$minute" "$dir/head.wav"
"$py" "$here/long_song.py" cut "$dir/song.wav" "$tail_from" $((frames - tail_from)) "$dir/tail.wav"
for part in head tail; do "$tool" "$dir/$part.wav" --model "$model" --out-dir "$dir/ref" >/dev/null 2>&1; done
head -c 4 "$dir/out/song_(Vocals).wav"; echo " (the long stems' form)"
status=0
for stem in Vocals Instrumental; do
  "$py" "$here/long_song.py" check "$dir/out/song_($stem).wav" "$frames" "$dir/ref/head_($stem).wav" \
    "$dir/ref/tail_($stem).wav" "$tail_from" || status=1
done
exit $status
