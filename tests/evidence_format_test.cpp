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
