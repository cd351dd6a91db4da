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

std::string frames(const std::string& header, int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes += header + std::string(FRAME - 4, '\x11');
    return bytes;
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
        {"behind a 20000-byte ID3v2 tag", id3(20000) + frames(FRAME_HEADER, 3), true},
        {"Layer II", frames(std::string("\xFF\xFD\x90\x00", 4), 3), false},
        {"free format", frames(std::string("\xFF\xFB\x00\x00", 4), 3), false},
        {"reserved version", frames(std::string("\xFF\xEB\x90\x00", 4), 3), false},
        {"empty", "", false},
        {"text", "just some words, nothing more\n", false},
    };
    for (const auto& c : cases) EXPECT_EQ(sniff(c.file), c.layer3) << c.name;
}
