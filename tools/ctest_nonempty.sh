#!/usr/bin/env bash
# ctest that cannot pass empty: runs `ctest --test-dir BUILD ARGS...` and
# fails when the selection holds no test (ctest itself exits 0 then, printing
# "No tests were found!!!").
#
#   tools/ctest_nonempty.sh BUILD [CTEST ARGS...]
set -euo pipefail
build=${1:?usage: tools/ctest_nonempty.sh BUILD [CTEST ARGS...]}
shift
# The same selection as the run, listed only (-N); -j and --output-on-failure do not change it.
count=$(ctest --test-dir "$build" -N "$@" | sed -n 's/^Total Tests: *\([0-9][0-9]*\).*/\1/p')
if [ -z "$count" ] || [ "$count" -eq 0 ]; then
  echo "ctest_nonempty: no test selected in $build (was it configured with -DGAINSCAN_TESTS=ON?)" >&2
  exit 1
fi
ctest --test-dir "$build" "$@"
