#!/usr/bin/env bash
# Whole-file decoding speed of this tree's decoder against an earlier one,
# measured in the same run, and the cost of one gainscan process against a
# program that only reads the same bytes.
#
#   bench/run_decode_speed.sh [BASELINE_COMMIT] [ROUNDS]
#
# BASELINE_COMMIT (default 53d0033, the decoder before the Huffman stage read
# whole pairs with their signs from one table) is checked out into a
# temporary git worktree and its decoder library built in Release there; this
# tree is built in Release into build-bench. The same bench/decode_speed.cpp,
# which uses the client interface only, is compiled the same way (CMake's
# Release flags) and linked against both decoders.
#
# First both decoders' output fingerprints (decode_speed --checksum: every
# frame and granule record, the 576 floats bit for bit, the quantised values,
# the reader position, every message) are compared on every input: the run
# stops if they differ.
#
# Inputs: three 60-second files made in a temporary directory with sox
# (pink noise and a sine sweep, fixed random numbers) and lame:
# 32 kbit/s mono, 128 kbit/s joint stereo and 320 kbit/s stereo, all
# 44.1 kHz; and the fixtures m1_32000_mono_cbr32, long_m1_44100_mono_cbr32_40s,
# m1_44100_joint_crc_cbr128, m1_48000_joint_cbr128 and m1_44100_stereo_cbr320.
# Each file is decoded from memory, in one chunk, over and over for a second
# of processor time, alternately by the old and the new decoder, ROUNDS times
# (default 5); the medians and their ratio are printed. The new decoder is
# timed a second way too, as the library's clients use it (decode_speed
# --spectrum-only: no quantised values, no stereo stage), after checking
# that its spectra are the old decoder's.
#
# The Huffman and requantisation stage is also timed alone
# (bench/stage_speed.cpp): every call of it is recorded during one decode of
# each file and replayed, old against new, after checking that the replays
# give the same results; the new stage both keeping the quantised values (as
# `gainscan FILE` does and the old one always did) and without them (as the
# library's clients run it).
#
# When valgrind is installed, the instructions each decoder executes for one
# decode of each synthesised file (callgrind; the warm-up pass and the timed
# pass together) and their ratio are printed too: on a shared machine they do
# not depend on what else runs.
#
# Whole process: hyperfine runs `gainscan FILE` on the 40-second fixture
# long_m1_44100_mono_cbr32_40s.mp3 and on the 128 kbit/s file against
# `decode_speed --read N FILE`, which opens the file and freads the N bytes
# gainscan reads (counted with strace when it is there, else the whole file),
# and prints the ratios (wall-clock means and medians, and processor time).
#
# Needs: cmake, g++, git, sox, lame, python3; valgrind for the instruction
# counts, hyperfine and strace for the whole-process figure
# (apt-get install valgrind hyperfine strace).
set -euo pipefail
cd "$(dirname "$0")/.."

baseline="${1:-53d0033}"
rounds="${2:-5}"
jobs=2

for tool in sox lame cmake g++ git python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/gainscan-speed.XXXXXX")"
base_src="$work/baseline-src"
cleanup() {
  git worktree remove --force "$base_src" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# -- builds
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DGAINSCAN_TESTS=OFF -DGAINSCAN_BENCH=ON >/dev/null
cmake --build build-bench -j"$jobs" --target decode_speed stage_speed gainscan >/dev/null

git worktree add --detach "$base_src" "$baseline" >/dev/null 2>&1
cmake -S "$base_src" -B "$work/baseline-build" -DCMAKE_BUILD_TYPE=Release -DGAINSCAN_TESTS=OFF \
  -DGAINSCAN_BENCH=OFF >/dev/null
cmake --build "$work/baseline-build" -j"$jobs" --target gainscan_decoder >/dev/null
# The same measuring program, compiled as CMake's Release does, on the old library
# (its own helpers, such as bench/load_file.h, from this tree).
g++ -std=c++20 -O3 -DNDEBUG -I"$base_src" -I. bench/decode_speed.cpp \
  "$work/baseline-build/decoder/libgainscan_decoder.a" -o "$work/decode_speed_old"
old="$work/decode_speed_old"
new=build-bench/bench/decode_speed
# The stage alone: the old library's stage function, wrapped by its own name.
old_stage_symbol="$(nm "$work/baseline-build/decoder/libgainscan_decoder.a" 2>/dev/null |
  awk '$2 == "T" && $3 ~ /^_Z25layer3_huffman_requantise/ && !found { print $3; found = 1 }')"
old_stage=""
if [[ -n "$old_stage_symbol" ]]; then
  g++ -std=c++20 -O3 -DNDEBUG -I"$base_src" -I. -DSTAGE_SYMBOL="\"$old_stage_symbol\"" bench/stage_speed.cpp \
    "$work/baseline-build/decoder/libgainscan_decoder.a" -Wl,--wrap="$old_stage_symbol" -o "$work/stage_speed_old"
  old_stage="$work/stage_speed_old"
fi
new_stage=build-bench/bench/stage_speed

# -- inputs
sox -R -n -r 44100 -c 2 -b 16 "$work/audio.wav" synth 60 pinknoise synth 60 sine mix 200-2000 vol 0.5 2>/dev/null
lame --quiet -m m -b 32 --resample 44.1 "$work/audio.wav" "$work/mono_32k.mp3"
lame --quiet -m j -b 128 --resample 44.1 "$work/audio.wav" "$work/joint_128k.mp3"
lame --quiet -m s -b 320 --resample 44.1 "$work/audio.wav" "$work/stereo_320k.mp3"
synthesised=("$work/mono_32k.mp3" "$work/joint_128k.mp3" "$work/stereo_320k.mp3")
files=("${synthesised[@]}")
for fixture in m1_32000_mono_cbr32 long_m1_44100_mono_cbr32_40s m1_44100_joint_crc_cbr128 \
  m1_48000_joint_cbr128 m1_44100_stereo_cbr320; do
  files+=("tests/fixtures/$fixture.mp3")
done

# -- the same output from both
# Since c1524bd an MPEG-1 granule 1 reuses granule 0's scale factors where its
# scfsi bits say so; decoders before it read them as 0. Against such a
# baseline the spectra of those records are left out of the fingerprints
# (everything else about them, and every other record, still compared).
except=()
if ! git merge-base --is-ancestor c1524bd "$baseline" 2>/dev/null; then
  except=(--except-reused)
  echo "baseline before c1524bd: the spectra of granule-1 records that reuse scale factors are not compared"
fi
if ! diff <("$old" "${except[@]}" --checksum "${files[@]}" tests/fixtures/*.mp3) \
  <("$new" "${except[@]}" --checksum "${files[@]}" tests/fixtures/*.mp3); then
  echo "the two decoders' outputs differ: no speed comparison" >&2
  exit 1
fi
echo "outputs identical on ${#files[@]} speed inputs and every fixture"
# What the library's clients (and so the whole-file analysis) get: the
# spectrum before stereo processing, without the quantised values. The old
# decoder cannot leave anything out; its spectra must be the same.
if ! diff <("$old" "${except[@]}" --spectrum-only --checksum "${files[@]}" tests/fixtures/*.mp3) \
  <("$new" "${except[@]}" --spectrum-only --checksum "${files[@]}" tests/fixtures/*.mp3); then
  echo "the two decoders' spectra differ: no speed comparison" >&2
  exit 1
fi

# -- decoding speed, old and new alternately
for ((r = 0; r < rounds; ++r)); do
  "$old" --speed 1 "${files[@]}" | sed 's/^/old /' >>"$work/speed.txt"
  "$new" --speed 1 "${files[@]}" | sed 's/^/new /' >>"$work/speed.txt"
  "$new" --spectrum-only --speed 1 "${files[@]}" | sed 's/^/spectrum /' >>"$work/speed.txt"
done

# Medians of the rounds in FILE (lines "which path frames seconds rate", which
# being old, new or spectrum) and their ratios, under the heading lines given.
summarise() {
  python3 - "$@" <<'PY'
import os
import statistics
import sys

rates = {}
frames = {}
for line in open(sys.argv[1]):
    which, path, count, _seconds, rate = line.split()
    name = os.path.basename(path)
    rates.setdefault((which, name), []).append(float(rate))
    frames[name] = int(count)
print()
for heading in sys.argv[2:]:
    print(heading % len(next(iter(rates.values()))) if "%d" in heading else heading)
print("%-34s %7s %10s %10s %10s %8s %8s" % ("file", "frames", "old", "new", "spectrum", "new/old", "sp./old"))
for name in frames:
    o = statistics.median(rates[("old", name)])
    n = statistics.median(rates[("new", name)])
    sp = statistics.median(rates[("spectrum", name)])
    print("%-34s %7d %10.0f %10.0f %10.0f %7.2fx %7.2fx" % (name, frames[name], o, n, sp, n / o, sp / o))
PY
}
head="$(git rev-parse --short HEAD)"

summarise "$work/speed.txt" \
  "== whole-file decoding, frames per second of processor time (median of %d rounds)" \
  "old = $baseline, new = $head (working tree)" \
  "spectrum = new, decoding only what the library's clients get (no quantised values," \
  "no stereo stage); the old decoder always decodes in full"

# -- the stage alone, old and new alternately
if [[ -n "$old_stage" ]]; then
  for mode in "" --drop; do
    if ! diff <("$old_stage" "${except[@]}" --checksum "${files[@]}") \
      <("$new_stage" "${except[@]}" $mode --checksum "${files[@]}") >/dev/null; then
      echo "the two stages' replays differ ($mode): no stage comparison" >&2
      exit 1
    fi
  done
  for ((r = 0; r < rounds; ++r)); do
    # (each line's record count, its second field, left out)
    "$old_stage" --speed 1 "${files[@]}" | awk '{ print "old", $1, $3, $4, $5 }' >>"$work/stage.txt"
    "$new_stage" --speed 1 "${files[@]}" | awk '{ print "new", $1, $3, $4, $5 }' >>"$work/stage.txt"
    "$new_stage" --drop --speed 1 "${files[@]}" | awk '{ print "spectrum", $1, $3, $4, $5 }' >>"$work/stage.txt"
  done
  summarise "$work/stage.txt" \
    "== the Huffman and requantisation stage alone, frames per second of processor time" \
    "   (its calls recorded during a decode and replayed; median of %d rounds)" \
    "old = $baseline, new = $head (working tree); spectrum = new, without the quantised values"
else
  echo "the baseline has no stage function to wrap: stage comparison skipped"
fi

# -- instructions, old and new
if command -v valgrind >/dev/null; then
  echo
  echo "== instructions for one warm-up and one timed decode (callgrind)"
  printf "%-34s %14s %14s %8s\n" file old new old/new
  for file in "${synthesised[@]}"; do
    counts=()
    for program in "$old" "$new"; do
      counts+=("$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$program" --speed 0 "$file" 2>&1 |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p')")
    done
    python3 -c 'import sys; o, n = int(sys.argv[2]), int(sys.argv[3]); print("%-34s %14d %14d %7.2fx" % (sys.argv[1], o, n, o / n))' \
      "$(basename "$file")" "${counts[0]}" "${counts[1]}"
  done
fi

# -- whole process
if ! command -v hyperfine >/dev/null; then
  echo "hyperfine not installed: whole-process figure skipped (apt-get install hyperfine)"
  exit 0
fi
# Bytes gainscan reads from FILE: counted with strace, or else the whole file.
bytes_read() {
  local file="$1"
  if ! command -v strace >/dev/null; then
    stat -c %s "$file"
    return
  fi
  strace -e trace=openat,read,close -o "$work/trace.txt" build-bench/analyser/gainscan "$file" >/dev/null 2>&1
  python3 - "$work/trace.txt" "$file" <<'PY'
import re
import sys

# Every opening of FILE counts (gainscan opens it once to measure it and
# once to read it).
fd, total = None, 0
for line in open(sys.argv[1]):
    m = re.match(r'openat\(.*"(.*)".*\) = (\d+)', line)
    if m and m.group(1) == sys.argv[2]:
        fd = m.group(2)
        continue
    if fd is None:
        continue
    m = re.match(r'read\((\d+),.*\) = (\d+)', line)
    if m and m.group(1) == fd:
        total += int(m.group(2))
    elif re.match(r'close\(%s\)' % fd, line):
        fd = None
print(total)
PY
}

for long in tests/fixtures/long_m1_44100_mono_cbr32_40s.mp3 "$work/joint_128k.mp3"; do
  bytes="$(bytes_read "$long")"
  hyperfine -N --warmup 50 --runs 500 --export-json "$work/process.json" \
    "build-bench/analyser/gainscan $long" "$new --read $bytes $long" >"$work/hyperfine.txt" 2>&1
  python3 - "$work/process.json" "$bytes" "$(basename "$long")" <<'PY'
import json
import sys

runs = json.load(open(sys.argv[1]))["results"]
g, r = runs[0], runs[1]
print()
print("== one process on %s (hyperfine, %d runs each; means, user + system in brackets)"
      % (sys.argv[3], len(g["times"])))
print("gainscan FILE:                  %8.1f us  (+- %6.1f)  [%7.1f us]"
      % (g["mean"] * 1e6, g["stddev"] * 1e6, (g["user"] + g["system"]) * 1e6))
print("open + fread of %6s bytes:    %8.1f us  (+- %6.1f)  [%7.1f us]"
      % (sys.argv[2], r["mean"] * 1e6, r["stddev"] * 1e6, (r["user"] + r["system"]) * 1e6))
print("gainscan / read only:           %8.2fx  (medians %.2fx, user + system %.2fx)"
      % (g["mean"] / r["mean"], g["median"] / r["median"], (g["user"] + g["system"]) / (r["user"] + r["system"])))
PY
done
