// Most-significant-bit-first reader over the current frame buffer.
//
// The reader is held inside the buffer it was positioned in: a byte at or
// beyond the buffer's end reads as 0, so a damaged granule that decodes far
// past its data gets zero bits instead of touching memory it does not own.
// The position itself may run on past the end.
//
// Every read goes through one 64-bit window: the eight bytes from the current
// byte, most significant first, shifted so that the next bit is the window's
// top bit. Away from the buffer's end that is one unaligned load; only the
// last seven bytes of the buffer (and anything outside it) are assembled
// byte by byte, with zeros outside. Since bit_index is at most 7, a window
// always holds at least 57 valid bits, so a caller may take several fields
// from one window and then skip their total length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct BitReader {
    std::uint8_t* byte_pointer;
    std::int32_t bit_index;  // 0 = most significant bit of *byte_pointer
    std::uint8_t* buffer_begin;
    std::size_t buffer_size;
};

extern constinit thread_local BitReader bit_reader;

inline constexpr int BIT_WINDOW_VALID = 57;  // bits a window always holds

// Positions the reader at `position` inside the buffer [begin, begin + size).
inline void bit_reader_attach(std::uint8_t* begin, std::size_t size, std::uint8_t* position) {
    bit_reader.buffer_begin = begin;
    bit_reader.buffer_size = size;
    bit_reader.byte_pointer = position;
    bit_reader.bit_index = 0;
}

inline std::uint32_t bit_reader_byte_at(const std::uint8_t* p) {
    const auto offset = static_cast<std::size_t>(p - bit_reader.buffer_begin);
    return offset < bit_reader.buffer_size ? *p : 0u;
}

// The 64 bits from byte `offset` of [begin, begin + size) on, the first in
// bit 63; bytes outside the buffer read as 0.
inline std::uint64_t bit_buffer_word(const std::uint8_t* begin, std::int64_t size, std::int64_t offset) {
    std::uint64_t w = 0;
    if (offset >= 0 && offset + 8 <= size) {
        // Spelt out byte by byte, which compilers turn into one load and one
        // byte swap; a loop over the bytes is left as eight shifts at -O2.
        const std::uint8_t* p = begin + offset;
        w = (std::uint64_t{p[0]} << 56) | (std::uint64_t{p[1]} << 48) | (std::uint64_t{p[2]} << 40) |
            (std::uint64_t{p[3]} << 32) | (std::uint64_t{p[4]} << 24) | (std::uint64_t{p[5]} << 16) |
            (std::uint64_t{p[6]} << 8) | std::uint64_t{p[7]};
    } else {
        for (std::int64_t at = offset; at < offset + 8; ++at) w = (w << 8) | (at >= 0 && at < size ? begin[at] : 0u);
    }
    return w;
}

// The next 64 bits, the first of them in bit 63; bits 0..6 may belong to
// bytes the window did not load and are then 0.
inline std::uint64_t bit_reader_window() {
    const std::int64_t offset = bit_reader.byte_pointer - bit_reader.buffer_begin;
    return bit_buffer_word(bit_reader.buffer_begin, static_cast<std::int64_t>(bit_reader.buffer_size), offset)
           << bit_reader.bit_index;
}

// The top n bits of a window (n from 0 to 32; 0 gives 0).
inline std::uint32_t bit_window_take(std::uint64_t window, int n) {
    return static_cast<std::uint32_t>((window >> 1) >> (63 - n));
}

// The reader's position in bits from its buffer's start, and a move to one.
inline std::int64_t bit_reader_position() {
    return (bit_reader.byte_pointer - bit_reader.buffer_begin) * 8 + bit_reader.bit_index;
}
inline void bit_reader_seek(std::int64_t position) {
    bit_reader.byte_pointer = bit_reader.buffer_begin + (position >> 3);
    bit_reader.bit_index = static_cast<std::int32_t>(position & 7);
}

inline void bit_reader_skip(std::int32_t n) {
    bit_reader.bit_index += n;
    bit_reader.byte_pointer += bit_reader.bit_index >> 3;
    bit_reader.bit_index &= 7;
}

// n from 0 to 17.
inline std::uint32_t bits_read(int n) {
    if (n == 0) return 0;
    const std::uint32_t value = bit_window_take(bit_reader_window(), n);
    bit_reader_skip(n);
    return value;
}

// n from 0 to 9.
inline std::uint32_t bits_read_short(int n) {
    const std::uint32_t value = bit_window_take(bit_reader_window(), n);
    bit_reader_skip(n);
    return value;
}

inline std::uint32_t bits_read_one() {
    const std::uint32_t value =
        ((bit_reader_byte_at(bit_reader.byte_pointer) << bit_reader.bit_index) & 0xFFu) >> 7;
    bit_reader_skip(1);
    return value;
}
