// The classic verdict on records made by hand: the length-of-length and length
// fields, the capacity estimate at its edges, and the report text. Every
// expectation is worked out by hand in the comment beside it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/length_field.h"
#include "analysis/verdict.h"
#include "gainscan/analysis.h"

using gainscan::MAX_RECORDS;

namespace {

constexpr std::int32_t BPG = 103;   // MPEG-1 stereo 128 kbit/s 44.1 kHz: 413 / 4
constexpr std::uint64_t MB = 1000000;  // 1,000,000 / 206 - 6 = 4848 bits: width 12, (4848 - 12) / 8 = 604 bytes
constexpr std::uint64_t MAX64 = ~std::uint64_t{0};

// Even records carry `bits` ('0'/'1') in their LSB over varying upper bits;
// odd records are 255 and must never be read; `count` records are filled,
// the records never seen are not there.
std::vector<std::int32_t> gains(const std::string& bits, int count) {
    std::vector<std::int32_t> r;
    for (std::size_t k = 0; k < static_cast<std::size_t>(count); ++k) {
        const bool one = k % 2 || (k / 2 < bits.size() && bits[k / 2] == '1');
        r.push_back(static_cast<std::int32_t>(((k * 37) & 0xFE) | (one ? 1 : 0)));
    }
    return r;
}

struct Case {
    std::string bits;
    int count;
    std::int32_t bytes_per_granule;
    std::uint64_t length;
    std::uint32_t nbits, value;
    std::int32_t width;
    std::uint32_t capacity_bytes;
    bool found;
};

const Case CASES[] = {
    // nbits 0b001010 = 10, then 9 bits below the implicit 1: 0b1110010110 = 918;
    // the 10th value bit is not read. 2,000,000 bytes: 9702 bits, width 13,
    // 1211 bytes; 918 <= 10 + 1211 + 106. With 1,000,000 bytes the limit is 720.
    {"001010" "110010110" "1", 200, BPG, 2 * MB, 10, 918, 13, 1211, true},
    {"001010" "110010110" "1", 200, BPG, MB, 10, 918, 12, 604, false},
    {"001010" "011010000", 200, BPG, MB, 10, 720, 12, 604, true},   // at the limit 10 + 604 + 106
    {"001010" "011010001", 200, BPG, MB, 10, 721, 12, 604, false},  // one above
    {"000111" "110001", 200, 0, MB, 7, 113, -1, 0, true},           // no capacity: limit 7 + 106
    {"000111" "110010", 200, 0, MB, 7, 114, -1, 0, false},
    {"", 200, BPG, MB, 0, 1, 12, 604, false},               // nbits 0 is never a length
    {"000001" "1111", 200, 0, 1000, 1, 1, -1, 0, true},     // nbits 1: the implicit 1 alone
    {"100000", 200, 1, MAX64, 32, 0x80000000u, 31, 536870908, false},
    // nbits 33: the implicit 1 is shifted out and the value is 1; only nbits <= 32 rejects it.
    {"100001" "0000000000000000000000000000000" "1", 200, 1, MAX64, 33, 1, 31, 536870908, false},
    {"111111", 200, 1, MAX64, 63, 0, 31, 536870908, false},
    // Unfilled records read as 0: 5 filled give nbits 0b001000 = 8, value 128.
    {"001111" "11111111111111", 5, BPG, MB, 8, 128, 12, 604, true},
    {"000011" "11", 11, BPG, MB, 3, 4, 12, 604, true},  // value bits unfilled: 0b100
    {"000001", 0, BPG, MB, 0, 1, 12, 604, false},
    // Capacity: granules = length / (2 * bpg), less 6 bits, less the width of a
    // length field (the smallest i with (bits - i) >> i == 0, less 1), in bytes.
    {"", 0, 1, 212, 0, 1, 6, 11, false},     // 100 bits: width 6, 94 / 8
    {"", 0, 1, 2012, 0, 1, 9, 123, false},   // 1000 bits: width 9, 991 / 8
    {"", 0, 1, 14, 0, 1, 0, 0, false},       // 1 bit: width 0
    {"", 0, 1, 12, 0, 1, -1, 0, false},      // 0 bits: width -1
    {"", 0, 1, 11, 0, 1, -1, 0, false},      // under 6 granules: nothing, not a wrapped count
    {"", 0, BPG, 1235, 0, 1, -1, 0, false},
    {"", 0, -1, MB, 0, 1, -1, 0, false},     // no granule size (free format, Layer I/II, no frame)
    {"", 0, INT32_MIN, MB, 0, 1, -1, 0, false},
    {"", 0, BPG, std::uint64_t{5} << 30, 0, 1, 24, 3257708, false},  // 26,061,688 bits: 64-bit length
    {"", 0, 1, 8589934602ull, 0, 1, 31, 536870908, false},  // exactly 2^32 - 1 bits: width stops at 31
    {"", 0, 1, 8589934604ull, 0, 1, 31, 536870908, false},  // 2^32 bits: capped, not wrapped to 0
    {"", 0, INT32_MAX, MAX64, 0, 1, 31, 536870907, false},  // 2 * bpg in 64 bits: 4,294,967,292 bits
};

TEST(VerdictTest, FieldsCapacityAndVerdict) {
    for (const Case& c : CASES) {
        const std::vector<std::int32_t> g = gains(c.bits, c.count);
        const gainscan::Verdict e = gainscan::classic_verdict(g, c.bytes_per_granule, c.length);
        SCOPED_TRACE(c.bits + " count " + std::to_string(c.count) + " length " + std::to_string(c.length));
        EXPECT_EQ(e.nbits, c.nbits);
        if (c.nbits >= 1 && c.nbits <= 32) {
            EXPECT_EQ(e.length, c.value);
        }
        EXPECT_EQ(e.capacity_bytes, c.capacity_bytes);
        EXPECT_EQ(e.found, c.found);
    }
}

}  // namespace

TEST(VerdictTest, TheHeaderIsCompleteWhenAllItsBitsWereThere) {
    const struct {
        std::string bits;
        bool field, complete;
    } cases[] = {
        {"00000", false, false},          // five of the six bits of nbits
        {"000000", false, true},          // nbits 0: six bits are the whole header
        {"111111", false, true},          // nbits 63: no length field either
        {"000100" "11", true, false},     // nbits 4: three length bits, two there
        {"000100" "110", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        std::vector<std::uint8_t> bits;
        for (char b : c.bits) bits.push_back(b == '1');
        const auto header = gainscan::read_length_header(bits);
        EXPECT_EQ(header.field.has_value(), c.field);
        EXPECT_EQ(header.complete, c.complete);
    }
}

TEST(VerdictTest, LaterMessagesKeepTheFirstFewAndCountTheFirstTexts) {
    gainscan::MessageTally tally;
    for (std::size_t i = 0; i < gainscan::LATER_MESSAGE_TEXTS + 3; ++i)
        for (int repeat = 0; repeat < 2; ++repeat) tally.add(gainscan::Stream::out, "message " + std::to_string(i));
    ASSERT_EQ(tally.first.size(), gainscan::LATER_MESSAGES_KEPT);
    EXPECT_EQ(tally.first[1].text, "message 0");
    EXPECT_EQ(tally.first[2].text, "message 1");
    ASSERT_EQ(tally.counts.size(), gainscan::LATER_MESSAGE_TEXTS);
    EXPECT_EQ(tally.counts.back().text, "message " + std::to_string(gainscan::LATER_MESSAGE_TEXTS - 1));
    EXPECT_EQ(tally.counts.back().count, 2u);
    EXPECT_EQ(tally.other, 6u);  // three more texts, twice each
}
