#!/usr/bin/env bash
# Installs what is missing, builds tolva and runs one short editing session in a
# throwaway workspace, exactly as the front end drives it: a command in
# audio/tolvaset.in, one run of tolva per command.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build >/dev/null

ws=$(mktemp -d /tmp/tolva-demo-XXXXXX)
trap 'rm -rf "$ws"' EXIT
mkdir "$ws/audio"
cd "$ws"

describe() {  # file: size and, for a WAV, its format from the header bytes
  local f=audio/$1
  if [[ ! -f $f ]]; then
    echo "    $1: (none)"
    return
  fi
  local size channels rate data
  size=$(stat -c %s "$f")
  if [[ $1 == *.wav ]]; then
    channels=$(od -An -tu2 -j22 -N2 "$f" | tr -d ' ')
    rate=$(od -An -tu4 -j24 -N4 "$f" | tr -d ' ')
    data=$(od -An -tu4 -j40 -N4 "$f" | tr -d ' ')
    printf '    %s: %d bytes, %d ch, %d Hz, %s s; samples at 1 s: %s\n' "$1" "$size" "$channels" "$rate" \
      "$(awk -v d="$data" -v r="$rate" -v c="$channels" 'BEGIN { printf "%.2f", d / (r * c * 2) }')" \
      "$(od -An -td2 -j$((44 + 2 * rate * channels)) -N8 "$f" | xargs)"
  else
    printf '    %s: %d bytes\n' "$1" "$size"
  fi
}

step() {  # command, what it means
  echo
  echo "\$ echo \"$1\" > audio/tolvaset.in && tolva      # $2"
  echo "$1" >audio/tolvaset.in
  set +e
  "$root/build/tolva"
  local status=$?
  set -e
  echo "    exit status $status"
  describe output.wav
  [[ -d audio/oldversions ]] && echo "    snapshots: $(find audio/oldversions -maxdepth 1 -type f | wc -l)"
  return 0
}

echo "Workspace: $ws"
"$root/build/tolva_tone" audio/output.wav 12
echo "A generated 12-second stereo recording stands in for the user's audio:"
describe output.wav
step "999 0 0 0 0" "export it to MP3 (the recording a user would bring)"
describe output.mp3
mv audio/output.mp3 audio/res.mp3
step "0 0 0 0 0" "import audio/res.mp3 as the working file"
step "2 1.0 3.0 0 0.5" "halve the volume of 1 s to 3 s"
step "3 4.0 6.0 0 0" "play 4 s to 6 s backwards"
step "4 8.0 9.5 0 0" "cut 8 s to 9.5 s out"
step "666 0 0 0 0" "undo the cut"
step "667 0 0 0 0" "redo the cut"
step "666 0 0 0 0" "undo it again"
step "9 2.0 3.0 0 0.25" "echo of 2 s to 3 s, 0.25 s later"
step "2 5 1 0 2" "a range that ends before it begins: refused, nothing changes"
step "999 0 0 0 0" "export the result; the working file and its history are cleared"
describe output.mp3
echo
echo "Files left in audio/: $(ls audio | xargs)"
