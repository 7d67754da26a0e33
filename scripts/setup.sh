#!/usr/bin/env bash
# Installs every Debian package that building, testing (and, with --bench,
# benchmarking) tolva needs. Idempotent, and quiet when all is already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config make
  libmpg123-dev libshine-dev libpng-dev libcli11-dev libsndfile1-dev
  libgtest-dev libgmock-dev
  shineenc mpg123 lame sox flac
  clang-format
  xfsprogs
)
case "${1:-}" in
  --bench) packages+=(ffmpeg time coreutils strace) ;;
  --fuzz) packages+=(clang-14 libclang-rt-14-dev ffmpeg) ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
