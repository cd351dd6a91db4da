#!/usr/bin/env bash
# Installs the test dependencies (Debian), builds everything and runs the
# whole test suite. With --sanitize the build uses ASan + UBSan (build-asan).
set -euo pipefail
cd "$(dirname "$0")/.."

packages="cmake g++ make python3 libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libmagic-dev libssl-dev"
missing=""
for p in $packages; do dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"; done
if [ -n "$missing" ]; then
  if [ "$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq $missing
  else sudo apt-get update -qq && sudo apt-get install -y -qq $missing; fi
fi

build=build
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  flags=(-DGAINSCAN_SANITIZE=ON -DGAINSCAN_BENCH=OFF)
fi
cmake -S . -B "$build" "${flags[@]}"
cmake --build "$build" -j"$(nproc)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
