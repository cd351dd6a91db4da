// The decoder's private copies of its input, oldest chunk first.
#pragma once

#include <cstdint>

#include "decoder/decoder.h"

// The state that dec_decode or dec_finish is working on.
extern constinit thread_local DecoderState* current_state;

InputChunk* dec_append_chunk(DecoderState& state, const std::uint8_t* bytes, std::int32_t size);
void dec_drop_chunk(DecoderState& state);
// Ends the process with "Fatal error!" if the chain has no unread byte.
std::uint32_t dec_read_byte(DecoderState& state);
void dec_shift_header(DecoderState& state);
