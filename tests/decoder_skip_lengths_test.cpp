// The skipping path's two ways over the big values of a granule, the fast
// table's pair by pair and the length tables' several pairs a read with
// escapes stepped over unread, must leave the reader at the same bit with the
// same result for every table, over any bits: the stream is someone else's
// file, damaged or not.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "decoder/common/bit_reader.h"
#include "decoder/layer3/huffman_requantise.h"
#include "tests/random_bits.h"

namespace {

struct Stepped {
    int result;
    std::int64_t position;  // the reader's, in bits from the buffer's start
};

Stepped skip_granule(std::vector<std::uint8_t>& bytes, std::uint32_t start_bit, GranuleInfo granule,
                     SkipTables mode) {
    layer3_huffman_skip_tables(mode);
    bit_reader_attach(bytes.data(), bytes.size(), bytes.data() + start_bit / 8);
    bit_reader_skip(static_cast<std::int32_t>(start_bit % 8));
    const int result = layer3_huffman_skip(granule, 0);
    layer3_huffman_skip_tables(SkipTables::when_used);
    return {result, (bit_reader.byte_pointer - bytes.data()) * 8 + bit_reader.bit_index};
}

struct Case {
    const char* name;
    Fill fill;
    std::size_t bytes;          // of the buffer: a short one is read past its end
    std::uint32_t big_values;   // pairs
    std::uint32_t region1_start, region2_start;
    std::uint32_t part2_3_length;
};

const Case CASES[] = {
    {"all 288 pairs in three regions, random bits", Fill::random, 4096, 288, 10, 40, 4095},
    {"runs of 1 to 7 pairs, random bits", Fill::random, 4096, 13, 1, 6, 4095},
    {"one long region, mostly zero bits", Fill::mostly_zero, 4096, 288, 288, 288, 4095},
    {"short runs, mostly zero bits", Fill::mostly_zero, 4096, 21, 3, 11, 4095},
    {"all ones: longest codes and escapes", Fill::ones, 4096, 288, 100, 200, 4095},
    {"read past the end of a short buffer", Fill::random, 40, 288, 20, 60, 4095},
    {"more bits than the granule's length (an overdraw)", Fill::random, 4096, 288, 20, 60, 50},
};

TEST(SkipLengthTables, StepToTheSameBitAsTheFastTableForEveryTableAndStart) {
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        for (std::uint32_t select = 0; select < 32; ++select) {
            for (std::uint32_t seed = 0; seed < 8; ++seed) {
                std::vector<std::uint8_t> bytes = bytes_of(c.fill, c.bytes, seed * 32 + select);
                GranuleInfo granule{};
                granule.part2_3_length = c.part2_3_length;
                granule.big_values = c.big_values;
                granule.region1_start = c.region1_start;
                granule.region2_start = c.region2_start;
                granule.table_select = {select, (select + 7) % 32, (select + 19) % 32};
                const std::uint32_t start = seed * 3;  // every bit offset within a byte, and more
                const Stepped plain = skip_granule(bytes, start, granule, SkipTables::never);
                const Stepped by_length = skip_granule(bytes, start, granule, SkipTables::always);
                EXPECT_EQ(by_length.position, plain.position) << "table " << select << " seed " << seed;
                EXPECT_EQ(by_length.result, plain.result) << "table " << select << " seed " << seed;
            }
        }
    }
}

}  // namespace
