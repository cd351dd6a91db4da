#!/usr/bin/env bash
# Regenerates the MP3 test fixtures in tests/fixtures/ from synthesized audio.
#
# Test tooling only. Deterministic: the audio comes from tools/fixture_tool.py
# (fixed seeds, no dithering), the encoders are Debian's lame and twolame, and
# every edit (splicing, junk, truncation, hand-made tags, AiD blocks) is done
# by tools/fixture_tool.py. Two runs with the same lame/twolame versions give
# byte-identical files (lame writes its version string into the LAME tag and
# into ID3v2 TSSE frames, so another lame version gives other bytes).
#
# Needs: bash, python3, lame, twolame   (apt-get install -y lame twolame)
# Usage: tools/make_fixtures.sh [OUTPUT_DIR]   (default: tests/fixtures)
set -euo pipefail
export LC_ALL=C

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
out="${1:-$root/tests/fixtures}"
tool="$here/fixture_tool.py"

for prog in python3 lame twolame; do
  command -v "$prog" >/dev/null || { echo "make_fixtures.sh: $prog not found (apt-get install -y lame twolame)" >&2; exit 1; }
done

mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

readme_lines=()
note() {  # note FILE DESCRIPTION: remember one README line
  readme_lines+=("| \`$1\` | $(stat -c %s "$out/$1") | $2 |")
}

# wav NAME RATE CHANNELS SECONDS SEED -> $work/NAME.wav (made once, reused)
wav() {
  local f="$work/$1.wav"
  [[ -f "$f" ]] || python3 "$tool" wav "$f" --rate "$2" --channels "$3" --seconds "$4" --seed "$5"
  echo "$f"
}

# enc OUTFILE KHZ WAVFILE LAME_OPTIONS... : encode with lame at a fixed output rate
# (--resample stops lame from picking another rate for low bitrates)
enc() {
  local dst="$1" khz="$2" src="$3"
  shift 3
  lame --quiet --resample "$khz" "$@" "$src" "$dst"
}

# ---------------------------------------------------------------- sources
s32_m1=$(wav s32_m1 32000 1 1.0 11)
s44_s1=$(wav s44_s1 44100 2 1.0 12)
s44_s05=$(wav s44_s05 44100 2 0.5 13)
s44_s2=$(wav s44_s2 44100 2 2.0 14)
s44_m40=$(wav s44_m40 44100 1 40.0 15)
s48_s1=$(wav s48_s1 48000 2 1.0 16)
s16_m1=$(wav s16_m1 16000 1 1.0 21)
s22_s1=$(wav s22_s1 22050 2 1.0 22)
s24_s1=$(wav s24_s1 24000 2 1.0 23)
s8_m1=$(wav s8_m1 8000 1 1.0 31)
s11_s1=$(wav s11_s1 11025 2 1.0 32)
s12_s1=$(wav s12_s1 12000 2 1.0 33)

# ---------------------------------------------------------------- MPEG-1
f=m1_32000_mono_cbr32.mp3
enc "$out/$f" 32 "$s32_m1" -m m -b 32
note $f "MPEG-1 32000 Hz mono, CBR 32 kbit/s, 1 s: \`lame --resample 32 -m m -b 32\`"

f=m1_44100_stereo_cbr320.mp3
enc "$out/$f" 44.1 "$s44_s1" -m s -b 320
note $f "MPEG-1 44100 Hz stereo, CBR 320 kbit/s, 1 s: \`lame --resample 44.1 -m s -b 320\`"

f=m1_48000_joint_cbr128.mp3
enc "$out/$f" 48 "$s48_s1" -m j -b 128
note $f "MPEG-1 48000 Hz joint stereo, CBR 128 kbit/s, 1 s: \`lame --resample 48 -m j -b 128\`"

f=m1_44100_dual_cbr192.mp3
enc "$out/$f" 44.1 "$s44_s1" -m d -b 192
note $f "MPEG-1 44100 Hz dual channel (stereo source), CBR 192 kbit/s, 1 s: \`lame --resample 44.1 -m d -b 192\`"

f=m1_44100_joint_vbr2.mp3
enc "$out/$f" 44.1 "$s44_s1" -m j -V 2
note $f "MPEG-1 44100 Hz joint stereo, VBR, Xing frame, 1 s: \`lame --resample 44.1 -m j -V 2\`"

f=m1_44100_joint_crc_cbr128.mp3
enc "$out/$f" 44.1 "$s44_s1" -m j -b 128 -p
note $f "MPEG-1 44100 Hz joint stereo, CBR 128 kbit/s, CRC protection, 1 s: \`lame --resample 44.1 -m j -b 128 -p\`"

f=m1_44100_joint_freeformat400.mp3
enc "$out/$f" 44.1 "$s44_s05" -m j -b 400 --freeformat
note $f "MPEG-1 44100 Hz joint stereo, free format 400 kbit/s (bitrate index 0), 0.5 s: \`lame --resample 44.1 -m j -b 400 --freeformat\`"

f=m1_44100_joint_nores_cbr128.mp3
enc "$out/$f" 44.1 "$s44_s1" -m j -b 128 --nores
note $f "MPEG-1 44100 Hz joint stereo, CBR 128 kbit/s, no bit reservoir, 1 s: \`lame --resample 44.1 -m j -b 128 --nores\`"

f=m1_44100_joint_noinfo_cbr128.mp3
enc "$out/$f" 44.1 "$s44_s1" -m j -b 128 -t
note $f "MPEG-1 44100 Hz joint stereo, CBR 128 kbit/s, no Info/LAME frame, 1 s: \`lame --resample 44.1 -m j -b 128 -t\`"

f=m1_44100_stereo_cbr64_2s.mp3
enc "$out/$f" 44.1 "$s44_s2" -m s -b 64
note $f "MPEG-1 44100 Hz stereo, CBR 64 kbit/s, 2 s (more than 200 granule records): \`lame --resample 44.1 -m s -b 64\`"

f=long_m1_44100_mono_cbr32_40s.mp3
enc "$out/$f" 44.1 "$s44_m40" -m m -b 32
note $f "MPEG-1 44100 Hz mono, CBR 32 kbit/s, 40 s (benchmark input): \`lame --resample 44.1 -m m -b 32\`"

# ---------------------------------------------------------------- MPEG-2
f=m2_16000_mono_cbr32.mp3
enc "$out/$f" 16 "$s16_m1" -m m -b 32
note $f "MPEG-2 16000 Hz mono, CBR 32 kbit/s, 1 s: \`lame --resample 16 -m m -b 32\`"

f=m2_22050_joint_crc_cbr64.mp3
enc "$out/$f" 22.05 "$s22_s1" -m j -b 64 -p
note $f "MPEG-2 22050 Hz joint stereo, CBR 64 kbit/s, CRC protection, 1 s: \`lame --resample 22.05 -m j -b 64 -p\`"

f=m2_22050_dual_cbr64.mp3
enc "$out/$f" 22.05 "$s22_s1" -m d -b 64
note $f "MPEG-2 22050 Hz dual channel (stereo source), CBR 64 kbit/s, 1 s: \`lame --resample 22.05 -m d -b 64\`"

f=m2_24000_stereo_vbr5.mp3
enc "$out/$f" 24 "$s24_s1" -m s -V 5
note $f "MPEG-2 24000 Hz stereo, VBR, Xing frame, 1 s: \`lame --resample 24 -m s -V 5\`"

# ---------------------------------------------------------------- MPEG-2.5
f=m25_8000_mono_cbr8.mp3
enc "$out/$f" 8 "$s8_m1" -m m -b 8
note $f "MPEG-2.5 8000 Hz mono, CBR 8 kbit/s, 1 s: \`lame --resample 8 -m m -b 8\`"

f=m25_11025_stereo_nores_cbr32.mp3
enc "$out/$f" 11.025 "$s11_s1" -m s -b 32 --nores
note $f "MPEG-2.5 11025 Hz stereo, CBR 32 kbit/s, no bit reservoir, 1 s: \`lame --resample 11.025 -m s -b 32 --nores\`"

f=m25_12000_dual_cbr48.mp3
enc "$out/$f" 12 "$s12_s1" -m d -b 48
note $f "MPEG-2.5 12000 Hz dual channel (stereo source), CBR 48 kbit/s, 1 s: \`lame --resample 12 -m d -b 48\`"

# ---------------------------------------------------------------- tags and AiD blocks
base="$work/base_44100_joint_cbr128_05s.mp3"
enc "$base" 44.1 "$s44_s05" -m j -b 128
base_id3="$work/base_id3v2.mp3"
enc "$base_id3" 44.1 "$s44_s05" -m j -b 128 --add-id3v2 --pad-id3v2-size 300

f=id3v2_padded.mp3
cp "$base_id3" "$out/$f"
note $f "MPEG-1 44100 Hz joint stereo 128 kbit/s 0.5 s with a lame ID3v2.3 tag (TSSE, TLEN, 300 bytes of padding): \`lame --resample 44.1 -m j -b 128 --add-id3v2 --pad-id3v2-size 300\`"

f=id3v2_highbit_size.mp3
python3 "$tool" id3-highbit "$base" "$out/$f"
note $f "the 0.5 s 128 kbit/s file behind a hand-made ID3v2.3 tag (TIT2 + zero padding, 300-byte body) whose size bytes are 80 00 82 2C (bit 7 set in bytes 0 and 2, low 7 bits give 300): \`fixture_tool.py id3-highbit\`"

f=aid_block.mp3
python3 "$tool" aid "$base" "$out/$f" --length 200 --seed 41
note $f "the 0.5 s 128 kbit/s file behind a 200-byte AiD block ('AiD' 01, LE length 200 counting the 6 leading bytes, 194 pseudo-random bytes without 0xFF): \`fixture_tool.py aid --length 200\`"

f=id3v2_aid_block.mp3
python3 "$tool" aid "$base_id3" "$out/$f" --length 1000 --seed 42
note $f "id3v2_padded.mp3 with a 1000-byte AiD block inserted between the ID3v2 tag and the first frame: \`fixture_tool.py aid --length 1000\`"

# ---------------------------------------------------------------- other layers, damage
f=layer2_44100_stereo_192.mp2
twolame --quiet -m s -b 192 "$s44_s05" "$out/$f"
note $f "Layer II, MPEG-1 44100 Hz stereo, 192 kbit/s, 0.5 s: \`twolame -m s -b 192\`"

base1="$work/base_44100_joint_cbr128_1s.mp3"
enc "$base1" 44.1 "$s44_s1" -m j -b 128

f=spliced_layer2.mp3
python3 "$tool" splice "$base1" "$out/layer2_44100_stereo_192.mp2" "$out/$f" --after 10
note $f "1 s 44100 Hz joint stereo 128 kbit/s Layer III file with one 44100 Hz Layer II frame (from layer2_44100_stereo_192.mp2) inserted after frame 10 (frame 0 is the Info frame): \`fixture_tool.py splice --after 10\`"

f=junk_between_frames.mp3
python3 "$tool" junk "$base1" "$work/junk1.mp3" --after 5 --count 37 --seed 51
python3 "$tool" junk "$work/junk1.mp3" "$out/$f" --after 20 --count 3 --seed 52
note $f "1 s 44100 Hz joint stereo 128 kbit/s file with 37 junk bytes after frame 5 and 3 junk bytes after frame 20 (pseudo-random, no 0xFF): \`fixture_tool.py junk\`"

f=truncated_last_frame.mp3
python3 "$tool" truncate "$base1" "$out/$f"
note $f "1 s 44100 Hz joint stereo 128 kbit/s file whose last frame is cut in half: \`fixture_tool.py truncate\`"

# ---------------------------------------------------------------- README
{
  echo "# MP3 test fixtures"
  echo
  echo "Generated by \`tools/make_fixtures.sh\` (do not edit by hand; rerun the script)."
  echo "Audio is synthesized by \`tools/fixture_tool.py wav\` (tones plus seeded noise, 16-bit PCM, no dithering),"
  echo "encoded with $(lame --version | head -n1 | sed 's/ (.*//') and $(twolame --help 2>&1 | head -n1 | sed 's/ (.*//')."
  echo "Every lame run also gets \`--quiet\`; \`--resample\` pins the output rate. Frame numbers count from 0."
  echo
  echo "| file | bytes | how it was made |"
  echo "| --- | --- | --- |"
  printf '%s\n' "${readme_lines[@]}"
} > "$out/README.md"

total=$(cat "$out"/*.mp3 "$out"/*.mp2 | wc -c)
echo "make_fixtures.sh: wrote ${#readme_lines[@]} fixtures ($total bytes) to $out"
