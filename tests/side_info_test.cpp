// Layer III side information read directly from bytes built field by field:
// clamps and messages, gain positions, region starts, amounts read and which
// records are filled.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bitstream_writer.h"
#include "decoder/common/bit_reader.h"
#include "decoder/layer3/side_info.h"

using namespace testing_stream;

namespace {

constexpr std::uint32_t kMarker = 0xA5C3;  // 16 bits written right after the side information

struct Read {
    SideInfo side;
    int result = 0;
    long bits = 0;
    std::uint32_t after = 0;  // the 16 bits the reader is left on
    std::string out, err;
};

SideInfo sentinel_side() {
    SideInfo s;
    std::memset(&s, 0xA5, sizeof s);
    return s;
}

Read read_side(const SideInfoFields& fields, bool lsf, int channels, int mid_side, int sampling_index) {
    BitWriter w;
    put_side_info(w, fields, lsf, channels);
    w.put(kMarker, 16);
    Bytes bytes = w.bytes();
    bytes.resize(bytes.size() + 8, 0);

    Read r;
    r.side = sentinel_side();
    bit_reader_attach(bytes.data(), bytes.size(), bytes.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.result = lsf ? layer3_side_info_lsf(r.side, channels, mid_side, sampling_index)
                   : layer3_side_info_v1(r.side, channels, mid_side, sampling_index);
    std::fflush(stdout);
    std::fflush(stderr);
    r.err = testing::internal::GetCapturedStderr();
    r.out = testing::internal::GetCapturedStdout();
    r.bits = (bit_reader.byte_pointer - bytes.data()) * 8 + bit_reader.bit_index;
    r.after = bits_read(16);
    return r;
}

const GranuleInfo& rec(const Read& r, int channel, int granule) {
    return r.side.granule_info[static_cast<std::size_t>(channel)][static_cast<std::size_t>(granule)];
}

bool untouched(const GranuleInfo& g) {
    const SideInfo s = sentinel_side();
    return std::memcmp(&g, &s.granule_info[0][0], sizeof g) == 0;
}

// Long-block band boundaries B[0..22] by sampling index, summed from the
// long_widths lines of the table file.
std::array<std::array<int, 23>, 9> long_boundaries() {
    const int rates[9] = {44100, 48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000};
    std::map<int, std::vector<int>> widths;
    std::ifstream in(GAINSCAN_SOURCE_DIR "/decoder/tables/layer3_tables.txt");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        int rate = 0;
        fields >> key >> rate;
        if (key != "long_widths") continue;
        int width = 0;
        while (fields >> width) widths[rate].push_back(width);
    }
    std::array<std::array<int, 23>, 9> b{};
    for (int i = 0; i < 9; ++i) {
        const auto& w = widths[rates[i]];
        EXPECT_EQ(w.size(), 22u) << rates[i];
        for (std::size_t k = 0; k < 22 && k < w.size(); ++k) b[i][k + 1] = b[i][k] + w[k];
    }
    return b;
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(SideInfoBigValuesTest, ExactlyTheLimitIsKeptWithoutMessage) {
    SideInfoFields f;
    f.granule[0][0].big_values = 288;
    f.granule[1][0].big_values = 287;
    const Read r = read_side(f, false, 1, 0, 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(rec(r, 0, 0).big_values, 288u);
    EXPECT_EQ(rec(r, 0, 1).big_values, 287u);
}

TEST(SideInfoBigValuesTest, TwoRecordsOverTheLimitGiveTwoMessages) {
    SideInfoFields f;
    f.granule[0][0].big_values = 100;
    f.granule[0][1].big_values = 511;
    f.granule[1][0].big_values = 511;
    f.granule[1][1].big_values = 5;
    f.granule[1][1].global_gain = 77;  // read correctly after the clamps
    const Read r = read_side(f, false, 2, 0, 0);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.err, "big_values too large!\nbig_values too large!\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(rec(r, 0, 0).big_values, 100u);
    EXPECT_EQ(rec(r, 1, 0).big_values, 288u);
    EXPECT_EQ(rec(r, 0, 1).big_values, 288u);
    EXPECT_EQ(rec(r, 1, 1).big_values, 5u);
    EXPECT_EQ(rec(r, 1, 1).global_gain, 77u);
    EXPECT_EQ(r.bits, 256);
}

TEST(SideInfoBigValuesTest, OneOverTheLimitInLsfIsClamped) {
    SideInfoFields f;
    f.granule[0][0].big_values = 289;
    const Read r = read_side(f, true, 1, 0, 3);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.err, "big_values too large!\n");
    EXPECT_EQ(rec(r, 0, 0).big_values, 288u);
}

TEST(SideInfoBlockTypeTest, WindowSwitchingWithBlockTypeZeroIsReportedOnStandardOutput) {
    SideInfoFields f;
    GranuleFields& g = f.granule[0][0];
    g.window_switching = true;
    g.block_type = 0;
    g.table_select = {3, 9, 0};
    g.subblock_gain = {1, 2, 3};
    g.global_gain = 100;
    f.granule[1][0].global_gain = 55;
    const Read r = read_side(f, false, 1, 0, 0);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, "Blocktype == 0 and window-switching == 1 not allowed.\n");
    EXPECT_EQ(r.err, "");
    // Reading goes on with the values as read.
    EXPECT_EQ(rec(r, 0, 0).block_type, 0u);
    EXPECT_EQ(rec(r, 0, 0).table_select[0], 3u);
    EXPECT_EQ(rec(r, 0, 0).table_select[1], 9u);
    EXPECT_EQ(rec(r, 0, 0).region1_start, 18u);
    EXPECT_EQ(rec(r, 0, 0).region2_start, 288u);
    EXPECT_EQ(rec(r, 0, 0).gain_short[2], -100 + 24);
    EXPECT_EQ(rec(r, 0, 1).global_gain, 55u);
    EXPECT_EQ(r.bits, 136);
    EXPECT_EQ(r.after, kMarker);
}

TEST(SideInfoBlockTypeTest, ResultCombinesClampAndForbiddenBlockType) {
    SideInfoFields f;
    f.granule[0][0].big_values = 400;
    f.granule[0][0].window_switching = true;
    f.granule[0][0].block_type = 0;
    const Read r = read_side(f, true, 1, 0, 4);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.err, "big_values too large!\n");
    EXPECT_EQ(r.out, "Blocktype == 0 and window-switching == 1 not allowed.\n");
}

TEST(SideInfoBlockTypeTest, AllowedBlockTypesGiveNoMessage) {
    for (std::uint32_t type : {1u, 2u, 3u}) {
        SideInfoFields f;
        f.granule[0][0].window_switching = true;
        f.granule[0][0].block_type = type;
        f.granule[0][0].mixed_block_flag = type == 2 ? 1 : 0;
        const Read r = read_side(f, false, 1, 0, 0);
        EXPECT_EQ(r.result, 0) << type;
        EXPECT_EQ(r.out, "") << type;
        EXPECT_EQ(rec(r, 0, 0).block_type, type);
        EXPECT_EQ(rec(r, 0, 0).mixed_block_flag, type == 2 ? 1u : 0u);
    }
}

// ---------------------------------------------------------------------------

TEST(SideInfoGainTest, GainPositionsWithAndWithoutMidSide) {
    struct Case {
        std::uint32_t gain;
        int mid_side;
        std::int32_t position;
    };
    const Case cases[] = {{0, 0, 0}, {0, 2, 2}, {255, 0, -255}, {255, 2, -253}, {210, 0, -210}, {1, 1, 1}};
    for (const Case& c : cases) {
        SideInfoFields f;
        f.granule[0][0].global_gain = c.gain;
        f.granule[0][1].global_gain = c.gain;
        const Read r = read_side(f, false, 2, c.mid_side, 0);
        EXPECT_EQ(rec(r, 0, 0).global_gain, c.gain);  // kept raw
        EXPECT_EQ(rec(r, 0, 0).gain_long, c.position) << c.gain << " " << c.mid_side;
        EXPECT_EQ(rec(r, 1, 0).gain_long, c.position) << c.gain << " " << c.mid_side;
        // The LSF reader computes the same positions.
        const Read l = read_side(f, true, 2, c.mid_side, 3);
        EXPECT_EQ(rec(l, 0, 0).gain_long, c.position);
        EXPECT_EQ(rec(l, 1, 0).gain_long, c.position);
    }
}

TEST(SideInfoGainTest, SubblockGainsStepEightPositions) {
    for (int mid_side : {0, 2}) {
        SideInfoFields f;
        GranuleFields& g = f.granule[0][0];
        g.global_gain = 40;
        g.window_switching = true;
        g.block_type = 2;
        g.subblock_gain = {0, 3, 7};
        const Read r = read_side(f, false, 1, mid_side, 0);
        const std::int32_t gain_long = -40 + (mid_side ? 2 : 0);
        EXPECT_EQ(rec(r, 0, 0).gain_long, gain_long);
        EXPECT_EQ(rec(r, 0, 0).gain_short[0], gain_long);
        EXPECT_EQ(rec(r, 0, 0).gain_short[1], gain_long + 24);
        EXPECT_EQ(rec(r, 0, 0).gain_short[2], gain_long + 56);
    }
}

// ---------------------------------------------------------------------------

TEST(SideInfoFieldsTest, EveryMpeg1FieldLandsInItsRecord) {
    SideInfoFields f;
    f.main_data_begin = 511;
    f.private_bits = 5;  // 3 bits with two channels
    f.scfsi = {9, 6};
    GranuleFields a;  // long blocks
    a.part2_3_length = 4095;
    a.big_values = 200;
    a.global_gain = 201;
    a.scalefac_compress = 15;
    a.table_select = {31, 17, 5};
    a.region0_count = 3;
    a.region1_count = 2;
    a.preflag = 1;
    a.scalefac_scale = 1;
    a.count1table_select = 0;
    GranuleFields b;  // mixed short blocks
    b.part2_3_length = 1234;
    b.big_values = 17;
    b.global_gain = 99;
    b.scalefac_compress = 6;
    b.window_switching = true;
    b.block_type = 2;
    b.mixed_block_flag = 1;
    b.table_select = {7, 24, 0};
    b.subblock_gain = {4, 5, 6};
    b.preflag = 0;
    b.scalefac_scale = 0;
    b.count1table_select = 1;
    f.granule[0][0] = a;
    f.granule[0][1] = b;
    f.granule[1][0] = b;
    f.granule[1][1] = a;
    const Read r = read_side(f, false, 2, 0, 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.side.main_data_begin, 511u);
    EXPECT_EQ(r.side.private_bits, 5u);
    EXPECT_EQ(rec(r, 0, 0).scfsi, -1);
    EXPECT_EQ(rec(r, 1, 0).scfsi, -1);
    EXPECT_EQ(rec(r, 0, 1).scfsi, 9);
    EXPECT_EQ(rec(r, 1, 1).scfsi, 6);

    for (auto [ch, gr] : {std::pair{0, 0}, std::pair{1, 1}}) {
        const GranuleInfo& g = rec(r, ch, gr);
        EXPECT_EQ(g.part2_3_length, 4095u);
        EXPECT_EQ(g.big_values, 200u);
        EXPECT_EQ(g.global_gain, 201u);
        EXPECT_EQ(g.gain_long, -201);
        EXPECT_EQ(g.scalefac_compress, 15u);
        EXPECT_EQ(g.block_type, 0u);
        EXPECT_EQ(g.mixed_block_flag, 0u);
        EXPECT_EQ(g.table_select, (std::array<std::uint32_t, 3>{31, 17, 5}));
        // 44100 Hz: B[3 + 1] = 16, B[3 + 2 + 2] = 30.
        EXPECT_EQ(g.region1_start, 8u);
        EXPECT_EQ(g.region2_start, 15u);
        EXPECT_EQ(g.preflag, 1u);
        EXPECT_EQ(g.scalefac_scale, 1u);
        EXPECT_EQ(g.count1table_select, 0u);
    }
    for (auto [ch, gr] : {std::pair{1, 0}, std::pair{0, 1}}) {
        const GranuleInfo& g = rec(r, ch, gr);
        EXPECT_EQ(g.part2_3_length, 1234u);
        EXPECT_EQ(g.big_values, 17u);
        EXPECT_EQ(g.global_gain, 99u);
        EXPECT_EQ(g.scalefac_compress, 6u);
        EXPECT_EQ(g.block_type, 2u);
        EXPECT_EQ(g.mixed_block_flag, 1u);
        EXPECT_EQ(g.table_select, (std::array<std::uint32_t, 3>{7, 24, 0}));
        EXPECT_EQ(g.gain_short, (std::array<std::int32_t, 3>{-99 + 32, -99 + 40, -99 + 48}));
        EXPECT_EQ(g.region1_start, 18u);
        EXPECT_EQ(g.region2_start, 288u);
        EXPECT_EQ(g.preflag, 0u);
        EXPECT_EQ(g.scalefac_scale, 0u);
        EXPECT_EQ(g.count1table_select, 1u);
    }
    EXPECT_EQ(r.bits, 256);
    EXPECT_EQ(r.after, kMarker);
}

TEST(SideInfoFieldsTest, LsfFieldWidths) {
    SideInfoFields f;
    f.main_data_begin = 255;  // 8 bits
    f.private_bits = 3;       // 2 bits with two channels
    f.granule[0][0].scalefac_compress = 511;  // 9 bits
    f.granule[0][0].global_gain = 17;
    f.granule[0][0].scalefac_scale = 1;
    f.granule[0][1].scalefac_compress = 300;
    f.granule[0][1].count1table_select = 1;
    f.granule[0][1].part2_3_length = 2000;
    const Read r = read_side(f, true, 2, 0, 5);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.side.main_data_begin, 255u);
    EXPECT_EQ(r.side.private_bits, 3u);
    EXPECT_EQ(rec(r, 0, 0).scalefac_compress, 511u);
    EXPECT_EQ(rec(r, 0, 0).global_gain, 17u);
    EXPECT_EQ(rec(r, 0, 0).scalefac_scale, 1u);
    EXPECT_EQ(rec(r, 1, 0).scalefac_compress, 300u);
    EXPECT_EQ(rec(r, 1, 0).count1table_select, 1u);
    EXPECT_EQ(rec(r, 1, 0).part2_3_length, 2000u);
    EXPECT_EQ(r.bits, 136);
    EXPECT_EQ(r.after, kMarker);

    f.private_bits = 1;  // 1 bit with one channel
    const Read m = read_side(f, true, 1, 0, 5);
    EXPECT_EQ(m.side.private_bits, 1u);
    EXPECT_EQ(rec(m, 0, 0).scalefac_compress, 511u);
    EXPECT_EQ(m.bits, 72);
}

TEST(SideInfoFieldsTest, AmountsRead) {
    const SideInfoFields f;
    const Read m1 = read_side(f, false, 1, 0, 0);
    EXPECT_EQ(m1.bits, 136);
    EXPECT_EQ(m1.after, kMarker);
    const Read s1 = read_side(f, false, 2, 0, 1);
    EXPECT_EQ(s1.bits, 256);
    EXPECT_EQ(s1.after, kMarker);
    const Read ml = read_side(f, true, 1, 0, 8);
    EXPECT_EQ(ml.bits, 72);
    EXPECT_EQ(ml.after, kMarker);
    const Read sl = read_side(f, true, 2, 0, 6);
    EXPECT_EQ(sl.bits, 136);
    EXPECT_EQ(sl.after, kMarker);
}

TEST(SideInfoFieldsTest, MonoMpeg1FillsChannelZeroOnly) {
    SideInfoFields f;
    f.main_data_begin = 300;
    f.private_bits = 0x11;  // 5 bits with one channel
    f.scfsi = {10, 0};
    f.granule[0][0].global_gain = 1;
    f.granule[1][0].global_gain = 2;
    const Read r = read_side(f, false, 1, 0, 0);
    EXPECT_EQ(r.side.main_data_begin, 300u);
    EXPECT_EQ(r.side.private_bits, 0x11u);
    EXPECT_EQ(rec(r, 0, 0).scfsi, -1);
    EXPECT_EQ(rec(r, 0, 1).scfsi, 10);
    EXPECT_EQ(rec(r, 0, 0).global_gain, 1u);
    EXPECT_EQ(rec(r, 0, 1).global_gain, 2u);
    EXPECT_TRUE(untouched(rec(r, 1, 0)));
    EXPECT_TRUE(untouched(rec(r, 1, 1)));
}

TEST(SideInfoFieldsTest, LsfFillsGranuleZeroOnly) {
    SideInfoFields f;
    f.granule[0][0].global_gain = 3;
    f.granule[0][1].global_gain = 4;
    const Read stereo = read_side(f, true, 2, 0, 3);
    EXPECT_EQ(rec(stereo, 0, 0).global_gain, 3u);
    EXPECT_EQ(rec(stereo, 1, 0).global_gain, 4u);
    EXPECT_TRUE(untouched(rec(stereo, 0, 1)));
    EXPECT_TRUE(untouched(rec(stereo, 1, 1)));
    const Read mono = read_side(f, true, 1, 0, 3);
    EXPECT_EQ(rec(mono, 0, 0).global_gain, 3u);
    EXPECT_TRUE(untouched(rec(mono, 0, 1)));
    EXPECT_TRUE(untouched(rec(mono, 1, 0)));
    EXPECT_TRUE(untouched(rec(mono, 1, 1)));
}

// ---------------------------------------------------------------------------

TEST(SideInfoRegionTest, BoundariesFromTheTableFileAreSane) {
    const auto b = long_boundaries();
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(b[i][0], 0);
        EXPECT_EQ(b[i][22], 576) << i;
    }
    EXPECT_EQ(b[0][8], 36);
    EXPECT_EQ(b[0][16], 162);
}

TEST(SideInfoRegionTest, DocumentedExample44100) {
    SideInfoFields f;
    f.granule[0][0].region0_count = 7;
    f.granule[0][0].region1_count = 7;
    const Read r = read_side(f, false, 1, 0, 0);
    EXPECT_EQ(rec(r, 0, 0).region1_start, 18u);  // B[8] = 36
    EXPECT_EQ(rec(r, 0, 0).region2_start, 81u);  // B[16] = 162
    EXPECT_EQ(rec(r, 0, 0).block_type, 0u);
}

TEST(SideInfoRegionTest, RegionStartsForEverySamplingIndex) {
    const auto b = long_boundaries();
    const std::pair<std::uint32_t, std::uint32_t> counts[] = {{0, 0}, {0, 7}, {1, 1}, {3, 2}, {5, 4}, {7, 7},
                                                              {10, 3}, {12, 6}, {13, 7}, {15, 5}};
    for (int si = 0; si < 9; ++si) {
        const bool lsf = si >= 3;
        for (auto [r0, r1] : counts) {
            SideInfoFields f;
            f.granule[0][0].region0_count = r0;
            f.granule[0][0].region1_count = r1;
            const Read r = read_side(f, lsf, 1, 0, si);
            const GranuleInfo& g = rec(r, 0, 0);
            EXPECT_EQ(g.region1_start, static_cast<std::uint32_t>(b[si][r0 + 1] / 2)) << si << " " << r0 << " " << r1;
            EXPECT_EQ(g.region2_start, static_cast<std::uint32_t>(b[si][r0 + r1 + 2] / 2))
                << si << " " << r0 << " " << r1;
        }
    }
}

// Decision: region counts pointing past the last boundary (22) start region 2
// at the end of the spectrum.
TEST(SideInfoRegionTest, CountsPastTheLastBoundaryPutRegionTwoAtTheEnd) {
    const auto b = long_boundaries();
    const std::pair<std::uint32_t, std::uint32_t> counts[] = {{15, 6}, {15, 7}, {14, 7}, {13, 7}};
    for (int si = 0; si < 9; ++si)
        for (auto [r0, r1] : counts) {
            SideInfoFields f;
            f.granule[0][0].region0_count = r0;
            f.granule[0][0].region1_count = r1;
            const Read r = read_side(f, si >= 3, 1, 0, si);
            EXPECT_EQ(rec(r, 0, 0).region1_start, static_cast<std::uint32_t>(b[si][r0 + 1] / 2));
            // 13 + 7 + 2 = 22 is the last boundary itself, 576 / 2; past it, 288 as well.
            EXPECT_EQ(rec(r, 0, 0).region2_start, 288u) << si << " " << r0 << " " << r1;
            EXPECT_EQ(r.result, 0);
        }
}

TEST(SideInfoRegionTest, WindowSwitchingRegionStarts) {
    // MPEG-1: line 36 whatever the block type.
    for (std::uint32_t type : {1u, 2u, 3u})
        for (int si = 0; si < 3; ++si) {
            SideInfoFields f;
            f.granule[0][0].window_switching = true;
            f.granule[0][0].block_type = type;
            const Read r = read_side(f, false, 1, 0, si);
            EXPECT_EQ(rec(r, 0, 0).region1_start, 18u) << type << " " << si;
            EXPECT_EQ(rec(r, 0, 0).region2_start, 288u);
            EXPECT_EQ(rec(r, 0, 0).table_select[2], 0u);
        }
    // LSF: 18 for short blocks, else 54 at 8000 Hz and 27 at the other rates.
    for (std::uint32_t type : {1u, 2u, 3u})
        for (int si = 3; si < 9; ++si) {
            SideInfoFields f;
            f.granule[0][0].window_switching = true;
            f.granule[0][0].block_type = type;
            const Read r = read_side(f, true, 1, 0, si);
            const std::uint32_t expected = type == 2 ? 18u : (si == 8 ? 54u : 27u);
            EXPECT_EQ(rec(r, 0, 0).region1_start, expected) << type << " " << si;
            EXPECT_EQ(rec(r, 0, 0).region2_start, 288u);
        }
}

TEST(SideInfoRegionTest, WindowSwitchingTableSelectTwoIsZeroEvenWhenStale) {
    SideInfoFields f;
    f.granule[0][0].window_switching = true;
    f.granule[0][0].block_type = 3;
    f.granule[0][0].table_select = {4, 5, 0};
    const Read r = read_side(f, false, 1, 0, 0);  // the record starts as 0xA5A5A5A5
    EXPECT_EQ(rec(r, 0, 0).table_select, (std::array<std::uint32_t, 3>{4, 5, 0}));
}
