#include "decoder/layer3/huffman_requantise.h"

#include <algorithm>

#include "decoder/common/bit_reader.h"
#include "decoder/common/messages.h"
#include "decoder/tables/decoder_tables.h"
#include "decoder/tables/layer3_tables.h"

constinit thread_local std::array<std::int16_t, 576> quantised_buffer{};

namespace {

// Pre-emphasis of the long bands, added to their scale factors when preflag is set.
constexpr std::array<std::int32_t, 22> PRETAB = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                 1, 1, 1, 1, 2, 2, 3, 3, 3, 2, 0};
constexpr std::array<std::int32_t, 22> NO_PRETAB{};

inline int walk_tree(const std::int16_t* tree, std::int32_t& budget) {
    int i = 0;
    while (tree[i] < 0) {
        const int k = -tree[i];
        --budget;
        i = bits_read_one() ? i + 1 + k : i + 1;
    }
    return tree[i];
}

// The walk over the scale-factor bands: which band the next pair lies in,
// its gain, and where its values go.
struct BandWalk {
    const GranuleInfo& granule;
    const ScaleFactors& scale_factors;
    const BandMap& map;
    const std::array<std::int32_t, 22>& pretab;
    int shift;
    bool short_kind;   // block type 2: runs with their own first line
    bool mixed;
    int run = 0;       // next run to enter
    int sf_index = 0;  // next scale factor to take
    int pairs_left = 0;
    int window = 3;
    int band = 0;
    int position = 0;  // spectral write position
    int step = 1;
    float gain = 0.0f;
    std::array<int, 4> tracker{};  // highest band with a nonzero value, per window (3 = long)

    void enter() {
        const int sf = scale_factors[static_cast<std::size_t>(sf_index++)];
        if (!short_kind) {
            const LongRun& r = map.long_runs[static_cast<std::size_t>(run++)];
            pairs_left = r.pair_count;
            band = r.band;
            window = 3;
            gain = gain_at(granule.gain_long + ((sf + pretab[static_cast<std::size_t>(band)]) << shift));
            return;
        }
        const BandRun& r = mixed ? map.mixed[static_cast<std::size_t>(run++)]
                                 : map.short_runs[static_cast<std::size_t>(run++)];
        pairs_left = r.pair_count;
        band = r.band;
        window = r.window;
        position = r.first_line;
        if (window == 3) {
            gain = gain_at(granule.gain_long + (sf << shift));
            step = 1;
        } else {
            gain = gain_at(granule.gain_short[static_cast<std::size_t>(window)] + (sf << shift));
            step = 3;
        }
    }

    // Called before each pair; the list always holds 288 pairs, and at most
    // 288 are decoded, so a run is always there to enter.
    void before_pair() {
        if (pairs_left == 0) enter();
        --pairs_left;
    }

    void note() { tracker[static_cast<std::size_t>(window)] = band; }
};

}  // namespace

int layer3_huffman_requantise(std::span<float, 576> spectrum, const ScaleFactors& scale_factors,
                              GranuleInfo& granule, int sampling_index, int part2_bits) {
    const int shift = 1 + static_cast<int>(granule.scalefac_scale & 1u);
    std::int32_t budget = static_cast<std::int32_t>(granule.part2_3_length) - part2_bits;
    quantised_buffer.fill(0);
    granule.quantised_values = quantised_buffer.data();
    std::int16_t* quantised = quantised_buffer.data();
    std::fill(spectrum.begin(), spectrum.end(), 0.0f);

    const std::uint32_t bv = std::min<std::uint32_t>(granule.big_values, 288);
    const std::uint32_t r1 = granule.region1_start;
    const std::uint32_t r2 = std::max(granule.region2_start, r1);
    std::array<std::uint32_t, 3> region_length{};
    if (bv <= r1)
        region_length = {bv, 0, 0};
    else if (bv <= r2)
        region_length = {r1, bv - r1, 0};
    else
        region_length = {r1, r2 - r1, bv - r2};
    std::uint32_t quad_limit = (288 - bv) >> 1;

    const bool short_kind = granule.block_type == 2;
    const bool mixed = short_kind && granule.mixed_block_flag != 0;
    BandWalk walk{granule,    scale_factors, BAND_MAP[static_cast<std::size_t>(sampling_index)],
                  granule.preflag ? PRETAB : NO_PRETAB, shift, short_kind, mixed};
    if (mixed)
        walk.tracker = {2, 2, 2, -1};  // short bands of a mixed block begin at band 3
    else
        walk.tracker = {-1, -1, -1, -1};

    // Big values: decoded in full whatever the budget says.
    const int regions = short_kind ? 2 : 3;
    for (int region = 0; region < regions; ++region) {
        const HuffmanTable& table = pair_tables[granule.table_select[static_cast<std::size_t>(region)] & 31u];
        for (std::uint32_t n = region_length[static_cast<std::size_t>(region)]; n > 0; --n) {
            walk.before_pair();
            const int leaf = walk_tree(table.tree, budget);
            const int values[2] = {leaf >> 4, leaf & 15};
            for (int c : values) {
                if (c != 0) {
                    walk.note();
                    if (c == 15) {
                        budget -= static_cast<std::int32_t>(table.linbits) + 1;
                        c += static_cast<int>(bits_read(static_cast<int>(table.linbits)));
                    } else {
                        budget -= 1;
                    }
                    const float magnitude = POW43_TABLE[static_cast<std::size_t>(c)] * walk.gain;
                    const bool negative = bits_read_one() != 0;
                    spectrum[static_cast<std::size_t>(walk.position)] = negative ? -magnitude : magnitude;
                    *quantised = static_cast<std::int16_t>(negative ? -c : c);
                }
                walk.position += walk.step;
                ++quantised;
            }
        }
    }

    // Count1 quadruples, while the budget lasts.
    const std::int16_t* quad_tree = quad_tables[granule.count1table_select & 1u].tree;
    while (quad_limit > 0 && budget > 0) {
        int i = 0;
        bool code_cut = false;
        while (quad_tree[i] < 0) {
            if (--budget < 0) {
                budget = 0;
                code_cut = true;
                break;
            }
            i = bits_read_one() ? i + 1 - quad_tree[i] : i + 1;
        }
        const int leaf = code_cut ? 0 : quad_tree[i];
        for (int k = 0; k < 4; ++k) {
            if (k == 0 || k == 2) walk.before_pair();
            if (leaf & (8 >> k)) {
                walk.note();
                if (--budget < 0) {
                    budget = 0;
                    break;  // this value and the rest of the quadruple stay zero
                }
                const bool negative = bits_read_one() != 0;
                spectrum[static_cast<std::size_t>(walk.position)] = negative ? -walk.gain : walk.gain;
                *quantised = negative ? -1 : 1;
            }
            walk.position += walk.step;
            ++quantised;
        }
        --quad_limit;
    }

    // How far up the nonzero values reach.
    const auto si = static_cast<std::size_t>(sampling_index);
    if (short_kind) {
        for (std::size_t w = 0; w < 3; ++w)
            granule.short_band_end[w] = static_cast<std::uint32_t>(walk.tracker[w] + 1);
        granule.long_band_end = static_cast<std::uint32_t>(walk.tracker[3] + 1);
        const int r = std::max({walk.tracker[0], walk.tracker[1], walk.tracker[2]}) + 1;
        granule.subband_end = static_cast<std::uint32_t>(
            r != 0 ? SHORT_BAND_LIMIT[si][static_cast<std::size_t>(r)]
                   : LONG_BAND_LIMIT[si][granule.long_band_end]);
    } else {
        granule.long_band_end = static_cast<std::uint32_t>(walk.tracker[3] + 1);
        granule.subband_end = static_cast<std::uint32_t>(LONG_BAND_LIMIT[si][granule.long_band_end]);
    }

    // Leave the reader exactly part2_3_length bits after the scale factors began.
    while (budget > 16) {
        bits_read(16);
        budget -= 16;
    }
    if (budget > 0) {
        bits_read(budget);
        return 0;
    }
    if (budget == 0) return 0;
    dec_message(MESSAGE_STDERR, "Can't rewind stream by %d bits!\n", -budget);
    return 1;
}
