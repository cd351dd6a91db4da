// Scale factors of one granule of one channel, the first part of its main data.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "decoder/layer3/side_info.h"

using ScaleFactors = std::array<std::int32_t, 39>;

// `skip` steps over the values' bits and leaves them unread (the reader ends
// in the same place): for a decode that computes no spectrum.
enum class ScaleFactorValues { read, skip };

// Both return the number of bits read.
int layer3_scale_factors_v1(ScaleFactors& scale_factors, const GranuleInfo& granule,
                            ScaleFactorValues how = ScaleFactorValues::read);
// `intensity` is 0 for channel 0, the frame's intensity-stereo flag for channel 1.
int layer3_scale_factors_lsf(ScaleFactors& scale_factors, GranuleInfo& granule, int intensity,
                             ScaleFactorValues how = ScaleFactorValues::read);

// The 21 long-block values (bands 0-20) of a granule.
using LongScaleFactors = std::span<const std::int32_t, 21>;

// MPEG-1 granule 1 of a channel: the band groups its scfsi bits mark are not
// transmitted (layer3_scale_factors_v1 leaves them 0) but reuse granule 0's
// values, which are copied in from `first`, that channel's granule-0 scale
// factors. Only when both granules are long blocks: a frame with short
// blocks has no long-block values to reuse (an encoder never sets scfsi
// there), and the zeros stay.
void layer3_scale_factors_reuse(ScaleFactors& scale_factors, const GranuleInfo& granule, LongScaleFactors first,
                                const GranuleInfo& first_granule);
