// The energy of a granule's requantised spectrum, overall and in a few
// frequency bands (log2 of the sum of squares), kept with each record.
#pragma once

#include <cstdint>

#include "gainscan/analysis.h"

namespace gainscan {

// Whole spectrum and band energies of 576 requantised lines, all zero from
// `end` up.
void measure_energy(const float* spectrum, std::uint32_t end, GranuleRecord& record);

}  // namespace gainscan
