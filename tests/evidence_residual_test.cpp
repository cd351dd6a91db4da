// The pieces the parity evidence is made of: a record's residual against
// its neighbours, the robust centre and spread of a series, the encoder's
// coupling of energy to gain steps taken out before the parities are
// weighed, and the plot a report draws from the carriers.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

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

namespace {

// A mono file whose encoder ties loudness to its gain steps: a record's
// energy follows its own gain by `coupling` log2 per step on top of a slowly
// moving level and its own jitter, with gains on a random walk of steps of
// up to `max_step`. Carriers' bits are then written over `written` of the
// carriers (a length field claiming them first), moving the decoded energy
// 0.5 log2 per gain step changed, as the hiding tool does.
std::vector<gainscan::EvidenceRecord> coupled_file(std::int64_t carriers, double coupling, double written,
                                                   std::uint32_t seed, int max_step = 3) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> jitter(0.0, 0.4), drift(0.0, 0.03);
    std::uniform_int_distribution<int> step(-max_step, max_step), coin(0, 1);
    std::vector<int> bits;
    const auto bytes = static_cast<std::int64_t>(written * static_cast<double>(carriers) - 16) / 8;
    if (bytes > 0) {
        int nbits = 0;
        for (std::int64_t v = bytes; v != 0; v >>= 1) ++nbits;
        for (int i = 5; i >= 0; --i) bits.push_back((nbits >> i) & 1);
        for (int i = nbits - 2; i >= 0; --i) bits.push_back(static_cast<int>((bytes >> i) & 1));
        while (static_cast<std::int64_t>(bits.size()) < 6 + nbits - 1 + 8 * bytes) bits.push_back(coin(rng));
    }
    std::vector<gainscan::EvidenceRecord> records;
    double level = 12;
    int gain = 160;
    for (std::int64_t slot = 0; slot < 2 * carriers; ++slot) {
        level += drift(rng);
        gain = std::clamp(gain + step(rng), 120, 200);
        gainscan::EvidenceRecord r{};
        r.slot = slot;
        r.part2_3_length = 900;
        r.seconds = static_cast<double>(slot) * 576.0 / 32000;
        r.slot_seconds = 576.0 / 32000;
        const double loud = level + jitter(rng) + coupling * (gain - 160);
        int g = gain;
        double shift = 0;
        const auto carrier = static_cast<std::size_t>(slot / 2);
        if (slot % 2 == 0 && carrier < bits.size() && (g & 1) != bits[carrier]) {
            const int delta = bits[carrier] ? 1 : -1;
            g += delta;
            shift = 0.5 * delta;
        }
        r.global_gain = static_cast<std::uint8_t>(g);
        for (std::size_t b = 0; b < gainscan::EVIDENCE_BANDS; ++b)
            r.band_log2_energy[b] = static_cast<float>(loud - 0.5 * static_cast<double>(b) + shift);
        records.push_back(r);
    }
    return records;
}

gainscan::EvidenceResult weigh(const std::vector<gainscan::EvidenceRecord>& records, bool with_plot = false) {
    gainscan::ParityEvidence evidence;
    for (const auto& r : records) evidence.add(r);
    return evidence.finish(with_plot);
}

}  // namespace

TEST(EvidenceResidual, TheEncodersCouplingOfEnergyToGainStepsIsFittedWithTheWrittenSteps) {
    // An encoder that ties loudness to its gain steps by c log2 per step:
    // the fit on the gain deviation takes that tie out of every record, and,
    // since it cannot tell a written step from the encoder's own, the same c
    // out of each written step's 0.5 log2. So the statistic keeps
    // (0.5 - c) / 0.5 of what it has without a tie: less for a positive tie,
    // more for a negative one; without the fit it would stay the same.
    for (const std::uint32_t seed : {21u, 22u, 23u}) {
        const auto plain = weigh(coupled_file(3000, 0.0, 0.3, seed));
        ASSERT_TRUE(plain.score);
        for (const double coupling : {0.15, -0.15}) {
            SCOPED_TRACE(::testing::Message() << "seed " << seed << ", coupling " << coupling);
            const auto result = weigh(coupled_file(3000, coupling, 0.3, seed));
            ASSERT_EQ(result.status, gainscan::EvidenceStatus::measured);
            ASSERT_TRUE(result.score);
            EXPECT_LT(*result.p_value, 1e-6);
            EXPECT_NEAR(*result.score / *plain.score, (0.5 - coupling) / 0.5, 0.2);
        }
    }
}

TEST(EvidenceResidual, ACoupledCleanFileIsNotFlagged) {
    // A strong coupling on a clean file: the gains' own steps never look
    // like written bits, over many files.
    int low = 0;
    for (std::uint32_t seed = 0; seed < 40; ++seed) {
        auto records = coupled_file(1500, 0.4, 0.0, 300 + seed);
        // Every carrier weighed, as a length field claiming them all would.
        gainscan::ParityEvidence evidence;
        for (const auto& r : records) evidence.add(r);
        const auto result = evidence.finish(false, true);
        ASSERT_TRUE(result.p_value);
        low += *result.p_value <= 0.01;
    }
    EXPECT_LE(low, 3);
}

TEST(EvidenceResidual, ThePlotFollowsTheCarriersInTime) {
    const auto records = coupled_file(1200, 0.0, 0.5, 5);
    const auto result = weigh(records, true);
    ASSERT_EQ(result.status, gainscan::EvidenceStatus::measured);
    ASSERT_TRUE(result.plot && result.length_field);
    const auto& plot = *result.plot;
    // At most PLOT_POINTS points, spread evenly over the carriers.
    ASSERT_EQ(plot.seconds.size(), gainscan::PLOT_POINTS);
    ASSERT_EQ(plot.residual.size(), gainscan::PLOT_POINTS);
    ASSERT_EQ(plot.odd.size(), gainscan::PLOT_POINTS);
    const auto n = static_cast<std::size_t>(result.carriers);
    double loud = 0, quiet = 0;
    int odd = 0, even = 0;
    for (std::size_t i = 0; i < gainscan::PLOT_POINTS; ++i) {
        SCOPED_TRACE(i);
        const std::size_t carrier = i * n / gainscan::PLOT_POINTS;
        // A carrier's time is its record's, its parity its gain's.
        EXPECT_NEAR(plot.seconds[i], records[2 * carrier].seconds, 1e-6);
        EXPECT_EQ(plot.odd[i], records[2 * carrier].global_gain & 1u);
        EXPECT_LE(std::fabs(plot.residual[i]), 2.5 + 1e-3);
        if (carrier >= result.length_field->span) continue;
        (plot.odd[i] ? loud : quiet) += plot.residual[i];
        ++(plot.odd[i] ? odd : even);
    }
    // Within the span, odd carriers sit above even ones.
    ASSERT_GT(odd, 20);
    ASSERT_GT(even, 20);
    EXPECT_GT(loud / odd, quiet / even + 0.3);
    EXPECT_NEAR(plot.span_start, records[0].seconds, 1e-9);
    EXPECT_NEAR(plot.span_end, records[2 * (result.length_field->span - 1)].seconds, 1e-6);
}
