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

// Whether, on the calling thread, the records of a frame of long blocks are
// decoded two Huffman streams at a time when only their spectra are wanted
// (the default) or one after the other. Both give the same spectra, hooks and
// messages in the same order; the choice is there for tests and benchmarks.
void layer3_decode_records_together(bool together);
