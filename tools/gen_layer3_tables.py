#!/usr/bin/env python3
"""Generates decoder/tables/layer3_tables.cpp and decoder/tables/computed_tables.cpp
from decoder/tables/layer3_tables.txt.

layer3_tables.cpp holds the Huffman code tables in the forms the decoder and
its tests use:
- the serialised code tree: the pre-order listing of the tree, where an entry
  >= 0 is a leaf (16*x + y for pairs, 8*v + 4*w + 2*x + y for quadruples) and
  an entry -k is a branch whose 1-child starts k entries beyond the next entry
  (k = size of the 0-subtree);
- the lookup table the decoder reads codes with: a first level indexed by the
  next FIRST_BITS bits (fewer for short codes, none for the zero tree, which
  reads no bit), whose entries either give a leaf with its whole code length
  or link to a sub-table indexed by the bits that follow (at most SUB_BITS of
  them, linking on again for longer codes). Entries are 32 bits. Leaf: bits
  0-7 the value, 8-12 the code length, 16-20 the code length plus one sign bit
  per nonzero value, 24 set when a pair value is 15 (an escape when the table
  has linbits). Link: bit 31 set, bits 0-15 the offset of the sub-table within
  the tree's lookup array, 16-19 its width;
- for the pair tables, a table indexed by the next FAST_BITS bits giving one
  or two whole pairs with their sign bits, as signed values (see
  fast_pair_lookup);
- for the two count1 tables, a table indexed by the next COUNT1_BITS bits, for
  quadruples whose sign bits are known to be there, giving one or two whole
  quadruples with their signs (see count1_lookup).
It also holds the band widths, the MPEG-1 scale-factor lengths and the
per-partition scale-factor counts as plain arrays.

computed_tables.cpp holds the tables the decoder used to compute at every
start-up, computed here once with the same formulas (the same libm pow for the
gain and 4/3-power tables, rounded to single precision, written as exact
hexadecimal literals): GAIN_TABLE_STORAGE, POW43_TABLE, PAIR_POWERS,
PAIR_QUANTISED, QUAD_VALUES, QUAD_QUANTISED, BAND_MAP,
LONG_BAND_LIMIT, SHORT_BAND_LIMIT (for the subband limit 32), LSF_SLEN_NORMAL
and LSF_SLEN_INTENSITY.

Usage: gen_layer3_tables.py [--check]   (--check: fail if a committed file differs)
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SRC = os.path.join(ROOT, 'decoder', 'tables', 'layer3_tables.txt')
OUT = os.path.join(ROOT, 'decoder', 'tables', 'layer3_tables.cpp')
OUT_COMPUTED = os.path.join(ROOT, 'decoder', 'tables', 'computed_tables.cpp')
OUT_BANDS = os.path.join(ROOT, 'decoder', 'tables', 'band_index.h')
FIRST_BITS = 8
SUB_BITS = 6
FAST_BITS = 12
SUBBAND_LIMIT = 32
GAIN_MIN, GAIN_MAX, POW43_SIZE = -256, 255, 8207
RATES = [44100, 48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000]


def parse(path):
    tables, rows, cur = {}, {}, None
    for line in open(path):
        f = line.split()
        if not f or f[0].startswith('#'):
            continue
        if f[0] in ('pair_table', 'quad_table'):
            cur = (f[0], f[1])
            tables[cur] = []
        elif f[0] == 'nr_of_sfb':
            cur = None
            rows[tuple(f[:3])] = [int(v) for v in f[3:]]
        elif f[0] in ('long_widths', 'short_widths', 'slen1', 'slen2', 'bitrate_kbps', 'linbits'):
            cur = None
            rows[tuple(f[:2])] = [int(v) for v in f[2:]]
        else:
            tables[cur].append(([int(v) for v in f[:-1]], f[-1]))
    return tables, rows


def serialise(codes):
    """codes: list of (leaf value, bit string). Returns the pre-order tree listing."""
    root = {}
    for value, bits in codes:
        node = root
        for b in bits[:-1]:
            node = node.setdefault(b, {})
            if not isinstance(node, dict):
                raise SystemExit('code %s is not prefix-free' % bits)
        if bits[-1] in node:
            raise SystemExit('code %s is not prefix-free' % bits)
        node[bits[-1]] = value

    def emit(node):
        if not isinstance(node, dict):
            return [node]
        if set(node) != {'0', '1'}:
            raise SystemExit('incomplete code tree')
        zero, one = emit(node['0']), emit(node['1'])
        return [-len(zero)] + zero + one

    return emit(root)


def lookup_table(codes, pairs):
    """codes: list of (leaf value, bit string). Returns (first-level width, entries)."""
    entries = []

    def leaf(value, length):
        values = [value >> 4, value & 15] if pairs else [(value >> (3 - k)) & 1 for k in range(4)]
        signs = sum(1 for v in values if v != 0)
        escape = 1 if 15 in values and pairs else 0
        return (escape << 24) | ((length + signs) << 16) | (length << 8) | value

    def build(group, consumed, width):
        start = len(entries)
        entries.extend([None] * (1 << width))
        links = {}
        for value, bits in group:
            if len(bits) <= width:
                pad = width - len(bits)
                base = (int(bits, 2) << pad) if bits else 0
                for i in range(1 << pad):
                    assert entries[start + base + i] is None
                    entries[start + base + i] = leaf(value, consumed + len(bits))
            else:
                links.setdefault(bits[:width], []).append((value, bits[width:]))
        for prefix, rest in sorted(links.items()):
            sub_width = min(SUB_BITS, max(len(bits) for _, bits in rest))
            offset = build(rest, consumed + width, sub_width)
            assert offset < 0x10000 and sub_width < 16
            entries[start + int(prefix, 2)] = 0x80000000 | (sub_width << 16) | offset
        return start

    # The zero tree's one leaf has no bits: a first level of width 0, one entry.
    first = min(FIRST_BITS, max(len(bits) for _, bits in codes))
    build(codes, 0, first)
    assert all(e is not None for e in entries), 'incomplete code'
    return first, entries


COUNT1_BITS = 10


def count1_lookup(codes):
    """codes: list of (quadruple leaf, bit string). Returns (width, entries): a
    table indexed by the next COUNT1_BITS bits, which always hold a whole
    code with the sign bits of its nonzero values (at most 6 + 4), and often a
    second quadruple too.

    An entry (32 bits) gives in bits 0-4 the length of the quadruples it
    holds with their sign bits, bit 5 being 0 (a shift by the entry's low six
    bits consumes them), in bits 6-7 their number (1 or 2), in bits 8-11 the
    length of the first alone, and in bits 12-19 and 20-27 the first's and
    the second's four values as 2-bit fields in stream order (bits 0-1 the
    first; 0 zero, 1 plus one, 2 minus one; all 0 where there is no second).
    """
    width = COUNT1_BITS
    assert max(len(bits) for _, bits in codes) + 4 <= width

    def one(text):
        """The quadruple at the start of text: (2-bit fields, length), or None
        when its code or sign bits do not lie whole in text."""
        matches = [(value, bits) for value, bits in codes if text.startswith(bits)]
        if len(matches) != 1:
            return None
        value, bits = matches[0]
        used = len(bits)
        signed = 0
        for k in range(4):
            if (value >> (3 - k)) & 1:
                if used >= len(text):
                    return None
                signed |= (2 if text[used] == '1' else 1) << (2 * k)
                used += 1
        return signed, used

    entries = []
    for index in range(1 << width):
        text = format(index, '0%db' % width)
        first = one(text)
        assert first is not None
        signed, used = first
        second = one(text[used:])
        total, count, signed2 = used, 1, 0
        if second is not None:
            total, count, signed2 = used + second[1], 2, second[0]
        entries.append(total | (count << 6) | (used << 8) | (signed << 12) | (signed2 << 20))
    return width, entries


def fast_pair_lookup(codes, escapes):
    """codes: list of (16*x + y, bit string). Returns the FAST_BITS-wide table
    that reads whole pairs with their sign bits: one or two pairs per entry.

    An entry (32 bits) gives in bits 0-4 the length of the pairs it holds with
    their sign bits, bit 5 being 0 (so that a shift by the entry's low six
    bits, which is what the processor's shift takes anyway, consumes them), in
    bits 6-9 the length of the first pair alone, in bits 10-11 the number of
    pairs, and in bits 12-16, 17-21, 22-26 and 27-31 four
    signed values, each plus 15 (first pair x, y, then second pair x, y; 0
    plus 15 where there is no second pair). 0 pairs: the index does not hold a
    whole first pair with its signs, or that pair has a value 15 that takes
    escape bits (`escapes`), and the pair must be read the slow way. A second
    pair is there only when it too lies whole in the index and has no escape.
    """
    by_bits = {bits: value for value, bits in codes}
    longest = max(len(bits) for bits in by_bits)

    def pair_at(text):
        # The pair whose code and sign bits start `text`: (signed values, length) or None.
        for n in range(1, longest + 1):
            if n > len(text):
                return None
            value = by_bits.get(text[:n])
            if value is None:
                continue
            values = [value >> 4, value & 15]
            if escapes and 15 in values:
                return None
            used = n
            signed = []
            for v in values:
                if v != 0:
                    if used >= len(text):
                        return None
                    signed.append(-v if text[used] == '1' else v)
                    used += 1
                else:
                    signed.append(0)
            return signed, used
        return None

    entries = []
    for index in range(1 << FAST_BITS):
        text = format(index, '0%db' % FAST_BITS)
        first = pair_at(text)
        if first is None:
            entries.append(0)
            continue
        values, length = first
        second = pair_at(text[length:])
        count, total = 1, length
        if second is not None:
            values = values + second[0]
            count, total = 2, length + second[1]
        else:
            values = values + [0, 0]
        fields = 0
        for k, v in enumerate(values):
            fields |= (v + 15) << (12 + 5 * k)
        entries.append(fields | (count << 10) | (length << 6) | total)
    return entries


def c_array(name, ctype, values, per_line=16):
    lines = []
    for i in range(0, len(values), per_line):
        lines.append('    ' + ', '.join(str(v) for v in values[i:i + per_line]) + ',')
    return 'const %s %s[%d] = {\n%s\n};\n' % (ctype, name, len(values), '\n'.join(lines))


def generate():
    tables, rows = parse(SRC)
    out = ['// Generated by tools/gen_layer3_tables.py from layer3_tables.txt; do not edit.',
           '#include "decoder/tables/layer3_tables.h"', '']
    pair_trees = {}
    first_bits = {}
    for (kind, name), codes in tables.items():
        if kind == 'pair_table':
            leaves = [(16 * xy[0] + xy[1], bits) for xy, bits in codes]
            prefix = 'PAIR_%s' % name
            pair_trees[int(name)] = prefix
        else:
            leaves = [(8 * q[0] + 4 * q[1] + 2 * q[2] + q[3], bits) for q, bits in codes]
            prefix = 'QUAD_%s' % name
        out.append(c_array(prefix.replace('_', '_TREE_', 1), 'std::int16_t', serialise(leaves)))
        first_bits[prefix], lookup = lookup_table(leaves, kind == 'pair_table')
        out.append(c_array(prefix.replace('_', '_LOOKUP_', 1), 'std::uint32_t', ['0x%x' % e for e in lookup], 8))
        if kind == 'pair_table':
            fast = fast_pair_lookup(leaves, int(name) in (16, 24))
            out.append(c_array(prefix.replace('_', '_FAST_', 1), 'std::uint32_t', ['0x%x' % e for e in fast], 8))
    out.append('const std::int16_t ZERO_TREE[1] = {0};\n')
    first_bits['ZERO'], lookup = lookup_table([(0, '')], True)
    out.append(c_array('ZERO_LOOKUP', 'std::uint32_t', ['0x%x' % e for e in lookup], 8))

    def table_entry(linbits_value, prefix):
        tree = prefix.replace('_', '_TREE_', 1) if prefix != 'ZERO' else 'ZERO_TREE'
        lookup = prefix.replace('_', '_LOOKUP_', 1) if prefix != 'ZERO' else 'ZERO_LOOKUP'
        fast = prefix.replace('_', '_FAST_', 1) if prefix.startswith('PAIR') else 'nullptr'
        return '    {%d, %s, %s, %d, %s},' % (linbits_value, tree, lookup, first_bits[prefix], fast)

    linbits = {t: rows[('linbits', str(t))][0] for t in range(32)}
    entries = []
    for t in range(32):
        if t in pair_trees:
            tree = pair_trees[t]
        elif t in (0, 4, 14):
            tree = 'ZERO'
        elif 16 <= t <= 23:
            tree = pair_trees[16]
        elif 24 <= t <= 31:
            tree = pair_trees[24]
        else:
            raise SystemExit('no tree for table %d' % t)
        entries.append(table_entry(linbits[t], tree))
    out.append('const std::array<HuffmanTable, 32> pair_tables = {{\n%s\n}};\n' % '\n'.join(entries))
    out.append('const std::array<HuffmanTable, 2> quad_tables = {{\n%s\n%s\n}};\n'
               % (table_entry(0, 'QUAD_A'), table_entry(0, 'QUAD_B')))
    count1 = []
    for name in ('A', 'B'):
        leaves = [(8 * q[0] + 4 * q[1] + 2 * q[2] + q[3], bits) for q, bits in tables[('quad_table', name)]]
        width, lookup = count1_lookup(leaves)
        out.append(c_array('COUNT1_LOOKUP_%s' % name, 'std::uint32_t', ['0x%x' % e for e in lookup], 8))
        count1.append('    {COUNT1_LOOKUP_%s, %d},' % (name, width))
    out.append('const std::array<Count1Table, 2> count1_tables = {{\n%s\n}};\n' % '\n'.join(count1))
    out.append('static_assert(COUNT1_BITS == %d, "the count1 loop of long blocks reads this many bits");\n' % COUNT1_BITS)

    s1, s2 = rows[('slen1', 'MPEG1')], rows[('slen2', 'MPEG1')]
    out.append('const std::array<std::array<std::uint8_t, 16>, 2> MPEG1_SLEN = {{\n    {%s},\n    {%s},\n}};\n'
               % (', '.join(map(str, s1)), ', '.join(map(str, s2))))

    kinds = []
    for kind in ('long', 'short', 'mixed'):
        cases = ['{%s}' % ', '.join(map(str, rows[('nr_of_sfb', str(c), kind)])) for c in range(6)]
        kinds.append('    {{%s}},' % ', '.join(cases))
    out.append('const std::array<std::array<std::array<std::uint8_t, 4>, 6>, 3> LSF_PARTITION_SIZES = {{\n%s\n}};'
               % '\n'.join(kinds))
    return '\n'.join(out) + '\n'


def single(x):
    """x rounded to single precision, as the C++ cast from double does."""
    return struct.unpack('<f', struct.pack('<f', x))[0]


def float_literal(x):
    h = float.hex(x)  # exact: 0x1.8000000000000p+1
    mantissa, exponent = h.split('p')
    mantissa = mantissa.rstrip('0')
    if mantissa.endswith('.'):
        mantissa += '0'
    return '%sp%sf' % (mantissa, exponent)


def c_div(a, b):
    """Integer division truncating towards zero, as in C++."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def generate_computed():
    _, rows = parse(SRC)
    out = ['// Generated by tools/gen_layer3_tables.py from layer3_tables.txt; do not edit.',
           '// The tables computed once for every process, before any decoder runs.',
           '#include "decoder/tables/decoder_tables.h"', '']

    gains = [single(2.0 ** (-0.25 * (i + 210))) for i in range(GAIN_MIN, GAIN_MAX + 1)]
    out.append('constinit const std::array<float, GAIN_MAX - GAIN_MIN + 1> GAIN_TABLE_STORAGE = {\n%s\n};\n'
               % wrap([float_literal(g) for g in gains], 6))
    powers = [single(float(i) ** (4.0 / 3.0)) for i in range(POW43_SIZE)]
    out.append('constinit const std::array<float, POW43_SIZE> POW43_TABLE = {\n%s\n};\n'
               % wrap([float_literal(v) for v in powers], 6))
    def signed_power(v):
        return -powers[-v] if v < 0 else powers[v]

    # By two 5-bit fields, each a signed value plus 15 (31: not a value, 0).
    pair_fields = [(i & 31, i >> 5) for i in range(1024)]
    pair_values = [[f - 15 if f < 31 else 0 for f in fields] for fields in pair_fields]
    out.append('constinit const std::array<TwoValues, 1024> PAIR_POWERS = {{\n%s\n}};\n'
               % wrap(['{%s, %s}' % tuple(float_literal(signed_power(v)) for v in pair) for pair in pair_values], 4))
    out.append('constinit const std::array<TwoQuantised, 1024> PAIR_QUANTISED = {{\n%s\n}};\n'
               % wrap(['{%d, %d}' % tuple(pair) for pair in pair_values], 8))
    # By four 2-bit fields: 0 zero, 1 plus one, 2 minus one (3: not a value, 0).
    quads = [[(0, 1, -1, 0)[(i >> (2 * k)) & 3] for k in range(4)] for i in range(256)]
    out.append('constinit const std::array<FourValues, 256> QUAD_VALUES = {{\n%s\n}};\n'
               % wrap(['{%s}' % ', '.join(float_literal(float(v)) for v in quad) for quad in quads], 3))
    out.append('constinit const std::array<FourQuantised, 256> QUAD_QUANTISED = {{\n%s\n}};\n'
               % wrap(['{%s}' % ', '.join(str(v) for v in quad) for quad in quads], 6))

    maps, long_limits, short_limits = [], [], []
    for j, rate in enumerate(RATES):
        lw = rows[('long_widths', str(rate))]
        sw = rows[('short_widths', str(rate))]

        def short_runs(first, start):
            runs = []
            for b in range(first, 13):
                w = sw[b] >> 1
                for window in range(3):
                    runs.append((w, start + window, window, b))
                start += 6 * w
            return runs

        # A mixed block has long bands up to the line where short band 3
        # begins: eight bands at 32 kHz and above, six at the lower rates.
        mixed, start = [], 0
        for b in range(8 if j < 3 else 6):
            mixed.append((lw[b] >> 1, start, 3, b))
            start += lw[b]
        mixed += short_runs(3, start)
        short = short_runs(0, 0)

        def runs_text(runs):
            runs = runs + [(0, 0, 0, 0)] * (39 - len(runs))
            return wrap(['{%d, %d, %d, %d}' % r for r in runs], 6, indent=9)

        maps.append('    {// %d Hz\n     {{\n%s\n     }},\n     %d,\n     {{\n%s\n     }},\n     %d,\n'
                    '     {{\n%s\n     }}},' % (
                        rate, runs_text(mixed), len(mixed), runs_text(short), len(short),
                        wrap(['{%d, %d}' % (lw[b] >> 1, b) for b in range(22)], 11, indent=9)))

        long_index, short_index = [0], [0]
        for w in lw:
            long_index.append(long_index[-1] + w)
        for w in sw:
            short_index.append(short_index[-1] + 3 * w)
        long_limits.append('    {%s},' % ', '.join(
            str(min(SUBBAND_LIMIT, c_div(k + 7, 18) + 1)) for k in long_index))
        short_limits.append('    {%s},' % ', '.join(
            str(min(SUBBAND_LIMIT, c_div(k - 1, 18) + 1)) for k in short_index))

    out.append('constinit const std::array<BandMap, 9> BAND_MAP = {{\n%s\n}};\n' % '\n'.join(maps))
    out.append('constinit const std::array<std::array<std::int32_t, 23>, 9> LONG_BAND_LIMIT = {{\n%s\n}};\n'
               % '\n'.join(long_limits))
    out.append('constinit const std::array<std::array<std::int32_t, 14>, 9> SHORT_BAND_LIMIT = {{\n%s\n}};\n'
               % '\n'.join(short_limits))

    def slen_word(a, b, c, d, row, preflag):
        return a | (b << 3) | (c << 6) | (d << 9) | (row << 12) | (preflag << 15)

    normal = [0] * 512
    for a in range(5):
        for b in range(5):
            for c in range(4):
                for d in range(4):
                    normal[80 * a + 16 * b + 4 * c + d] = slen_word(a, b, c, d, 0, 0)
    for a in range(5):
        for b in range(5):
            for c in range(4):
                normal[400 + 20 * a + 4 * b + c] = slen_word(a, b, c, 0, 1, 0)
    for a in range(4):
        for b in range(3):
            normal[500 + 3 * a + b] = slen_word(a, b, 0, 0, 2, 1)
    intensity = [0] * 256
    for a in range(5):
        for b in range(6):
            for c in range(6):
                intensity[36 * a + 6 * b + c] = slen_word(a, b, c, 0, 3, 0)
    for a in range(4):
        for b in range(4):
            for c in range(4):
                intensity[180 + 16 * a + 4 * b + c] = slen_word(a, b, c, 0, 4, 0)
    for a in range(4):
        for b in range(3):
            intensity[244 + 3 * a + b] = slen_word(a, b, 0, 0, 5, 0)
    out.append('constinit const std::array<std::uint32_t, 512> LSF_SLEN_NORMAL = {\n%s\n};\n'
               % wrap([str(v) for v in normal], 16))
    out.append('constinit const std::array<std::uint32_t, 256> LSF_SLEN_INTENSITY = {\n%s\n};'
               % wrap([str(v) for v in intensity], 16))
    return '\n'.join(out) + '\n'


def generate_bands():
    """The scale-factor bands, as constants in a header: loops over them can
    then be laid out for each sampling rate at compile time."""
    _, rows = parse(SRC)
    band_rows = []
    for rate in RATES:
        lw = rows[('long_widths', str(rate))]
        sw = rows[('short_widths', str(rate))]
        assert len(lw) == 22 and sum(lw) == 576 and len(sw) == 13 and 3 * sum(sw) == 576
        li = [0]
        for w in lw:
            li.append(li[-1] + w)
        si = [0]
        for w in sw:
            si.append(si[-1] + 3 * w)
        band_rows.append('    {// %d Hz\n     {%s},\n     {%s},\n     {%s},\n     {%s}},' % (
            rate, ', '.join(map(str, li)), ', '.join(map(str, lw)),
            ', '.join(map(str, si)), ', '.join(map(str, sw))))
    out = ['// Generated by tools/gen_layer3_tables.py from layer3_tables.txt; do not edit.',
           '// The scale-factor bands of each sampling rate, as constants, so that loops',
           '// over them can be laid out at compile time.',
           '#pragma once', '',
           '#include <array>',
           '#include <cstdint>', '',
           'struct BandIndex {',
           '    std::array<std::int16_t, 23> long_index;   // first line of each long band, then 576',
           '    std::array<std::int16_t, 22> long_width;',
           '    std::array<std::int16_t, 14> short_index;  // first line over all three windows, then 576',
           '    std::array<std::int16_t, 13> short_width;  // per window',
           '};', '',
           '// By sampling index.',
           'inline constexpr std::array<BandIndex, 9> BAND_INDEX = {{\n%s\n}};' % '\n'.join(band_rows)]
    return '\n'.join(out) + '\n'


def wrap(items, per_line, indent=4):
    return '\n'.join(' ' * indent + ', '.join(items[i:i + per_line]) + ','
                      for i in range(0, len(items), per_line))


def main():
    outputs = ((OUT, generate()), (OUT_COMPUTED, generate_computed()), (OUT_BANDS, generate_bands()))
    if '--check' in sys.argv:
        stale = 0
        for path, text in outputs:
            try:
                with open(path) as f:
                    current = f.read()
            except OSError:
                current = None
            if current != text:
                print('%s is out of date: run tools/gen_layer3_tables.py' % path)
                stale = 1
        return stale
    for path, text in outputs:
        with open(path, 'w') as f:
            f.write(text)
    return 0


if __name__ == '__main__':
    sys.exit(main())
