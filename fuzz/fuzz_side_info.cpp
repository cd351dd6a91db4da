// Side information readers on arbitrary bits: the reader must end exactly on
// the first bit after the side information, and every derived field must stay
// inside the spectrum, whatever the fields say.
//
// Byte 0 picks the reader (bit 0: lower sampling frequencies), the channel
// count (bit 1), mid/side (bit 2) and the sampling index (byte 0 >> 3, mod 9
// within the reader's range); the rest is the side information.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "decoder/common/bit_reader.h"
#include "decoder/layer3/side_info.h"
#include "decoder/tables/decoder_tables.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "side information: %s\n", what);
    std::fflush(stderr);
    __builtin_trap();
}

void check_granule(const GranuleInfo& g, int mid_side, bool lsf) {
    if (g.big_values > 288) fail("big_values above 288");
    if (g.global_gain > 255) fail("global_gain wider than 8 bits");
    if (g.gain_long != -static_cast<std::int32_t>(g.global_gain) + (mid_side ? 2 : 0)) fail("gain_long");
    if (g.region1_start > g.region2_start) fail("region 1 starts after region 2");
    if (g.region2_start > 288) fail("region 2 starts past the spectrum");
    if (g.block_type > 3 || g.mixed_block_flag > 1) fail("block fields");
    for (const auto t : g.table_select)
        if (t > 31) fail("table_select wider than 5 bits");
    if (g.scalefac_compress > (lsf ? 511u : 15u)) fail("scalefac_compress");
    if (g.scalefac_scale > 1 || g.count1table_select > 1) fail("one-bit fields");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::perror("freopen");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 64) return -1;
    const std::uint8_t control = data[0];
    const bool lsf = (control & 1u) != 0;
    const int channels = (control & 2u) ? 2 : 1;
    const int mid_side = (control & 4u) ? 2 : 0;
    const int rate = (control >> 3) % 9;
    // MPEG-1 uses indices 0..2, the lower frequencies 3..8.
    const int sampling_index = lsf ? 3 + rate % 6 : rate % 3;

    // The body sits where the decoder puts it, behind the reservoir's lead-in,
    // in a buffer of the real frame buffer's size.
    std::vector<std::uint8_t> buffer(2304, 0);
    std::copy(data + 1, data + size, buffer.begin() + 512);
    bit_reader_attach(buffer.data(), buffer.size(), buffer.data() + 512);

    SideInfo side{};
    const int result = lsf ? layer3_side_info_lsf(side, channels, mid_side, sampling_index)
                           : layer3_side_info_v1(side, channels, mid_side, sampling_index);
    if (result != 0 && result != 1) fail("result not 0 or 1");

    const std::ptrdiff_t bits = (bit_reader.byte_pointer - (buffer.data() + 512)) * 8 + bit_reader.bit_index;
    const std::ptrdiff_t expected = lsf ? (channels == 1 ? 9 * 8 : 17 * 8) : (channels == 1 ? 17 * 8 : 32 * 8);
    if (bits != expected) fail("reader not on the first bit after the side information");

    if (side.main_data_begin > (lsf ? 255u : 511u)) fail("main_data_begin");
    const int granules = lsf ? 1 : 2;
    for (int ch = 0; ch < channels; ++ch)
        for (int gr = 0; gr < granules; ++gr)
            check_granule(side.granule_info[static_cast<std::size_t>(ch)][static_cast<std::size_t>(gr)], mid_side,
                          lsf);
    return 0;
}
