#!/usr/bin/env python3
"""Reads back what tools/embed_lsb wrote (test tooling, independent of it).

Walks the Layer III frames of an MP3 file (skipping a leading ID3v2 tag and an
"AiD" block, stepping over Layer I/II frames, resyncing over junk; free format
frames are left out unless --free-format is given, as with embed_lsb), parses
each side information field by field, and prints:
  frames=N records=N carrying=N   Layer III frames, granule records, records 0,2,4..
  nbits=N length=N                decoded from the LSBs of records 0,2,4,...
  payload_bits=N payload_hex=...  the payload bits that are present (<= length)
  crc_frames=N crc_bad=N          CRC-16 check of protected frames
  main_data_begin_first=N         main_data_begin of the first Layer III frame
With --bits it also prints the LSB of every carrying record as a 0/1 string.
"""

import argparse
import struct
import sys

import fixture_tool as ft


class BitReader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def read(self, n):
        v = 0
        for _ in range(n):
            byte = self.data[self.pos // 8]
            v = (v << 1) | ((byte >> (7 - self.pos % 8)) & 1)
            self.pos += 1
        return v


def parse_side(side, lsf, nch, lsb_pos=None):
    """Return (main_data_begin, [global_gain per record in decode order]).

    If lsb_pos is a list, the bit position (within side) of each
    global_gain's least significant bit is appended to it."""
    r = BitReader(side)
    gains = []
    if not lsf:
        mdb = r.read(9)
        r.read(5 if nch == 1 else 3)
        for _ in range(nch):
            r.read(4)  # scfsi
        granules = 2
    else:
        mdb = r.read(8)
        r.read(1 if nch == 1 else 2)
        granules = 1
    for _ in range(granules):
        for _ in range(nch):
            r.read(12)  # part2_3_length
            r.read(9)   # big_values
            gains.append(r.read(8))
            if lsb_pos is not None:
                lsb_pos.append(r.pos - 1)
            r.read(9 if lsf else 4)  # scalefac_compress
            if r.read(1):  # window_switching_flag
                r.read(2)
                r.read(1)
                r.read(5)
                r.read(5)
                r.read(3)
                r.read(3)
                r.read(3)
            else:
                r.read(5)
                r.read(5)
                r.read(5)
                r.read(4)
                r.read(3)
            if not lsf:
                r.read(1)  # preflag
            r.read(1)  # scalefac_scale
            r.read(1)  # count1table_select
    assert r.pos == len(side) * 8, 'side information length mismatch'
    return mdb, gains


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        for i in range(7, -1, -1):
            bit = (byte >> i) & 1
            top = (crc >> 15) & 1
            crc = (crc << 1) & 0xFFFF
            if bit != top:
                crc ^= 0x8005
    return crc


def analyse(b, lsb_at=None, free_format=False):
    """lsb_at, if a list, gets (file offset, bit mask) of each record's
    global_gain LSB, in record order."""
    gains = []
    frames = 0
    crc_frames = crc_bad = 0
    first_mdb = None
    for f in ft.walk(b):
        if f['layer'] != 3 or (f['kbps'] == 0 and not free_format) or f['truncated']:
            continue
        lsf = f['ver'] != 3
        nch = 1 if f['mode'] == 3 else 2
        side_len = (9 if nch == 1 else 17) if lsf else (17 if nch == 1 else 32)
        start = f['pos'] + 4 + (2 if f['crc'] else 0)
        side = b[start:start + side_len]
        pos = []
        mdb, g = parse_side(side, lsf, nch, pos)
        if lsb_at is not None:
            lsb_at += [(start + q // 8, 0x80 >> (q % 8)) for q in pos]
        if first_mdb is None:
            first_mdb = mdb
        if f['crc']:
            crc_frames += 1
            stored = struct.unpack('>H', b[f['pos'] + 4:f['pos'] + 6])[0]
            if crc16(b[f['pos'] + 2:f['pos'] + 4] + side) != stored:
                crc_bad += 1
        gains += g
        frames += 1
    return frames, gains, crc_frames, crc_bad, first_mdb


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument('file')
    p.add_argument('--bits', action='store_true', help='print the carried bits')
    p.add_argument('--free-format', action='store_true', help='count free format frames too')
    a = p.parse_args()
    with open(a.file, 'rb') as fh:
        b = fh.read()
    frames, gains, crc_frames, crc_bad, first_mdb = analyse(b, free_format=a.free_format)
    bits = [g & 1 for g in gains[0::2]]
    print('frames=%d records=%d carrying=%d' % (frames, len(gains), len(bits)))
    if len(bits) >= 6:
        nbits = int(''.join(map(str, bits[:6])), 2)
        lb = bits[6:6 + max(nbits - 1, 0)]
        length = int('1' + ''.join(map(str, lb)), 2) if nbits > 0 else 0
        print('nbits=%d length=%d%s' % (nbits, length,
                                         '' if len(lb) == max(nbits - 1, 0) else ' (length bits cut short)'))
        payload = bits[6 + max(nbits - 1, 0):][:length]
        hexs = ''
        for i in range(0, len(payload), 4):
            chunk = payload[i:i + 4]
            hexs += '%x' % (int(''.join(map(str, chunk)), 2) << (4 - len(chunk)))
        print('payload_bits=%d payload_hex=%s' % (len(payload), hexs))
    print('crc_frames=%d crc_bad=%d' % (crc_frames, crc_bad))
    print('main_data_begin_first=%s' % first_mdb)
    if a.bits:
        print('bits=' + ''.join(map(str, bits)))


if __name__ == '__main__':
    sys.exit(main())
