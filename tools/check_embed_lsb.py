#!/usr/bin/env python3
"""Self-check of tools/embed_lsb against the fixtures (test tooling).

Usage: tools/check_embed_lsb.py PATH/TO/embed_lsb [FIXTURE_DIR]

For every fixture it runs embed_lsb with several argument sets, then reads the
result back with tools/gain_lsb.py (an independent Python parser that walks
the side information field by field) and checks:
  - the LSBs of records 0, 2, 4, ... hold exactly the expected bit sequence
    (6-bit nbits, length bits, payload bits), as many as fit;
  - the bit count embed_lsb prints matches;
  - every byte that differs from the input differs only in global_gain LSBs
    of carrying records (plus the CRC word of protected frames that changed,
    with --update-crc), and --update-crc leaves no bad CRC behind.
Then it feeds embed_lsb damaged inputs (cut, bit-flipped, garbage, bogus tag
sizes) and checks it exits 0, keeps the size, and changes single bits only.
Prints 'N passed, N failed' and exits non-zero on any failure.
"""

import glob
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixture_tool as ft  # noqa: E402
import gain_lsb  # noqa: E402

passed = 0
failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print('FAIL: ' + what)


def hex_bits(h):
    return [(int(c, 16) >> (3 - i)) & 1 for c in h for i in range(4)]


def expected_bits(length, nbits=None, payload=None):
    n = nbits if nbits is not None else length.bit_length()
    bits = [(n >> (5 - i)) & 1 for i in range(6)]
    lb = max(n - 1, 0)
    bits += [(length >> (lb - 1 - j)) & 1 for j in range(lb)]
    if payload is not None:
        bits += payload[:length]
    return bits


def run(embed, args):
    p = subprocess.run([embed] + args, capture_output=True, text=True)
    return p.returncode, p.stdout, p.stderr


def one_case(embed, path, tmp, args, expect, free_format=False, crc=False, payload_kind=None):
    """expect: the full bit sequence wanted, or None for random fill
    (then only the first 6 + length bits are checked)."""
    out = os.path.join(tmp, 'out.mp3')
    name = '%s %s' % (os.path.basename(path), ' '.join(args))
    rc, so, se = run(embed, args_fix(args, path, out))
    check(rc == 0, name + ': exit %d %s' % (rc, se.strip()))
    if rc != 0:
        return
    src = open(path, 'rb').read()
    dst = open(out, 'rb').read()
    check(len(src) == len(dst), name + ': size changed')
    lsb_at = []
    frames, gains, crc_frames, crc_bad, _ = gain_lsb.analyse(dst, lsb_at, free_format)
    carrying = lsb_at[0::2]
    got = [g & 1 for g in gains[0::2]]
    m = re.search(r'wrote (\d+) bits', so)
    count = int(m.group(1)) if m else -1
    want_total = expect['total']
    fits = min(want_total, len(carrying))
    check(count == fits, name + ': printed %d bits, expected %d' % (count, fits))
    check(('warning' in se) == (fits < want_total), name + ': warning iff not all bits fit')
    seq = expect['bits']
    check(got[:min(fits, len(seq))] == seq[:min(fits, len(seq))], name + ': carried bits differ')
    if payload_kind == 'ones':
        check(all(b == 1 for b in got[len(seq):fits]), name + ': ones fill')
    if payload_kind == 'zero':
        check(all(b == 0 for b in got[len(seq):fits]), name + ': zero fill')
    # records beyond the written ones keep their original LSB
    src_gains = gain_lsb.analyse(src, None, free_format)[1]
    check([g & 1 for g in src_gains[0::2]][fits:] == got[fits:], name + ': records past the end changed')
    check([g & 1 for g in src_gains[1::2]] == [g & 1 for g in gains[1::2]], name + ': odd records changed')
    # byte-level diff: only allowed bits
    allowed = {}
    for off, mask in carrying[:fits]:
        allowed[off] = allowed.get(off, 0) | mask
    crc_bytes = set()
    if crc:
        for f in ft.walk(dst):
            if f['layer'] == 3 and f['crc']:
                crc_bytes.update((f['pos'] + 4, f['pos'] + 5))
    bad = 0
    for i, (x, y) in enumerate(zip(src, dst)):
        if x != y and i not in crc_bytes and (x ^ y) & ~allowed.get(i, 0):
            bad += 1
    check(bad == 0, name + ': %d bytes changed outside global_gain LSBs' % bad)
    if crc:
        check(crc_bad == 0, name + ': %d bad CRCs after --update-crc' % crc_bad)


def args_fix(args, path, out):
    return [a.replace('{IN}', path).replace('{OUT}', out) for a in args]


def damage_cases(embed, files, tmp):
    rng = ft.Lcg(7)
    inputs = [b'', b'\xff', b'\xff\xfb\x90', b'ID3\x04\x00\x10\x7f\x7f\x7f\x7f',
              b'AiD\x01\x00\x00\xff\xfb\x90\x64' * 3, b'AiD\x01\xff\xff',
              bytes(rng.next32() & 0xFF for _ in range(5000)),
              b'\xff\xfb\x90\x64' * 200, b'\xff\xf3\x10\xc4' * 100]
    for path in files:
        b = open(path, 'rb').read()
        for cut in (3, 10, 40, len(b) // 3, len(b) - 1):
            inputs.append(b[:cut])
        flipped = bytearray(b)
        for _ in range(50):
            i = rng.next32() % len(flipped)
            flipped[i] ^= 1 << (rng.next32() % 8)
        inputs.append(bytes(flipped))
        inputs.append(b'ID3\x03\x00\x00\x7f\x7f\x7f\x7f' + b)  # tag claims more than the file
    src = os.path.join(tmp, 'damaged.mp3')
    out = os.path.join(tmp, 'damaged_out.mp3')
    for n, data in enumerate(inputs):
        open(src, 'wb').write(data)
        for extra in ([], ['--free-format', '--update-crc']):
            rc, so, se = run(embed, extra + [src, out, '4294967295'])
            check(rc == 0, 'damaged input %d: exit %d %s' % (n, rc, se.strip()[-200:]))
            if rc == 0:
                d = open(out, 'rb').read()
                check(len(d) == len(data), 'damaged input %d: size changed' % n)
                if not extra:
                    check(all(bin(x ^ y).count('1') <= 1 for x, y in zip(data, d)),
                          'damaged input %d: more than one bit changed in a byte' % n)


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    embed = os.path.abspath(sys.argv[1])
    here = os.path.dirname(os.path.abspath(__file__))
    fixdir = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, '..', 'tests', 'fixtures')
    files = sorted(glob.glob(os.path.join(fixdir, '*.mp3')) + glob.glob(os.path.join(fixdir, '*.mp2')))
    check(len(files) > 0, 'no fixtures found in ' + fixdir)
    rc, _, _ = run(embed, [])
    check(rc == 1, 'no arguments: exit 1')
    for bad in (['a', 'b'], ['a', 'b', '0'], ['a', 'b', '4294967296'], ['a', 'b', 'x'],
                ['a', 'b', '5', 'zz'], ['--nbits', '64', 'a', 'b', '5'], ['--fill', 'x', 'a', 'b', '5'],
                ['--bogus', 'a', 'b', '5'], ['a', 'b', '5', 'ab', 'extra']):
        rc, _, _ = run(embed, bad)
        check(rc == 1, 'bad arguments %s: exit 1' % bad)
    with tempfile.TemporaryDirectory() as tmp:
        rc, _, _ = run(embed, [os.path.join(tmp, 'missing.mp3'), os.path.join(tmp, 'o.mp3'), '5'])
        check(rc == 1, 'missing input: exit 1')
        for path in files:
            pl = 'deadbeef0123456789abcdef'
            # (options, LENGTH, PAYLOAD_HEX or None, forced nbits or None, fill kind)
            cases = [
                ([], 40, pl[:10], None, None),
                ([], 1000, pl, None, None),
                ([], 1, None, None, 'random'),
                (['--fill', 'ones'], 4294967295, None, None, 'ones'),
                (['--fill', 'zero'], 100, None, None, 'zero'),
                (['--nbits', '40'], 12345, 'ff', 40, None),
                (['--nbits', '0'], 0, None, 0, None),
                (['--nbits', '63'], 0xffffffff, '', 63, None),
            ]
            for opts, length, hexarg, nb, kind in cases:
                args = opts + ['{IN}', '{OUT}', str(length)] + ([] if hexarg is None else [hexarg])
                nbits = nb if nb is not None else length.bit_length()
                payload = None if hexarg is None else hex_bits(hexarg)
                pbits = length if hexarg is None else min(length, 4 * len(hexarg))
                total = 6 + max(nbits - 1, 0) + pbits
                seq = expected_bits(length, nb, payload)
                one_case(embed, path, tmp, args, {'total': total, 'bits': seq}, payload_kind=kind)
            if 'crc' in os.path.basename(path):
                one_case(embed, path, tmp, ['--update-crc', '{IN}', '{OUT}', '4294967295'],
                         {'total': 6 + 31 + 4294967295, 'bits': expected_bits(4294967295)}, crc=True)
            if 'freeformat' in os.path.basename(path):
                one_case(embed, path, tmp, ['--free-format', '{IN}', '{OUT}', '64', 'a5' * 8],
                         {'total': 6 + 6 + 64, 'bits': expected_bits(64, payload=hex_bits('a5' * 8))},
                         free_format=True)
        damage_cases(embed, files, tmp)
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
