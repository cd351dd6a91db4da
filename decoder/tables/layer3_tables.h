// Constant Layer III tables: Huffman code trees, scale-factor bands, and
// scale-factor lengths and counts. Generated from layer3_tables.txt.
#pragma once

#include <array>
#include <cstdint>

// One Huffman code table in two forms.
//
// `tree`, a serialised code tree: entry >= 0 is a leaf; entry -k is a branch
// whose 0-child is the next entry and whose 1-child is k entries beyond that.
//
// `lookup`, the same codes as a table indexed by the next `first_bits` bits of
// the stream (0 for the zero tree of tables 0, 4 and 14, which has no code). A leaf entry gives the value (bits 0-7), the whole length of its
// code (bits 8-12, at most 19), that length plus one sign bit per nonzero value
// (bits 16-20) and whether a pair value is 15 (bit 24). A link entry (bit 31)
// names a sub-table of `lookup` at offset bits 0-15, indexed by the next bits
// 16-19 bits that follow the ones already used; its entries are packed alike.
//
// `fast`, the pairs as they are most often read: a table indexed by the next
// PAIR_FAST_BITS bits that holds one or two whole pairs with their sign bits
// (null for the zero tree). An entry gives the length of the pairs it holds,
// sign bits included, in bits 0-4 with bit 5 clear (so that shifting a window
// by the entry's low six bits, all a 64-bit shift instruction looks at,
// consumes them), the length of the first pair alone in bits 6-9, the number
// of pairs in bits 10-11 and four signed values, each plus 15, in bits 12-16,
// 17-21, 22-26 and 27-31 (first pair x, y, then second pair x, y; zeros when
// there is no second pair). With 0 pairs (a first code or its signs reaching
// past the index, or a 15 that takes escape bits) the pair is read through
// `lookup`. A second pair is given only when it lies whole in the index and
// has no escape.

struct HuffmanTable {
    std::uint32_t linbits;
    const std::int16_t* tree;
    const std::uint32_t* lookup;
    std::uint32_t first_bits;
    const std::uint32_t* fast;
};

inline constexpr int PAIR_FAST_BITS = 12;

inline constexpr std::uint32_t HUFFMAN_LINK = 0x80000000u;
inline constexpr std::uint32_t HUFFMAN_HAS_15 = 1u << 24;

extern const std::array<HuffmanTable, 32> pair_tables;  // by table_select
extern const std::array<HuffmanTable, 2> quad_tables;   // by count1table_select

// A count1 table indexed by the next `bits` bits, for quadruples whose sign
// bits are known to be there: they always hold a whole first quadruple, and
// often a second. An entry gives in bits 0-4 the length of the quadruples it
// holds with their sign bits (bit 5 is 0), in bits 6-7 how many (1 or 2), in
// bits 8-11 the length of the first alone, and in bits 12-19 and 20-27 the
// first's and the second's four values as 2-bit fields in stream order (bits
// 0-1 the first value; 0 zero, 1 plus one, 2 minus one; 0 for no second).
struct Count1Table {
    const std::uint32_t* lookup;
    std::uint32_t bits;
};
// The width of both, for loops that shift by a constant.
inline constexpr int COUNT1_BITS = 10;
extern const std::array<Count1Table, 2> count1_tables;  // by count1table_select

// BandIndex and BAND_INDEX, the scale-factor bands by sampling index.
#include "decoder/tables/band_index.h"

// slen1 (row 0) and slen2 (row 1) for MPEG-1 scalefac_compress 0..15.
extern const std::array<std::array<std::uint8_t, 16>, 2> MPEG1_SLEN;

// Scale factors per partition: [block kind: long, short, mixed][case 0..5][partition].
extern const std::array<std::array<std::array<std::uint8_t, 4>, 6>, 3> LSF_PARTITION_SIZES;
