#include "decoder/reservoir.h"

#include <cstring>

#include "decoder/common/bit_reader.h"
#include "decoder/common/messages.h"
#include "decoder/input_chain.h"

int reservoir_position(std::int32_t backstep) {
    DecoderState& state = *current_state;
    if (state.prev_frame_size < 0 && backstep > 0) {
        dec_message(MESSAGE_STDERR, "Can't step back %ld!\n", static_cast<long>(backstep));
        return -1;
    }
    std::uint8_t* previous = state.frame_buffers[static_cast<std::size_t>(state.buffer_index)].data();
    // The previous buffer holds its main-data stream in one piece from its
    // own reservoir copy up to the end of its body, so a reservoir that spans
    // two frames is read from there.
    std::uint8_t* reservoir_start = previous + LEAD_IN_SIZE + state.prev_frame_size - backstep;

    if (backstep != 0) {
        bit_reader.byte_pointer -= backstep;
        std::memcpy(bit_reader.byte_pointer, reservoir_start, static_cast<std::size_t>(backstep));
    }

    if (state.consumed_end != nullptr) {
        for (const std::uint8_t* p = state.consumed_end; p < reservoir_start; ++p)
            ++state.skipped_histogram[*p];
    }
    bit_reader.bit_index = 0;
    return 0;
}
