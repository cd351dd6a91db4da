// The parity evidence on made-up record series: a planted parity effect of
// known size is found with the strength the statistic's arithmetic predicts,
// clean series give false-alarm probabilities that hold as probabilities, and
// too little to weigh is said rather than scored.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "analysis/null_model.h"
#include "analysis/parity_evidence.h"
#include "evidence_series.h"

namespace {

using gainscan::EvidenceRecord;
using gainscan::EvidenceResult;
using gainscan::ParityEvidence;
using evidence_series::make_records;
using evidence_series::Series;
using evidence_series::weigh;

// The statistic the arithmetic predicts for a planted effect in mono: a
// carrier's residual against its two (unchanged) neighbours is its jitter
// less theirs (variance 1.5 noise^2) plus the change, +-0.5 on half the
// carriers; the change's covariance with the +-1 parity is 0.25. The
// statistic is that correlation times the square root of the carriers
// weighed, then widened by the tie variance.
double expected_score(std::int64_t weighed, double noise) {
    const double correlation = 0.25 / std::sqrt(1.5 * noise * noise + 0.125);
    return correlation * std::sqrt(static_cast<double>(weighed)) /
           std::sqrt(1 + gainscan::TIE_VARIANCE_PER_CARRIER * static_cast<double>(weighed));
}

}  // namespace

TEST(EvidenceNull, APlantedParityEffectIsFoundWithThePredictedStrength) {
    const struct {
        Series series;
        double max_p;
    } cases[] = {
        {{2000, 0.5, 1.0}, 1e-12},
        {{2000, 0.5, 0.5}, 1e-9},
        {{4000, 1.0, 0.1}, 1e-3},
        {{800, 0.3, 1.0}, 1e-10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.series.carriers << " carriers, noise " << c.series.noise << ", written "
                                          << c.series.written);
        const EvidenceResult result = weigh(make_records(c.series, 7));
        ASSERT_EQ(result.status, gainscan::EvidenceStatus::measured);
        ASSERT_TRUE(result.p_value && result.score);
        EXPECT_LE(*result.p_value, c.max_p);
        const double expected = expected_score(result.weighed, c.series.noise);
        // The statistic's own sampling spread is 1; clipping and the gain-step
        // regression (which cannot tell a written record's step from a natural
        // one) take up to a third of the effect, never more.
        EXPECT_GT(*result.score, 0.65 * expected - 2.5);
        EXPECT_LT(*result.score, expected + 2.5);
    }
}

TEST(EvidenceNull, TheSpanIsWhatTheLengthFieldClaims) {
    const EvidenceResult result = weigh(make_records({3000, 0.5, 0.2}, 3));
    ASSERT_TRUE(result.length_field);
    // 0.2 x 3000 carriers written: the span the field claims covers them and no more.
    EXPECT_LE(result.length_field->span, 600u);
    EXPECT_GT(result.length_field->span, 580u);
    EXPECT_EQ(result.carriers, 3000);
    EXPECT_LE(result.weighed, 600);
}

TEST(EvidenceNull, CleanSeriesGiveEvenlySpreadStandardisedStatistics) {
    // The rotation null alone (centre and spread from the file's own
    // rotations): across 400 clean files, every decile of its normal tail
    // holds 40 files within a binomial bound (4.5 sd: about 1e-5 for any
    // decile to fail by chance).
    constexpr int FILES = 400;
    std::vector<int> deciles(10, 0);
    for (int seed = 0; seed < FILES; ++seed) {
        const auto records = make_records({400, 0.5, 0.0}, static_cast<std::uint32_t>(1000 + seed));
        std::vector<std::uint8_t> parity;
        std::vector<std::int16_t> residual;
        // The same path as the program: weigh every carrier and read the statistic back.
        ParityEvidence evidence;
        for (const auto& r : records) evidence.add(r);
        const EvidenceResult result = evidence.finish(false, true);
        ASSERT_EQ(result.status, gainscan::EvidenceStatus::measured);
        const double widened = *result.score * std::sqrt(1 + gainscan::TIE_VARIANCE_PER_CARRIER * static_cast<double>(result.weighed));
        const double p = gainscan::normal_upper_tail(widened);
        ++deciles[std::min(9, static_cast<int>(p * 10))];
    }
    const double sd = std::sqrt(FILES * 0.1 * 0.9);
    for (int d = 0; d < 10; ++d) {
        SCOPED_TRACE(d);
        EXPECT_LT(std::fabs(deciles[static_cast<std::size_t>(d)] - FILES * 0.1), 4.5 * sd);
    }
}

TEST(EvidenceNull, CleanSeriesPValuesNeverExceedTheirLevel) {
    // The p_value the program reports (widened and controlled) is
    // conservative on clean files: at each level, no more files than the
    // level allows (with a 3 sd binomial margin).
    constexpr int FILES = 400;
    std::vector<double> p;
    for (int seed = 0; seed < FILES; ++seed) {
        const EvidenceResult result = weigh(make_records({300, 0.7, 0.0}, static_cast<std::uint32_t>(5000 + seed)), true);
        ASSERT_TRUE(result.p_value);
        p.push_back(*result.p_value);
    }
    for (const double level : {0.01, 0.05, 0.1, 0.5}) {
        SCOPED_TRACE(level);
        const auto below = std::count_if(p.begin(), p.end(), [&](double v) { return v <= level; });
        EXPECT_LE(static_cast<double>(below), FILES * level + 3 * std::sqrt(FILES * level * (1 - level)));
    }
}

TEST(EvidenceNull, TooLittleToWeighIsInsufficientWithItsReason) {
    const auto silent = [] {
        auto records = make_records({400, 0.5, 1.0}, 11);
        for (auto& r : records) r.part2_3_length = 10;  // no spectrum worth measuring
        return records;
    }();
    const struct {
        const char* name;
        std::vector<EvidenceRecord> records;
        gainscan::InsufficientReason reason;
    } cases[] = {
        {"a file of 20 carriers", make_records({20, 0.5, 0.0}, 1), gainscan::InsufficientReason::too_few_carriers},
        // Long enough for a short span, too short for the rotations' spread.
        {"a file of 47 carriers", make_records({47, 0.5, 1.0}, 1), gainscan::InsufficientReason::too_few_carriers},
        {"a span without spectrum", silent, gainscan::InsufficientReason::silent_span},
        {"bits that claim more than the file", [] {
             auto records = make_records({400, 0.5, 0.0}, 4);
             // nbits 32: a length of at least 2^31 bytes.
             for (auto& r : records)
                 if (r.slot % 2 == 0 && r.slot / 2 < 6) r.global_gain = static_cast<std::uint8_t>((r.global_gain & ~1u) | (r.slot / 2 == 0 ? 1u : 0u));
             return records;
         }(),
         gainscan::InsufficientReason::no_length_field},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const EvidenceResult result = weigh(c.records);
        EXPECT_EQ(result.status, gainscan::EvidenceStatus::insufficient);
        EXPECT_EQ(result.reason, c.reason);
        EXPECT_FALSE(result.p_value);
    }
}

TEST(EvidenceNull, AOneBytePayloadIsWeighedFromTenCarriersWithAResidual) {
    // One byte: its length field and the byte span 14 carriers, the first
    // without a residual (it has no neighbour before it). Silencing carriers
    // in the span leaves fewer weighed: 10 still gives a p_value, 9 is a
    // silent span. And a file of exactly 48 carriers is long enough.
    const auto with_silent_carriers = [](double written, int silenced) {
        auto records = make_records({2000, 0.2, written}, 21);
        for (auto& r : records)
            if (r.slot % 2 == 0 && r.slot / 2 >= 1 && r.slot / 2 <= silenced) r.part2_3_length = 10;
        return records;
    };
    const struct {
        double written;
        int silenced;
        std::uint64_t span;
        std::int64_t weighed;
        gainscan::EvidenceStatus status;
    } cases[] = {
        {0.012, 0, 14, 13, gainscan::EvidenceStatus::measured},
        {0.012, 3, 14, 10, gainscan::EvidenceStatus::measured},
        {0.012, 4, 14, 9, gainscan::EvidenceStatus::insufficient},
        {0.016, 0, 23, 22, gainscan::EvidenceStatus::measured},  // two bytes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.span << " carriers, " << c.silenced << " silent");
        const EvidenceResult result = weigh(with_silent_carriers(c.written, c.silenced));
        ASSERT_TRUE(result.length_field);
        EXPECT_EQ(result.length_field->span, c.span);
        EXPECT_EQ(result.weighed, c.weighed);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.p_value.has_value(), c.status == gainscan::EvidenceStatus::measured);
        if (c.status == gainscan::EvidenceStatus::insufficient) {
            EXPECT_EQ(result.reason, gainscan::InsufficientReason::silent_span);
        }
    }
    // Two bytes written into quiet noise: found from 22 carriers.
    const EvidenceResult found = weigh(with_silent_carriers(0.016, 0));
    ASSERT_TRUE(found.p_value);
    EXPECT_LT(*found.p_value, 0.05);
    EXPECT_EQ(weigh(make_records({48, 0.5, 1.0}, 1), true).status, gainscan::EvidenceStatus::measured);
}

TEST(EvidenceNull, MemoryPerPairOfRecordsStaysAFewBytes) {
    // A 10-hour stereo file at 48 kHz has about 3 million pairs of records:
    // the evidence must hold them in well under 64 MiB.
    EXPECT_LE(ParityEvidence::bytes_per_pair(), 12u);
}

TEST(EvidenceNull, ControlledTailIsAProperTail) {
    // P(Z1 - max(0, Z2) >= v) against its closed form at v = 0 (1/2 P(Z1 >= 0)
    // + P(Z1 >= Z2 > 0) = 1/4 + 1/8) and its bounds elsewhere.
    EXPECT_NEAR(gainscan::controlled_upper_tail(0.0), 0.375, 1e-6);
    for (const double v : {-2.0, 1.0, 3.0, 5.0}) {
        SCOPED_TRACE(v);
        EXPECT_LE(gainscan::controlled_upper_tail(v), gainscan::normal_upper_tail(v));
        EXPECT_GE(gainscan::controlled_upper_tail(v), 0.5 * gainscan::normal_upper_tail(v));
    }
}

TEST(EvidenceNull, RotationsOverSilenceCountAsNoBond) {
    // Residuals only in the span (the rest of the file silent): rotations
    // that land on silence have nothing to weigh and count as a statistic
    // of 0, never as a division by zero.
    constexpr std::size_t N = 600, SPAN = 60;
    std::vector<std::uint8_t> parity(N);
    std::vector<std::int16_t> residual(N, 0);
    for (std::size_t k = 0; k < SPAN; ++k) {
        parity[k] = static_cast<std::uint8_t>((k * 7 / 3) % 2);
        residual[k] = static_cast<std::int16_t>(parity[k] ? 900 + 13 * k : -800 - 11 * k);
    }
    const auto s = gainscan::rotation_statistic(parity, residual, SPAN, 64, 8);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->weighed, static_cast<std::int64_t>(SPAN));
    EXPECT_GT(s->z, 5.0);  // every residual follows its parity
    EXPECT_TRUE(std::isfinite(s->null_mean));
    EXPECT_TRUE(std::isfinite(s->null_sd));
    EXPECT_LT(std::fabs(s->null_mean), 1.0);
    EXPECT_TRUE(std::isfinite(gainscan::standardised(*s)));
    // A span claiming more than the file weighs the file, no further.
    const auto whole = gainscan::rotation_statistic(parity, residual, 10 * N, 64, 8);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->weighed, static_cast<std::int64_t>(SPAN));
    // Nothing to weigh in the span: no statistic at all.
    std::vector<std::int16_t> later(N, 0);
    std::copy(residual.begin(), residual.begin() + SPAN, later.begin() + SPAN);
    EXPECT_FALSE(gainscan::rotation_statistic(parity, later, SPAN, 64, 8));
}

TEST(EvidenceNull, AFileTooShortForItsRotationsHasNoStatistic) {
    // Rotations keep `exclude` carriers away from the true alignment on both
    // sides and need MIN_ROTATIONS distinct shifts between: a shorter file
    // has none to draw the null from, however much its span holds.
    constexpr std::size_t EXCLUDE = 8;
    const std::size_t enough = 2 * EXCLUDE + static_cast<std::size_t>(gainscan::MIN_ROTATIONS);
    const struct {
        std::size_t carriers;
        bool statistic;
    } cases[] = {{enough - 1, false}, {enough, true}, {4, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.carriers);
        std::vector<std::uint8_t> parity(c.carriers);
        std::vector<std::int16_t> residual(c.carriers);
        for (std::size_t k = 0; k < c.carriers; ++k) {
            parity[k] = static_cast<std::uint8_t>((k * 5 / 3) % 2);
            residual[k] = static_cast<std::int16_t>(parity[k] ? 700 + 9 * k : -600 - 7 * k);
        }
        const auto s = gainscan::rotation_statistic(parity, residual, c.carriers, 64, EXCLUDE);
        EXPECT_EQ(s.has_value(), c.statistic);
        if (s) {
            EXPECT_EQ(s->rotations, static_cast<std::int64_t>(enough - 2 * EXCLUDE));
        }
    }
}

TEST(EvidenceNull, RunsInBothSeriesWidenTheNullRatherThanRaiseTheStatistic) {
    // Parities in long runs (an encoder holding its gain) against residuals
    // that wander slowly (a passage getting louder): by chance such series
    // line up far more than independent ones, and the rotations see it. The
    // null's spread grows well past 1 and the standardised statistic stays
    // that of a clean file.
    int beyond = 0;
    for (std::uint32_t seed = 0; seed < 50; ++seed) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> run(10, 60);
        std::normal_distribution<double> step(0.0, 60.0);
        constexpr std::size_t N = 3000;
        std::vector<std::uint8_t> parity(N);
        std::vector<std::int16_t> residual(N);
        std::uint8_t bit = 0;
        double level = 0;
        for (std::size_t k = 0, left = 0; k < N; ++k) {
            if (left-- == 0) {
                bit ^= 1u;
                left = static_cast<std::size_t>(run(rng));
            }
            parity[k] = bit;
            level = std::clamp(0.98 * level + step(rng), -9000.0, 9000.0);
            residual[k] = static_cast<std::int16_t>(level == 0 ? 1 : level);
        }
        const auto s = gainscan::rotation_statistic(parity, residual, N, 256, 8);
        ASSERT_TRUE(s);
        EXPECT_GT(s->null_sd, 2.0) << "seed " << seed;
        beyond += std::fabs(gainscan::standardised(*s)) > 3.0;
    }
    EXPECT_LE(beyond, 2);
}


TEST(EvidenceNull, TheEncodersCouplingOfEnergyToGainStepsIsFittedWithTheWrittenSteps) {
    // An encoder that ties loudness to its gain steps by c log2 per step:
    // the fit on the gain deviation takes that tie out of every record, and,
    // since it cannot tell a written step from the encoder's own, the same c
    // out of each written step's 0.5 log2. So the statistic keeps
    // (0.5 - c) / 0.5 of what it has without a tie: less for a positive tie,
    // more for a negative one; without the fit it would stay the same.
    for (const std::uint32_t seed : {21u, 22u, 23u}) {
        const auto plain = weigh(make_records({3000, 0.4, 0.3, 1, 0.0, 3}, seed));
        ASSERT_TRUE(plain.score);
        for (const double coupling : {0.15, -0.15}) {
            SCOPED_TRACE(::testing::Message() << "seed " << seed << ", coupling " << coupling);
            const auto result = weigh(make_records({3000, 0.4, 0.3, 1, coupling, 3}, seed));
            ASSERT_EQ(result.status, gainscan::EvidenceStatus::measured);
            ASSERT_TRUE(result.score);
            EXPECT_LT(*result.p_value, 1e-6);
            EXPECT_NEAR(*result.score / *plain.score, (0.5 - coupling) / 0.5, 0.2);
        }
    }
}

TEST(EvidenceNull, ACoupledCleanFileIsNotFlagged) {
    // A strong coupling on a clean file: the gains' own steps never look
    // like written bits, over many files.
    int low = 0;
    for (std::uint32_t seed = 0; seed < 40; ++seed) {
        auto records = make_records({1500, 0.4, 0.0, 1, 0.4, 3}, 300 + seed);
        // Every carrier weighed, as a length field claiming them all would.
        ParityEvidence evidence;
        for (const auto& r : records) evidence.add(r);
        const auto result = evidence.finish(false, true);
        ASSERT_TRUE(result.p_value);
        low += *result.p_value <= 0.01;
    }
    EXPECT_LE(low, 3);
}

TEST(EvidenceNull, ThePlotFollowsTheCarriersInTime) {
    const auto records = make_records({1200, 0.4, 0.5}, 5);
    ParityEvidence evidence;
    for (const auto& r : records) evidence.add(r);
    const auto result = evidence.finish(true);
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

TEST(EvidenceNull, WithoutAControlThePValueIsThePlainTailOfTheScore) {
    // Stereo whose second channel (the records that never carry a bit) is
    // all too short to measure: no negative control, so nothing is taken
    // off the carriers' statistic.
    auto records = make_records({1500, 0.5, 0.0, 2}, 77);
    for (auto& r : records)
        if (r.slot % 2 == 1) r.part2_3_length = 10;
    ParityEvidence evidence;
    for (const auto& r : records) evidence.add(r);
    const EvidenceResult result = evidence.finish(false, true);
    ASSERT_TRUE(result.p_value && result.score);
    EXPECT_NEAR(*result.p_value, gainscan::normal_upper_tail(*result.score), 1e-12);
}

TEST(EvidenceNull, ASpanMayClaimALittleMoreThanTheCarriers) {
    // Up to 16 + 1 % of the carriers beyond them (granules the decoder may
    // have lost); more than that is no length field that fits.
    constexpr std::int64_t CARRIERS = 3000;
    ASSERT_EQ(gainscan::span_slack(CARRIERS), 46);
    // nbits 9, then the length's lower 8 bits: span = 14 + 8 x length.
    for (const auto& [length, span, fits] : {std::tuple{378, 3038u, true}, std::tuple{379, 3046u, true},
                                             std::tuple{380, 3054u, false}}) {
        SCOPED_TRACE(length);
        auto records = make_records({CARRIERS, 0.5, 0.0}, 31);
        std::vector<unsigned> bits;
        for (int i = 5; i >= 0; --i) bits.push_back((9u >> i) & 1u);
        for (int i = 7; i >= 0; --i) bits.push_back((static_cast<unsigned>(length) >> i) & 1u);
        for (auto& r : records)
            if (r.slot % 2 == 0 && r.slot / 2 < static_cast<std::int64_t>(bits.size()))
                r.global_gain = static_cast<std::uint8_t>((r.global_gain & ~1u) | bits[static_cast<std::size_t>(r.slot / 2)]);
        const EvidenceResult result = weigh(records);
        ASSERT_TRUE(result.length_field);
        EXPECT_EQ(result.length_field->span, span);
        EXPECT_EQ(result.status == gainscan::EvidenceStatus::measured, fits);
        EXPECT_EQ(result.reason == gainscan::InsufficientReason::no_length_field, !fits);
    }
}

TEST(EvidenceNull, ParitiesAreCentredSoAResidualLevelIsNoBond) {
    // Four in five carriers odd, over residuals that all sit well above zero
    // (a stretch louder than its neighbours on average): the parities are
    // taken about their own mean, so the level alone makes no statistic.
    int beyond = 0;
    for (std::uint32_t seed = 0; seed < 20; ++seed) {
        std::mt19937 rng(seed);
        std::bernoulli_distribution odd(0.8);
        std::normal_distribution<double> noise(3000.0, 800.0);
        constexpr std::size_t N = 2000;
        std::vector<std::uint8_t> parity(N);
        std::vector<std::int16_t> residual(N);
        for (std::size_t k = 0; k < N; ++k) {
            parity[k] = odd(rng) ? 1 : 0;
            residual[k] = static_cast<std::int16_t>(std::max(1.0, noise(rng)));
        }
        const auto s = gainscan::rotation_statistic(parity, residual, N, 64, 8);
        ASSERT_TRUE(s);
        beyond += std::fabs(s->z) > 3.0 || std::fabs(s->null_mean) > 1.0;
    }
    EXPECT_LE(beyond, 1);
}

TEST(EvidenceNull, WhenEveryRotationIsTheAlignmentTheNullIsTheStatisticItself) {
    // Parities and residuals that repeat every 8 carriers, with rotations 8
    // apart: every rotation lines the two up exactly as the file does, so
    // the rotations' mean is the file's statistic, their spread is none,
    // and the standardised statistic is 0: a strong bond, but no evidence.
    constexpr std::size_t N = 400, PERIOD = 8;
    constexpr std::uint8_t PATTERN[PERIOD] = {1, 1, 0, 1, 0, 0, 1, 1};
    std::vector<std::uint8_t> parity(N);
    std::vector<std::int16_t> residual(N);
    for (std::size_t k = 0; k < N; ++k) {
        parity[k] = PATTERN[k % PERIOD];
        residual[k] = static_cast<std::int16_t>(parity[k] ? 900 : -700);
    }
    // 48 rotations over the 384 positions left after excluding 8 either side: 8 apart.
    const auto s = gainscan::rotation_statistic(parity, residual, N, 48, PERIOD);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->rotations, 48);
    EXPECT_GT(s->z, 10.0);
    EXPECT_NEAR(s->null_mean, s->z, 1e-9);
    EXPECT_NEAR(s->null_sd, 0.0, 1e-6);
    EXPECT_NEAR(gainscan::standardised(*s), 0.0, 1e-6);
}
