// The serialised Huffman code trees: every code of the standard's tables
// (as listed in layer3_tables.txt) must walk to its own value, consuming
// exactly its own bits, and the table slots must share trees and linbits
// as the big-value tables do.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "decoder/tables/layer3_tables.h"

namespace {

struct Code {
    int value;
    std::string bits;
};

struct TextTables {
    std::map<int, std::vector<Code>> pairs;   // by table number
    std::map<char, std::vector<Code>> quads;  // 'A', 'B'
    std::map<int, int> linbits;
};

// Reads the code lists; pair lines are "x y CODE", quadruple lines "v w x y CODE".
TextTables read_text_tables() {
    TextTables t;
    std::ifstream in(GAINSCAN_SOURCE_DIR "/decoder/tables/layer3_tables.txt");
    EXPECT_TRUE(in.good()) << "cannot open layer3_tables.txt";
    std::string line;
    int pair_table = -1;
    char quad_table = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string s; fields >> s;) f.push_back(s);
        if (f.empty() || f[0][0] == '#') continue;
        if (f[0] == "pair_table") {
            pair_table = std::stoi(f[1]);
            quad_table = 0;
        } else if (f[0] == "quad_table") {
            quad_table = f[1][0];
            pair_table = -1;
        } else if (f[0] == "linbits") {
            t.linbits[std::stoi(f[1])] = std::stoi(f[2]);
            pair_table = -1;
            quad_table = 0;
        } else if (pair_table >= 0 && f.size() == 3 && std::isdigit(static_cast<unsigned char>(f[0][0]))) {
            t.pairs[pair_table].push_back({16 * std::stoi(f[0]) + std::stoi(f[1]), f[2]});
        } else if (quad_table != 0 && f.size() == 5 && std::isdigit(static_cast<unsigned char>(f[0][0]))) {
            t.quads[quad_table].push_back(
                {8 * std::stoi(f[0]) + 4 * std::stoi(f[1]) + 2 * std::stoi(f[2]) + std::stoi(f[3]), f[4]});
        } else {
            pair_table = -1;
            quad_table = 0;
        }
    }
    return t;
}

const TextTables& text_tables() {
    static const TextTables t = read_text_tables();
    return t;
}

// Walks `tree` by the bits of `code`. Returns the leaf, or -1 when the walk
// needed more bits than the code has; `used` is the number of bits taken.
int walk(const std::int16_t* tree, const std::string& code, std::size_t& used) {
    int i = 0;
    used = 0;
    while (tree[i] < 0) {
        if (used == code.size()) return -1;
        const int k = -tree[i];
        i = code[used++] == '1' ? i + 1 + k : i + 1;
    }
    return tree[i];
}

// Size of the subtree at `i`, checking that each branch's k is the size of
// its 0-subtree. -1 on a malformed listing.
int subtree_size(const std::int16_t* tree, int i, int limit) {
    if (i >= limit) return -1;
    if (tree[i] >= 0) return 1;
    const int k = -tree[i];
    const int zero = subtree_size(tree, i + 1, limit);
    if (zero != k) return -1;
    const int one = subtree_size(tree, i + 1 + k, limit);
    if (one < 0) return -1;
    return 1 + zero + one;
}

int tree_size(const std::int16_t* tree) { return subtree_size(tree, 0, 511); }

void expect_every_code_decodes(const std::int16_t* tree, const std::vector<Code>& codes, const std::string& name) {
    ASSERT_FALSE(codes.empty()) << name;
    for (const Code& c : codes) {
        std::size_t used = 0;
        const int leaf = walk(tree, c.bits, used);
        EXPECT_EQ(leaf, c.value) << name << ": code " << c.bits;
        EXPECT_EQ(used, c.bits.size()) << name << ": code " << c.bits;
    }
    // A complete prefix code of L leaves serialises to 2L - 1 entries.
    EXPECT_EQ(tree_size(tree), static_cast<int>(2 * codes.size() - 1)) << name;
}

TEST(HuffmanTreesTest, EveryPairCodeOfTheTextTablesDecodesToItsValue) {
    const auto& pairs = text_tables().pairs;
    const std::vector<int> expected_tables = {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 24};
    std::vector<int> found;
    for (const auto& [table, codes] : pairs) found.push_back(table);
    EXPECT_EQ(found, expected_tables);
    for (const auto& [table, codes] : pairs)
        expect_every_code_decodes(pair_tables[static_cast<std::size_t>(table)].tree, codes,
                                  "pair table " + std::to_string(table));
    // The shared trees decode the same codes in every slot.
    for (int t = 17; t <= 23; ++t)
        expect_every_code_decodes(pair_tables[static_cast<std::size_t>(t)].tree, pairs.at(16),
                                  "pair table " + std::to_string(t));
    for (int t = 25; t <= 31; ++t)
        expect_every_code_decodes(pair_tables[static_cast<std::size_t>(t)].tree, pairs.at(24),
                                  "pair table " + std::to_string(t));
}

TEST(HuffmanTreesTest, EveryQuadCodeOfTheTextTablesDecodesToItsValue) {
    const auto& quads = text_tables().quads;
    ASSERT_EQ(quads.size(), 2u);
    expect_every_code_decodes(quad_tables[0].tree, quads.at('A'), "quad table A");
    expect_every_code_decodes(quad_tables[1].tree, quads.at('B'), "quad table B");
    EXPECT_EQ(quad_tables[0].linbits, 0u);
    EXPECT_EQ(quad_tables[1].linbits, 0u);
}

TEST(HuffmanTreesTest, QuadTableBIsFourBitsWithValueFifteenLessTheCode) {
    for (int code = 0; code < 16; ++code) {
        std::string bits;
        for (int b = 3; b >= 0; --b) bits += ((code >> b) & 1) ? '1' : '0';
        std::size_t used = 0;
        EXPECT_EQ(walk(quad_tables[1].tree, bits, used), 15 - code) << bits;
        EXPECT_EQ(used, 4u) << bits;
    }
}

TEST(HuffmanTreesTest, Table1SerialisesAsDocumented) {
    const std::int16_t expected[7] = {-5, -3, -1, 17, 1, 16, 0};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(pair_tables[1].tree[i], expected[i]) << "entry " << i;
    // 1 -> (0,0), 01 -> (1,0), 001 -> (0,1), 000 -> (1,1)
    std::size_t used = 0;
    EXPECT_EQ(walk(pair_tables[1].tree, "1", used), 0x00);
    EXPECT_EQ(walk(pair_tables[1].tree, "01", used), 0x10);
    EXPECT_EQ(walk(pair_tables[1].tree, "001", used), 0x01);
    EXPECT_EQ(walk(pair_tables[1].tree, "000", used), 0x11);
}

TEST(HuffmanTreesTest, TablesZeroFourAndFourteenAreTheOneEntryZeroTree) {
    for (int t : {0, 4, 14}) {
        const HuffmanTable& table = pair_tables[static_cast<std::size_t>(t)];
        EXPECT_EQ(table.tree[0], 0) << "table " << t;  // a leaf at the root: no bit is read
        EXPECT_EQ(tree_size(table.tree), 1) << "table " << t;
        EXPECT_EQ(table.linbits, 0u) << "table " << t;
    }
    EXPECT_EQ(pair_tables[0].tree, pair_tables[4].tree);
    EXPECT_EQ(pair_tables[0].tree, pair_tables[14].tree);
}

TEST(HuffmanTreesTest, EscapeTablesShareTwoTreesWithTheirLinbits) {
    const unsigned linbits16[8] = {1, 2, 3, 4, 6, 8, 10, 13};
    const unsigned linbits24[8] = {4, 5, 6, 7, 8, 9, 11, 13};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(pair_tables[static_cast<std::size_t>(16 + i)].tree, pair_tables[16].tree) << 16 + i;
        EXPECT_EQ(pair_tables[static_cast<std::size_t>(24 + i)].tree, pair_tables[24].tree) << 24 + i;
        EXPECT_EQ(pair_tables[static_cast<std::size_t>(16 + i)].linbits, linbits16[i]) << 16 + i;
        EXPECT_EQ(pair_tables[static_cast<std::size_t>(24 + i)].linbits, linbits24[i]) << 24 + i;
    }
    EXPECT_NE(pair_tables[16].tree, pair_tables[24].tree);
    for (int t = 0; t < 16; ++t) EXPECT_EQ(pair_tables[static_cast<std::size_t>(t)].linbits, 0u) << t;
    // The text's linbits lines say the same.
    for (int t = 0; t < 32; ++t)
        EXPECT_EQ(static_cast<unsigned>(text_tables().linbits.at(t)), pair_tables[static_cast<std::size_t>(t)].linbits)
            << t;
}

TEST(HuffmanTreesTest, TreeSizes) {
    const std::map<int, int> sizes = {{1, 7},    {2, 17},   {3, 17},   {5, 31},   {6, 31},
                                      {7, 71},   {8, 71},   {9, 71},   {10, 127}, {11, 127},
                                      {12, 127}, {13, 511}, {15, 511}, {16, 511}, {24, 511}};
    for (const auto& [t, size] : sizes)
        EXPECT_EQ(tree_size(pair_tables[static_cast<std::size_t>(t)].tree), size) << "table " << t;
    EXPECT_EQ(tree_size(quad_tables[0].tree), 31);
    EXPECT_EQ(tree_size(quad_tables[1].tree), 31);
}

TEST(HuffmanTreesTest, LongestCodeIsNineteenBitsInTable13) {
    std::size_t longest = 0;
    int table_of_longest = -1;
    for (const auto& [table, codes] : text_tables().pairs)
        for (const Code& c : codes)
            if (c.bits.size() > longest) {
                longest = c.bits.size();
                table_of_longest = table;
            }
    EXPECT_EQ(longest, 19u);
    EXPECT_EQ(table_of_longest, 13);
}

}  // namespace
