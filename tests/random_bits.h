// Buffers of made-up main data for the Huffman stage's tests: the stream is
// someone else's file, damaged or not, so any bits at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Kinds of bytes: random ones (every code of a table, escapes of every
// length), mostly zeros (the shortest codes, many pairs a read) and ones (the
// longest codes and escapes).
enum class Fill { random, mostly_zero, ones };

inline std::vector<std::uint8_t> bytes_of(Fill fill, std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::uint8_t& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        const auto r = static_cast<std::uint8_t>(state >> 24);
        switch (fill) {
        case Fill::random: byte = r; break;
        case Fill::mostly_zero: byte = (r & 0x0Fu) == 0 ? r : 0; break;
        case Fill::ones: byte = 0xFF; break;
        }
    }
    return bytes;
}
