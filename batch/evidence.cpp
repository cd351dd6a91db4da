#include "batch/evidence.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr std::size_t MIN_BANDS = 1;        // bands with energy needed for a residual
constexpr double CLIP = 1.0;                // residuals clipped at this many robust deviations
constexpr double MAX_GAIN_STEP = 8.0;       // gain differences clipped for the slope fit
constexpr std::int64_t MIN_RESIDUALS = 24;  // fewer carriers than this with a residual: no score
constexpr std::uint32_t LENGTH_SLACK = 106; // bytes a length may claim beyond the capacity

// One record against the mean of its channel's records before and after it.
struct Residual {
    std::int64_t carrier;  // position among the carriers (slot / 2)
    bool is_carrier;
    int sign;              // +1 when the gain is odd, -1 when even
    double value;          // log2 energy above the neighbours', median over bands
    double gain_step;      // gain above the neighbours' mean
    double spread;         // how far the neighbours disagree, mean over bands
};

// Median of a few values, in place.
float small_median(float* values, std::size_t count) {
    for (std::size_t i = 1; i < count; ++i) {
        const float v = values[i];
        std::size_t j = i;
        for (; j > 0 && values[j - 1] > v; --j) values[j] = values[j - 1];
        values[j] = v;
    }
    return count % 2 ? values[count / 2] : 0.5f * (values[count / 2 - 1] + values[count / 2]);
}

// The median over bands, so that one band changing on its own (a note
// starting) does not count.
std::optional<Residual> residual(const GranuleRecord& record, const GranuleRecord& before, const GranuleRecord& after) {
    std::array<float, ENERGY_BANDS> differences{};
    float gaps = 0;
    std::size_t count = 0;
    for (std::size_t b = 0; b < ENERGY_BANDS; ++b) {
        const float e = record.band_log2_energy[b];
        const float p = before.band_log2_energy[b];
        const float n = after.band_log2_energy[b];
        if (e <= NO_ENERGY || p <= NO_ENERGY || n <= NO_ENERGY) continue;
        differences[count] = e - 0.5f * (p + n);
        gaps += std::fabs(p - n);
        ++count;
    }
    if (count < MIN_BANDS) return std::nullopt;
    return Residual{record.slot / 2,
                    is_carrier(record),
                    (record.global_gain & 1u) ? 1 : -1,
                    small_median(differences.data(), count),
                    record.global_gain - 0.5 * (before.global_gain + after.global_gain),
                    gaps / static_cast<float>(count)};
}

// A robust deviation of the residuals: 1.4826 x their median magnitude.
double robust_scale(std::span<const Residual> residuals) {
    std::vector<double> magnitudes;
    magnitudes.reserve(residuals.size());
    for (const Residual& r : residuals) magnitudes.push_back(std::fabs(r.value));
    const auto mid = magnitudes.begin() + static_cast<std::ptrdiff_t>(magnitudes.size() / 2);
    std::nth_element(magnitudes.begin(), mid, magnitudes.end());
    return std::max(1.4826 * *mid, 1e-3);
}

// How much a file's energies follow its gains from granule to granule. An
// encoder that raises the gain for a louder granule, or whose quiet granules
// decode to little more than their gain, makes parity and energy go together
// wherever gains jitter by a step; that part is the encoder's, not evidence.
double gain_slope(std::span<const Residual> residuals, double scale) {
    double xy = 0, xx = 0;
    for (const Residual& r : residuals) {
        const double x = std::clamp(r.gain_step, -MAX_GAIN_STEP, MAX_GAIN_STEP);
        xy += x * std::clamp(r.value, -CLIP * scale, CLIP * scale);
        xx += x * x;
    }
    return xx > 0 ? xy / xx : 0;
}

// The carriers' residuals signed by their parity, as a self-normalised sum:
// where residuals do not depend on parity it is about N(0,1). Each is
// clipped, and weighed down where its neighbours disagree (an onset, a burst),
// since there the prediction says little.
std::optional<double> parity_z(std::span<const Residual> residuals, double scale, double slope, std::int64_t span) {
    double sum = 0, squares = 0;
    std::int64_t used = 0;
    for (const Residual& r : residuals) {
        if (!r.is_carrier || r.carrier >= span) continue;
        const double spread = r.spread / scale;
        const double v = std::clamp((r.value - slope * r.gain_step) / scale, -CLIP, CLIP) / (1 + spread * spread);
        sum += r.sign * v;
        squares += v * v;
        ++used;
    }
    if (used < MIN_RESIDUALS || squares <= 0) return std::nullopt;
    return sum / std::sqrt(squares);
}

}  // namespace

std::vector<std::uint8_t> carrier_bits(std::span<const GranuleRecord> records) {
    std::vector<std::uint8_t> bits;
    if (records.empty()) return bits;
    // A carrier the decoder lost reads as 0.
    bits.assign(static_cast<std::size_t>(records.back().slot / 2 + 1), 0);
    for (const GranuleRecord& r : records)
        if (is_carrier(r)) bits[static_cast<std::size_t>(r.slot / 2)] = r.global_gain & 1u;
    return bits;
}

std::optional<LengthField> read_length_field(std::span<const std::uint8_t> bits) {
    if (bits.size() < 6) return std::nullopt;
    LengthField field{};
    for (std::size_t i = 0; i < 6; ++i) field.nbits = (field.nbits << 1) | bits[i];
    if (field.nbits == 0 || field.nbits > 32) return std::nullopt;
    field.header_bits = 6 + field.nbits - 1;
    if (bits.size() < field.header_bits) return std::nullopt;
    field.length = 1;
    for (std::size_t i = 6; i < field.header_bits; ++i) field.length = (field.length << 1) | bits[i];
    field.span = field.header_bits + 8 * field.length;
    return field;
}

Evidence weigh_evidence(std::span<const GranuleRecord> records, std::uint32_t capacity) {
    Evidence evidence{};
    const std::vector<std::uint8_t> bits = carrier_bits(records);
    evidence.carriers = static_cast<std::int64_t>(bits.size());
    evidence.length_field = read_length_field(bits);

    // Each channel's records in time order; a record's neighbours are the
    // records of its channel just before and after it.
    std::vector<Residual> residuals;
    residuals.reserve(records.size());
    std::array<const GranuleRecord*, 2> before{}, current{};
    for (const GranuleRecord& record : records) {
        const std::size_t channel = record.channel & 1u;
        if (before[channel] != nullptr)
            if (auto r = residual(*current[channel], *before[channel], record)) residuals.push_back(*r);
        before[channel] = current[channel];
        current[channel] = &record;
    }
    if (residuals.empty()) return evidence;
    const double scale = robust_scale(residuals);
    const double slope = gain_slope(residuals, scale);

    // The test is strongest over the carriers the length field claims.
    const LengthField* field = evidence.length_field ? &*evidence.length_field : nullptr;
    const std::int64_t span = field != nullptr && field->span < static_cast<std::uint64_t>(evidence.carriers)
                                  ? static_cast<std::int64_t>(field->span)
                                  : evidence.carriers;
    const std::optional<double> z = parity_z(residuals, scale, slope, span);
    if (!z) return evidence;
    // Without a length that the file could hold there is no payload of this
    // layout to find, so such a file's score counts only against it.
    const bool fits = field != nullptr && field->length <= std::uint64_t{field->nbits} + capacity + LENGTH_SLACK;
    evidence.score = fits ? *z : std::min(*z, 0.0);
    return evidence;
}
