// The Huffman decoder and table builder as they were before the decoder went
// table-driven: the code trees walked one bit at a time through a byte-wise
// bit reader, and the gain, 4/3-power and band tables computed at run time
// with std::pow. Kept only as the reference that fuzz_huffman_differential
// holds the decoder to.
#pragma once

#include <span>

#include "decoder/layer3/scale_factors.h"
#include "decoder/layer3/side_info.h"

namespace reference {

// Fills the reference's own tables; returns 0 when every one of them equals,
// bit for bit, the decoder's generated table of the same name, else the
// number of the first table that differs (1 gain, 2 power, 3 band map,
// 4 long limits, 5 short limits, 6 LSF normal, 7 LSF intensity, 8 the fast
// pair tables, worked out from the code trees, 9 the values behind fast pair
// and count1 entries).
int build_tables_and_compare();

// The former layer3_huffman_requantise, reading through the shared bit_reader
// and writing its quantised values to `quantised` (576 entries).
int huffman_requantise(std::span<float, 576> spectrum, std::span<std::int16_t, 576> quantised,
                       const ScaleFactors& scale_factors, GranuleInfo& granule, int sampling_index,
                       int part2_bits);

}  // namespace reference
