#!/usr/bin/env bash
# Fuzzes the header parser and the command parser with libFuzzer (clang) for
# the given number of seconds (default 60). Not part of the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --fuzz
seconds=${1:-60}
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DTOLVA_TESTS=OFF -DTOLVA_FUZZ=ON >/dev/null
cmake --build build-fuzz --target input_fuzzer
mkdir -p build-fuzz/corpus
build-fuzz/input_fuzzer -max_total_time="$seconds" -max_len=2048 build-fuzz/corpus
