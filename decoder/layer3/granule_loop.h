// The Layer III stage of one frame: side information, bit reservoir, and for
// each granule and channel scale factors, Huffman decoding, the granule hook,
// then the mid/side matrix and subband alignment.
#pragma once

#include <array>
#include <cstdint>

#include "decoder/common/frame_header.h"

extern constinit thread_local std::array<std::array<float, 576>, 2> spectral_buffers;

// Always returns 0; faults are reported through frame.error_flag. No samples
// are produced, so the output area and count are not touched.
int layer3_decode_frame(FrameInfo& frame, std::uint8_t* output, std::int32_t* done);
