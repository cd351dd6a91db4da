// --layer3-only: does a file start like MPEG audio Layer III? Looked for in
// its first bytes, after an optional ID3v2 tag (and the "AiD" block the
// analysis also steps over): a frame header (sync, a valid version, Layer III,
// a bitrate other than free or bad, a valid sample rate) followed, at the
// frame length it gives, by a second header of the same version and rate, or
// by the end of the file. One plausible header alone is too easy to find in
// other data by chance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

// How far after the tags a first header is looked for.
inline constexpr std::size_t SNIFF_WINDOW = 8192;

// `read_at(offset, to)` reads up to to.size() bytes at `offset` and returns
// the count; `file_size` is the file's length.
bool starts_like_layer3(const std::function<std::size_t(std::uint64_t, std::span<std::uint8_t>)>& read_at,
                        std::uint64_t file_size);
