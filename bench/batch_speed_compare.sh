#!/usr/bin/env bash
# gainscan-batch against an earlier commit's, measured in the same run (a
# benchmark, never a test).
#
#   bench/batch_speed_compare.sh [BASELINE_COMMIT] [FILES] [COPIES]
#
# BASELINE_COMMIT (default 2c9ffbb, before the quick scan stepped over the
# Huffman codes without computing the spectrum) is exported with `git archive`
# into a temporary directory and built there; this tree is built into
# build-batch-bench/. Both in RelWithDebInfo, the project's default.
#
# Inputs, made in a temporary directory: the quick-scan set of
# bench/batch_throughput.sh (100 short lame encodes of sox-synthesised audio,
# varied rates, modes and bitrates, copied to FILES files, default 2000), and
# a whole-file set of 30 s files, 128 kbit/s joint stereo, 44.1 kHz: 8
# encodes, COPIES copies each (default 4: 32 files, about 15 MB). A -j 2 run
# of the default set takes about 80 ms, of which some 6 ms are the process's
# start and each worker's first file whatever the set: a larger set (16
# copies, 128 files, 60 MB) shows the two cores' throughput with less of
# that in it.
#
# First both programs' records are compared (quick scan over the small set,
# whole-file scan over both, JSON Lines, --hash none, the scan line with its
# start time left out): the run stops if they differ. Then, with the page
# cache warm and every run pinned to cores 0,1:
# - hyperfine (alternating, 5 runs each): `cat` over the small set, the quick
#   scan of both programs with -j 2 (default digest, sha256), and the
#   whole-file scan of both with -j 1 and -j 2; files/s, MB/s and the
#   new/old ratios of the means;
# - callgrind (when valgrind is installed): instructions of both programs for
#   the quick scan of the first 200 small files and for the whole-file scan of
#   one 128 kbit/s file (-j 1, --hash none), which do not depend on what else
#   runs on the machine.
# Needs: git cmake g++ sox lame hyperfine python3; valgrind for the counts.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/short_files.sh
baseline=${1:-2c9ffbb}
files=${2:-2000}
copies=${3:-4}
cores=0,1

for tool in git cmake sox lame hyperfine python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/gainscan-batch-speed.XXXXXX")
trap 'rm -rf "$work"' EXIT

# -- builds
cmake -S . -B build-batch-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAINSCAN_TESTS=OFF -DGAINSCAN_BENCH=OFF >/dev/null
cmake --build build-batch-bench -j2 --target gainscan-batch >/dev/null
mkdir "$work/old-src"
git archive "$baseline" | tar -x -C "$work/old-src"
cmake -S "$work/old-src" -B "$work/old-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAINSCAN_TESTS=OFF \
  -DGAINSCAN_BENCH=OFF >/dev/null
cmake --build "$work/old-build" -j2 --target gainscan-batch >/dev/null
old=$work/old-build/batch/gainscan-batch
new=$PWD/build-batch-bench/batch/gainscan-batch

# -- inputs
mkdir -p "$work/src" "$work/small" "$work/w128"
short_files "$work/src" "$work/small" "$files"
for i in $(seq 0 7); do
  sox -R -n -r 44100 -c 2 -b 16 "$work/w$i.wav" synth 30 pinknoise synth 30 sine \
      mix $((100 + 50 * i))-$((2000 + 300 * i)) vol 0.5 2>/dev/null
  lame --quiet -m j -b 128 "$work/w$i.wav" "$work/w128/$i-0.mp3"
  for ((k = 1; k < copies; ++k)); do cp "$work/w128/$i-0.mp3" "$work/w128/$i-$k.mp3"; done
done
rm -f "$work"/*.wav "$work"/src/*.wav
mkdir "$work/small200"
# Whole lists first, then cut: under pipefail, ls killed by a pipe that head
# closed early would end the script.
ls "$work/small" > "$work/names"
sed -n 1,200p "$work/names" | while read -r f; do ln "$work/small/$f" "$work/small200/$f"; done
find "$work/small" -type f -print0 | LC_ALL=C sort -z > "$work/list"
small_mb=$(du -sm "$work/small" | cut -f1)
w128_bytes=$(du -sb "$work/w128" | cut -f1)

# -- the same records from both
# Since c1524bd an MPEG-1 granule 1 reuses granule 0's scale factors where its
# scfsi bits say so (before, they were read as 0), which changes the energies
# the whole-file evidence weighs: against an older baseline the fields that
# follow from them (score, p_value, flagged, plot) are left out.
records() { grep -v '^{"scan"' || true; }
if ! git merge-base --is-ancestor c1524bd "$baseline" 2>/dev/null; then
  echo "baseline before c1524bd: score, p_value, flagged and plot not compared"
  records() {
    python3 -c '
import json, sys
for line in sys.stdin:
    r = json.loads(line)
    if "scan" in r:
        continue
    for key in ("score", "p_value", "flagged", "plot"):
        r.pop(key, None)
    print(json.dumps(r))'
  }
fi
for args in "--quick $work/small" "$work/small" "$work/w128"; do
  # shellcheck disable=SC2086
  if ! diff <("$old" --format jsonl --hash none -q -j 2 $args | records) \
            <("$new" --format jsonl --hash none -q -j 2 $args | records) >/dev/null; then
    echo "the two programs' records differ ($args): no speed comparison" >&2
    exit 1
  fi
done
echo "records identical: quick and whole-file scans of $files small files, whole-file scan of the 128 kbit/s set"

# -- wall clock
cat "$work"/small/* "$work"/w128/* >/dev/null
echo "$files small files (${small_mb} MB) and $((8 * copies)) files of 128 kbit/s ($((w128_bytes / 1000000)) MB), in page cache;" \
  "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), runs pinned to cores $cores"
hyperfine -N -i --warmup 1 --runs 5 --export-json "$work/times.json" --output=null \
  -n cat "taskset -c $cores xargs -0 -a $work/list cat" \
  -n quick-old "taskset -c $cores $old --quick --format jsonl -q -j 2 $work/small" \
  -n quick-new "taskset -c $cores $new --quick --format jsonl -q -j 2 $work/small" \
  -n whole-j1-old "taskset -c $cores $old --format jsonl -q -j 1 $work/w128" \
  -n whole-j1-new "taskset -c $cores $new --format jsonl -q -j 1 $work/w128" \
  -n whole-j2-old "taskset -c $cores $old --format jsonl -q -j 2 $work/w128" \
  -n whole-j2-new "taskset -c $cores $new --format jsonl -q -j 2 $work/w128" >/dev/null
python3 - "$work/times.json" "$files" "$w128_bytes" <<'PY'
import json, sys
runs = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
files, w128 = int(sys.argv[2]), int(sys.argv[3])
def line(name, rate, unit):
    r = runs[name]
    print("%-13s %8.1f ms (+- %5.1f)  user+sys %7.1f ms  %9.0f %s"
          % (name, r["mean"] * 1e3, r["stddev"] * 1e3, (r["user"] + r["system"]) * 1e3, rate / r["mean"], unit))
print()
print("== wall clock (hyperfine means)")
line("cat", files, "files/s")
for which in ("old", "new"):
    line("quick-" + which, files, "files/s")
for jobs in ("j1", "j2"):
    for which in ("old", "new"):
        line("whole-%s-%s" % (jobs, which), w128 / 1e6, "MB/s")
q_old, q_new = runs["quick-old"], runs["quick-new"]
print("quick scan: new %.2fx the files/s of old (processor time %.2fx less); cat %.2fx the new"
      % (q_old["mean"] / q_new["mean"], (q_old["user"] + q_old["system"]) / (q_new["user"] + q_new["system"]),
         q_new["mean"] / runs["cat"]["mean"]))
for jobs in ("j1", "j2"):
    o, n = runs["whole-%s-old" % jobs], runs["whole-%s-new" % jobs]
    print("whole-file -j %s: new %.2fx the MB/s of old (processor time %.2fx less)"
          % (jobs[1], o["mean"] / n["mean"], (o["user"] + o["system"]) / (n["user"] + n["system"])))
print("whole-file -j 2 against -j 1: old %.2fx, new %.2fx"
      % (runs["whole-j1-old"]["mean"] / runs["whole-j2-old"]["mean"],
         runs["whole-j1-new"]["mean"] / runs["whole-j2-new"]["mean"]))
PY

# -- instructions
if command -v valgrind >/dev/null; then
  echo
  echo "== instructions (callgrind, -j 1, --hash none)"
  printf "%-34s %14s %14s %8s\n" run old new old/new
  one=$(ls "$work"/w128/*.mp3 | sed -n 1p)
  for args in "--quick $work/small200" "$one"; do
    counts=()
    for program in "$old" "$new"; do
      # shellcheck disable=SC2086
      counts+=("$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$program" --format jsonl --hash none -q -j 1 \
        $args 2>&1 >/dev/null | sed -n 's/.*Collected : \([0-9]*\).*/\1/p' || true)")  # status 1: flagged
    done
    case $args in --quick*) label="quick scan, 200 small files";; *) label="whole file, one 30 s 128 kbit/s";; esac
    python3 -c 'import sys; o, n = int(sys.argv[2]), int(sys.argv[3]); print("%-34s %14d %14d %7.2fx" % (sys.argv[1], o, n, o / n))' \
      "$label" "${counts[0]}" "${counts[1]}"
  done
fi
