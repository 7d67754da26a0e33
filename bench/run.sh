#!/usr/bin/env bash
# Times every tolva operation on long generated recordings against `cp` of the
# same file and against SoX/ffmpeg/codec tools doing the equivalent work, in one
# run, and prints the ratios and peak memory.
#
#   bench/run.sh            10- and 60-minute files (needs ~3 GB in bench/out),
#                           then the 60-minute file on XFS (as root)
#   bench/run.sh --quick    the 10-minute file only (WAV, FLAC import and FLAC
#                           export with it)
#   bench/run.sh --xfs      the 60-minute file on XFS only
#   bench/run.sh --history  undo, redo and the edit after undos only (both files)
#   bench/run.sh --formats  import and export only, MP3 and the other formats
#                           (the 10-minute file)
#   bench/run.sh --durable  every edit (ops 2 to 14) on both files against a
#                           durable replacement of the same file, taking turns
#                           (--durable --quick: the 10-minute file only,
#                           --durable --sixty: the 60-minute one only)
#   bench/run.sh --session  fifty edits of a spoken-word session on both files:
#                           the disk the history holds, the edit, the first and
#                           deeper undos (OLD_TOLVA=path: the same with another build)
#   bench/run.sh --long     volume, cut and undo of a 4-hour file
#
# Times are the best of $REPEAT runs (default 3) of wall-clock seconds; peak
# memory is the largest resident set of those runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh --bench

quick=0
xfs_only=0
history_only=0
formats_only=0
mode=${1:-}
[[ "${1:-}" == "--quick" ]] && quick=1
[[ "${1:-}" == "--formats" ]] && quick=1 formats_only=1
[[ "${1:-}" == "--xfs" ]] && xfs_only=1
[[ "${1:-}" == "--history" ]] && history_only=1
repeat=${REPEAT:-3}
out=$root/bench/out
mkdir -p "$out"

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVA_TESTS=OFF >/dev/null
cmake --build build-bench >/dev/null
# TOLVA=path times another build instead (an earlier version, for comparison).
tolva=${TOLVA:-$root/build-bench/tolva}

generate() {  # name seconds
  local file=$out/$1.wav
  if [[ ! -f $file ]]; then
    sox -n -r 44100 -c 2 -b 16 "$file" synth "$2" sine 220-880 sine 330 tremolo 3 40 vol 0.7
  fi
  if [[ ! -f $out/$1.mp3 ]]; then
    shineenc -b 192 "$file" "$out/$1.mp3" >/dev/null 2>&1
  fi
  # a second recording, mono and at another rate, for insert and mix
  if [[ ! -f $out/$1-second.mp3 ]]; then
    sox -n -r 48000 -c 1 -b 16 "$out/$1-second.wav" synth 120 pinknoise vol 0.3
    shineenc -b 192 "$out/$1-second.wav" "$out/$1-second.mp3" >/dev/null 2>&1
  fi
}

# measure NAME -- command...: best wall time and peak RSS over $repeat runs.
# A preparation command in $PREPARE runs (untimed) before each run.
best_time=0
peak_kb=0
cp_us=0
cp_sync_us=0
measure() {
  best_time=""
  peak_kb=0
  local i start end t kb
  for ((i = 0; i < repeat; i++)); do
    [[ -n "${PREPARE:-}" ]] && eval "$PREPARE"
    start=$(date +%s%N)
    if ! /usr/bin/time -f "%M" -o "$out/.rss" "$@" >/dev/null 2>"$out/.err"; then
      best_time="failed"
      peak_kb=0
      sed 's/^/    /' "$out/.err" | tail -2 >&2
      return
    fi
    end=$(date +%s%N)
    t=$(((end - start) / 1000))
    kb=$(tail -1 "$out/.rss")
    ((kb > peak_kb)) && peak_kb=$kb
    if [[ -z $best_time || $t -lt $best_time ]]; then best_time=$t; fi
  done
}

seconds() { awk -v us="$1" 'BEGIN { if (us == "failed") print "failed"; else printf "%.3f", us / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "failed" || b == "failed" || b == 0) print "-"; else printf "%.2f", a / b }'; }

ws=$out/ws
# A fresh workspace, flushed so that no earlier write is billed to the run.
prepare_workspace() {  # source-wav [mp3-as-res.mp3] [mp3-as-res1.mp3]
  rm -rf "$ws"
  mkdir -p "$ws/audio"
  cp "$1" "$ws/audio/output.wav"
  [[ -n "${2:-}" ]] && cp "$2" "$ws/audio/res.mp3"
  [[ -n "${3:-}" ]] && cp "$3" "$ws/audio/res1.mp3"
  sync
}

# The command file is written untimed; the run is timed alone.
command_file() { echo "$1" >"$ws/audio/tolvaset.in" && sync; }

header() {
  printf '%-34s %8s %6s %8s  %-30s %8s %7s %8s\n' operation tolva_s x_cp x_cpsync "equivalent" other_s x_other peak_MiB
}
report() {  # label tolva_us other_label other_us kb
  printf '%-34s %8s %6s %8s  %-30s %8s %7s %8s\n' "$1" "$(seconds "$2")" "$(ratio "$2" "$cp_us")" \
    "$(ratio "$2" "$cp_sync_us")" "$3" "$(seconds "$4")" "$(ratio "$2" "$4")" \
    "$(awk -v k="$5" 'BEGIN { printf "%.1f", k / 1024 }')"
}

# compare_op LABEL COMMAND FILES OTHER-LABEL OTHER-COMMAND: tolva carrying out
# COMMAND in a fresh workspace of FILES (prepare_workspace's arguments), then
# the equivalent command; one report line. Leaves tolva's time in op_us.
op_us=0
compare_op() {
  local label=$1 command=$2 files=$3 other_label=$4 other_cmd=$5 kb
  PREPARE="prepare_workspace $files && command_file '$command'"
  measure env -C "$ws" "$tolva"
  op_us=$best_time
  kb=$peak_kb
  PREPARE="rm -f $out/o.wav && sync"
  measure bash -c "$other_cmd"
  report "$label" "$op_us" "$other_label" "$best_time" "$kb"
}

# Undo and redo against one rename in a new process, started the same way in a
# workspace prepared the same way (mv of the working file), and the first edit
# after five undos, which puts five redo steps out of reach.
history_steps() {  # source-wav
  local wav=$1 mv_us edit="command_file '2 60 70 0 0.5' && env -C $ws $tolva"
  local undo_ready="prepare_workspace $wav && $edit && command_file '666 0 0 0 0'"
  # Steps of a few milliseconds: the best of more runs, as starting a process varies.
  local repeat=$((repeat * 3))
  PREPARE=$undo_ready
  measure env -C "$ws" mv audio/output.wav audio/moved.wav
  mv_us=$best_time
  measure env -C "$ws" "$tolva"
  report "undo (op 666)" "$best_time" "mv (one rename)" "$mv_us" "$peak_kb"
  PREPARE="$undo_ready && env -C $ws $tolva && command_file '667 0 0 0 0'"
  measure env -C "$ws" "$tolva"
  report "redo (op 667)" "$best_time" "mv (one rename)" "$mv_us" "$peak_kb"
  repeat=$((repeat / 3))
  local five_undos="prepare_workspace $wav"
  for _ in 1 2 3 4 5; do five_undos+=" && $edit"; done
  for _ in 1 2 3 4 5; do five_undos+=" && command_file '666 0 0 0 0' && env -C $ws $tolva"; done
  PREPARE="$five_undos && command_file '2 60 70 0 0.5'"
  measure env -C "$ws" "$tolva"
  local after_undos_us=$best_time after_undos_kb=$peak_kb
  # The disk is slower after the undos' writes, for cp as much as for tolva:
  # the baseline is cp + sync of the working file in the same state.
  PREPARE="$five_undos"
  measure bash -c "cp $ws/audio/output.wav $ws/copy.wav && sync $ws/copy.wav"
  report "volume after five undos (op 2)" "$after_undos_us" "cp + sync after five undos" "$best_time" "$after_undos_kb"
  PREPARE="prepare_workspace $wav && command_file '2 60 70 0 0.5'"
  measure env -C "$ws" "$tolva"
  report "volume in a fresh workspace" "$best_time" "" 0 "$peak_kb"
}

# Import of what recorders make (a 24-bit 48 kHz WAV, and the same as FLAC)
# against sox's conversion to 16 bits (which dithers by default; -D does not),
# and the FLAC export against flac -5 of the working file.
bench_formats() {  # name minutes working-wav
  local name=$1 wav=$3 file kb
  local wav24=$out/$name-24.wav flac24=$out/$name-24.flac
  if [[ ! -f $wav24 ]]; then
    sox -n -r 48000 -c 2 -b 24 "$wav24" synth $(($2 * 60)) sine 220-880 sine 330 tremolo 3 40 vol 0.7
  fi
  [[ -f $flac24 ]] || flac -s -5 -o "$flac24" "$wav24"
  for file in "$wav24" "$flac24"; do
    PREPARE="prepare_workspace $wav"
    measure env -C "$ws" "$tolva" import "$file"
    local import_us=$best_time
    kb=$peak_kb
    PREPARE="rm -f $out/o.wav && sync"
    measure sox "$file" -b 16 "$out/o.wav"
    report "import 24-bit 48 kHz ${file##*.}" "$import_us" "sox FILE -b 16 o.wav" "$best_time" "$kb"
    measure sox -D "$file" -b 16 "$out/o.wav"
    report "" "$import_us" "sox -D (no dither)" "$best_time" "$kb"
  done
  PREPARE="prepare_workspace $wav && rm -f $out/o.flac"
  measure env -C "$ws" "$tolva" export "$out/o.flac"
  local export_us=$best_time
  kb=$peak_kb
  PREPARE="rm -f $out/o.flac && sync"
  measure flac -s -5 -o "$out/o.flac" "$wav"
  report "export FLAC (export o.flac)" "$export_us" "flac -5" "$best_time" "$kb"
  measure bash -c "flac -s -5 -o $out/o.flac $wav && sync $out/o.flac"
  report "" "$export_us" "flac -5 + sync" "$best_time" "$kb"
}

bench_file() {  # name minutes
  local name=$1 wav=$out/$1.wav mp3=$out/$1.mp3 second=$out/$1-second.mp3
  generate "$name" $(($2 * 60))
  echo "--- $name: $(stat -c %s "$wav") bytes, $2 min 44.1 kHz stereo"
  header

  # tolva flushes every new file to the disk before it replaces the old one;
  # cp does not, so both baselines are shown.
  PREPARE="rm -f $out/copy.wav && sync"
  measure cp "$wav" "$out/copy.wav"
  cp_us=$best_time
  measure bash -c "cp $wav $out/copy.wav && sync $out/copy.wav"
  cp_sync_us=$best_time
  PREPARE=""
  measure /bin/true
  echo "cp $(seconds "$cp_us") s, cp + sync $(seconds "$cp_sync_us") s, start of a process $(seconds "$best_time") s"

  if [[ $formats_only == 0 ]]; then
    history_steps "$wav"
    [[ $history_only == 1 ]] && return

    # op code, command, label, equivalent label, equivalent command
    local ops=(
      "2 60 70 0 0.5|volume 10 s (op 2)|sox vol 0.5 (whole file)|sox $wav $out/o.wav vol 0.5"
    )
    if [[ $quick == 1 || $name == ten ]]; then
      ops+=(
        "3 60 70 0 0|reverse 10 s (op 3)|ffmpeg areverse (whole file)|ffmpeg -v error -y -i $wav -af areverse $out/o.wav"
        "4 60 70 0 0|cut 10 s (op 4)|sox trim 60 =70 (same cut)|sox $wav $out/o.wav trim 0 =60 =70"
        "6 60 70 0 1|silence channel 10 s (op 6)|sox remix 1 0 (whole file)|sox $wav $out/o.wav remix 1 0"
        "7 60 70 0 2|speed up x2 10 s (op 7)|sox speed 2 (whole file)|sox $wav $out/o.wav speed 2"
        "8 60 70 0 2|slow down x2 10 s (op 8)|ffmpeg atempo 0.5 (whole file)|ffmpeg -v error -y -i $wav -af atempo=0.5 $out/o.wav"
        "11 60 70 0 1|pitch +1 octave 10 s (op 11)|sox pitch 1200 (whole file)|sox $wav $out/o.wav pitch 1200"
        "11 60 70 0 5|pitch +5 octaves 10 s (op 11)|sox pitch 1200 (whole file)|sox $wav $out/o.wav pitch 1200"
        "12 60 70 0 2|slow down x2 same pitch (op 12)|ffmpeg atempo 0.5 (whole file)|ffmpeg -v error -y -i $wav -af atempo=0.5 $out/o.wav"
        "9 60 70 0 0.5|echo 10 s, 0.5 s (op 9)|sox echo (whole file)|sox $wav $out/o.wav echo 0.8 0.5 500 0.5"
        "13 60 70 300 0|repeat 10 s at 300 s (op 13)|sox trim+concat (same repeat)|bash -c 'sox $wav $out/a.wav trim 0 =300 && sox $wav $out/c.wav trim =60 =70 && sox $wav $out/d.wav trim =300 && sox $out/a.wav $out/c.wav $out/d.wav $out/o.wav'"
        "14 60 70 300 0|move 10 s to 300 s (op 14)|sox trim+concat (same move)|bash -c 'sox $wav $out/a.wav trim 0 =60 && sox $wav $out/b.wav trim =70 =300 && sox $wav $out/c.wav trim =60 =70 && sox $wav $out/d.wav trim =300 && sox $out/a.wav $out/b.wav $out/c.wav $out/d.wav $out/o.wav'"
      )
    fi
    local entry op cmd label other_label other_cmd
    for entry in "${ops[@]}"; do
      IFS='|' read -r cmd label other_label other_cmd <<<"$entry"
      compare_op "$label" "$cmd" "$wav" "$other_label" "$other_cmd"
    done

    if [[ $quick == 1 || $name == ten ]]; then
      # Insert and mix a 60 s range of a mono 48 kHz recording (decode included).
      local decode="ffmpeg -v error -y -i $second -ar 44100 -ac 2 $out/s.wav"
      local two_source=(
        "5|insert 60 s of an MP3 (op 5)|ffmpeg decode + sox concat|$decode && sox $wav $out/a.wav trim 0 =300 && sox $out/s.wav $out/c.wav trim =10 =70 && sox $wav $out/d.wav trim =300 && sox $out/a.wav $out/c.wav $out/d.wav $out/o.wav"
        "10|mix 60 s of an MP3 (op 10)|ffmpeg decode + sox -m|$decode && sox -m $wav $out/s.wav $out/o.wav"
      )
      local -A with_decode
      for entry in "${two_source[@]}"; do
        IFS='|' read -r op label other_label other_cmd <<<"$entry"
        compare_op "$label" "$op 10 70 300 0" "$wav '' $second" "$other_label" "$other_cmd"
        with_decode[$op]=$op_us
      done
      # The decoding part of ops 5 and 10: the same recording imported alone.
      PREPARE="prepare_workspace $wav $second && command_file '0 0 0 0 0'"
      measure env -C "$ws" "$tolva"
      local decode_us=$best_time
      report "  its decode alone (op 0)" "$decode_us" "" 0 "$peak_kb"
      report "  op 5 without the decode" "$((with_decode[5] - decode_us))" "" 0 0
      report "  op 10 without the decode" "$((with_decode[10] - decode_us))" "" 0 0
    fi
  fi

  # Import and export against the codec libraries' own tools.
  PREPARE="prepare_workspace $wav $mp3 && command_file '0 0 0 0 0'"
  measure env -C "$ws" "$tolva"
  local import_us=$best_time import_kb=$peak_kb
  PREPARE="rm -f $out/o.wav && sync"
  measure mpg123 -q -w "$out/o.wav" "$mp3"
  local mpg123_us=$best_time
  measure ffmpeg -v error -y -i "$mp3" "$out/o.wav"
  report "import MP3 (op 0)" "$import_us" "mpg123 -w" "$mpg123_us" "$import_kb"
  report "" "$import_us" "ffmpeg decode" "$best_time" "$import_kb"

  PREPARE="prepare_workspace $wav && command_file '999 0 0 0 0'"
  measure env -C "$ws" "$tolva"
  local export_us=$best_time export_kb=$peak_kb
  PREPARE="rm -f $out/o.mp3 && sync"
  measure shineenc -b 192 -d "$wav" "$out/o.mp3"
  local shine_us=$best_time
  measure lame --quiet -b 192 "$wav" "$out/o.mp3"
  report "export MP3 (op 999)" "$export_us" "shineenc -b 192 -d" "$shine_us" "$export_kb"
  report "" "$export_us" "lame -b 192" "$best_time" "$export_kb"

  if [[ $quick == 1 || $name == ten ]]; then
    bench_formats "$name" "$2" "$wav"
  fi

  # The waveform picture reads the working file once, as cat does.
  PREPARE="prepare_workspace $wav"
  measure env -C "$ws" "$tolva" waveform "$out/w.png"
  local wave_us=$best_time wave_kb=$peak_kb
  PREPARE=""
  measure cat "$wav"
  report "waveform 1200 x 300 (no op code)" "$wave_us" "cat FILE > /dev/null" "$best_time" "$wave_kb"
}

# Edits on a file system with shared extents: XFS (reflink) on an image file in
# a loop mount that this script sets up and takes down. The working file of
# every run is a reflink copy of one master, as after an earlier edit; "new
# disk" is the free space the run took (blocks not shared with the snapshot).
xfs_mount=""
xfs_teardown() {
  [[ -n $xfs_mount ]] || return 0
  umount "$xfs_mount" 2>/dev/null || umount -l "$xfs_mount"
  rm -rf "$xfs_mount" "$out/xfs.img"
  xfs_mount=""
}
free_bytes() {
  local blocks size
  sync -f "$1"
  read -r blocks size < <(stat -f -c '%f %S' "$1")
  echo $((blocks * size))
}
xfs_row() { printf '%-26s %8s %14s %9s %15s %13s %12s\n' "$@"; }
mib() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1048576 }'; }

bench_xfs() {  # name minutes
  local name=$1 wav=$out/$1.wav
  if [[ $(id -u) -ne 0 ]] || ! command -v mkfs.xfs >/dev/null; then
    echo "--- XFS: skipped (needs root and mkfs.xfs from xfsprogs)"
    return
  fi
  generate "$name" $(($2 * 60))
  trap xfs_teardown EXIT
  trap 'exit 130' INT TERM
  rm -f "$out/xfs.img"
  truncate -s 4G "$out/xfs.img"
  mkfs.xfs -q -f -m reflink=1 "$out/xfs.img"
  xfs_mount=$out/xfs
  mkdir -p "$xfs_mount"
  mount -o loop "$out/xfs.img" "$xfs_mount"
  local master=$xfs_mount/master.wav
  cp "$wav" "$master"
  sync
  echo "--- $name on XFS (reflink) in a loop mount: $(stat -c %s "$wav") bytes"

  PREPARE="rm -f $out/copy.wav && sync"
  measure bash -c "cp $wav $out/copy.wav && sync $out/copy.wav"
  local ext4_us=$best_time
  PREPARE="rm -f $xfs_mount/copy.wav && sync"
  measure cp "$master" "$xfs_mount/copy.wav"
  local xfs_cp_us=$best_time
  measure bash -c "cp $master $xfs_mount/copy.wav && sync $xfs_mount/copy.wav"
  local xfs_cp_sync_us=$best_time
  measure bash -c "cp --reflink=never $master $xfs_mount/copy.wav && sync $xfs_mount/copy.wav"
  local xfs_full_us=$best_time
  echo "ext4: cp + sync $(seconds "$ext4_us") s; XFS: cp $(seconds "$xfs_cp_us") s, cp + sync $(seconds "$xfs_cp_sync_us") s (shared), cp --reflink=never + sync $(seconds "$xfs_full_us") s"
  rm -f "$xfs_mount/copy.wav"

  local saved_ws=$ws
  ws=$xfs_mount/ws
  xfs_row operation tolva_s x_ext4_cp+sync x_xfs_cp x_xfs_full_copy new_disk_MiB fdatasync_s
  local entry cmd label before after sync_s
  for entry in "2 60 70 0 0.5|volume 10 s (op 2)" "9 60 70 0 0.5|echo 10 s, 0.5 s (op 9)" \
    "4 60 70 0 0|cut 10 s (op 4)" "666 0 0 0 0|undo of the volume edit"; do
    IFS='|' read -r cmd label <<<"$entry"
    local setup="prepare_workspace $master"
    [[ $cmd == 666* ]] && setup+=" && command_file '2 60 70 0 0.5' && env -C $ws $tolva"
    PREPARE="$setup && command_file '$cmd'"
    measure env -C "$ws" "$tolva"
    # Once more for the disk space and the time of the flush to the disk.
    eval "$PREPARE"
    before=$(free_bytes "$xfs_mount")
    strace -f -T -e trace=fdatasync -o "$out/.strace" env -C "$ws" "$tolva"
    after=$(free_bytes "$xfs_mount")
    sync_s=$(awk -F'<' '/fdatasync/ { sub(/>.*/, "", $2); t += $2 } END { printf "%.4f", t }' "$out/.strace")
    xfs_row "$label" "$(seconds "$best_time")" "$(ratio "$best_time" "$ext4_us")" \
      "$(ratio "$best_time" "$xfs_cp_us")" "$(ratio "$best_time" "$xfs_full_us")" \
      "$(mib $((before - after)))" "$sync_s"
  done
  ws=$saved_ws
  rm -rf "$xfs_mount/ws"
  xfs_teardown
}

# The floor of an edit: a durable replacement of the working file, in the
# state the edit would find it (copy, flush of the copy, rename, flush of the
# folder).
durable_replacement() {
  cp "$ws/audio/output.wav" "$ws/audio/copy.wav" && sync "$ws/audio/copy.wav" &&
    mv "$ws/audio/copy.wav" "$ws/audio/moved.wav" && sync "$ws/audio"
}

# alternate PREPARE: tolva on the command file PREPARE leaves, then the durable
# replacement after PREPARE again, $repeat times in turn; the best of each in
# tolva_us and floor_us, tolva's peak memory in peak_kb. The floor's programs
# start straight from the shell, so tolva does too: its peak memory comes from
# one more run under /usr/bin/time, which is not timed.
tolva_us=0
floor_us=0
alternate() {
  local prepare=$1 i start t
  tolva_us="" floor_us="" peak_kb=0
  eval "$prepare"
  if ! /usr/bin/time -f "%M" -o "$out/.rss" env -C "$ws" "$tolva" >/dev/null 2>"$out/.err"; then
    tolva_us=failed
    tail -2 "$out/.err" >&2
    return
  fi
  peak_kb=$(tail -1 "$out/.rss")
  for ((i = 0; i < repeat; i++)); do
    eval "$prepare"
    start=$(date +%s%N)
    (cd "$ws" && exec "$tolva" >/dev/null 2>"$out/.err")
    t=$((($(date +%s%N) - start) / 1000))
    if [[ -z $tolva_us || $t -lt $tolva_us ]]; then tolva_us=$t; fi
    eval "$prepare"
    start=$(date +%s%N)
    durable_replacement
    t=$((($(date +%s%N) - start) / 1000))
    if [[ -z $floor_us || $t -lt $floor_us ]]; then floor_us=$t; fi
  done
}
durable_row() { printf '%-34s %8s %10s %7s %7s %8s\n' "$@"; }

# A second recording of 12 s, mono at 48 kHz, for inserts and mixes of 10 s.
short_second() {
  if [[ ! -f $out/short-second.mp3 ]]; then
    sox -n -r 48000 -c 1 -b 16 "$out/short-second.wav" synth 12 pinknoise vol 0.3
    shineenc -b 192 "$out/short-second.wav" "$out/short-second.mp3" >/dev/null 2>&1
  fi
  echo "$out/short-second.mp3"
}

bench_durable() {  # name minutes
  local name=$1 wav=$out/$1.wav second
  generate "$name" $(($2 * 60))
  second=$(short_second)
  echo "--- $name: every edit against a durable replacement of the working file ($(stat -c %s "$wav") bytes), in turn, best of $repeat"
  durable_row operation tolva_s durable_s ratio target peak_MiB
  local entry cmd label target
  for entry in "2 60 70 0 0.5|volume 10 s (op 2)|1.1" "3 60 70 0 0|reverse 10 s (op 3)|1.1" \
    "4 60 70 0 0|cut 10 s (op 4)|1.1" "6 60 70 0 1|silence channel 10 s (op 6)|1.1" \
    "7 60 70 0 2|speed up x2 10 s (op 7)|1.1" "8 60 70 0 2|slow down x2 10 s (op 8)|1.1" \
    "11 60 70 0 1|raise 1 octave 10 s (op 11)|1.1" "11 60 70 0 5|raise 5 octaves 10 s (op 11)|1.1" \
    "5 0 10 300 0|insert 10 s of an MP3 (op 5)|1.2" "10 0 10 300 0|mix 10 s of an MP3 (op 10)|1.2" \
    "9 60 70 0 0.5|echo 10 s, 0.5 s (op 9)|1.2" "12 60 70 0 2|slow x2 same pitch (op 12)|1.2" \
    "13 60 70 300 0|repeat 10 s at 300 s (op 13)|1.2" "14 60 70 300 0|move 10 s to 300 s (op 14)|1.2"; do
    IFS='|' read -r cmd label target <<<"$entry"
    alternate "prepare_workspace $wav '' $second && command_file '$cmd'"
    durable_row "$label" "$(seconds "$tolva_us")" "$(seconds "$floor_us")" \
      "$(ratio "$tolva_us" "$floor_us")" "$target" "$(awk -v k="$peak_kb" 'BEGIN { printf "%.1f", k / 1024 }')"
  done
}

# Fifty edits of a spoken-word session, spread over a recording of SECONDS:
# 30 cuts of 0.5 to 3 s, 10 volume changes of 2 to 10 s, 3 inserts and 2
# mixes of 10 s of a second recording, a reverse, a silenced channel, an echo
# and two moves; the same for every run of a SEED.
session_commands() {  # seconds seed
  awk -v len="$1" -v seed="$2" 'BEGIN {
    srand(seed)
    n = split("4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 4 2 2 2 2 2 2 2 2 2 2 5 5 5 10 10 3 6 9 14 14", kinds, " ")
    for (i = n; i > 1; i--) { j = int(rand() * i) + 1; t = kinds[i]; kinds[i] = kinds[j]; kinds[j] = t }
    for (i = 1; i <= n; i++) {
      k = kinds[i]
      d = k == 4 ? 0.5 + rand() * 2.5 : k == 2 ? 2 + rand() * 8 : 3
      b = 1 + rand() * (len - d - 20)
      at = b + d + 1 + rand() * (len - b - d - 10)
      if (k == 4) { printf "4 %.3f %.3f 0 0\n", b, b + d; len -= d }
      else if (k == 2) printf "2 %.3f %.3f 0 0.7\n", b, b + d
      else if (k == 5 || k == 10) { printf "%d 0 10 %.3f 0\n", k, b; if (k == 5) len += 10 }
      else if (k == 14) printf "14 %.3f %.3f %.3f 0\n", b, b + d, at
      else printf "%d %.3f %.3f 0 %s\n", k, b, b + d, k == 6 ? "1" : k == 9 ? "0.3" : "0"
    }
  }'
}

# run_measured: one run of the binary in $ws under /usr/bin/time, for the
# session's peak memory in session_kb. run_timed: one run started straight
# from the shell, as the floor's programs are, its time in run_us.
session_kb=0
run_us=0
run_measured() {
  /usr/bin/time -f "%M" -o "$out/.rss" env -C "$ws" "$1" >/dev/null 2>"$out/.err" || tail -2 "$out/.err" >&2
  local kb
  kb=$(tail -1 "$out/.rss")
  if ((kb > session_kb)); then session_kb=$kb; fi
}
run_timed() {
  local start
  start=$(date +%s%N)
  (cd "$ws" && exec "$1" >/dev/null 2>"$out/.err") || tail -2 "$out/.err" >&2
  run_us=$((($(date +%s%N) - start) / 1000))
}

# A durable replacement that frees the file it replaces, as mv over a working
# file does: the floor of an edit or an undo deep in a history, which frees the
# whole file of the version that stops being the newest. Its time in run_us.
replacement_that_frees() {
  cp "$ws/audio/output.wav" "$out/floor.wav" && sync
  local start
  start=$(date +%s%N)
  cp "$out/floor.wav" "$out/floor.new" && sync "$out/floor.new" && mv "$out/floor.new" "$out/floor.wav" &&
    sync "$out"
  run_us=$((($(date +%s%N) - start) / 1000))
  rm -f "$out/floor.wav"
}

bench_session() {  # name minutes
  local name=$1 wav=$out/$1.wav second binary label
  generate "$name" $(($2 * 60))
  second=$(short_second)
  echo "--- $name: fifty edits of a spoken-word session ($(stat -c %s "$wav") bytes)"
  printf '%-10s %10s %8s %9s %9s %10s %9s %9s %8s\n' build audio_MB x_working edit_s x_durable first_undo deep_undo x_durable peak_MiB
  for binary in "$tolva" ${OLD_TOLVA:+"$OLD_TOLVA"}; do
    label=this
    [[ $binary == "$tolva" ]] || label=before
    prepare_workspace "$wav" '' "$second"
    session_kb=0
    local cmd
    while read -r cmd; do
      command_file "$cmd"
      run_measured "$binary"
    done < <(session_commands $(($2 * 60)) 7)
    local held working
    sync
    held=$(du -s --block-size=1 "$ws/audio" | cut -f1)
    working=$(stat -c %s "$ws/audio/output.wav")
    # One more edit, the first undo after it, and undos further back, each
    # beside a durable replacement of the working file in the same state.
    local edit_us floor_edit first_us deep_us=0 floor_deep=0 i
    replacement_that_frees && floor_edit=$run_us
    command_file "2 120 125 0 0.5" && run_timed "$binary" && edit_us=$run_us
    command_file "666 0 0 0 0" && run_timed "$binary" && first_us=$run_us
    for i in 1 2 3 4 5; do
      replacement_that_frees
      local f=$run_us
      command_file "666 0 0 0 0" && run_timed "$binary"
      if ((deep_us == 0 || run_us < deep_us)); then deep_us=$run_us; fi
      if ((floor_deep == 0 || f < floor_deep)); then floor_deep=$f; fi
    done
    # Five more undos as deep, for the memory an undo from pieces takes.
    for i in 1 2 3 4 5; do
      command_file "666 0 0 0 0" && run_measured "$binary"
    done
    printf '%-10s %10s %8s %9s %9s %10s %9s %9s %8s\n' "$label" "$((held / 1000000))" \
      "$(ratio "$held" "$working")" "$(seconds "$edit_us")" "$(ratio "$edit_us" "$floor_edit")" \
      "$(seconds "$first_us")" "$(seconds "$deep_us")" "$(ratio "$deep_us" "$floor_deep")" \
      "$(awk -v k="$session_kb" 'BEGIN { printf "%.1f", k / 1024 }')"
  done
}

bench_long() {
  local wav=$out/four.wav
  if [[ ! -f $wav ]]; then
    sox -n -r 44100 -c 2 -b 16 "$wav" synth 14400 sine 220-880 sine 330 tremolo 3 40 vol 0.7
  fi
  echo "--- four hours: $(stat -c %s "$wav") bytes, 44.1 kHz stereo; against a durable replacement, in turn, best of $repeat"
  durable_row operation tolva_s durable_s ratio "" peak_MiB
  local entry cmd label setup
  for entry in "2 10800 10810 0 0.5|volume 10 s at 3 h (op 2)" "4 10800 10810 0 0|cut 10 s at 3 h (op 4)" \
    "666 0 0 0 0|undo of the volume edit"; do
    IFS='|' read -r cmd label <<<"$entry"
    setup="prepare_workspace $wav"
    [[ $cmd == 666* ]] && setup+=" && command_file '2 10800 10810 0 0.5' && env -C $ws $tolva"
    alternate "$setup && command_file '$cmd'"
    durable_row "$label" "$(seconds "$tolva_us")" "$(seconds "$floor_us")" \
      "$(ratio "$tolva_us" "$floor_us")" "" "$(awk -v k="$peak_kb" 'BEGIN { printf "%.1f", k / 1024 }')"
  done
}

case $mode in
  --durable)
    [[ ${2:-} == --sixty ]] || bench_durable ten 10
    [[ ${2:-} == --quick ]] || bench_durable sixty 60
    exit 0
    ;;
  --session)
    bench_session ten 10
    bench_session sixty 60
    exit 0
    ;;
  --long)
    bench_long
    exit 0
    ;;
esac

if [[ $xfs_only == 1 ]]; then
  bench_xfs sixty 60
else
  bench_file ten 10
  [[ $quick == 1 ]] || bench_file sixty 60
  [[ $quick == 1 || $history_only == 1 ]] || bench_xfs sixty 60
fi
rm -rf "$ws" "$out"/o.* "$out"/w.png "$out"/[abcds].wav "$out/copy.wav" "$out/.rss" "$out/.err" "$out/.strace"
