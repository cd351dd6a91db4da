#include "analysis/length_field.h"

namespace gainscan {

LengthHeader read_length_header(std::span<const std::uint8_t> bits) {
    auto bit = [&](std::uint64_t k) -> std::uint64_t { return k < bits.size() ? bits[k] & 1u : 0; };
    LengthHeader header;
    for (std::uint64_t i = 0; i < 6; ++i) header.nbits = (header.nbits << 1) | static_cast<std::uint32_t>(bit(i));
    if (header.nbits == 0 || header.nbits > 32) {
        header.complete = bits.size() >= 6;
        return header;
    }
    LengthField field{};
    field.nbits = header.nbits;
    field.header_bits = 6 + header.nbits - 1;
    field.length = 1;  // the implicit leading 1
    for (std::uint64_t i = 6; i < field.header_bits; ++i) field.length = (field.length << 1) | bit(i);
    field.span = field.header_bits + 8 * field.length;
    header.field = field;
    header.complete = bits.size() >= field.header_bits;
    return header;
}

}  // namespace gainscan
