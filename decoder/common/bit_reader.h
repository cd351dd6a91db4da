// Most-significant-bit-first reader over the current frame buffer.
//
// The reader is held inside the buffer it was positioned in: a byte at or
// beyond the buffer's end reads as 0, so a damaged granule that decodes far
// past its data gets zero bits instead of touching memory it does not own.
// The position itself may run on past the end.
#pragma once

#include <cstddef>
#include <cstdint>

struct BitReader {
    std::uint8_t* byte_pointer;
    std::int32_t bit_index;  // 0 = most significant bit of *byte_pointer
    std::uint8_t* buffer_begin;
    std::size_t buffer_size;
};

extern constinit thread_local BitReader bit_reader;

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

// n from 0 to 17.
inline std::uint32_t bits_read(int n) {
    if (n == 0) return 0;
    const std::uint8_t* p = bit_reader.byte_pointer;
    std::uint32_t w = (bit_reader_byte_at(p) << 16) | (bit_reader_byte_at(p + 1) << 8) |
                      bit_reader_byte_at(p + 2);
    w = (w << bit_reader.bit_index) & 0xFFFFFFu;
    bit_reader.bit_index += n;
    bit_reader.byte_pointer += bit_reader.bit_index >> 3;
    bit_reader.bit_index &= 7;
    return w >> (24 - n);
}

// n from 0 to 9.
inline std::uint32_t bits_read_short(int n) {
    const std::uint8_t* p = bit_reader.byte_pointer;
    std::uint32_t w = (bit_reader_byte_at(p) << 8) | bit_reader_byte_at(p + 1);
    w = (w << bit_reader.bit_index) & 0xFFFFu;
    bit_reader.bit_index += n;
    bit_reader.byte_pointer += bit_reader.bit_index >> 3;
    bit_reader.bit_index &= 7;
    return w >> (16 - n);
}

inline std::uint32_t bits_read_one() {
    const std::uint32_t w = (bit_reader_byte_at(bit_reader.byte_pointer) << bit_reader.bit_index) & 0xFFu;
    bit_reader.bit_index += 1;
    bit_reader.byte_pointer += bit_reader.bit_index >> 3;
    bit_reader.bit_index &= 7;
    return w >> 7;
}
