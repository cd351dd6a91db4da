#include "decoder/decoder.h"

#include <cstring>

#include "decoder/common/bit_reader.h"
#include "decoder/common/messages.h"
#include "decoder/input_chain.h"
#include "decoder/layer3/granule_loop.h"
#include "decoder/reservoir.h"

int dec_init(DecoderState& state) {
    state = DecoderState{};
    state.prev_frame_size = -1;
    // The computed tables are generated constants (decoder/tables): nothing to
    // build here, so a decoder per file costs only the clearing of its state.
    return 1;
}

namespace {

// Shifts bytes through the header window until a plausible header decodes.
// DEC_OK when one did (its body size is then pending).
int search_header(DecoderState& state) {
    if (state.bytes_buffered < 4) return DEC_NEED_MORE;
    while (state.bytes_buffered != 0) {
        dec_shift_header(state);
        if (state.failed) return DEC_ERROR;
        if (!header_is_plausible(state.header_candidate)) continue;
        if (header_decode(state.frame, state.header_candidate) == 0) {
            dec_message(MESSAGE_STDOUT, "Error: header junk\n");
            return DEC_ERROR;
        }
        state.pending_frame_size = state.frame.frame_size;
        // The header's own four bytes were not skipped.
        state.frame.skipped_bytes -= 4;
        state.skipped_total -= 4;
        return DEC_OK;
    }
    return DEC_NEED_MORE;
}

void copy_body(DecoderState& state, std::uint8_t* to, std::int32_t size) {
    while (size > 0 && state.oldest_chunk != nullptr) {
        InputChunk* chunk = state.oldest_chunk;
        std::int32_t take = chunk->size - chunk->read_pos;
        if (take > size) take = size;
        std::memcpy(to, chunk->data + chunk->read_pos, static_cast<std::size_t>(take));
        to += take;
        size -= take;
        chunk->read_pos += take;
        state.bytes_buffered -= take;
        if (chunk->read_pos >= chunk->size) dec_drop_chunk(state);
    }
}

}  // namespace

int dec_decode(DecoderState& state, const std::uint8_t* input, std::int32_t input_size,
               std::uint8_t* output, std::int32_t output_size, std::int32_t* done) {
    current_state = &state;
    if (state.failed) return DEC_ERROR;
    // The output buffer is never written; a client that passes one must still
    // pass the size it always had to.
    if (output != nullptr && output_size < MIN_OUTPUT_SPACE) {
        dec_message(MESSAGE_STDERR, "To less out space\n");
        return DEC_ERROR;
    }
    if (input != nullptr && dec_append_chunk(state, input, input_size) == nullptr) return DEC_ERROR;

    if (state.pending_frame_size == 0) {
        const int found = search_header(state);
        if (found != DEC_OK) return found;
    }
    if (state.frame.frame_size > state.bytes_buffered) return DEC_NEED_MORE;

    auto& buffer = state.frame_buffers[static_cast<std::size_t>(state.buffer_index)];
    bit_reader_attach(buffer.data(), buffer.size(), buffer.data() + LEAD_IN_SIZE);
    state.buffer_index ^= 1;
    copy_body(state, buffer.data() + LEAD_IN_SIZE, state.pending_frame_size);

    if (done != nullptr) *done = 0;
    if (state.frame.crc_present) bits_read(16);  // stepped over, not verified
    state.frame.granule_hook = state.granule_hook;
    state.frame.user_data = state.user_data;
    state.frame.skip_spectrum = state.skip_spectrum;
    state.frame.skip_stereo = state.skip_stereo;
    state.frame.skip_quantised = state.skip_quantised;
    layer3_decode_frame(state.frame, output, done);

    const FrameHook hook = state.frame_hook;
    if (hook != nullptr) hook(&state.frame, state.user_data);

    state.prev_frame_size = state.pending_frame_size;
    state.consumed_end = bit_reader.byte_pointer + (bit_reader.bit_index != 0 ? 1 : 0);
    state.pending_frame_size = 0;
    state.frame.skipped_bytes = 0;
    return DEC_OK;
}

const DecoderState* dec_current() { return current_state; }

void* dec_client() { return current_state != nullptr ? current_state->client : nullptr; }

int dec_finish(DecoderState& state) {
    current_state = &state;
    state.buffer_index ^= 1;
    // Counts the bytes behind the last frame's main data.
    reservoir_position(0);
    return 0;
}

void dec_release(DecoderState& state) {
    InputChunk* chunk = state.oldest_chunk;
    while (chunk != nullptr) {
        InputChunk* newer = chunk->newer;
        delete[] chunk->data;
        delete chunk;
        chunk = newer;
    }
}
