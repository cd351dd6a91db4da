// Whole-file evidence of bits written into the parity of global_gain.
//
// Only every second record carries a bit, and writing a bit moves a record's
// gain by one step without touching its Huffman data, so the decoded spectrum
// of a changed record is 2^(+-1/4) off: up when the gain is now odd, down when
// it is now even. The score compares each carrier's band energies with a
// prediction from its neighbours and asks whether the residual follows the
// parity of its gain. In a clean file it does not, whatever the gains are.
// A file whose every gain was shifted by an odd step has every parity
// flipped but its energies unchanged against its neighbours', so it scores
// like the clean file it was.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "gainscan/analysis.h"

namespace gainscan {

struct Evidence {
    std::vector<std::uint8_t> bits;  // the carriers' parity bits, in order (see carrier_bits)
    std::int64_t carriers;
    std::optional<LengthField> length_field;  // when nbits is 1..32
    // About N(0,1) where energies do not follow parity; nullopt when too few
    // carriers could be weighed. Never above 0 without a length that fits.
    std::optional<double> score;
};

// The parity bits of the carriers (records 0, 2, 4, ...), in order.
std::vector<std::uint8_t> carrier_bits(std::span<const GranuleRecord> records);

// `capacity`: the payload bytes the file could hold, as gainscan reports it.
Evidence weigh_evidence(std::span<const GranuleRecord> records, std::uint32_t capacity);

}  // namespace gainscan
