// gainscan::Decoder as a library user meets it: the same events whatever
// the chunking, offsets that point at the frame's sync word, slots that
// follow the hiding layout, and a decoder that can be moved mid-stream.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gainscan/decoder.h"

namespace {

struct Seen {
    std::int64_t frame_index;
    std::uint64_t offset;
    int granule, channel;
    std::int64_t slot;
    std::uint32_t global_gain, spectrum_end;
    double energy;
    bool operator==(const Seen&) const = default;
};

struct Recorder final : gainscan::DecoderObserver, gainscan::MessageSink {
    std::vector<Seen> granules;
    std::vector<gainscan::FrameEvent> frames;
    std::vector<std::string> messages;
    void on_granule(const gainscan::GranuleEvent& e) override {
        double energy = 0;
        for (float v : e.spectrum) energy += static_cast<double>(v) * v;
        granules.push_back(Seen{e.frame_index, e.frame_offset, e.granule, e.channel, e.slot, e.side_info.global_gain,
                                e.spectrum_end, energy});
    }
    void on_frame(const gainscan::FrameEvent& e) override { frames.push_back(e); }
    void message(gainscan::Stream, std::string_view text) override { messages.emplace_back(text); }
};

std::vector<std::uint8_t> fixture(const std::string& name) {
    std::ifstream file(std::string(GAINSCAN_FIXTURES) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Feeds `bytes` in pieces of `chunk` bytes (0: all at once), decoding every
// frame each piece completes.
void decode(gainscan::Decoder& decoder, const std::vector<std::uint8_t>& bytes, std::size_t chunk,
            std::size_t from = 0, std::size_t to = SIZE_MAX) {
    if (chunk == 0) chunk = bytes.size();
    for (std::size_t at = from; at < bytes.size() && at < to; at += chunk) {
        const std::size_t n = std::min({chunk, bytes.size() - at, to - at});
        gainscan::Step step = decoder.feed(std::span(bytes.data() + at, n));
        while (step == gainscan::Step::frame) step = decoder.next();
        ASSERT_NE(step, gainscan::Step::error);
    }
}

Recorder run(const std::vector<std::uint8_t>& bytes, std::size_t chunk) {
    Recorder seen;
    gainscan::Decoder decoder;
    decoder.set_observer(&seen);
    decoder.set_message_sink(&seen);
    decode(decoder, bytes, chunk);
    decoder.finish();
    return seen;
}

const char* const FILES[] = {
    "m1_44100_stereo_cbr64_2s.mp3", "m1_44100_joint_vbr2.mp3",   "m2_22050_dual_cbr64.mp3",
    "m25_8000_mono_cbr8.mp3",       "junk_between_frames.mp3",   "spliced_layer2.mp3",
    "truncated_last_frame.mp3",     "m1_44100_joint_crc_cbr128.mp3",
};

TEST(DecoderSession, SameEventsWhateverTheChunking) {
    for (const char* name : FILES) {
        SCOPED_TRACE(name);
        const std::vector<std::uint8_t> bytes = fixture(name);
        const Recorder whole = run(bytes, 0);
        ASSERT_FALSE(whole.granules.empty());
        for (std::size_t chunk : {1, 7, 413, 16385}) {
            SCOPED_TRACE(chunk);
            const Recorder parts = run(bytes, chunk);
            EXPECT_EQ(parts.granules, whole.granules);
            EXPECT_EQ(parts.frames.size(), whole.frames.size());
            EXPECT_EQ(parts.messages, whole.messages);
        }
    }
}

TEST(DecoderSession, OffsetsPointAtTheFrameHeaderAndSlotsFollowTheLayout) {
    for (const char* name : FILES) {
        SCOPED_TRACE(name);
        const std::vector<std::uint8_t> bytes = fixture(name);
        const Recorder seen = run(bytes, 413);
        std::int64_t base = 0;
        std::size_t g = 0;
        for (const gainscan::FrameEvent& f : seen.frames) {
            ASSERT_LT(f.offset + 1, bytes.size());
            EXPECT_EQ(bytes[f.offset], 0xFF);
            EXPECT_EQ(bytes[f.offset + 1] & 0xE0, 0xE0);
            const int granules = f.header.version == gainscan::MpegVersion::mpeg1 ? 2 : 1;
            for (; g < seen.granules.size() && seen.granules[g].frame_index == f.frame_index; ++g) {
                const Seen& s = seen.granules[g];
                EXPECT_EQ(s.offset, f.offset);
                EXPECT_LT(s.granule, granules);
                EXPECT_LT(s.channel, f.header.channels);
                EXPECT_EQ(s.slot, base + s.granule * f.header.channels + s.channel);
            }
            if (f.header.layer == 3) base += granules * f.header.channels;
        }
        EXPECT_EQ(g, seen.granules.size());  // every granule belongs to a reported frame
    }
}

TEST(DecoderSession, MovedMidStreamGoesOnWhereItWas) {
    const std::vector<std::uint8_t> bytes = fixture("m1_44100_joint_vbr2.mp3");
    const Recorder expected = run(bytes, 1000);
    Recorder seen;
    gainscan::Decoder first;
    first.set_observer(&seen);
    decode(first, bytes, 1000, 0, 5000);
    gainscan::Decoder second(std::move(first));
    gainscan::Decoder third;
    third = std::move(second);
    decode(third, bytes, 1000, 5000);
    third.finish();
    EXPECT_EQ(seen.granules, expected.granules);
    EXPECT_EQ(third.bytes_fed(), bytes.size());
}

TEST(DecoderSession, ResetStartsAFreshStream) {
    const std::vector<std::uint8_t> bytes = fixture("m2_22050_dual_cbr64.mp3");
    const Recorder expected = run(bytes, 0);
    Recorder seen;
    gainscan::Decoder decoder;
    decoder.set_observer(&seen);
    decode(decoder, bytes, 0, 0, bytes.size() / 2);
    decoder.reset();
    seen.granules.clear();
    decode(decoder, bytes, 0);
    EXPECT_EQ(seen.granules, expected.granules);
    EXPECT_EQ(decoder.frames(), static_cast<std::int64_t>(expected.frames.size()));
}

TEST(DecoderSession, NotMpegAudioGivesNoEventsAndNoError) {
    std::vector<std::uint8_t> text(5000);
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>("RIFF text, not audio "[i % 21]);
    const Recorder seen = run(text, 0);
    EXPECT_TRUE(seen.granules.empty());
    EXPECT_TRUE(seen.frames.empty());
}

}  // namespace
