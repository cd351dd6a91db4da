// The read-and-decode loop both programs share: the leading tag blocks, then
// the file in chunks into the decoder, each chunk's frames decoded before the
// next is read, with the caller deciding after each frame whether to stop.
#pragma once

#include <cstdint>
#include <span>

#include "gainscan/analysis.h"
#include "gainscan/decoder.h"

namespace gainscan {

inline constexpr std::size_t READ_CHUNK = 16385;  // bytes read from the file per chunk
inline constexpr std::size_t READ_BUFFER = 16400;  // a chunk plus the four bytes carried over

class ReadObserver {
public:
    virtual ~ReadObserver() = default;
    // Where the first byte fed to the decoder lies in the file (told before any frame).
    virtual void audio_starts_at(std::uint64_t offset) = 0;
    // Asked after each frame decoded without new input; true ends the reading.
    virtual bool stop_after_frame() = 0;
};

struct ReadResult {
    std::uint64_t audio_start = 0;  // offset of the first byte fed to the decoder
    bool read_error = false;        // the source failed other than at its end
    std::uint64_t file_length = 0;
};

// `buffer` holds at least READ_BUFFER bytes. "decoding error" goes to `sink`
// when the decoder stops on a fault in the stream (not when its input failed:
// the caller tells that case by the decoder's own message).
ReadResult read_and_decode(ByteSource& source, Decoder& decoder, std::span<std::uint8_t> buffer, ReadObserver& rule,
                           MessageSink& sink, bool& decoder_failed);

}  // namespace gainscan
