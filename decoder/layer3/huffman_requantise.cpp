#include "decoder/layer3/huffman_requantise.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

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

// -magnitude when `negative` is 1: the sign bit flipped, as negation does.
inline float with_sign(float magnitude, std::uint32_t negative) {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) ^ (negative << 31));
}

// A code read from the top of a window: its leaf value, its length in bits,
// the length with the sign bits of its nonzero values, and whether one of
// its pair values is 15.
struct HuffmanCode {
    int value;
    int length;
    int length_with_signs;
    bool has_15;
};

// The first level takes `first_bits` bits; a link entry names a sub-table and
// how many of the following bits index it. A code is at most 19 bits long, so
// it always lies inside the window's valid bits. Not for the zero tree, whose
// first level has no bits to index it.
inline HuffmanCode huffman_lookup(const HuffmanTable& table, std::uint64_t window) {
    std::uint32_t entry = table.lookup[window >> (64 - table.first_bits)];
    int used = static_cast<int>(table.first_bits);
    while (entry & HUFFMAN_LINK) {
        const int width = static_cast<int>((entry >> 16) & 15u);
        entry = table.lookup[(entry & 0xFFFFu) + ((window << used) >> (64 - width))];
        used += width;
    }
    return {static_cast<int>(entry & 0xFFu), static_cast<int>((entry >> 8) & 31u),
            static_cast<int>((entry >> 16) & 31u), (entry & HUFFMAN_HAS_15) != 0};
}

// The bit at offset `at` from the top of a window.
inline std::uint32_t window_bit(std::uint64_t window, int at) {
    return static_cast<std::uint32_t>((window << at) >> 63);
}

// Four values of a table entry, scaled by the band's gain, to the lines
// `position`, + STEP, + 2 STEP, + 3 STEP, and their quantised values to `quantised`.
// A negative value is the negated power times the gain: the same float as
// the product of the magnitude and the gain negated, since rounding is
// symmetric; zero is +0 times the gain, +0.
template <int STEP>
inline void put_four(float* spectrum, int position, std::int16_t* quantised, const FourValues& values,
                     const FourQuantised& q, float gain) {
    for (int k = 0; k < 4; ++k) spectrum[position + k * STEP] = values.v[k] * gain;
    std::memcpy(quantised, q.q, sizeof q.q);
}

// The stream as the Huffman loops read it: the next bits left-aligned in a
// 64-bit word, so that a code's table index is the word's top bits and using
// a code is one shift. Every byte comes through bit_buffer_word, which gives 0
// outside the frame buffer, as the shared reader does.
struct BitStream {
    const std::uint8_t* begin;
    std::int64_t size;
    std::int64_t next;       // first byte not yet taken into `bits`
    std::uint64_t bits = 0;  // the next `valid` bits at the top; what follows, true or 0
    int valid = 0;

    // At least 56 valid bits afterwards.
    void refill() {
        bits |= bit_buffer_word(begin, size, next) >> valid;
        next += (63 - valid) >> 3;
        valid |= 56;
    }
    void skip(int n) {
        bits <<= n;
        valid -= n;
    }
    std::int64_t position() const { return next * 8 - valid; }
};

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
    granule.quantised_values = quantised_buffer.data();
    std::int16_t* quantised = quantised_buffer.data();

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
    // Long blocks are written from line 0 up, every decoded value included, so
    // only the lines above the last one need clearing afterwards; short and
    // mixed blocks jump between windows and are cleared first.
    if (short_kind) std::fill(spectrum.begin(), spectrum.end(), 0.0f);

    // Big values: decoded in full whatever the budget says. A pair's code, its
    // escape bits and its sign bits (at most 19 + 2 * (13 + 1) = 47) all come
    // from one window, which usually still holds the bits of the pairs after
    // it. The pairs are taken band run by band run, so that the
    // gain and the write position stay in registers.
    const std::int64_t big_values_start =
        (bit_reader.byte_pointer - bit_reader.buffer_begin) * 8 + bit_reader.bit_index;
    BitStream in{bit_reader.buffer_begin, static_cast<std::int64_t>(bit_reader.buffer_size),
                 big_values_start >> 3};
    in.refill();
    in.skip(static_cast<int>(big_values_start & 7));
    const int regions = short_kind ? 2 : 3;
    for (int region = 0; region < regions; ++region) {
        const HuffmanTable& table = pair_tables[granule.table_select[static_cast<std::size_t>(region)] & 31u];
        const int linbits = static_cast<int>(table.linbits);
        std::uint32_t left = region_length[static_cast<std::size_t>(region)];
        while (left > 0) {
            if (walk.pairs_left == 0) walk.enter();
            const std::uint32_t pairs = std::min(left, static_cast<std::uint32_t>(walk.pairs_left));
            walk.pairs_left -= static_cast<int>(pairs);
            left -= pairs;
            const int step = walk.step;
            int position = walk.position;
            std::uint32_t nonzero = 0;
            if (table.fast == nullptr) {
                // Tables 0, 4 and 14 have no codes: every pair is two zeros
                // and reads no bit.
                for (std::uint32_t n = 2 * pairs; n > 0; --n) {
                    spectrum[static_cast<std::size_t>(position)] = 0.0f;
                    *quantised++ = 0;
                    position += step;
                }
                walk.position = position;
                continue;
            }
            const float gain = walk.gain;
            // One pair through the general lookup: a long code or an escape.
            // Its code, escape bits and sign bits (at most 19 + 2 * (13 + 1)
            // = 47) all lie in the valid bits after a refill.
            auto general_pair = [&]() {
                if (in.valid < 47) in.refill();
                const std::uint64_t window = in.bits;
                const HuffmanCode code = huffman_lookup(table, window);
                int values[2] = {code.value >> 4, code.value & 15};
                std::uint32_t negative[2];
                nonzero |= static_cast<std::uint32_t>(code.value);
                if (code.has_15 && linbits != 0) {
                    // Escape: linbits more bits add to a 15, before its sign bit.
                    int used = code.length;
                    for (std::size_t i = 0; i < 2; ++i) {
                        if (values[i] == 15) {
                            values[i] += static_cast<int>(bit_window_take(window << used, linbits));
                            used += linbits;
                        }
                        negative[i] = values[i] != 0 ? window_bit(window, used++) : 0u;
                    }
                    in.skip(used);
                } else {
                    // The sign bits of the nonzero values follow the code.
                    const int x_present = values[0] != 0;
                    negative[0] = window_bit(window, code.length) & static_cast<std::uint32_t>(x_present);
                    negative[1] = window_bit(window, code.length + x_present) & static_cast<std::uint32_t>(values[1] != 0);
                    in.skip(code.length_with_signs);
                }
                for (std::size_t i = 0; i < 2; ++i) {
                    const int c = values[i];
                    const float magnitude = POW43_TABLE[static_cast<std::size_t>(c)] * gain;
                    spectrum[static_cast<std::size_t>(position)] = negative[i] ? -magnitude : magnitude;
                    *quantised++ = static_cast<std::int16_t>((c ^ -static_cast<int>(negative[i])) + static_cast<int>(negative[i]));
                    position += step;
                }
            };
            // While two pairs or more are left, an entry's four values are all
            // written: with one pair in it, its second pair is two zeros that
            // the next pair overwrites, which costs less than telling the two
            // kinds apart.
            std::uint32_t n = pairs;
            auto fast_pairs = [&](auto step_constant) {
                constexpr int STEP = decltype(step_constant)::value;
                while (n >= 2) {
                    if (in.valid < PAIR_FAST_BITS) in.refill();
                    const std::size_t index = in.bits >> (64 - PAIR_FAST_BITS);
                    const std::uint32_t entry = table.fast[index];
                    const std::uint32_t count = (entry >> 9) & 3u;
                    if (count == 0) {
                        general_pair();
                        --n;
                        continue;
                    }
                    put_four<STEP>(spectrum.data(), position, quantised, table.fast_values[index],
                                   table.fast_quantised[index], gain);
                    nonzero |= (entry >> 12) ^ 0x7BDEFu;  // 15, 15, 15, 15: all four zero
                    position += static_cast<int>(2 * count) * STEP;
                    quantised += 2 * count;
                    n -= count;
                    in.skip(static_cast<int>(entry & 31u));
                }
            };
            if (step == 1)
                fast_pairs(std::integral_constant<int, 1>{});
            else
                fast_pairs(std::integral_constant<int, 3>{});
            if (n == 1) {
                if (in.valid < PAIR_FAST_BITS) in.refill();
                const std::size_t index = in.bits >> (64 - PAIR_FAST_BITS);
                const std::uint32_t entry = table.fast[index];
                if ((entry >> 9 & 3u) == 0) {
                    general_pair();
                } else {
                    const FourValues& v = table.fast_values[index];
                    spectrum[static_cast<std::size_t>(position)] = v.v[0] * gain;
                    spectrum[static_cast<std::size_t>(position + step)] = v.v[1] * gain;
                    std::memcpy(quantised, table.fast_quantised[index].q, 2 * sizeof(std::int16_t));
                    nonzero |= ((entry >> 12) & 0x3FFu) ^ 0x1EFu;
                    position += 2 * step;
                    quantised += 2;
                    in.skip(static_cast<int>(entry >> 5 & 15u));
                }
            }
            // Every value of this run lies in the same band and window.
            if (nonzero != 0) walk.note();
            walk.position = position;
        }
    }
    // The big values pay for exactly the bits they took.
    budget -= static_cast<std::int32_t>(in.position() - big_values_start);

    // Count1 quadruples, while the budget lasts: it may end inside a code (the
    // bits up to it are read and the quadruple counts as four zeros) or before
    // a sign bit (the values before it stand); either way decoding stops there.
    // Quadruples that lie inside one band run and inside the budget are taken
    // in a tight loop; the one that straddles two runs and the one the budget
    // ends in go value by value.
    const HuffmanTable& quad_table = quad_tables[granule.count1table_select & 1u];
    const Count1Table& count1 = count1_tables[granule.count1table_select & 1u];
    while (quad_limit > 0 && budget > 0) {
        if (walk.pairs_left == 0) walk.enter();
        if (walk.pairs_left >= 2) {
            const std::uint32_t run_quads = std::min(quad_limit, static_cast<std::uint32_t>(walk.pairs_left) / 2);
            const float gain = walk.gain;
            int position = walk.position;
            std::uint32_t nonzero = 0;
            std::uint32_t done = 0;
            auto fast_quads = [&](auto step_constant) {
                constexpr int STEP = decltype(step_constant)::value;
                for (; done < run_quads; ++done) {
                    // The code and its sign bits in one lookup, when the budget has them all.
                    if (in.valid < static_cast<int>(count1.bits)) in.refill();
                    const std::size_t index = in.bits >> (64 - count1.bits);
                    const std::uint32_t entry = count1.lookup[index];
                    const auto length = static_cast<std::int32_t>(entry >> 8);
                    if (length > budget) break;
                    nonzero |= entry;
                    put_four<STEP>(spectrum.data(), position, quantised, count1.values[index],
                                   count1.quantised[index], gain);
                    position += 4 * STEP;
                    quantised += 4;
                    budget -= length;
                    in.skip(length);
                }
            };
            if (walk.step == 1)
                fast_quads(std::integral_constant<int, 1>{});
            else
                fast_quads(std::integral_constant<int, 3>{});
            if ((nonzero & 0xFFu) != 0) walk.note();
            walk.pairs_left -= static_cast<int>(2 * done);
            walk.position = position;
            quad_limit -= done;
            if (done == run_quads || budget == 0) continue;
        }

        if (in.valid < 6 + 4) in.refill();
        const std::uint64_t window = in.bits;
        const HuffmanCode code = huffman_lookup(quad_table, window);
        int used = std::min(code.length, budget);
        const int leaf = code.length > budget ? 0 : code.value;  // a cut code counts as four zeros
        budget -= used;
        for (int k = 0; k < 4; ++k) {
            if (k == 0 || k == 2) walk.before_pair();
            float value = 0.0f;
            std::int16_t q = 0;
            if (leaf & (8 >> k)) {
                walk.note();
                if (budget == 0) break;  // this value and the rest of the quadruple stay zero
                --budget;
                const std::uint32_t negative = window_bit(window, used++);
                value = with_sign(walk.gain, negative);
                q = negative ? -1 : 1;
            }
            spectrum[static_cast<std::size_t>(walk.position)] = value;
            *quantised++ = q;
            walk.position += walk.step;
        }
        in.skip(used);
        --quad_limit;
    }
    const std::int64_t end = in.position();
    bit_reader.byte_pointer = bit_reader.buffer_begin + (end >> 3);
    bit_reader.bit_index = static_cast<std::int32_t>(end & 7);

    // Everything not decoded is zero.
    std::fill(quantised, quantised_buffer.data() + quantised_buffer.size(), std::int16_t{0});
    if (!short_kind) std::fill(spectrum.begin() + walk.position, spectrum.end(), 0.0f);
    granule.spectrum_end = short_kind ? 576u : static_cast<std::uint32_t>(walk.position);

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
    if (budget >= 0) {
        bit_reader_skip(budget);
        return 0;
    }
    dec_message(MESSAGE_STDERR, "Can't rewind stream by %d bits!\n", -budget);
    return 1;
}
