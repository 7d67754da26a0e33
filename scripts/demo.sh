#!/usr/bin/env bash
# Installs what is missing, builds tolva and runs one short editing session in a
# throwaway workspace with tolva's subcommands; pictures of the waveform before
# and after the edits and the exported MP3 are kept in build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build >/dev/null
pictures=$root/build/demo
mkdir -p "$pictures"

ws=$(mktemp -d /tmp/tolva-demo-XXXXXX)
trap 'rm -rf "$ws"' EXIT
mkdir "$ws/audio"
cd "$ws"

step() {  # what it means, then the subcommand and its arguments
  local why=$1
  shift
  echo
  echo "\$ tolva $*      # $why"
  set +e
  "$root/build/tolva" "$@"
  local status=$?
  set -e
  echo "    exit status $status"
}

echo "Workspace: $ws"
"$root/build/tolva_tone" audio/output.wav 12
step "a generated 12-second stereo recording stands in for the user's audio" info
step "export it as FLAC: the recording a user would bring" export talk.flac
step "import it as the working file (by its content, not its name)" import talk.flac
step "a picture of the working file, 1 s to 3 s shaded" waveform "$pictures/before.png" --range 1 3
step "halve the volume of 1 s to 3 s" volume 0:01 0:03 0.5
step "play 4 s to 6 s backwards" reverse 4 6
step "cut 8 s to 9.5 s out" cut 8 9.5
step "undo the cut" undo
step "redo the cut" redo
step "undo it again" undo
step "echo of 2 s to 3 s, 0.25 s later" echo 2 3 0.25
step "a range that ends before it begins: refused, nothing changes" volume 5 1 2
step "a time that is no time: a usage error, nothing changes" cut 1:75 2
step "every version, numbered: redo steps, the working file, snapshots" history
step "save the version before the echo as a WAV, the history unchanged" history --save 1 before-echo.wav
step "the working file now" info
step "the picture after the edits" waveform "$pictures/after.png" --range 1 3
step "export the result; the working file and its history are cleared" export talk-edited.mp3
echo
echo "Files left in audio/: $(ls audio | xargs) (none: the export cleared them)"
cp talk-edited.mp3 "$pictures/"
echo "The export (kept):         $pictures/talk-edited.mp3, $(stat -c %s talk-edited.mp3) bytes"
echo "Waveform before the edits: $pictures/before.png"
echo "Waveform after the edits:  $pictures/after.png"
