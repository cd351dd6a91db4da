// Builds MPEG audio streams field by field for the tests: headers, side
// information, Huffman codes and tag blocks, so that every case states the
// bytes it feeds.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_stream {

using Bytes = std::vector<std::uint8_t>;

// Appends bits most significant first; a partial last byte is zero-padded.
class BitWriter {
public:
    void put(std::uint32_t value, int bits);
    std::size_t bit_count() const { return bit_count_; }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
    std::size_t bit_count_ = 0;
};

struct HeaderFields {
    int version = 1;  // 1 = MPEG-1, 2 = MPEG-2, 25 = MPEG-2.5
    int layer = 3;
    bool crc = false;
    int bitrate_index = 9;    // 128 kbit/s in MPEG-1
    int frequency_bits = 0;   // 0..2 (3 is reserved)
    int padding = 0;
    int mode = 1;             // 0 stereo, 1 joint, 2 dual, 3 mono
    int mode_extension = 0;
};

std::uint32_t header_word(const HeaderFields& h);
// Body size in bytes (frame less its 4 header bytes) of a Layer III header.
int layer3_body_size(const HeaderFields& h);

struct GranuleFields {
    std::uint32_t part2_3_length = 0;
    std::uint32_t big_values = 0;
    std::uint32_t global_gain = 0;
    std::uint32_t scalefac_compress = 0;
    bool window_switching = false;
    std::uint32_t block_type = 0;
    std::uint32_t mixed_block_flag = 0;
    std::array<std::uint32_t, 3> table_select{};
    std::array<std::uint32_t, 3> subblock_gain{};
    std::uint32_t region0_count = 0;
    std::uint32_t region1_count = 0;
    std::uint32_t preflag = 0;  // MPEG-1 only
    std::uint32_t scalefac_scale = 0;
    std::uint32_t count1table_select = 0;
};

struct SideInfoFields {
    std::uint32_t main_data_begin = 0;
    std::uint32_t private_bits = 0;
    std::array<std::uint32_t, 2> scfsi{};                   // MPEG-1 only
    std::array<std::array<GranuleFields, 2>, 2> granule{};  // [granule][channel]
};

void put_side_info(BitWriter& w, const SideInfoFields& s, bool lsf, int channels);

// A whole Layer III frame without main data: the header, the side
// information, and zeros to the size the header gives.
Bytes side_info_frame(const HeaderFields& h, const SideInfoFields& s);

// One big-value pair of signed values with its escapes and sign bits, and one
// count1 quadruple of values -1, 0 or 1 (table 'A' or 'B'), with the codes
// of the standard's tables (read from layer3_tables.txt).
void put_pair(BitWriter& w, int table, int x, int y);
void put_quad(BitWriter& w, char table, int v, int ww, int x, int y);

// An ID3v2 tag header of the given size followed by `size` zero bytes; with
// `high_bits` the top bit of every size byte is set (it must be ignored).
Bytes id3v2_tag(std::uint32_t size, bool high_bits = false);
// An "AiD" block whose length field is `length` (it counts its own 6 bytes),
// followed by max(length - 6, 0) bytes of `fill`.
Bytes aid_block(std::uint16_t length, std::uint8_t fill = 0x55);

}  // namespace testing_stream
