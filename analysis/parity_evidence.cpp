#include "analysis/parity_evidence.h"

#include "analysis/length_field.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace gainscan {

namespace {

constexpr std::uint16_t MIN_PART2_3_LENGTH = 40;  // bits: less is too little spectrum to measure
constexpr double RAW_UNIT = 256.0;                // raw residuals in 1/256 log2 steps
constexpr std::int16_t MISSING = std::numeric_limits<std::int16_t>::min();
constexpr double CLIP = 2.5;                      // robust deviations
constexpr int MAX_GAIN_HALF_STEPS = 8;            // gain deviations clipped at 4 steps
constexpr std::size_t CHUNK = 1 << 16;            // pairs per storage chunk
constexpr std::size_t ANCHOR_EVERY = 256;         // pairs per time anchor
constexpr std::size_t EXCLUDE = 8;                // rotations this close to the alignment are left out
constexpr std::size_t FIRST_ROTATIONS = 64;
constexpr std::size_t MORE_ROTATIONS = 256;
constexpr double LOOK_CLOSER = 0.05;              // p in [CLEAR, LOOK_CLOSER]: the rotations are redone with more
constexpr double CLEAR = 1e-6;                    // far beyond any alpha: more rotations cannot change the decision

// The three series a pair of positions (2j, 2j + 1) contributes to: the
// carrier's residual in time, the other record's, and (two channels) the
// residual of the difference between the channels, which belongs to the
// carrier (the second channel never carries a bit).
enum Series { CARRIER = 0, OTHER = 1, CROSS = 2, SERIES = 3 };

struct Cell {
    std::int16_t residual[SERIES];
    std::int8_t gain_deviation[SERIES];  // half steps
    std::uint8_t flags;                  // bit 0: carrier odd, bit 1: other odd
};

struct Point {
    std::array<float, EVIDENCE_BANDS> bands;
    int gain;
    std::int64_t slot;
};

// Three consecutive points of one series, the middle one being reduced.
struct Window {
    Point before{}, middle{};
    int have = 0;
};

struct Anchor {
    std::int64_t pair = -1;
    double seconds = 0;
    double pair_seconds = 0;
};

std::int16_t quantise(double value, double unit) {
    const double q = std::round(value * unit);
    return static_cast<std::int16_t>(std::clamp(q, -32767.0, 32767.0));
}

// A band's residual is left out when any of the three lacks it. Which bands
// those are is as good as random, so nothing here branches on it: a band left
// out sorts last as +infinity, and a fixed network of 19 compare-exchanges
// sorts the eight. The median is the same value as any sort gives (a tie of
// -0 and +0 can change only the sign of a zero, which the residual's
// quantisation drops).
constexpr std::array<std::pair<std::size_t, std::size_t>, 19> SORT_EIGHT = {{
    {0, 2}, {1, 3}, {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7}, {0, 1}, {2, 3},
    {4, 5}, {6, 7}, {2, 4}, {3, 5}, {1, 4}, {3, 6}, {1, 2}, {3, 4}, {5, 6},
}};
static_assert(EVIDENCE_BANDS == 8, "the sorting network sorts eight bands");

}  // namespace

std::optional<double> band_residual(const std::array<float, EVIDENCE_BANDS>& before,
                                    const std::array<float, EVIDENCE_BANDS>& middle,
                                    const std::array<float, EVIDENCE_BANDS>& after) {
    constexpr float LEFT_OUT = std::numeric_limits<float>::infinity();
    std::array<float, EVIDENCE_BANDS> d{};
    std::size_t count = 0;
    for (std::size_t k = 0; k < EVIDENCE_BANDS; ++k) {
        // 1 when all three have the band; & rather than &&, which may branch.
        const int heard = static_cast<int>(before[k] > SILENT_BAND) & static_cast<int>(middle[k] > SILENT_BAND) &
                          static_cast<int>(after[k] > SILENT_BAND);
        d[k] = heard != 0 ? middle[k] - 0.5f * (before[k] + after[k]) : LEFT_OUT;
        count += static_cast<std::size_t>(heard);
    }
    if (count == 0) return std::nullopt;
    for (const auto& [i, j] : SORT_EIGHT) {
        const float low = std::min(d[i], d[j]);
        d[j] = std::max(d[i], d[j]);
        d[i] = low;
    }
    return count % 2 ? d[count / 2] : 0.5 * (d[count / 2 - 1] + d[count / 2]);
}

std::size_t histogram_bin(std::int64_t value) {
    return static_cast<std::size_t>(std::clamp<std::int64_t>(value + HISTOGRAM_BINS / 2, 0, HISTOGRAM_BINS - 1));
}

RobustCentre robust_centre(std::span<const std::uint32_t> histogram, std::uint64_t total, double unit) {
    RobustCentre c;
    if (total == 0) return c;
    auto quantile_index = [&](std::span<const std::uint32_t> h, std::uint64_t rank) {
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < h.size(); ++i) {
            seen += h[i];
            if (seen > rank) return static_cast<std::int64_t>(i);
        }
        return static_cast<std::int64_t>(h.size() - 1);
    };
    const std::int64_t mid = quantile_index(histogram, total / 2);
    c.median = static_cast<double>(mid - HISTOGRAM_BINS / 2) / unit;
    // Absolute deviations from the median, counted on the same grid.
    std::vector<std::uint32_t> deviations(static_cast<std::size_t>(HISTOGRAM_BINS), 0);
    for (std::size_t i = 0; i < histogram.size(); ++i)
        if (histogram[i] != 0) deviations[static_cast<std::size_t>(std::llabs(static_cast<std::int64_t>(i) - mid))] += histogram[i];
    c.spread = 1.4826 * static_cast<double>(quantile_index(deviations, total / 2)) / unit + 1e-3;
    return c;
}

struct ParityEvidence::State {
    std::vector<std::unique_ptr<Cell[]>> chunks;
    std::int64_t pairs = 0;
    std::int64_t positions = 0;
    std::array<Window, 2> channels{};
    std::array<Window, 2> others{};  // per channel, the records that never carry a bit
    Window cross{};
    std::optional<Point> waiting_first;  // channel 0 record waiting for its channel 1 partner
    std::vector<Anchor> anchors;

    Cell& cell(std::int64_t pair) {
        const auto chunk = static_cast<std::size_t>(pair) / CHUNK;
        while (chunks.size() <= chunk) {
            chunks.push_back(std::make_unique<Cell[]>(CHUNK));
            Cell* cells = chunks.back().get();
            for (std::size_t i = 0; i < CHUNK; ++i) cells[i] = Cell{{MISSING, MISSING, MISSING}, {0, 0, 0}, 0};
        }
        pairs = std::max(pairs, pair + 1);
        return chunks[chunk][static_cast<std::size_t>(pair) % CHUNK];
    }
    const Cell* find(std::int64_t pair) const {
        const auto chunk = static_cast<std::size_t>(pair) / CHUNK;
        return chunk < chunks.size() ? &chunks[chunk][static_cast<std::size_t>(pair) % CHUNK] : nullptr;
    }

    void store(Series series, std::int64_t slot, double residual, int gain_deviation) {
        Cell& c = cell(slot / 2);
        c.residual[series] = quantise(residual, RAW_UNIT);  // never MISSING: quantise stops at -32767
        c.gain_deviation[series] = static_cast<std::int8_t>(std::clamp(gain_deviation, -MAX_GAIN_HALF_STEPS, MAX_GAIN_HALF_STEPS));
    }

    // Feeds one point to a series' window; the middle point, now between two
    // neighbours, gets its residual (when its slot's parity has a series).
    void feed(Window& w, const Point& p, std::optional<Series> series_for_even, std::optional<Series> series_for_odd) {
        const std::optional<Series> series = w.middle.slot % 2 == 0 ? series_for_even : series_for_odd;
        if (w.have == 2 && series) {
            if (const auto r = band_residual(w.before.bands, w.middle.bands, p.bands)) {
                const int deviation = 2 * w.middle.gain - w.before.gain - p.gain;
                store(*series, w.middle.slot, *r, deviation);
            }
        }
        w.before = w.middle;
        w.middle = p;
        w.have = std::min(w.have + 1, 2);
    }
};

ParityEvidence::ParityEvidence() : state_(std::make_unique<State>()) {}
ParityEvidence::~ParityEvidence() = default;

std::size_t ParityEvidence::bytes_per_pair() { return sizeof(Cell); }

void ParityEvidence::add(const EvidenceRecord& record) {
    State& s = *state_;
    if (record.slot < 0) return;
    Point p{};
    p.bands = record.band_log2_energy;
    // Records with too little spectrum say more about their gain than about the sound.
    if (record.part2_3_length < MIN_PART2_3_LENGTH) p.bands.fill(SILENT_BAND);
    p.gain = record.global_gain;
    p.slot = record.slot;
    const std::int64_t pair = record.slot / 2;
    Cell& c = s.cell(pair);
    c.flags |= static_cast<std::uint8_t>((record.global_gain & 1u) << (record.slot % 2));
    s.positions = std::max(s.positions, record.slot + 1);

    const auto block = static_cast<std::size_t>(pair) / ANCHOR_EVERY;
    if (s.anchors.size() <= block) s.anchors.resize(block + 1);
    if (s.anchors[block].pair < 0)
        s.anchors[block] = Anchor{pair, record.seconds, 2 * record.slot_seconds};

    // A carrier against its neighbours in its channel. The records that never
    // carry a bit (the negative control) only against each other: in mono
    // their neighbours in time are carriers, and a written carrier's step
    // would show in its neighbours' residuals, following their gains' parity
    // wherever the encoder gives consecutive granules the same gain; the
    // control would then take the payload's own evidence off.
    s.feed(s.channels[record.channel & 1u], p, CARRIER, std::nullopt);
    if (record.slot % 2 == 1) s.feed(s.others[record.channel & 1u], p, OTHER, OTHER);

    // The difference between the channels of one granule, as its own series.
    if (record.channel == 0) {
        s.waiting_first = p;
    } else if (s.waiting_first && s.waiting_first->slot + 1 == record.slot && s.waiting_first->slot % 2 == 0) {
        Point d{};
        for (std::size_t k = 0; k < EVIDENCE_BANDS; ++k)
            d.bands[k] = s.waiting_first->bands[k] > SILENT_BAND && p.bands[k] > SILENT_BAND
                             ? s.waiting_first->bands[k] - p.bands[k]
                             : SILENT_BAND;
        d.gain = s.waiting_first->gain - p.gain;
        d.slot = s.waiting_first->slot;
        s.feed(s.cross, d, CROSS, CROSS);
        s.waiting_first.reset();
    }
}

void ParityEvidence::set_positions(std::int64_t positions) { state_->positions = std::max(state_->positions, positions); }

std::int64_t span_slack(std::int64_t carriers) { return 16 + carriers / 100; }

const char* reason_text(InsufficientReason reason) {
    switch (reason) {
    case InsufficientReason::too_few_carriers: return "too few carriers in the span";
    case InsufficientReason::silent_span: return "silent span";
    case InsufficientReason::no_length_field: return "no length field that fits";
    case InsufficientReason::none: break;
    }
    return nullptr;
}

EvidenceResult ParityEvidence::finish(bool with_plot, bool every_carrier) {
    State& s = *state_;
    EvidenceResult result;
    const std::int64_t n = (s.positions + 1) / 2;  // carriers: even positions
    result.carriers = n;
    result.bits.assign(static_cast<std::size_t>(n), 0);
    std::vector<std::uint8_t> other_bits(static_cast<std::size_t>(n), 0);
    for (std::int64_t j = 0; j < n; ++j)
        if (const Cell* c = s.find(j)) {
            result.bits[static_cast<std::size_t>(j)] = c->flags & 1u;
            other_bits[static_cast<std::size_t>(j)] = (c->flags >> 1) & 1u;
        }
    result.length_field = read_length_header(result.bits).field;

    // Each series: centre and spread of its residuals, then the encoder's own
    // coupling of energy to gain steps (least squares on a constant, the gain
    // deviation and the record's parity, so that bits written into the gains
    // are not taken for that coupling), then centre and spread again.
    struct Fit {
        std::vector<std::uint32_t> histogram = std::vector<std::uint32_t>(static_cast<std::size_t>(HISTOGRAM_BINS), 0);
        std::uint64_t count = 0;
        RobustCentre raw, adjusted;
        double slope = 0;
        std::array<std::array<double, 3>, 3> xtx{};
        std::array<double, 3> xty{};
    };
    std::array<Fit, SERIES> fits;
    auto parity_of = [](const Cell& c, int series) { return ((c.flags >> (series == OTHER ? 1 : 0)) & 1u) ? 1.0 : -1.0; };
    auto each_cell = [&](auto&& visit) {
        for (std::int64_t j = 0; j < std::min(s.pairs, n); ++j)
            if (const Cell* c = s.find(j)) visit(j, *c);
    };
    each_cell([&](std::int64_t, const Cell& c) {
        for (int k = 0; k < SERIES; ++k)
            if (c.residual[k] != MISSING) {
                ++fits[k].histogram[histogram_bin(c.residual[k])];
                ++fits[k].count;
            }
    });
    for (Fit& f : fits) f.raw = robust_centre(f.histogram, f.count, RAW_UNIT);
    each_cell([&](std::int64_t, const Cell& c) {
        for (int k = 0; k < SERIES; ++k) {
            if (c.residual[k] == MISSING) continue;
            Fit& f = fits[k];
            const double y = std::clamp(c.residual[k] / RAW_UNIT, f.raw.median - CLIP * f.raw.spread,
                                        f.raw.median + CLIP * f.raw.spread);
            const std::array<double, 3> x = {1.0, c.gain_deviation[k] / 2.0, parity_of(c, k)};
            for (int a = 0; a < 3; ++a) {
                for (int b = 0; b < 3; ++b) f.xtx[a][b] += x[a] * x[b];
                f.xty[a] += x[a] * y;
            }
        }
    });
    for (Fit& f : fits) {
        // The inverse of a symmetric 3 x 3 matrix by cofactors; only the slope is wanted.
        const auto& a = f.xtx;
        std::array<std::array<double, 3>, 3> inv{};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
                inv[i][j] = a[r0][c0] * a[r1][c1] - a[r0][c1] * a[r1][c0];
            }
        const double det = a[0][0] * inv[0][0] + a[0][1] * inv[1][0] + a[0][2] * inv[2][0];
        if (std::fabs(det) > 1e-9 * std::max(1.0, a[0][0] * a[0][0] * a[0][0]))
            f.slope = (inv[1][0] * f.xty[0] + inv[1][1] * f.xty[1] + inv[1][2] * f.xty[2]) / det;
        std::fill(f.histogram.begin(), f.histogram.end(), 0);
    }
    auto adjusted = [&](const Cell& c, int k) { return c.residual[k] / RAW_UNIT - fits[k].slope * c.gain_deviation[k] / 2.0; };
    each_cell([&](std::int64_t, const Cell& c) {
        for (int k = 0; k < SERIES; ++k)
            if (c.residual[k] != MISSING)
                ++fits[k].histogram[histogram_bin(quantise(adjusted(c, k), RAW_UNIT))];
    });
    for (Fit& f : fits) {
        f.adjusted = robust_centre(f.histogram, f.count, RAW_UNIT);
        f.histogram = {};
    }
    // Per carrier one residual in robust deviations, clipped: the carrier's
    // own and the channels' difference averaged where both exist; per other
    // record its own (the negative control).
    std::vector<std::int16_t> carrier_residual(static_cast<std::size_t>(n), 0), other_residual(static_cast<std::size_t>(n), 0);
    auto deviations = [&](const Cell& c, int k) {
        return std::clamp((adjusted(c, k) - fits[k].adjusted.median) / fits[k].adjusted.spread, -CLIP, CLIP);
    };
    auto nonzero = [](std::int16_t v) { return v == 0 ? std::int16_t{1} : v; };
    each_cell([&](std::int64_t j, const Cell& c) {
        const bool own = c.residual[CARRIER] != MISSING, cross = c.residual[CROSS] != MISSING;
        if (own || cross) {
            const double y = own && cross ? (deviations(c, CARRIER) + deviations(c, CROSS)) / std::sqrt(2.0)
                                          : deviations(c, own ? CARRIER : CROSS);
            carrier_residual[static_cast<std::size_t>(j)] = nonzero(quantise(y, RESIDUAL_UNIT));
        }
        if (c.residual[OTHER] != MISSING)
            other_residual[static_cast<std::size_t>(j)] = nonzero(quantise(deviations(c, OTHER), RESIDUAL_UNIT));
    });
    // The records themselves are no longer needed.
    s.chunks.clear();
    s.chunks.shrink_to_fit();

    // The span: what a length field that fits the carriers claims.
    const LengthField* field = result.length_field ? &*result.length_field : nullptr;
    const bool fits_file =
        every_carrier || (field != nullptr && field->span <= static_cast<std::uint64_t>(n + span_slack(n)));
    if (n < MIN_FILE_CARRIERS) {
        result.reason = InsufficientReason::too_few_carriers;
        return result;
    }
    if (!fits_file) {
        result.reason = InsufficientReason::no_length_field;
        return result;
    }
    const auto span = static_cast<std::size_t>(
        every_carrier ? n : std::min<std::uint64_t>(field->span, static_cast<std::uint64_t>(n)));
    for (std::size_t k = 0; k < span; ++k) result.weighed += carrier_residual[k] != 0;
    // A length field spans at least 14 carriers (nbits and one byte), and a
    // file has at least 48: fewer weighed means carriers without spectrum.
    if (result.weighed < MIN_WEIGHED_CARRIERS) {
        result.reason = InsufficientReason::silent_span;
        return result;
    }
    // Two stages: a few rotations settle nearly every clean file and every
    // file far beyond any alpha; a file near the decision gets four times as
    // many, so that its spread is known well.
    std::optional<RotationStatistic> carriers, control;
    double p = 1;
    for (const std::size_t rotations : {FIRST_ROTATIONS, MORE_ROTATIONS}) {
        carriers = rotation_statistic(result.bits, carrier_residual, span, rotations, EXCLUDE);
        if (!carriers) break;
        control = rotation_statistic(other_bits, other_residual, span, rotations, EXCLUDE);
        if (control && control->weighed < MIN_WEIGHED_CARRIERS) control.reset();
        p = false_alarm_probability(*carriers, control);
        if (p > LOOK_CLOSER || p < CLEAR) break;
    }
    if (!carriers) {
        result.reason = InsufficientReason::too_few_carriers;
        return result;
    }
    result.status = EvidenceStatus::measured;
    result.reason = InsufficientReason::none;
    result.p_value = p;
    result.score = standardised(*carriers);

    if (with_plot) {
        auto seconds_of = [&](std::int64_t pair) {
            // The nearest anchor at or before the pair; each anchor knows the
            // time per pair of positions where it was set.
            auto block = static_cast<std::size_t>(pair) / ANCHOR_EVERY;
            if (block >= s.anchors.size()) block = s.anchors.empty() ? 0 : s.anchors.size() - 1;
            while (block > 0 && s.anchors[block].pair < 0) --block;
            if (s.anchors.empty() || s.anchors[block].pair < 0) return 0.0;
            const Anchor& a = s.anchors[block];
            return a.seconds + static_cast<double>(pair - a.pair) * a.pair_seconds;
        };
        PlotData plot;
        const auto count = std::min<std::size_t>(PLOT_POINTS, static_cast<std::size_t>(n));
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t j = i * static_cast<std::size_t>(n) / count;
            plot.seconds.push_back(seconds_of(static_cast<std::int64_t>(j)));
            plot.residual.push_back(carrier_residual[j] / RESIDUAL_UNIT);
            plot.odd.push_back(result.bits[j]);
        }
        plot.span_start = seconds_of(0);
        plot.span_end = seconds_of(static_cast<std::int64_t>(span) - 1);
        result.plot = std::move(plot);
    }
    return result;
}

}  // namespace gainscan
