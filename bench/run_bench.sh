#!/usr/bin/env bash
# Builds the benchmark in Release (build-bench), runs it and prints one
# summary: the analyser's run against plain stdio reads of the same bytes and
# of the whole file, and the decoder's frames and bytes per second.
# Extra arguments go to the benchmark binary. GAINSCAN_BENCH_FILE picks the
# input (default: the biggest *.mp3 in tests/fixtures).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DGAINSCAN_TESTS=OFF -DGAINSCAN_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target gainscan_bench >/dev/null

json="$(mktemp "${TMPDIR:-/tmp}/gainscan-bench.XXXXXX.json")"
trap 'rm -f "$json"' EXIT
"$build/bench/gainscan_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$json" --benchmark_out_format=json "$@"

python3 - "$json" <<'PY'
import json
import sys

with open(sys.argv[1]) as f:
    doc = json.load(f)
ctx = doc["context"]
median = {b["run_name"]: b for b in doc["benchmarks"] if b.get("aggregate_name") == "median"}

def seconds(b, key="real_time"):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
    return b[key] * scale

def show(name):
    return name in median

print()
print("== gainscan benchmark summary (medians of 5 repetitions)")
print(f"input: {ctx.get('bench_file')} ({int(ctx.get('file_bytes', 0))} bytes)")
if show("Analyser/run"):
    run = seconds(median["Analyser/run"])
    read = int(ctx.get("analyser_bytes_read", 0))
    print(f"analyser run:                 {run * 1e6:10.1f} us  (reads {read} bytes of the file)")
    for name, label in (("Stdio/analyser_bytes", f"stdio read of {read} bytes"),
                        ("Stdio/whole_file", "stdio read of the whole file")):
        if show(name):
            base = seconds(median[name])
            print(f"{label + ':':30s}{base * 1e6:10.1f} us  -> analyser / baseline = {run / base:8.1f}x")
if show("Decoder/init") and show("Analyser/run"):
    init = seconds(median["Decoder/init"])
    print(f"{'dec_init:':30s}{init * 1e6:10.1f} us  ({100 * init / run:.0f}% of the analyser run)")
for name in ("Decoder/whole_file", "Decoder/chunked_16385", "Decoder/repeated_x8"):
    if show(name):
        b = median[name]
        frames = b.get("frames", 0)
        t = seconds(b)
        print(f"{name + ':':30s}{t * 1e3:10.2f} ms  {frames:8.0f} frames  "
              f"{frames / t:10.0f} frames/s  {b.get('input_bytes', 0) / t / 1e6:7.2f} MB/s")
print("(times are wall-clock medians; the benchmark's own frames_per_s and bytes_per_second use CPU time)")
PY
