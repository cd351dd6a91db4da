#!/usr/bin/env bash
# What hashing every file costs gainscan-batch (a benchmark, never a test).
#
#   bench/batch_hash_cost.sh [FILES]
#
# Builds build-batch-bench/, encodes FILES (default 300) 20-second files with
# lame from sox-synthesised audio, warms the page cache, and times with
# hyperfine, in the same run and on two cores, the quick and the whole-file
# scan with --hash none, sha256 (the default) and sha256,md5. Prints each
# against --hash none of the same mode. The quick scan reads only the first
# 200 granule records, so there hashing means reading the rest of each file.
# Needs: sox lame hyperfine.
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-300}
cores=0,1

cmake -S . -B build-batch-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAINSCAN_TESTS=OFF -DGAINSCAN_BENCH=OFF >/dev/null
cmake --build build-batch-bench -j2 --target gainscan-batch >/dev/null
batch=$PWD/build-batch-bench/batch/gainscan-batch

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/src" "$scratch/files"
for i in $(seq 0 9); do
  sox -n -r 44100 -c 2 -b 16 "$scratch/src/$i.wav" synth 20 sine $((200 + 97 * i)) pinknoise vol 0.4 2>/dev/null
  lame --quiet -b $((96 + 32 * (i % 4))) "$scratch/src/$i.wav" "$scratch/src/$i.mp3"
done
for n in $(seq 0 $((files - 1))); do cp "$scratch/src/$((n % 10)).mp3" "$scratch/files/$n.mp3"; done
cat "$scratch"/files/* > /dev/null
echo "$files files, $(du -sm "$scratch/files" | cut -f1) MB, in page cache; runs pinned to cores $cores"

commands=()
for mode in quick whole; do
  flag=""; [ $mode = quick ] && flag=--quick
  for hash in none sha256 sha256,md5; do
    commands+=(-n "$mode $hash" "taskset -c $cores $batch $flag --hash $hash -f jsonl -q -j 2 $scratch/files")
  done
done
hyperfine -N -i --warmup 1 --runs 7 --export-json "$scratch/times.json" "${commands[@]}" --output=null
python3 - "$scratch/times.json" "$files" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
for mode in ("quick", "whole"):
    base = results[f"{mode} none"]["mean"]
    for hash in ("none", "sha256", "sha256,md5"):
        r = results[f"{mode} {hash}"]
        # Processor time (user) is steadier than the wall clock on a shared machine.
        user = r["user"] / results[f"{mode} none"]["user"]
        print(f"{mode:5s} --hash {hash:10s} {r['mean'] * 1000:8.1f} ms +- {r['stddev'] * 1000:5.1f}"
              f"  x{r['mean'] / base:5.2f} of --hash none; user time {r['user'] * 1000:7.1f} ms, x{user:5.2f}")
PY
