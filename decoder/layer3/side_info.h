// Layer III side information of one frame (SideInfo) and of one granule of
// one channel (GranuleInfo), with the readers for MPEG-1 and for the lower
// sampling frequencies (MPEG-2 and MPEG-2.5).
#pragma once

#include <array>
#include <cstdint>

struct GranuleInfo {
    std::int32_t scfsi;  // -1 in granule 0: nothing to reuse yet
    std::uint32_t part2_3_length;
    std::uint32_t big_values;  // clamped to 288
    std::uint32_t scalefac_compress;
    std::uint32_t block_type;
    std::uint32_t mixed_block_flag;
    std::array<std::uint32_t, 3> table_select;
    std::uint32_t global_gain;  // the 8 bits exactly as read
    std::array<std::uint32_t, 3> short_band_end;
    std::uint32_t long_band_end;
    std::uint32_t subband_end;
    std::uint32_t region1_start;  // in pairs of lines
    std::uint32_t region2_start;  // in pairs of lines
    std::uint32_t preflag;
    std::uint32_t scalefac_scale;
    std::uint32_t count1table_select;
    // Positions in GAIN_TABLE (index -256..): one step further is a factor 2^-1/4.
    std::array<std::int32_t, 3> gain_short;
    std::int32_t gain_long;
    const std::int16_t* quantised_values;
    const float* spectrum;  // the 576 requantised lines, set before the granule hook runs
    std::uint32_t spectrum_end;  // every line from here up is zero
};

struct SideInfo {
    std::uint32_t main_data_begin;
    std::uint32_t private_bits;
    std::array<std::array<GranuleInfo, 2>, 2> granule_info;  // [channel][granule]
};

// Both return 0 when read without complaint, 1 when a big_values was clamped
// or a forbidden block type was seen. They leave the bit reader on the first
// bit after the side information.
int layer3_side_info_v1(SideInfo& side, int channels, int mid_side, int sampling_index);
int layer3_side_info_lsf(SideInfo& side, int channels, int mid_side, int sampling_index);
