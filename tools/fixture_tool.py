#!/usr/bin/env python3
"""Helper for tools/make_fixtures.sh: synthesizes audio and edits MP3 streams.

Test tooling only. Everything here is deterministic: the same arguments always
produce the same bytes (fixed seeds, a private LCG, no clocks, no dithering).

Subcommands:
  wav OUT --rate R --channels C --seconds S --seed N
      write a 16-bit PCM WAV file with tones plus a little seeded noise
      (left and right carry different tones, so dual channel makes sense)
  frames FILE
      list the MPEG audio frames found in FILE (debugging aid)
  splice IN DONOR OUT --after N
      copy IN, inserting the first frame of DONOR after frame number N of IN
  junk IN OUT --after N --count K --seed S
      copy IN, inserting K pseudo-random bytes (never 0xFF) after frame N
  truncate IN OUT
      copy IN, cutting its last frame in half
  id3-highbit IN OUT
      prepend a hand-made ID3v2.3 tag whose size bytes have bit 7 set in
      some of them (the low 7 bits of each byte give the real size)
  aid IN OUT --length L --seed S
      insert an "AiD" block of L bytes in total ('A','i','D',0x01, 16-bit
      little-endian length L, then L-6 pseudo-random bytes, never 0xFF)
      after the leading ID3v2 tag of IN (or at the start if there is none)
"""

import argparse
import math
import struct
import sys

# --------------------------------------------------------------------------
# deterministic pseudo-random numbers (64-bit LCG, high bits used)


class Lcg:
    def __init__(self, seed):
        self.state = (seed * 6364136223846793005 + 1442695040888963407) & (2**64 - 1)

    def next32(self):
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) & (2**64 - 1)
        return self.state >> 32

    def byte_no_ff(self):
        b = self.next32() >> 24
        return 0x00 if b == 0xFF else b


# --------------------------------------------------------------------------
# WAV synthesis


def cmd_wav(a):
    rng = Lcg(a.seed)
    n = int(round(a.rate * a.seconds))
    # tones per channel: (frequency in Hz, amplitude); kept below Nyquist
    tones = [
        [(220.0, 0.30), (660.0, 0.12), (1870.0, 0.05)],
        [(330.0, 0.28), (990.0, 0.10), (2750.0, 0.04)],
    ]
    nyq = a.rate / 2.0
    out = bytearray()
    for i in range(n):
        t = i / a.rate
        # slow amplitude envelope so the encoder sees changing material
        env = 0.6 + 0.4 * math.sin(2.0 * math.pi * 0.7 * t)
        for ch in range(a.channels):
            v = 0.0
            for f, amp in tones[ch]:
                if f < nyq * 0.9:
                    v += amp * math.sin(2.0 * math.pi * f * t)
            v *= env
            v += ((rng.next32() / 2**32) - 0.5) * 0.02
            s = int(round(v * 32767.0))
            s = max(-32768, min(32767, s))
            out += struct.pack('<h', s)
    data = bytes(out)
    hdr = b'RIFF' + struct.pack('<I', 36 + len(data)) + b'WAVE'
    hdr += b'fmt ' + struct.pack('<IHHIIHH', 16, 1, a.channels, a.rate,
                                 a.rate * a.channels * 2, a.channels * 2, 16)
    hdr += b'data' + struct.pack('<I', len(data))
    with open(a.out, 'wb') as f:
        f.write(hdr + data)


# --------------------------------------------------------------------------
# frame walking

RATES = {  # version id (header bits 20..19) -> sampling rates by index
    3: (44100, 48000, 32000),  # MPEG-1
    2: (22050, 24000, 16000),  # MPEG-2
    0: (11025, 12000, 8000),   # MPEG-2.5
}
BR_V1 = {
    3: (0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448),  # Layer I
    2: (0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384),     # Layer II
    1: (0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320),      # Layer III
}
BR_LSF = {
    3: (0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256),
    2: (0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160),
    1: (0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160),
}


def parse_header(b, pos):
    """Return a dict describing the frame header at pos, or None."""
    if pos + 4 > len(b):
        return None
    h = struct.unpack('>I', b[pos:pos + 4])[0]
    if (h >> 21) != 0x7FF:
        return None
    ver = (h >> 19) & 3
    layer = (h >> 17) & 3
    bri = (h >> 12) & 15
    sfi = (h >> 10) & 3
    if ver == 1 or layer == 0 or bri == 15 or sfi == 3:
        return None
    rate = RATES[ver][sfi]
    pad = (h >> 9) & 1
    lsf = 0 if ver == 3 else 1
    kbps = (BR_V1 if ver == 3 else BR_LSF)[layer][bri]
    if bri == 0:
        length = None  # free format: length not given by the header
    elif layer == 3:  # Layer I
        length = (12000 * kbps // rate + pad) * 4
    elif layer == 2:  # Layer II
        length = 144000 * kbps // rate + pad
    else:  # Layer III
        length = 144000 * kbps // (rate << lsf) + pad
    return {
        'pos': pos, 'ver': ver, 'layer': 4 - layer, 'rate': rate,
        'kbps': kbps, 'pad': pad, 'mode': (h >> 6) & 3, 'crc': ((h >> 16) & 1) == 0,
        'len': length, 'word': h,
    }


def id3v2_size(b):
    """Total size of a leading ID3v2 tag (0 if none)."""
    if len(b) >= 10 and b[:3] == b'ID3':
        size = 0
        for x in b[6:10]:
            size = (size << 7) | (x & 0x7F)
        size += 10
        if b[3] == 4 and (b[5] & 0x10):
            size += 10  # footer
        return min(size, len(b))
    return 0


def aid_size(b, pos):
    if pos + 6 <= len(b) and b[pos:pos + 4] == b'AiD\x01':
        n = b[pos + 4] | (b[pos + 5] << 8)
        if n >= 6:
            return min(n, len(b) - pos)
    return 0


def walk(b):
    """List of frames (dicts with 'pos' and 'len') in file order.

    Skips a leading ID3v2 tag and an AiD block; resyncs byte by byte over
    anything that is not a frame header. Free format frames get the distance
    to the next header with the same fixed fields as their length."""
    pos = id3v2_size(b)
    pos += aid_size(b, pos)
    frames = []
    while pos + 4 <= len(b):
        f = parse_header(b, pos)
        if f is None:
            pos += 1
            continue
        if f['len'] is None:
            mask = 0xFFFEFCC0  # sync, version, layer, bitrate index, rate, mode
            q = pos + 4
            while q + 4 <= len(b):
                g = parse_header(b, q)
                if g is not None and (g['word'] & mask) == (f['word'] & mask):
                    break
                q += 1
            f['len'] = min(q, len(b)) - pos
        f['truncated'] = pos + f['len'] > len(b)
        frames.append(f)
        # a frame running past the end may be a false sync: resync after it
        pos += 1 if f['truncated'] else f['len']
    return frames


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def write(path, data):
    with open(path, 'wb') as f:
        f.write(data)


def cmd_frames(a):
    b = read(a.file)
    for i, f in enumerate(walk(b)):
        info = ''
        if f['layer'] == 3:
            side = (17 if f['mode'] == 3 else 32) if f['ver'] == 3 else (9 if f['mode'] == 3 else 17)
            # lame puts the tag right after the side information; in CRC
            # protected frames it does not count the 2 CRC bytes, so look there too
            for q in (f['pos'] + 4 + (2 if f['crc'] else 0) + side, f['pos'] + 4 + side):
                if b[q:q + 4] in (b'Xing', b'Info'):
                    info = ' ' + b[q:q + 4].decode()
                    break
        print('%5d @%7d  MPEG-%s L%d %5d Hz %3d kbit/s mode %d crc %d len %d%s%s' % (
            i, f['pos'], {3: '1', 2: '2', 0: '2.5'}[f['ver']], f['layer'],
            f['rate'], f['kbps'], f['mode'], f['crc'], f['len'], info,
            ' TRUNCATED' if f['truncated'] else ''))


def frame_end(b, n):
    frames = walk(b)
    if n >= len(frames):
        sys.exit('frame %d not found (file has %d)' % (n, len(frames)))
    f = frames[n]
    return f['pos'] + f['len']


def cmd_splice(a):
    b = read(a.inp)
    d = read(a.donor)
    df = walk(d)
    if not df:
        sys.exit('no frame in donor')
    # skip a donor frame that is an info frame, take the first real one
    f = df[1] if len(df) > 1 else df[0]
    frame = d[f['pos']:f['pos'] + f['len']]
    cut = frame_end(b, a.after)
    write(a.out, b[:cut] + frame + b[cut:])


def cmd_junk(a):
    b = read(a.inp)
    rng = Lcg(a.seed)
    junk = bytes(rng.byte_no_ff() for _ in range(a.count))
    cut = frame_end(b, a.after)
    write(a.out, b[:cut] + junk + b[cut:])


def cmd_truncate(a):
    b = read(a.inp)
    frames = walk(b)
    last = frames[-1]
    if last['pos'] + last['len'] != len(b):
        sys.exit('input does not end with a complete frame')
    write(a.out, b[:last['pos'] + last['len'] // 2])


def cmd_id3_highbit(a):
    b = read(a.inp)
    if id3v2_size(b):
        sys.exit('input already has an ID3v2 tag')
    title = b'gainscan fixture'
    frame = b'TIT2' + struct.pack('>I', 1 + len(title)) + b'\x00\x00' + b'\x00' + title
    size = 300  # tag body size: one TIT2 frame then zero padding
    body = frame + b'\x00' * (size - len(frame))
    # 300 = 2*128 + 44 -> synchsafe 00 00 02 2C; set bit 7 of bytes 0 and 2
    sb = bytes([0x80 | 0, 0, 0x80 | (size >> 7), size & 0x7F])
    tag = b'ID3\x03\x00\x00' + sb + body
    write(a.out, tag + b)


def cmd_aid(a):
    b = read(a.inp)
    if not 6 <= a.length <= 0xFFFF:
        sys.exit('bad AiD length')
    rng = Lcg(a.seed)
    block = b'AiD\x01' + struct.pack('<H', a.length)
    block += bytes(rng.byte_no_ff() for _ in range(a.length - 6))
    cut = id3v2_size(b)
    write(a.out, b[:cut] + block + b[cut:])


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sp = p.add_subparsers(dest='cmd', required=True)
    w = sp.add_parser('wav')
    w.add_argument('out')
    w.add_argument('--rate', type=int, required=True)
    w.add_argument('--channels', type=int, choices=(1, 2), required=True)
    w.add_argument('--seconds', type=float, required=True)
    w.add_argument('--seed', type=int, default=1)
    w.set_defaults(fn=cmd_wav)
    fr = sp.add_parser('frames')
    fr.add_argument('file')
    fr.set_defaults(fn=cmd_frames)
    s = sp.add_parser('splice')
    s.add_argument('inp')
    s.add_argument('donor')
    s.add_argument('out')
    s.add_argument('--after', type=int, required=True)
    s.set_defaults(fn=cmd_splice)
    j = sp.add_parser('junk')
    j.add_argument('inp')
    j.add_argument('out')
    j.add_argument('--after', type=int, required=True)
    j.add_argument('--count', type=int, required=True)
    j.add_argument('--seed', type=int, default=1)
    j.set_defaults(fn=cmd_junk)
    t = sp.add_parser('truncate')
    t.add_argument('inp')
    t.add_argument('out')
    t.set_defaults(fn=cmd_truncate)
    h = sp.add_parser('id3-highbit')
    h.add_argument('inp')
    h.add_argument('out')
    h.set_defaults(fn=cmd_id3_highbit)
    ad = sp.add_parser('aid')
    ad.add_argument('inp')
    ad.add_argument('out')
    ad.add_argument('--length', type=int, required=True)
    ad.add_argument('--seed', type=int, default=1)
    ad.set_defaults(fn=cmd_aid)
    a = p.parse_args()
    a.fn(a)


if __name__ == '__main__':
    main()
