// gainscan's Layer III stream decoder, as a library: feed it the bytes of an
// MPEG audio stream in spans of any size and it reports, through one
// observer, every frame and every granule record it decodes, with the side
// information and the requantised spectrum. It produces no audio.
//
//     gainscan::Decoder decoder;
//     decoder.set_observer(&my_observer);
//     for (auto chunk : chunks) {
//         auto step = decoder.feed(chunk);
//         while (step == gainscan::Step::frame) step = decoder.next();
//         if (step == gainscan::Step::error) break;
//     }
//     decoder.finish();
//
// One Decoder per stream; a Decoder may be moved to another thread between
// calls, and any number of them may run at once on different threads.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace gainscan {

// What one call did.
enum class Step {
    frame,      // decoded one frame; call next() for the next buffered one
    need_more,  // every buffered byte is used: feed more
    error,      // the stream cannot be decoded further (the reason went to the message sink)
};

// Where the classic analyser prints a message: the decoder's complaints about
// a damaged stream are part of its report, so they keep their stream.
enum class Stream { out, err };

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // `text` is one message exactly as the classic analyser prints it, line end included.
    virtual void message(Stream stream, std::string_view text) = 0;
};

enum class MpegVersion { mpeg1, mpeg2, mpeg25 };
enum class ChannelMode { stereo, joint_stereo, dual_channel, mono };

struct FrameHeader {
    MpegVersion version;
    int layer;                 // 1, 2 or 3
    int sample_rate;           // Hz
    int bitrate_kbps;          // 0: free format
    ChannelMode mode;
    int mode_extension;
    int channels;
    bool crc_protected;
    bool padding;
    // The bytes the decoder takes as this frame, header included: for a
    // Layer III frame its size; a Layer I or II frame is not decoded but
    // stepped over by the size of the frame before it (4 at the start).
    std::int32_t frame_bytes;
};

// The bitrate in kbit/s that a header's 4-bit index stands for in `version`
// and `layer` (1 to 3); 0 for free format, the forbidden index 15 and
// anything out of range.
int bitrate_kbps(MpegVersion version, int layer, int index);

struct FrameEvent {
    std::int64_t frame_index;   // frames reported before this one
    std::uint64_t offset;       // of the header's first byte, in the bytes fed so far
    FrameHeader header;
    std::int32_t main_data_begin;
    std::int32_t skipped_bytes;  // bytes stepped over to find this header
    bool damaged;                // a bit-stream fault was noted inside the frame
};

// The Layer III side information of one granule of one channel, as read.
struct GranuleSideInfo {
    std::uint32_t part2_3_length;
    std::uint32_t big_values;
    std::uint32_t global_gain;
    std::uint32_t scalefac_compress;
    std::uint32_t block_type;
    std::uint32_t mixed_block_flag;
    std::array<std::uint32_t, 3> table_select;
    std::uint32_t region1_start;  // in pairs of lines
    std::uint32_t region2_start;  // in pairs of lines
    std::uint32_t preflag;
    std::uint32_t scalefac_scale;
    std::uint32_t count1table_select;
    std::int32_t scfsi;  // -1 in granule 0: nothing to reuse yet
};

struct GranuleEvent {
    std::int64_t frame_index;
    std::uint64_t frame_offset;  // of the frame header, in the bytes fed so far
    int granule;                 // 0 or 1 (always 0 for MPEG-2 and 2.5)
    int channel;                 // 0 or 1
    // Position in the hiding layout: every granule of every channel of every
    // Layer III frame in decoding order, also those the decoder could not
    // read; even slots carry a bit.
    std::int64_t slot;
    const FrameHeader* header;
    GranuleSideInfo side_info;
    std::span<const float, 576> spectrum;  // requantised, before any stereo processing
    std::uint32_t spectrum_end;            // every line from here up is zero
};

class DecoderObserver {
public:
    virtual ~DecoderObserver() = default;
    virtual void on_granule(const GranuleEvent&) {}
    // After the frame's granules.
    virtual void on_frame(const FrameEvent&) {}
};

struct DecoderOptions {
    // false: the granule records' spectra are not computed. Every Huffman
    // code is still read, so frames, side information, messages and errors
    // are exactly those of a full decode, at a fraction of its cost; each
    // GranuleEvent's spectrum is then 576 zeros and its spectrum_end 0. For
    // clients that need only the side information.
    bool spectrum = true;
};

class Decoder {
public:
    Decoder();
    explicit Decoder(DecoderOptions options);
    ~Decoder();
    Decoder(Decoder&&) noexcept;
    Decoder& operator=(Decoder&&) noexcept;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Not owned; null drops the messages / the events.
    void set_message_sink(MessageSink* sink);
    void set_observer(DecoderObserver* observer);

    // Takes a copy of `input` (at most MAX_FEED, 256 MiB) and decodes at most one frame.
    static constexpr std::size_t MAX_FEED = std::size_t{1} << 28;
    Step feed(std::span<const std::uint8_t> input);
    // Decodes the next buffered frame, if there is one.
    Step next();
    // The stream has ended: accounts for the bytes behind the last frame.
    void finish();
    // Back to a fresh stream (sink, observer and options are kept).
    void reset();

    std::int64_t frames() const;         // frames reported
    // The decoder's own input bookkeeping broke (never a fault of the
    // stream); every call returns Step::error from then on.
    bool failed() const;
    std::uint64_t bytes_fed() const;
    std::uint64_t bytes_skipped() const;  // bytes stepped over between frames

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace gainscan
