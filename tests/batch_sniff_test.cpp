// --layer3-only's look at a file's first bytes: two Layer III headers a
// frame apart (or one frame that ends the file), after an optional ID3v2 tag,
// within the first 8 KiB.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "batch/layer3_sniff.h"

namespace {

// MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, no padding: 417-byte frames.
const std::string FRAME_HEADER("\xFF\xFB\x90\x00", 4);
constexpr std::size_t FRAME = 417;

std::string frames(const std::string& header, int count, std::size_t size = FRAME) {
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes += header + std::string(size - 4, '\x11');
    return bytes;
}

// An AiD block of `length` bytes (its little-endian length counts the 6-byte head).
std::string aid(std::size_t length) {
    return std::string("AiD\x01", 4) + static_cast<char>(length & 0xFF) + static_cast<char>(length >> 8) +
           std::string(length - 6, '\0');
}

std::string id3(std::size_t size) {
    const char synchsafe[4] = {static_cast<char>((size >> 21) & 0x7F), static_cast<char>((size >> 14) & 0x7F),
                               static_cast<char>((size >> 7) & 0x7F), static_cast<char>(size & 0x7F)};
    return std::string("ID3\x04\x00\x00", 6) + std::string(synchsafe, 4) + std::string(size, '\0');
}

bool sniff(const std::string& file) {
    return starts_like_layer3(
        [&](std::uint64_t offset, std::span<std::uint8_t> to) -> std::size_t {
            if (offset >= file.size()) return 0;
            const std::size_t n = std::min<std::size_t>(to.size(), file.size() - offset);
            std::copy_n(file.data() + offset, n, to.data());
            return n;
        },
        file.size());
}

}  // namespace

TEST(Layer3Sniff, TwoHeadersAFrameApartAfterAnyTagAndWithinTheWindow) {
    const struct {
        const char* name;
        std::string file;
        bool layer3;
    } cases[] = {
        {"two frames", frames(FRAME_HEADER, 2), true},
        {"one frame ending the file", frames(FRAME_HEADER, 1), true},
        {"one header, then other bytes", frames(FRAME_HEADER, 1) + std::string(2000, 'x'), false},
        {"after 100 bytes of junk", std::string(100, 'j') + frames(FRAME_HEADER, 3), true},
        {"after 9000 bytes of junk", std::string(9000, 'j') + frames(FRAME_HEADER, 3), false},
        // The window is the first 8,192 bytes: a header starting at its last byte counts, one after it not.
        {"a header at byte 8191", std::string(8191, 'j') + frames(FRAME_HEADER, 3), true},
        {"a header at byte 8192", std::string(8192, 'j') + frames(FRAME_HEADER, 3), false},
        {"behind a 20000-byte ID3v2 tag", id3(20000) + frames(FRAME_HEADER, 3), true},
        // Every byte of the tag's size counts: 50 x 2^14 + 127 x 2^7 + 5.
        {"behind an 835461-byte ID3v2 tag", id3(835461) + frames(FRAME_HEADER, 3), true},
        {"behind a 9000-byte AiD block", aid(9000) + frames(FRAME_HEADER, 3), true},
        {"behind an ID3v2 tag and an AiD block", id3(300) + aid(700) + frames(FRAME_HEADER, 3), true},
        {"a start like a tag's that is not one", "xD3" + std::string(97, '\x7F') + frames(FRAME_HEADER, 3), true},
        {"a start like an AiD block's that is not one", std::string("AiD\x02\xFF\xFF", 6) + frames(FRAME_HEADER, 3), true},
        {"MPEG-1, 96 kbit/s, 44.1 kHz: 313-byte frames", frames(std::string("\xFF\xFB\x70\x00", 4), 2, 313), true},
        {"MPEG-1, 320 kbit/s, 32 kHz: 1440-byte frames", frames(std::string("\xFF\xFB\xE8\x00", 4), 2, 1440), true},
        {"MPEG-2, 8 kbit/s, 24 kHz: 24-byte frames", frames(std::string("\xFF\xF3\x14\x00", 4), 2, 24), true},
        {"MPEG-2.5, 160 kbit/s, 8 kHz, padded: 1441-byte frames", frames(std::string("\xFF\xE3\xEA\x00", 4), 2, 1441),
         true},
        {"frames one byte longer than their headers say", frames(FRAME_HEADER, 2, FRAME + 1) + "x", false},
        {"MPEG-2, 128 kbit/s, 22.05 kHz: 417-byte frames", frames(std::string("\xFF\xF3\xC0\x00", 4), 2, 417), true},
        {"Layer II", frames(std::string("\xFF\xFD\x90\x00", 4), 3), false},
        {"free format", frames(std::string("\xFF\xFB\x00\x00", 4), 3), false},
        {"reserved version", frames(std::string("\xFF\xEB\x90\x00", 4), 3), false},
        {"empty", "", false},
        {"text", "just some words, nothing more\n", false},
    };
    for (const auto& c : cases) EXPECT_EQ(sniff(c.file), c.layer3) << c.name;
}
