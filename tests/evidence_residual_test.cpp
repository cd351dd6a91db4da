// The pieces the parity evidence is made of: a record's band energies, its
// residual against its neighbours and the robust centre and spread of a
// series.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "analysis/granule_record.h"
#include "analysis/parity_evidence.h"

namespace {

using Bands = std::array<float, gainscan::EVIDENCE_BANDS>;
constexpr float S = gainscan::SILENT_BAND;

Bands flat(float level) {
    Bands b;
    b.fill(level);
    return b;
}

}  // namespace

TEST(EvidenceResidual, IsTheMedianOverTheBandsAllThreeRecordsHave) {
    const struct {
        const char* name;
        Bands before, middle, after;
        std::optional<double> expected;
    } cases[] = {
        {"level neighbours", flat(10), flat(11), flat(10), 1.0},
        {"the middle on the line between its neighbours", flat(8), flat(10), flat(12), 0.0},
        {"eight bands, an even count: the mean of the middle two", flat(0), {1, 2, 3, 4, 5, 6, 7, 8}, flat(0), 4.5},
        {"unsorted bands", flat(0), {8, -3, 5, 1, 7, 2, 6, 4}, flat(0), 4.5},
        {"one band starting a note does not count", flat(0), {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 9.0f}, flat(0),
         0.5},
        {"a band silent in the middle is left out (odd count)", flat(0), {S, 1, 2, 3, 4, 5, 6, 7}, flat(0), 4.0},
        {"a band silent before is left out", {0, 0, 0, 0, 0, 0, 0, S}, {1, 2, 3, 4, 5, 6, 7, 100}, flat(0), 4.0},
        {"a band silent after is left out", flat(0), {100, 2, 3, 4, 5, 6, 7, 8}, {S, 0, 0, 0, 0, 0, 0, 0}, 5.0},
        {"only the last band in all three", {S, S, S, S, S, S, S, 2}, flat(3), {S, S, S, S, S, S, S, 0}, 2.0},
        {"two bands: their mean", {S, S, S, S, S, S, 0, 0}, {5, 5, 5, 5, 5, 5, 1, 3}, {S, S, S, S, S, S, 0, 0}, 2.0},
        {"no band in all three", {S, 0, S, 0, S, 0, S, 0}, flat(1), {0, S, 0, S, 0, S, 0, S}, std::nullopt},
        {"silent everywhere", flat(S), flat(S), flat(S), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = gainscan::band_residual(c.before, c.middle, c.after);
        ASSERT_EQ(r.has_value(), c.expected.has_value());
        if (r) {
            EXPECT_NEAR(*r, *c.expected, 1e-6);
        }
    }
}

TEST(EvidenceResidual, RobustCentreIsTheMedianAndTheScaledMedianDeviation) {
    constexpr double UNIT = 256.0;
    const struct {
        const char* name;
        std::vector<std::int64_t> values;  // in 1/UNIT steps
        double median, mad;                // log2 units
    } cases[] = {
        {"symmetric about zero", {-512, -256, 0, 256, 512}, 0.0, 1.0},
        {"shifted up", {256, 512, 768, 1024, 1280}, 3.0, 1.0},
        {"below zero", {-1280, -1024, -768, -512, -256}, -3.0, 1.0},
        {"one far outlier moves neither", {-256, 0, 0, 0, 256, 100000}, 0.0, 1.0},
        {"skewed: the long side does not widen it", {0, 64, 128, 128, 1024, 2048, 4096}, 0.5, 0.5},
        {"one value", {300}, 300 / 256.0, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint32_t> histogram(static_cast<std::size_t>(gainscan::HISTOGRAM_BINS), 0);
        for (const std::int64_t v : c.values) ++histogram[gainscan::histogram_bin(v)];
        const auto centre = gainscan::robust_centre(histogram, c.values.size(), UNIT);
        EXPECT_NEAR(centre.median, c.median, 1e-9);
        EXPECT_NEAR(centre.spread, 1.4826 * c.mad + 1e-3, 1e-9);
    }
    // Nothing counted: a centre of 0 and a spread of 1, never a division by zero.
    const std::vector<std::uint32_t> empty(static_cast<std::size_t>(gainscan::HISTOGRAM_BINS), 0);
    const auto none = gainscan::robust_centre(empty, 0, UNIT);
    EXPECT_EQ(none.median, 0.0);
    EXPECT_EQ(none.spread, 1.0);
}

TEST(EvidenceResidual, HistogramBinsClampAtBothEnds) {
    EXPECT_EQ(gainscan::histogram_bin(0), static_cast<std::size_t>(gainscan::HISTOGRAM_BINS / 2));
    EXPECT_EQ(gainscan::histogram_bin(-gainscan::HISTOGRAM_BINS), 0u);
    EXPECT_EQ(gainscan::histogram_bin(gainscan::HISTOGRAM_BINS), static_cast<std::size_t>(gainscan::HISTOGRAM_BINS - 1));
}

TEST(EvidenceResidual, TheMedianHoldsForEveryOrderOfTheBands) {
    // Eight distinct differences in every one of their 40,320 orders, and
    // seven (one band left out) in a sample of them: always the middle.
    Bands values = {-3.5f, -1, 0, 0.25f, 1, 2, 4, 9};
    std::sort(values.begin(), values.end());
    int order = 0;
    do {
        const auto eight = gainscan::band_residual(flat(0), values, flat(0));
        ASSERT_TRUE(eight);
        ASSERT_NEAR(*eight, 0.625, 1e-6) << "order " << order;
        if (order % 97 == 0) {
            Bands before = flat(0);
            before[static_cast<std::size_t>(order % 8)] = S;
            std::vector<float> kept(values.begin(), values.end());
            kept.erase(kept.begin() + order % 8);
            std::sort(kept.begin(), kept.end());
            ASSERT_NEAR(*gainscan::band_residual(before, values, flat(0)), kept[3], 1e-6) << "order " << order;
        }
        ++order;
    } while (std::next_permutation(values.begin(), values.end()));
    EXPECT_EQ(order, 40320);
}

TEST(EvidenceResidual, BandEnergiesAreTheLog2OfEachBandsSumOfSquares) {
    // Bands of lines [0, 4), [4, 12), [12, 24), [24, 48), [48, 96), [96, 192), [192, 384), [384, 576).
    std::array<float, 576> spectrum{};
    spectrum[1] = 1.0f;                                            // band 0: 1
    for (std::size_t i = 4; i < 12; ++i) spectrum[i] = 2.0f;       // band 1: 8 x 4 = 32
    spectrum[13] = 1.0f;                                           // band 2: 1 + 2 = 3
    spectrum[23] = std::sqrt(2.0f);
    spectrum[100] = 0.75f;                                         // band 5: 0.5625
    spectrum[575] = 1e-3f;                                         // band 7: 1e-6
    gainscan::GranuleRecord record{};
    gainscan::measure_energy(spectrum.data(), 576, record);
    const double expected[8] = {0, 5, std::log2(3.0), gainscan::NO_ENERGY, gainscan::NO_ENERGY, std::log2(0.5625),
                                gainscan::NO_ENERGY, std::log2(1e-6)};
    for (std::size_t b = 0; b < 8; ++b) EXPECT_NEAR(record.band_log2_energy[b], expected[b], 1e-5) << "band " << b;
    EXPECT_NEAR(record.log2_energy, std::log2(1 + 32 + 3 + 0.5625 + 1e-6), 1e-5);
    // Lines from `end` on are taken as zero, however the buffer is filled.
    gainscan::measure_energy(spectrum.data(), 12, record);
    EXPECT_NEAR(record.band_log2_energy[1], 5, 1e-5);
    EXPECT_EQ(record.band_log2_energy[2], gainscan::NO_ENERGY);
}

TEST(EvidenceResidual, EveryLineCountsInExactlyOneBand) {
    // A single line at the first and at the last place of each band: its
    // energy in that band alone, whatever `end` is as long as it covers it.
    constexpr std::array<std::size_t, 9> EDGES = {0, 4, 12, 24, 48, 96, 192, 384, 576};
    for (std::size_t b = 0; b < 8; ++b)
        for (const std::size_t line : {EDGES[b], EDGES[b + 1] - 1}) {
            for (const std::uint32_t end : {static_cast<std::uint32_t>(line + 1), std::uint32_t{576}}) {
                SCOPED_TRACE(::testing::Message() << "line " << line << " end " << end);
                std::array<float, 576> spectrum{};
                spectrum[line] = 3.0f;
                gainscan::GranuleRecord record{};
                gainscan::measure_energy(spectrum.data(), end, record);
                for (std::size_t k = 0; k < 8; ++k)
                    EXPECT_NEAR(record.band_log2_energy[k], k == b ? std::log2(9.0) : gainscan::NO_ENERGY, 1e-5) << k;
                EXPECT_NEAR(record.log2_energy, std::log2(9.0), 1e-5);
            }
        }
}

