// Main data through the whole decoder: two-channel MPEG-1 frames built with
// the bit writer (scale factors, Huffman pairs and count1 quadruples), fed
// to dec_decode, watched through the two hooks.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bitstream_writer.h"
#include "decoder/decoder.h"

namespace {

using namespace testing_stream;

struct Record {
    std::uint32_t global_gain;
    std::int32_t channel;
    std::vector<std::int16_t> quantised;
};

struct Seen {
    std::vector<Record> records;
    std::vector<std::int32_t> error_flags;
};

Seen* seen = nullptr;

void on_frame(const FrameInfo* frame, std::uint32_t) { seen->error_flags.push_back(frame->error_flag); }
void on_granule(const GranuleInfo* granule, std::uint32_t, std::int32_t channel) {
    seen->records.push_back(
        {granule->global_gain, channel, std::vector<std::int16_t>(granule->quantised_values, granule->quantised_values + 576)});
}

Seen decode(const Bytes& stream, std::string& errors) {
    Seen result;
    seen = &result;
    auto state = std::make_unique<DecoderState>();
    dec_init(*state);
    state->frame_hook = on_frame;
    state->granule_hook = on_granule;
    std::vector<std::uint8_t> output(MIN_OUTPUT_SPACE);
    std::int32_t done = 0;
    testing::internal::CaptureStderr();
    int r = dec_decode(*state, stream.data(), static_cast<std::int32_t>(stream.size()), output.data(),
                       MIN_OUTPUT_SPACE, &done);
    while (r == DEC_OK) r = dec_decode(*state, nullptr, 0, output.data(), MIN_OUTPUT_SPACE, &done);
    dec_finish(*state);
    std::fflush(stderr);
    errors = testing::internal::GetCapturedStderr();
    dec_release(*state);
    seen = nullptr;
    return result;
}

// 44100 Hz, 128 kbit/s, stereo (no mid/side): 417-byte frames.
HeaderFields stereo_header() {
    HeaderFields h;
    h.mode = 0;
    return h;
}

// Appends the pairs with `table` and returns the values in stream order.
void pairs(BitWriter& w, int table, const std::vector<std::pair<int, int>>& values, std::vector<int>& order) {
    for (const auto& [x, y] : values) {
        put_pair(w, table, x, y);
        order.push_back(x);
        order.push_back(y);
    }
}
void quads(BitWriter& w, char table, const std::vector<std::array<int, 4>>& values, std::vector<int>& order) {
    for (const auto& q : values) {
        put_quad(w, table, q[0], q[1], q[2], q[3]);
        order.insert(order.end(), q.begin(), q.end());
    }
}

void expect_quantised(const Record& r, const std::vector<int>& order) {
    for (std::size_t n = 0; n < 576; ++n)
        EXPECT_EQ(r.quantised[n], n < order.size() ? order[n] : 0)
            << "gain " << r.global_gain << ", value " << n;
}

// A frame whose four granule records carry real scale factors and Huffman
// data. Fills `orders` with the values each record must show.
Bytes full_frame(std::array<std::vector<int>, 4>& orders) {
    SideInfoFields s;
    s.scfsi = {5, 0};  // channel 0 reuses groups 1 and 3 in granule 1
    BitWriter md;

    // Granule 0, channel 0: long blocks, 11 x 4 + 10 x 3 bits of scale factors,
    // three big-value regions (tables 7, 10, 29 with escapes) and count1 table B.
    {
        GranuleFields& g = s.granule[0][0];
        const std::size_t start = md.bit_count();
        g.global_gain = 110;
        g.scalefac_compress = 15;
        for (int b = 0; b < 11; ++b) md.put(static_cast<std::uint32_t>(b), 4);
        for (int b = 11; b < 21; ++b) md.put(static_cast<std::uint32_t>(b % 8), 3);
        g.region0_count = 3;  // region 1 from line 16 (pair 8)
        g.region1_count = 2;  // region 2 from line 30 (pair 15)
        g.table_select = {7, 10, 29};  // 29: 9 linbits
        pairs(md, 7, {{1, -2}, {5, 0}, {0, 0}, {-3, 4}, {2, 2}, {0, -1}, {5, 5}, {-4, 1}}, orders[0]);
        pairs(md, 10, {{7, -7}, {0, 6}, {3, 0}, {-1, -1}, {0, 0}, {6, 2}, {1, 7}}, orders[0]);
        pairs(md, 29, {{100, -20}, {15, 0}, {0, -14}, {2, 3}, {-300, 1}}, orders[0]);
        g.big_values = 20;
        g.count1table_select = 1;
        quads(md, 'B', {{1, 0, -1, 0}, {0, 0, 0, 1}, {-1, -1, 1, 1}}, orders[0]);
        g.part2_3_length = static_cast<std::uint32_t>(md.bit_count() - start);
    }
    // Granule 0, channel 1: short blocks, 36 x 2 bits of scale factors, table 5, count1 table A.
    {
        GranuleFields& g = s.granule[0][1];
        const std::size_t start = md.bit_count();
        g.global_gain = 111;
        g.scalefac_compress = 9;
        g.window_switching = true;
        g.block_type = 2;
        g.table_select = {5, 8, 0};
        g.subblock_gain = {1, 2, 3};
        for (int i = 0; i < 36; ++i) md.put(static_cast<std::uint32_t>(i % 4), 2);
        pairs(md, 5, {{3, -3}, {0, 1}, {2, 0}, {-1, 3}, {0, 0}, {1, 1}, {-2, 2}, {3, 0}, {0, -3}, {1, -1}}, orders[1]);
        g.big_values = 10;
        quads(md, 'A', {{0, 1, 1, 0}, {-1, 0, 0, 0}}, orders[1]);
        g.part2_3_length = static_cast<std::uint32_t>(md.bit_count() - start);
    }
    // Granule 1, channel 0: groups 0 and 2 only (6 x 4 + 5 x 3 bits), tables 1 and 2.
    {
        GranuleFields& g = s.granule[1][0];
        const std::size_t start = md.bit_count();
        g.global_gain = 112;
        g.scalefac_compress = 15;
        for (int b = 0; b < 6; ++b) md.put(15, 4);
        for (int b = 0; b < 5; ++b) md.put(7, 3);
        g.region0_count = 0;  // region 1 from pair 2
        g.region1_count = 0;  // region 2 from pair 4
        g.table_select = {1, 2, 3};
        pairs(md, 1, {{1, 0}, {-1, -1}}, orders[2]);
        pairs(md, 2, {{2, -2}, {0, 1}}, orders[2]);
        pairs(md, 3, {{-2, 1}}, orders[2]);
        g.big_values = 5;
        g.part2_3_length = static_cast<std::uint32_t>(md.bit_count() - start);
    }
    // Granule 1, channel 1: every group read (slen1 0, slen2 3: 10 x 3 bits), count1 only.
    {
        GranuleFields& g = s.granule[1][1];
        const std::size_t start = md.bit_count();
        g.global_gain = 113;
        g.scalefac_compress = 3;
        for (int b = 0; b < 10; ++b) md.put(5, 3);
        g.big_values = 0;
        quads(md, 'A', {{1, 1, 1, 1}, {0, 0, 0, 0}, {0, -1, 0, 1}, {1, 0, 0, 0}}, orders[3]);
        g.part2_3_length = static_cast<std::uint32_t>(md.bit_count() - start);
    }
    return frame(stereo_header(), s, md.bytes());
}

TEST(MainDataEndToEndTest, FrameWithRealHuffmanDataDeliversEveryRecord) {
    std::array<std::vector<int>, 4> first, second;
    const Bytes stream = concat({full_frame(first), full_frame(second)});
    std::string errors;
    const Seen result = decode(stream, errors);
    EXPECT_EQ(errors, "");
    ASSERT_EQ(result.records.size(), 8u);
    EXPECT_EQ(result.error_flags, (std::vector<std::int32_t>{0, 0}));
    const std::uint32_t gains[4] = {110, 111, 112, 113};
    for (std::size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(result.records[i].global_gain, gains[i % 4]);
        EXPECT_EQ(result.records[i].channel, static_cast<std::int32_t>(i % 2));
        expect_quantised(result.records[i], (i < 4 ? first : second)[i % 4]);
    }
}

TEST(MainDataEndToEndTest, OverdrawInChannel1OfGranule0EndsTheFrameAfterOneRecord) {
    SideInfoFields s;
    BitWriter md;
    std::vector<int> order0;
    {
        GranuleFields& g = s.granule[0][0];
        g.global_gain = 100;
        g.table_select = {1, 1, 1};
        pairs(md, 1, {{1, -1}, {0, 1}}, order0);  // 9 bits
        g.big_values = 2;
        g.part2_3_length = 9;
    }
    {
        GranuleFields& g = s.granule[0][1];
        g.global_gain = 101;
        g.table_select = {1, 1, 1};
        std::vector<int> unused;
        pairs(md, 1, {{1, 1}, {1, 1}, {1, 1}}, unused);  // 15 bits against a budget of 10
        g.big_values = 3;
        g.part2_3_length = 10;
    }
    s.granule[1][0].global_gain = 102;
    s.granule[1][1].global_gain = 103;
    const Bytes bad = frame(stereo_header(), s, md.bytes());

    std::array<std::vector<int>, 4> orders;
    const Bytes good = full_frame(orders);
    std::string errors;
    const Seen result = decode(concat({bad, good}), errors);
    EXPECT_EQ(errors, "Can't rewind stream by 5 bits!\n");
    ASSERT_EQ(result.error_flags.size(), 2u);
    EXPECT_EQ(result.error_flags[0], 1);
    EXPECT_EQ(result.error_flags[1], 0) << "the next frame starts with a clear flag";
    ASSERT_EQ(result.records.size(), 5u);
    EXPECT_EQ(result.records[0].global_gain, 100u);
    EXPECT_EQ(result.records[0].channel, 0);
    expect_quantised(result.records[0], order0);
    const std::uint32_t gains[4] = {110, 111, 112, 113};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(result.records[1 + i].global_gain, gains[i]);
        EXPECT_EQ(result.records[1 + i].channel, static_cast<std::int32_t>(i % 2));
        expect_quantised(result.records[1 + i], orders[i]);
    }
}

}  // namespace
