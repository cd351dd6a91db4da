#include "analysis/verdict.h"

#include <array>

#include "analysis/length_field.h"

namespace gainscan {

namespace {

// Capacity in bits. Measured in 64 bits: files over 4 GiB are real. A file too
// short for the 6-bit header, or one whose first frame has no granule size
// (none found, Layer I/II, free format), can carry nothing.
std::uint32_t capacity_bits(std::int32_t bytes_per_granule, std::uint64_t file_length) {
    if (bytes_per_granule <= 0) return 0;
    const std::uint64_t granules = file_length / (2 * static_cast<std::uint64_t>(bytes_per_granule));
    if (granules < 6) return 0;
    const std::uint64_t bits = granules - 6;
    return bits > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(bits);
}

}  // namespace

Verdict classic_verdict(std::span<const std::int32_t> gains, std::int32_t bytes_per_granule,
                        std::uint64_t file_length) {
    // The carriers among the records seen: records 0, 2, 4, ...
    std::array<std::uint8_t, MAX_RECORDS / CARRIER_STRIDE> bits{};
    std::size_t count = 0;
    for (std::size_t k = 0; k < gains.size() && k < MAX_RECORDS; k += CARRIER_STRIDE)
        bits[count++] = static_cast<std::uint8_t>(gains[k] & 1);
    const LengthHeader header = read_length_header(std::span(bits.data(), count));

    Verdict v;
    v.nbits = header.nbits;
    // The length field's own bits come out of the capacity: the width of a
    // length that could describe the file.
    std::uint32_t capacity = capacity_bits(bytes_per_granule, file_length);
    int width = 0;
    while (width <= 31 && ((capacity - static_cast<std::uint32_t>(width)) >> width) != 0) ++width;
    capacity -= static_cast<std::uint32_t>(width - 1);
    v.capacity_bytes = capacity >> 3;
    if (header.field) {
        v.length = static_cast<std::uint32_t>(header.field->length);
        v.found = length_fits(*header.field, v.capacity_bytes);
    }
    return v;
}

}  // namespace gainscan
