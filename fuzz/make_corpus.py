#!/usr/bin/env python3
"""Rebuilds the seed corpora under fuzz/corpus/ from tests/fixtures.

Seeds are kept small: fixture heads of a few KB, a few hand-made streams, and
side information blocks cut out of real frames. Run from anywhere; it
replaces the corpus directories it writes.
"""
import shutil
import struct
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FIXTURES = ROOT / "tests" / "fixtures"
CORPUS = ROOT / "fuzz" / "corpus"

BITRATES = [
    [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0],
    [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0],
]
RATES = [[44100, 48000, 32000], [22050, 24000, 16000], [11025, 12000, 8000]]

# Heads of real files: the first bytes carry the Info/Xing frame, the tag
# blocks and the start of the bit reservoir.
HEADS = {
    "m1_44100_joint_vbr2.mp3": 4096,
    "m1_44100_joint_crc_cbr128.mp3": 3072,
    "m1_44100_joint_freeformat400.mp3": 3072,
    "m1_44100_dual_cbr192.mp3": 3072,
    "m1_48000_joint_cbr128.mp3": 3072,
    "m1_32000_mono_cbr32.mp3": 2048,
    "m2_22050_joint_crc_cbr64.mp3": 2048,
    "m2_24000_stereo_vbr5.mp3": 2048,
    "m2_16000_mono_cbr32.mp3": 2048,
    "m25_8000_mono_cbr8.mp3": 1152,
    "m25_11025_stereo_nores_cbr32.mp3": 2048,
    "m25_12000_dual_cbr48.mp3": 2048,
    "id3v2_highbit_size.mp3": 2048,
    "id3v2_aid_block.mp3": 3072,
    "aid_block.mp3": 2048,
    "junk_between_frames.mp3": 4096,
    "truncated_last_frame.mp3": 2048,
}


def frame_length(header: int) -> int:
    """Whole Layer III frame length in bytes, 0 when not computable."""
    if (header >> 21) != 0x7FF or ((header >> 17) & 3) != 1:
        return 0
    version = (header >> 19) & 3  # 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    lsf = 0 if version == 3 else 1
    row = {3: 0, 2: 1, 0: 2}.get(version)
    rate_bits = (header >> 10) & 3
    if row is None or rate_bits == 3:
        return 0
    kbps = BITRATES[lsf][(header >> 12) & 15]
    if kbps == 0:
        return 0
    return (144000 if not lsf else 72000) * kbps // RATES[row][rate_bits] + ((header >> 9) & 1)


def frames(data: bytes):
    """(offset, length) of each Layer III frame found by walking from the first header."""
    pos = 0
    while pos + 4 <= len(data):
        header = struct.unpack(">I", data[pos:pos + 4])[0]
        length = frame_length(header)
        if length == 0:
            pos += 1
            continue
        yield pos, length
        pos += length


def first_frame(data: bytes) -> bytes:
    pos, length = next(frames(data))
    return data[pos:pos + length]


def write(directory: Path, name: str, data: bytes) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data)


def main() -> None:
    for sub in ("fuzz_decoder_chunking", "fuzz_analyser", "fuzz_side_info"):
        shutil.rmtree(CORPUS / sub, ignore_errors=True)

    streams = {}
    for name, size in HEADS.items():
        streams[Path(name).stem] = (FIXTURES / name).read_bytes()[:size]

    cbr128 = (FIXTURES / "m1_44100_joint_noinfo_cbr128.mp3").read_bytes()
    one_frame = first_frame(cbr128)
    spliced = (FIXTURES / "spliced_layer2.mp3").read_bytes()
    # The Layer II frame sits after frame 10: keep frames 9..12 around it.
    offsets = [off for off, _ in frames(spliced)]
    streams["layer2_between_layer3"] = spliced[offsets[8]:offsets[12]] if len(offsets) > 12 else spliced[:6144]
    streams["id3v2_header_only"] = b"ID3\x03\x00\x00\x00\x00\x00\x00"
    streams["id3v2_size_past_end"] = b"ID3\x04\x00\x00\x00\x00\x7f\x7f" + one_frame
    aid_body = bytes((i * 37 + 11) % 255 for i in range(26))
    streams["aid_block_frame"] = b"AiD\x01" + struct.pack("<H", 6 + len(aid_body)) + aid_body + one_frame * 2
    streams["aid_short_length"] = b"AiD\x01\x02\x00" + one_frame
    streams["headers_only"] = b"\xff\xfb\x90\x64" * 8 + b"\xff\xf3\x48\xc4" * 4

    # 64 kbit/s stereo, 2 s: the one that passes 200 granule records.
    long_file = (FIXTURES / "m1_44100_stereo_cbr64_2s.mp3").read_bytes()

    analyser = CORPUS / "fuzz_analyser"
    for name, data in streams.items():
        write(analyser, name + ".mp3", data)
    write(analyser, "m1_44100_stereo_cbr64_2s.mp3", long_file)

    # The chunking target reads a mode byte and three seed bytes first.
    chunking = CORPUS / "fuzz_decoder_chunking"
    for i, (name, data) in enumerate(sorted(streams.items())):
        mode = i % 16
        prefix = bytes([mode, (i * 53) & 0xFF, (i * 151) & 0xFF, 0x5A])
        write(chunking, f"{name}_mode{mode}.bin", prefix + data)

    # Side information blocks: control byte (reader, channels, mid/side,
    # sampling index) then the bytes after each frame's header and CRC.
    side = CORPUS / "fuzz_side_info"
    for name in ("m1_44100_joint_vbr2.mp3", "m1_32000_mono_cbr32.mp3", "m2_22050_joint_crc_cbr64.mp3",
                 "m2_16000_mono_cbr32.mp3", "m25_12000_dual_cbr48.mp3", "m1_44100_joint_noinfo_cbr128.mp3"):
        data = (FIXTURES / name).read_bytes()
        for n, (off, _length) in enumerate(frames(data)):
            if n not in (1, 5):
                continue
            header = struct.unpack(">I", data[off:off + 4])[0]
            version = (header >> 19) & 3
            lsf = version != 3
            rate_bits = (header >> 10) & 3
            index = rate_bits if not lsf else (3 + rate_bits if version == 2 else 6 + rate_bits)
            mode = (header >> 6) & 3
            channels = 1 if mode == 3 else 2
            mid_side = mode == 1 and (header >> 5) & 1
            control = (1 if lsf else 0) | (2 if channels == 2 else 0) | (4 if mid_side else 0)
            control |= (index - 3 if lsf else index) << 3
            body = off + 4 + (0 if (header >> 16) & 1 else 2)
            write(side, f"{Path(name).stem}_frame{n}.bin", bytes([control]) + data[body:body + 32])

    total = sum(p.stat().st_size for p in CORPUS.rglob("*") if p.is_file())
    print(f"corpus: {sum(1 for p in CORPUS.rglob('*') if p.is_file())} files, {total} bytes")


if __name__ == "__main__":
    main()
