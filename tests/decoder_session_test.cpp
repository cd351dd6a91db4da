// gainscan::Decoder as a library user meets it: the same events whatever
// the chunking, offsets that point at the frame's sync word, slots that
// follow the hiding layout, and a decoder that can be moved mid-stream.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bitstream_writer.h"
#include "decoder/layer3/granule_loop.h"
#include "decoder/layer3/huffman_requantise.h"
#include "gainscan/decoder.h"

namespace {

struct Seen {
    std::int64_t frame_index;
    std::uint64_t offset;
    int granule, channel;
    std::int64_t slot;
    std::uint32_t global_gain, spectrum_end;
    double energy;
    bool zero_tail;  // spectrum_end within the spectrum, and nothing but zeros from it on
    bool operator==(const Seen&) const = default;
};

struct Recorder final : gainscan::DecoderObserver, gainscan::MessageSink {
    std::vector<Seen> granules;
    std::vector<gainscan::FrameEvent> frames;
    std::vector<std::string> messages;
    void on_granule(const gainscan::GranuleEvent& e) override {
        double energy = 0;
        for (float v : e.spectrum) energy += static_cast<double>(v) * v;
        const bool zero_tail = e.spectrum_end <= e.spectrum.size() &&
                               std::all_of(e.spectrum.begin() + e.spectrum_end, e.spectrum.end(), [](float v) { return v == 0; });
        granules.push_back(Seen{e.frame_index, e.frame_offset, e.granule, e.channel, e.slot, e.side_info.global_gain,
                                e.spectrum_end, energy, zero_tail});
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
                EXPECT_TRUE(s.zero_tail) << s.spectrum_end;
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

TEST(DecoderSession, HeadersDescribeTheFileAsItWasEncoded) {
    // Fixtures named for how they were encoded: every frame's header and
    // every granule's says so, and a frame's size follows from its bitrate.
    const struct {
        const char* name;
        gainscan::MpegVersion version;
        int sample_rate, bitrate_kbps, channels;
        gainscan::ChannelMode mode;
    } cases[] = {
        {"m1_32000_mono_cbr32.mp3", gainscan::MpegVersion::mpeg1, 32000, 32, 1, gainscan::ChannelMode::mono},
        {"m1_44100_stereo_cbr320.mp3", gainscan::MpegVersion::mpeg1, 44100, 320, 2, gainscan::ChannelMode::stereo},
        {"m1_48000_joint_cbr128.mp3", gainscan::MpegVersion::mpeg1, 48000, 128, 2, gainscan::ChannelMode::joint_stereo},
        {"m2_22050_dual_cbr64.mp3", gainscan::MpegVersion::mpeg2, 22050, 64, 2, gainscan::ChannelMode::dual_channel},
        {"m2_16000_mono_cbr32.mp3", gainscan::MpegVersion::mpeg2, 16000, 32, 1, gainscan::ChannelMode::mono},
        {"m25_12000_dual_cbr48.mp3", gainscan::MpegVersion::mpeg25, 12000, 48, 2, gainscan::ChannelMode::dual_channel},
        {"m25_8000_mono_cbr8.mp3", gainscan::MpegVersion::mpeg25, 8000, 8, 1, gainscan::ChannelMode::mono},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        struct Headers final : gainscan::DecoderObserver {
            std::vector<gainscan::FrameHeader> frames, granules;
            void on_granule(const gainscan::GranuleEvent& e) override { granules.push_back(*e.header); }
            void on_frame(const gainscan::FrameEvent& e) override { frames.push_back(e.header); }
        } seen;
        gainscan::Decoder decoder;
        decoder.set_observer(&seen);
        decode(decoder, fixture(c.name), 0);
        decoder.finish();
        ASSERT_FALSE(seen.frames.empty());
        ASSERT_FALSE(seen.granules.empty());
        std::vector<gainscan::FrameHeader> all = seen.frames;
        all.insert(all.end(), seen.granules.begin(), seen.granules.end());
        // MPEG-1 frames hold 1152 samples, MPEG-2 and 2.5 frames 576.
        const int per_frame = c.version == gainscan::MpegVersion::mpeg1 ? 144 : 72;
        for (const gainscan::FrameHeader& h : all) {
            ASSERT_EQ(h.version, c.version);
            ASSERT_EQ(h.layer, 3);
            ASSERT_EQ(h.sample_rate, c.sample_rate);
            ASSERT_EQ(h.bitrate_kbps, c.bitrate_kbps);
            ASSERT_EQ(h.channels, c.channels);
            ASSERT_EQ(h.mode, c.mode);
            ASSERT_EQ(h.frame_bytes, per_frame * 1000 * c.bitrate_kbps / c.sample_rate + (h.padding ? 1 : 0));
        }
    }
}

TEST(DecoderSession, ALayerIIFrameAmongLayerIIIFramesSaysItsLayerAndBitrate) {
    // Layer II frames of 192 kbit/s spliced into a Layer III stream of 128.
    struct Headers final : gainscan::DecoderObserver {
        std::vector<gainscan::FrameHeader> frames;
        void on_granule(const gainscan::GranuleEvent&) override {}
        void on_frame(const gainscan::FrameEvent& e) override { frames.push_back(e.header); }
    } seen;
    gainscan::Decoder decoder;
    decoder.set_observer(&seen);
    decode(decoder, fixture("spliced_layer2.mp3"), 0);
    decoder.finish();
    int layer2 = 0;
    for (const gainscan::FrameHeader& h : seen.frames) {
        ASSERT_TRUE(h.layer == 2 || h.layer == 3);
        EXPECT_EQ(h.bitrate_kbps, h.layer == 2 ? 192 : 128);
        layer2 += h.layer == 2;
    }
    EXPECT_GT(layer2, 0);
}

TEST(DecoderSession, BitrateIndexesOfEveryVersionAndLayer) {
    // The standard's lists (ISO/IEC 11172-3 and 13818-3), indexes 1 to 14;
    // index 0 (free format), the forbidden 15 and anything out of range give 0.
    using gainscan::MpegVersion;
    const struct {
        MpegVersion version;
        int layer;
        std::array<int, 14> kbps;
    } rows[] = {
        {MpegVersion::mpeg1, 1, {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}},
        {MpegVersion::mpeg1, 2, {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384}},
        {MpegVersion::mpeg1, 3, {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {MpegVersion::mpeg2, 1, {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}},
        {MpegVersion::mpeg2, 2, {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
        {MpegVersion::mpeg2, 3, {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
        {MpegVersion::mpeg25, 1, {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}},
        {MpegVersion::mpeg25, 3, {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << static_cast<int>(row.version) << " layer " << row.layer);
        for (int index = 1; index <= 14; ++index)
            EXPECT_EQ(gainscan::bitrate_kbps(row.version, row.layer, index), row.kbps[static_cast<std::size_t>(index - 1)])
                << index;
        for (int index : {0, 15, 16, -1}) EXPECT_EQ(gainscan::bitrate_kbps(row.version, row.layer, index), 0) << index;
    }
    EXPECT_EQ(gainscan::bitrate_kbps(MpegVersion::mpeg1, 0, 5), 0);
    EXPECT_EQ(gainscan::bitrate_kbps(MpegVersion::mpeg1, 4, 5), 0);
}

TEST(DecoderSession, AChunkLargerThanItTakesIsRefusedUnread) {
    // One byte over the documented 256 MiB, in memory that may not even be
    // read: the decoder says so and reads none of it.
    ASSERT_EQ(gainscan::Decoder::MAX_FEED, std::size_t{256} << 20);
    const std::size_t size = (std::size_t{256} << 20) + 1;
    void* reserved = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(reserved, MAP_FAILED);
    Recorder seen;
    gainscan::Decoder decoder;
    decoder.set_message_sink(&seen);
    EXPECT_EQ(decoder.feed(std::span(static_cast<const std::uint8_t*>(reserved), size)), gainscan::Step::error);
    EXPECT_EQ(seen.messages, std::vector<std::string>{"Input chunk too large!\n"});
    ::munmap(reserved, size);
}

TEST(DecoderSession, AChunkOfExactlyTheLargestSizeIsTaken) {
    // 256 MiB of zeros (the zero page, never written): taken and searched
    // for a frame, which is not there; nothing refused, nothing said.
    const std::size_t size = gainscan::Decoder::MAX_FEED;
    void* zeros = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(zeros, MAP_FAILED);
    Recorder seen;
    gainscan::Decoder decoder;
    decoder.set_observer(&seen);
    decoder.set_message_sink(&seen);
    EXPECT_EQ(decoder.feed(std::span(static_cast<const std::uint8_t*>(zeros), size)), gainscan::Step::need_more);
    EXPECT_TRUE(seen.messages.empty());
    EXPECT_TRUE(seen.frames.empty());
    ::munmap(zeros, size);
}

TEST(DecoderSession, NotMpegAudioGivesNoEventsAndNoError) {
    std::vector<std::uint8_t> text(5000);
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>("RIFF text, not audio "[i % 21]);
    const Recorder seen = run(text, 0);
    EXPECT_TRUE(seen.granules.empty());
    EXPECT_TRUE(seen.frames.empty());
}

// Three mono frames with empty main data; the middle one's side information
// is out of range (big_values over 288, or window switching with block type
// 0). Only that frame is reported damaged, and decoding goes on after it.
TEST(DecoderSession, OnlyTheFrameWithAFaultIsReportedDamaged) {
    struct Fault {
        const char* what;
        testing_stream::GranuleFields granule;
    };
    testing_stream::GranuleFields too_many{};
    too_many.big_values = 300;
    testing_stream::GranuleFields no_block_type{};
    no_block_type.window_switching = true;
    no_block_type.block_type = 0;
    for (const Fault& fault : {Fault{"big_values 300", too_many}, Fault{"block type 0", no_block_type}}) {
        SCOPED_TRACE(fault.what);
        std::vector<std::uint8_t> stream;
        testing_stream::HeaderFields header;
        header.mode = 3;
        for (int f = 0; f < 3; ++f) {
            testing_stream::SideInfoFields side{};
            if (f == 1) side.granule[0][0] = side.granule[1][0] = fault.granule;
            const auto frame = testing_stream::side_info_frame(header, side);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        const Recorder seen = run(stream, 0);
        ASSERT_EQ(seen.frames.size(), 3u);
        EXPECT_FALSE(seen.frames[0].damaged);
        EXPECT_TRUE(seen.frames[1].damaged);
        EXPECT_FALSE(seen.frames[2].damaged);
    }
}

// --- A decoder that computes no spectrum (DecoderOptions::spectrum false) ---

// Everything a decode reports except the spectrum, in the order it came.
struct SideOnly final : gainscan::DecoderObserver, gainscan::MessageSink {
    std::vector<std::string> events;
    std::vector<std::uint32_t> spectrum_ends;
    bool spectrum_all_zero = true;
    void on_granule(const gainscan::GranuleEvent& e) override {
        const gainscan::GranuleSideInfo& s = e.side_info;
        events.push_back("granule " + std::to_string(e.frame_index) + " " + std::to_string(e.frame_offset) + " " +
                         std::to_string(e.granule) + " " + std::to_string(e.channel) + " " + std::to_string(e.slot) +
                         " " + std::to_string(s.part2_3_length) + " " + std::to_string(s.big_values) + " " +
                         std::to_string(s.global_gain) + " " + std::to_string(s.scalefac_compress) + " " +
                         std::to_string(s.block_type) + " " + std::to_string(s.mixed_block_flag) + " " +
                         std::to_string(s.table_select[0]) + " " + std::to_string(s.table_select[1]) + " " +
                         std::to_string(s.table_select[2]) + " " + std::to_string(s.region1_start) + " " +
                         std::to_string(s.region2_start) + " " + std::to_string(s.preflag) + " " +
                         std::to_string(s.scalefac_scale) + " " + std::to_string(s.count1table_select) + " " +
                         std::to_string(s.scfsi) + " " + std::to_string(e.header->frame_bytes));
        spectrum_ends.push_back(e.spectrum_end);
        for (float v : e.spectrum) spectrum_all_zero = spectrum_all_zero && v == 0.0f;
    }
    void on_frame(const gainscan::FrameEvent& e) override {
        events.push_back("frame " + std::to_string(e.frame_index) + " " + std::to_string(e.offset) + " " +
                         std::to_string(e.header.frame_bytes) + " " + std::to_string(e.main_data_begin) + " " +
                         std::to_string(e.skipped_bytes) + " " + std::to_string(e.damaged));
    }
    void message(gainscan::Stream stream, std::string_view text) override {
        events.push_back((stream == gainscan::Stream::out ? "out " : "err ") + std::string(text));
    }
};

// Decodes all of `bytes` in 16385-byte pieces (as the analysis reads),
// until the end or an error; how the last feed ended.
template <typename Seen>
gainscan::Step decode_in_pieces(gainscan::Decoder& decoder, Seen& seen, const std::vector<std::uint8_t>& bytes) {
    decoder.set_observer(&seen);
    decoder.set_message_sink(&seen);
    gainscan::Step step = gainscan::Step::need_more;
    for (std::size_t at = 0; at < bytes.size() && step != gainscan::Step::error; at += 16385) {
        step = decoder.feed(std::span(bytes.data() + at, std::min<std::size_t>(16385, bytes.size() - at)));
        while (step == gainscan::Step::frame) step = decoder.next();
    }
    decoder.finish();
    return step;
}

// Everything a decode in the analysis's pieces reports but the spectrum,
// with how the decode ended.
SideOnly decode_side_only(const std::vector<std::uint8_t>& bytes, gainscan::DecoderOptions options) {
    SideOnly seen;
    gainscan::Decoder decoder(options);
    const gainscan::Step step = decode_in_pieces(decoder, seen, bytes);
    seen.events.push_back("end " + std::to_string(static_cast<int>(step)) + " " + std::to_string(decoder.frames()) +
                          " " + std::to_string(decoder.bytes_skipped()));
    return seen;
}

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct InputSet {
    const char* directory;  // under the source tree
    bool has_overdraw;      // at least one granule there uses more bits than its length allows
};

// The fixtures (every kind of stream the analyser meets) and the fuzzers'
// seed corpora (damaged streams: overdrawn granules, cut frames, junk).
const InputSet INPUT_SETS[] = {
    {"tests/fixtures", true},
    {"fuzz/corpus/fuzz_analyser", true},
    {"fuzz/corpus/fuzz_decoder_chunking", true},
    {"fuzz/corpus/fuzz_huffman_differential", true},
};

// Calls `check(bytes)` for every input file of `set`, under a trace naming
// it; how many there were.
template <typename Check>
std::size_t for_each_input(const InputSet& set, Check check) {
    const std::filesystem::path directory = std::filesystem::path(GAINSCAN_SOURCE_DIR) / set.directory;
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
        SCOPED_TRACE(entry.path().string());
        check(read_file(entry.path()));
        ++files;
    }
    return files;
}

TEST(DecoderWithoutSpectrum, ReportsTheSameFramesSideInfoAndMessagesAsAFullDecode) {
    for (const InputSet& set : INPUT_SETS) {
        std::size_t granules = 0;
        bool overdraw = false;
        const std::size_t files = for_each_input(set, [&](const std::vector<std::uint8_t>& bytes) {
            const SideOnly full = decode_side_only(bytes, gainscan::DecoderOptions{});
            const SideOnly skipping = decode_side_only(bytes, gainscan::DecoderOptions{.spectrum = false});
            EXPECT_EQ(skipping.events, full.events);
            granules += full.spectrum_ends.size();
            for (const std::string& event : full.events) overdraw = overdraw || event.starts_with("err Can't rewind");
        });
        SCOPED_TRACE(set.directory);
        EXPECT_GT(files, 5u);
        EXPECT_GT(granules, 0u);
        EXPECT_EQ(overdraw, set.has_overdraw);
    }
}

// The same with the length tables used from the first granule on (by
// default a table's is built only after many pairs, so that the test above
// goes mostly the fast table's way).
TEST(DecoderWithoutSpectrum, ReportsTheSameAsAFullDecodeWithItsLengthTablesFromTheStart) {
    layer3_huffman_skip_tables(SkipTables::always);
    for (const InputSet& set : INPUT_SETS) {
        for_each_input(set, [](const std::vector<std::uint8_t>& bytes) {
            EXPECT_EQ(decode_side_only(bytes, gainscan::DecoderOptions{.spectrum = false}).events,
                      decode_side_only(bytes, gainscan::DecoderOptions{}).events);
        });
    }
    layer3_huffman_skip_tables(SkipTables::when_used);
}

// --- A frame's records decoded two streams at a time ---

// Every event with the granules' spectra bit for bit, in the order they came.
struct WithSpectra final : gainscan::DecoderObserver, gainscan::MessageSink {
    SideOnly side;
    std::vector<std::array<float, 576>> spectra;
    // Frames the decoder takes all at once, two records together: all long
    // blocks, two records or more with 64 pairs or more.
    std::size_t together = 0;
    bool all_long = true;
    int many_pairs = 0;
    void on_granule(const gainscan::GranuleEvent& e) override {
        side.on_granule(e);
        spectra.emplace_back();
        std::copy(e.spectrum.begin(), e.spectrum.end(), spectra.back().begin());
        all_long = all_long && e.side_info.block_type != 2;
        many_pairs += e.side_info.big_values >= 64;
    }
    void on_frame(const gainscan::FrameEvent& e) override {
        side.on_frame(e);
        together += all_long && many_pairs >= 2;
        all_long = true;
        many_pairs = 0;
    }
    void message(gainscan::Stream stream, std::string_view text) override { side.message(stream, text); }
};

// Both decodes report the same events and spectra, bit for bit.
void expect_same_reports(const WithSpectra& both, const WithSpectra& one_by_one) {
    EXPECT_EQ(both.side.events, one_by_one.side.events);
    EXPECT_EQ(both.side.spectrum_ends, one_by_one.side.spectrum_ends);
    ASSERT_EQ(both.spectra.size(), one_by_one.spectra.size());
    for (std::size_t i = 0; i < both.spectra.size(); ++i)
        ASSERT_EQ(std::memcmp(both.spectra[i].data(), one_by_one.spectra[i].data(), sizeof both.spectra[i]), 0)
            << "granule record " << i;
}

WithSpectra decode_with_spectra(const std::vector<std::uint8_t>& bytes, bool together) {
    layer3_decode_records_together(together);
    WithSpectra seen;
    gainscan::Decoder decoder;
    decode_in_pieces(decoder, seen, bytes);
    layer3_decode_records_together(true);
    return seen;
}

// Decoding the records of a frame two streams at a time is a matter of speed
// only: the same spectra, side information, frames and messages (an
// overdrawn record still ends the frame before the next is reported).
TEST(DecoderRecordsTogether, ReportTheSameAsOneAfterTheOther) {
    std::size_t together = 0;
    for (const InputSet& set : INPUT_SETS) {
        for_each_input(set, [&](const std::vector<std::uint8_t>& bytes) {
            const WithSpectra both = decode_with_spectra(bytes, true);
            expect_same_reports(both, decode_with_spectra(bytes, false));
            together += both.together;
        });
    }
    EXPECT_GT(together, 100u);  // the inputs reach the joint decoding
}

// Frames whose main data are all zero bits, every record a long block of
// 100 pairs of table 1, where one record or more has too short a
// part2_3_length: the overdrawn record's message, and nothing after it in
// its frame, whichever way the records are decoded.
TEST(DecoderRecordsTogether, AnOverdrawnRecordEndsTheFrameAsOneByOne) {
    struct Case {
        const char* what;
        int mode;                               // 0 stereo, 3 mono
        std::array<std::uint32_t, 4> lengths;  // granule 0 channel 0, channel 1, granule 1 channel 0, channel 1
    };
    const Case cases[] = {
        {"stereo, none overdrawn", 0, {700, 700, 700, 700}},
        {"stereo, the first", 0, {40, 700, 700, 700}},
        {"stereo, the second", 0, {700, 40, 700, 700}},
        {"stereo, the third", 0, {700, 700, 40, 700}},
        {"stereo, the last", 0, {700, 700, 700, 40}},
        {"stereo, the first two", 0, {40, 40, 700, 700}},
        {"mono, none overdrawn", 3, {700, 0, 700, 0}},
        {"mono, the first", 3, {40, 0, 700, 0}},
        {"mono, the second", 3, {700, 0, 40, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing_stream::HeaderFields header;
        header.mode = c.mode;
        testing_stream::SideInfoFields side{};
        for (std::size_t gr = 0; gr < 2; ++gr) {
            for (std::size_t ch = 0; ch < 2; ++ch) {
                testing_stream::GranuleFields& g = side.granule[gr][ch];
                g.part2_3_length = c.lengths[2 * gr + ch];
                g.big_values = 100;
                g.global_gain = 150;
                g.table_select = {1, 1, 1};
                g.region0_count = 7;
                g.region1_count = 7;
            }
        }
        std::vector<std::uint8_t> stream;
        for (int f = 0; f < 3; ++f) {
            const auto frame = testing_stream::side_info_frame(header, side);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        const WithSpectra both = decode_with_spectra(stream, true);
        expect_same_reports(both, decode_with_spectra(stream, false));
        const auto overdraws = std::count_if(both.side.events.begin(), both.side.events.end(),
                                             [](const std::string& e) { return e.starts_with("err Can't rewind"); });
        const bool short_one = std::count(c.lengths.begin(), c.lengths.end(), 40u) > 0;
        EXPECT_EQ(overdraws, short_one ? 3 : 0);  // one per frame
        // Every record is a long block of 100 pairs: a frame reported whole
        // shows that it went together.
        if (!short_one) {
            EXPECT_EQ(both.together, 3u);
        }
    }
}

// MPEG-1 scale-factor reuse, in both ways of decoding a frame: granule 1
// sends no scale factors (scfsi 15) and reuses granule 0's, so with the same
// gain and the same Huffman values (100 pairs of 1, 1 from zero bits) both
// granules of a channel give the same spectrum. Channel 0's granule 0 has
// every scale factor at its largest, channel 1's at 0: each channel must take
// its own.
TEST(DecoderScaleFactorReuse, GranuleOneScalesAsGranuleZeroOfItsChannel) {
    constexpr std::uint32_t SCALE_FACTOR_BITS = 11 * 4 + 10 * 3;  // scalefac_compress 15
    constexpr std::uint32_t PAIR_BITS = 100 * 5;                  // code 000 and two sign bits each
    for (const int mode : {3, 0}) {
        SCOPED_TRACE(mode == 3 ? "mono" : "stereo");
        const std::size_t channels = mode == 3 ? 1 : 2;
        testing_stream::HeaderFields header;
        header.mode = mode;
        testing_stream::SideInfoFields side{};
        side.scfsi = {15, 15};
        for (std::size_t gr = 0; gr < 2; ++gr) {
            for (std::size_t ch = 0; ch < channels; ++ch) {
                testing_stream::GranuleFields& g = side.granule[gr][ch];
                g.part2_3_length = (gr == 0 ? SCALE_FACTOR_BITS : 0) + PAIR_BITS;
                g.big_values = 100;
                g.global_gain = 150;
                g.scalefac_compress = 15;
                g.table_select = {1, 1, 1};
                g.region0_count = 7;
                g.region1_count = 7;
            }
        }
        std::vector<std::uint8_t> stream = testing_stream::side_info_frame(header, side);
        // Channel 0's granule-0 scale factors, all ones, open the main data.
        const std::size_t main_data = 4 + (channels == 1 ? 17 : 32);
        for (std::size_t bit = 0; bit < SCALE_FACTOR_BITS; ++bit)
            stream[main_data + bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
        for (const bool together : {true, false}) {
            SCOPED_TRACE(together ? "records together" : "one after the other");
            const WithSpectra seen = decode_with_spectra(stream, together);
            ASSERT_EQ(seen.spectra.size(), 2 * channels);
            EXPECT_EQ(seen.together, 1u);  // a frame the joint decoding takes
            for (std::size_t ch = 0; ch < channels; ++ch) {
                SCOPED_TRACE(ch);
                const auto& first = seen.spectra[ch];
                const auto& second = seen.spectra[channels + ch];
                EXPECT_NE(first[0], 0.0f);
                EXPECT_EQ(std::memcmp(first.data(), second.data(), sizeof first), 0);
            }
            if (channels == 2) {
                EXPECT_LT(seen.spectra[0][0], seen.spectra[1][0]);  // the scale factors attenuate
            }
        }
    }
}

TEST(DecoderWithoutSpectrum, GivesAnAllZeroSpectrumEndingAtLineZero) {
    for (const char* name : FILES) {
        SCOPED_TRACE(name);
        const SideOnly full = decode_side_only(fixture(name), gainscan::DecoderOptions{});
        const SideOnly skipping = decode_side_only(fixture(name), gainscan::DecoderOptions{.spectrum = false});
        ASSERT_FALSE(skipping.spectrum_ends.empty());
        EXPECT_FALSE(full.spectrum_all_zero);
        EXPECT_TRUE(skipping.spectrum_all_zero);
        EXPECT_EQ(skipping.spectrum_ends, std::vector<std::uint32_t>(skipping.spectrum_ends.size(), 0u));
    }
}

TEST(DecoderWithoutSpectrum, KeepsItsOptionAcrossReset) {
    const std::vector<std::uint8_t> bytes = fixture("m1_44100_stereo_cbr64_2s.mp3");
    SideOnly seen;
    gainscan::Decoder decoder(gainscan::DecoderOptions{.spectrum = false});
    decoder.reset();
    decoder.set_observer(&seen);
    gainscan::Step step = decoder.feed(bytes);
    while (step == gainscan::Step::frame) step = decoder.next();
    ASSERT_FALSE(seen.spectrum_ends.empty());
    EXPECT_TRUE(seen.spectrum_all_zero);
}

}  // namespace
