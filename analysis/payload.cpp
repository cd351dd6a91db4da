// The hidden payload as the layout gives it: after the length field, 8 x
// length bits, most significant bit of each byte first.
#include "gainscan/analysis.h"

namespace gainscan {

std::vector<std::uint8_t> payload_bytes(std::span<const std::uint8_t> bits, const LengthField& field, bool& complete) {
    const std::uint64_t available = bits.size() > field.header_bits ? (bits.size() - field.header_bits) / 8 : 0;
    complete = available >= field.length;
    const std::uint64_t count = complete ? field.length : available;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::uint8_t byte = 0;
        for (std::size_t k = 0; k < 8; ++k) byte = static_cast<std::uint8_t>((byte << 1) | bits[field.header_bits + 8 * i + k]);
        bytes[i] = byte;
    }
    return bytes;
}

}  // namespace gainscan
