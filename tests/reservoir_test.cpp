// The bit reservoir: main data reaching back into earlier frames, the
// first-frame back-step failure, and the histogram of bytes no frame used.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "bitstream_writer.h"
#include "decoder/decoder.h"

using namespace testing_stream;

namespace {

struct Record {
    std::uint32_t global_gain;
    std::int32_t channel;
    std::vector<std::int16_t> values;
};

struct Seen {
    std::vector<Record> granules;
    std::vector<FrameInfo> frames;
};

thread_local Seen* seen = nullptr;

void on_frame(const FrameInfo* frame, std::uint32_t) { seen->frames.push_back(*frame); }
void on_granule(const GranuleInfo* g, std::uint32_t, std::int32_t channel) {
    seen->granules.push_back({g->global_gain, channel, {g->quantised_values, g->quantised_values + 576}});
}

class ReservoirTest : public testing::Test {
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
    // Feeds the bytes and decodes every complete frame; returns stderr.
    std::string feed(const Bytes& bytes) {
        testing::internal::CaptureStderr();
        int r = dec_decode(*state, bytes.data(), static_cast<std::int32_t>(bytes.size()), output.data(),
                           static_cast<std::int32_t>(output.size()), &done);
        while (r == DEC_OK) r = dec_decode(*state, nullptr, 0, output.data(), static_cast<std::int32_t>(output.size()), &done);
        std::fflush(stderr);
        return testing::internal::GetCapturedStderr();
    }
    std::uint32_t histogram_sum() const {
        return std::accumulate(state->skipped_histogram.begin(), state->skipped_histogram.end(), 0u);
    }
    std::uint32_t count(std::uint8_t value) const { return state->skipped_histogram[value]; }

    std::unique_ptr<DecoderState> state;
    Seen observed;
    std::vector<std::uint8_t> output = std::vector<std::uint8_t>(MIN_OUTPUT_SPACE);
    std::int32_t done = 0;
};

// MPEG-1, 32 kbit/s, 44100 Hz, mono: body 100 bytes, 17 of side information,
// 83 of main data.
const HeaderFields kMono{.version = 1, .layer = 3, .crc = false, .bitrate_index = 1, .frequency_bits = 0,
                         .padding = 0, .mode = 3, .mode_extension = 0};
constexpr std::size_t kMain = 83;

// No big values, count1 table B: consumes exactly part2_3_length bits,
// whatever the bytes hold.
GranuleFields filler(std::uint32_t gain, std::uint32_t part2_3_length) {
    GranuleFields g;
    g.global_gain = gain;
    g.part2_3_length = part2_3_length;
    g.count1table_select = 1;
    return g;
}

// Big-value pairs of table 1 in every region, then nothing.
GranuleFields pairs_granule(std::uint32_t gain, std::uint32_t big_values, std::uint32_t bits) {
    GranuleFields g;
    g.global_gain = gain;
    g.part2_3_length = bits;
    g.big_values = big_values;
    g.table_select = {1, 1, 1};
    return g;
}

Bytes mono_frame(std::uint32_t mdb, const GranuleFields& g0, const GranuleFields& g1, const Bytes& main,
                 std::uint8_t fill = 0) {
    SideInfoFields s;
    s.main_data_begin = mdb;
    s.granule[0][0] = g0;
    s.granule[1][0] = g1;
    EXPECT_LE(main.size(), kMain);
    return frame(kMono, s, main, fill);
}

struct PairStream {
    Bytes bytes;
    std::vector<std::int16_t> values;  // the 2 x pairs values in stream order
    std::uint32_t bits = 0;
};

// Pairs of values -1, 0, 1 in a fixed irregular order, coded with table 1.
PairStream pair_stream(int pairs, int seed) {
    PairStream p;
    BitWriter w;
    for (int i = 0; i < pairs; ++i) {
        const int x = ((i * 7 + seed) % 3) - 1;
        const int y = ((i * 5 + seed * 3 + 1) % 3) - 1;
        p.bits += static_cast<std::uint32_t>(put_pair(w, 1, x, y));
        p.values.push_back(static_cast<std::int16_t>(x));
        p.values.push_back(static_cast<std::int16_t>(y));
    }
    p.bytes = w.bytes();
    return p;
}

std::vector<std::int16_t> padded(std::vector<std::int16_t> v) {
    v.resize(576, 0);
    return v;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace

// ---------------------------------------------------------------------------

TEST_F(ReservoirTest, MainDataSpanningTwoPreviousFramesIsReassembled) {
    // Granule 0 of frame 3 is 288 table-1 pairs, more than the 40 + 83 bytes
    // that frames 1 and 2 hold for it: it starts 40 bytes before the end of
    // frame 1, runs through all of frame 2's main data and ends in frame 3.
    const PairStream p = pair_stream(288, 1);
    ASSERT_GT(p.bits, (40u + kMain) * 8);        // reaches into frame 3's own bytes
    ASSERT_LE(p.bits, (40u + 2 * kMain) * 8);    // and fits there
    Bytes g = p.bytes;
    g.resize((40 + 2 * kMain), 0);

    // Frame 1: 43 filler bytes (0x5A) then the first 40 bytes; its granules use nothing.
    Bytes main1(43, 0x5A);
    main1.insert(main1.end(), g.begin(), g.begin() + 40);
    // Frame 2: back-step 40 (the tail of frame 1), granules use nothing, its
    // 83 main-data bytes are the next part of the stream.
    const Bytes main2 = slice(g, 40, 40 + kMain);
    // Frame 3: back-step 40 + 83 = 123.
    const Bytes main3 = slice(g, 40 + kMain, g.size());
    const Bytes stream = concat({mono_frame(0, filler(1, 0), filler(2, 0), main1),
                                 mono_frame(40, filler(3, 0), filler(4, 0), main2),
                                 mono_frame(123, pairs_granule(123, 288, p.bits), filler(124, 0), main3)});
    EXPECT_EQ(feed(stream), "");  // no overdraw, no back-step complaint
    ASSERT_EQ(observed.frames.size(), 3u);
    EXPECT_EQ(observed.frames[2].main_data_begin, 123);
    EXPECT_EQ(observed.frames[2].error_flag, 0);
    ASSERT_EQ(observed.granules.size(), 6u);
    EXPECT_EQ(observed.granules[4].global_gain, 123u);
    EXPECT_EQ(observed.granules[4].values, p.values);
    EXPECT_EQ(observed.granules[5].global_gain, 124u);
    // Only frame 1's 43 unused bytes were passed over (frame 2 reads from
    // exactly where its own consumed main data ended).
    EXPECT_EQ(count(0x5A), 43u);
    EXPECT_EQ(histogram_sum(), 43u);
}

TEST_F(ReservoirTest, FirstFrameCannotStepBack) {
    const Bytes stream = mono_frame(7, filler(1, 0), filler(2, 0), Bytes(kMain, 0x3C));
    EXPECT_EQ(feed(stream), "Can't step back 7!\n");
    EXPECT_TRUE(observed.granules.empty());
    ASSERT_EQ(observed.frames.size(), 1u);
    EXPECT_EQ(observed.frames[0].main_data_begin, 7);
    EXPECT_EQ(observed.frames[0].error_flag, 0);
    EXPECT_EQ(histogram_sum(), 0u);
    // Its consumed end is just after its side information, so the next
    // frame's back-step of 4 leaves 83 - 4 = 79 of its bytes unused.
    EXPECT_EQ(feed(mono_frame(4, filler(3, 0), filler(4, 0), {})), "");
    EXPECT_EQ(count(0x3C), 79u);
    EXPECT_EQ(histogram_sum(), 79u);
    ASSERT_EQ(observed.granules.size(), 2u);
    EXPECT_EQ(observed.granules[0].global_gain, 3u);
}

TEST_F(ReservoirTest, FirstFrameWithoutBackStepCountsNothing) {
    EXPECT_EQ(feed(mono_frame(0, filler(1, 0), filler(2, 0), Bytes(kMain, 0x3C))), "");
    EXPECT_EQ(observed.granules.size(), 2u);
    EXPECT_EQ(histogram_sum(), 0u);
}

// ---------------------------------------------------------------------------
// Frame 1's granule 0 consumes 584 bits (73 bytes) of its 83 bytes of main
// data, so 10 bytes are left at main-data offsets 73..82.

TEST_F(ReservoirTest, BytesBeforeTheReservoirAreCountedUnderTheirValues) {
    // Frame 2 takes back 4 bytes: the Huffman data of its granule 0.
    BitWriter w;
    int bits = 0;
    bits += put_pair(w, 1, 1, 0);    // 01 0
    bits += put_pair(w, 1, 0, -1);   // 001 1
    bits += put_pair(w, 1, 1, 1);    // 000 0 0
    bits += put_pair(w, 1, -1, 1);   // 000 1 0
    bits += put_pair(w, 1, 0, 0);    // 1
    ASSERT_EQ(bits, 18);
    Bytes huffman = w.bytes();
    huffman.resize(4, 0);
    Bytes main1(73, 0xFF);
    main1.insert(main1.end(), {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5});
    main1.insert(main1.end(), huffman.begin(), huffman.end());
    ASSERT_EQ(main1.size(), kMain);

    const Bytes stream = concat({mono_frame(0, filler(1, 584), filler(2, 0), main1),
                                 mono_frame(4, pairs_granule(3, 5, 18), filler(4, 0), {})});
    EXPECT_EQ(feed(stream), "");
    for (std::uint8_t v = 0xA0; v <= 0xA5; ++v) EXPECT_EQ(count(v), 1u) << int(v);
    EXPECT_EQ(histogram_sum(), 6u);
    ASSERT_EQ(observed.granules.size(), 4u);
    EXPECT_EQ(observed.granules[2].values, padded({1, 0, 0, -1, 1, 1, -1, 1, 0, 0}));
}

TEST_F(ReservoirTest, BackStepEqualToTheLeftoverCountsNothing) {
    Bytes main1(73, 0xFF);
    for (int i = 0; i < 10; ++i) main1.push_back(static_cast<std::uint8_t>(0xB0 + i));
    const Bytes stream = concat({mono_frame(0, filler(1, 584), filler(2, 0), main1),
                                 mono_frame(10, filler(3, 80), filler(4, 0), {})});
    EXPECT_EQ(feed(stream), "");
    EXPECT_EQ(histogram_sum(), 0u);
    EXPECT_EQ(observed.granules.size(), 4u);
}

TEST_F(ReservoirTest, PreviousFrameReadPastTheReservoirStartCountsNothingAndTheBytesAreStillCopied) {
    // Frame 2 takes back 15 bytes: 5 that frame 1's granule 0 already read,
    // and the 10 after them. They hold frame 2's granule-0 pairs.
    const PairStream p = pair_stream(30, 2);
    ASSERT_LE(p.bytes.size(), 15u);
    Bytes huffman = p.bytes;
    huffman.resize(15, 0);
    Bytes main1(68, 0xFF);
    main1.insert(main1.end(), huffman.begin(), huffman.end());
    ASSERT_EQ(main1.size(), kMain);
    const Bytes stream = concat({mono_frame(0, filler(1, 584), filler(2, 0), main1),
                                 mono_frame(15, pairs_granule(3, 30, p.bits), filler(4, 0), {})});
    EXPECT_EQ(feed(stream), "");
    EXPECT_EQ(histogram_sum(), 0u);
    ASSERT_EQ(observed.granules.size(), 4u);
    EXPECT_EQ(observed.granules[2].values, padded(p.values));
}

TEST_F(ReservoirTest, FinishCountsTheBytesBehindTheLastFrame) {
    // Granule 0 consumes 640 bits = 80 bytes; C1 C2 C3 are left.
    Bytes main1(80, 0xFF);
    main1.insert(main1.end(), {0xC1, 0xC2, 0xC3});
    EXPECT_EQ(feed(mono_frame(0, filler(1, 640), filler(2, 0), main1)), "");
    EXPECT_EQ(histogram_sum(), 0u);
    EXPECT_EQ(dec_finish(*state), 0);
    EXPECT_EQ(count(0xC1), 1u);
    EXPECT_EQ(count(0xC2), 1u);
    EXPECT_EQ(count(0xC3), 1u);
    EXPECT_EQ(histogram_sum(), 3u);
}

TEST_F(ReservoirTest, FinishCountsAPartlyReadByteAsConsumed) {
    // 641 bits: byte 80 is partly read and so not counted.
    Bytes main1(80, 0xFF);
    main1.insert(main1.end(), {0xC1, 0xC2, 0xC3});
    feed(mono_frame(0, filler(1, 641), filler(2, 0), main1));
    dec_finish(*state);
    EXPECT_EQ(count(0xC1), 0u);
    EXPECT_EQ(count(0xC2), 1u);
    EXPECT_EQ(count(0xC3), 1u);
    EXPECT_EQ(histogram_sum(), 2u);
}

TEST_F(ReservoirTest, FinishWithoutAnyFrameCountsNothingAndSaysNothing) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(dec_finish(*state), 0);
    std::fflush(stdout);
    std::fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(histogram_sum(), 0u);
}

TEST_F(ReservoirTest, HistogramAccumulatesOverFrames) {
    // Each frame leaves its 83 main-data bytes unused; with back-step 0 every
    // one of them is counted when the next frame (or dec_finish) comes.
    const Bytes stream = concat({mono_frame(0, filler(1, 0), filler(2, 0), Bytes(kMain, 0x11)),
                                 mono_frame(0, filler(3, 0), filler(4, 0), Bytes(kMain, 0x22)),
                                 mono_frame(0, filler(5, 0), filler(6, 0), Bytes(kMain, 0x11))});
    EXPECT_EQ(feed(stream), "");
    EXPECT_EQ(count(0x11), 83u);
    EXPECT_EQ(count(0x22), 83u);
    dec_finish(*state);
    EXPECT_EQ(count(0x11), 166u);
    EXPECT_EQ(histogram_sum(), 249u);
}

// Decision: the bit reader may run past the end of its 2304-byte frame
// buffer (reading zeros there); a consumed end left past the buffer's end
// counts nothing.
TEST_F(ReservoirTest, ConsumedEndPastTheBufferEndCountsNothing) {
    // Frame A (buffer 0): mono, nothing consumed, 83 bytes of 0x5A.
    const Bytes a = mono_frame(0, filler(1, 0), filler(2, 0), Bytes(kMain, 0x5A));
    // Frame B (buffer 1): MPEG-1 320 kbit/s 32000 Hz padded, stereo, body 1437,
    // main data from body offset 32 (buffer offset 544), all zero.
    // Granule 0 of both channels consumes 4095 bits each, so granule 1
    // channel 0 starts 8190 bits on: buffer bit 544 * 8 + 8190 (byte 1567, bit 6).
    // Its 288 pairs use table 23 (tree 16, linbits 13): zero bits decode as
    // the all-zero code of 11 bits, (14, 15), then a sign, 13 zero extension
    // bits and a sign: 26 bits a pair, 7488 in all, ending at byte 2503.
    // Its budget is 100 bits, so it is overdrawn by exactly 7388 bits, as
    // long as every byte past the buffer's end reads as zero.
    const HeaderFields big{.version = 1, .layer = 3, .crc = false, .bitrate_index = 14, .frequency_bits = 2,
                           .padding = 1, .mode = 0, .mode_extension = 0};
    ASSERT_EQ(layer3_body_size(big), 1437);
    SideInfoFields s;
    s.granule[0][0] = filler(10, 4095);
    s.granule[0][1] = filler(11, 4095);
    GranuleFields over;
    over.global_gain = 12;
    over.part2_3_length = 100;
    over.big_values = 288;
    over.table_select = {23, 23, 23};
    s.granule[1][0] = over;
    s.granule[1][1] = filler(13, 0);
    const Bytes b = frame(big, s, {});

    EXPECT_EQ(feed(concat({a, b})), "Can't rewind stream by 7388 bits!\n");
    ASSERT_EQ(observed.frames.size(), 2u);
    EXPECT_EQ(observed.frames[1].error_flag, 1);
    ASSERT_EQ(observed.granules.size(), 4u);  // A's two, B's granule 0
    EXPECT_EQ(observed.granules[3].global_gain, 11u);
    const std::uint8_t* buffer1 = state->frame_buffers[1].data();
    EXPECT_EQ(state->consumed_end - buffer1, 2504);  // bit 20030 of buffer 1, rounded up
    EXPECT_EQ(count(0x5A), 83u);  // A's bytes, counted when B came
    EXPECT_EQ(histogram_sum(), 83u);

    // dec_finish: B's consumed end lies past the buffer's end, nothing more.
    EXPECT_EQ(dec_finish(*state), 0);
    EXPECT_EQ(histogram_sum(), 83u);
}

TEST_F(ReservoirTest, FrameAfterAConsumedEndPastTheBufferEndCountsNothing) {
    const Bytes a = mono_frame(0, filler(1, 0), filler(2, 0), Bytes(kMain, 0x5A));
    const HeaderFields big{.version = 1, .layer = 3, .crc = false, .bitrate_index = 14, .frequency_bits = 2,
                           .padding = 1, .mode = 0, .mode_extension = 0};
    SideInfoFields s;
    s.granule[0][0] = filler(10, 4095);
    s.granule[0][1] = filler(11, 4095);
    GranuleFields over;
    over.part2_3_length = 100;
    over.big_values = 288;
    over.table_select = {23, 23, 23};
    s.granule[1][0] = over;
    const Bytes b = frame(big, s, {});
    const Bytes c = mono_frame(0, filler(20, 0), filler(21, 0), Bytes(kMain, 0x6B));
    EXPECT_EQ(feed(concat({a, b, c})), "Can't rewind stream by 7388 bits!\n");
    ASSERT_EQ(observed.frames.size(), 3u);
    EXPECT_EQ(observed.frames[2].error_flag, 0);
    EXPECT_EQ(histogram_sum(), 83u);  // only A's, when B came
    dec_finish(*state);
    EXPECT_EQ(count(0x6B), 83u);
    EXPECT_EQ(histogram_sum(), 166u);
}
