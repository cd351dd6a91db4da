#include "analysis/granule_record.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>


namespace gainscan {

namespace {

using Lanes = float __attribute__((vector_size(16)));

// Band edges in spectral lines, roughly octaves: a gain change moves every
// band by the same amount, the music rarely does.
constexpr std::array<std::size_t, ENERGY_BANDS + 1> BAND_EDGES = {0, 4, 12, 24, 48, 96, 192, 384, 576};

// log2 to about 1e-7, several times cheaper than the library's: it runs nine
// times per granule record. The mantissa is brought into [sqrt(1/2), sqrt(2)]
// and log2(m) = 2 atanh(s) / ln 2 with s = (m - 1) / (m + 1), |s| < 0.172.
float log2_or_none(float energy) {
    if (!(energy >= std::numeric_limits<float>::min())) return NO_ENERGY;  // zero, subnormal or NaN
    // A normal float is 2^exponent x 1.mantissa.
    const auto bits = std::bit_cast<std::uint32_t>(energy);
    double m = std::bit_cast<float>((bits & 0x007FFFFFu) | 0x3F800000u);  // [1, 2)
    // Halved or not without a branch (times 1 is exact): which way it goes
    // is as good as random, and a mispredicted branch costs more than the
    // multiplication. Compilers turn a conditional halving into a branch.
    static constexpr double HALVED[2] = {1.0, 0.5};
    const int high = m > 1.4142135623730951 ? 1 : 0;
    m *= HALVED[high];
    const int exponent = static_cast<int>(bits >> 23) - 127 + high;
    const double s = (m - 1) / (m + 1);
    const double s2 = s * s;
    const double atanh = s * (1 + s2 * (1.0 / 3 + s2 * (1.0 / 5 + s2 * (1.0 / 7))));
    return static_cast<float>(exponent + 2.8853900817779268 * atanh);  // 2 / ln 2
}

}  // namespace

void measure_energy(const float* spectrum, std::uint32_t end, GranuleRecord& record) {
    // Quiet and low-rate granules leave most of the spectrum zero: only the
    // lines below `end`, in whole groups of four, are summed.
    const std::size_t limit = std::min<std::size_t>(576, (std::size_t{end} + 3) & ~std::size_t{3});
    float total = 0;
    for (std::size_t b = 0; b < ENERGY_BANDS; ++b) {
        // Four lanes of single precision (plenty for a logarithm) at a time:
        // every band edge is a multiple of four, and this runs for every
        // granule record of every file.
        Lanes sums{}, more{};
        std::size_t i = BAND_EDGES[b];
        const std::size_t band_end = std::min(BAND_EDGES[b + 1], std::max(limit, i));
        for (; i + 8 <= band_end; i += 8) {
            Lanes x, y;
            std::memcpy(&x, spectrum + i, sizeof x);
            std::memcpy(&y, spectrum + i + 4, sizeof y);
            sums += x * x;
            more += y * y;
        }
        if (i < band_end) {
            Lanes x;
            std::memcpy(&x, spectrum + i, sizeof x);
            sums += x * x;
        }
        sums += more;
        const float sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
        record.band_log2_energy[b] = log2_or_none(sum);
        total += sum;
    }
    record.log2_energy = log2_or_none(total);
}

}  // namespace gainscan
