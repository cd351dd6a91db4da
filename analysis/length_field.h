// The hidden layout's length field, read the one way both the classic
// verdict and the whole-file evidence read it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "gainscan/analysis.h"

namespace gainscan {

inline constexpr int CARRIER_STRIDE = 2;             // every second record carries a bit
inline constexpr std::uint64_t LENGTH_SLACK = 106;   // bytes a length may claim beyond the capacity

struct LengthHeader {
    std::uint32_t nbits = 0;            // the 6-bit length-of-length, always read
    std::optional<LengthField> field;   // when nbits is 1..32
    bool complete = false;              // every header bit was there (missing ones read as 0)
};

// Bits past the end of `bits` read as 0.
LengthHeader read_length_header(std::span<const std::uint8_t> bits);

// Whether a length could be a payload of a file whose capacity estimate is
// `capacity_bytes`.
inline bool length_fits(const LengthField& field, std::uint64_t capacity_bytes) {
    return field.length <= field.nbits + capacity_bytes + LENGTH_SLACK;
}

}  // namespace gainscan
