// What a file is, from crafted byte strings: chains of MPEG audio frame
// headers of each layer, with and without a leading tag, against bytes that
// merely contain a sync word.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/stream_format.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using gainscan::StreamFormat;

// One frame: its header, then filler up to its size.
//   MPEG-1 Layer III 128 kbit/s 44.1 kHz: FF FB 90 00, 417 bytes
//   MPEG-1 Layer II 192 kbit/s 44.1 kHz: FF FD A0 00, 626 bytes
//   MPEG-2 Layer III 64 kbit/s 22.05 kHz: FF F3 80 00, 208 bytes
//   MPEG-2.5 Layer III 8 kbit/s 8 kHz: FF E3 18 00, 72 bytes
struct FrameKind {
    std::uint8_t header[4];
    std::size_t size;
};
constexpr FrameKind L3{{0xFF, 0xFB, 0x90, 0x00}, 417};
constexpr FrameKind L2{{0xFF, 0xFD, 0xA0, 0x00}, 626};
constexpr FrameKind L3_MPEG2{{0xFF, 0xF3, 0x80, 0x00}, 208};
constexpr FrameKind L3_MPEG25{{0xFF, 0xE3, 0x18, 0x00}, 72};

Bytes frames(const FrameKind& kind, int count) {
    Bytes out;
    for (int i = 0; i < count; ++i) {
        out.insert(out.end(), kind.header, kind.header + 4);
        out.resize(out.size() + kind.size - 4, 0x55);
    }
    return out;
}

// Frames whose headers are `spacing` bytes apart, whatever size they give.
Bytes spaced(const FrameKind& kind, int count, std::size_t spacing) {
    Bytes out;
    for (int i = 0; i < count; ++i) {
        out.insert(out.end(), kind.header, kind.header + 4);
        out.resize(out.size() + spacing - 4, 0x55);
    }
    return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes id3v2(std::size_t body) {
    Bytes tag = {'I', 'D', '3', 3, 0, 0,
                 static_cast<std::uint8_t>((body >> 21) & 127), static_cast<std::uint8_t>((body >> 14) & 127),
                 static_cast<std::uint8_t>((body >> 7) & 127), static_cast<std::uint8_t>(body & 127)};
    tag.resize(tag.size() + body, 0);
    return tag;
}

// Bytes that hold frame sync patterns at random places but no chain.
Bytes scattered_syncs() {
    Bytes out(5000, 0x20);
    for (std::size_t at : {100u, 900u, 1700u, 2600u})
        for (std::size_t k = 0; k < 4; ++k) out[at + k] = L3.header[k];
    return out;
}

}  // namespace

TEST(EvidenceFormat, DecidedFromTheBytes) {
    const struct {
        const char* name;
        Bytes bytes;
        StreamFormat format;
    } cases[] = {
        {"nothing", {}, StreamFormat::empty},
        {"MPEG-1 Layer III frames", frames(L3, 6), StreamFormat::layer3},
        {"MPEG-2 Layer III frames", frames(L3_MPEG2, 6), StreamFormat::layer3},
        {"MPEG-2.5 Layer III frames", frames(L3_MPEG25, 6), StreamFormat::layer3},
        {"a single Layer III frame that is the whole file", frames(L3, 1), StreamFormat::layer3},
        {"Layer III after an ID3v2 tag", id3v2(3000) + frames(L3, 5), StreamFormat::layer3},
        {"Layer III after junk", text("garbage before the stream") + frames(L3, 5), StreamFormat::layer3},
        {"Layer III whose last frame is cut short", [] {
             Bytes b = frames(L3, 5);
             b.resize(b.size() - 100);
             return b;
         }(),
         StreamFormat::layer3},
        {"Layer III frames, the last cut off after its header", [] {
             Bytes b = frames(L3, 4);
             b.resize(3 * L3.size + 4);
             return b;
         }(),
         StreamFormat::layer3},
        {"a start like an ID3v2 tag's that is not one, then one frame",
         text("IX3\x03") + Bytes{0, 0, 0, 0, 0, 100} + Bytes(10, 0x20) + frames(L3, 1), StreamFormat::layer3},
        {"MPEG-2 Layer III headers at the MPEG-1 frame size (a steady cadence)", spaced(L3_MPEG2, 6, 417),
         StreamFormat::layer3},
        {"Layer II headers at a steady cadence of another size", spaced(L2, 6, 700), StreamFormat::mpeg_audio_other},
        {"Layer II frames", frames(L2, 6), StreamFormat::mpeg_audio_other},
        {"Layer II, then Layer III", frames(L2, 4) + frames(L3, 4), StreamFormat::layer3},
        {"JSON", text("{\"a\": [1, 2, 3], \"b\": \"text\"}\n"), StreamFormat::not_mpeg_audio},
        {"sync words without a chain", scattered_syncs(), StreamFormat::not_mpeg_audio},
        {"a RIFF WAVE header", text("RIFF\x24\x08\x00\x00WAVEfmt ") + Bytes(2000, 0), StreamFormat::not_mpeg_audio},
        {"one sync word and nothing else", Bytes{0xFF, 0xFB, 0x90, 0x00}, StreamFormat::not_mpeg_audio},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(gainscan::format_name(gainscan::detect_format(c.bytes, c.bytes.size())),
                     gainscan::format_name(c.format));
    }
}

TEST(EvidenceFormat, AProbeShorterThanTheFileNeedsOnlyAFewFramesInARow) {
    // The first 64 KiB of a long file: the chain runs to the probe's end.
    const Bytes whole = frames(L3, 400);
    const Bytes head(whole.begin(), whole.begin() + 65536);
    EXPECT_EQ(gainscan::detect_format(head, whole.size()), StreamFormat::layer3);
}

namespace {

// Frame sizes in bytes without padding, for bitrate indices 1 to 14, as the
// MPEG audio standard gives them (a padded frame is one slot longer: 4 bytes
// in Layer I, 1 in the others).
struct SizeRow {
    const char* name;
    std::uint8_t second_byte;  // sync, version, layer, no CRC
    int rate_index;
    std::size_t padding;
    std::size_t sizes[14];
};
constexpr SizeRow SIZE_ROWS[] = {
    {"MPEG-1 Layer III, 32 kHz", 0xFB, 2, 1, {144, 180, 216, 252, 288, 360, 432, 504, 576, 720, 864, 1008, 1152, 1440}},
    {"MPEG-1 Layer II, 48 kHz", 0xFD, 1, 1, {96, 144, 168, 192, 240, 288, 336, 384, 480, 576, 672, 768, 960, 1152}},
    {"MPEG-1 Layer I, 44.1 kHz", 0xFF, 0, 4, {32, 68, 104, 136, 172, 208, 240, 276, 312, 348, 380, 416, 452, 484}},
    {"MPEG-2 Layer III, 24 kHz", 0xF3, 1, 1, {24, 48, 72, 96, 120, 144, 168, 192, 240, 288, 336, 384, 432, 480}},
    {"MPEG-2 Layer II, 22.05 kHz", 0xF5, 0, 1, {52, 104, 156, 208, 261, 313, 365, 417, 522, 626, 731, 835, 940, 1044}},
    {"MPEG-2 Layer I, 16 kHz", 0xF7, 2, 4, {96, 144, 168, 192, 240, 288, 336, 384, 432, 480, 528, 576, 672, 768}},
    {"MPEG-2 Layer I, 22.05 kHz", 0xF7, 0, 4, {68, 104, 120, 136, 172, 208, 240, 276, 312, 348, 380, 416, 484, 556}},
    {"MPEG-2.5 Layer III, 11.025 kHz", 0xE3, 0, 1, {52, 104, 156, 208, 261, 313, 365, 417, 522, 626, 731, 835, 940, 1044}},
};

// One frame of bitrate index `index` (1..14) with its padding bit (joint
// stereo, so that no sync pattern straddles the header), `extra`
// bytes longer than its header says.
Bytes sized_frame(const SizeRow& row, int index, bool padded, std::size_t extra = 0) {
    Bytes out = {0xFF, row.second_byte,
                 static_cast<std::uint8_t>((index << 4) | (row.rate_index << 2) | (padded ? 2 : 0)), 0x40};
    out.resize(row.sizes[index - 1] + (padded ? row.padding : 0) + extra, 0x55);
    return out;
}

}  // namespace

TEST(EvidenceFormat, EveryBitrateAndPaddingGivesTheFrameSizeOfItsHeader) {
    // Frames of two bitrates in turn (sizes that differ, so only the size
    // each header gives links them, never a steady cadence), then a few
    // bytes of junk. A frame one byte longer than its header says breaks
    // the chain.
    for (const SizeRow& row : SIZE_ROWS) {
        const bool layer3 = (row.second_byte & 0x06) == 0x02;
        for (int index = 1; index <= 14; ++index) {
            const int other = index % 14 + 1;
            for (const std::size_t extra : {std::size_t{0}, std::size_t{1}}) {
                SCOPED_TRACE(::testing::Message() << row.name << ", bitrate index " << index << ", " << extra
                                                  << " extra byte(s)");
                const Bytes bytes = sized_frame(row, index, true, extra) + sized_frame(row, other, false) +
                                    sized_frame(row, index, true, extra) + sized_frame(row, other, false) +
                                    Bytes{0, 0, 0};
                const StreamFormat expected = extra != 0 ? StreamFormat::not_mpeg_audio
                                              : layer3   ? StreamFormat::layer3
                                                         : StreamFormat::mpeg_audio_other;
                EXPECT_STREQ(gainscan::format_name(gainscan::detect_format(bytes, bytes.size())),
                             gainscan::format_name(expected));
            }
        }
    }
}
