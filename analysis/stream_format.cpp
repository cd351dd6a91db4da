#include "analysis/stream_format.h"

#include <array>
#include <optional>

#include "gainscan/decoder.h"

namespace gainscan {

namespace {

struct Header {
    int layer;       // 1, 2, 3
    int version;     // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int rate_index;  // 0..2
    std::uint64_t size;  // whole frame; 0 for free format
};

constexpr std::array<std::array<int, 3>, 4> RATES = {{{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}}};

std::optional<Header> parse(std::span<const std::uint8_t> b, std::size_t at) {
    if (at + 4 > b.size()) return std::nullopt;
    const std::uint32_t h = (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
                            (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
    if ((h >> 21) != 0x7FF) return std::nullopt;
    const int version = static_cast<int>((h >> 19) & 3);
    const int layer_bits = static_cast<int>((h >> 17) & 3);
    const int bitrate = static_cast<int>((h >> 12) & 15);
    const int rate = static_cast<int>((h >> 10) & 3);
    if (version == 1 || layer_bits == 0 || bitrate == 15 || rate == 3) return std::nullopt;
    Header out{4 - layer_bits, version, rate, 0};
    if (bitrate == 0) return out;  // free format: the size is the distance to the next header
    const int sample_rate = RATES[static_cast<std::size_t>(version)][static_cast<std::size_t>(rate)];
    const int kbps = bitrate_kbps(version == 3 ? MpegVersion::mpeg1 : version == 2 ? MpegVersion::mpeg2 : MpegVersion::mpeg25,
                                  out.layer, bitrate);
    const std::uint64_t pad = (h >> 9) & 1;
    const auto k = static_cast<std::uint64_t>(kbps), r = static_cast<std::uint64_t>(sample_rate);
    if (out.layer == 1) out.size = (12000 * k / r + pad) * 4;
    else if (out.layer == 2 || version == 3) out.size = 144000 * k / r + pad;
    else out.size = 72000 * k / r + pad;
    return out;
}

bool same_stream(const Header& a, const Header& b) {
    return a.layer == b.layer && a.version == b.version && a.rate_index == b.rate_index;
}

// The size of a free-format frame at `at`: the distance to the next header of
// the same stream (searched over the largest such frame).
std::optional<std::uint64_t> free_format_size(std::span<const std::uint8_t> b, std::size_t at, const Header& first) {
    for (std::size_t next = at + 4; next < b.size() && next < at + 8000; ++next)
        if (const auto h = parse(b, next); h && h->size == 0 && same_stream(*h, first)) return next - at;
    return std::nullopt;
}

// Whether a chain of frames of one stream starts at `at`: CHAIN_FRAMES
// headers each where the previous frame ends, or fewer when the file ends
// (a file of a frame or two, a last frame cut short).
bool chain_at(std::span<const std::uint8_t> b, std::size_t at, std::uint64_t file_size) {
    const auto first = parse(b, at);
    if (!first) return false;
    std::uint64_t pos = at;
    for (int i = 0; i < CHAIN_FRAMES; ++i) {
        if (pos == file_size) return i >= 1;
        if (pos + 4 > b.size()) return i >= 2;  // the probe ends before the file: two frames in a row will do
        const auto h = parse(b, static_cast<std::size_t>(pos));
        if (!h || !same_stream(*h, *first)) return false;
        std::uint64_t size = h->size;
        if (size == 0) {
            const auto free = free_format_size(b, static_cast<std::size_t>(pos), *first);
            if (!free) return i >= 1;
            size = *free;
        }
        pos += size;
        if (pos > file_size) return i >= 1;
    }
    return true;
}

// Some encoders write frames of another size than their headers give (one
// known to write the MPEG-1 size into MPEG-2 frames): headers of one stream at
// a steady cadence, CHAIN_FRAMES of them, are a chain as well.
bool cadence_at(std::span<const std::uint8_t> b, std::size_t at) {
    const auto first = parse(b, at);
    if (!first) return false;
    for (std::size_t next = at + 4; next < b.size() && next < at + 4 + 8000; ++next) {
        const auto h = parse(b, next);
        if (!h || !same_stream(*h, *first)) continue;
        const std::size_t step = next - at;
        std::size_t pos = next;
        int seen = 2;
        while (seen < CHAIN_FRAMES) {
            // A padding byte may lengthen a frame by one.
            std::optional<Header> found;
            for (const std::size_t candidate : {pos + step, pos + step + 1, pos + step - 1})
                if (candidate + 4 <= b.size() && (found = parse(b, candidate)) && same_stream(*found, *first)) {
                    pos = candidate;
                    break;
                } else {
                    found.reset();
                }
            if (!found) break;
            ++seen;
        }
        return seen >= CHAIN_FRAMES;
    }
    return false;
}

std::size_t id3v2_end(std::span<const std::uint8_t> b) {
    if (b.size() < 10 || b[0] != 'I' || b[1] != 'D' || b[2] != '3') return 0;
    std::size_t size = 0;
    for (std::size_t i = 6; i < 10; ++i) size = (size << 7) | (b[i] & 0x7Fu);
    size += 10;
    if (b[3] == 4 && (b[5] & 0x10)) size += 10;
    return size;
}

}  // namespace

const char* format_name(StreamFormat format) {
    switch (format) {
    case StreamFormat::layer3: return "layer3";
    case StreamFormat::mpeg_audio_other: return "mpeg_audio_other";
    case StreamFormat::not_mpeg_audio: return "not_mpeg_audio";
    case StreamFormat::empty: return "empty";
    }
    return "not_mpeg_audio";
}

StreamFormat detect_format(std::span<const std::uint8_t> head, std::uint64_t file_size) {
    if (file_size == 0) return StreamFormat::empty;
    // A Layer III chain anywhere in the probe makes a Layer III file (a file
    // may start with another stream or junk); else any other MPEG audio chain.
    bool other = false;
    for (std::size_t at = id3v2_end(head) < head.size() ? id3v2_end(head) : 0; at + 4 <= head.size(); ++at) {
        if (head[at] != 0xFF || (head[at + 1] & 0xE0) != 0xE0) continue;
        const auto h = parse(head, at);
        if (!h || !(chain_at(head, at, file_size) || cadence_at(head, at))) continue;
        if (h->layer == 3) return StreamFormat::layer3;
        other = true;
    }
    return other ? StreamFormat::mpeg_audio_other : StreamFormat::not_mpeg_audio;
}

}  // namespace gainscan
