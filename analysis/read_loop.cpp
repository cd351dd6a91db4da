#include "analysis/read_loop.h"

namespace gainscan {

namespace {

// Reads as a std::istream does: a read or a skip that reaches the end sets
// the end flag, after which the loop reads no more; an exact fit does not.
class Reader {
public:
    explicit Reader(ByteSource& source) : source_(source) {}

    std::size_t read(std::uint8_t* to, std::size_t count) {
        if (ended_) return 0;
        const std::size_t got = source_.read(std::span(to, count));
        position_ += got;
        if (got < count) ended_ = true;
        return got;
    }

    // Reads and discards `count` bytes, stopping early only at the end.
    void skip(std::uint64_t count, std::span<std::uint8_t> scratch) {
        while (count > 0 && !ended_) {
            const std::size_t part = count < scratch.size() ? static_cast<std::size_t>(count) : scratch.size();
            read(scratch.data(), part);
            count -= part;
        }
    }

    bool good() const { return !ended_ && !source_.failed(); }
    std::uint64_t position() const { return position_; }

private:
    ByteSource& source_;
    std::uint64_t position_ = 0;
    bool ended_ = false;
};

// Steps over an ID3v2 tag and then an "AiD" block; leaves the first four
// bytes after them at the start of `buffer`.
void skip_leading_blocks(Reader& reader, std::span<std::uint8_t> buffer) {
    std::uint8_t* b = buffer.data();
    const auto scratch = buffer.subspan(4);
    reader.read(b, 4);
    if (b[0] == 'I' && b[1] == 'D' && b[2] == '3') {
        // Minor version, flags, then a 28-bit synchsafe size (top bits ignored).
        reader.read(b, 6);
        const std::uint64_t size = (std::uint64_t{b[2] & 0x7Fu} << 21) | ((b[3] & 0x7Fu) << 14) |
                                   ((b[4] & 0x7Fu) << 7) | (b[5] & 0x7Fu);
        reader.skip(size, scratch);
        reader.read(b, 4);
    }
    if (b[0] == 'A' && b[1] == 'i' && b[2] == 'D' && b[3] == 0x01) {
        // The length counts the four magic bytes and its own two bytes.
        reader.read(b, 2);
        const int length = b[0] | (b[1] << 8);
        if (length - 6 > 0) reader.skip(static_cast<std::uint64_t>(length - 6), scratch);
        reader.read(b, 4);
    }
}

}  // namespace

ReadResult read_and_decode(ByteSource& source, Decoder& decoder, std::span<std::uint8_t> buffer, ReadObserver& rule,
                           MessageSink& sink, bool& decoder_failed) {
    ReadResult result;
    Reader reader(source);
    if (reader.good()) {
        skip_leading_blocks(reader, buffer);
        // Where a read ran into the end, the position is not known (as a
        // stream's tellg says); nothing is decoded then anyway.
        result.audio_start = reader.good() && reader.position() >= 4 ? reader.position() - 4 : 0;
    }
    rule.audio_starts_at(result.audio_start);

    std::size_t carry = 4;  // the last four bytes read above start the audio
    bool stop = false;
    while (!stop && reader.good()) {
        const std::size_t length = reader.read(buffer.data() + carry, READ_CHUNK) + carry;
        carry = 0;
        if (length < 1) break;
        Step step = decoder.feed(std::span<const std::uint8_t>(buffer.data(), length));
        while (step == Step::frame) {
            step = decoder.next();
            // The stop rule is asked only after calls without new data.
            if (rule.stop_after_frame()) {
                stop = true;
                break;
            }
        }
        if (stop) break;
        if (step == Step::error) {
            decoder_failed = decoder.failed();
            if (!decoder_failed) sink.message(Stream::err, "decoding error");
            break;
        }
    }
    decoder.finish();
    result.read_error = source.failed();
    result.file_length = source.size();
    return result;
}

}  // namespace gainscan
