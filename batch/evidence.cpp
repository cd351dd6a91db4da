#include "batch/evidence.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::size_t MIN_BANDS = 3;        // bands with energy needed for a residual
constexpr float ENERGY_FLOOR = -20.0f;      // log2 energy below which a band is near-silent
constexpr double CLIP = 3.0;                // residuals clipped at this many robust deviations
constexpr std::int64_t MIN_CARRIERS = 24;   // fewer residuals than this: no score

double median(std::vector<double>& values) {
    if (values.empty()) return 0;
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

// The median over bands of how far a record's band energies sit above the
// mean of its two neighbours'; nullopt when too few bands carry energy.
std::optional<double> residual(const GranuleRecord& record, const GranuleRecord& before,
                               const GranuleRecord& after) {
    std::array<double, ENERGY_BANDS> differences{};
    std::size_t count = 0;
    for (std::size_t b = 0; b < ENERGY_BANDS; ++b) {
        const float e = record.band_log2_energy[b];
        const float p = before.band_log2_energy[b];
        const float n = after.band_log2_energy[b];
        if (e < ENERGY_FLOOR || p < ENERGY_FLOOR || n < ENERGY_FLOOR) continue;
        differences[count++] = e - 0.5 * (double{p} + n);
    }
    if (count < MIN_BANDS) return std::nullopt;
    // At most eight values: an insertion sort.
    for (std::size_t i = 1; i < count; ++i)
        for (std::size_t j = i; j > 0 && differences[j - 1] > differences[j]; --j)
            std::swap(differences[j - 1], differences[j]);
    return count % 2 ? differences[count / 2] : 0.5 * (differences[count / 2 - 1] + differences[count / 2]);
}

struct Residual {
    std::int64_t carrier;  // position among the carriers
    double value;
    int sign;              // +1 when the gain is odd
};

// A self-normalised sum: under no dependence on parity it is about N(0,1).
double parity_z(std::span<const Residual> residuals, double scale, std::int64_t limit) {
    double sum = 0, squares = 0;
    std::int64_t used = 0;
    for (const Residual& r : residuals) {
        if (r.carrier >= limit) break;
        const double clipped = std::clamp(r.value / scale, -CLIP, CLIP);
        sum += r.sign * clipped;
        squares += clipped * clipped;
        ++used;
    }
    return used >= MIN_CARRIERS && squares > 0 ? sum / std::sqrt(squares) : 0;
}

}  // namespace

std::vector<std::uint8_t> carrier_bits(std::span<const GranuleRecord> records) {
    std::vector<std::uint8_t> bits;
    bits.reserve(records.size() / 2 + 1);
    for (std::size_t i = 0; i < records.size(); i += 2) bits.push_back(records[i].global_gain & 1u);
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

Evidence weigh_evidence(std::span<const GranuleRecord> records) {
    Evidence evidence{};
    evidence.carriers = static_cast<std::int64_t>((records.size() + 1) / 2);
    const std::vector<std::uint8_t> bits = carrier_bits(records);
    evidence.length_field = read_length_field(bits);

    // Each channel's records in time order; a carrier's neighbours are the
    // records of its channel just before and after it.
    std::array<std::vector<std::size_t>, 2> by_channel;
    for (std::size_t i = 0; i < records.size(); ++i) by_channel[records[i].channel & 1u].push_back(i);

    std::vector<Residual> residuals;
    for (const auto& sequence : by_channel) {
        for (std::size_t k = 1; k + 1 < sequence.size(); ++k) {
            const std::size_t i = sequence[k];
            if (i % 2 != 0) continue;
            if (auto r = residual(records[i], records[sequence[k - 1]], records[sequence[k + 1]]))
                residuals.push_back(Residual{static_cast<std::int64_t>(i / 2), *r, (records[i].global_gain & 1) ? 1 : -1});
        }
    }
    std::sort(residuals.begin(), residuals.end(), [](const Residual& a, const Residual& b) { return a.carrier < b.carrier; });
    if (residuals.size() < static_cast<std::size_t>(MIN_CARRIERS)) return evidence;

    // Per-file scale: the median absolute residual, as a robust deviation.
    std::vector<double> magnitudes;
    magnitudes.reserve(residuals.size());
    for (const Residual& r : residuals) magnitudes.push_back(std::fabs(r.value));
    const double scale = std::max(1.4826 * median(magnitudes), 1e-3);

    const std::int64_t limit = evidence.length_field && evidence.length_field->span < static_cast<std::uint64_t>(evidence.carriers)
                                   ? static_cast<std::int64_t>(evidence.length_field->span)
                                   : evidence.carriers;
    evidence.score = parity_z(residuals, scale, limit);
    return evidence;
}
