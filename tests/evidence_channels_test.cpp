// The evidence across channels, bands and gaps, on made-up record series: the
// channels' difference counts only where both channels have a band, every
// series is measured in its own spread, the encoder's coupling is fitted on
// each series alone, and a stretch the decoder lost keeps its place in time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "analysis/parity_evidence.h"
#include "evidence_series.h"

namespace {

using evidence_series::make_records;
using evidence_series::Series;
using evidence_series::weigh;
using gainscan::EvidenceRecord;
using gainscan::EvidenceResult;
using gainscan::ParityEvidence;
using gainscan::SILENT_BAND;

std::vector<EvidenceRecord> first_channel(const std::vector<EvidenceRecord>& records) {
    std::vector<EvidenceRecord> kept;
    std::copy_if(records.begin(), records.end(), std::back_inserter(kept), [](const auto& r) { return r.channel == 0; });
    return kept;
}

EvidenceResult weigh_with_plot(const std::vector<EvidenceRecord>& records) {
    ParityEvidence evidence;
    for (const EvidenceRecord& r : records) evidence.add(r);
    return evidence.finish(true, true);
}

}  // namespace

TEST(EvidenceChannels, ChannelsThatShareNoBandAddNothingToTheCarriers) {
    // The first channel is heard in the odd bands only, the second in the
    // even ones: their difference has no band, so the carriers' statistic is
    // their own channel's, exactly as if the second channel were not there.
    // (Energies well below 1, as decoded spectra have them: log2 about -25.)
    for (const double written : {0.0, 0.5}) {
        SCOPED_TRACE(written);
        auto records = make_records({1500, 0.5, written, 2}, 41);
        for (auto& r : records)
            for (std::size_t b = 0; b < gainscan::EVIDENCE_BANDS; ++b)
                r.band_log2_energy[b] = b % 2 == r.channel ? SILENT_BAND : r.band_log2_energy[b] - 35.0f;
        const EvidenceResult both = weigh(records, true), alone = weigh(first_channel(records), true);
        ASSERT_TRUE(both.score && alone.score);
        EXPECT_EQ(*both.score, *alone.score);
        EXPECT_EQ(both.weighed, alone.weighed);
    }
}

TEST(EvidenceChannels, EachSeriesIsMeasuredInItsOwnSpread) {
    // The second channel jitters ten times as much as the first. A carrier's
    // residual is in robust deviations of its own series (and of the
    // channels' difference), so half of them still lie within 0.6745 of 0
    // (the median absolute value of a standard normal), not a tenth of it.
    for (const std::uint32_t seed : {3u, 4u}) {
        SCOPED_TRACE(seed);
        Series series{3000, 0.2, 0.0, 2};
        series.second_noise = 2.0;
        const EvidenceResult result = weigh_with_plot(make_records(series, seed));
        ASSERT_TRUE(result.plot);
        std::vector<double> size;
        for (double r : result.plot->residual) size.push_back(std::fabs(r));
        std::nth_element(size.begin(), size.begin() + static_cast<std::ptrdiff_t>(size.size() / 2), size.end());
        EXPECT_NEAR(size[size.size() / 2], 0.6745, 0.15);
    }
}

TEST(EvidenceChannels, MusicBothChannelsShareCancelsInTheirDifference) {
    // Loudness that moves both channels of a granule alike (twice the size of
    // a written step) hides the steps in each channel's own series, but not
    // in the channels' difference, which the carriers are weighed on too.
    for (const std::uint32_t seed : {5u, 6u}) {
        SCOPED_TRACE(seed);
        Series quiet{2000, 0.1, 0.2, 2}, shared{2000, 0.1, 0.2, 2};
        shared.shared_noise = 1.0;
        const EvidenceResult plain = weigh(make_records(quiet, seed), true);
        const EvidenceResult masked = weigh(make_records(shared, seed), true);
        const EvidenceResult alone = weigh(first_channel(make_records(shared, seed)), true);
        ASSERT_TRUE(plain.score && masked.score && alone.score);
        EXPECT_GT(*masked.score, 0.6 * *plain.score);
        EXPECT_GT(*masked.score, 2.0 * *alone.score);
    }
}

TEST(EvidenceChannels, TheCouplingIsFittedOnTheCarriersOwnSeries) {
    // Stereo whose second channel is too short to measure: the carriers have
    // their own series only, and the encoder's coupling of energy to gain
    // steps is still fitted out of it, as in mono: the statistic keeps
    // (0.5 - c) / 0.5 of its strength.
    auto silent_second = [](std::vector<EvidenceRecord> records) {
        for (auto& r : records)
            if (r.channel == 1) r.part2_3_length = 10;
        return records;
    };
    for (const std::uint32_t seed : {21u, 22u}) {
        const auto plain = weigh(silent_second(make_records({3000, 0.4, 0.3, 2, 0.0, 3}, seed)));
        ASSERT_TRUE(plain.score);
        for (const double coupling : {0.15, -0.15}) {
            SCOPED_TRACE(::testing::Message() << "seed " << seed << ", coupling " << coupling);
            const auto result = weigh(silent_second(make_records({3000, 0.4, 0.3, 2, coupling, 3}, seed)));
            ASSERT_TRUE(result.score);
            EXPECT_NEAR(*result.score / *plain.score, (0.5 - coupling) / 0.5, 0.2);
        }
    }
}

TEST(EvidenceChannels, LoudOutliersDoNotTakeOverTheCouplingFit) {
    // Every 17th record far louder than its neighbours (a note starting)
    // wherever the encoder had raised its gain: the fit weighs them clipped
    // at 2.5 robust deviations, so they pull the fitted coupling only a
    // little and the written steps keep most of their strength (about 0.82
    // of it over these files; weighed unclipped, about 0.70).
    double kept = 0;
    constexpr int FILES = 6;
    for (std::uint32_t seed = 51; seed < 51 + FILES; ++seed) {
        auto records = make_records({4000, 0.3, 0.5, 1, 0.0, 3}, seed);
        const auto plain = weigh(records);
        for (std::size_t i = 1; i + 1 < records.size(); i += 17) {
            const int deviation = 2 * records[i].global_gain - records[i - 1].global_gain - records[i + 1].global_gain;
            if (deviation > 0)
                for (float& band : records[i].band_log2_energy) band += 20.0f;
        }
        const auto loud = weigh(records);
        ASSERT_TRUE(plain.score && loud.score);
        kept += *loud.score / *plain.score / FILES;
    }
    EXPECT_GT(kept, 0.76);
}

TEST(EvidenceChannels, CarriersOfALostStretchKeepTheirPlaceInTime) {
    // The decoder lost every record of the second block of time anchors
    // (pairs 256 to 511): carriers there are placed from the last anchor
    // before the gap, at the file's pace, exactly where they were.
    // The file's first Layer III granule starts 2 s in (after frames of another layer).
    constexpr double START = 2.0;
    auto records = make_records({3000, 0.4, 0.5}, 8);
    for (auto& r : records) r.seconds += START;
    std::erase_if(records, [](const EvidenceRecord& r) { return r.slot >= 512 && r.slot < 1024; });
    const EvidenceResult result = weigh_with_plot(records);
    ASSERT_TRUE(result.plot);
    const auto n = static_cast<std::size_t>(result.carriers);
    ASSERT_EQ(n, 3000u);
    int in_gap = 0;
    for (std::size_t i = 0; i < result.plot->seconds.size(); ++i) {
        const std::size_t carrier = i * n / result.plot->seconds.size();
        SCOPED_TRACE(carrier);
        EXPECT_NEAR(result.plot->seconds[i], START + static_cast<double>(2 * carrier) * 576.0 / 44100, 1e-6);
        in_gap += carrier >= 256 && carrier < 512;
    }
    EXPECT_GT(in_gap, 20);
    EXPECT_NEAR(result.plot->span_start, START, 1e-9);
    EXPECT_NEAR(result.plot->span_end, START + static_cast<double>(2 * (n - 1)) * 576.0 / 44100, 1e-6);
}

TEST(EvidenceChannels, CarriersAfterARateChangeArePlacedAtTheirOwnPace) {
    // Two encodings one after the other: 44.1 kHz, then 22.05 kHz from
    // carrier 1,536 on (a granule lasts twice as long). Times are kept every
    // 256 carriers, with the pace at each; a change where one is kept (as
    // here) leaves every carrier of the plot at its own record's time,
    // before the change and after.
    auto records = make_records({3000, 0.4, 0.5}, 9);
    constexpr std::int64_t CHANGE = 3072;  // slot of carrier 1,536
    const double at_change = static_cast<double>(CHANGE) * 576.0 / 44100;
    for (auto& r : records)
        if (r.slot >= CHANGE) {
            r.seconds = at_change + static_cast<double>(r.slot - CHANGE) * 576.0 / 22050;
            r.slot_seconds = 576.0 / 22050;
        }
    const EvidenceResult result = weigh_with_plot(records);
    ASSERT_TRUE(result.plot);
    const auto n = static_cast<std::size_t>(result.carriers);
    int before = 0, after = 0;
    for (std::size_t i = 0; i < result.plot->seconds.size(); ++i) {
        const std::size_t carrier = i * n / result.plot->seconds.size();
        SCOPED_TRACE(carrier);
        EXPECT_NEAR(result.plot->seconds[i], records[2 * carrier].seconds, 1e-6);
        (2 * static_cast<std::int64_t>(carrier) < CHANGE ? before : after) += 1;
    }
    EXPECT_GT(before, 100);
    EXPECT_GT(after, 100);
}

TEST(EvidenceChannels, InMonoThePayloadsStepsDoNotLeakIntoTheControl) {
    // An encoder that gives both granules of a frame the same gain: the
    // record that never carries a bit has the parity its carrier had before
    // the bit was written. Its neighbours in time are carriers, whose written
    // steps follow that parity too; weighed against them, the control would
    // show the payload's own bond and take it off the carriers'. Weighed
    // against the other never-written records, it shows none.
    for (const std::uint32_t seed : {61u, 62u, 63u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        std::normal_distribution<double> jitter(0.0, 0.4);
        std::uniform_int_distribution<int> step(-2, 2), coin(0, 1);
        std::vector<EvidenceRecord> records;
        int gain = 150;
        for (std::int64_t pair = 0; pair < 3000; ++pair) {
            gain = std::clamp(gain + step(rng), 100, 200);
            const int bit = coin(rng);
            const int written = (gain & 1) == bit ? gain : gain + (bit ? 1 : -1);
            for (int half = 0; half < 2; ++half) {
                EvidenceRecord r{};
                r.slot = 2 * pair + half;
                r.part2_3_length = 800;
                r.seconds = static_cast<double>(r.slot) * 576.0 / 44100;
                r.slot_seconds = 576.0 / 44100;
                r.global_gain = static_cast<std::uint8_t>(half == 0 ? written : gain);
                const double shift = half == 0 ? 0.5 * (written - gain) : 0.0;
                const double loud = -20 + jitter(rng) + shift;
                for (std::size_t b = 0; b < gainscan::EVIDENCE_BANDS; ++b)
                    r.band_log2_energy[b] = static_cast<float>(loud - 0.7 * static_cast<double>(b));
                records.push_back(r);
            }
        }
        const EvidenceResult result = weigh(records, true);
        ASSERT_TRUE(result.p_value && result.score);
        EXPECT_GT(*result.score, 8.0);
        EXPECT_LT(*result.p_value, 1e-9);
    }
}

TEST(EvidenceChannels, ATieTheEncoderLeavesInEveryRecordIsTakenOffByTheControl) {
    // A clean file whose encoder made odd-gain records a little louder, in
    // every record: the carriers' statistic alone looks like a payload, but
    // the records that never carry a bit show the same tie, and the p_value
    // takes it off. Mono (the other granules) and stereo (the second channel).
    for (const int channels : {1, 2}) {
        for (const std::uint32_t seed : {71u, 72u}) {
            SCOPED_TRACE(::testing::Message() << channels << " channel(s), seed " << seed);
            auto records = make_records({3000, 0.4, 0.0, channels, 0.0, 3}, seed);
            for (auto& r : records)
                if (r.global_gain & 1u)
                    for (float& band : r.band_log2_energy) band += 0.15f;
            const EvidenceResult result = weigh(records, true);
            ASSERT_TRUE(result.p_value && result.score);
            EXPECT_GT(*result.score, 4.0);      // the carriers alone would be flagged
            EXPECT_GT(*result.p_value, 0.01);  // the control says why they are not
        }
    }
}
