// A decoder helper no stream reaches in full: the 64-bit window load at and
// past a buffer's end.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "decoder/common/bit_reader.h"

TEST(DecoderEdgesTest, WindowWordReadsZerosOutsideTheBuffer) {
    const std::array<std::uint8_t, 12> bytes = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                                0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC};
    const struct {
        std::int64_t size, offset;
        std::uint64_t word;
    } cases[] = {
        {12, 0, 0x1122334455667788u},   {12, 4, 0x5566778899AABBCCu},   // whole words inside
        {12, 5, 0x66778899AABBCC00u},   {12, 11, 0xCC00000000000000u},  // running past the end
        {12, 12, 0},                    {12, -2, 0x0000112233445566u},  // after it, before it
        {9, 2, 0x3344556677889900u},   {8, 1, 0x2233445566778800u},    // a shorter buffer
    };
    for (const auto& c : cases)
        EXPECT_EQ(bit_buffer_word(bytes.data(), c.size, c.offset), c.word) << c.size << " " << c.offset;
}
