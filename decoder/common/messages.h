// The decoder's complaints. By default each goes to the standard stream it
// has always gone to, written the moment it arises; a client that runs many
// files (or several decoders at once) installs a sink in its DecoderState and
// gets every message as text instead, attributed to the file being decoded.
#pragma once

#include <cstddef>

inline constexpr int MESSAGE_STDOUT = 1;
inline constexpr int MESSAGE_STDERR = 2;

struct MessageSink {
    // `text` is exactly what would have been printed, line end included.
    void (*write)(void* context, int stream, const char* text, std::size_t length);
    void* context;
};

// printf-style; goes to the current decoder's sink, or to stdout/stderr.
void dec_message(int stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
