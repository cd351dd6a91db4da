#include "analysis/null_model.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace gainscan {

namespace {

// The statistic of one alignment: the span's centred parities against the
// residuals `shift` positions further on (circularly), over the residuals'
// own size, so that a loud or busy stretch of the file does not weigh more.
double aligned_z(std::span<const double> centred, double mean_square, std::span<const std::int16_t> residual,
                 std::size_t shift) {
    const std::size_t n = residual.size();
    double dot = 0, norm = 0;
    std::size_t at = shift;
    for (double c : centred) {
        const double y = residual[at];
        dot += c * y;
        norm += y * y;
        if (++at == n) at = 0;
    }
    if (!(norm > 0) || !(mean_square > 0)) return 0;
    return dot / std::sqrt(norm * mean_square);
}

}  // namespace

std::optional<RotationStatistic> rotation_statistic(std::span<const std::uint8_t> parity,
                                                    std::span<const std::int16_t> residual, std::size_t span,
                                                    std::size_t rotations, std::size_t exclude) {
    const std::size_t n = residual.size();
    span = std::min({span, n, parity.size()});
    if (span == 0 || n < 2 * exclude + static_cast<std::size_t>(MIN_ROTATIONS)) return std::nullopt;
    RotationStatistic out{};
    double mean = 0;
    for (std::size_t k = 0; k < span; ++k) {
        mean += parity[k] ? 1.0 : -1.0;
        out.weighed += residual[k] != 0;
    }
    if (out.weighed == 0) return std::nullopt;
    mean /= static_cast<double>(span);
    // Parities as +1 / -1 about their mean: a span of mostly even gains does
    // not turn the residuals' own level into a statistic.
    std::vector<double> centred(span);
    double mean_square = 0;
    for (std::size_t k = 0; k < span; ++k) {
        centred[k] = (parity[k] ? 1.0 : -1.0) - mean;
        mean_square += centred[k] * centred[k];
    }
    mean_square /= static_cast<double>(span);
    out.z = aligned_z(centred, mean_square, residual, 0);

    // Rotations spread evenly over [exclude, n - exclude]: deterministic, and
    // far enough from the true alignment that a carrier's neighbours (whose
    // residuals share its own) do not meet its parity.
    const std::size_t room = n - 2 * exclude;
    const std::size_t count = std::min(rotations, room);
    double sum = 0, sum_sq = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t shift = exclude + j * room / count;
        const double z = aligned_z(centred, mean_square, residual, shift);
        sum += z;
        sum_sq += z * z;
    }
    const auto k = static_cast<double>(count);
    out.rotations = static_cast<std::int64_t>(count);
    out.null_mean = sum / k;
    out.null_sd = std::sqrt(std::max(0.0, (sum_sq - sum * sum / k) / (k - 1)));
    return out;
}

double normal_upper_tail(double z) { return 0.5 * std::erfc(z / std::sqrt(2.0)); }

double controlled_upper_tail(double v) {
    // P(Z1 >= v, Z2 <= 0) + integral over u > 0 of phi(u) P(Z1 >= v + u),
    // the second by Simpson's rule on [0, 12] (the rest is below 1e-30).
    constexpr int STEPS = 480;  // even
    constexpr double UPPER = 12.0;
    const double h = UPPER / STEPS;
    double integral = 0;
    for (int i = 0; i <= STEPS; ++i) {
        const double u = i * h;
        const double weight = i == 0 || i == STEPS ? 1 : (i % 2 ? 4 : 2);
        integral += weight * std::exp(-0.5 * u * u) * normal_upper_tail(v + u);
    }
    integral *= h / 3 / std::sqrt(2 * 3.14159265358979323846);
    return std::clamp(0.5 * normal_upper_tail(v) + integral, 0.0, 1.0);
}

double standardised(const RotationStatistic& s) {
    const double spread = std::max(s.null_sd, 1.0);
    return (s.z - s.null_mean) /
           std::sqrt(spread * spread + TIE_VARIANCE_PER_CARRIER * static_cast<double>(s.weighed));
}

double false_alarm_probability(const RotationStatistic& carriers, const std::optional<RotationStatistic>& control) {
    const double v = standardised(carriers);
    if (!control) return normal_upper_tail(v);
    // A positive tie in the records that never carry a bit is taken off: the
    // encoder made it in the carriers as well.
    return controlled_upper_tail(v - std::max(0.0, standardised(*control)));
}

}  // namespace gainscan
