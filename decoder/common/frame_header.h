// MPEG audio frame header: plausibility test, decoding into FrameInfo, and
// the Layer III frame length.
#pragma once

#include <array>
#include <cstdint>

struct GranuleInfo;

// Called once per granule and channel; the record is valid only during the call.
using GranuleHook = void (*)(const GranuleInfo* granule, std::uint32_t user_data,
                             std::int32_t channel);

// The decoded header of the current frame plus the per-frame working fields
// that the Layer III stages and the hooks use. A field a step does not write
// keeps its previous value.
struct FrameInfo {
    std::int32_t channels;
    std::int32_t lsf_flag;
    std::int32_t mpeg25_flag;
    std::int32_t layer;
    std::int32_t crc_present;
    std::int32_t bitrate_index;
    std::int32_t sampling_index;
    std::int32_t padding_bit;
    std::int32_t private_bit;
    std::int32_t mode;
    std::int32_t mode_extension;
    std::int32_t copyright;
    std::int32_t original;
    std::int32_t emphasis;
    std::int32_t frame_size;  // body bytes: the frame less its 4 header bytes
    std::int32_t skipped_bytes;
    std::int32_t main_data_begin;
    std::int32_t error_flag;
    std::uint32_t header_word;
    std::int32_t granule_index;  // of the granule whose hook is running
    GranuleHook granule_hook;
    std::uint32_t user_data;
    // 1: the granules' Huffman codes are stepped over, not turned into a
    // spectrum (the client wants only the side information).
    std::int32_t skip_spectrum;
    // 1: no stereo processing after the granule hooks (see DecoderState).
    std::int32_t skip_stereo;
    // 1: the quantised values are not kept (see DecoderState).
    std::int32_t skip_quantised;
};

// Bitrates in kbit/s by [row][bitrate_index]: rows 0-2 MPEG-1 Layers I, II
// and III, rows 3-4 MPEG-2 and 2.5 Layer I and Layers II/III; 0 for free
// format and for the forbidden index 15.
inline constexpr std::array<std::array<std::int32_t, 16>, 5> BITRATE_KBPS = {{
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
}};
inline constexpr std::size_t bitrate_row(bool lsf, int layer) {
    return lsf ? (layer == 1 ? 3 : 4) : static_cast<std::size_t>(layer - 1);
}

// Sampling rates in Hz by combined sampling index: MPEG-1, MPEG-2, MPEG-2.5.
inline constexpr std::array<std::int32_t, 9> SAMPLING_RATES = {
    44100, 48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000};

// 1 when the 32-bit candidate may be a frame header, else 0.
int header_is_plausible(std::uint32_t header);

// Fills `frame` from `header`. 1 when accepted (Layer III, and Layer I/II,
// which keep the previous frame_size), 0 for a reserved sampling frequency,
// -1 for a reserved layer.
int header_decode(FrameInfo& frame, std::uint32_t header);
