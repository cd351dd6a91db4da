#include "analysis/evidence.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "analysis/length_field.h"

namespace gainscan {

namespace {

constexpr std::uint32_t MIN_PART2_3_LENGTH = 40;  // bits: less is too little spectrum to measure
constexpr double CLIP = 1.5;                      // residuals clipped at this many robust deviations
constexpr double MAX_GAIN_DEVIATION = 4.0;        // gain steps, clipped
constexpr std::int64_t MIN_CARRIERS = 12;         // carriers with a residual needed for a score
constexpr double EFFECT_WEIGHT = 40.0;            // caps the score at 40 x the effect in log2 energy

using Bands = std::array<float, ENERGY_BANDS>;

// One record as the regression sees it.
struct Observation {
    double residual;        // log2 energy above its neighbours', median over bands
    double gain_deviation;  // gain above its neighbours' mean
    double parity;          // +1 odd / -1 even gain for a carrier inside the span, else 0
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

// How far the middle of three consecutive spectra sits above the mean of the
// other two, as the median over the bands all three have; the median lets a
// band that changed on its own (a note starting) not count.
std::optional<double> band_residual(const Bands& before, const Bands& middle, const Bands& after) {
    Bands differences{};
    std::size_t count = 0;
    for (std::size_t b = 0; b < ENERGY_BANDS; ++b)
        if (before[b] > NO_ENERGY && middle[b] > NO_ENERGY && after[b] > NO_ENERGY)
            differences[count++] = middle[b] - 0.5f * (before[b] + after[b]);
    if (count == 0) return std::nullopt;
    return small_median(differences.data(), count);
}

double median_of(std::vector<double> values) {
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

// Least squares of the residuals on (1, gain deviation, parity): the parity
// coefficient is what hidden bits add once the level and the encoder's own
// coupling of energy to gain steps are accounted for. Returns its t
// statistic, capped by the size of the effect (a file whose residuals are
// nearly all zero can make a tiny effect look significant), or nullopt with
// too few carriers.
std::optional<double> parity_score(std::span<const Observation> observations) {
    std::int64_t carriers = 0;
    std::vector<double> residuals;
    residuals.reserve(observations.size());
    for (const Observation& o : observations) {
        residuals.push_back(o.residual);
        carriers += o.parity != 0;
    }
    if (carriers < MIN_CARRIERS || observations.size() < 8) return std::nullopt;
    const double centre = median_of(residuals);
    for (double& r : residuals) r = std::fabs(r - centre);
    const double scale = 1.4826 * median_of(residuals) + 1e-6;
    const double wide = std::max(CLIP * scale, 1.0);

    // Normal equations, accumulated; y in robust deviations, w in log2 energy.
    std::array<std::array<double, 3>, 3> xtx{};
    std::array<double, 3> xty{}, xtw{};
    for (const Observation& o : observations) {
        const std::array<double, 3> x = {1, std::clamp(o.gain_deviation, -MAX_GAIN_DEVIATION, MAX_GAIN_DEVIATION),
                                         o.parity};
        const double y = std::clamp((o.residual - centre) / scale, -CLIP, CLIP);
        const double w = std::clamp(o.residual - centre, -wide, wide);
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t j = 0; j < 3; ++j) xtx[i][j] += x[i] * x[j];
            xty[i] += x[i] * y;
            xtw[i] += x[i] * w;
        }
    }
    // The inverse of a symmetric 3 x 3 matrix by cofactors.
    const auto& a = xtx;
    std::array<std::array<double, 3>, 3> inv{};
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) {
            const std::size_t r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            inv[i][j] = a[r0][c0] * a[r1][c1] - a[r0][c1] * a[r1][c0];
        }
    const double det = a[0][0] * inv[0][0] + a[0][1] * inv[1][0] + a[0][2] * inv[2][0];
    if (!(std::fabs(det) > 1e-9)) return std::nullopt;
    for (auto& row : inv)
        for (double& v : row) v /= det;
    std::array<double, 3> beta{};
    double effect = 0;
    for (std::size_t j = 0; j < 3; ++j) {
        for (std::size_t k = 0; k < 3; ++k) beta[j] += inv[j][k] * xty[k];
        effect += inv[2][j] * xtw[j];
    }
    double rss = 0;
    for (const Observation& o : observations) {
        const double fit = beta[0] + beta[1] * std::clamp(o.gain_deviation, -MAX_GAIN_DEVIATION, MAX_GAIN_DEVIATION) +
                           beta[2] * o.parity;
        const double y = std::clamp((o.residual - centre) / scale, -CLIP, CLIP);
        rss += (y - fit) * (y - fit);
    }
    const double variance = rss / static_cast<double>(observations.size() - 3) * inv[2][2];
    const double z = beta[2] / std::sqrt(variance + 1e-12);
    return std::min(z, EFFECT_WEIGHT * effect);
}

// Observations of one series of (bands, gain, parity): each element against
// the two around it.
struct SeriesPoint {
    const Bands* bands;
    double gain;
    double parity;
    double sign;  // +1, or -1 where the point enters the regression negated
};

void observe_series(std::span<const SeriesPoint> series, std::vector<Observation>& out) {
    for (std::size_t k = 1; k + 1 < series.size(); ++k)
        if (auto r = band_residual(*series[k - 1].bands, *series[k].bands, *series[k + 1].bands))
            out.push_back(Observation{series[k].sign * *r,
                                      series[k].sign * (series[k].gain - 0.5 * (series[k - 1].gain + series[k + 1].gain)),
                                      series[k].parity});
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

Evidence weigh_evidence(std::span<const GranuleRecord> records, std::uint32_t capacity) {
    Evidence evidence{};
    evidence.bits = carrier_bits(records);
    evidence.carriers = static_cast<std::int64_t>(evidence.bits.size());
    const LengthHeader header = read_length_header(evidence.bits);
    if (header.complete) evidence.length_field = header.field;

    // The test is strongest over the carriers the length field claims.
    const LengthField* field = evidence.length_field ? &*evidence.length_field : nullptr;
    const std::int64_t span = field != nullptr && field->span < static_cast<std::uint64_t>(evidence.carriers)
                                  ? static_cast<std::int64_t>(field->span)
                                  : evidence.carriers;
    // Records with too little spectrum say more about their gain than about the sound.
    Bands silent;
    silent.fill(NO_ENERGY);
    auto bands = [&](const GranuleRecord& r) -> const Bands* {
        return r.part2_3_length < MIN_PART2_3_LENGTH ? &silent : &r.band_log2_energy;
    };
    auto parity = [&](const GranuleRecord& r) {
        return is_carrier(r) && r.slot / 2 < span ? ((r.global_gain & 1u) ? 1.0 : -1.0) : 0.0;
    };

    // Each channel against its own neighbours in time.
    std::vector<Observation> observations;
    std::array<std::vector<SeriesPoint>, 2> channels;
    for (const GranuleRecord& r : records)
        channels[r.channel & 1u].push_back(SeriesPoint{bands(r), static_cast<double>(r.global_gain), parity(r), 1});
    for (const auto& series : channels) observe_series(series, observations);
    std::optional<double> score = parity_score(observations);

    // Two channels: the difference between them, against its neighbours in
    // time. The level difference changes more slowly than either level, and
    // the second channel never carries a bit.
    if (!channels[1].empty()) {
        std::vector<Bands> differences;
        std::vector<SeriesPoint> pairs;
        differences.reserve(records.size() / 2);
        for (std::size_t i = 0; i + 1 < records.size(); ++i) {
            const GranuleRecord& a = records[i];
            const GranuleRecord& b = records[i + 1];
            if (a.channel != 0 || b.channel != 1 || b.slot != a.slot + 1) continue;
            Bands d;
            const Bands& ea = *bands(a);
            const Bands& eb = *bands(b);
            for (std::size_t k = 0; k < ENERGY_BANDS; ++k)
                d[k] = ea[k] > NO_ENERGY && eb[k] > NO_ENERGY ? ea[k] - eb[k] : NO_ENERGY;
            differences.push_back(d);
            pairs.push_back(SeriesPoint{nullptr, static_cast<double>(a.global_gain) - b.global_gain, parity(a), 1});
        }
        for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i].bands = &differences[i];
        // The first channel gains what the second loses.
        observations.clear();
        observe_series(pairs, observations);
        const std::size_t first = observations.size();
        for (std::size_t i = 0; i < first; ++i)
            observations.push_back(Observation{-observations[i].residual, -observations[i].gain_deviation, 0});
        if (const std::optional<double> cross = parity_score(observations))
            score = score ? std::max(*score, *cross) : *cross;
    }
    if (!score) return evidence;
    // Without a length that the file could hold there is no payload of this
    // layout to find, so such a file's score counts only against it.
    const bool fits = field != nullptr && length_fits(*field, capacity);
    evidence.score = fits ? *score : std::min(*score, 0.0);
    return evidence;
}

}  // namespace gainscan
