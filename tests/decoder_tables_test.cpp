// The tables computed at start-up: gains, the 4/3 power, the band walks,
// the subband limits and the packed LSF scale-factor length words.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "decoder/tables/decoder_tables.h"
#include "decoder/tables/layer3_tables.h"

namespace {

class DecoderTablesTest : public testing::Test {
protected:
    void SetUp() override { build_decoder_tables(32); }
};

float formula_gain(int i) { return static_cast<float>(std::pow(2.0, -0.25 * (i + 210))); }

// ---------------------------------------------------------------- gains

TEST_F(DecoderTablesTest, GainTableFixedPoints) {
    EXPECT_EQ(gain_at(-210), 1.0f);
    EXPECT_EQ(gain_at(0), static_cast<float>(std::pow(2.0, -52.5)));
    EXPECT_NEAR(gain_at(0), 1.5700924586837752e-16, 1e-22);
    EXPECT_EQ(gain_at(-256), static_cast<float>(std::pow(2.0, 11.5)));
    EXPECT_EQ(gain_at(121), static_cast<float>(std::pow(2.0, -82.75)));
    EXPECT_EQ(gain_at(-206), 0.5f);
    EXPECT_EQ(gain_at(-214), 2.0f);
}

TEST_F(DecoderTablesTest, GainTableConsecutiveEntriesDifferByAQuarterPowerOfTwo) {
    const double step = std::pow(2.0, -0.25);
    for (int i = GAIN_MIN; i < GAIN_MAX; ++i) {
        const double ratio = static_cast<double>(gain_at(i + 1)) / static_cast<double>(gain_at(i));
        EXPECT_NEAR(ratio, step, 2e-7 * step) << "position " << i;
    }
}

TEST_F(DecoderTablesTest, GainTableRunsPastTheLsfIntensityReachWithTheSameFormula) {
    EXPECT_EQ(GAIN_MIN, -256);
    EXPECT_EQ(GAIN_MAX, 255);
    EXPECT_EQ(GAIN_TABLE_STORAGE.size(), 512u);
    for (int i = GAIN_MIN; i <= GAIN_MAX; ++i) EXPECT_EQ(gain_at(i), formula_gain(i)) << "position " << i;
    // The farthest position an LSF intensity channel can ask for, and the end.
    EXPECT_EQ(gain_at(182), static_cast<float>(std::pow(2.0, -98.0)));
    EXPECT_EQ(gain_at(255), static_cast<float>(std::pow(2.0, -116.25)));
    EXPECT_GT(gain_at(255), 0.0f);
    EXPECT_TRUE(std::isnormal(gain_at(255)));
}

// ---------------------------------------------------------------- 4/3 power

TEST_F(DecoderTablesTest, Pow43Values) {
    EXPECT_EQ(POW43_SIZE, 8207);
    EXPECT_EQ(POW43_TABLE[0], 0.0f);
    EXPECT_EQ(POW43_TABLE[1], 1.0f);
    EXPECT_EQ(POW43_TABLE[8], 16.0f);
    EXPECT_EQ(POW43_TABLE[64], 256.0f);
    EXPECT_NEAR(POW43_TABLE[2], 2.5198421f, 1e-6f);
    EXPECT_NEAR(POW43_TABLE[8206], 165516.78f, 0.02f);
    for (int i = 1; i < POW43_SIZE; ++i) ASSERT_GT(POW43_TABLE[static_cast<std::size_t>(i)], POW43_TABLE[static_cast<std::size_t>(i - 1)]);
}

// ---------------------------------------------------------------- band maps

struct ExpectedRun {
    int pairs, first, window, band;
};
bool operator==(const ExpectedRun& a, const BandRun& b) {
    return a.pairs == b.pair_count && a.first == b.first_line && a.window == b.window && a.band == b.band;
}
std::string describe(const BandRun& r) {
    return "(" + std::to_string(r.pair_count) + ", " + std::to_string(r.first_line) + ", " +
           std::to_string(r.window) + ", " + std::to_string(r.band) + ")";
}

TEST_F(DecoderTablesTest, BandMap44100Examples) {
    const BandMap map = BAND_MAP[0];  // a copy: GCC 12 UBSan misreads references into thread-local tables
    ASSERT_EQ(map.mixed_end, 38);
    ASSERT_EQ(map.short_end, 39);
    const ExpectedRun mixed_start[] = {{2, 0, 3, 0}, {2, 4, 3, 1}, {2, 8, 3, 2}, {2, 12, 3, 3}, {2, 16, 3, 4},
                               {2, 20, 3, 5}, {3, 24, 3, 6}, {3, 30, 3, 7}, {2, 36, 0, 3}, {2, 37, 1, 3},
                               {2, 38, 2, 3}};
    for (std::size_t i = 0; i < std::size(mixed_start); ++i)
        EXPECT_TRUE(mixed_start[i] == map.mixed[i]) << "mixed run " << i << " is " << describe(map.mixed[i]);
    const ExpectedRun mixed_end[] = {{28, 408, 0, 12}, {28, 409, 1, 12}, {28, 410, 2, 12}};
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(mixed_end[i] == map.mixed[35 + i]) << "mixed run " << 35 + i << " is " << describe(map.mixed[35 + i]);

    const ExpectedRun short_start[] = {{2, 0, 0, 0}, {2, 1, 1, 0}, {2, 2, 2, 0}, {2, 12, 0, 1}};
    for (std::size_t i = 0; i < std::size(short_start); ++i)
        EXPECT_TRUE(short_start[i] == map.short_runs[i]) << "short run " << i << " is " << describe(map.short_runs[i]);
    const ExpectedRun short_end[] = {{28, 408, 0, 12}, {28, 409, 1, 12}, {28, 410, 2, 12}};
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(short_end[i] == map.short_runs[36 + i]) << "short run " << 36 + i << " is " << describe(map.short_runs[36 + i]);

    EXPECT_EQ(map.long_runs[20].pair_count, 38);
    EXPECT_EQ(map.long_runs[20].band, 20);
    EXPECT_EQ(map.long_runs[21].pair_count, 79);
    EXPECT_EQ(map.long_runs[21].band, 21);
    EXPECT_EQ(map.long_runs[0].pair_count, 2);
    EXPECT_EQ(map.long_runs[0].band, 0);
}

// Marks the lines a run list addresses; every line 0..575 must be hit once.
void expect_covers_every_line_once(const BandRun* runs, int count, const char* kind, int j) {
    std::vector<int> hits(576, 0);
    int pairs = 0;
    for (int r = 0; r < count; ++r) {
        const BandRun& run = runs[r];
        const int step = run.window == 3 ? 1 : 3;
        pairs += run.pair_count;
        ASSERT_GT(run.pair_count, 0) << kind << " list of index " << j << ", run " << r;
        for (int k = 0; k < 2 * run.pair_count; ++k) {
            const int line = run.first_line + step * k;
            ASSERT_GE(line, 0) << kind << " list of index " << j << ", run " << r;
            ASSERT_LT(line, 576) << kind << " list of index " << j << ", run " << r;
            ++hits[static_cast<std::size_t>(line)];
        }
    }
    EXPECT_EQ(pairs, 288) << kind << " list of index " << j;
    for (int line = 0; line < 576; ++line)
        EXPECT_EQ(hits[static_cast<std::size_t>(line)], 1) << kind << " list of index " << j << ", line " << line;
}

TEST_F(DecoderTablesTest, EveryListOfEveryRateCoversTheSpectrumExactlyOnce) {
    for (int j = 0; j < 9; ++j) {
        const BandMap map = BAND_MAP[static_cast<std::size_t>(j)];
        ASSERT_LE(map.mixed_end, 39);
        ASSERT_EQ(map.short_end, 39);
        expect_covers_every_line_once(map.mixed.data(), map.mixed_end, "mixed", j);
        expect_covers_every_line_once(map.short_runs.data(), map.short_end, "short", j);

        // Long bands follow one another from line 0.
        int pairs = 0;
        for (int b = 0; b < 22; ++b) {
            EXPECT_EQ(map.long_runs[static_cast<std::size_t>(b)].band, b);
            EXPECT_EQ(2 * pairs, BAND_INDEX[static_cast<std::size_t>(j)].long_index[static_cast<std::size_t>(b)])
                << "index " << j << ", long band " << b;
            pairs += map.long_runs[static_cast<std::size_t>(b)].pair_count;
        }
        EXPECT_EQ(pairs, 288) << "long list of index " << j;
    }
}

// The mixed list: long bands up to where short band 3 begins, then short
// bands 3..12 window by window; short list: bands 0..12 window by window.
TEST_F(DecoderTablesTest, MixedListsHoldLongBandsThenShortBandsFromThree) {
    for (int j = 0; j < 9; ++j) {
        const BandMap map = BAND_MAP[static_cast<std::size_t>(j)];
        const int long_bands = j < 3 ? 8 : 6;
        ASSERT_EQ(map.mixed_end, long_bands + 30) << "index " << j;
        int line = 0;
        for (int b = 0; b < long_bands; ++b) {
            const BandRun& run = map.mixed[static_cast<std::size_t>(b)];
            EXPECT_EQ(run.window, 3) << "index " << j << " run " << b;
            EXPECT_EQ(run.band, b) << "index " << j << " run " << b;
            EXPECT_EQ(run.first_line, line) << "index " << j << " run " << b;
            line += 2 * run.pair_count;
        }
        // The long part ends exactly where short band 3 begins.
        EXPECT_EQ(line, BAND_INDEX[static_cast<std::size_t>(j)].short_index[3]) << "index " << j;
        for (int i = 0; i < 30; ++i) {
            const BandRun& run = map.mixed[static_cast<std::size_t>(long_bands + i)];
            EXPECT_EQ(run.band, 3 + i / 3) << "index " << j << " short run " << i;
            EXPECT_EQ(run.window, i % 3) << "index " << j << " short run " << i;
            EXPECT_EQ(run.first_line,
                      BAND_INDEX[static_cast<std::size_t>(j)].short_index[static_cast<std::size_t>(3 + i / 3)] + i % 3)
                << "index " << j << " short run " << i;
        }
        for (int i = 0; i < 39; ++i) {
            const BandRun& run = map.short_runs[static_cast<std::size_t>(i)];
            EXPECT_EQ(run.band, i / 3) << "index " << j << " short run " << i;
            EXPECT_EQ(run.window, i % 3) << "index " << j << " short run " << i;
        }
    }
}

TEST_F(DecoderTablesTest, BandMap8000HasSinglePairRuns) {
    const BandMap map = BAND_MAP[8];
    for (int i = 0; i < 39; ++i) {
        const BandRun& run = map.short_runs[static_cast<std::size_t>(i)];
        const bool narrow = run.band >= 9 && run.band <= 11;
        EXPECT_EQ(run.pair_count == 1, narrow) << "short run " << i << " of band " << run.band;
    }
    // 8000 Hz long bands: six of 12 lines, the mixed long part ends at line 72.
    for (int b = 0; b < 6; ++b) EXPECT_EQ(map.mixed[static_cast<std::size_t>(b)].pair_count, 6);
    EXPECT_EQ(map.mixed[6].first_line, 72);
    EXPECT_EQ(map.mixed[6].band, 3);
}

TEST_F(DecoderTablesTest, BandIndexRowsAreConsistent) {
    for (std::size_t j = 0; j < 9; ++j) {
        const BandIndex& b = BAND_INDEX[j];
        EXPECT_EQ(b.long_index[0], 0);
        EXPECT_EQ(b.long_index[22], 576);
        EXPECT_EQ(b.short_index[0], 0);
        EXPECT_EQ(b.short_index[13], 576);
        for (std::size_t k = 0; k < 22; ++k) EXPECT_EQ(b.long_index[k + 1] - b.long_index[k], b.long_width[k]);
        for (std::size_t k = 0; k < 13; ++k) EXPECT_EQ(b.short_index[k + 1] - b.short_index[k], 3 * b.short_width[k]);
    }
    // The MPEG-2.5 rows 11025 and 12000 Hz equal the 16000 Hz row.
    for (std::size_t j : {6u, 7u}) {
        EXPECT_EQ(BAND_INDEX[j].long_width, BAND_INDEX[5].long_width);
        EXPECT_EQ(BAND_INDEX[j].short_width, BAND_INDEX[5].short_width);
    }
    const std::array<std::int16_t, 23> long8000 = {0,   12,  24,  36,  48,  60,  72,  88,  108, 132, 160, 192,
                                                   232, 280, 336, 400, 476, 566, 568, 570, 572, 574, 576};
    const std::array<std::int16_t, 14> short8000 = {0, 24, 48, 72, 108, 156, 216, 288, 372, 480, 486, 492, 498, 576};
    EXPECT_EQ(BAND_INDEX[8].long_index, long8000);
    EXPECT_EQ(BAND_INDEX[8].short_index, short8000);
}

// ---------------------------------------------------------------- subband limits

TEST_F(DecoderTablesTest, BandLimits44100) {
    const std::array<std::int32_t, 23> long_limit = {1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 4, 4,
                                                     5, 6, 7, 8, 10, 12, 14, 17, 20, 24, 32};
    const std::array<std::int32_t, 14> short_limit = {1, 1, 2, 2, 3, 4, 5, 7, 9, 11, 14, 18, 23, 32};
    EXPECT_EQ(LONG_BAND_LIMIT[0], long_limit);
    EXPECT_EQ(SHORT_BAND_LIMIT[0], short_limit);
}

TEST_F(DecoderTablesTest, BandLimits8000ReachThirtyTwoFromBand17) {
    for (std::size_t k = 0; k < 23; ++k) {
        if (k >= 17)
            EXPECT_EQ(LONG_BAND_LIMIT[8][k], 32) << "boundary " << k;
        else
            EXPECT_LT(LONG_BAND_LIMIT[8][k], 32) << "boundary " << k;
    }
    EXPECT_EQ(LONG_BAND_LIMIT[8][16], 27);  // (476 + 7) / 18 + 1
    EXPECT_EQ(SHORT_BAND_LIMIT[8][0], 1);
    EXPECT_EQ(SHORT_BAND_LIMIT[8][13], 32);
}

TEST_F(DecoderTablesTest, BandLimitsAreCappedAtTheSubbandLimitAndRebuildable) {
    build_decoder_tables(8);
    EXPECT_EQ(LONG_BAND_LIMIT[0][14], 7);
    EXPECT_EQ(LONG_BAND_LIMIT[0][15], 8);
    EXPECT_EQ(LONG_BAND_LIMIT[0][22], 8);
    EXPECT_EQ(SHORT_BAND_LIMIT[0][8], 8);  // 9 capped
    EXPECT_EQ(SHORT_BAND_LIMIT[0][7], 7);
    build_decoder_tables(32);
    EXPECT_EQ(LONG_BAND_LIMIT[0][22], 32);
    EXPECT_EQ(SHORT_BAND_LIMIT[0][8], 9);
    EXPECT_EQ(gain_at(-210), 1.0f);
}

// ---------------------------------------------------------------- LSF length words

struct Word {
    std::array<unsigned, 4> lengths;
    unsigned row;
    unsigned preflag;
};
Word unpack(std::uint32_t w) {
    return {{w & 7u, (w >> 3) & 7u, (w >> 6) & 7u, (w >> 9) & 7u}, (w >> 12) & 7u, (w >> 15) & 1u};
}

TEST_F(DecoderTablesTest, LsfSlenExamples) {
    const Word n399 = unpack(LSF_SLEN_NORMAL[399]);
    EXPECT_EQ(n399.lengths, (std::array<unsigned, 4>{4, 4, 3, 3}));
    EXPECT_EQ(n399.row, 0u);
    EXPECT_EQ(n399.preflag, 0u);
    const Word n500 = unpack(LSF_SLEN_NORMAL[500]);
    EXPECT_EQ(n500.lengths, (std::array<unsigned, 4>{0, 0, 0, 0}));
    EXPECT_EQ(n500.row, 2u);
    EXPECT_EQ(n500.preflag, 1u);
    const Word i255 = unpack(LSF_SLEN_INTENSITY[255]);
    EXPECT_EQ(i255.lengths, (std::array<unsigned, 4>{3, 2, 0, 0}));
    EXPECT_EQ(i255.row, 5u);
    EXPECT_EQ(i255.preflag, 0u);
    EXPECT_EQ(LSF_SLEN_NORMAL[399] >> 16, 0u);
}

TEST_F(DecoderTablesTest, LsfSlenNormalCaseBoundaries) {
    for (unsigned i = 0; i < 512; ++i) {
        const Word w = unpack(LSF_SLEN_NORMAL[i]);
        const auto [a, b, c, d] = w.lengths;
        ASSERT_EQ(LSF_SLEN_NORMAL[i] >> 16, 0u) << i;
        if (i < 400) {
            EXPECT_EQ(w.row, 0u) << i;
            EXPECT_EQ(w.preflag, 0u) << i;
            EXPECT_LE(a, 4u);
            EXPECT_LE(b, 4u);
            EXPECT_EQ(80 * a + 16 * b + 4 * c + d, i) << "lengths do not give back the index";
        } else if (i < 500) {
            EXPECT_EQ(w.row, 1u) << i;
            EXPECT_EQ(w.preflag, 0u) << i;
            EXPECT_EQ(d, 0u) << i;
            EXPECT_EQ(400 + 20 * a + 4 * b + c, i) << "lengths do not give back the index";
        } else {
            EXPECT_EQ(w.row, 2u) << i;
            EXPECT_EQ(w.preflag, 1u) << i;
            EXPECT_EQ(c, 0u) << i;
            EXPECT_EQ(d, 0u) << i;
            EXPECT_EQ(500 + 3 * a + b, i) << "lengths do not give back the index";
        }
    }
    EXPECT_EQ(unpack(LSF_SLEN_NORMAL[0]).lengths, (std::array<unsigned, 4>{0, 0, 0, 0}));
    EXPECT_EQ(unpack(LSF_SLEN_NORMAL[400]).lengths, (std::array<unsigned, 4>{0, 0, 0, 0}));
    EXPECT_EQ(unpack(LSF_SLEN_NORMAL[499]).lengths, (std::array<unsigned, 4>{4, 4, 3, 0}));
    EXPECT_EQ(unpack(LSF_SLEN_NORMAL[511]).lengths, (std::array<unsigned, 4>{3, 2, 0, 0}));
}

TEST_F(DecoderTablesTest, LsfSlenIntensityCaseBoundaries) {
    for (unsigned i = 0; i < 256; ++i) {
        const Word w = unpack(LSF_SLEN_INTENSITY[i]);
        const auto [a, b, c, d] = w.lengths;
        ASSERT_EQ(LSF_SLEN_INTENSITY[i] >> 16, 0u) << i;
        EXPECT_EQ(w.preflag, 0u) << i;
        EXPECT_EQ(d, 0u) << i;
        if (i < 180) {
            EXPECT_EQ(w.row, 3u) << i;
            EXPECT_EQ(36 * a + 6 * b + c, i) << "lengths do not give back the index";
        } else if (i < 244) {
            EXPECT_EQ(w.row, 4u) << i;
            EXPECT_EQ(180 + 16 * a + 4 * b + c, i) << "lengths do not give back the index";
        } else {
            EXPECT_EQ(w.row, 5u) << i;
            EXPECT_EQ(c, 0u) << i;
            EXPECT_EQ(244 + 3 * a + b, i) << "lengths do not give back the index";
        }
    }
    EXPECT_EQ(unpack(LSF_SLEN_INTENSITY[179]).lengths, (std::array<unsigned, 4>{4, 5, 5, 0}));
    EXPECT_EQ(unpack(LSF_SLEN_INTENSITY[180]).lengths, (std::array<unsigned, 4>{0, 0, 0, 0}));
    EXPECT_EQ(unpack(LSF_SLEN_INTENSITY[243]).lengths, (std::array<unsigned, 4>{3, 3, 3, 0}));
    EXPECT_EQ(unpack(LSF_SLEN_INTENSITY[244]).lengths, (std::array<unsigned, 4>{0, 0, 0, 0}));
}

}  // namespace
