#!/usr/bin/env bash
# The bash completion of duostem and of its batch front end: each line of the
# table is the words typed (the last one being completed) and the sorted
# completions wanted.
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/../completion/duostem"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
mkdir -p music/live stems
touch a.wav B.WAV notes.txt take.mp3 net.onnx music/x.wav
cases=(
  "duostem |B.WAV a.wav music/ stems/"
  "duostem mu|music/"
  "duostem --model |music/ net.onnx stems/"
  "duostem --out-dir |music/ stems/"
  "duostem --stem i|instrumental"
  "duostem --fft-size 16|16384"
  "duostem --t|--threads"
  "duostem a.wav --v|--version"
  "duostem --o|--out-dir --overlap"
  "duostem --p|--print-model"
  "duostem-separate-many --overlap 0.7|0.75"
  "duostem-separate-many --th|--threads"
  "duostem-separate-many --f|--force --format"
  "duostem-separate-many --format |flac wav"
  "duostem-separate-many --model |music/ net.onnx stems/"
  "separate-many.sh t|take.mp3"
)
failed=0
for c in "${cases[@]}"; do
  read -ra COMP_WORDS <<<"${c%|*}"
  [[ ${c%|*} != *" " ]] || COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  function=$(complete -p "${COMP_WORDS[0]}" | awk '{ print $3 }')
  # As in an interactive shell: compgen finding nothing is no error there.
  set +e
  "$function"
  set -e
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' ')
  if [[ $got != "${c#*|}" ]]; then
    printf 'completion_test: "%s" gave "%s", wanted "%s"\n' "${c%|*}" "$got" "${c#*|}" >&2
    failed=1
  fi
done
exit "$failed"
