#!/usr/bin/env bash
# Installs what is missing, builds tolva and runs the whole test suite twice:
# an optimised build, then one under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure -j2)
}

# The Debian package installs a working program and its manual.
check_package() {
  rm -rf build/tolva_*.deb build/package-root
  (cd build && cpack -G DEB >/dev/null)
  local deb=(build/tolva_*.deb) root=build/package-root depends version
  dpkg -x "${deb[0]}" "$root"
  depends=$(dpkg-deb -f "${deb[0]}" Depends)
  [[ $depends == *libmpg123-0* && $depends == *libshine3* && $depends == *libsndfile1* ]]
  version=$("$root/usr/bin/tolva" --version)
  [[ $version == "tolva "* ]]
  test -s "$root/usr/share/man/man1/tolva.1"
  echo "package: ${deb[0]} installs $version and tolva(1)"
}

run_suite build -DCMAKE_BUILD_TYPE=Release
check_package
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTOLVA_SANITIZE=ON
