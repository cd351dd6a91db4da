// The granule loop through dec_decode: hook order, abandoned frames and
// error_flag, and the mid/side matrix and subband alignment.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bitstream_writer.h"
#include "decoder/decoder.h"
#include "decoder/layer3/granule_loop.h"

using namespace testing_stream;

namespace {

struct HookCall {
    std::uint32_t global_gain;
    std::int32_t channel;
    std::uint32_t big_values;
    std::uint32_t subband_end;
    std::vector<std::uint32_t> earlier_subband_ends;  // this frame's earlier records, now
    std::vector<std::int16_t> values;
    std::array<std::array<float, 576>, 2> spectra;
};

struct Seen {
    std::vector<HookCall> calls;
    std::vector<FrameInfo> frames;
    std::vector<const GranuleInfo*> this_frame;
};

thread_local Seen* seen = nullptr;

void on_frame(const FrameInfo* frame, std::uint32_t) {
    seen->frames.push_back(*frame);
    seen->this_frame.clear();
}

// The records handed to the hook live in the frame's SideInfo, which stays
// in place until the frame's granule loop returns; so while this frame is
// being decoded, an earlier record of the same frame can still be looked at
// to see what the loop did to it after its own hook call.
void on_granule(const GranuleInfo* g, std::uint32_t, std::int32_t channel) {
    HookCall call{g->global_gain, channel, g->big_values, g->subband_end, {}, {}, spectral_buffers};
    for (const GranuleInfo* earlier : seen->this_frame) call.earlier_subband_ends.push_back(earlier->subband_end);
    call.values.assign(g->quantised_values, g->quantised_values + 576);
    seen->calls.push_back(std::move(call));
    seen->this_frame.push_back(g);
}

class GranuleLoopTest : public testing::Test {
protected:
    void SetUp() override {
        state = std::make_unique<DecoderState>();
        dec_init(*state);
        state->frame_hook = on_frame;
        state->granule_hook = on_granule;
        seen = &observed;
    }
    void TearDown() override {
        dec_release(*state);
        seen = nullptr;
    }
    // Decodes every complete frame of `bytes`; returns stderr.
    std::string feed(const Bytes& bytes) {
        testing::internal::CaptureStderr();
        int r = dec_decode(*state, bytes.data(), static_cast<std::int32_t>(bytes.size()), output.data(),
                           static_cast<std::int32_t>(output.size()), &done);
        while (r == DEC_OK)
            r = dec_decode(*state, nullptr, 0, output.data(), static_cast<std::int32_t>(output.size()), &done);
        std::fflush(stderr);
        return testing::internal::GetCapturedStderr();
    }
    std::vector<std::pair<std::uint32_t, std::int32_t>> order() const {
        std::vector<std::pair<std::uint32_t, std::int32_t>> o;
        for (const auto& c : observed.calls) o.emplace_back(c.global_gain, c.channel);
        return o;
    }

    std::unique_ptr<DecoderState> state;
    Seen observed;
    std::vector<std::uint8_t> output = std::vector<std::uint8_t>(MIN_OUTPUT_SPACE);
    std::int32_t done = 0;
};

using Order = std::vector<std::pair<std::uint32_t, std::int32_t>>;

HeaderFields mpeg1(int mode, int mode_extension = 0) {
    // 128 kbit/s, 44100 Hz: body 413.
    return {.version = 1, .layer = 3, .crc = false, .bitrate_index = 9, .frequency_bits = 0, .padding = 0,
            .mode = mode, .mode_extension = mode_extension};
}
const HeaderFields kMpeg2Stereo{.version = 2, .layer = 3, .crc = false, .bitrate_index = 8, .frequency_bits = 0,
                                .padding = 0, .mode = 0, .mode_extension = 0};  // 22050 Hz, body 204
const HeaderFields kMpeg25Mono{.version = 25, .layer = 3, .crc = false, .bitrate_index = 1, .frequency_bits = 2,
                               .padding = 0, .mode = 3, .mode_extension = 0};  // 8000 Hz, body 68

GranuleFields gain(std::uint32_t g) {
    GranuleFields f;
    f.global_gain = g;
    return f;
}

// Granules given as [granule][channel].
Bytes build(const HeaderFields& h, std::uint32_t mdb, const std::vector<std::vector<GranuleFields>>& granules,
            const Bytes& main = {}) {
    SideInfoFields s;
    s.main_data_begin = mdb;
    for (std::size_t gr = 0; gr < granules.size(); ++gr)
        for (std::size_t ch = 0; ch < granules[gr].size(); ++ch) s.granule[gr][ch] = granules[gr][ch];
    return frame(h, s, main);
}

}  // namespace

// ---------------------------------------------------------------------------

TEST_F(GranuleLoopTest, Mpeg1StereoHookOrder) {
    for (int mode : {0, 1, 2}) {
        observed = {};
        EXPECT_EQ(feed(build(mpeg1(mode), 0, {{gain(10), gain(11)}, {gain(20), gain(21)}})), "");
        EXPECT_EQ(order(), (Order{{10, 0}, {11, 1}, {20, 0}, {21, 1}})) << "mode " << mode;
    }
}

TEST_F(GranuleLoopTest, Mpeg1MonoHookOrder) {
    EXPECT_EQ(feed(build(mpeg1(3), 0, {{gain(10)}, {gain(20)}})), "");
    EXPECT_EQ(order(), (Order{{10, 0}, {20, 0}}));
}

TEST_F(GranuleLoopTest, LsfHookOrder) {
    EXPECT_EQ(feed(build(kMpeg2Stereo, 0, {{gain(10), gain(11)}})), "");
    EXPECT_EQ(order(), (Order{{10, 0}, {11, 1}}));
    observed.calls.clear();
    EXPECT_EQ(feed(build(kMpeg25Mono, 0, {{gain(30)}})), "");
    EXPECT_EQ(order(), (Order{{30, 0}}));
    ASSERT_EQ(observed.frames.size(), 2u);
    EXPECT_EQ(observed.frames[1].sampling_index, 8);
}

// ---------------------------------------------------------------------------

TEST_F(GranuleLoopTest, FirstFrameThatStepsBackReportsNoRecords) {
    EXPECT_EQ(feed(build(mpeg1(0), 9, {{gain(10), gain(11)}, {gain(20), gain(21)}})), "Can't step back 9!\n");
    EXPECT_TRUE(observed.calls.empty());
    ASSERT_EQ(observed.frames.size(), 1u);
    EXPECT_EQ(observed.frames[0].main_data_begin, 9);
    EXPECT_EQ(observed.frames[0].error_flag, 0);
}

TEST_F(GranuleLoopTest, AbandonedFirstFrameKeepsTheSideInformationError) {
    GranuleFields clamped = gain(10);
    clamped.big_values = 300;
    EXPECT_EQ(feed(build(mpeg1(0), 9, {{clamped, gain(11)}, {gain(20), gain(21)}})),
              "big_values too large!\nCan't step back 9!\n");
    EXPECT_TRUE(observed.calls.empty());
    ASSERT_EQ(observed.frames.size(), 1u);
    EXPECT_EQ(observed.frames[0].error_flag, 1);
}

TEST_F(GranuleLoopTest, OverdrawInChannelOneOfGranuleZeroLeavesOneRecord) {
    // Channel 1: scalefac_compress 15 gives slen 4 and 3, so granule 0 reads
    // 11 * 4 + 10 * 3 = 74 scale-factor bits. One table-1 pair (1, 1) is
    // "000" and two sign bits: 5 bits. A budget of 76 is overdrawn by
    // 74 + 5 - 76 = 3.
    GranuleFields over = gain(11);
    over.scalefac_compress = 15;
    over.part2_3_length = 76;
    over.big_values = 1;
    over.table_select = {1, 1, 1};
    BitWriter main;
    main.put(0, 30);
    main.put(0, 30);
    main.put(0, 14);  // 74 scale-factor bits, all zero
    ASSERT_EQ(put_pair(main, 1, 1, 1), 5);
    const Bytes bad = build(mpeg1(0), 0, {{gain(10), over}, {gain(20), gain(21)}}, main.bytes());
    const Bytes good = build(mpeg1(0), 0, {{gain(30), gain(31)}, {gain(40), gain(41)}});
    EXPECT_EQ(feed(concat({bad, good})), "Can't rewind stream by 3 bits!\n");
    ASSERT_EQ(observed.frames.size(), 2u);
    EXPECT_EQ(observed.frames[0].error_flag, 1);
    EXPECT_EQ(observed.frames[1].error_flag, 0);
    EXPECT_EQ(order(), (Order{{10, 0}, {30, 0}, {31, 1}, {40, 0}, {41, 1}}));
}

TEST_F(GranuleLoopTest, BudgetBelowTheScaleFactorsIsAnOverdraw) {
    // 74 scale-factor bits against a part2_3_length of 70: overdrawn by 4
    // before any Huffman bit; granule 0 of a mono frame, so nothing is reported.
    GranuleFields g = gain(10);
    g.scalefac_compress = 15;
    g.part2_3_length = 70;
    EXPECT_EQ(feed(build(mpeg1(3), 0, {{g}, {gain(20)}})), "Can't rewind stream by 4 bits!\n");
    EXPECT_TRUE(observed.calls.empty());
    ASSERT_EQ(observed.frames.size(), 1u);
    EXPECT_EQ(observed.frames[0].error_flag, 1);
}

TEST_F(GranuleLoopTest, OverdrawInGranuleOneKeepsGranuleZeroRecords) {
    GranuleFields over = gain(20);
    over.part2_3_length = 2;
    over.big_values = 1;
    over.table_select = {1, 1, 1};
    BitWriter main;
    put_pair(main, 1, 1, 1);  // 5 bits against 2
    EXPECT_EQ(feed(build(mpeg1(3), 0, {{gain(10)}, {over}}, main.bytes())), "Can't rewind stream by 3 bits!\n");
    EXPECT_EQ(order(), (Order{{10, 0}}));
    EXPECT_EQ(observed.frames[0].error_flag, 1);
}

TEST_F(GranuleLoopTest, BigValuesClampSetsTheErrorFlagButRecordsStillCome) {
    // Table 0 in every region: the 288 clamped pairs read no bits.
    GranuleFields clamped = gain(10);
    clamped.big_values = 500;
    EXPECT_EQ(feed(build(mpeg1(0), 0, {{clamped, gain(11)}, {gain(20), gain(21)}})), "big_values too large!\n");
    EXPECT_EQ(order(), (Order{{10, 0}, {11, 1}, {20, 0}, {21, 1}}));
    EXPECT_EQ(observed.calls[0].big_values, 288u);
    ASSERT_EQ(observed.frames.size(), 1u);
    EXPECT_EQ(observed.frames[0].error_flag, 1);
}

// ---------------------------------------------------------------------------
// Mid/side and subband alignment. Channel 0 holds (+1, 0) at lines 0-1;
// channel 1 holds (-1, +1) at lines 0-1 and +1 at line 52 (band 10 at 44100
// Hz, lines 52-61). Gains: channel 0 at 1.0, channel 1 at 0.5.
// subband_end: channel 0 reaches band 0, LONG_BAND_LIMIT[0][1] = (4+7)/18+1 = 1;
// channel 1 reaches band 10, LONG_BAND_LIMIT[0][11] = (62+7)/18+1 = 4.

namespace {

struct Spectra {
    GranuleFields first;   // channel 0
    GranuleFields second;  // channel 1
    Bytes main;            // granule 0 then granule 1, the same data
};

// `gain_one` and `gain_half` are the global_gain values giving 1.0 and 0.5.
// Channel 0 gets gain_one and channel 1 gain_half; `swap` exchanges the data.
Spectra ms_granules(std::uint32_t gain_one, std::uint32_t gain_half, bool swap) {
    BitWriter narrow;  // (+1, 0)
    const int narrow_bits = put_pair(narrow, 1, 1, 0);
    BitWriter wide;  // (-1, +1), 25 x (0, 0), (+1, 0)
    int wide_bits = put_pair(wide, 1, -1, 1);
    for (int i = 0; i < 25; ++i) wide_bits += put_pair(wide, 1, 0, 0);
    wide_bits += put_pair(wide, 1, 1, 0);
    EXPECT_EQ(narrow_bits, 3);   // 01 0
    EXPECT_EQ(wide_bits, 33);    // 000 1 0, 25 x 1, 01 0

    auto granule = [](std::uint32_t g, std::uint32_t pairs, int bits) {
        GranuleFields f = gain(g);
        f.big_values = pairs;
        f.part2_3_length = static_cast<std::uint32_t>(bits);
        f.table_select = {1, 1, 1};
        return f;
    };
    auto bits_of = [](const BitWriter& w) {
        std::string code;
        for (std::size_t i = 0; i < w.bit_count(); ++i)
            code.push_back(((w.bytes()[i / 8] >> (7 - i % 8)) & 1) ? '1' : '0');
        return code;
    };
    Spectra s;
    s.first = swap ? granule(gain_one, 27, wide_bits) : granule(gain_one, 1, narrow_bits);
    s.second = swap ? granule(gain_half, 1, narrow_bits) : granule(gain_half, 27, wide_bits);
    BitWriter main;  // granules follow one another bit by bit
    for (int gr = 0; gr < 2; ++gr) {
        main.put_code(bits_of(swap ? wide : narrow));
        main.put_code(bits_of(swap ? narrow : wide));
    }
    s.main = main.bytes();
    return s;
}

}  // namespace

TEST_F(GranuleLoopTest, MidSideMatrixRunsAfterBothHooksAndAlignmentAfterTheMatrix) {
    // With mid/side on the gain position is -global_gain + 2:
    // 212 gives 2^0 = 1.0, 208 gives 2^-1 = 0.5.
    const Spectra s = ms_granules(212, 208, false);
    EXPECT_EQ(feed(build(mpeg1(1, 2), 0, {{s.first, s.second}, {s.first, s.second}}, s.main)), "");
    ASSERT_EQ(observed.calls.size(), 4u);
    const HookCall& g0c0 = observed.calls[0];
    const HookCall& g0c1 = observed.calls[1];
    const HookCall& g1c0 = observed.calls[2];

    EXPECT_EQ(g0c0.values[0], 1);
    EXPECT_EQ(g0c0.subband_end, 1u);
    EXPECT_FLOAT_EQ(g0c0.spectra[0][0], 1.0f);

    // Channel 1's hook: its own values, channel 0 not yet matrixed, and
    // channel 0's record not yet aligned.
    EXPECT_EQ(g0c1.values[0], -1);
    EXPECT_EQ(g0c1.values[1], 1);
    EXPECT_EQ(g0c1.values[52], 1);
    EXPECT_EQ(g0c1.subband_end, 4u);
    EXPECT_EQ(g0c1.earlier_subband_ends, (std::vector<std::uint32_t>{1}));
    EXPECT_FLOAT_EQ(g0c1.spectra[0][0], 1.0f);
    EXPECT_FLOAT_EQ(g0c1.spectra[1][0], -0.5f);
    EXPECT_FLOAT_EQ(g0c1.spectra[1][1], 0.5f);
    EXPECT_FLOAT_EQ(g0c1.spectra[1][52], 0.5f);

    // Granule 1's first hook: granule 0's records both hold the larger
    // subband_end, and channel 1's buffer holds granule 0's difference.
    EXPECT_EQ(g1c0.earlier_subband_ends, (std::vector<std::uint32_t>{4, 4}));
    EXPECT_FLOAT_EQ(g1c0.spectra[1][0], 1.5f);    // 1.0 - (-0.5)
    EXPECT_FLOAT_EQ(g1c0.spectra[1][1], -0.5f);   // 0 - 0.5
    EXPECT_FLOAT_EQ(g1c0.spectra[1][52], -0.5f);
    EXPECT_EQ(g1c0.subband_end, 1u);  // granule 1's own record, not yet aligned

    // After the frame: sum in channel 0, difference in channel 1.
    for (std::size_t i = 0; i < 576; ++i) {
        const float sum = i == 0 ? 0.5f : (i == 1 || i == 52) ? 0.5f : 0.0f;
        const float difference = i == 0 ? 1.5f : (i == 1 || i == 52) ? -0.5f : 0.0f;
        ASSERT_FLOAT_EQ(spectral_buffers[0][i], sum) << i;
        ASSERT_FLOAT_EQ(spectral_buffers[1][i], difference) << i;
    }
    EXPECT_EQ(observed.frames[0].error_flag, 0);
}

TEST_F(GranuleLoopTest, AlignmentCopiesChannelZeroWhenItIsLarger) {
    // The same data with the channels swapped: channel 0 reaches band 10.
    const Spectra s = ms_granules(212, 208, true);
    EXPECT_EQ(feed(build(mpeg1(1, 2), 0, {{s.first, s.second}, {s.first, s.second}}, s.main)), "");
    ASSERT_EQ(observed.calls.size(), 4u);
    EXPECT_EQ(observed.calls[0].subband_end, 4u);
    EXPECT_EQ(observed.calls[1].subband_end, 1u);
    EXPECT_EQ(observed.calls[2].earlier_subband_ends, (std::vector<std::uint32_t>{4, 4}));
    // Channel 0 (gain 1.0 now on the band-10 data): -1, +1, +1 at 52;
    // channel 1 (gain 0.5): +0.5 at line 0.
    EXPECT_FLOAT_EQ(spectral_buffers[0][0], -0.5f);
    EXPECT_FLOAT_EQ(spectral_buffers[1][0], -1.5f);
    EXPECT_FLOAT_EQ(spectral_buffers[0][52], 1.0f);
    EXPECT_FLOAT_EQ(spectral_buffers[1][52], 1.0f);
}

TEST_F(GranuleLoopTest, IntensityOnlyAlignsWithoutTheMatrix) {
    // Without mid/side the position is -global_gain: 210 gives 1.0, 206 gives 0.5.
    const Spectra s = ms_granules(210, 206, false);
    EXPECT_EQ(feed(build(mpeg1(1, 1), 0, {{s.first, s.second}, {s.first, s.second}}, s.main)), "");
    ASSERT_EQ(observed.calls.size(), 4u);
    EXPECT_EQ(observed.calls[1].earlier_subband_ends, (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(observed.calls[2].earlier_subband_ends, (std::vector<std::uint32_t>{4, 4}));
    EXPECT_FLOAT_EQ(observed.calls[2].spectra[1][0], -0.5f);
    EXPECT_FLOAT_EQ(spectral_buffers[0][0], 1.0f);
    EXPECT_FLOAT_EQ(spectral_buffers[1][0], -0.5f);
    EXPECT_FLOAT_EQ(spectral_buffers[1][1], 0.5f);
    EXPECT_FLOAT_EQ(spectral_buffers[1][52], 0.5f);
}

TEST_F(GranuleLoopTest, StereoAndDualChannelNeitherMatrixNorAlign) {
    for (int mode : {0, 2}) {
        observed = {};
        // mode_extension 3 is ignored outside joint stereo.
        const Spectra s = ms_granules(210, 206, false);
        EXPECT_EQ(feed(build(mpeg1(mode, 3), 0, {{s.first, s.second}, {s.first, s.second}}, s.main)), "");
        ASSERT_EQ(observed.calls.size(), 4u) << mode;
        EXPECT_EQ(observed.calls[2].earlier_subband_ends, (std::vector<std::uint32_t>{1, 4})) << mode;
        EXPECT_FLOAT_EQ(spectral_buffers[0][0], 1.0f);
        EXPECT_FLOAT_EQ(spectral_buffers[1][0], -0.5f);
        EXPECT_FLOAT_EQ(spectral_buffers[1][52], 0.5f);
    }
}
