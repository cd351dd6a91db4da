#include "decoder/input_chain.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "decoder/common/messages.h"

constinit thread_local DecoderState* current_state = nullptr;

InputChunk* dec_append_chunk(DecoderState& state, const std::uint8_t* bytes, std::int32_t size) {
    auto* chunk = new (std::nothrow) InputChunk{};
    if (chunk == nullptr) {
        dec_message(MESSAGE_STDERR, "Out of memory!\n");
        return nullptr;
    }
    // A negative size is treated as an empty chunk rather than a huge allocation.
    const std::int32_t length = size > 0 ? size : 0;
    chunk->data = new (std::nothrow) std::uint8_t[static_cast<std::size_t>(length) + 1];
    if (chunk->data == nullptr) {
        delete chunk;
        return nullptr;
    }
    chunk->size = length;
    if (length > 0) std::memcpy(chunk->data, bytes, static_cast<std::size_t>(length));
    chunk->read_pos = 0;
    chunk->newer = nullptr;
    chunk->older = state.newest_chunk;
    if (state.oldest_chunk == nullptr)
        state.oldest_chunk = chunk;
    else
        state.newest_chunk->newer = chunk;
    state.newest_chunk = chunk;
    state.bytes_buffered += length;
    return chunk;
}

void dec_drop_chunk(DecoderState& state) {
    InputChunk* old = state.oldest_chunk;
    state.oldest_chunk = old->newer;
    if (state.oldest_chunk != nullptr)
        state.oldest_chunk->older = nullptr;
    else
        state.newest_chunk = nullptr;
    delete[] old->data;
    delete old;
}

std::uint32_t dec_read_byte(DecoderState& state) {
    while (state.oldest_chunk != nullptr && state.oldest_chunk->read_pos >= state.oldest_chunk->size)
        dec_drop_chunk(state);
    if (state.oldest_chunk == nullptr) {
        // Only a chain that disagrees with bytes_buffered gets here. A client
        // with its own message sink runs many files in one process, so for it
        // this ends the file, not the process.
        if (state.message_sink.write == nullptr) {
            std::fprintf(stderr, "Fatal error!\n");
            std::exit(1);
        }
        dec_message(MESSAGE_STDERR, "Fatal error!\n");
        state.failed = 1;
        return 0;
    }
    InputChunk* chunk = state.oldest_chunk;
    --state.bytes_buffered;
    return chunk->data[chunk->read_pos++];
}

void dec_shift_header(DecoderState& state) {
    state.header_candidate = (state.header_candidate << 8) | dec_read_byte(state);
    ++state.frame.skipped_bytes;
    ++state.skipped_total;
}
