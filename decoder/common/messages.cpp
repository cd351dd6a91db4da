#include "decoder/common/messages.h"

#include <cstdarg>
#include <cstdio>

#include "decoder/input_chain.h"

void dec_message(int stream, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const DecoderState* state = current_state;
    if (state != nullptr && state->message_sink.write != nullptr) {
        // Every message the decoder has is one short line.
        char text[256];
        const int length = std::vsnprintf(text, sizeof text, format, args);
        if (length > 0) {
            const auto size = static_cast<std::size_t>(length) < sizeof text ? static_cast<std::size_t>(length)
                                                                              : sizeof text - 1;
            state->message_sink.write(state->message_sink.context, stream, text, size);
        }
    } else {
        std::vfprintf(stream == MESSAGE_STDOUT ? stdout : stderr, format, args);
    }
    va_end(args);
}
