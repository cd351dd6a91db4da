// What a file is, decided from its bytes alone (never its name): MPEG audio
// Layer III, other MPEG audio (Layer I or II only), something else, or empty.
// MPEG audio is a chain of frames, each header where the previous frame ends;
// a sync word on its own is common in any binary file, a chain of them is not.
#pragma once

#include <cstdint>
#include <span>

namespace gainscan {

enum class StreamFormat { layer3, mpeg_audio_other, not_mpeg_audio, empty };

const char* format_name(StreamFormat format);

// Consecutive frame headers that make a chain (fewer when the file ends
// right after the last of them).
inline constexpr int CHAIN_FRAMES = 4;
// Bytes of a file's start that `detect_format` needs at most.
inline constexpr std::size_t FORMAT_PROBE_BYTES = 1 << 20;

// `head`: the first bytes of the file (up to FORMAT_PROBE_BYTES);
// `file_size`: the whole file's size (a chain may end with the file).
StreamFormat detect_format(std::span<const std::uint8_t> head, std::uint64_t file_size);

}  // namespace gainscan
