#!/usr/bin/env bash
# gainscan-batch throughput and memory (a benchmark, never a test).
#
#   bench/batch_throughput.sh [FILES] [BIG]
#
# Builds build-batch-bench/, encodes 100 short files with lame from
# sox-synthesised audio (varied rates, modes, bitrates) and copies them to
# FILES files (default 2000) in a scratch directory, warms the page cache,
# and times with hyperfine, on two cores: `cat` over the files, one quick scan
# (`gainscan-batch --quick --format jsonl`), the whole-file scan, and
# `gainscan` run once per file. Then the peak resident set size of a quick and
# a whole-file scan of BIG names (default 100000: hard links of the same files).
# Needs: sox lame hyperfine (and /usr/bin/time).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/short_files.sh
files=${1:-2000}
big=${2:-100000}
cores=0,1

cmake -S . -B build-batch-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAINSCAN_TESTS=OFF -DGAINSCAN_BENCH=OFF >/dev/null
cmake --build build-batch-bench -j2 --target gainscan gainscan-batch >/dev/null
batch=$PWD/build-batch-bench/batch/gainscan-batch
gainscan=$PWD/build-batch-bench/analyser/gainscan

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/src" "$scratch/files" "$scratch/big"
short_files "$scratch/src" "$scratch/files" "$files"
find "$scratch/files" -type f -print0 | LC_ALL=C sort -z > "$scratch/list"
cat "$scratch"/files/* > /dev/null
mb=$(du -sm "$scratch/files" | cut -f1)
echo "$files files, ${mb} MB, in page cache; $(nproc) cores, runs pinned to cores $cores"

hyperfine -N -i --warmup 1 --runs 5 --export-json "$scratch/times.json" \
  -n cat "taskset -c $cores xargs -0 -a $scratch/list cat" \
  -n quick "taskset -c $cores $batch --quick --format jsonl -q -j 2 $scratch/files" \
  -n whole "taskset -c $cores $batch --format jsonl -q -j 2 $scratch/files" \
  -n gainscan-per-file "taskset -c $cores xargs -0 -a $scratch/list -n 1 $gainscan" \
  --output=null
python3 - "$scratch/times.json" "$files" <<'PY'
import json, sys
files = int(sys.argv[2])
for r in json.load(open(sys.argv[1]))["results"]:
    print(f"{r['command'][:17]:17s} {r['mean']*1000:9.1f} ms  {files / r['mean']:10.0f} files/s")
PY

# Peak memory: BIG names in 100 directories, hard links of the 100 encodes.
per_dir=$(( (big + 99) / 100 ))
python3 - "$scratch" "$per_dir" <<'PY'
import os, sys
scratch, per_dir = sys.argv[1], int(sys.argv[2])
for d in range(100):
    os.mkdir(f"{scratch}/big/{d}")
    for n in range(per_dir):
        os.link(f"{scratch}/src/{(d + n) % 100}.mp3", f"{scratch}/big/{d}/{n}.mp3")
PY
for mode in "--quick" ""; do
  /usr/bin/time -v taskset -c $cores "$batch" $mode --format jsonl -q -j 2 "$scratch/big" 2>"$scratch/time.txt" \
    | grep -c '^{"file"' | sed "s/^/records: /" || true  # exit status 1: something was flagged
  rss=$(awk -F': ' '/Maximum resident/ {print $2}' "$scratch/time.txt")
  wall=$(awk -F': ' '/Elapsed \(wall/ {print $2}' "$scratch/time.txt")
  echo "scan of $((per_dir * 100)) files ${mode:-(whole file)}: peak RSS $((rss / 1024)) MiB, wall $wall"
done
