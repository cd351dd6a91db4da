#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) into build-fuzz and runs
# each for SECONDS (default 60) on a scratch copy of its seed corpus, so the
# committed corpus is never changed. Exits nonzero when any target crashed,
# leaked, timed out or failed to run. Crash inputs are kept under
# build-fuzz/findings/<target>/.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
build=build-fuzz
targets=(fuzz_decoder_chunking fuzz_analyser fuzz_side_info fuzz_huffman_differential)

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -DGAINSCAN_FUZZ=ON -DGAINSCAN_TESTS=OFF -DGAINSCAN_BENCH=OFF \
    >/dev/null || exit 1
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >/dev/null || {
  echo "fuzz build failed" >&2
  cmake --build "$build" --target "${targets[@]}" 2>&1 | tail -30 >&2
  exit 1
}

scratch="$(mktemp -d "${TMPDIR:-/tmp}/gainscan-fuzz.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

max_len() {
  case "$1" in
    fuzz_side_info) echo 65 ;;
    fuzz_decoder_chunking) echo 65540 ;;
    fuzz_huffman_differential) echo 2400 ;;
    *) echo 65536 ;;
  esac
}

summary=()
failed=0

# Saved reproducers first: each must now run clean.
for t in "${targets[@]}"; do
  dir="fuzz/regressions/$t"
  [ -d "$dir" ] || continue
  files=("$dir"/*)
  [ -e "${files[0]}" ] || continue
  if ! "$build/fuzz/$t" -close_fd_mask=3 -runs=1 "${files[@]}" >"$scratch/$t.regressions.log" 2>&1; then
    failed=1
    echo "-- $t: a saved reproducer in $dir still fails:"
    grep -v -E '^#[0-9]+' "$scratch/$t.regressions.log" | tail -30
  fi
  summary+=("$(printf '%-26s reproducers in %s: %d' "$t" "$dir" "${#files[@]}")")
done
for t in "${targets[@]}"; do
  work="$scratch/$t"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -r "fuzz/corpus/$t/." "$work/corpus/"
  log="$work/log"
  echo "== $t: ${seconds}s"
  "$build/fuzz/$t" "$work/corpus" \
    -max_total_time="$seconds" -timeout=20 -max_len="$(max_len "$t")" \
    -dict=fuzz/mp3.dict -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" >"$log" 2>&1
  rc=$?

  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  cov="$(grep -E '^#[0-9]+' "$log" | tail -1 | sed -n 's/.* cov: \([0-9]*\).*/\1/p')"
  findings="$(find "$work/artifacts" -type f | wc -l)"
  if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
    failed=1
    mkdir -p "$build/findings/$t"
    cp "$work/artifacts/"* "$build/findings/$t/" 2>/dev/null
    cp "$log" "$build/findings/$t/log.txt"
    echo "-- $t failed (exit $rc); last lines of its log:"
    grep -v -E '^#[0-9]+' "$log" | tail -40
    echo "-- inputs kept in $build/findings/$t/"
  fi
  summary+=("$(printf '%-26s executions %-10s cov %-6s findings %s (exit %s)' "$t" "${execs:-?}" "${cov:-?}" "$findings" "$rc")")
done

echo "== fuzz summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
exit "$failed"
