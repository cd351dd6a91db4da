// The classic analyser's verdict on the first 200 granule records: the
// length field their bits give, the capacity a file of this length could
// have, and whether the length could fit it.
#pragma once

#include <cstdint>
#include <span>

namespace gainscan {

inline constexpr int MAX_RECORDS = 200;

struct Verdict {
    std::uint32_t nbits = 0;           // the 6-bit length-of-length field
    std::uint32_t length = 0;          // the length with its implicit leading 1 (when nbits is 1..32)
    std::uint32_t capacity_bytes = 0;
    bool found = false;
};

// `gains`: global_gain of the first records (at most MAX_RECORDS); records
// never seen count as 0 bits. `bytes_per_granule`: the first frame's body
// size / (2 x channels), 0 without a usable first frame.
Verdict classic_verdict(std::span<const std::int32_t> gains, std::int32_t bytes_per_granule,
                        std::uint64_t file_length);

}  // namespace gainscan
