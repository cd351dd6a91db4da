# Sourced by the throughput benchmarks: short_files SRC DEST COUNT encodes
# 100 short files with lame from sox-synthesised audio (varied rates, modes,
# bitrates) into SRC and copies them to COUNT files in DEST.
short_files() {
  local src=$1 dest=$2 count=$3
  local rates=(44100 48000 32000 22050 24000 16000) modes=(s j m) bitrates=(32 64 96 128 160)
  mkdir -p "$src" "$dest"
  for i in $(seq 0 99); do
    local rate=${rates[i % 6]} mode=${modes[i % 3]} kbps=${bitrates[i % 5]} seconds=$(( 1 + i % 3 ))
    sox -n -r "$rate" -c 2 -b 16 "$src/$i.wav" synth "$seconds" \
        sine $((200 + 37 * i)) pinknoise vol 0.4 2>/dev/null
    lame --quiet -m "$mode" -b "$kbps" "$src/$i.wav" "$src/$i.mp3"
  done
  for n in $(seq 0 $((count - 1))); do
    cp "$src/$((n % 100)).mp3" "$dest/$(printf '%06d' "$n").mp3"
  done
}
