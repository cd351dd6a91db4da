// The per-file null model of the parity statistic: how strongly a span of
// carriers' parities lines up with their energy residuals, against the same
// parities paired with residuals of other carriers of the same file.
//
// The parities of the span are held fixed and the residual sequence is
// rotated (circularly shifted) under them: a rotation keeps both sequences'
// own structure (runs of equal parity, loud and quiet passages) but breaks
// any bond between a carrier's parity and its own residual, which is what
// bits written into the gains create. The rotations give the statistic's
// centre and spread in this file; the false-alarm probability is then a
// normal tail, widened for the small tie between gain parity and energy that
// some encoders leave in every record (it grows with the carriers weighed,
// so a rotation cannot see it), and corrected by the file's own negative
// control: the records that never carry a bit, weighed the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace gainscan {

// Residuals are stored in 1/RESIDUAL_UNIT steps; 0 means "no residual".
inline constexpr double RESIDUAL_UNIT = 4096.0;

struct RotationStatistic {
    double z;            // the span's own statistic (about N(0, 1) without a bond)
    double null_mean;    // mean of the rotations' statistics
    double null_sd;      // their standard deviation
    std::int64_t weighed;    // span positions with a residual
    std::int64_t rotations;  // rotations used
};

// The span is positions [0, span) of `parity` (0 even, 1 odd); residuals
// (RESIDUAL_UNIT steps, 0 = none) cover the whole file, n = residual.size().
// Rotations start `exclude` positions away from 0 on either side (neighbours
// share a residual's neighbours) and are spread evenly over the rest, at most
// `rotations` of them. nullopt when there is no residual in the span or no
// room for at least MIN_ROTATIONS rotations.
inline constexpr std::int64_t MIN_ROTATIONS = 16;
std::optional<RotationStatistic> rotation_statistic(std::span<const std::uint8_t> parity,
                                                    std::span<const std::int16_t> residual, std::size_t span,
                                                    std::size_t rotations, std::size_t exclude);

// P(Z >= z) for a standard normal Z.
double normal_upper_tail(double z);

// P(Z1 - max(0, Z2) >= v) for independent standard normals: the tail of a
// statistic from which the negative control's positive part was taken off.
double controlled_upper_tail(double v);

// Per carrier weighed, the variance a file-wide tie between gain parity and
// energy adds to the statistic (in squared z units). Estimated on half A of
// the evaluation set's clean and gain-shifted files and doubled for encoders
// never seen (tools/eval/README.md).
inline constexpr double TIE_VARIANCE_PER_CARRIER = 5e-4;

// The statistic in null-standard units: centred by the rotations, divided by
// their spread (never taken below 1: a file cannot be more regular than
// independent residuals) widened by the tie variance.
double standardised(const RotationStatistic& statistic);

// The false-alarm probability of a carriers' statistic, with the negative
// control's when there is one.
double false_alarm_probability(const RotationStatistic& carriers, const std::optional<RotationStatistic>& control);

}  // namespace gainscan
