#include "decoder/layer3/granule_loop.h"

#include <algorithm>

#include "decoder/common/bit_reader.h"
#include "decoder/layer3/huffman_requantise.h"
#include "decoder/layer3/scale_factors.h"
#include "decoder/layer3/side_info.h"
#include "decoder/reservoir.h"

constinit thread_local std::array<std::array<float, 576>, 2> spectral_buffers{};

namespace {
constinit thread_local bool channels_together = true;
}  // namespace

void layer3_decode_channels_together(bool together) { channels_together = together; }

namespace {

// Scale factors, then the spectrum (or, without one, only the bits stepped
// over). Nonzero when the granule overdrew its budget.
int read_scale_factors(const FrameInfo& frame, GranuleInfo& granule, ScaleFactors& scale_factors, int channel,
                       int intensity) {
    const ScaleFactorValues how = frame.skip_spectrum ? ScaleFactorValues::skip : ScaleFactorValues::read;
    return frame.lsf_flag ? layer3_scale_factors_lsf(scale_factors, granule, channel == 0 ? 0 : intensity, how)
                          : layer3_scale_factors_v1(scale_factors, granule, how);
}

int decode_channel(const FrameInfo& frame, GranuleInfo& granule, ScaleFactors& scale_factors,
                   int channel, int intensity) {
    const int part2_bits = read_scale_factors(frame, granule, scale_factors, channel, intensity);
    if (frame.skip_spectrum) return layer3_huffman_skip(granule, part2_bits);
    auto& spectrum = spectral_buffers[static_cast<std::size_t>(channel)];
    granule.spectrum = spectrum.data();
    return layer3_huffman_requantise(spectrum, scale_factors, granule, frame.sampling_index, part2_bits,
                                     frame.skip_quantised ? QuantisedValues::drop : QuantisedValues::keep);
}

// Below this many big-value pairs in either channel (a joint-stereo side
// channel is often all but empty) the two streams overlap too little to pay
// for decoding them together.
constexpr std::uint32_t TOGETHER_MIN_PAIRS = 64;

// Both channels of a granule with long blocks, when only their spectra are
// wanted: the second's bits begin part2_3_length bits after the first's, so
// both sets of scale factors are read first and the two Huffman streams
// decoded in one loop. What callers see is what decode_channel twice gives:
// the same spectra, the reader where it would be at each hook, the first
// channel's overdraw message ending the frame before the second is reported,
// and the scale factors left as the second channel's.
int decode_channels_together(const FrameInfo& frame, GranuleInfo& g0, GranuleInfo& g1, ScaleFactors& scale_factors,
                             int intensity) {
    const std::int64_t start = bit_reader_position();
    const int part2_0 = read_scale_factors(frame, g0, scale_factors, 0, intensity);
    const std::int64_t position_0 = bit_reader_position();
    bit_reader_seek(start + g0.part2_3_length);
    ScaleFactors second{};
    const int part2_1 = read_scale_factors(frame, g1, second, 1, intensity);
    const std::int64_t position_1 = bit_reader_position();

    g0.spectrum = spectral_buffers[0].data();
    g1.spectrum = spectral_buffers[1].data();
    std::array<LongBlockEnd, 2> ends{};
    layer3_huffman_requantise_two({LongBlockInput{spectral_buffers[0], scale_factors, g0, part2_0, position_0},
                                   LongBlockInput{spectral_buffers[1], second, g1, part2_1, position_1}},
                                  frame.sampling_index, ends);
    scale_factors = second;
    if (layer3_huffman_leave(ends[0]) != 0) return 1;
    if (frame.granule_hook) frame.granule_hook(&g0, frame.user_data, 0);
    if (layer3_huffman_leave(ends[1]) != 0) return 1;
    if (frame.granule_hook) frame.granule_hook(&g1, frame.user_data, 1);
    return 0;
}

}  // namespace

int layer3_decode_frame(FrameInfo& frame, std::uint8_t* /*output*/, std::int32_t* /*done*/) {
    const int joint = frame.mode == 1;
    const int mid_side = joint ? (frame.mode_extension & 2) : 0;
    const int intensity = joint ? (frame.mode_extension & 1) : 0;
    const int granules = frame.lsf_flag ? 1 : 2;

    SideInfo side{};
    frame.error_flag |= frame.lsf_flag
                            ? layer3_side_info_lsf(side, frame.channels, mid_side, frame.sampling_index)
                            : layer3_side_info_v1(side, frame.channels, mid_side, frame.sampling_index);
    frame.main_data_begin = static_cast<std::int32_t>(side.main_data_begin);
    if (reservoir_position(static_cast<std::int32_t>(side.main_data_begin)) == -1) return 0;

    ScaleFactors scale_factors{};
    for (std::size_t gr = 0; gr < static_cast<std::size_t>(granules); ++gr) {
        GranuleInfo& g0 = side.granule_info[0][gr];
        GranuleInfo& g1 = side.granule_info[1][gr];
        frame.granule_index = static_cast<std::int32_t>(gr);
        if (channels_together && frame.channels == 2 && !frame.skip_spectrum && frame.skip_quantised && g0.block_type != 2 &&
            g1.block_type != 2 && std::min(g0.big_values, g1.big_values) >= TOGETHER_MIN_PAIRS) {
            if (decode_channels_together(frame, g0, g1, scale_factors, intensity) != 0) {
                frame.error_flag = 1;
                return 0;
            }
        } else {
            if (decode_channel(frame, g0, scale_factors, 0, intensity) != 0) {
                frame.error_flag = 1;
                return 0;
            }
            if (frame.granule_hook) frame.granule_hook(&g0, frame.user_data, 0);
            if (frame.channels != 2) continue;

            if (decode_channel(frame, g1, scale_factors, 1, intensity) != 0) {
                frame.error_flag = 1;
                return 0;
            }
            if (frame.granule_hook) frame.granule_hook(&g1, frame.user_data, 1);
        }

        if (frame.skip_spectrum || frame.skip_stereo) continue;
        if (mid_side) {
            auto& left = spectral_buffers[0];
            auto& right = spectral_buffers[1];
            // Above both channels' spectrum_end every line is +0 in both, and
            // +0 + +0 and +0 - +0 are +0 again: only the lines below change.
            const std::size_t end = std::min<std::size_t>(576, std::max(g0.spectrum_end, g1.spectrum_end));
            for (std::size_t i = 0; i < end; ++i) {
                const float a = left[i];
                const float b = right[i];
                right[i] = a - b;
                left[i] = a + b;
            }
        }
        if (mid_side || intensity) {
            if (g1.subband_end > g0.subband_end)
                g0.subband_end = g1.subband_end;
            else
                g1.subband_end = g0.subband_end;
        }
    }
    return 0;
}
