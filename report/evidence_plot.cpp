#include "report/evidence_plot.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "report/html_text.h"

namespace gainscan {

namespace {

const nlohmann::json* array_member(const nlohmann::json& plot, const char* name) {
    const auto it = plot.find(name);
    if (it == plot.end() || !it->is_array()) return nullptr;
    return &*it;
}

// Times and residuals beyond this are nonsense, and would overflow the
// arithmetic of the axes.
constexpr double kLargest = 1e9;

std::optional<double> finite(const nlohmann::json& value) {
    if (!value.is_number()) return std::nullopt;
    const double v = value.get<double>();
    if (!std::isfinite(v) || std::fabs(v) > kLargest) return std::nullopt;
    return v;
}

// The multiples of `step` inside [low, high], at most `limit` of them: counted
// in integers, since adding a step to a large value may not move it.
std::vector<double> ticks(double low, double high, double step, int limit = 50) {
    std::vector<double> out;
    const double first = std::ceil(low / step - 1e-9);
    for (int k = 0; k < limit; ++k) {
        const double value = (first + k) * step;
        if (value > high + step * 1e-9) break;
        out.push_back(value);
    }
    return out;
}

std::optional<bool> parity(const nlohmann::json& value) {
    if (value.is_boolean()) return value.get<bool>();
    const auto v = finite(value);
    if (v == 1.0) return true;
    if (v == 0.0) return false;
    return std::nullopt;
}

// Steps of 1, 2 or 5 times a power of ten giving about `wanted` intervals.
double tick_step(double range, int wanted) {
    const double raw = range / wanted;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double fraction = raw / magnitude;
    const double nice = fraction < 1.5 ? 1 : fraction < 3.5 ? 2 : fraction < 7.5 ? 5 : 10;
    return nice * magnitude;
}

std::string tick_label(double value, double step) {
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    if (std::fabs(value) < step * 1e-6) value = 0;  // no "-0"
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    std::string text(buffer, r.ptr);
    if (text.front() == '-') text.replace(0, 1, "\u2212");
    return text;
}

std::string coordinate(double value) {
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    return std::string(buffer, r.ptr);
}

std::string signed_value(double value) {
    std::string text = format_number(value, 3);
    if (text.front() == '-') return "\u2212" + text.substr(1);
    return "+" + text;
}

struct Range {
    double low, high;
    void widen_if_flat(double by) {
        if (!(high > low)) {
            low -= by;
            high += by;
        }
    }
};

}  // namespace

std::optional<PlotPoints> plot_points(const nlohmann::json& plot) {
    if (!plot.is_object()) return std::nullopt;
    PlotPoints points;
    const nlohmann::json* seconds = array_member(plot, "seconds");
    const nlohmann::json* residual = array_member(plot, "residual");
    const nlohmann::json* odd = array_member(plot, "odd");
    if (seconds != nullptr && residual != nullptr && odd != nullptr) {
        const std::size_t n = std::min({seconds->size(), residual->size(), odd->size()});
        points.lengths_differ = seconds->size() != n || residual->size() != n || odd->size() != n;
        for (std::size_t i = 0; i < n; ++i) {
            const auto t = finite((*seconds)[i]);
            const auto r = finite((*residual)[i]);
            const auto p = parity((*odd)[i]);
            if (!t || !r || !p || points.seconds.size() >= kMaxPlotPoints) {
                ++points.unusable;
                continue;
            }
            points.seconds.push_back(*t);
            points.residual.push_back(*r);
            points.odd.push_back(*p);
        }
    }
    if (const nlohmann::json* span = array_member(plot, "span_seconds"); span != nullptr && span->size() == 2) {
        const auto a = finite((*span)[0]);
        const auto b = finite((*span)[1]);
        if (a && b) points.span_seconds = std::make_pair(std::min(*a, *b), std::max(*a, *b));
    }
    if (points.seconds.empty() && !points.span_seconds) return std::nullopt;
    return points;
}

std::string render_evidence_plot(const PlotPoints& points, const std::string& id, std::string_view title) {
    constexpr double width = 760, height = 320;
    constexpr double left = 70, right = 20, top = 46, bottom = 50;
    constexpr double plot_w = width - left - right, plot_h = height - top - bottom;

    Range x{0, 0}, y{0, 0};
    bool any = false;
    const auto include_x = [&](double v) {
        x.low = any ? std::min(x.low, v) : v;
        x.high = any ? std::max(x.high, v) : v;
        any = true;
    };
    for (const double t : points.seconds) include_x(t);
    if (points.span_seconds) {
        include_x(points.span_seconds->first);
        include_x(points.span_seconds->second);
    }
    x.widen_if_flat(0.5);
    // Zero is always on the y axis: a residual means something against it.
    for (const double r : points.residual) {
        y.low = std::min(y.low, r);
        y.high = std::max(y.high, r);
    }
    y.widen_if_flat(1.0);
    const double pad = 0.05 * (y.high - y.low);
    y.low -= pad;
    y.high += pad;

    const auto px = [&](double t) { return left + (t - x.low) / (x.high - x.low) * plot_w; };
    const auto py = [&](double r) { return top + (y.high - r) / (y.high - y.low) * plot_h; };

    std::string svg;
    svg.reserve(4096 + points.seconds.size() * 80);
    svg += "<svg class=\"plot\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 760 320\" role=\"img\" "
           "aria-labelledby=\"" + id + "-title\" font-family=\"sans-serif\" font-size=\"12\">";
    svg += "<title id=\"" + id + "-title\">";
    append_html(svg, title);
    svg += "</title>";
    svg += "<desc>" + std::to_string(points.seconds.size()) +
           " carriers; x: time in seconds, y: energy residual in log2 units</desc>";

    // The claimed span, drawn first so that the points stay on top of it.
    double span_mean_odd = 0, span_mean_even = 0;
    std::size_t span_odd = 0, span_even = 0;
    if (points.span_seconds) {
        const double a = std::clamp(px(points.span_seconds->first), left, left + plot_w);
        const double b = std::clamp(px(points.span_seconds->second), left, left + plot_w);
        svg += "<g class=\"span\"><rect x=\"" + coordinate(a) + "\" y=\"" + coordinate(top) + "\" width=\"" +
               coordinate(std::max(b - a, 1.0)) + "\" height=\"" + coordinate(plot_h) +
               "\" fill=\"#000\" fill-opacity=\"0.09\" stroke=\"#555\" stroke-dasharray=\"4 3\"/>";
        svg += "<text x=\"" + coordinate(a + 4) + "\" y=\"" + coordinate(top + 14) +
               "\" fill=\"#000\" stroke=\"#fff\" stroke-width=\"3\" paint-order=\"stroke\">";
        svg += "span claimed by the length field, " + tick_label(points.span_seconds->first, 0.01) + "\u2013" +
               tick_label(points.span_seconds->second, 0.01) + " s</text></g>";
        for (std::size_t i = 0; i < points.seconds.size(); ++i) {
            if (points.seconds[i] < points.span_seconds->first || points.seconds[i] > points.span_seconds->second)
                continue;
            (points.odd[i] ? span_mean_odd : span_mean_even) += points.residual[i];
            ++(points.odd[i] ? span_odd : span_even);
        }
    }

    // Grid, ticks and labels.
    svg += "<g class=\"axes\" stroke=\"#ccc\" stroke-width=\"1\">";
    std::string labels;
    const double xs = tick_step(x.high - x.low, 8);
    for (const double t : ticks(x.low, x.high, xs)) {
        const std::string cx = coordinate(px(t));
        svg += "<line x1=\"" + cx + "\" x2=\"" + cx + "\" y1=\"" + coordinate(top) + "\" y2=\"" +
               coordinate(top + plot_h) + "\"/>";
        labels += "<text x=\"" + cx + "\" y=\"" + coordinate(top + plot_h + 16) + "\" text-anchor=\"middle\">" +
                  tick_label(t, xs) + "</text>";
    }
    const double ys = tick_step(y.high - y.low, 6);
    for (const double r : ticks(y.low, y.high, ys)) {
        const std::string cy = coordinate(py(r));
        svg += "<line x1=\"" + coordinate(left) + "\" x2=\"" + coordinate(left + plot_w) + "\" y1=\"" + cy +
               "\" y2=\"" + cy + "\"/>";
        labels += "<text x=\"" + coordinate(left - 6) + "\" y=\"" + coordinate(py(r) + 4) +
                  "\" text-anchor=\"end\">" + tick_label(r, ys) + "</text>";
    }
    svg += "</g>";
    const std::string zero = coordinate(py(0));
    svg += "<line x1=\"" + coordinate(left) + "\" x2=\"" + coordinate(left + plot_w) + "\" y1=\"" + zero +
           "\" y2=\"" + zero + "\" stroke=\"#000\" stroke-width=\"1\"/>";
    svg += "<rect x=\"" + coordinate(left) + "\" y=\"" + coordinate(top) + "\" width=\"" + coordinate(plot_w) +
           "\" height=\"" + coordinate(plot_h) + "\" fill=\"none\" stroke=\"#000\"/>";
    svg += "<g class=\"ticks\" fill=\"#000\">" + labels + "</g>";
    svg += "<text x=\"" + coordinate(left + plot_w / 2) + "\" y=\"" + coordinate(height - 8) +
           "\" text-anchor=\"middle\">time in the file (s)</text>";
    svg += "<text transform=\"translate(16 " + coordinate(top + plot_h / 2) +
           ") rotate(-90)\" text-anchor=\"middle\">energy residual (log2 units)</text>";

    // The carriers: odd parity a filled circle, even parity a hollow square.
    svg += "<g class=\"carriers\" stroke=\"#000\" stroke-width=\"1\">";
    for (std::size_t i = 0; i < points.seconds.size(); ++i) {
        const std::string cx = coordinate(px(points.seconds[i]));
        const std::string cy = coordinate(py(points.residual[i]));
        if (points.odd[i]) {
            svg += "<circle class=\"odd\" cx=\"" + cx + "\" cy=\"" + cy + "\" r=\"2.6\" fill=\"#000\"/>";
        } else {
            svg += "<rect class=\"even\" x=\"" + coordinate(px(points.seconds[i]) - 2.5) + "\" y=\"" +
                   coordinate(py(points.residual[i]) - 2.5) + "\" width=\"5\" height=\"5\" fill=\"#fff\"/>";
        }
    }
    svg += "</g>";

    // Each parity's mean inside the span: their distance is the effect the score measures.
    if (points.span_seconds) {
        const double a = std::clamp(px(points.span_seconds->first), left, left + plot_w);
        const double b = std::clamp(px(points.span_seconds->second), left, left + plot_w);
        const auto mean_line = [&](double mean, const char* name, const char* dash, double label_dy) {
            const std::string cy = coordinate(py(mean));
            svg += "<g class=\"mean\"><line x1=\"" + coordinate(a) + "\" x2=\"" + coordinate(b) + "\" y1=\"" + cy +
                   "\" y2=\"" + cy + "\" stroke=\"#000\" stroke-width=\"2.5\"" + dash + "/>";
            svg += "<text x=\"" + coordinate(std::max(a, b - 4)) + "\" y=\"" + coordinate(py(mean) + label_dy) +
                   "\" text-anchor=\"end\" fill=\"#000\" stroke=\"#fff\" stroke-width=\"3\" paint-order=\"stroke\">" +
                   std::string(name) + " mean " + signed_value(mean) + "</text></g>";
        };
        const double odd_mean = span_odd ? span_mean_odd / span_odd : 0;
        const double even_mean = span_even ? span_mean_even / span_even : 0;
        // The higher mean's label goes above its line, the lower one's below.
        if (span_odd) mean_line(odd_mean, "odd", "", odd_mean >= even_mean ? -6 : 16);
        if (span_even) mean_line(even_mean, "even", " stroke-dasharray=\"7 4\"", odd_mean >= even_mean ? 16 : -6);
    }

    // Legend, above the plot.
    svg += "<g class=\"legend\" fill=\"#000\">";
    svg += "<circle cx=\"" + coordinate(left + 6) + "\" cy=\"20\" r=\"3\" fill=\"#000\" stroke=\"#000\"/>";
    svg += "<text x=\"" + coordinate(left + 14) + "\" y=\"24\">odd-parity carrier</text>";
    svg += "<rect x=\"" + coordinate(left + 143) + "\" y=\"17\" width=\"6\" height=\"6\" fill=\"#fff\" stroke=\"#000\"/>";
    svg += "<text x=\"" + coordinate(left + 155) + "\" y=\"24\">even-parity carrier</text>";
    svg += "<line x1=\"" + coordinate(left + 290) + "\" x2=\"" + coordinate(left + 318) +
           "\" y1=\"20\" y2=\"20\" stroke=\"#000\" stroke-width=\"2.5\"/>";
    svg += "<text x=\"" + coordinate(left + 324) + "\" y=\"24\">odd mean in span</text>";
    svg += "<line x1=\"" + coordinate(left + 440) + "\" x2=\"" + coordinate(left + 468) +
           "\" y1=\"20\" y2=\"20\" stroke=\"#000\" stroke-width=\"2.5\" stroke-dasharray=\"7 4\"/>";
    svg += "<text x=\"" + coordinate(left + 474) + "\" y=\"24\">even mean in span</text>";
    svg += "</g></svg>";
    return svg;
}

}  // namespace gainscan
