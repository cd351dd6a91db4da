#!/usr/bin/env bash
# Measures how often an unmodified encoder file gets the "found" verdict:
# runs gainscan over every fixture and over N freshly encoded clean files
# (synthesized audio with varied seeds, rates, channel modes and bitrates).
#
# Needs lame and python3 (apt-get install -y lame). Usage:
#   tools/false_positive_rate.sh [N] [GAINSCAN]   (defaults: 300, build/analyser/gainscan)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
n="${1:-300}"
gainscan="${2:-$root/build/analyser/gainscan}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

found=0
total=0
verdict() {  # verdict FILE: counts the file, and counts it as found if so
  total=$((total + 1))
  if "$gainscan" "$1" 2>/dev/null | grep -q '^Possible length specification found'; then
    found=$((found + 1))
  fi
}

for f in "$root"/tests/fixtures/*.mp3; do verdict "$f"; done
fixtures_found=$found
fixtures_total=$total

rates=(32000 44100 48000 16000 22050 24000 8000 11025 12000)
modes=(m s j d)
bitrates=(32 64 128 192 256)
lsf_bitrates=(8 16 32 64 96)
for i in $(seq 1 "$n"); do
  rate=${rates[$((i % 9))]}
  mode=${modes[$(((i / 9) % 4))]}
  channels=2; [ "$mode" = m ] && channels=1
  seconds=$(( (i % 5) + 1 ))
  python3 "$here/fixture_tool.py" wav "$work/a.wav" --rate "$rate" --channels "$channels" \
    --seconds "$seconds" --seed "$((1000 + i))"
  if [ "$rate" -ge 32000 ]; then b=${bitrates[$(((i / 36) % 5))]}; else b=${lsf_bitrates[$(((i / 36) % 5))]}; fi
  opts=(-b "$b")
  [ $((i % 7)) = 0 ] && opts=(-V $((i % 10)))
  lame --quiet --resample "$(python3 -c "print($rate/1000)")" -m "$mode" "${opts[@]}" "$work/a.wav" "$work/a.mp3"
  verdict "$work/a.mp3"
done

echo "fixtures: $fixtures_found of $fixtures_total found"
echo "generated: $((found - fixtures_found)) of $((total - fixtures_total)) found"
echo "all clean files: $found of $total found ($(python3 -c "print(f'{100*$found/$total:.1f}')")%)"
