// Huffman decoding and requantisation of one granule of one channel, fed
// with main data written by the test's bit writer: the decoded values, where
// they land in the spectrum, their gains, the band ends and the bit budget.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bitstream_writer.h"
#include "decoder/common/bit_reader.h"
#include "decoder/layer3/huffman_requantise.h"
#include "decoder/tables/decoder_tables.h"
#include "decoder/tables/layer3_tables.h"

namespace {

using testing_stream::BitWriter;
using testing_stream::pair_code;
using testing_stream::put_pair;
using testing_stream::put_quad;
using testing_stream::quad_code;

constexpr float GARBAGE = 12345.0f;
constexpr float GUARD = -999.0f;

// 44100 Hz long band starts and short band starts (over the three windows).
constexpr std::array<int, 23> LONG_44100 = {0,  4,  8,   12,  16,  20,  24,  30,  36,  44,  52, 62,
                                            74, 90, 110, 134, 162, 196, 238, 288, 342, 418, 576};
constexpr std::array<int, 14> SHORT_44100 = {0, 12, 24, 36, 48, 66, 90, 120, 156, 198, 252, 318, 408, 576};
constexpr std::array<int, 22> PRETAB = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3, 3, 2, 0};

int long_band_of(int line) {
    int b = 0;
    while (LONG_44100[static_cast<std::size_t>(b + 1)] <= line) ++b;
    return b;
}

float signed_value(int c, float gain) {
    const float magnitude = POW43_TABLE[static_cast<std::size_t>(std::abs(c))] * gain;
    return c < 0 ? -magnitude : magnitude;
}

// The spectral buffer with a guard behind it: nothing may be written past 576.
struct GuardedSpectrum {
    std::array<float, 576> values;
    std::array<float, 16> guard;
};

class HuffmanRequantiseTest : public testing::Test {
protected:
    void SetUp() override {
        build_decoder_tables(32);
        buffer.assign(2304, 0);
        out.values.fill(GARBAGE);
        out.guard.fill(GUARD);
        sf.fill(0);
        granule = long_granule();
    }

    static GranuleInfo long_granule() {
        GranuleInfo g{};
        g.scfsi = -1;
        g.gain_long = -210;  // gain 1.0 with a zero scale factor
        g.gain_short = {-210, -210, -210};
        g.region1_start = 288;
        g.region2_start = 288;
        g.short_band_end = {77, 77, 77};
        return g;
    }

    // The written bits from the start of the 2304-byte buffer; `lead_bits`
    // of them are read first, as the scale factors would be.
    void attach(const BitWriter& w, int lead_bits = 0) {
        std::fill(buffer.begin(), buffer.end(), 0);
        std::copy(w.bytes().begin(), w.bytes().end(), buffer.begin());
        bit_reader_attach(buffer.data(), buffer.size(), buffer.data());
        if (lead_bits) bits_read(lead_bits);
    }
    long position() const {
        return static_cast<long>(bit_reader.byte_pointer - buffer.data()) * 8 + bit_reader.bit_index;
    }
    int run(int sampling_index = 0, int part2_bits = 0) {
        return layer3_huffman_requantise(std::span<float, 576>(out.values), sf, granule, sampling_index, part2_bits);
    }
    // Runs with stderr captured; `message` receives what was written.
    int run_captured(std::string& message, int sampling_index = 0, int part2_bits = 0) {
        testing::internal::CaptureStderr();
        const int r = run(sampling_index, part2_bits);
        std::fflush(stderr);
        message = testing::internal::GetCapturedStderr();
        return r;
    }
    void expect_guard_intact() {
        for (float g : out.guard) EXPECT_EQ(g, GUARD) << "written past position 575";
    }
    const std::int16_t* q() const { return granule.quantised_values; }

    std::vector<std::uint8_t> buffer;
    GuardedSpectrum out{};
    ScaleFactors sf{};
    GranuleInfo granule{};
};

// Values in order of decoding: where each lands and its gain.
struct Placed {
    int line;
    int value;
    float gain;
};

void expect_decoded(const std::int16_t* quantised, const std::array<float, 576>& spectrum,
                    const std::vector<Placed>& placed) {
    std::vector<float> expected(576, 0.0f);
    for (const Placed& p : placed) expected[static_cast<std::size_t>(p.line)] = signed_value(p.value, p.gain);
    for (std::size_t n = 0; n < 576; ++n) {
        const int want = n < placed.size() ? placed[n].value : 0;
        EXPECT_EQ(quantised[n], want) << "quantised value " << n;
        EXPECT_EQ(spectrum[n], expected[n]) << "spectral line " << n;
    }
}

// ------------------------------------------------------------------ big-value tables

TEST_F(HuffmanRequantiseTest, TablesWithoutEscapeDecodeEveryPair) {
    const std::vector<std::pair<int, int>> tables = {{1, 2},  {2, 3},  {3, 3},   {5, 4},   {6, 4},
                                                     {7, 6},  {8, 6},  {9, 6},   {10, 8},  {11, 8},
                                                     {12, 8}, {13, 16}, {15, 16}};
    for (const auto& [table, size] : tables) {
        SCOPED_TRACE("table " + std::to_string(table));
        SetUp();
        BitWriter w;
        std::vector<Placed> placed;
        for (int x = 0; x < size; ++x)
            for (int y = 0; y < size; ++y) {
                const int sx = (x + y) % 2 ? -x : x;
                const int sy = x % 2 ? y : -y;
                put_pair(w, table, sx, sy);
                placed.push_back({static_cast<int>(placed.size()), sx, 1.0f});
                placed.push_back({static_cast<int>(placed.size()), sy, 1.0f});
            }
        attach(w);
        granule.table_select = {static_cast<std::uint32_t>(table), 0, 0};
        granule.big_values = static_cast<std::uint32_t>(size * size);
        granule.part2_3_length = static_cast<std::uint32_t>(w.bit_count());
        std::string message;
        EXPECT_EQ(run_captured(message), 0);
        EXPECT_EQ(message, "");
        EXPECT_EQ(position(), static_cast<long>(w.bit_count()));
        expect_decoded(q(), out.values, placed);
        const int last_line = 2 * size * size - 1;  // the pair (size-1, size-1) is nonzero
        EXPECT_EQ(granule.long_band_end, static_cast<std::uint32_t>(long_band_of(last_line) + 1));
        EXPECT_EQ(granule.short_band_end, (std::array<std::uint32_t, 3>{77, 77, 77})) << "long blocks leave them";
        expect_guard_intact();
    }
}

// Every escape table with every linbits, including an all-ones extension.
TEST_F(HuffmanRequantiseTest, EscapeTablesDecodeEveryPairAndEveryLinbits) {
    for (int table = 16; table < 32; ++table) {
        SCOPED_TRACE("table " + std::to_string(table));
        SetUp();
        const int linbits = testing_stream::table_linbits(table);
        ASSERT_EQ(static_cast<int>(pair_tables[static_cast<std::size_t>(table)].linbits), linbits);
        const int max_ext = (1 << linbits) - 1;
        for (int b = 0; b < 22; ++b) sf[static_cast<std::size_t>(b)] = b % 3;
        granule.gain_long = -180;
        BitWriter w;
        std::vector<std::pair<int, int>> pairs;
        for (int x = 0; x < 16; ++x)
            for (int y = 0; y < 16; ++y) {
                int vx = x, vy = y;
                if (x == 15) vx = 15 + (y * 37) % (max_ext + 1);
                if (y == 15) vy = 15 + (x == 15 ? max_ext : (x * 11) % (max_ext + 1));
                pairs.push_back({(x + y) % 2 ? -vx : vx, y % 3 ? vy : -vy});
            }
        pairs.push_back({15 + max_ext, -(15 + max_ext)});
        pairs.push_back({-15, 15});  // escape with a zero extension
        std::vector<Placed> placed;
        for (const auto& [x, y] : pairs) {
            put_pair(w, table, x, y);
            for (int v : {x, y}) {
                const int line = static_cast<int>(placed.size());
                const float gain = gain_at(-180 + (sf[static_cast<std::size_t>(long_band_of(line))] << 1));
                placed.push_back({line, v, gain});
            }
        }
        attach(w);
        granule.table_select = {static_cast<std::uint32_t>(table), 0, 0};
        granule.big_values = static_cast<std::uint32_t>(pairs.size());
        granule.part2_3_length = static_cast<std::uint32_t>(w.bit_count());
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(position(), static_cast<long>(w.bit_count()));
        expect_decoded(q(), out.values, placed);
        const int biggest = 15 + max_ext;
        EXPECT_EQ(q()[2 * 256], biggest);
        EXPECT_EQ(q()[2 * 256 + 1], -biggest);
        if (linbits == 13) {
            EXPECT_EQ(biggest, 8206);
            EXPECT_EQ(out.values[513], -(POW43_TABLE[8206] * gain_at(-180 + (sf[21] << 1))));
        }
        EXPECT_EQ(granule.long_band_end, static_cast<std::uint32_t>(long_band_of(2 * 258 - 1) + 1));
        expect_guard_intact();
    }
}

TEST_F(HuffmanRequantiseTest, Table15YieldsFifteenWithoutExtensionBits) {
    // (15, -15) and (15, 0) from table 15, then ones that an extension would eat.
    BitWriter w;
    w.put_code(pair_code(15, 15, 15));
    w.put(0, 1);
    w.put(1, 1);
    w.put_code(pair_code(15, 15, 0));
    w.put(1, 1);
    const auto used = static_cast<std::uint32_t>(w.bit_count());
    w.put(0x1FFF, 13);
    attach(w);
    granule.table_select = {15, 0, 0};
    granule.big_values = 2;
    granule.part2_3_length = used;  // one bit per 15: code, sign and nothing else
    std::string message;
    EXPECT_EQ(run_captured(message), 0);
    EXPECT_EQ(message, "");
    EXPECT_EQ(position(), static_cast<long>(used));
    expect_decoded(q(), out.values, {{0, 15, 1.0f}, {1, -15, 1.0f}, {2, -15, 1.0f}, {3, 0, 1.0f}});
}

TEST_F(HuffmanRequantiseTest, ZeroTablesReadNoBits) {
    for (std::uint32_t budget : {0u, 8u}) {
        SCOPED_TRACE("budget " + std::to_string(budget));
        SetUp();
        BitWriter w;
        w.put(0xFFFFFFFFu, 32);
        attach(w);
        granule.table_select = {0, 4, 14};
        granule.region1_start = 100;
        granule.region2_start = 200;
        granule.big_values = 288;
        granule.part2_3_length = budget;
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(position(), static_cast<long>(budget));  // only the budget's own skip
        expect_decoded(q(), out.values, {});
        EXPECT_EQ(granule.long_band_end, 0u);
        EXPECT_EQ(granule.subband_end, 1u);
    }
}

// A zero region still takes one scale factor per band it enters, so the
// first band of the next region gets its own scale factor.
TEST_F(HuffmanRequantiseTest, ZeroTableStillTakesScaleFactors) {
    for (std::uint32_t scale : {0u, 1u}) {
        SCOPED_TRACE("scalefac_scale " + std::to_string(scale));
        SetUp();
        for (int b = 0; b < 22; ++b) sf[static_cast<std::size_t>(b)] = b;
        BitWriter w;
        put_pair(w, 1, 1, 0);   // lines 12, 13: band 3
        put_pair(w, 1, 0, -1);  // lines 14, 15
        attach(w);
        granule.table_select = {0, 1, 0};
        granule.region1_start = 6;  // line 12
        granule.big_values = 8;
        granule.scalefac_scale = scale;
        granule.part2_3_length = static_cast<std::uint32_t>(w.bit_count());
        EXPECT_EQ(run(), 0);
        const float gain = gain_at(-210 + (3 << (1 + scale)));
        ASSERT_NE(gain, 1.0f);
        std::vector<Placed> placed(16);
        for (int n = 0; n < 16; ++n) placed[static_cast<std::size_t>(n)] = {n, 0, 1.0f};
        placed[12] = {12, 1, gain};
        placed[15] = {15, -1, gain};
        expect_decoded(q(), out.values, placed);
        EXPECT_EQ(out.values[12], gain);
        EXPECT_EQ(granule.long_band_end, 4u);
        EXPECT_EQ(granule.subband_end, 2u);
    }
}

TEST_F(HuffmanRequantiseTest, PretabIsAddedWithPreflag) {
    for (std::uint32_t preflag : {0u, 1u}) {
        SCOPED_TRACE("preflag " + std::to_string(preflag));
        SetUp();
        for (int b = 0; b < 22; ++b) sf[static_cast<std::size_t>(b)] = b % 2;
        // One nonzero value at the start of every long band, zeros elsewhere.
        BitWriter w;
        std::vector<Placed> placed;
        for (int pair = 0; pair < 288; ++pair) {
            const int line = 2 * pair;
            const int b = long_band_of(line);
            const bool first = LONG_44100[static_cast<std::size_t>(b)] == line;
            const int x = first ? (b % 2 ? -1 : 1) : 0;
            put_pair(w, 1, x, 0);
            const float gain =
                gain_at(-210 + ((sf[static_cast<std::size_t>(b)] + (preflag ? PRETAB[static_cast<std::size_t>(b)] : 0)) << 1));
            placed.push_back({line, x, gain});
            placed.push_back({line + 1, 0, gain});
        }
        attach(w);
        granule.table_select = {1, 1, 1};
        granule.region1_start = 30;
        granule.region2_start = 100;
        granule.big_values = 288;
        granule.preflag = preflag;
        granule.part2_3_length = static_cast<std::uint32_t>(w.bit_count());
        EXPECT_EQ(run(), 0);
        expect_decoded(q(), out.values, placed);
        // Band 17: scale factor 1, pre-emphasis 3.
        EXPECT_EQ(out.values[196], -gain_at(-210 + (preflag ? 8 : 2)));
        EXPECT_EQ(granule.long_band_end, 22u);
        EXPECT_EQ(granule.subband_end, 32u);
        expect_guard_intact();
    }
}

// ------------------------------------------------------------------ count1

TEST_F(HuffmanRequantiseTest, Count1TablesAAndB) {
    for (char table : {'A', 'B'}) {
        SCOPED_TRACE(std::string("table ") + table);
        SetUp();
        for (int b = 0; b < 22; ++b) sf[static_cast<std::size_t>(b)] = b % 4;
        granule.gain_long = -200;
        BitWriter w;
        std::vector<Placed> placed;
        for (int pattern = 0; pattern < 16; ++pattern) {
            int v[4];
            for (int k = 0; k < 4; ++k) {
                const bool set = (pattern >> (3 - k)) & 1;
                v[k] = set ? ((pattern + k) % 2 ? -1 : 1) : 0;
            }
            put_quad(w, table, v[0], v[1], v[2], v[3]);
            for (int k = 0; k < 4; ++k) {
                const int line = static_cast<int>(placed.size());
                placed.push_back({line, v[k], gain_at(-200 + (sf[static_cast<std::size_t>(long_band_of(line))] << 1))});
            }
        }
        // Behind the budget: a quadruple that must not be read.
        put_quad(w, table, 1, 1, 1, 1);
        attach(w);
        granule.count1table_select = table == 'A' ? 0 : 1;
        granule.big_values = 0;
        granule.part2_3_length = static_cast<std::uint32_t>(w.bit_count() - (table == 'A' ? 10 : 8));
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(position(), static_cast<long>(granule.part2_3_length));
        expect_decoded(q(), out.values, placed);
        // A count1 value is the band gain itself, signed.
        EXPECT_EQ(out.values[63], gain_at(-200 + (sf[11] << 1)));
        EXPECT_EQ(granule.long_band_end, 12u);  // line 63 lies in band 11
    }
}

TEST_F(HuffmanRequantiseTest, Count1CodeCutByTheBudgetGivesAZeroQuadrupleAndStops) {
    BitWriter w;
    const int first = put_quad(w, 'A', -1, 0, 0, 0);
    ASSERT_GE(quad_code('A', 1, 1, 1, 1).size(), 3u);
    put_quad(w, 'A', 1, 1, 1, 1);
    put_quad(w, 'A', 1, 0, 0, 0);
    attach(w);
    granule.big_values = 0;
    granule.part2_3_length = static_cast<std::uint32_t>(first + 2);  // two bits of the second code
    std::string message;
    EXPECT_EQ(run_captured(message), 0);
    EXPECT_EQ(message, "");
    EXPECT_EQ(position(), first + 2);
    expect_decoded(q(), out.values, {{0, -1, 1.0f}});
    EXPECT_EQ(granule.long_band_end, 1u);
    EXPECT_EQ(granule.subband_end, 1u);
}

TEST_F(HuffmanRequantiseTest, Count1SignBitCutByTheBudgetKeepsEarlierValuesAndNotesTheBand) {
    // 14 zero pairs (table 0, no bits) fill lines 0..27; the quadruple at
    // 28..31 straddles bands 6 (24..29) and 7 (30..35).
    for (int b = 0; b < 22; ++b) sf[static_cast<std::size_t>(b)] = b;
    BitWriter w;
    w.put_code(quad_code('A', 1, 0, 1, 0));
    w.put(1, 1);  // v negative
    const auto budget = static_cast<std::uint32_t>(w.bit_count());
    w.put(0, 1);  // x's sign, past the budget
    put_quad(w, 'A', 1, 1, 1, 1);
    attach(w);
    granule.table_select = {0, 0, 0};
    granule.big_values = 14;
    granule.part2_3_length = budget;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(position(), static_cast<long>(budget));
    std::vector<Placed> placed(29);
    for (int n = 0; n < 28; ++n) placed[static_cast<std::size_t>(n)] = {n, 0, 1.0f};
    placed[28] = {28, -1, gain_at(-210 + (6 << 1))};
    expect_decoded(q(), out.values, placed);
    EXPECT_EQ(granule.long_band_end, 8u) << "the cut value's band 7 is still noted";
    EXPECT_EQ(granule.subband_end, 3u);
}

TEST_F(HuffmanRequantiseTest, BigValues288LeavesNoRoomForCount1) {
    BitWriter w;
    for (int pair = 0; pair < 287; ++pair) put_pair(w, 1, 0, 0);
    put_pair(w, 1, -1, 1);  // lines 574, 575
    const auto decoded = static_cast<long>(w.bit_count());
    for (int i = 0; i < 6; ++i) put_quad(w, 'B', 1, -1, 1, -1);  // 48 bits nobody may read
    attach(w);
    granule.table_select = {1, 1, 1};
    granule.big_values = 288;
    granule.part2_3_length = static_cast<std::uint32_t>(decoded + 37);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(position(), decoded + 37);  // the leftover is skipped
    std::vector<Placed> placed(576);
    for (int n = 0; n < 576; ++n) placed[static_cast<std::size_t>(n)] = {n, 0, 1.0f};
    placed[574].value = -1;
    placed[575].value = 1;
    expect_decoded(q(), out.values, placed);
    expect_guard_intact();
    EXPECT_EQ(granule.long_band_end, 22u);
}

TEST_F(HuffmanRequantiseTest, BigValues287LeavesTheLastTwoLinesZero) {
    BitWriter w;
    for (int pair = 0; pair < 286; ++pair) put_pair(w, 1, 0, 0);
    put_pair(w, 1, 1, -1);  // lines 572, 573
    const auto decoded = static_cast<long>(w.bit_count());
    for (int i = 0; i < 6; ++i) put_quad(w, 'A', 1, 1, 1, 1);
    attach(w);
    granule.table_select = {1, 1, 1};
    granule.big_values = 287;
    granule.count1table_select = 0;
    granule.part2_3_length = static_cast<std::uint32_t>(decoded + 40);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(position(), decoded + 40);
    std::vector<Placed> placed(574);
    for (int n = 0; n < 574; ++n) placed[static_cast<std::size_t>(n)] = {n, 0, 1.0f};
    placed[572].value = 1;
    placed[573].value = -1;
    expect_decoded(q(), out.values, placed);
    EXPECT_EQ(out.values[574], 0.0f);
    EXPECT_EQ(out.values[575], 0.0f);
    expect_guard_intact();
}

// ------------------------------------------------------------------ the budget

TEST_F(HuffmanRequantiseTest, LeftoverBudgetIsSkippedToTheExactBit) {
    struct Case {
        std::uint32_t part2_3_length;
        int part2_bits;
        long end;  // reader position, 3 lead bits included
    };
    for (const Case c : {Case{40, 0, 43}, Case{16, 0, 19}, Case{17, 0, 20}, Case{15, 0, 18}, Case{0, 0, 3},
                         Case{53, 13, 43}, Case{13, 13, 3}}) {
        SCOPED_TRACE("part2_3_length " + std::to_string(c.part2_3_length) + ", part2 " + std::to_string(c.part2_bits));
        SetUp();
        BitWriter w;
        for (int i = 0; i < 16; ++i) w.put(0xA5, 8);
        attach(w, 3);
        granule.table_select = {0, 0, 0};
        granule.big_values = 288;  // no count1 region: every leftover bit is skipped
        granule.part2_3_length = c.part2_3_length;
        std::string message;
        EXPECT_EQ(run_captured(message, 0, c.part2_bits), 0);
        EXPECT_EQ(message, "");
        EXPECT_EQ(position(), c.end);
    }
}

TEST_F(HuffmanRequantiseTest, OverdrawByFiveBitsIsReported) {
    BitWriter w;
    std::vector<Placed> placed;
    for (int pair = 0; pair < 10; ++pair) {
        const int x = pair % 2 ? -1 : 1;
        put_pair(w, 1, x, -x);  // 5 bits each
        placed.push_back({2 * pair, x, 1.0f});
        placed.push_back({2 * pair + 1, -x, 1.0f});
    }
    ASSERT_EQ(w.bit_count(), 50u);
    put_quad(w, 'A', 1, 1, 1, 1);  // would be the count1 region
    attach(w);
    granule.table_select = {1, 1, 1};
    granule.big_values = 10;
    granule.part2_3_length = 45;
    std::string message;
    EXPECT_EQ(run_captured(message), 1);
    EXPECT_EQ(message, "Can't rewind stream by 5 bits!\n");
    EXPECT_EQ(position(), 50) << "the reader is never moved back";
    expect_decoded(q(), out.values, placed);  // complete, count1 skipped
    EXPECT_EQ(granule.long_band_end, 5u);
    EXPECT_EQ(granule.subband_end, 2u);
}

TEST_F(HuffmanRequantiseTest, OverdrawCountsTheScaleFactorBits) {
    BitWriter w;
    put_pair(w, 1, 1, 1);  // 5 bits
    attach(w);
    granule.table_select = {1, 0, 0};
    granule.big_values = 1;
    granule.part2_3_length = 20;
    std::string message;
    EXPECT_EQ(run_captured(message, 0, 18), 1);  // budget 2, 5 used
    EXPECT_EQ(message, "Can't rewind stream by 3 bits!\n");
}

TEST_F(HuffmanRequantiseTest, NegativeStartingBudget) {
    BitWriter w;
    put_quad(w, 'A', 1, 0, 0, 0);
    attach(w);
    granule.big_values = 0;
    granule.part2_3_length = 10;
    std::string message;
    EXPECT_EQ(run_captured(message, 0, 13), 1);
    EXPECT_EQ(message, "Can't rewind stream by 3 bits!\n");
    EXPECT_EQ(position(), 0) << "no count1 quadruple with a negative budget";
    expect_decoded(q(), out.values, {});
}

// Bits past the end of the frame buffer read as zeros and are counted.
TEST_F(HuffmanRequantiseTest, BitsPastTheBufferEndAreZerosAndCountInTheOverdraw) {
    std::fill(buffer.begin(), buffer.end(), 0);
    for (std::size_t i = 2300; i < 2304; ++i) buffer[i] = 0xFF;  // 32 ones: 32 pairs (0, 0) in table 1
    bit_reader_attach(buffer.data(), buffer.size(), buffer.data() + 2300);
    granule.table_select = {1, 1, 1};
    granule.big_values = 40;  // then 8 pairs from zeros: code 000 = (1, 1), signs 0
    granule.part2_3_length = 0;
    std::string message;
    EXPECT_EQ(run_captured(message), 1);
    EXPECT_EQ(message, "Can't rewind stream by 72 bits!\n");
    std::vector<Placed> placed;
    for (int n = 0; n < 64; ++n) placed.push_back({n, 0, 1.0f});
    for (int n = 64; n < 80; ++n) placed.push_back({n, 1, 1.0f});
    expect_decoded(q(), out.values, placed);
}

// ------------------------------------------------------------------ short and mixed blocks

// 44100 Hz short blocks, scalefac_scale 1: band b window w takes scale
// factor 3b + w and the window's own gain; its values go to lines
// short_start[b] + w + 3k while the quantised values stay in stream order.
TEST_F(HuffmanRequantiseTest, ShortBlocksInterleaveWindowsInTheSpectrumOnly) {
    granule.block_type = 2;
    granule.mixed_block_flag = 0;
    granule.region1_start = 18;
    granule.region2_start = 288;
    granule.table_select = {15, 5, 0};
    granule.scalefac_scale = 1;
    granule.gain_short = {-210, -202, -194};
    for (int i = 0; i < 39; ++i) sf[static_cast<std::size_t>(i)] = i % 4;
    auto nonzero = [](int b, int w) {
        return b == 0 || (b == 1 && w != 2) || (b >= 2 && w == 1);
    };
    BitWriter w;
    std::vector<Placed> placed;
    for (int n = 0; n < 48; n += 2) {
        int v[2];
        for (int i = 0; i < 2; ++i) {
            const int m = n + i;
            const int b = m / 12, win = (m / 4) % 3, k = m % 4;
            const int magnitude = b == 3 ? 1 + m % 3 : 1 + (m * 7) % 14;
            v[i] = nonzero(b, win) ? (m % 3 ? magnitude : -magnitude) : 0;
            const int line = SHORT_44100[static_cast<std::size_t>(b)] + win + 3 * k;
            const float gain = gain_at(granule.gain_short[static_cast<std::size_t>(win)] +
                                       (sf[static_cast<std::size_t>(3 * b + win)] << 2));
            placed.push_back({line, v[i], gain});
        }
        put_pair(w, n < 36 ? 15 : 5, v[0], v[1]);
    }
    attach(w);
    granule.big_values = 24;
    granule.part2_3_length = static_cast<std::uint32_t>(w.bit_count());
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(position(), static_cast<long>(w.bit_count()));
    for (std::size_t n = 0; n < 576; ++n) EXPECT_EQ(q()[n], n < placed.size() ? placed[n].value : 0) << n;
    std::vector<float> expected(576, 0.0f);
    for (const Placed& p : placed) expected[static_cast<std::size_t>(p.line)] = signed_value(p.value, p.gain);
    for (std::size_t line = 0; line < 576; ++line) EXPECT_EQ(out.values[line], expected[line]) << "line " << line;
    // Window 0 of band 0 holds the first four values at lines 0, 3, 6, 9.
    EXPECT_EQ(out.values[3], signed_value(q()[1], gain_at(-210 + (sf[0] << 2))));
    EXPECT_EQ(out.values[1], signed_value(q()[4], gain_at(-202 + (sf[1] << 2))));
    EXPECT_EQ(granule.short_band_end, (std::array<std::uint32_t, 3>{2, 4, 1}));
    EXPECT_EQ(granule.long_band_end, 0u);
    EXPECT_EQ(granule.subband_end, 3u);  // SHORT_BAND_LIMIT[0][4]
}

TEST_F(HuffmanRequantiseTest, MixedBlocksWalkLongBandsThenShortBandsFromThree) {
    granule.block_type = 2;
    granule.mixed_block_flag = 1;
    granule.region1_start = 18;  // the 36 lines of long bands 0..7
    granule.region2_start = 288;
    granule.table_select = {15, 7, 0};
    granule.scalefac_scale = 0;
    granule.preflag = 1;  // long bands of a mixed block take no pre-emphasis
    granule.gain_long = -205;
    granule.gain_short = {-210, -202, -194};
    for (int i = 0; i < 38; ++i) sf[static_cast<std::size_t>(i)] = (i * 3) % 5;
    std::vector<Placed> placed;
    // Long part: lines 0..35 in order, scale factor of band 0..7.
    for (int line = 0; line < 36; ++line) {
        const int b = long_band_of(line);
        placed.push_back({line, line % 2 ? -(1 + line % 14) : 1 + line % 14,
                          gain_at(-205 + (sf[static_cast<std::size_t>(b)] << 1))});
    }
    // Short band 3 (2 pairs a window) and band 4 (3 pairs a window).
    int run_index = 8;
    for (int b = 3; b <= 4; ++b) {
        const int values = b == 3 ? 4 : 6;
        for (int win = 0; win < 3; ++win, ++run_index) {
            const bool nonzero = (b == 3 && win != 1) || (b == 4 && win == 2);
            for (int k = 0; k < values; ++k) {
                const int line = SHORT_44100[static_cast<std::size_t>(b)] + win + 3 * k;
                const int v = nonzero ? (k % 2 ? -(1 + k % 5) : 1 + k % 5) : 0;
                placed.push_back({line, v,
                                  gain_at(granule.gain_short[static_cast<std::size_t>(win)] +
                                          (sf[static_cast<std::size_t>(run_index)] << 1))});
            }
        }
    }
    ASSERT_EQ(placed.size(), 66u);
    BitWriter w;
    for (std::size_t n = 0; n < placed.size(); n += 2)
        put_pair(w, n < 36 ? 15 : 7, placed[n].value, placed[n + 1].value);
    attach(w);
    granule.big_values = 33;
    granule.part2_3_length = static_cast<std::uint32_t>(w.bit_count());
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(position(), static_cast<long>(w.bit_count()));
    for (std::size_t n = 0; n < 576; ++n) EXPECT_EQ(q()[n], n < placed.size() ? placed[n].value : 0) << n;
    std::vector<float> expected(576, 0.0f);
    for (const Placed& p : placed) expected[static_cast<std::size_t>(p.line)] = signed_value(p.value, p.gain);
    for (std::size_t line = 0; line < 576; ++line) EXPECT_EQ(out.values[line], expected[line]) << "line " << line;
    EXPECT_EQ(granule.short_band_end, (std::array<std::uint32_t, 3>{4, 3, 5}));
    EXPECT_EQ(granule.long_band_end, 8u);
    EXPECT_EQ(granule.subband_end, 4u);  // SHORT_BAND_LIMIT[0][5]
}

// At 22050 Hz the mixed walk has long bands 0..5 (36 lines), then short
// bands 3..12; scale factors are taken one per run in that order.
TEST_F(HuffmanRequantiseTest, MixedBlocksAtLowRatesStayInsideTheSpectrum) {
    for (int si : {3, 4, 5, 6, 7, 8}) {
        SCOPED_TRACE("sampling index " + std::to_string(si));
        SetUp();
        granule.block_type = 2;
        granule.mixed_block_flag = 1;
        granule.region1_start = si == 8 ? 54 : 27;
        granule.region2_start = 288;
        granule.table_select = {1, 1, 0};
        for (int i = 0; i < 38; ++i) sf[static_cast<std::size_t>(i)] = i % 2;
        BitWriter w;
        for (int pair = 0; pair < 288; ++pair) put_pair(w, 1, 1, -1);
        attach(w);
        granule.big_values = 288;
        granule.part2_3_length = static_cast<std::uint32_t>(w.bit_count());
        EXPECT_EQ(run(si), 0);
        expect_guard_intact();
        int count_nonzero = 0;
        for (float v : out.values) count_nonzero += v != 0.0f;
        EXPECT_EQ(count_nonzero, 576) << "every line written exactly by the walk";
        for (std::size_t n = 0; n < 576; ++n) ASSERT_EQ(q()[n], n % 2 ? -1 : 1) << n;
        const int long_lines = si == 8 ? 72 : 36;
        for (int line = 0; line < long_lines; ++line)
            EXPECT_EQ(out.values[static_cast<std::size_t>(line)],
                      signed_value(line % 2 ? -1 : 1, gain_at(-210 + (sf[static_cast<std::size_t>(line / (long_lines / 6))] << 1))))
                << "line " << line;
        EXPECT_EQ(granule.long_band_end, 6u);
        EXPECT_EQ(granule.short_band_end, (std::array<std::uint32_t, 3>{13, 13, 13}));
        EXPECT_EQ(granule.subband_end, 32u);
    }
}

TEST_F(HuffmanRequantiseTest, BandEndsWithNoBigValues) {
    for (int si : {0, 3, 8}) {
        SCOPED_TRACE("sampling index " + std::to_string(si));
        attach(BitWriter{});
        // Long blocks.
        granule = long_granule();
        EXPECT_EQ(run(si), 0);
        EXPECT_EQ(position(), 0);
        expect_decoded(q(), out.values, {});
        EXPECT_EQ(granule.long_band_end, 0u);
        EXPECT_EQ(granule.subband_end, static_cast<std::uint32_t>(LONG_BAND_LIMIT[static_cast<std::size_t>(si)][0]));
        EXPECT_EQ(granule.short_band_end, (std::array<std::uint32_t, 3>{77, 77, 77}));
        // Pure short blocks.
        granule = long_granule();
        granule.block_type = 2;
        granule.region1_start = 18;
        EXPECT_EQ(run(si), 0);
        expect_decoded(q(), out.values, {});
        EXPECT_EQ(granule.short_band_end, (std::array<std::uint32_t, 3>{0, 0, 0}));
        EXPECT_EQ(granule.long_band_end, 0u);
        EXPECT_EQ(granule.subband_end, static_cast<std::uint32_t>(LONG_BAND_LIMIT[static_cast<std::size_t>(si)][0]));
        // Mixed blocks.
        granule = long_granule();
        granule.block_type = 2;
        granule.mixed_block_flag = 1;
        granule.region1_start = 18;
        EXPECT_EQ(run(si), 0);
        expect_decoded(q(), out.values, {});
        EXPECT_EQ(granule.short_band_end, (std::array<std::uint32_t, 3>{3, 3, 3}));
        EXPECT_EQ(granule.long_band_end, 0u);
        EXPECT_EQ(granule.subband_end, static_cast<std::uint32_t>(SHORT_BAND_LIMIT[static_cast<std::size_t>(si)][3]));
    }
    // The 44100 Hz values: one subband, and two for a mixed block.
    EXPECT_EQ(LONG_BAND_LIMIT[0][0], 1);
    EXPECT_EQ(SHORT_BAND_LIMIT[0][3], 2);
}

// ------------------------------------------------------------------ gain reach

// The second channel of an LSF intensity-stereo frame: 5-bit scale factors
// of 31, global_gain 0 (with the mid/side offset), subblock gain 7 and
// scalefac_scale 1 reach position 2 + 56 + (31 << 2) = 182.
TEST_F(HuffmanRequantiseTest, LsfIntensityExtremeStaysInsideTheGainTable) {
    struct Case {
        std::uint32_t block_type, mixed, preflag;
    };
    for (const Case c : {Case{2, 0, 0}, Case{2, 1, 0}, Case{0, 0, 1}}) {
        SCOPED_TRACE("block type " + std::to_string(c.block_type) + " mixed " + std::to_string(c.mixed));
        SetUp();
        granule.block_type = c.block_type;
        granule.mixed_block_flag = c.mixed;
        granule.preflag = c.preflag;
        granule.scalefac_scale = 1;
        granule.gain_long = 2;
        granule.gain_short = {58, 58, 58};
        granule.region1_start = c.block_type == 2 ? 18 : 288;
        granule.table_select = {1, 1, 1};
        sf.fill(31);
        BitWriter w;
        for (int pair = 0; pair < 288; ++pair) put_pair(w, 1, 1, 0);
        attach(w);
        granule.big_values = 288;
        granule.part2_3_length = static_cast<std::uint32_t>(w.bit_count());
        EXPECT_EQ(run(3), 0);
        for (std::size_t line = 0; line < 576; ++line) {
            const float v = out.values[line];
            ASSERT_TRUE(std::isfinite(v)) << line;
        }
        if (c.block_type == 2 && !c.mixed) {
            int nonzero = 0;
            for (float v : out.values)
                if (v != 0.0f) {
                    ++nonzero;
                    EXPECT_EQ(v, static_cast<float>(std::pow(2.0, -98.0)));
                }
            EXPECT_EQ(nonzero, 288);
        } else if (c.mixed) {
            // Long part: 2 + (31 << 2) = 126; short part 182.
            EXPECT_EQ(out.values[0], static_cast<float>(std::pow(2.0, -0.25 * (126 + 210))));
            int short_nonzero = 0;
            for (std::size_t line = 36; line < 576; ++line)
                if (out.values[line] != 0.0f) {
                    ++short_nonzero;
                    EXPECT_EQ(out.values[line], static_cast<float>(std::pow(2.0, -98.0))) << line;
                }
            EXPECT_EQ(short_nonzero, 270);
        } else {
            // 22050 Hz band 17 starts at line 284: pre-emphasis 3 -> 2 + (34 << 2) = 138.
            EXPECT_EQ(out.values[284], static_cast<float>(std::pow(2.0, -0.25 * (138 + 210))));
            EXPECT_EQ(out.values[0], static_cast<float>(std::pow(2.0, -0.25 * (126 + 210))));
        }
        expect_guard_intact();
    }
}

}  // namespace
