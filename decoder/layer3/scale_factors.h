// Scale factors of one granule of one channel, the first part of its main data.
#pragma once

#include <array>
#include <cstdint>

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
