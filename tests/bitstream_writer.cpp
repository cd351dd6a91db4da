#include "bitstream_writer.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace testing_stream {

void BitWriter::put(std::uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
        if (bit_count_ % 8 == 0) bytes_.push_back(0);
        if ((value >> i) & 1u) bytes_.back() |= static_cast<std::uint8_t>(0x80u >> (bit_count_ % 8));
        ++bit_count_;
    }
}

std::uint32_t header_word(const HeaderFields& h) {
    std::uint32_t word = 0xFFE00000u;
    if (h.version != 25) word |= 1u << 20;
    if (h.version == 1) word |= 1u << 19;
    word |= static_cast<std::uint32_t>((4 - h.layer) & 3) << 17;
    if (!h.crc) word |= 1u << 16;
    word |= static_cast<std::uint32_t>(h.bitrate_index & 15) << 12;
    word |= static_cast<std::uint32_t>(h.frequency_bits & 3) << 10;
    word |= static_cast<std::uint32_t>(h.padding & 1) << 9;
    word |= static_cast<std::uint32_t>(h.mode & 3) << 6;
    word |= static_cast<std::uint32_t>(h.mode_extension & 3) << 4;
    return word;
}

int layer3_body_size(const HeaderFields& h) {
    static const int kbps[2][16] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
                                    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}};
    static const int rates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
    const int lsf = h.version == 1 ? 0 : 1;
    const int row = h.version == 1 ? 0 : (h.version == 2 ? 1 : 2);
    return kbps[lsf][h.bitrate_index] * 144000 / (rates[row][h.frequency_bits] << lsf) + h.padding - 4;
}

static void put_granule(BitWriter& w, const GranuleFields& g, bool lsf) {
    w.put(g.part2_3_length, 12);
    w.put(g.big_values, 9);
    w.put(g.global_gain, 8);
    w.put(g.scalefac_compress, lsf ? 9 : 4);
    w.put(g.window_switching ? 1 : 0, 1);
    if (g.window_switching) {
        w.put(g.block_type, 2);
        w.put(g.mixed_block_flag, 1);
        w.put(g.table_select[0], 5);
        w.put(g.table_select[1], 5);
        for (auto s : g.subblock_gain) w.put(s, 3);
    } else {
        for (auto t : g.table_select) w.put(t, 5);
        w.put(g.region0_count, 4);
        w.put(g.region1_count, 3);
    }
    if (!lsf) w.put(g.preflag, 1);
    w.put(g.scalefac_scale, 1);
    w.put(g.count1table_select, 1);
}

void put_side_info(BitWriter& w, const SideInfoFields& s, bool lsf, int channels) {
    if (lsf) {
        w.put(s.main_data_begin, 8);
        w.put(s.private_bits, channels == 1 ? 1 : 2);
        for (int ch = 0; ch < channels; ++ch) put_granule(w, s.granule[0][static_cast<std::size_t>(ch)], true);
        return;
    }
    w.put(s.main_data_begin, 9);
    w.put(s.private_bits, channels == 1 ? 5 : 3);
    for (int ch = 0; ch < channels; ++ch) w.put(s.scfsi[static_cast<std::size_t>(ch)], 4);
    for (std::size_t gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < channels; ++ch) put_granule(w, s.granule[gr][static_cast<std::size_t>(ch)], false);
}

namespace {

struct CodeTables {
    std::map<std::tuple<int, int, int>, std::string> pairs;
    std::map<std::tuple<char, int>, std::string> quads;
    std::map<int, int> linbits;
};

const CodeTables& code_tables() {
    static const CodeTables tables = [] {
        CodeTables t;
        std::ifstream in(GAINSCAN_TABLES_TXT);
        if (!in) throw std::runtime_error("cannot read " GAINSCAN_TABLES_TXT);
        std::string line;
        int pair_table = -1;
        char quad_table = 0;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            std::string first;
            fields >> first;
            if (first == "pair_table") {
                fields >> pair_table;
                quad_table = 0;
            } else if (first == "quad_table") {
                fields >> quad_table;
                pair_table = -1;
            } else if (first == "linbits") {
                int table = 0, bits = 0;
                fields >> table >> bits;
                t.linbits[table] = bits;
                pair_table = -1;
                quad_table = 0;
            } else if (pair_table >= 0 && first.find_first_not_of("0123456789") == std::string::npos) {
                int y = 0;
                std::string code;
                fields >> y >> code;
                t.pairs[{pair_table, std::stoi(first), y}] = code;
            } else if (quad_table != 0 && first.find_first_not_of("01") == std::string::npos) {
                int w = 0, x = 0, y = 0;
                std::string code;
                fields >> w >> x >> y >> code;
                t.quads[{quad_table, 8 * std::stoi(first) + 4 * w + 2 * x + y}] = code;
            } else {
                pair_table = -1;
                quad_table = 0;
            }
        }
        return t;
    }();
    return tables;
}

int tree_of(int table) {
    if (table >= 24) return 24;
    if (table >= 16) return 16;
    return table;
}

}  // namespace

static void put_code(BitWriter& w, const std::string& code) {
    for (char c : code) w.put(c == '1' ? 1 : 0, 1);
}

static std::string pair_code(int table, int x, int y) {
    const auto& pairs = code_tables().pairs;
    const auto it = pairs.find({tree_of(table), x, y});
    if (it == pairs.end()) throw std::runtime_error("no code for this pair in table " + std::to_string(table));
    return it->second;
}

void put_pair(BitWriter& w, int table, int x, int y) {
    const int linbits = code_tables().linbits.at(table);
    const int values[2] = {x, y};
    int coded[2];
    for (int i = 0; i < 2; ++i) {
        const int magnitude = std::abs(values[i]);
        coded[i] = (linbits > 0 && magnitude >= 15) ? 15 : magnitude;
    }
    put_code(w, pair_code(table, coded[0], coded[1]));
    for (int i = 0; i < 2; ++i) {
        if (coded[i] == 15 && linbits > 0)
            w.put(static_cast<std::uint32_t>(std::abs(values[i]) - 15), linbits);
        if (values[i] != 0) w.put(values[i] < 0 ? 1 : 0, 1);
    }
}

void put_quad(BitWriter& w, char table, int v, int ww, int x, int y) {
    put_code(w, code_tables().quads.at({table, 8 * (v != 0) + 4 * (ww != 0) + 2 * (x != 0) + (y != 0)}));
    for (int value : {v, ww, x, y})
        if (value != 0) w.put(value < 0 ? 1 : 0, 1);
}

Bytes id3v2_tag(std::uint32_t size, bool high_bits) {
    Bytes tag = {'I', 'D', '3', 3, 0, 0};
    for (int shift = 21; shift >= 0; shift -= 7)
        tag.push_back(static_cast<std::uint8_t>(((size >> shift) & 0x7Fu) | (high_bits ? 0x80u : 0u)));
    tag.resize(tag.size() + size, 0);
    return tag;
}

Bytes aid_block(std::uint16_t length, std::uint8_t fill) {
    Bytes block = {'A', 'i', 'D', 0x01, static_cast<std::uint8_t>(length & 0xFF),
                   static_cast<std::uint8_t>(length >> 8)};
    if (length > 6) block.resize(length, fill);
    return block;
}

Bytes side_info_frame(const HeaderFields& h, const SideInfoFields& s) {
    BitWriter w;
    w.put(header_word(h), 32);
    if (h.crc) w.put(0xBEEF, 16);
    put_side_info(w, s, h.version != 1, h.mode == 3 ? 1 : 2);
    Bytes frame = w.bytes();
    frame.resize(static_cast<std::size_t>(4 + layer3_body_size(h)), 0);
    return frame;
}

}  // namespace testing_stream
