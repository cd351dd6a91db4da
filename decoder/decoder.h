// gainscan's Layer III stream decoder: the client interface.
//
// The client owns a DecoderState, calls dec_init, may set the hook slots and
// the user-data word, feeds input with dec_decode (chunks of any size; each
// call decodes at most one frame, so call again with null input while it
// returns DEC_OK), then calls dec_finish once and dec_release once.
//
// The decoder's working storage (current_state, the bit reader, tables,
// spectral and quantised-value buffers) is per thread: one decoder per thread
// may run at a time.
#pragma once

#include <array>
#include <cstdint>

#include "decoder/common/frame_header.h"
#include "decoder/common/messages.h"
#include "decoder/layer3/side_info.h"

inline constexpr int DEC_OK = 0;
inline constexpr int DEC_NEED_MORE = 1;
inline constexpr int DEC_ERROR = -1;

inline constexpr std::int32_t MIN_OUTPUT_SPACE = 4608;
inline constexpr std::size_t FRAME_BUFFER_SIZE = 2304;
inline constexpr std::size_t LEAD_IN_SIZE = 512;  // room for the bit reservoir in front of a body

using FrameHook = void (*)(const FrameInfo* frame, std::uint32_t user_data);

struct InputChunk {
    std::uint8_t* data;
    std::int32_t size;
    std::int32_t read_pos;
    InputChunk* newer;
    InputChunk* older;
};

struct DecoderState {
    InputChunk* newest_chunk;
    InputChunk* oldest_chunk;
    std::int32_t bytes_buffered;
    std::int32_t pending_frame_size;
    std::int32_t prev_frame_size;
    FrameInfo frame;
    std::array<std::array<std::uint8_t, FRAME_BUFFER_SIZE>, 2> frame_buffers;
    std::uint32_t header_candidate;
    std::int32_t buffer_index;
    std::int32_t skipped_total;
    std::uint8_t* consumed_end;
    std::array<std::uint32_t, 256> skipped_histogram;
    FrameHook frame_hook;
    GranuleHook granule_hook;
    std::uint32_t user_data;
    // Set after dec_init. Without a sink, messages go to stdout/stderr and an
    // inconsistent input chain ends the process; with one, messages go to the
    // sink and that fault sets `failed`, after which dec_decode returns DEC_ERROR.
    MessageSink message_sink;
    void* client;  // the client's own per-file record, for its hooks (dec_client)
    std::int32_t failed;
    // 1: no spectrum is computed; frames, side information and messages are
    // those of a full decode, and every granule's spectrum reads as zeros.
    std::int32_t skip_spectrum;
    // 1: the stereo stage that follows a frame's granule hooks (the mid/side
    // sums and differences, the channels' common subband end) is left out.
    // No hook sees its results, only whoever reads the spectral buffers once
    // the frame is done.
    std::int32_t skip_stereo;
    // 1: the granules' quantised values are not kept (GranuleInfo's
    // quantised_values is null); the spectrum is the same.
    std::int32_t skip_quantised;
};

// The DecoderState being decoded on this thread, and its client pointer: for
// hooks, which are called from inside dec_decode.
const DecoderState* dec_current();
void* dec_client();

int dec_init(DecoderState& state);
int dec_decode(DecoderState& state, const std::uint8_t* input, std::int32_t input_size,
               std::uint8_t* output, std::int32_t output_size, std::int32_t* done);
int dec_finish(DecoderState& state);
void dec_release(DecoderState& state);
