#include "batch/layer3_sniff.h"

#include <vector>

#include "gainscan/decoder.h"

namespace {

struct Header {
    unsigned version;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    unsigned rate_index;
    std::size_t frame_bytes;
};

// The Layer III frame at `p` (4 bytes), or a frame length of 0.
Header parse(const std::uint8_t* p) {
    static constexpr unsigned RATE_V1[3] = {44100, 48000, 32000};
    Header h{};
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return h;
    h.version = (p[1] >> 3) & 3;
    const unsigned layer = (p[1] >> 1) & 3;
    const unsigned bitrate = p[2] >> 4;
    h.rate_index = (p[2] >> 2) & 3;
    const unsigned padding = (p[2] >> 1) & 1;
    if (h.version == 1 || layer != 1 || bitrate == 0 || bitrate == 15 || h.rate_index == 3) return h;
    const unsigned rate = RATE_V1[h.rate_index] >> (h.version == 3 ? 0 : h.version == 2 ? 1 : 2);
    const auto kbps = static_cast<unsigned>(gainscan::bitrate_kbps(
        h.version == 3 ? gainscan::MpegVersion::mpeg1 : h.version == 2 ? gainscan::MpegVersion::mpeg2 : gainscan::MpegVersion::mpeg25,
        3, static_cast<int>(bitrate)));
    // MPEG-1 frames hold 1152 samples, MPEG-2 and 2.5 frames 576.
    h.frame_bytes = (h.version == 3 ? 144000u : 72000u) * kbps / rate + padding;
    return h;
}

}  // namespace

bool starts_like_layer3(const std::function<std::size_t(std::uint64_t, std::span<std::uint8_t>)>& read_at,
                        std::uint64_t file_size) {
    std::uint8_t tag[10] = {};
    std::uint64_t start = 0;
    if (read_at(0, tag) == sizeof tag && tag[0] == 'I' && tag[1] == 'D' && tag[2] == '3') {
        const std::uint64_t size = (std::uint64_t{tag[6] & 0x7Fu} << 21) | ((tag[7] & 0x7Fu) << 14) |
                                   ((tag[8] & 0x7Fu) << 7) | (tag[9] & 0x7Fu);
        start = 10 + size + ((tag[5] & 0x10) != 0 ? 10 : 0);  // a footer, when flagged
    }
    if (read_at(start, std::span(tag, 6)) == 6 && tag[0] == 'A' && tag[1] == 'i' && tag[2] == 'D' && tag[3] == 0x01) {
        const unsigned length = tag[4] | (tag[5] << 8);
        start += length > 6 ? length : 6;
    }
    // The window plus room for the longest frame and the header after it.
    std::vector<std::uint8_t> bytes(SNIFF_WINDOW + 2900);
    const std::size_t got = read_at(start, bytes);
    for (std::size_t i = 0; i + 4 <= got && i < SNIFF_WINDOW; ++i) {
        const Header first = parse(&bytes[i]);
        if (first.frame_bytes == 0) continue;
        const std::size_t next = i + first.frame_bytes;
        if (start + next == file_size) return true;  // a file of one frame
        if (next + 4 > got) continue;
        const Header second = parse(&bytes[next]);
        if (second.frame_bytes != 0 && second.version == first.version && second.rate_index == first.rate_index)
            return true;
    }
    return false;
}
