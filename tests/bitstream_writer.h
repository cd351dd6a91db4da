// Builds MPEG audio streams field by field for the tests: headers, CRC words,
// side information, scale factors, Huffman codes, junk and tag blocks, so
// that every test states the bytes it feeds.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_stream {

using Bytes = std::vector<std::uint8_t>;

// Appends bits most significant first.
class BitWriter {
public:
    void put(std::uint32_t value, int bits);
    // A string of '0' and '1', first transmitted bit first.
    void put_code(const std::string& code);
    void put_bytes(const Bytes& bytes);
    // Pads with zero bits to a byte boundary.
    void align();
    std::size_t bit_count() const { return bit_count_; }
    // The bytes so far; a partial last byte is padded with zeros.
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
void put_header(BitWriter& w, const HeaderFields& h);

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
    std::array<std::uint32_t, 2> scfsi{};             // MPEG-1 only
    std::array<std::array<GranuleFields, 2>, 2> granule{};  // [granule][channel]
};

// MPEG-1: 17 (mono) or 32 bytes; LSF: 9 or 17 bytes.
void put_side_info(BitWriter& w, const SideInfoFields& s, bool lsf, int channels);
int side_info_bytes(bool lsf, int channels);

// Huffman codes from the standard's tables (read from layer3_tables.txt).
std::string pair_code(int table, int x, int y);
std::string quad_code(char table, int v, int w, int x, int y);
int table_linbits(int table);

// Writes one big-value pair with escapes and sign bits: x and y are signed
// values; magnitudes of 15 and above use the table's linbits.
// Returns the number of bits written.
int put_pair(BitWriter& w, int table, int x, int y);
// One count1 quadruple of values -1, 0 or 1; returns the bits written.
int put_quad(BitWriter& w, char table, int v, int ww, int x, int y);

// A whole Layer III frame: header, optional CRC word, side information and
// main data, padded with `fill` up to the header's frame size (main data
// longer than the frame is cut).
Bytes frame(const HeaderFields& h, const SideInfoFields& s, const Bytes& main_data,
            std::uint8_t fill = 0);

// An ID3v2 tag header of the given size followed by `size` zero bytes; with
// `high_bits` the top bit of every size byte is set (it must be ignored).
Bytes id3v2_tag(std::uint32_t size, bool high_bits = false);
// An "AiD" block whose length field is `length` (it counts its own 6 bytes),
// followed by max(length - 6, 0) bytes of `fill`.
Bytes aid_block(std::uint16_t length, std::uint8_t fill = 0x55);

Bytes concat(std::initializer_list<Bytes> parts);

}  // namespace testing_stream
