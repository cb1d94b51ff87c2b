#!/usr/bin/env bash
# separate-many.sh: separates many songs in any audio format with duostem, over
# this machine's cores or several machines (GNU parallel). ffmpeg decodes and
# converts.
#
# Per song: ffmpeg, in the background, writes a WAV duostem accepts into a
# scratch folder inside the output folder and queues it; GNU parallel runs
# duostem on it here or on another machine (transferring the WAV and returning
# the stems); this shell moves the finished stems into place under temporary
# names and renames them, so a stem that exists under its final name is whole.
set -euo pipefail

PROG=separate-many
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=${HERE%/*}
# Extensions taken as songs without asking ffprobe, so that a rerun over a
# finished folder costs no decoding; other files are probed.
AUDIO_EXTENSIONS=" wav wave flac mp3 mp2 ogg oga opus m4a aac aif aiff aifc wma ape wv mka ac3 au snd caf tta w64 spx mpc "

usage() {
  cat <<'EOF'
usage: separate-many.sh [options] INPUT...
  INPUT            an audio file, or a folder searched recursively for audio files
  --out-dir DIR    where the stems go, mirroring each INPUT folder (default: separated)
  --model FILE     the ONNX network (default: duostem's own default model)
  --duostem PATH   the duostem executable (default: the one installed beside this
                   script, else the checkout's build/duostem, else duostem on PATH)
  --format wav|flac  stems as duostem's 32-bit float WAV (default) or 24-bit FLAC
  --jobs N         songs at once on each machine (default 1)
  --threads N      passed to every duostem run as --threads N (1 to 1024); without it,
                   N songs at once get --threads max(1, cores / N) each
  --overlap R      passed to every duostem run as --overlap R (0.05 to 0.95)
  --sshlogin LOGINS  run songs on these machines too (GNU parallel's --sshlogin; repeatable)
  --force          redo songs whose two stems already exist
EOF
}

usage_error() {
  printf '%s: %s\n' "$PROG" "$1" >&2
  usage >&2
  exit 2
}

out_dir=separated model="" duostem="" format=wav jobs=1 threads="" overlap="" force=0
sshlogins=() inputs=()
while (($# > 0)); do
  case "$1" in
    --out-dir | --model | --duostem | --format | --jobs | --threads | --overlap | --sshlogin)
      (($# >= 2)) || usage_error "$1 needs a value"
      case "$1" in
        --out-dir) out_dir=$2 ;;
        --model) model=$2 ;;
        --duostem) duostem=$2 ;;
        --format) format=$2 ;;
        --jobs) jobs=$2 ;;
        --threads) threads=$2 ;;
        --overlap) overlap=$2 ;;
        --sshlogin) sshlogins+=("$2") ;;
      esac
      shift 2 ;;
    --force) force=1; shift ;;
    --help | -h) usage; exit 0 ;;
    --) shift; inputs+=("$@"); break ;;
    -*) usage_error "unknown option $1" ;;
    *) inputs+=("$1"); shift ;;
  esac
done

((${#inputs[@]} > 0)) || usage_error "no INPUT given"
[[ $format == wav || $format == flac ]] || usage_error "--format must be wav or flac, not $format"
[[ $jobs =~ ^[1-9][0-9]*$ ]] || usage_error "--jobs must be a positive whole number, not $jobs"
[[ -z $threads ]] || { [[ $threads =~ ^[1-9][0-9]{0,3}$ ]] && ((threads <= 1024)); } \
  || usage_error "--threads must be a whole number from 1 to 1024, not $threads"
for input in "${inputs[@]}"; do
  [[ -e $input ]] || usage_error "no such file or folder: $input"
done
if [[ -z $duostem ]]; then
  if [[ -x $HERE/duostem && ! -d $HERE/duostem ]]; then
    duostem=$HERE/duostem  # installed side by side (/usr/bin)
  elif [[ -x $REPO/build/duostem ]]; then
    duostem=$REPO/build/duostem
  else
    duostem=$(command -v duostem || true)
  fi
  [[ -n $duostem ]] || usage_error "no duostem: build the checkout or give --duostem"
fi
[[ -f $duostem && -x $duostem ]] || usage_error "not an executable: $duostem"
# duostem's own scan decides which overlaps it takes (the value is checked before --version answers).
[[ -z $overlap ]] || "$duostem" --overlap "$overlap" --version >/dev/null 2>&1 \
  || usage_error "--overlap must be a decimal from 0.05 to 0.95 (at most three digits after the point), not $overlap"
# duostem's default is asked for here: it runs in a scratch folder (or on
# another machine), where its own search would find another model or none.
if [[ -z $model ]] && ! model=$("$duostem" --print-model 2>/dev/null); then
  reason=$("$duostem" --print-model 2>&1 >/dev/null | tail -n 1 || true)
  usage_error "no default model: ${reason#duostem: }"
fi
[[ -f $model ]] || usage_error "no such model: $model"
for tool in ffmpeg ffprobe parallel; do
  command -v "$tool" >/dev/null || usage_error "$tool is missing (scripts/bootstrap.sh installs it)"
done
[[ $format == wav ]] || command -v sox >/dev/null || usage_error "sox is missing (scripts/bootstrap.sh installs it)"
((${#sshlogins[@]} == 0)) || command -v rsync >/dev/null || usage_error "--sshlogin needs rsync"

duostem=$(realpath "$duostem")
model=$(realpath "$model")
mkdir -p "$out_dir"
out_real=$(realpath "$out_dir")

# ---------------------------------------------------------------------------
# The song list: sources, what to show, where the stems go.

src=() shown=() subdir=() name=()
declare -A seen=()
not_audio=0

lower_extension() {
  local n=${1##*/}
  [[ $n == *.* ]] || return 0
  n=${n##*.}
  printf '%s' "${n,,}"
}

has_audio_stream() {
  [[ $(ffprobe -v quiet -select_streams a -show_entries stream=codec_type -of csv=p=0 -- "$1" 2>/dev/null) == *audio* ]]
}

add_file() {  # real path, shown path, output subfolder
  [[ -z ${seen[$1]:-} ]] || return 0
  seen[$1]=1
  local ext
  ext=$(lower_extension "$1")
  if [[ -z $ext || $AUDIO_EXTENSIONS != *" $ext "* ]] && ! has_audio_stream "$1"; then
    not_audio=$((not_audio + 1))
    return 0
  fi
  src+=("$1") shown+=("$2") subdir+=("$3") name+=("${1##*/}")
}

for input in "${inputs[@]}"; do
  if [[ -d $input ]]; then
    root=$(realpath "$input")
    # Hidden files and folders are passed over, and so is the output folder, whose stems are no songs.
    # Byte order, whatever the locale: the numbering of clashing names follows it.
    while IFS= read -r -d '' path; do
      rel=${path#"$root"/}
      sub=.
      [[ $rel == */* ]] && sub=${rel%/*}
      add_file "$path" "${input%/}/$rel" "$sub"
    done < <(find "$root" -mindepth 1 \( -path "$out_real" -o -name '.*' \) -prune -o -type f -print0 | LC_ALL=C sort -z)
  else
    add_file "$(realpath "$input")" "$input" .
  fi
done

# Stem base names. A name without its extension is used unless songs of
# different names would share it (song.mp3 beside song.flac): then each keeps
# its extension (song.mp3_(Vocals).wav). A name still taken gets " (2)",
# " (3)", ... in the order songs are listed.
declare -A base_count=() full_count=() taken=()
base=()
for i in "${!src[@]}"; do
  n=${name[i]}
  [[ $n == *.* ]] && n=${n%.*}
  base[i]=${subdir[i]}/$n
  base_count[${base[i]}]=$((${base_count[${base[i]}]:-0} + 1))
  full_count[${subdir[i]}/${name[i]}]=$((${full_count[${subdir[i]}/${name[i]}]:-0} + 1))
done
for i in "${!src[@]}"; do
  b=${base[i]}
  ((${base_count[$b]} == ${full_count[${subdir[i]}/${name[i]}]})) || b=${subdir[i]}/${name[i]}
  if [[ -n ${taken[$b]:-} ]]; then
    k=2
    while [[ -n ${taken[$b ($k)]:-} ]]; do k=$((k + 1)); done
    b="$b ($k)"
  fi
  taken[$b]=1
  base[i]=$b
done

# A stem's path below the output folder as the user spelled it (for messages),
# or as an absolute path (for file operations, which run from the scratch folder).
stem_path() {  # index, Vocals|Instrumental[, absolute]
  local b=${base[$1]} root=$out_dir
  [[ $b == ./* ]] && b=${b#./}
  [[ -z ${3:-} ]] || root=$out_real
  printf '%s/%s_(%s).%s' "$root" "$b" "$2" "$format"
}

todo=()
skipped=0
for i in "${!src[@]}"; do
  if ((force == 0)) && [[ -f $(stem_path "$i" Vocals abs) && -f $(stem_path "$i" Instrumental abs) ]]; then
    skipped=$((skipped + 1))
  else
    todo+=("$i")
  fi
done

# ---------------------------------------------------------------------------
# Converting one song into the scratch folder.

# The last line of a tool's messages, without the file name it starts with.
reason_from() {  # message file, source path, fallback
  local line
  # ffmpeg's "[mp3 @ 0x55d0c1a2] ..." carries a memory address that says nothing to a user.
  line=$(grep -v '^[[:space:]]*$' "$1" 2>/dev/null | tail -n 1 | sed -E 's/ @ 0x[0-9a-f]+\]/]/' || true)
  line=${line#"$2: "}
  printf '%s' "${line:-$3}"
}

# Writes scratch/in/ID.wav for song ID; prints the failure reason and fails otherwise.
# Every song goes through ffmpeg, which copies a WAV duostem reads bit for bit.
prepare() {
  local i=$1 s=${src[$1]}
  local out=in/$i.wav part=in/$i.part err=in/$i.err
  local key value rate="" channels="" sample_fmt=""
  while IFS='=' read -r key value; do
    case $key in
      sample_rate) rate=$value ;;
      channels) channels=$value ;;
      sample_fmt) sample_fmt=$value ;;
    esac
  done < <(ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels,sample_fmt \
             -of default=nw=1 -- "$s" 2>"$err" || true)
  if ! [[ $rate =~ ^[0-9]+$ && $channels =~ ^[1-9][0-9]*$ ]]; then
    printf 'ffprobe: %s' "$(reason_from "$err" "$s" "no audio stream")"
    return 1
  fi
  # Mono stays mono (widening it with -ac 2 would lower its level by 3 dB);
  # more than two channels are mixed down to stereo.
  local args=(-map 0:a:0)
  ((channels <= 2)) || args+=(-ac 2)
  local codec=pcm_f32le
  if ((rate != 44100)); then
    args+=(-af "aresample=44100:resampler=soxr:precision=28")
  elif [[ $sample_fmt == s16 || $sample_fmt == s16p ]]; then
    codec=pcm_s16le  # 16-bit stays 16-bit when no resampling is needed: no loss either way
  fi
  if ! ffmpeg -nostdin -v error -i "$s" "${args[@]}" -c:a $codec -f wav "$part" 2>"$err"; then
    printf 'ffmpeg: %s' "$(reason_from "$err" "$s" "decoding failed")"
    return 1
  fi
  mv "$part" "$out"
  rm -f "$err"
}

# Keeps the scratch folder to a few converted songs ahead of the separations.
wait_for_room() {
  local files
  while :; do
    files=(in/*.wav)
    [[ -e ${files[0]} ]] || return 0
    ((${#files[@]} < ahead)) && return 0
    sleep 0.2
  done
}

# Background: converts the songs in turn and queues each for parallel; a song
# that cannot be converted is reported to the events channel.
produce() {
  local i reason
  exec 3>events 4>queue
  for i in "${todo[@]}"; do
    wait_for_room
    if reason=$(prepare "$i"); then
      printf '%s\n' "$i" >&4
    else
      printf '!! %s %s\n' "$i" "$reason" >&3
    fi
  done
}

# ---------------------------------------------------------------------------
# Finishing one song: stems moved (or encoded) into place, never short under their final name.

temporary=""

place() {  # scratch stem, final path
  local dir=${2%/*} final_name=${2##*/}
  mkdir -p "$dir"
  temporary=$dir/.$final_name.part-$$
  if [[ $format == flac ]]; then
    # sox exits 0 with a short file when interrupted: the length check catches it.
    sox -D -V1 "$1" -t flac -b 24 "$temporary" || return 1
    [[ $(soxi -s "$temporary") == "$(soxi -s "$1")" ]] || return 1
  else
    mv "$1" "$temporary"
  fi
  mv "$temporary" "$2"
  temporary=""
}

separated=0 failed=0 finished=0
failures=()
declare -A result=()
progress() {  # word, index, detail
  local line="[$finished/${#todo[@]}] $1 ${shown[$2]}${3:+: $3}"
  [[ -t 2 ]] || printf '%s: %s\n' "$PROG" "$line" >&2
}

fail() {  # index, reason
  failed=$((failed + 1)) finished=$((finished + 1))
  failures+=("${shown[$1]}: $2")
  result[$1]=1
  progress failed "$1" "$2"
}

finish() {  # index, duostem's exit status
  local i=$1 rc=$2 dir=out/$1 instrumental="" vocals=""
  # The stems as duostem named them: the instrumental's path, then the vocals'.
  # They are relative to the folder it ran in, which a job on another machine
  # mirrors (out/ID comes back to the same place), so they must lie in out/ID.
  { read -r instrumental && read -r vocals; } 2>/dev/null <"$dir/paths" || true
  rm -f "in/$i.wav"
  if [[ $rc == 0 && $instrumental == "$dir"/* && $vocals == "$dir"/* && -f $vocals && -f $instrumental ]]; then
    if place "$vocals" "$(stem_path "$i" Vocals abs)" && place "$instrumental" "$(stem_path "$i" Instrumental abs)"; then
      separated=$((separated + 1)) finished=$((finished + 1))
      result[$i]=1
      printf '%s\n%s\n' "$(stem_path "$i" Instrumental)" "$(stem_path "$i" Vocals)"
      progress separated "$i"
    else
      [[ -z $temporary ]] || rm -f "$temporary"
      temporary=""
      fail "$i" "cannot write the stems into $out_dir"
    fi
  else
    # duostem's own line; the runtime may log lines of its own around it.
    local message
    message=$(grep '^duostem: ' "$dir/log" 2>/dev/null | tail -n 1 || true)
    fail "$i" "${message:-$(reason_from "$dir/log" "" "duostem exited with status $rc")}"
  fi
  rm -rf "$dir"
}

summary() {
  printf '%s: %d separated, %d skipped (already done), %d failed, %d not audio\n' \
    "$PROG" "$separated" "$skipped" "$failed" "$not_audio" >&2
  local f
  for f in "${failures[@]}"; do printf '%s: failed: %s\n' "$PROG" "$f" >&2; done
}

if ((${#todo[@]} == 0)); then
  summary
  exit 0
fi

# ---------------------------------------------------------------------------
# The run.

scratch=$(mktemp -d "$out_real/.$PROG.XXXXXX")
producer="" runner=""

# shellcheck disable=SC2317  # both run from traps
cleanup() {
  [[ -z $temporary ]] || rm -f "$temporary"
  rm -rf "$scratch"
}

# A stopped job leaves its folder on the other machine; parallel names it
# .parallel/tmp/HOST-PID-SEQ below the login's home.
# shellcheck disable=SC2317
remote_cleanup() {
  [[ -n $runner ]] && ((${#sshlogins[@]} > 0)) || return 0
  local logins=() login
  for login in "${sshlogins[@]}"; do logins+=(--sshlogin "$login"); done
  timeout 30 parallel --will-cite --nonall "${logins[@]}" \
    "rm -rf .parallel/tmp/$(hostname)-$runner-*; rmdir .parallel/tmp .parallel 2>/dev/null; true" </dev/null >/dev/null 2>&1 || true
}

# shellcheck disable=SC2317
on_signal() {
  trap '' INT TERM
  # Each background job is a process group of its own (set -m): stop the
  # converter and parallel with everything they started, then wait for them,
  # so that nothing writes into the scratch folder while it is removed.
  [[ -z $producer ]] || kill -TERM -- "-$producer" 2>/dev/null || true
  [[ -z $runner ]] || kill -INT -- "-$runner" 2>/dev/null || true
  wait 2>/dev/null || true
  remote_cleanup
  cleanup
  printf '%s: interrupted\n' "$PROG" >&2
  summary
  exit 130
}
trap on_signal INT TERM
trap cleanup EXIT

cd "$scratch"
mkdir in out
mkfifo queue events
ln -s "$model" model.onnx

slots=$jobs
if ((${#sshlogins[@]} > 0)); then
  # parallel's count of logins is not known here; allow for a few machines.
  slots=$((jobs * 4))
fi
ahead=$((slots + 2))

parallel_args=(--will-cite --jobs "$jobs" --total-jobs "${#todo[@]}")
[[ -t 2 ]] && parallel_args+=(--bar)
if ((${#sshlogins[@]} > 0)); then
  for login in "${sshlogins[@]}"; do parallel_args+=(--sshlogin "$login"); done
  # Per job: the WAV and the model go to a fresh folder on the other machine
  # and the stems (with duostem's messages) come back; the folder is removed.
  parallel_args+=(--workdir ... --transferfile model.onnx --transferfile 'in/{}.wav' --return 'out/{}' --cleanup)
fi
# Without --threads, several songs at once share the cores of the machine each
# runs on: duostem counts them there (0 when it cannot, and then chooses itself).
# One song at a time takes duostem's own default, every core.
thread_args=${threads:+ --threads $threads}
if [[ -z $threads ]] && ((jobs > 1)); then
  thread_args=" \$(c=\$($(printf '%q' "$duostem") --cores 2>/dev/null) && [ \"\$c\" -gt 0 ] 2>/dev/null && echo --threads \$((c / $jobs > 1 ? c / $jobs : 1)))"
fi
# A job on this machine among other logins (":") runs in a fresh folder too,
# but nothing is transferred to it: it works in the scratch folder instead.
command="{ test -e in/{}.wav || cd $(printf '%q' "$scratch"); } && mkdir -p out/{} && $(printf '%q' "$duostem") in/{}.wav --model model.onnx$thread_args${overlap:+ --overlap $overlap} --out-dir out/{} >out/{}/paths 2>out/{}/log; echo \"@@ {} \$?\""

set -m
produce &
producer=$!
# rsync's -L sends the model behind its symbolic link; no -z: float samples and
# weights hardly compress, and it costs processor time.
PARALLEL_RSYNC_OPTS=-rLDR parallel "${parallel_args[@]}" "$command" <queue >events &
runner=$!
set +m

while IFS=' ' read -r mark i rest; do
  case $mark in
    @@) finish "$i" "$rest" ;;
    !!) rm -f "in/$i".*; fail "$i" "$rest" ;;
  esac
done <events
wait "$producer" || true
wait "$runner" || true
producer="" runner=""

for i in "${todo[@]}"; do
  [[ -n ${result[$i]:-} ]] || fail "$i" "no result from its run (see the messages above)"
done
summary
exit $((failed > 0))
