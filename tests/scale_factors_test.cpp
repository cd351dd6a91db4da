// Scale factors of one granule of one channel: which values are read with
// which lengths, which entries are written as zeros, how many entries are
// written at all, and how many bits are read.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "bitstream_writer.h"
#include "decoder/common/bit_reader.h"
#include "decoder/layer3/scale_factors.h"
#include "decoder/tables/decoder_tables.h"

namespace {

using testing_stream::BitWriter;

constexpr std::int32_t SENTINEL = -7777;

class ScaleFactorsTest : public testing::Test {
protected:
    void SetUp() override {
        build_decoder_tables(32);
        sf.fill(SENTINEL);
    }

    // Puts the written bits at the start of a frame-sized buffer, followed
    // by ones, so that a read past the intended values shows up as nonzero.
    void attach(BitWriter w) {
        while (w.bit_count() % 8 != 0) w.put(1, 1);
        buffer.fill(0xFF);
        std::copy(w.bytes().begin(), w.bytes().end(), buffer.begin());
        bit_reader_attach(buffer.data(), buffer.size(), buffer.data());
    }
    long position() const {
        return static_cast<long>(bit_reader.byte_pointer - buffer.data()) * 8 + bit_reader.bit_index;
    }
    // Number of leading entries that are no longer the sentinel; the rest must all be.
    int entries_written() const {
        int n = 0;
        while (n < 39 && sf[static_cast<std::size_t>(n)] != SENTINEL) ++n;
        for (int i = n; i < 39; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], SENTINEL) << "entry " << i;
        return n;
    }

    std::array<std::uint8_t, 2304> buffer{};
    ScaleFactors sf{};
    GranuleInfo g{};
};

// Distinct nonzero values that fit the given length.
std::int32_t value_for(int index, int length) { return 1 + (index * 5) % ((1 << length) - 1); }

// ------------------------------------------------------------------ MPEG-1

// scalefac_compress 15: slen1 4, slen2 3.
TEST_F(ScaleFactorsTest, Mpeg1Granule1LongEveryScfsiPattern) {
    const int slen1 = 4, slen2 = 3;
    struct Group {
        int first, count, length, bit;
    };
    const Group groups[4] = {{0, 6, slen1, 8}, {6, 5, slen1, 4}, {11, 5, slen2, 2}, {16, 5, slen2, 1}};
    for (int scfsi = 0; scfsi < 16; ++scfsi) {
        SCOPED_TRACE("scfsi " + std::to_string(scfsi));
        sf.fill(SENTINEL);
        std::vector<std::int32_t> expected(22, 0);
        BitWriter w;
        int bits = 0;
        for (const Group& group : groups) {
            if (scfsi & group.bit) continue;  // not transmitted
            for (int b = group.first; b < group.first + group.count; ++b) {
                expected[static_cast<std::size_t>(b)] = value_for(b, group.length);
                w.put(static_cast<std::uint32_t>(expected[static_cast<std::size_t>(b)]), group.length);
                bits += group.length;
            }
        }
        attach(w);
        g = GranuleInfo{};
        g.scalefac_compress = 15;
        g.block_type = 0;
        g.scfsi = scfsi;
        EXPECT_EQ(layer3_scale_factors_v1(sf, g), bits);
        EXPECT_EQ(position(), bits);
        EXPECT_EQ(entries_written(), 22);
        for (int b = 0; b < 22; ++b) EXPECT_EQ(sf[static_cast<std::size_t>(b)], expected[static_cast<std::size_t>(b)]) << "band " << b;
    }
}

TEST_F(ScaleFactorsTest, Mpeg1Granule1Scfsi8ReadsBands6To20) {
    // scalefac_compress 9: slen1 2, slen2 2 -> 5 x 2 + 10 x 2 = 30 bits.
    BitWriter w;
    for (int b = 6; b < 21; ++b) w.put(3, 2);
    attach(w);
    g.scalefac_compress = 9;
    g.block_type = 3;  // any long block type
    g.scfsi = 8;
    EXPECT_EQ(layer3_scale_factors_v1(sf, g), 30);
    EXPECT_EQ(position(), 30);
    EXPECT_EQ(entries_written(), 22);
    for (int b = 0; b < 6; ++b) EXPECT_EQ(sf[static_cast<std::size_t>(b)], 0) << b;
    for (int b = 6; b < 21; ++b) EXPECT_EQ(sf[static_cast<std::size_t>(b)], 3) << b;
    EXPECT_EQ(sf[21], 0);
}

TEST_F(ScaleFactorsTest, Mpeg1Granule1Scfsi15ReadsNothing) {
    attach(BitWriter{});  // the buffer is all ones
    g.scalefac_compress = 15;
    g.block_type = 1;
    g.scfsi = 15;
    EXPECT_EQ(layer3_scale_factors_v1(sf, g), 0);
    EXPECT_EQ(position(), 0);
    EXPECT_EQ(entries_written(), 22);
    for (int b = 0; b < 22; ++b) EXPECT_EQ(sf[static_cast<std::size_t>(b)], 0) << b;
}

TEST_F(ScaleFactorsTest, Mpeg1Granule0LongReadsAll21Bands) {
    // scalefac_compress 11: slen1 3, slen2 1 -> 11 x 3 + 10 x 1 = 43 bits.
    BitWriter w;
    for (int b = 0; b < 11; ++b) w.put(static_cast<std::uint32_t>(value_for(b, 3)), 3);
    for (int b = 11; b < 21; ++b) w.put(b % 2, 1);
    attach(w);
    g.scalefac_compress = 11;
    g.scfsi = -1;
    EXPECT_EQ(layer3_scale_factors_v1(sf, g), 43);
    EXPECT_EQ(position(), 43);
    EXPECT_EQ(entries_written(), 22);
    for (int b = 0; b < 11; ++b) EXPECT_EQ(sf[static_cast<std::size_t>(b)], value_for(b, 3)) << b;
    for (int b = 11; b < 21; ++b) EXPECT_EQ(sf[static_cast<std::size_t>(b)], b % 2) << b;
    EXPECT_EQ(sf[21], 0);
}

TEST_F(ScaleFactorsTest, Mpeg1ShortBlocks) {
    // scalefac_compress 14: slen1 4, slen2 2 -> 18 x (4 + 2) = 108 bits.
    BitWriter w;
    for (int i = 0; i < 18; ++i) w.put(static_cast<std::uint32_t>(value_for(i, 4)), 4);
    for (int i = 18; i < 36; ++i) w.put(static_cast<std::uint32_t>(value_for(i, 2)), 2);
    attach(w);
    g.scalefac_compress = 14;
    g.block_type = 2;
    g.scfsi = -1;
    EXPECT_EQ(layer3_scale_factors_v1(sf, g), 108);
    EXPECT_EQ(position(), 108);
    EXPECT_EQ(entries_written(), 39);
    for (int i = 0; i < 18; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], value_for(i, 4)) << i;
    for (int i = 18; i < 36; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], value_for(i, 2)) << i;
    for (int i = 36; i < 39; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], 0) << i;
}

TEST_F(ScaleFactorsTest, Mpeg1ShortBlocksIgnoreScfsiInGranule1) {
    // scalefac_compress 5: slen1 1, slen2 1 -> 36 bits, all ones.
    BitWriter w;
    for (int i = 0; i < 36; ++i) w.put(1, 1);
    w.put(0, 8);
    attach(w);
    for (std::uint32_t mixed : {0u, 1u}) {
        SCOPED_TRACE(mixed ? "mixed" : "short");
        sf.fill(SENTINEL);
        bit_reader_attach(buffer.data(), buffer.size(), buffer.data());
        g.scalefac_compress = 5;
        g.block_type = 2;
        g.mixed_block_flag = mixed;
        g.scfsi = 15;
        const int values = mixed ? 35 : 36;
        EXPECT_EQ(layer3_scale_factors_v1(sf, g), values);
        EXPECT_EQ(position(), values);
        EXPECT_EQ(entries_written(), mixed ? 38 : 39);
        for (int i = 0; i < values; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], 1) << i;
        for (int i = values; i < values + 3; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], 0) << i;
    }
}

TEST_F(ScaleFactorsTest, Mpeg1MixedBlocksRead17Slen1And18Slen2Values) {
    // scalefac_compress 15: slen1 4, slen2 3 -> 17 x 4 + 18 x 3 = 122 bits.
    BitWriter w;
    for (int i = 0; i < 17; ++i) w.put(static_cast<std::uint32_t>(value_for(i, 4)), 4);
    for (int i = 17; i < 35; ++i) w.put(static_cast<std::uint32_t>(value_for(i, 3)), 3);
    attach(w);
    g.scalefac_compress = 15;
    g.block_type = 2;
    g.mixed_block_flag = 1;
    g.scfsi = -1;
    EXPECT_EQ(layer3_scale_factors_v1(sf, g), 122);
    EXPECT_EQ(position(), 122);
    EXPECT_EQ(entries_written(), 38);
    for (int i = 0; i < 17; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], value_for(i, 4)) << i;
    for (int i = 17; i < 35; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], value_for(i, 3)) << i;
    for (int i = 35; i < 38; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], 0) << i;
}

TEST_F(ScaleFactorsTest, Mpeg1ScalefacCompress0ReadsNothingAndWritesZeros) {
    struct Case {
        std::uint32_t block_type, mixed;
        std::int32_t scfsi;
        int entries;
    };
    for (const Case c : {Case{0, 0, -1, 22}, Case{0, 0, 0, 22}, Case{2, 0, -1, 39}, Case{2, 1, 3, 38}}) {
        SCOPED_TRACE("block type " + std::to_string(c.block_type) + " mixed " + std::to_string(c.mixed));
        attach(BitWriter{});  // all ones
        sf.fill(SENTINEL);
        g = GranuleInfo{};
        g.scalefac_compress = 0;
        g.block_type = c.block_type;
        g.mixed_block_flag = c.mixed;
        g.scfsi = c.scfsi;
        EXPECT_EQ(layer3_scale_factors_v1(sf, g), 0);
        EXPECT_EQ(position(), 0);
        EXPECT_EQ(entries_written(), c.entries);
        for (int i = 0; i < c.entries; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], 0) << i;
    }
}

// ------------------------------------------------------------------ LSF

// Scale factors per partition, [kind: long, short, mixed][case].
constexpr int PARTITION_SIZES[3][6][4] = {
    {{6, 5, 5, 5}, {6, 5, 7, 3}, {11, 10, 0, 0}, {7, 7, 7, 0}, {6, 6, 6, 3}, {8, 8, 5, 0}},
    {{9, 9, 9, 9}, {9, 9, 12, 6}, {18, 18, 0, 0}, {12, 12, 12, 0}, {12, 9, 9, 6}, {15, 12, 9, 0}},
    {{6, 9, 9, 9}, {6, 9, 12, 6}, {15, 18, 0, 0}, {6, 15, 12, 0}, {6, 12, 9, 6}, {6, 18, 9, 0}},
};

struct LsfCase {
    int case_row;
    std::uint32_t scalefac_compress;
    int intensity;
    std::array<int, 4> lengths;
    std::uint32_t preflag;
};

// One representative scalefac_compress per case, with the lengths it stands for.
const LsfCase LSF_CASES[] = {
    {0, 80 * 4 + 16 * 3 + 4 * 2 + 1, 0, {4, 3, 2, 1}, 0},  // 377
    {1, 400 + 20 * 1 + 4 * 2 + 3, 0, {1, 2, 3, 0}, 0},     // 431
    {2, 500 + 3 * 3 + 2, 0, {3, 2, 0, 0}, 1},              // 511
    {3, 2 * (36 * 4 + 6 * 5 + 5), 1, {4, 5, 5, 0}, 0},     // 358 -> index 179
    {4, 2 * (180 + 16 * 1 + 4 * 2 + 3), 1, {1, 2, 3, 0}, 0},  // 414 -> index 207
    {5, 2 * (244 + 3 * 3 + 2) + 1, 1, {3, 2, 0, 0}, 0},   // 511 -> index 255
};

// Writes the values of every partition with its length; returns the expected
// array (without sentinel) and the bit count.
std::vector<std::int32_t> write_lsf_values(BitWriter& w, const LsfCase& c, int kind, int& bits) {
    std::vector<std::int32_t> expected;
    bits = 0;
    for (int p = 0; p < 4; ++p) {
        const int count = PARTITION_SIZES[kind][c.case_row][p];
        for (int i = 0; i < count; ++i) {
            const int length = c.lengths[static_cast<std::size_t>(p)];
            const std::int32_t v = length ? value_for(static_cast<int>(expected.size()), length) : 0;
            if (length) w.put(static_cast<std::uint32_t>(v), length);
            bits += length;
            expected.push_back(v);
        }
    }
    for (int i = 0; i < 2 * kind + 1; ++i) expected.push_back(0);
    return expected;
}

TEST_F(ScaleFactorsTest, LsfEveryCaseAndBlockKind) {
    for (const LsfCase& c : LSF_CASES) {
        for (int kind = 0; kind < 3; ++kind) {
            SCOPED_TRACE("case " + std::to_string(c.case_row) + ", block kind " + std::to_string(kind));
            BitWriter w;
            int bits = 0;
            const auto expected = write_lsf_values(w, c, kind, bits);
            attach(w);
            sf.fill(SENTINEL);
            g = GranuleInfo{};
            g.preflag = 1 - c.preflag;  // must be overwritten
            g.scalefac_compress = c.scalefac_compress;
            g.block_type = kind == 0 ? 1 : 2;
            g.mixed_block_flag = kind == 2 ? 1 : 0;
            EXPECT_EQ(layer3_scale_factors_lsf(sf, g, c.intensity), bits);
            EXPECT_EQ(position(), bits);
            EXPECT_EQ(g.preflag, c.preflag);
            const int entries = kind == 0 ? 22 : (kind == 1 ? 39 : 38);
            ASSERT_EQ(static_cast<int>(expected.size()), entries);
            EXPECT_EQ(entries_written(), entries);
            for (int i = 0; i < entries; ++i)
                EXPECT_EQ(sf[static_cast<std::size_t>(i)], expected[static_cast<std::size_t>(i)]) << "entry " << i;
        }
    }
}

TEST_F(ScaleFactorsTest, LsfIntensityIgnoresTheLowestBitOfScalefacCompress) {
    for (std::uint32_t k : {0u, 43u, 179u, 180u, 207u, 243u, 244u, 255u}) {
        for (std::uint32_t block_type : {0u, 2u}) {
            SCOPED_TRACE("k " + std::to_string(k) + " block type " + std::to_string(block_type));
            BitWriter w;
            for (int i = 0; i < 40; ++i) w.put(0xA5A5u >> (i % 5), 7);
            attach(w);
            std::array<ScaleFactors, 2> results{};
            std::array<int, 2> bits{};
            std::array<long, 2> positions{};
            for (std::uint32_t low = 0; low < 2; ++low) {
                bit_reader_attach(buffer.data(), buffer.size(), buffer.data());
                results[low].fill(SENTINEL);
                g = GranuleInfo{};
                g.preflag = 1;
                g.block_type = block_type;
                g.scalefac_compress = 2 * k + low;
                bits[low] = layer3_scale_factors_lsf(results[low], g, 1);
                positions[low] = position();
                EXPECT_EQ(g.preflag, 0u) << "intensity never sets preflag";
            }
            EXPECT_EQ(results[0], results[1]);
            EXPECT_EQ(bits[0], bits[1]);
            EXPECT_EQ(positions[0], positions[1]);
            EXPECT_EQ(positions[0], bits[0]);
        }
    }
}

TEST_F(ScaleFactorsTest, LsfPreflagComesFrom500To511WithoutIntensity) {
    for (std::uint32_t sc = 495; sc < 512; ++sc) {
        attach(BitWriter{});
        sf.fill(SENTINEL);
        g = GranuleInfo{};
        g.scalefac_compress = sc;
        layer3_scale_factors_lsf(sf, g, 0);
        EXPECT_EQ(g.preflag, sc >= 500 ? 1u : 0u) << sc;
        // With the intensity flag the same values never set it.
        g.preflag = 1;
        bit_reader_attach(buffer.data(), buffer.size(), buffer.data());
        layer3_scale_factors_lsf(sf, g, 1);
        EXPECT_EQ(g.preflag, 0u) << sc;
    }
}

TEST_F(ScaleFactorsTest, LsfCase2CarriesOnlyPartitions0And1) {
    // scalefac_compress 507: lengths (2, 1), long blocks: 11 values of 2 bits, 10 of 1 bit.
    BitWriter w;
    for (int i = 0; i < 11; ++i) w.put(2, 2);
    for (int i = 0; i < 10; ++i) w.put(1, 1);
    attach(w);  // followed by ones
    g.scalefac_compress = 507;
    g.block_type = 0;
    EXPECT_EQ(layer3_scale_factors_lsf(sf, g, 0), 32);
    EXPECT_EQ(position(), 32);
    EXPECT_EQ(g.preflag, 1u);
    EXPECT_EQ(entries_written(), 22);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], 2) << i;
    for (int i = 11; i < 21; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], 1) << i;
    EXPECT_EQ(sf[21], 0);
}

TEST_F(ScaleFactorsTest, LsfZeroLengthsWriteZerosAndReadNothing) {
    for (std::uint32_t sc : {0u, 400u, 500u}) {
        for (int kind = 0; kind < 3; ++kind) {
            SCOPED_TRACE("sc " + std::to_string(sc) + " kind " + std::to_string(kind));
            attach(BitWriter{});  // all ones
            sf.fill(SENTINEL);
            g = GranuleInfo{};
            g.scalefac_compress = sc;
            g.block_type = kind == 0 ? 0 : 2;
            g.mixed_block_flag = kind == 2;
            EXPECT_EQ(layer3_scale_factors_lsf(sf, g, 0), 0);
            EXPECT_EQ(position(), 0);
            const int entries = kind == 0 ? 22 : (kind == 1 ? 39 : 38);
            EXPECT_EQ(entries_written(), entries);
            for (int i = 0; i < entries; ++i) EXPECT_EQ(sf[static_cast<std::size_t>(i)], 0) << i;
        }
    }
}

}  // namespace
