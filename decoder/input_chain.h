// The decoder's private copies of its input, oldest chunk first.
#pragma once

#include <cstdint>

#include "decoder/decoder.h"

// The state that dec_decode or dec_finish is working on.
extern constinit thread_local DecoderState* current_state;

InputChunk* dec_append_chunk(DecoderState& state, const std::uint8_t* bytes, std::int32_t size);
void dec_drop_chunk(DecoderState& state);
// When the chain has no unread byte: ends the process with "Fatal error!",
// or, with a message sink installed, reports it, sets `failed` and returns 0.
std::uint32_t dec_read_byte(DecoderState& state);
void dec_shift_header(DecoderState& state);
