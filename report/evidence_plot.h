// The evidence of one flagged file as an inline SVG drawing: every carrier's
// energy residual against time, odd-parity carriers as filled circles and
// even-parity ones as hollow squares (legible in black and white), the span
// the length field claims as a shaded band with its label, and the mean
// residual of each parity inside the span, which is what the score weighs.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace gainscan {

struct PlotPoints {
    std::vector<double> seconds;
    std::vector<double> residual;
    std::vector<bool> odd;
    std::optional<std::pair<double, double>> span_seconds;
    std::size_t unusable = 0;  // points dropped: not numbers, or parity not 0/1
    bool lengths_differ = false;
};

// At most this many points are drawn (gainscan-batch writes about 500).
inline constexpr std::size_t kMaxPlotPoints = 5000;

// The points of a record's `plot` member; nullopt when there is nothing to
// draw (no plot, not an object, no usable point and no span).
std::optional<PlotPoints> plot_points(const nlohmann::json& plot);

// An <svg> element; `id` makes its internal ids unique in the page and
// `title` is its accessible name.
std::string render_evidence_plot(const PlotPoints& points, const std::string& id, std::string_view title);

}  // namespace gainscan
