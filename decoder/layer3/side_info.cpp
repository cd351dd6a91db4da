#include "decoder/layer3/side_info.h"

#include "decoder/common/bit_reader.h"
#include "decoder/common/messages.h"
#include "decoder/tables/layer3_tables.h"

namespace {

// The 22 bits after window_switching_flag's position, both branches, plus the
// region starts and gain positions derived from them. Returns the error flag.
int read_granule_fields(GranuleInfo& g, int mid_side, int sampling_index, bool lsf) {
    int result = 0;
    g.part2_3_length = bits_read(12);
    g.big_values = bits_read_short(9);
    if (g.big_values > 288) {
        dec_message(MESSAGE_STDERR, "big_values too large!\n");
        g.big_values = 288;
        result = 1;
    }
    g.global_gain = bits_read_short(8);
    // mid/side carries the 2^-1/2 of the matrix in the gain: two positions on.
    g.gain_long = -static_cast<std::int32_t>(g.global_gain) + (mid_side ? 2 : 0);
    g.scalefac_compress = lsf ? bits_read(9) : bits_read_short(4);

    if (bits_read_one()) {
        g.block_type = bits_read_short(2);
        g.mixed_block_flag = bits_read_one();
        g.table_select[0] = bits_read_short(5);
        g.table_select[1] = bits_read_short(5);
        g.table_select[2] = 0;
        for (auto& gain : g.gain_short)
            gain = g.gain_long + 8 * static_cast<std::int32_t>(bits_read_short(3));
        if (g.block_type == 0) {
            dec_message(MESSAGE_STDOUT, "Blocktype == 0 and window-switching == 1 not allowed.\n");
            result = 1;
        }
        if (!lsf || g.block_type == 2)
            g.region1_start = 36 >> 1;
        else
            g.region1_start = sampling_index == 8 ? 108 >> 1 : 54 >> 1;
        g.region2_start = 576 >> 1;
    } else {
        for (auto& table : g.table_select) table = bits_read_short(5);
        const std::uint32_t region0_count = bits_read_short(4);
        const std::uint32_t region1_count = bits_read_short(3);
        const auto& bounds = BAND_INDEX[static_cast<std::size_t>(sampling_index)].long_index;
        g.region1_start = static_cast<std::uint32_t>(bounds[region0_count + 1]) >> 1;
        // Damaged region counts can point past the last boundary (22): region 2
        // then starts at the end of the spectrum, which leaves it empty.
        std::uint32_t boundary = region0_count + region1_count + 2;
        if (boundary > 22) boundary = 22;
        g.region2_start = static_cast<std::uint32_t>(bounds[boundary]) >> 1;
        g.block_type = 0;
        g.mixed_block_flag = 0;
    }
    if (!lsf) g.preflag = bits_read_one();
    g.scalefac_scale = bits_read_one();
    g.count1table_select = bits_read_one();
    return result;
}

}  // namespace

int layer3_side_info_v1(SideInfo& side, int channels, int mid_side, int sampling_index) {
    int result = 0;
    side.main_data_begin = bits_read(9);
    side.private_bits = bits_read_short(channels == 1 ? 5 : 3);
    for (int ch = 0; ch < channels; ++ch) {
        side.granule_info[static_cast<std::size_t>(ch)][0].scfsi = -1;
        side.granule_info[static_cast<std::size_t>(ch)][1].scfsi = static_cast<std::int32_t>(bits_read_short(4));
    }
    for (std::size_t gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < channels; ++ch)
            result |= read_granule_fields(side.granule_info[static_cast<std::size_t>(ch)][gr], mid_side,
                                          sampling_index, false);
    return result;
}

int layer3_side_info_lsf(SideInfo& side, int channels, int mid_side, int sampling_index) {
    int result = 0;
    side.main_data_begin = bits_read(8);
    side.private_bits = bits_read_short(channels == 1 ? 1 : 2);
    for (int ch = 0; ch < channels; ++ch)
        result |= read_granule_fields(side.granule_info[static_cast<std::size_t>(ch)][0], mid_side,
                                      sampling_index, true);
    return result;
}
