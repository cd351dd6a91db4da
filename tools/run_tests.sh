#!/usr/bin/env bash
# Installs the test dependencies (Debian), builds everything and runs the
# whole test suite. With --sanitize the build uses ASan + UBSan (build-asan);
# with --tsan, ThreadSanitizer (build-tsan), running the tests labelled batch
# (gainscan-batch is the multithreaded program).
#
# Tests are switched on explicitly whatever an earlier configuration of the
# build directory said (the README's quick start configures build/ without
# them), and a run in which ctest found no test fails rather than passing.
set -euo pipefail
cd "$(dirname "$0")/.."

# The Python module and its tests (pybind11, numpy, pytest, Dask), and the
# browser that checks the HTML report, are part of the suite too.
packages="cmake g++ make python3 pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libmagic-dev libssl-dev pybind11-dev python3-pybind11 python3-dev python3-numpy python3-pytest python3-pandas python3-dask python3-distributed chromium"
missing=""
for p in $packages; do dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"; done
if [ -n "$missing" ]; then
  if [ "$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq $missing
  else sudo apt-get update -qq && sudo apt-get install -y -qq $missing; fi
fi

build=build
flags=(-DGAINSCAN_TESTS=ON -DGAINSCAN_BENCH=ON -DGAINSCAN_SANITIZE=OFF -DGAINSCAN_TSAN=OFF)
select=()
case "${1:-}" in
  --sanitize) build=build-asan; flags=(-DGAINSCAN_TESTS=ON -DGAINSCAN_BENCH=OFF -DGAINSCAN_SANITIZE=ON -DGAINSCAN_TSAN=OFF) ;;
  --tsan) build=build-tsan; flags=(-DGAINSCAN_TESTS=ON -DGAINSCAN_BENCH=OFF -DGAINSCAN_SANITIZE=OFF -DGAINSCAN_TSAN=ON)
          select=(-L batch) ;;
  "") ;;
  *) echo "usage: tools/run_tests.sh [--sanitize|--tsan]" >&2; exit 2 ;;
esac
jobs=$(nproc); [ "$jobs" -le 2 ] || jobs=2
cmake -S . -B "$build" "${flags[@]}"
cmake --build "$build" -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  tools/ctest_nonempty.sh "$build" --output-on-failure -j"$jobs" "${select[@]}"
