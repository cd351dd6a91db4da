#include "decoder/layer3/granule_loop.h"

#include <algorithm>
#include <utility>

#include "decoder/common/bit_reader.h"
#include "decoder/layer3/huffman_requantise.h"
#include "decoder/layer3/scale_factors.h"
#include "decoder/layer3/side_info.h"
#include "decoder/reservoir.h"

constinit thread_local std::array<std::array<float, 576>, 2> spectral_buffers{};

namespace {
constinit thread_local bool records_together = true;
}  // namespace

void layer3_decode_records_together(bool together) { records_together = together; }

namespace {

// What granule 1 of a channel may reuse: the same channel's granule 0 (none
// in granule 0 itself).
struct FirstGranule {
    const std::int32_t* values = nullptr;  // its 21 long-block values
    const GranuleInfo* granule = nullptr;
};

// A record's scale factors (or, without a spectrum, only the bits stepped
// over); the bits they took.
int read_scale_factors(const FrameInfo& frame, GranuleInfo& granule, ScaleFactors& scale_factors, int channel,
                       int intensity, FirstGranule first) {
    const ScaleFactorValues how = frame.skip_spectrum ? ScaleFactorValues::skip : ScaleFactorValues::read;
    if (frame.lsf_flag) return layer3_scale_factors_lsf(scale_factors, granule, channel == 0 ? 0 : intensity, how);
    const int bits = layer3_scale_factors_v1(scale_factors, granule, how);
    if (how == ScaleFactorValues::read && first.values != nullptr)
        layer3_scale_factors_reuse(scale_factors, granule, LongScaleFactors(first.values, 21), *first.granule);
    return bits;
}

// Scale factors, then the spectrum (or, without one, only the bits stepped
// over). Nonzero when the granule overdrew its budget.
int decode_channel(const FrameInfo& frame, GranuleInfo& granule, ScaleFactors& scale_factors,
                   int channel, int intensity, FirstGranule first) {
    const int part2_bits = read_scale_factors(frame, granule, scale_factors, channel, intensity, first);
    if (frame.skip_spectrum) return layer3_huffman_skip(granule, part2_bits);
    auto& spectrum = spectral_buffers[static_cast<std::size_t>(channel)];
    granule.spectrum = spectrum.data();
    return layer3_huffman_requantise(spectrum, scale_factors, granule, frame.sampling_index, part2_bits,
                                     frame.skip_quantised ? QuantisedValues::drop : QuantisedValues::keep);
}

// Below this many big-value pairs in either of two records (a joint-stereo
// side channel is often all but empty) their streams overlap too little to
// pay for decoding them together.
constexpr std::uint32_t TOGETHER_MIN_PAIRS = 64;

// Where the records of a frame after its first granule's go.
constinit thread_local std::array<std::array<float, 576>, 2> second_granule_spectra{};

// A frame whose records are all long blocks, when only their spectra are
// wanted: each record's bits begin part2_3_length bits after the one before
// began, so all scale factors are read first and the Huffman streams decoded
// two at a time, the two with the most pairs together, then the next two, so
// that their chains of table reads overlap. Then every record in stream order
// is left as decode_channel would leave it, checked for an overdraw (which
// ends the frame there, as it would one record after the other) and
// reported. Nonzero on an overdraw.
int decode_frame_together(FrameInfo& frame, SideInfo& side, int granules, int intensity) {
    const int channels = frame.channels;
    const auto count = static_cast<std::size_t>(granules * channels);
    std::array<GranuleInfo*, 4> granule{};
    std::array<ScaleFactors, 4> scale_factors{};
    std::array<int, 4> part2_bits{};
    std::array<std::int64_t, 4> position{};
    std::array<float*, 4> spectrum{};
    std::int64_t start = bit_reader_position();
    for (std::size_t k = 0; k < count; ++k) {
        const int channel = static_cast<int>(k) % channels;
        granule[k] = &side.granule_info[static_cast<std::size_t>(channel)][k / static_cast<std::size_t>(channels)];
        bit_reader_seek(start);
        const FirstGranule first = k < static_cast<std::size_t>(channels)
                                       ? FirstGranule{}
                                       : FirstGranule{scale_factors[k - static_cast<std::size_t>(channels)].data(),
                                                      granule[k - static_cast<std::size_t>(channels)]};
        part2_bits[k] = read_scale_factors(frame, *granule[k], scale_factors[k], channel, intensity, first);
        position[k] = bit_reader_position();
        start += granule[k]->part2_3_length;
        spectrum[k] = k < static_cast<std::size_t>(channels)
                          ? spectral_buffers[k].data()
                          : second_granule_spectra[k - static_cast<std::size_t>(channels)].data();
        granule[k]->spectrum = spectrum[k];
    }
    const auto input = [&](std::size_t k) {
        return LongBlockInput{std::span<float, 576>(spectrum[k], 576), scale_factors[k], *granule[k],
                              part2_bits[k], position[k]};
    };

    // The records by pair count, most first (at most four: sorted by hand).
    std::array<std::size_t, 4> order = {0, 1, 2, 3};
    for (std::size_t i = 1; i < count; ++i)
        for (std::size_t j = i; j > 0 && granule[order[j]]->big_values > granule[order[j - 1]]->big_values; --j)
            std::swap(order[j], order[j - 1]);
    std::array<LongBlockEnd, 4> ends{};
    for (std::size_t i = 0; i < count; i += 2) {
        const std::size_t a = order[i];
        if (i + 1 < count && granule[order[i + 1]]->big_values >= TOGETHER_MIN_PAIRS) {
            const std::size_t b = order[i + 1];
            std::array<LongBlockEnd, 2> two{};
            layer3_huffman_requantise_two({input(a), input(b)}, frame.sampling_index, two);
            ends[a] = two[0];
            ends[b] = two[1];
        } else {
            ends[a] = layer3_huffman_requantise_at(input(a), frame.sampling_index);
            if (i + 1 < count) ends[order[i + 1]] = layer3_huffman_requantise_at(input(order[i + 1]), frame.sampling_index);
        }
    }

    for (std::size_t k = 0; k < count; ++k) {
        frame.granule_index = static_cast<std::int32_t>(k / static_cast<std::size_t>(channels));
        if (layer3_huffman_leave(ends[k]) != 0) return 1;
        if (frame.granule_hook) frame.granule_hook(granule[k], frame.user_data, static_cast<std::int32_t>(k) % channels);
    }
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

    // The library's sessions want the spectra alone, before any stereo
    // processing: a frame of long blocks then goes all at once.
    if (records_together && !frame.skip_spectrum && frame.skip_quantised && frame.skip_stereo &&
        granules * frame.channels >= 2) {
        bool all_long = true;
        int many_pairs = 0;  // records with enough pairs to go two together
        for (int gr = 0; gr < granules; ++gr) {
            for (int ch = 0; ch < frame.channels; ++ch) {
                const GranuleInfo& g = side.granule_info[static_cast<std::size_t>(ch)][static_cast<std::size_t>(gr)];
                all_long = all_long && g.block_type != 2;
                many_pairs += g.big_values >= TOGETHER_MIN_PAIRS;
            }
        }
        if (all_long && many_pairs >= 2) {
            if (decode_frame_together(frame, side, granules, intensity) != 0) frame.error_flag = 1;
            return 0;
        }
    }

    ScaleFactors scale_factors{};
    // A channel's granule-0 long-block values, kept only when its granule 1
    // reuses some of them (the array is shared by the channels), which is
    // also the only time the reuse reads them.
    std::array<std::array<std::int32_t, 21>, 2> first;
    const auto keep_first = [&](std::size_t ch) {
        if (granules == 2 && !frame.skip_spectrum && side.granule_info[ch][1].scfsi > 0)
            std::copy_n(scale_factors.begin(), 21, first[ch].begin());
    };
    for (std::size_t gr = 0; gr < static_cast<std::size_t>(granules); ++gr) {
        const auto reuse = [&](std::size_t ch) {
            return gr == 0 ? FirstGranule{} : FirstGranule{first[ch].data(), &side.granule_info[ch][0]};
        };
        GranuleInfo& g0 = side.granule_info[0][gr];
        frame.granule_index = static_cast<std::int32_t>(gr);
        if (decode_channel(frame, g0, scale_factors, 0, intensity, reuse(0)) != 0) {
            frame.error_flag = 1;
            return 0;
        }
        if (gr == 0) keep_first(0);
        if (frame.granule_hook) frame.granule_hook(&g0, frame.user_data, 0);
        if (frame.channels != 2) continue;

        GranuleInfo& g1 = side.granule_info[1][gr];
        if (decode_channel(frame, g1, scale_factors, 1, intensity, reuse(1)) != 0) {
            frame.error_flag = 1;
            return 0;
        }
        if (gr == 0) keep_first(1);
        if (frame.granule_hook) frame.granule_hook(&g1, frame.user_data, 1);

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
