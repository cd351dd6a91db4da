// dec_decode's input chain: header search across chunks, awaiting bodies,
// the skipped-byte counters, output-space check, hook slots, Layer I/II and
// free-format headers, CRC, dec_finish, and that the way the stream is cut
// into chunks changes nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bitstream_writer.h"
#include "decoder/decoder.h"

using namespace testing_stream;

namespace {

struct GranuleRecord {
    std::uint32_t global_gain;
    std::int32_t channel;
    std::uint32_t part2_3_length;
    std::int16_t first_value;
};

struct Recorder {
    std::vector<std::string> events;  // frames and granules in call order
    std::vector<FrameInfo> frames;
    std::vector<GranuleRecord> granules;
    std::vector<std::uint32_t> user_words;
};

thread_local Recorder* recorder = nullptr;
thread_local DecoderState* hook_state = nullptr;

std::string describe(const FrameInfo& f) {
    std::ostringstream s;
    s << "frame ch=" << f.channels << " lsf=" << f.lsf_flag << " m25=" << f.mpeg25_flag << " layer=" << f.layer
      << " crc=" << f.crc_present << " br=" << f.bitrate_index << " si=" << f.sampling_index
      << " pad=" << f.padding_bit << " priv=" << f.private_bit << " mode=" << f.mode << " ext=" << f.mode_extension
      << " copy=" << f.copyright << " orig=" << f.original << " emph=" << f.emphasis << " size=" << f.frame_size
      << " skipped=" << f.skipped_bytes << " mdb=" << f.main_data_begin << " err=" << f.error_flag << " word=0x"
      << std::hex << f.header_word << std::dec << " ghook=" << (f.granule_hook != nullptr) << " user=" << f.user_data;
    return s.str();
}

void on_frame(const FrameInfo* frame, std::uint32_t user_data) {
    recorder->frames.push_back(*frame);
    recorder->events.push_back(describe(*frame));
    recorder->user_words.push_back(user_data);
}

void on_granule(const GranuleInfo* g, std::uint32_t, std::int32_t channel) {
    recorder->granules.push_back({g->global_gain, channel, g->part2_3_length, g->quantised_values[0]});
    recorder->events.push_back("granule gain=" + std::to_string(g->global_gain) + " ch=" + std::to_string(channel) +
                               " p23=" + std::to_string(g->part2_3_length));
}

void clearing_frame_hook(const FrameInfo* frame, std::uint32_t user_data) {
    on_frame(frame, user_data);
    hook_state->frame_hook = nullptr;
}

// One decoder with both recording hooks; released on destruction.
class Decoder {
public:
    Decoder() : state_(std::make_unique<DecoderState>()) {
        dec_init(*state_);
        state_->frame_hook = on_frame;
        state_->granule_hook = on_granule;
        state_->user_data = 0x5EED;
        recorder = &rec;
        hook_state = state_.get();
    }
    ~Decoder() {
        dec_release(*state_);
        recorder = nullptr;
        hook_state = nullptr;
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    int call(const Bytes& chunk) {
        return dec_decode(*state_, chunk.data(), static_cast<std::int32_t>(chunk.size()), output.data(),
                          static_cast<std::int32_t>(output.size()), &done);
    }
    int call_null() {
        return dec_decode(*state_, nullptr, 12345, output.data(), static_cast<std::int32_t>(output.size()), &done);
    }
    // The chunk, then null input for as long as frames come; the results in order.
    std::vector<int> feed(const Bytes& chunk) {
        std::vector<int> results{call(chunk)};
        while (results.back() == DEC_OK) results.push_back(call_null());
        return results;
    }
    DecoderState& state() { return *state_; }
    std::uint32_t histogram_sum() const {
        return std::accumulate(state_->skipped_histogram.begin(), state_->skipped_histogram.end(), 0u);
    }

    Recorder rec;
    std::vector<std::uint8_t> output = std::vector<std::uint8_t>(MIN_OUTPUT_SPACE);
    std::int32_t done = -1;

private:
    std::unique_ptr<DecoderState> state_;
};

// A granule with no big values whose count1 data (table B) is cut off by
// its budget: it consumes exactly part2_3_length bits whatever the bytes are.
GranuleFields granule(std::uint32_t gain, std::uint32_t part2_3_length) {
    GranuleFields g;
    g.global_gain = gain;
    g.part2_3_length = part2_3_length;
    g.count1table_select = 1;
    return g;
}

Bytes pattern(std::size_t n, int seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + (i >> 3));
    return b;
}

Bytes word_bytes(std::uint32_t w) {
    return {static_cast<std::uint8_t>(w >> 24), static_cast<std::uint8_t>(w >> 16), static_cast<std::uint8_t>(w >> 8),
            static_cast<std::uint8_t>(w)};
}

// Side information for `channels` channels, granules in stream order
// (gr0 ch0, gr0 ch1, gr1 ch0, gr1 ch1), followed by main data, padded to body_size.
Bytes body(bool lsf, int channels, std::uint32_t mdb, const std::vector<GranuleFields>& granules,
           const Bytes& main_data, std::size_t body_size, std::uint8_t fill = 0) {
    SideInfoFields s;
    s.main_data_begin = mdb;
    std::size_t i = 0;
    for (std::size_t gr = 0; gr < (lsf ? 1u : 2u); ++gr)
        for (std::size_t ch = 0; ch < static_cast<std::size_t>(channels); ++ch) s.granule[gr][ch] = granules.at(i++);
    BitWriter w;
    put_side_info(w, s, lsf, channels);
    w.put_bytes(main_data);
    Bytes b = w.bytes();
    b.resize(body_size, fill);
    return b;
}

// A Layer III frame with the given header fields.
Bytes l3_frame(const HeaderFields& h, std::uint32_t mdb, const std::vector<GranuleFields>& granules,
               const Bytes& main_data = {}, std::uint8_t fill = 0) {
    const bool lsf = h.version != 1;
    const int channels = h.mode == 3 ? 1 : 2;
    Bytes f = word_bytes(header_word(h));
    if (h.crc) f.insert(f.end(), {0xBE, 0xEF});
    const std::size_t side = static_cast<std::size_t>(side_info_bytes(lsf, channels));
    const std::size_t size = static_cast<std::size_t>(layer3_body_size(h)) - (h.crc ? 2 : 0);
    const Bytes b = body(lsf, channels, mdb, granules, main_data, size, fill);
    EXPECT_GE(size, side);
    f.insert(f.end(), b.begin(), b.end());
    return f;
}

const HeaderFields kStereo128{.version = 1, .layer = 3, .crc = false, .bitrate_index = 9, .frequency_bits = 0,
                              .padding = 0, .mode = 0, .mode_extension = 0};  // body 413
const HeaderFields kMono32{.version = 1, .layer = 3, .crc = false, .bitrate_index = 1, .frequency_bits = 0,
                           .padding = 0, .mode = 3, .mode_extension = 0};  // body 100

Bytes stereo_frame(std::uint32_t first_gain, std::uint32_t mdb = 0) {
    return l3_frame(kStereo128, mdb,
                    {granule(first_gain, 0), granule(first_gain + 1, 0), granule(first_gain + 2, 0),
                     granule(first_gain + 3, 0)});
}

Bytes mono_frame(std::uint32_t first_gain, std::uint32_t mdb = 0) {
    return l3_frame(kMono32, mdb, {granule(first_gain, 0), granule(first_gain + 1, 0)});
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

std::vector<std::uint32_t> gains(const Recorder& r) {
    std::vector<std::uint32_t> g;
    for (const auto& rec : r.granules) g.push_back(rec.global_gain);
    return g;
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(InputChainSearchTest, ThreeBytesThenNullInputNeedMoreTwice) {
    Decoder d;
    EXPECT_EQ(d.call({0xFF, 0xFB, 0x90}), DEC_NEED_MORE);
    EXPECT_EQ(d.state().bytes_buffered, 3);
    EXPECT_EQ(d.state().header_candidate, 0u);  // nothing shifted yet
    EXPECT_EQ(d.state().skipped_total, 0);
    EXPECT_EQ(d.call_null(), DEC_NEED_MORE);
    EXPECT_EQ(d.state().bytes_buffered, 3);
    EXPECT_EQ(d.state().header_candidate, 0u);
    // The fourth byte completes the header; the search then sees all four.
    EXPECT_EQ(d.call({0x00}), DEC_NEED_MORE);  // header found, body awaited
    EXPECT_EQ(d.state().pending_frame_size, 413);
    EXPECT_EQ(d.state().header_candidate, 0xFFFB9000u);
    EXPECT_TRUE(d.rec.events.empty());
}

TEST(InputChainSearchTest, ChunkWithoutHeaderIsConsumedWholeAndNoHookRuns) {
    Decoder d;
    // 0xFF bytes that never meet three set bits after them.
    Bytes junk;
    for (int i = 0; i < 25; ++i) junk.insert(junk.end(), {0xFF, static_cast<std::uint8_t>(i)});
    EXPECT_EQ(d.call(junk), DEC_NEED_MORE);
    EXPECT_EQ(d.state().bytes_buffered, 0);
    EXPECT_EQ(d.state().skipped_total, 50);
    EXPECT_EQ(d.state().frame.skipped_bytes, 50);
    EXPECT_EQ(d.state().header_candidate, 0xFF17FF18u);  // the last four bytes
    EXPECT_TRUE(d.rec.events.empty());
    EXPECT_EQ(d.call_null(), DEC_NEED_MORE);
    EXPECT_EQ(d.state().skipped_total, 50);
}

TEST(InputChainSearchTest, HeaderSplitAcrossChunksIsFound) {
    Decoder d;
    const Bytes frame = stereo_frame(100);
    // 6 junk bytes and the first two header bytes end chunk 1.
    const Bytes first = concat({{1, 2, 3, 4, 5, 6}, slice(frame, 0, 2)});
    EXPECT_EQ(d.call(first), DEC_NEED_MORE);
    EXPECT_EQ(d.state().bytes_buffered, 0);
    EXPECT_EQ(d.state().header_candidate, 0x0506FFFBu);
    // Two more bytes: under the 4-byte minimum, so no search yet.
    EXPECT_EQ(d.call(slice(frame, 2, 4)), DEC_NEED_MORE);
    EXPECT_EQ(d.state().bytes_buffered, 2);
    EXPECT_EQ(d.state().pending_frame_size, 0);
    EXPECT_EQ(d.call(slice(frame, 4, frame.size())), DEC_OK);
    ASSERT_EQ(d.rec.frames.size(), 1u);
    EXPECT_EQ(d.rec.frames[0].header_word, 0xFFFB9000u);
    EXPECT_EQ(d.rec.frames[0].skipped_bytes, 6);
    EXPECT_EQ(d.state().skipped_total, 6);
    EXPECT_EQ(gains(d.rec), (std::vector<std::uint32_t>{100, 101, 102, 103}));
}

TEST(InputChainSearchTest, BodyAwaitedAcrossManyChunks) {
    Decoder d;
    const Bytes frame = stereo_frame(40);
    ASSERT_EQ(frame.size(), 417u);
    EXPECT_EQ(d.call(slice(frame, 0, 17)), DEC_NEED_MORE);  // header and 13 body bytes
    EXPECT_EQ(d.state().pending_frame_size, 413);
    EXPECT_EQ(d.state().bytes_buffered, 13);
    std::size_t at = 17;
    int chunks = 0;
    while (at + 10 < frame.size()) {
        EXPECT_EQ(d.call(slice(frame, at, at + 10)), DEC_NEED_MORE) << at;
        at += 10;
        ++chunks;
        EXPECT_EQ(d.state().bytes_buffered, static_cast<std::int32_t>(at - 4));
        EXPECT_EQ(d.state().pending_frame_size, 413);
        EXPECT_EQ(d.state().skipped_total, 0);  // no further search
    }
    EXPECT_EQ(chunks, 39);
    EXPECT_TRUE(d.rec.events.empty());
    EXPECT_EQ(d.call(slice(frame, at, frame.size())), DEC_OK);
    EXPECT_EQ(d.state().bytes_buffered, 0);
    EXPECT_EQ(d.state().pending_frame_size, 0);
    EXPECT_EQ(d.state().prev_frame_size, 413);
    EXPECT_EQ(d.state().oldest_chunk, nullptr);  // every chunk dropped
    ASSERT_EQ(d.rec.frames.size(), 1u);
    EXPECT_EQ(gains(d.rec), (std::vector<std::uint32_t>{40, 41, 42, 43}));
}

TEST(InputChainSearchTest, SkippedBytesPerFrameAndInTotal) {
    Decoder d;
    const Bytes junk10 = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A};
    const auto results = d.feed(concat({stereo_frame(1), junk10, stereo_frame(5), stereo_frame(9)}));
    EXPECT_EQ(results, (std::vector<int>{DEC_OK, DEC_OK, DEC_OK, DEC_NEED_MORE}));
    ASSERT_EQ(d.rec.frames.size(), 3u);
    EXPECT_EQ(d.rec.frames[0].skipped_bytes, 0);
    EXPECT_EQ(d.rec.frames[1].skipped_bytes, 10);
    EXPECT_EQ(d.rec.frames[2].skipped_bytes, 0);
    EXPECT_EQ(d.state().skipped_total, 10);
    EXPECT_EQ(d.state().frame.skipped_bytes, 0);  // reset after each frame
}

// The header window is not cleared after a frame: the previous header's last
// bytes and the first new bytes can form a header, so skipped_bytes goes
// negative. A Layer III header can lend only its last byte (0xFF needs mode 3,
// mode_extension 3, copyright, original, emphasis 3): skipped -1. A Layer I
// header (second byte 0xFF) lends three: skipped -3. A two-byte overlap would
// need a third header byte of 0xFF, which is bitrate 15 and never plausible.
TEST(InputChainSearchTest, OverlappingHeaderLendsItsLastByte) {
    Decoder d;
    Bytes first = mono_frame(10);
    first[3] |= 0x3F;  // FF FB 10 C0 -> FF FB 10 FF: mode_extension 3, copyright, original, emphasis 3
    ASSERT_EQ(first[3], 0xFF);
    const Bytes second = stereo_frame(20);  // FF FB 90 00 ...
    // The second frame arrives without its first byte: that 0xFF is the
    // previous header's last byte, still in the window.
    const auto results = d.feed(concat({first, slice(second, 1, second.size())}));
    EXPECT_EQ(results, (std::vector<int>{DEC_OK, DEC_OK, DEC_NEED_MORE}));
    ASSERT_EQ(d.rec.frames.size(), 2u);
    EXPECT_EQ(d.rec.frames[0].skipped_bytes, 0);
    EXPECT_EQ(d.rec.frames[0].header_word, 0xFFFB10FFu);
    EXPECT_EQ(d.rec.frames[1].header_word, 0xFFFB9000u);
    EXPECT_EQ(d.rec.frames[1].skipped_bytes, -1);  // 3 bytes shifted, minus 4
    EXPECT_EQ(d.state().skipped_total, -1);
    EXPECT_EQ(gains(d.rec), (std::vector<std::uint32_t>{10, 11, 20, 21, 22, 23}));
}

TEST(InputChainSearchTest, OverlappingHeaderLendsThreeBytesAfterLayerOne) {
    Decoder d;
    // A Layer III frame (body 100), then a Layer I header FF FF E3 18 whose
    // body is taken as 100 bytes, then C0: FF E3 18 C0 is an MPEG-2.5 Layer
    // III header (8 kbit/s, 8000 Hz, mono, body 68).
    const Bytes layer1_body = body(false, 2, 0, {granule(30, 0), granule(31, 0), granule(32, 0), granule(33, 0)}, {}, 100);
    const HeaderFields m25{.version = 25, .layer = 3, .crc = false, .bitrate_index = 1, .frequency_bits = 2,
                           .padding = 0, .mode = 3, .mode_extension = 0};
    const Bytes m25_frame = l3_frame(m25, 0, {granule(40, 0)});
    ASSERT_EQ(header_word(m25), 0xFFE318C0u);
    ASSERT_EQ(m25_frame.size(), 72u);
    testing::internal::CaptureStderr();
    const auto results =
        d.feed(concat({mono_frame(10), {0xFF, 0xFF, 0xE3, 0x18}, layer1_body, slice(m25_frame, 3, 72)}));
    std::fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not supported! (@common, Layer 1)\n");
    EXPECT_EQ(results, (std::vector<int>{DEC_OK, DEC_OK, DEC_OK, DEC_NEED_MORE}));
    ASSERT_EQ(d.rec.frames.size(), 3u);
    EXPECT_EQ(d.rec.frames[1].layer, 1);
    EXPECT_EQ(d.rec.frames[1].skipped_bytes, 0);
    EXPECT_EQ(d.rec.frames[2].header_word, 0xFFE318C0u);
    EXPECT_EQ(d.rec.frames[2].frame_size, 68);
    EXPECT_EQ(d.rec.frames[2].skipped_bytes, -3);  // 1 byte shifted, minus 4
    EXPECT_EQ(d.state().skipped_total, -3);
    EXPECT_EQ(gains(d.rec), (std::vector<std::uint32_t>{10, 11, 30, 31, 32, 33, 40}));
}

// ---------------------------------------------------------------------------

TEST(InputChainOutputTest, OutputSpaceBelow4608IsRefusedAndInputNotAppended) {
    Decoder d;
    const Bytes frame = stereo_frame(7);
    testing::internal::CaptureStderr();
    const int r = dec_decode(d.state(), frame.data(), static_cast<std::int32_t>(frame.size()), d.output.data(), 4607,
                             &d.done);
    std::fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "To less out space\n");
    EXPECT_EQ(r, DEC_ERROR);
    EXPECT_EQ(d.state().bytes_buffered, 0);
    EXPECT_EQ(d.state().oldest_chunk, nullptr);
    EXPECT_EQ(d.done, -1);
    EXPECT_TRUE(d.rec.events.empty());
}

TEST(InputChainOutputTest, OutputSpaceOf4608IsAcceptedAndNeverWritten) {
    Decoder d;
    std::fill(d.output.begin(), d.output.end(), 0xEE);
    const Bytes frame = stereo_frame(7);
    testing::internal::CaptureStderr();
    const int r = dec_decode(d.state(), frame.data(), static_cast<std::int32_t>(frame.size()), d.output.data(), 4608,
                             &d.done);
    std::fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(r, DEC_OK);
    EXPECT_EQ(d.done, 0);
    EXPECT_EQ(d.rec.frames.size(), 1u);
    for (std::uint8_t b : d.output) ASSERT_EQ(b, 0xEE);
}

// ---------------------------------------------------------------------------

TEST(InputChainHookTest, FrameHookClearingItselfRunsOnceAndTheFrameCompletes) {
    Decoder d;
    d.state().frame_hook = clearing_frame_hook;
    const auto results = d.feed(concat({stereo_frame(10), stereo_frame(20), stereo_frame(30)}));
    EXPECT_EQ(results, (std::vector<int>{DEC_OK, DEC_OK, DEC_OK, DEC_NEED_MORE}));
    ASSERT_EQ(d.rec.frames.size(), 1u);
    EXPECT_EQ(d.rec.frames[0].frame_size, 413);
    EXPECT_EQ(d.state().frame_hook, nullptr);
    EXPECT_EQ(d.state().prev_frame_size, 413);
    // The granule hook keeps running for every frame.
    EXPECT_EQ(gains(d.rec), (std::vector<std::uint32_t>{10, 11, 12, 13, 20, 21, 22, 23, 30, 31, 32, 33}));
}

TEST(InputChainHookTest, UserDataAndGranuleHookAreCopiedIntoTheFrame) {
    Decoder d;
    d.state().user_data = 0xCAFE;
    d.feed(stereo_frame(10));
    ASSERT_EQ(d.rec.frames.size(), 1u);
    EXPECT_EQ(d.rec.user_words[0], 0xCAFEu);
    EXPECT_EQ(d.rec.frames[0].user_data, 0xCAFEu);
    EXPECT_EQ(d.rec.frames[0].granule_hook, &on_granule);
    // Without a granule hook the frame still decodes and reports.
    d.state().granule_hook = nullptr;
    d.feed(stereo_frame(20));
    ASSERT_EQ(d.rec.frames.size(), 2u);
    EXPECT_EQ(d.rec.frames[1].granule_hook, nullptr);
    EXPECT_EQ(d.rec.granules.size(), 4u);
}

// ---------------------------------------------------------------------------

TEST(InputChainLayerTest, LayerTwoAfterLayerThreeTakesTheLastLayerThreeFrameSize) {
    Decoder d;
    // FF FD 90 C0: MPEG-1 Layer II, 128 kbit/s, mono. Its body is taken as
    // the 100 bytes of the last Layer III frame and read as Layer III.
    const HeaderFields layer2{.version = 1, .layer = 2, .crc = false, .bitrate_index = 9, .frequency_bits = 0,
                              .padding = 0, .mode = 3, .mode_extension = 0};
    ASSERT_EQ(header_word(layer2), 0xFFFD90C0u);
    const Bytes layer2_body = body(false, 1, 0, {granule(60, 0), granule(61, 0)}, {}, 100);
    testing::internal::CaptureStderr();
    const auto results =
        d.feed(concat({mono_frame(10), mono_frame(20), word_bytes(0xFFFD90C0u), layer2_body, mono_frame(30)}));
    std::fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not supported! (@common, Layer 2)\n");
    EXPECT_EQ(results, (std::vector<int>{DEC_OK, DEC_OK, DEC_OK, DEC_OK, DEC_NEED_MORE}));
    ASSERT_EQ(d.rec.frames.size(), 4u);
    const FrameInfo& f = d.rec.frames[2];
    EXPECT_EQ(f.layer, 2);
    EXPECT_EQ(f.header_word, 0xFFFD90C0u);
    EXPECT_EQ(f.bitrate_index, 9);
    EXPECT_EQ(f.channels, 1);
    EXPECT_EQ(f.frame_size, 100);
    EXPECT_EQ(f.skipped_bytes, 0);
    // The next frame starts right after the 100 borrowed bytes.
    EXPECT_EQ(d.rec.frames[3].skipped_bytes, 0);
    EXPECT_EQ(d.rec.frames[3].layer, 3);
    EXPECT_EQ(d.state().skipped_total, 0);
    EXPECT_EQ(gains(d.rec), (std::vector<std::uint32_t>{10, 11, 20, 21, 60, 61, 30, 31}));
}

TEST(InputChainLayerTest, LayerTwoFirstCopiesNothingAndLeavesPreviousFrameSizeZero) {
    Decoder d;
    testing::internal::CaptureStderr();
    // Nothing is copied for the Layer II frame; its stages read the zeroed
    // buffer (main_data_begin 0, all-zero mono side information).
    const auto results = d.feed(word_bytes(0xFFFD90C0u));
    EXPECT_EQ(results, (std::vector<int>{DEC_OK, DEC_NEED_MORE}));
    ASSERT_EQ(d.rec.frames.size(), 1u);
    EXPECT_EQ(d.rec.frames[0].layer, 2);
    EXPECT_EQ(d.rec.frames[0].frame_size, 0);
    EXPECT_EQ(d.state().prev_frame_size, 0);
    EXPECT_EQ(gains(d.rec), (std::vector<std::uint32_t>{0, 0}));
    // The next search starts right behind the header. A previous size of 0 is
    // not negative, so a back-step of 3 is allowed (it reads the lead-in).
    d.feed(mono_frame(50, 3));
    std::fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not supported! (@common, Layer 2)\n");
    ASSERT_EQ(d.rec.frames.size(), 2u);
    EXPECT_EQ(d.rec.frames[1].skipped_bytes, 0);
    EXPECT_EQ(d.rec.frames[1].main_data_begin, 3);
    EXPECT_EQ(gains(d.rec), (std::vector<std::uint32_t>{0, 0, 50, 51}));
    EXPECT_EQ(d.state().prev_frame_size, 100);
}

TEST(InputChainLayerTest, LayerOneFirstBehavesTheSame) {
    Decoder d;
    testing::internal::CaptureStderr();
    const auto results = d.feed(concat({word_bytes(0xFFFF9000u), stereo_frame(70)}));
    std::fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not supported! (@common, Layer 1)\n");
    EXPECT_EQ(results, (std::vector<int>{DEC_OK, DEC_OK, DEC_NEED_MORE}));
    ASSERT_EQ(d.rec.frames.size(), 2u);
    EXPECT_EQ(d.rec.frames[0].layer, 1);
    EXPECT_EQ(d.rec.frames[0].frame_size, 0);
    EXPECT_EQ(d.rec.frames[0].channels, 2);
    EXPECT_EQ(d.rec.frames[1].frame_size, 413);
    EXPECT_EQ(gains(d.rec), (std::vector<std::uint32_t>{0, 0, 0, 0, 70, 71, 72, 73}));
}

TEST(InputChainLayerTest, FreeFormatLeavesPreviousFrameSizeNegative) {
    for (int padding : {0, 1}) {
        Decoder d;
        // FF FB 00 C0 (or FF FB 02 C0): free format, mono; body size padding - 4.
        const std::uint32_t word = 0xFFFB00C0u | (static_cast<std::uint32_t>(padding) << 9);
        testing::internal::CaptureStderr();
        auto results = d.feed(word_bytes(word));
        EXPECT_EQ(results, (std::vector<int>{DEC_OK, DEC_NEED_MORE}));
        ASSERT_EQ(d.rec.frames.size(), 1u);
        EXPECT_EQ(d.rec.frames[0].frame_size, padding - 4);
        EXPECT_EQ(d.rec.frames[0].bitrate_index, 0);
        EXPECT_EQ(d.state().prev_frame_size, padding - 4);
        EXPECT_EQ(d.state().bytes_buffered, 0);
        // The next frame's back-step of 5 cannot be taken.
        results = d.feed(mono_frame(20, 5));
        std::fflush(stderr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Can't step back 5!\n");
        EXPECT_EQ(results, (std::vector<int>{DEC_OK, DEC_NEED_MORE}));
        ASSERT_EQ(d.rec.frames.size(), 2u);
        EXPECT_EQ(d.rec.frames[1].skipped_bytes, 0);
        EXPECT_EQ(d.rec.frames[1].main_data_begin, 5);
        EXPECT_EQ(d.rec.frames[1].error_flag, 0);
        EXPECT_EQ(gains(d.rec), (std::vector<std::uint32_t>{0, 0}));  // only the free-format frame's
        EXPECT_EQ(d.state().prev_frame_size, 100);
    }
}

TEST(InputChainLayerTest, CrcWordIsSteppedOverBeforeTheSideInformation) {
    Decoder d;
    HeaderFields h = kStereo128;
    h.crc = true;
    // gr0 ch0 holds one big-value pair (1, 0) of table 1: "01" and a plus sign.
    GranuleFields g = granule(0x21, 3);
    g.big_values = 1;
    g.table_select = {1, 1, 1};
    BitWriter main;
    ASSERT_EQ(put_pair(main, 1, 1, 0), 3);
    const Bytes frame = l3_frame(h, 0, {g, granule(0x22, 0), granule(0x23, 0), granule(0x24, 0)}, main.bytes());
    ASSERT_EQ(frame[4], 0xBE);
    ASSERT_EQ(frame[5], 0xEF);
    d.feed(frame);
    ASSERT_EQ(d.rec.frames.size(), 1u);
    EXPECT_EQ(d.rec.frames[0].crc_present, 1);
    EXPECT_EQ(d.rec.frames[0].error_flag, 0);
    ASSERT_EQ(d.rec.granules.size(), 4u);
    EXPECT_EQ(gains(d.rec), (std::vector<std::uint32_t>{0x21, 0x22, 0x23, 0x24}));
    EXPECT_EQ(d.rec.granules[0].part2_3_length, 3u);
    EXPECT_EQ(d.rec.granules[0].first_value, 1);
    // Main data begins at body byte 2 + 32; 3 bits consumed.
    EXPECT_EQ(d.state().consumed_end - d.state().frame_buffers[0].data(), 512 + 34 + 1);
}

TEST(InputChainFinishTest, FinishAfterAPendingHeaderCountsOnlyTheLastFrame) {
    Decoder d;
    // Mono frame: main data 83 bytes, granule 0 consumes 640 bits = 80 bytes,
    // leaving C1 C2 C3 behind.
    Bytes main(80, 0xFF);
    main.insert(main.end(), {0xC1, 0xC2, 0xC3});
    const Bytes first = l3_frame(kMono32, 0, {granule(1, 640), granule(2, 0)}, main);
    const Bytes second = mono_frame(5);
    EXPECT_EQ(d.feed(concat({first, slice(second, 0, 24)})), (std::vector<int>{DEC_OK, DEC_NEED_MORE}));
    EXPECT_EQ(d.state().pending_frame_size, 100);
    EXPECT_EQ(d.histogram_sum(), 0u);
    EXPECT_EQ(dec_finish(d.state()), 0);
    EXPECT_EQ(d.state().skipped_histogram[0xC1], 1u);
    EXPECT_EQ(d.state().skipped_histogram[0xC2], 1u);
    EXPECT_EQ(d.state().skipped_histogram[0xC3], 1u);
    EXPECT_EQ(d.histogram_sum(), 3u);
    EXPECT_EQ(d.rec.frames.size(), 1u);
}

// ---------------------------------------------------------------------------
// Chunking invariance

namespace {

struct RunResult {
    std::vector<std::string> events;
    std::vector<FrameInfo> frames;
    std::vector<std::uint32_t> gains;
    std::int32_t skipped_total = 0;
    std::array<std::uint32_t, 256> histogram{};
    std::string messages;
};

RunResult run_split(const Bytes& stream, const std::vector<std::size_t>& sizes) {
    RunResult result;
    Decoder d;
    testing::internal::CaptureStderr();
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        const std::size_t end = std::min(stream.size(), at + size);
        d.feed(slice(stream, at, end));
        at = end;
    }
    EXPECT_EQ(at, stream.size());
    dec_finish(d.state());
    std::fflush(stderr);
    result.messages = testing::internal::GetCapturedStderr();
    result.events = d.rec.events;
    result.frames = d.rec.frames;
    result.gains = gains(d.rec);
    result.skipped_total = d.state().skipped_total;
    result.histogram = d.state().skipped_histogram;
    return result;
}

std::vector<std::size_t> even_sizes(std::size_t total, std::size_t size) {
    return std::vector<std::size_t>((total + size - 1) / size, size);
}

// Eight frames: junk, CRC, mono, an overlapping header, a Layer II and a
// Layer I header read as Layer III, MPEG-2 and MPEG-2.5, back-steps.
Bytes varied_stream() {
    const HeaderFields h2{.version = 1, .layer = 3, .crc = true, .bitrate_index = 5, .frequency_bits = 0,
                          .padding = 1, .mode = 1, .mode_extension = 2};  // body 205
    const HeaderFields h3{.version = 1, .layer = 3, .crc = false, .bitrate_index = 1, .frequency_bits = 0,
                          .padding = 0, .mode = 3, .mode_extension = 3};  // body 100
    const HeaderFields h4{.version = 2, .layer = 3, .crc = false, .bitrate_index = 8, .frequency_bits = 0,
                          .padding = 0, .mode = 0, .mode_extension = 0};  // body 204
    const HeaderFields h7{.version = 25, .layer = 3, .crc = false, .bitrate_index = 1, .frequency_bits = 2,
                          .padding = 0, .mode = 3, .mode_extension = 0};  // body 68
    const HeaderFields h8{.version = 1, .layer = 3, .crc = true, .bitrate_index = 9, .frequency_bits = 1,
                          .padding = 0, .mode = 1, .mode_extension = 3};  // body 380
    const Bytes f1 = l3_frame(kStereo128, 0, {granule(10, 40), granule(11, 0), granule(12, 24), granule(13, 8)},
                              pattern(381, 1));
    const Bytes f2 = l3_frame(h2, 20, {granule(30, 16), granule(31, 0), granule(32, 0), granule(33, 7)},
                              pattern(171, 2));
    Bytes f3 = l3_frame(h3, 0, {granule(40, 12), granule(41, 100)}, pattern(83, 3));
    f3[3] |= 0x0F;  // FF FB 10 FF: lends its last byte to the next header
    const Bytes f4 = l3_frame(h4, 5, {granule(50, 20), granule(51, 33)}, pattern(187, 4));
    const Bytes f5 = concat({word_bytes(0xFFFD90C0u),  // Layer II, mono
                             body(false, 1, 0, {granule(60, 8), granule(61, 0)}, pattern(187, 5), 204)});
    const Bytes f6 = concat({word_bytes(0xFFFFE318u),  // Layer I, stereo
                             body(false, 2, 0, {granule(70, 0), granule(71, 4), granule(72, 0), granule(73, 9)},
                                  pattern(172, 6), 204)});
    const Bytes f7 = l3_frame(h7, 10, {granule(80, 30)}, pattern(59, 7));
    const Bytes f8 = l3_frame(h8, 30, {granule(90, 50), granule(91, 0), granule(92, 10), granule(93, 0)},
                              pattern(346, 8));
    EXPECT_EQ(f1.size(), 417u);
    EXPECT_EQ(f2.size(), 209u);
    EXPECT_EQ(f4.size(), 208u);
    EXPECT_EQ(f7.size(), 72u);
    EXPECT_EQ(f8.size(), 384u);
    return concat({{0x00, 0x11, 0x22, 0x33, 0x44}, f1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, f2, f3,
                   slice(f4, 1, f4.size()),  // its 0xFF comes from f3's header
                   f5, f6,
                   slice(f7, 3, f7.size()),  // its FF E3 18 come from f6's header
                   {0xFF, 0x00, 0xFF, 0x12}, f8, {0xAA, 0xBB, 0xCC}});
}

}  // namespace

TEST(InputChainChunkingTest, VariedStreamInOneChunkGivesTheExpectedFrames) {
    const Bytes stream = varied_stream();
    const RunResult one = run_split(stream, {stream.size()});
    ASSERT_EQ(one.frames.size(), 8u);
    const int layers[] = {3, 3, 3, 3, 2, 1, 3, 3};
    const int sizes[] = {413, 205, 100, 204, 204, 204, 68, 380};
    const int skipped[] = {5, 10, 0, -1, 0, 0, -3, 4};
    const int mdb[] = {0, 20, 0, 5, 0, 0, 10, 30};
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(one.frames[i].layer, layers[i]) << i;
        EXPECT_EQ(one.frames[i].frame_size, sizes[i]) << i;
        EXPECT_EQ(one.frames[i].skipped_bytes, skipped[i]) << i;
        EXPECT_EQ(one.frames[i].main_data_begin, mdb[i]) << i;
        EXPECT_EQ(one.frames[i].error_flag, 0) << i;
    }
    EXPECT_EQ(one.frames[2].header_word, 0xFFFB10FFu);
    EXPECT_EQ(one.frames[3].header_word, 0xFFF38000u);
    EXPECT_EQ(one.frames[6].header_word, 0xFFE318C0u);
    EXPECT_EQ(one.frames[7].header_word, 0xFFFA9470u);
    EXPECT_EQ(one.gains, (std::vector<std::uint32_t>{10, 11, 12, 13, 30, 31, 32, 33, 40, 41, 50, 51, 60, 61, 70,
                                                     71, 72, 73, 80, 90, 91, 92, 93}));
    EXPECT_EQ(one.skipped_total, 5 + 10 + 0 - 1 + 0 + 0 - 3 + 4);
    EXPECT_EQ(one.messages, "Not supported! (@common, Layer 2)\nNot supported! (@common, Layer 1)\n");
    // Bytes between each frame's consumed end and the next reservoir start
    // (offsets in the body; partly read bytes count as consumed):
    //   f1 41..393 = 352, f2 17..205 = 188, f3 31..95 = 64, f4 19..204 = 185,
    //   f5 18..204 = 186, f6 34..194 = 160, f7 3..38 = 35, and at dec_finish
    //   f8 12..380 = 368.
    const std::uint32_t sum = std::accumulate(one.histogram.begin(), one.histogram.end(), 0u);
    EXPECT_EQ(sum, 352u + 188 + 64 + 185 + 186 + 160 + 35 + 368);
}

TEST(InputChainChunkingTest, EveryChunkSizeGivesTheSameCallsAndCounters) {
    const Bytes stream = varied_stream();
    const RunResult one = run_split(stream, {stream.size()});
    ASSERT_EQ(one.frames.size(), 8u);

    std::vector<std::vector<std::size_t>> splits;
    for (std::size_t size = 1; size <= 64; ++size) splits.push_back(even_sizes(stream.size(), size));
    for (std::size_t size : {100u, 207u, 413u, 417u, 418u, 1000u}) splits.push_back(even_sizes(stream.size(), size));
    std::mt19937 random(20240611u);
    for (int i = 0; i < 20; ++i) {
        std::vector<std::size_t> sizes;
        std::size_t total = 0;
        while (total < stream.size()) {
            const std::size_t s = std::uniform_int_distribution<std::size_t>(1, 600)(random);
            sizes.push_back(s);
            total += s;
        }
        splits.push_back(sizes);
    }
    // Empty chunks in between change nothing either.
    std::vector<std::size_t> with_empty;
    for (std::size_t i = 0; i < stream.size(); i += 50) with_empty.insert(with_empty.end(), {0, 50, 0});
    splits.push_back(with_empty);

    for (const auto& sizes : splits) {
        const RunResult r = run_split(stream, sizes);
        const std::string what = "first chunk " + std::to_string(sizes[0]) + ", " + std::to_string(sizes.size()) +
                                 " chunks";
        EXPECT_EQ(r.events, one.events) << what;
        EXPECT_EQ(r.skipped_total, one.skipped_total) << what;
        EXPECT_EQ(r.histogram, one.histogram) << what;
        EXPECT_EQ(r.messages, one.messages) << what;
    }
}

TEST(InputChainChunkingTest, EveryTwoPieceSplitGivesTheSameCalls) {
    const Bytes stream = varied_stream();
    const RunResult one = run_split(stream, {stream.size()});
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        const RunResult r = run_split(stream, {cut, stream.size() - cut});
        ASSERT_EQ(r.events, one.events) << "cut at " << cut;
        ASSERT_EQ(r.skipped_total, one.skipped_total) << "cut at " << cut;
        ASSERT_EQ(r.histogram, one.histogram) << "cut at " << cut;
    }
}
