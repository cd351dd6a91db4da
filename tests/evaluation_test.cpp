// The evaluation on records made by hand: the length-of-length and length
// fields, the capacity estimate and its guards, and the report text.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "analyser/evaluation.h"
#include "analyser/hooks.h"

namespace {

// Records whose even entries carry `even_bits` ('0'/'1') in their least
// significant bit; the upper bits vary so that only the LSB can matter. Odd
// entries are 255 (LSB 1) and must never be read. Even entries past the
// string are 254 (LSB 0). `count` entries are marked filled.
AnalyserRecords records_with(const std::string& even_bits, int count, std::int32_t bytes_per_granule) {
    AnalyserRecords r{};
    for (int k = 0; k < MAX_RECORDS; ++k) {
        const auto i = static_cast<std::size_t>(k);
        if (k % 2 != 0) {
            r.gain_records[i] = 255;
        } else {
            const auto bit = static_cast<std::size_t>(k / 2);
            const int lsb = bit < even_bits.size() && even_bits[bit] == '1' ? 1 : 0;
            r.gain_records[i] = ((k * 37) & 0xFE) | lsb;
        }
    }
    r.record_count = count;
    r.bytes_per_granule = bytes_per_granule;
    return r;
}

std::string text_of(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buffer[1024];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

// evaluate_records reads the analyser's own record list.
std::string report_for(const AnalyserRecords& records, std::uint64_t file_length) {
    analyser_records = records;
    std::FILE* out = std::tmpfile();
    evaluate_records(file_length, out);
    const std::string text = text_of(out);
    std::fclose(out);
    reset_analyser_records();
    return text;
}

// MPEG-1 stereo 128 kbit/s 44.1 kHz: 413-byte bodies, 413 / 4 = 103.
constexpr std::int32_t BPG_128K = 103;

}  // namespace

// ---------------------------------------------------------------------------
// Capacity and width of the length field.

struct CapacityCase {
    std::int32_t bytes_per_granule;
    std::uint64_t file_length;
    std::int32_t width;
    std::uint32_t capacity_bytes;
};

class CapacityTest : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(CapacityTest, WidthAndBytes) {
    const CapacityCase c = GetParam();
    const Evaluation e = evaluate(records_with("", 0, c.bytes_per_granule), c.file_length);
    EXPECT_EQ(e.width, c.width);
    EXPECT_EQ(e.capacity_bytes, c.capacity_bytes);
}

INSTANTIATE_TEST_SUITE_P(
    HandComputed, CapacityTest,
    ::testing::Values(
        // Worked example: 1,000,000 / 206 = 4854, - 6 = 4848 bits. (4848-12)>>12
        // = 1, (4848-13)>>13 = 0: i stops at 13, width 12; 4836 >> 3 = 604.
        CapacityCase{BPG_128K, 1000000, 12, 604},
        // 2,000,000 / 206 = 9708, - 6 = 9702; (9702-13)>>13 = 1, (9702-14)>>14 = 0:
        // width 13; 9689 >> 3 = 1211.
        CapacityCase{BPG_128K, 2000000, 13, 1211},
        // bpg 1: 212 / 2 = 106, - 6 = 100; 94>>6 = 1, 93>>7 = 0: width 6; 94>>3 = 11.
        CapacityCase{1, 212, 6, 11},
        // 2012 / 2 = 1006, - 6 = 1000; 991>>9 = 1, 990>>10 = 0: width 9; 991>>3 = 123.
        CapacityCase{1, 2012, 9, 123},
        // 14 / 2 = 7, - 6 = 1 bit: 1>>0 = 1, 0>>1 = 0: width 0; 1 >> 3 = 0.
        CapacityCase{1, 14, 0, 0},
        // Exactly 6 granule pairs: 0 bits, the loop stops at i = 0, width -1;
        // 0 - (-1) = 1 bit, 0 bytes.
        CapacityCase{1, 12, -1, 0},
        CapacityCase{BPG_128K, 1236, -1, 0},
        // Fewer than 6 pairs: no capacity at all, not a wrapped-around
        // 0xFFFFFFFF (which would read as width 31 and 536,870,908 bytes).
        CapacityCase{1, 11, -1, 0}, CapacityCase{BPG_128K, 1235, -1, 0}, CapacityCase{BPG_128K, 0, -1, 0},
        // No granule size (no frame, Layer I/II first, free format -4/4 = -1).
        CapacityCase{0, 1000000, -1, 0}, CapacityCase{-1, 1000000, -1, 0},
        CapacityCase{-4, std::uint64_t{5} << 30, -1, 0},
        CapacityCase{std::numeric_limits<std::int32_t>::min(), 1000000, -1, 0},
        // 5 GiB = 5,368,709,120 / 206 = 26,061,694 (rem 156), - 6 = 26,061,688.
        // (..-24)>>24 = 1, (..-25)>>25 = 0: width 24; 26,061,664 >> 3 = 3,257,708.
        // (A 32-bit length would have measured 1 GiB.)
        CapacityCase{BPG_128K, std::uint64_t{5} << 30, 24, 3257708},
        // bpg 1, length 2 * (0xFFFFFFFF + 6): exactly 0xFFFFFFFF bits. At i = 31
        // (0xFFFFFFFF-31)>>31 = 1, and i may not pass 31: width 31;
        // 0xFFFFFFE0 >> 3 = 536,870,908.
        CapacityCase{1, 8589934602ull, 31, 536870908},
        // One pair more is 2^32 bits: capped at 0xFFFFFFFF, not truncated to 0.
        CapacityCase{1, 8589934604ull, 31, 536870908}, CapacityCase{1, std::uint64_t{1} << 40, 31, 536870908},
        CapacityCase{1, std::numeric_limits<std::uint64_t>::max(), 31, 536870908},
        // 2 * bpg must not overflow: 2 * 2,147,483,647 = 4,294,967,294; (2^64 - 1)
        // / (2^32 - 2) = 2^32 + 2 (since (2^32-2)(2^32+2) = 2^64 - 4), - 6 =
        // 4,294,967,292 bits; width 31; 4,294,967,261 >> 3 = 536,870,907.
        CapacityCase{std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::uint64_t>::max(), 31,
                     536870907}));

// ---------------------------------------------------------------------------
// The length-of-length and length fields.

class LengthFieldTest : public ::testing::Test {};

TEST_F(LengthFieldTest, NbitsFromEveryOtherRecordAndValueBehindIt) {
    // Bits 0,2,..,10 = 0,0,1,0,1,0: nbits = 0b001010 = 10. Value: implicit 1,
    // then the 9 bits at 12..28 = 1,1,0,0,1,0,1,1,0: 0b1110010110 = 918. The
    // bit at 30 (a 10th value bit) is 1 and must not be read.
    const std::string bits = "001010" "110010110" "1";
    const Evaluation e = evaluate(records_with(bits, 200, BPG_128K), 2000000);
    EXPECT_EQ(e.nbits, 10u);
    EXPECT_EQ(e.value, 918u);
    // 2,000,000 bytes: 1211 bytes (see CapacityTest); 918 <= 10 + 1211 + 106.
    EXPECT_EQ(e.capacity_bytes, 1211u);
    EXPECT_TRUE(e.found);
    // With 604 bytes the limit is 720 < 918.
    EXPECT_FALSE(evaluate(records_with(bits, 200, BPG_128K), 1000000).found);
}

TEST_F(LengthFieldTest, OnlyTheLeastSignificantBitOfEvenRecordsCounts) {
    // All odd records are 255 and the even ones have arbitrary upper bits;
    // with every even LSB 0 the fields are nbits 0 and value 1.
    const Evaluation e = evaluate(records_with("", 200, BPG_128K), 1000000);
    EXPECT_EQ(e.nbits, 0u);
    EXPECT_EQ(e.value, 1u);
    EXPECT_FALSE(e.found);
}

TEST_F(LengthFieldTest, NbitsOneIsAlwaysFound) {
    // nbits = 0b000001 = 1: value is the implicit 1, the 1 at bit 12 is not
    // read. 1 <= 1 + capacity + 106 holds even with no capacity.
    for (std::int32_t bpg : {0, BPG_128K}) {
        const Evaluation e = evaluate(records_with("000001" "1111", 200, bpg), 1000);
        EXPECT_EQ(e.nbits, 1u);
        EXPECT_EQ(e.value, 1u);
        EXPECT_EQ(e.capacity_bytes, 0u);
        EXPECT_TRUE(e.found) << "bpg " << bpg;
    }
}

TEST_F(LengthFieldTest, NbitsAbove32IsNoData) {
    // The largest capacity (536,870,908 bytes) and all value bits 0: for
    // nbits >= 33 the implicit 1 is shifted out of 32 bits, so value is 0 and
    // would pass the size test; only the nbits rule rejects it.
    for (std::uint32_t n = 33; n <= 63; ++n) {
        std::string bits;
        for (int i = 5; i >= 0; --i) bits += ((n >> i) & 1u) ? '1' : '0';
        const Evaluation e = evaluate(records_with(bits, 200, 1), std::uint64_t{1} << 40);
        EXPECT_EQ(e.nbits, n);
        EXPECT_EQ(e.value, 0u) << n;
        EXPECT_FALSE(e.found) << "nbits " << n;
    }
    // nbits 32 with zero bits: value 2^31 > 32 + 536,870,908 + 106.
    const Evaluation e32 = evaluate(records_with("100000", 200, 1), std::uint64_t{1} << 40);
    EXPECT_EQ(e32.nbits, 32u);
    EXPECT_EQ(e32.value, 0x80000000u);
    EXPECT_FALSE(e32.found);
}

TEST_F(LengthFieldTest, ValueJustAtAndJustAboveTheLimit) {
    // 1,000,000 bytes at bpg 103: 604 bytes; nbits 10: limit 10 + 604 + 106 = 720.
    // 720 = 0b1011010000, 721 = 0b1011010001 (bits after the leading 1).
    Evaluation e = evaluate(records_with("001010" "011010000", 200, BPG_128K), 1000000);
    EXPECT_EQ(e.value, 720u);
    EXPECT_TRUE(e.found);
    e = evaluate(records_with("001010" "011010001", 200, BPG_128K), 1000000);
    EXPECT_EQ(e.value, 721u);
    EXPECT_FALSE(e.found);
    // No capacity at all (bpg 0): nbits 7 gives the limit 7 + 0 + 106 = 113.
    // 113 = 0b1110001 is found, 114 = 0b1110010 is not.
    e = evaluate(records_with("000111" "110001", 200, 0), 1000000);
    EXPECT_EQ(e.value, 113u);
    EXPECT_TRUE(e.found);
    e = evaluate(records_with("000111" "110010", 200, 0), 1000000);
    EXPECT_EQ(e.value, 114u);
    EXPECT_FALSE(e.found);
}

TEST_F(LengthFieldTest, UnfilledRecordsCountAsZero) {
    // Only records 0..4 are filled (bits 0, 2, 4 = 0, 0, 1); the stale entries
    // behind them hold 1s. Read as zeros: nbits 0b001000 = 8, value 0b10000000
    // = 128 <= 8 + 604 + 106. (Read as stored: nbits 15, value 32767, no data.)
    AnalyserRecords r = records_with("001111" "11111111111111", 5, BPG_128K);
    Evaluation e = evaluate(r, 1000000);
    EXPECT_EQ(e.nbits, 8u);
    EXPECT_EQ(e.value, 128u);
    EXPECT_TRUE(e.found);

    // Eleven records fill exactly the nbits field: "000011" gives nbits 3,
    // the two value bits (12, 14) are unfilled: value 0b100 = 4.
    r = records_with("000011" "11", 11, BPG_128K);
    e = evaluate(r, 1000000);
    EXPECT_EQ(e.nbits, 3u);
    EXPECT_EQ(e.value, 4u);
    EXPECT_TRUE(e.found);

    // No records: nbits 0, the no-data verdict whatever is stored.
    e = evaluate(records_with("000001", 0, BPG_128K), 1000000);
    EXPECT_EQ(e.nbits, 0u);
    EXPECT_FALSE(e.found);
}

// ---------------------------------------------------------------------------
// The report's text.

class ReportTextTest : public ::testing::Test {};

TEST_F(ReportTextTest, FoundVerdict) {
    EXPECT_EQ(report_for(records_with("001010" "011010000", 200, BPG_128K), 1000000),
              "capacity: about 604 bytes\nPossible length specification found: 720\n");
}

TEST_F(ReportTextTest, NoDataVerdict) {
    EXPECT_EQ(report_for(records_with("001010" "011010001", 200, BPG_128K), 1000000),
              "capacity: about 604 bytes\nFile does not contain any qavex hidden data.\n");
}

TEST_F(ReportTextTest, NoGranuleSizeAndTinyFilesReportZeroBytes) {
    EXPECT_EQ(report_for(records_with("", 0, 0), 1000000),
              "capacity: about 0 bytes\nFile does not contain any qavex hidden data.\n");
    EXPECT_EQ(report_for(records_with("000001", 200, BPG_128K), 1235),
              "capacity: about 0 bytes\nPossible length specification found: 1\n");
}

TEST_F(ReportTextTest, LargestCapacityIsPrintedUnsigned) {
    EXPECT_EQ(report_for(records_with("", 0, 1), std::uint64_t{1} << 40),
              "capacity: about 536870908 bytes\nFile does not contain any qavex hidden data.\n");
}

TEST_F(ReportTextTest, DiagnosticTraceLayout) {
    // Nothing in the program turns the trace on; its layout is still fixed.
    // Records: even ones spell nbits 10 and value 720 (as above); odd ones
    // are 255, so bits 0..78 alternate between the pattern and 1.
    AnalyserRecords r = records_with("001010" "011010000", 200, BPG_128K);
    r.trace_enabled = true;
    const std::string even = "001010" "011010000" "0000000000000000000000000";  // 40 even bits 0..78
    std::string all79;
    for (int k = 0; k < 79; ++k) all79 += k % 2 ? '1' : even[static_cast<std::size_t>(k / 2)];
    EXPECT_EQ(report_for(r, 1000000), all79 + "\n" + "001010\n" + "i=12\n" + "capacity: about 604 bytes\n" +
                                          "011010000\n" + "Possible length specification found: 720\nnBits: 10\n");
}
