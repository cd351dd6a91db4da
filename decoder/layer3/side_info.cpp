#include "decoder/layer3/side_info.h"

#include "decoder/common/bit_reader.h"
#include "decoder/common/messages.h"
#include "decoder/tables/layer3_tables.h"

namespace {

// The side information's fields taken from a local window (at least 57 bits
// after each load), with the shared reader moved once per window: going
// through the reader field by field costs a load and a position update each.
struct FieldReader {
    std::uint64_t window = bit_reader_window();
    int used = 0;

    // n from 1 to 12.
    std::uint32_t take(int n) {
        if (used + n > BIT_WINDOW_VALID) {
            bit_reader_skip(used);
            window = bit_reader_window();
            used = 0;
        }
        const std::uint32_t value = bit_window_take(window << used, n);
        used += n;
        return value;
    }
    void finish() { bit_reader_skip(used); }
};

// The 22 bits after window_switching_flag's position, both branches, plus the
// region starts and gain positions derived from them. Returns the error flag.
int read_granule_fields(FieldReader& in, GranuleInfo& g, int mid_side, int sampling_index, bool lsf) {
    int result = 0;
    g.part2_3_length = in.take(12);
    g.big_values = in.take(9);
    if (g.big_values > 288) {
        dec_message(MESSAGE_STDERR, "big_values too large!\n");
        g.big_values = 288;
        result = 1;
    }
    g.global_gain = in.take(8);
    // mid/side carries the 2^-1/2 of the matrix in the gain: two positions on.
    g.gain_long = -static_cast<std::int32_t>(g.global_gain) + (mid_side ? 2 : 0);
    g.scalefac_compress = lsf ? in.take(9) : in.take(4);

    if (in.take(1)) {
        g.block_type = in.take(2);
        g.mixed_block_flag = in.take(1);
        g.table_select[0] = in.take(5);
        g.table_select[1] = in.take(5);
        g.table_select[2] = 0;
        for (auto& gain : g.gain_short)
            gain = g.gain_long + 8 * static_cast<std::int32_t>(in.take(3));
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
        for (auto& table : g.table_select) table = in.take(5);
        const std::uint32_t region0_count = in.take(4);
        const std::uint32_t region1_count = in.take(3);
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
    if (!lsf) g.preflag = in.take(1);
    g.scalefac_scale = in.take(1);
    g.count1table_select = in.take(1);
    return result;
}

}  // namespace

int layer3_side_info_v1(SideInfo& side, int channels, int mid_side, int sampling_index) {
    int result = 0;
    FieldReader in;
    side.main_data_begin = in.take(9);
    side.private_bits = in.take(channels == 1 ? 5 : 3);
    for (int ch = 0; ch < channels; ++ch) {
        side.granule_info[static_cast<std::size_t>(ch)][0].scfsi = -1;
        side.granule_info[static_cast<std::size_t>(ch)][1].scfsi = static_cast<std::int32_t>(in.take(4));
    }
    for (std::size_t gr = 0; gr < 2; ++gr)
        for (int ch = 0; ch < channels; ++ch)
            result |= read_granule_fields(in, side.granule_info[static_cast<std::size_t>(ch)][gr], mid_side,
                                          sampling_index, false);
    in.finish();
    return result;
}

int layer3_side_info_lsf(SideInfo& side, int channels, int mid_side, int sampling_index) {
    int result = 0;
    FieldReader in;
    side.main_data_begin = in.take(8);
    side.private_bits = in.take(channels == 1 ? 1 : 2);
    for (int ch = 0; ch < channels; ++ch)
        result |= read_granule_fields(in, side.granule_info[static_cast<std::size_t>(ch)][0], mid_side,
                                      sampling_index, true);
    in.finish();
    return result;
}
