// Huffman decoding of one granule of one channel into 576 requantised
// spectral values, with the band-end trackers and the bit budget.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "decoder/layer3/scale_factors.h"
#include "decoder/layer3/side_info.h"

// The signed quantised values of the most recent call, in bitstream order.
extern constinit thread_local std::array<std::int16_t, 576> quantised_buffer;

// Whether the quantised values are kept in quantised_buffer, or dropped
// (granule.quantised_values is then null) for callers that need the
// spectrum alone.
enum class QuantisedValues { keep, drop };

// Returns 0 on success, 1 when the granule used more bits than its
// part2_3_length allowed (after writing the overdraw message).
int layer3_huffman_requantise(std::span<float, 576> spectrum, const ScaleFactors& scale_factors,
                              GranuleInfo& granule, int sampling_index, int part2_bits,
                              QuantisedValues keep = QuantisedValues::keep);

// Two long blocks (block_type other than 2) decoded together, as
// layer3_huffman_requantise with QuantisedValues::drop decodes each: their
// pair loops run in one, so that the two streams' chains of table reads
// overlap. Each block's big values start at bit `position` of the shared
// reader's buffer, after its `part2_bits` of scale factors. Neither the
// reader nor the messages are touched: `ends` tells, for each block, where
// its values end and what is left of its budget, for layer3_huffman_leave.
struct LongBlockInput {
    std::span<float, 576> spectrum;
    const ScaleFactors& scale_factors;
    GranuleInfo& granule;
    int part2_bits;
    std::int64_t position;
};
struct LongBlockEnd {
    std::int64_t position;
    std::int32_t budget;
};
void layer3_huffman_requantise_two(std::array<LongBlockInput, 2> blocks, int sampling_index,
                                   std::array<LongBlockEnd, 2>& ends);

// One such block alone, the same way: the reader and the messages are not
// touched.
LongBlockEnd layer3_huffman_requantise_at(const LongBlockInput& block, int sampling_index);

// Leaves the reader where layer3_huffman_requantise would have left it for
// that block: part2_3_length bits after its scale factors began, or, when it
// used more, where its values end, after the overdraw message (then 1).
int layer3_huffman_leave(const LongBlockEnd& end);

// The same codes read for their lengths only: the reader, the return value
// and the message are those of layer3_huffman_requantise, and the granule's
// spectrum and quantised values are all zero (spectrum_end 0). For clients
// that need only the side information.
int layer3_huffman_skip(GranuleInfo& granule, int part2_bits);

// How layer3_huffman_skip steps over big-value pairs on the calling thread:
// through a length table of several pairs a read once a table has been used
// enough for building it to pay (the default), always, or never (pair by
// pair through the fast table). The three step over exactly the same bits;
// the choice is there for tests and benchmarks.
enum class SkipTables { when_used, always, never };
void layer3_huffman_skip_tables(SkipTables mode);
