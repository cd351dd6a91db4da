#include "decoder/layer3/huffman_requantise.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "decoder/common/bit_reader.h"
#include "decoder/common/messages.h"
#include "decoder/tables/decoder_tables.h"
#include "decoder/tables/layer3_tables.h"

constinit thread_local std::array<std::int16_t, 576> quantised_buffer{};

namespace {

// What a granule that was only stepped over shows: all zero.
constexpr std::array<std::int16_t, 576> NO_QUANTISED{};
constexpr std::array<float, 576> NO_SPECTRUM{};

}  // namespace

// For each region, for each pair: look up, sign, escape, scale. Most pairs
// are short codes, and one read of a 12-bit table gives them with their sign
// bits already applied, often two at a time; their values come as ready
// signed 4/3 powers that only need the band's gain. Long codes and escapes
// take the general lookup. Count1 quadruples go the same way, one table read
// each. The bits are kept left-aligned in a 64-bit word, so that a table index
// is its top bits and using a code is one shift: the chain from one code to
// the next is a shift, a load and a shift.

namespace {

// Pre-emphasis of the long bands, added to their scale factors when preflag is set.
constexpr std::array<std::int32_t, 22> PRETAB = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                 1, 1, 1, 1, 2, 2, 3, 3, 3, 2, 0};
constexpr std::array<std::int32_t, 22> NO_PRETAB{};

// -magnitude when `negative` is 1: the sign bit flipped, as negation does.
inline float with_sign(float magnitude, std::uint32_t negative) {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) ^ (negative << 31));
}

// A code read from the top of a window: its leaf value and its length in bits.
struct HuffmanCode {
    int value;
    int length;
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
    return {static_cast<int>(entry & 0xFFu), static_cast<int>((entry >> 8) & 31u)};
}

// The bit at offset `at` from the top of a window.
inline std::uint32_t window_bit(std::uint64_t window, int at) {
    return static_cast<std::uint32_t>((window << at) >> 63);
}

// Four values, scaled by the band's gain, to the lines out[0], out[STEP],
// out[2 STEP] and out[3 STEP]. A negative value is the negated power times the
// gain: the same float as the product of the magnitude and the gain, negated,
// since rounding is symmetric; zero is +0 times the gain, +0. The four are
// one vector multiplication.
template <int STEP>
inline void put_four(float* out, const float (&values)[4], float gain) {
    float v[4];
    for (int k = 0; k < 4; ++k) v[k] = values[k] * gain;
    if constexpr (STEP == 1) {
        std::memcpy(out, v, sizeof v);
    } else {
        for (int k = 0; k < 4; ++k) out[k * STEP] = v[k];
    }
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

// One pair read the general way, for a long code or an escape: its signed
// values and the bits it took. `window` holds at least 47 valid bits: a code
// (at most 19), its escape bits (at most 2 * 13) and its sign bits.
struct SignedPair {
    int value[2];
    int used;
};
inline SignedPair general_pair(const HuffmanTable& table, std::uint64_t window) {
    const HuffmanCode code = huffman_lookup(table, window);
    SignedPair pair{{code.value >> 4, code.value & 15}, code.length};
    const int linbits = static_cast<int>(table.linbits);
    // Without branches: whether a value escapes and which sign it has are as
    // good as random in the loud files that come this way, and each
    // mispredicted branch costs more than the few operations done anyway.
    for (int& v : pair.value) {
        // Escape: linbits more bits add to a 15, before its sign bit.
        const int escape = (v == 15) & (linbits != 0);
        v += static_cast<int>(bit_window_take(window << pair.used, linbits)) & -escape;
        pair.used += linbits & -escape;
        // A sign bit follows every nonzero value.
        const int signed_value = v != 0;
        const int negative = static_cast<int>(window_bit(window, pair.used)) & signed_value;
        v = (v ^ -negative) + negative;
        pair.used += signed_value;
    }
    return pair;
}

// The 4/3 power of a value read the general way, with its sign. Without
// branches: the signs of the values that come this way are as good as
// random, and a mispredicted sign cost the 320 kbit/s decode 7 %.
inline float signed_power(int v) {
    const std::uint32_t negative = static_cast<std::uint32_t>(v) >> 31;
    const int magnitude = (v ^ -static_cast<int>(negative)) + static_cast<int>(negative);
    return with_sign(POW43_TABLE[static_cast<std::size_t>(magnitude)], negative);
}

// Where a stretch of pairs or quadruples writes, and what it has seen.
// Pointers rather than an index, so that a write needs no address sum.
struct Output {
    float* line;              // next line
    std::int16_t* quantised;  // next quantised value, in bitstream order
    std::uint32_t nonzero;    // nonzero once a value was not 0
};

// One pair read the general way (a long code or an escape) and written.
template <int STEP>
inline void general_pair_out(BitStream& in, Output& out, const HuffmanTable& table, float gain) {
    if (in.valid < 47) in.refill();
    const SignedPair pair = general_pair(table, in.bits);
    in.skip(pair.used);
    for (const int v : pair.value) {
        *out.line = signed_power(v) * gain;
        *out.quantised++ = static_cast<std::int16_t>(v);
        out.nonzero |= static_cast<std::uint32_t>(v);
        out.line += STEP;
    }
}

// Four floats as one vector register: the compilers this builds with (GCC,
// Clang) multiply and store them as one, where four separate floats are
// gathered lane by lane first.
using Lanes = float __attribute__((vector_size(16)));
using TwoLanes = float __attribute__((vector_size(8)));

// The signed powers of an entry's two pair fields, each one 8-byte load.
inline Lanes pair_powers(std::size_t first, std::size_t second) {
    TwoLanes a;
    TwoLanes b;
    std::memcpy(&a, &PAIR_POWERS[first], sizeof a);
    std::memcpy(&b, &PAIR_POWERS[second], sizeof b);
    return __builtin_shufflevector(a, b, 0, 1, 2, 3);
}

// The last pair of a run or region when the fast table holds it: the
// index of its values in PAIR_POWERS and PAIR_QUANTISED, the stream moved
// past its bits; NO_FAST_PAIR, the stream where it was, when it must be read
// the general way. Always inlined: left to the compiler, it cost the
// 320 kbit/s decode 3 %.
constexpr std::size_t NO_FAST_PAIR = ~std::size_t{0};
__attribute__((always_inline)) inline std::size_t take_last_fast_pair(BitStream& in, const std::uint32_t* fast) {
    if (in.valid < PAIR_FAST_BITS) in.refill();
    const std::uint32_t entry = fast[in.bits >> (64 - PAIR_FAST_BITS)];
    if (((entry >> 10) & 3u) == 0) return NO_FAST_PAIR;
    in.skip(static_cast<int>((entry >> 6) & 15u));
    return (entry >> 12) & 1023u;
}

// `n` pairs of one band run, all with the gain `gain`, every STEP-th line.
// While two pairs or more are left, an entry's four values are all written:
// with one pair in it, its second pair is two zeros that the next pair
// overwrites, which costs less than telling the two kinds apart. After a
// refill the window holds at least 56 bits, room for four fast entries (12
// bits at most each), so the refill is checked once per four of them. Works
// on copies of the stream and the output so that they stay in registers.
template <int STEP>
inline void decode_pairs(BitStream& stream, Output& output, const HuffmanTable& table, float gain, std::uint32_t n) {
    BitStream in = stream;
    Output out = output;
    const std::uint32_t* fast = table.fast;
    while (n >= 2) {
        in.refill();
        for (int k = 0; k < 4 && n >= 2; ++k) {
            const std::uint32_t entry = fast[in.bits >> (64 - PAIR_FAST_BITS)];
            const std::uint32_t count = (entry >> 10) & 3u;
            if (count == 0) [[unlikely]] {
                general_pair_out<STEP>(in, out, table, gain);
                n -= 1;
                break;
            }
            in.skip(static_cast<int>(entry & 63u));
            const std::size_t first = (entry >> 12) & 1023u;
            const std::size_t second = entry >> 22;
            const Lanes v = pair_powers(first, second) * gain;
            if constexpr (STEP == 1) {
                std::memcpy(out.line, &v, sizeof v);
            } else {
                for (int i = 0; i < 4; ++i) out.line[i * STEP] = v[i];
            }
            std::memcpy(out.quantised, PAIR_QUANTISED[first].q, 2 * sizeof(std::int16_t));
            std::memcpy(out.quantised + 2, PAIR_QUANTISED[second].q, 2 * sizeof(std::int16_t));
            out.nonzero |= (entry >> 12) ^ 0x7BDEFu;  // 15 in all four fields: four zeros
            out.line += 2 * count * STEP;
            out.quantised += 2 * count;
            n -= count;
        }
    }
    if (n == 1) {
        // The last pair of the run: an entry's first pair alone, or the general way.
        if (const std::size_t first = take_last_fast_pair(in, fast); first != NO_FAST_PAIR) {
            const TwoValues& v = PAIR_POWERS[first];
            out.line[0] = v.v[0] * gain;
            out.line[STEP] = v.v[1] * gain;
            std::memcpy(out.quantised, PAIR_QUANTISED[first].q, 2 * sizeof(std::int16_t));
            out.nonzero |= static_cast<std::uint32_t>(first) ^ 0x1EFu;  // 15 in both fields: two zeros
            out.line += 2 * STEP;
            out.quantised += 2;
        } else {
            general_pair_out<STEP>(in, out, table, gain);
        }
    }
    stream = in;
    output = out;
}

// `n` pairs stepped over: the same table reads as decode_pairs, so the same
// bits, without the values. After a refill the window holds at least 56
// bits, room for four fast entries (12 bits at most each), so the refill is
// checked once per four of them rather than before each.
inline void skip_pairs(BitStream& stream, const HuffmanTable& table, std::uint32_t n) {
    BitStream in = stream;
    const std::uint32_t* fast = table.fast;
    while (n >= 2) {
        in.refill();
        for (int k = 0; k < 4 && n >= 2; ++k) {
            const std::uint32_t entry = fast[in.bits >> (64 - PAIR_FAST_BITS)];
            const std::uint32_t count = (entry >> 10) & 3u;
            if (count == 0) {
                if (in.valid < 47) in.refill();
                in.skip(general_pair(table, in.bits).used);
                n -= 1;
                break;
            }
            in.skip(static_cast<int>(entry & 63u));
            n -= count;
        }
    }
    if (n == 1) {
        // The last pair alone: an entry's first pair, or the general way.
        if (in.valid < 47) in.refill();
        const std::uint32_t entry = fast[in.bits >> (64 - PAIR_FAST_BITS)];
        in.skip((entry >> 10) & 3u ? static_cast<int>((entry >> 6) & 15u) : general_pair(table, in.bits).used);
    }
    stream = in;
}

// The skipping path's length tables. Stepping over a pair needs only its
// length, and that is known from its code alone: the code's bits, linbits
// escape bits for each 15 (in a table with linbits), and a sign bit for each
// nonzero value (an escaped value is never 0). So an escape needs no reading,
// and a pair is known once its code lies in the index, its escape and sign
// bits wherever they are. A length table, one for each table_select, is
// indexed by the next SKIP_BITS bits and gives the pairs whose codes begin
// and lie whole in them, one after another, up to SKIP_PAIRS: their whole
// length (bits 0-5; at most 11 code bits and one pair's 2 x 13 escape and 2
// sign bits), their count (bits 6-8) and the length of the first alone (bits
// 9-14), for a run that ends inside the entry. With 0 pairs (a
// code longer than the index) the pair is read the general way. Stepping over
// pairs is a chain of dependent table reads and of mispredicted branches into
// the general reading; fewer reads and far fewer general pairs (no escape
// goes there) make it faster. It steps exactly as skip_pairs does. The index
// is 11 bits, not the fast table's 12, and entries are 16 bits, because a
// smaller table stays in the first-level cache beside the others and the
// file's bytes (bench/skip_speed measured 11 bits faster than 12, 10 and 14).
//
// 4 KiB a table, built once per thread and table_select, and only once that
// table has stepped over enough pairs on the thread to pay for building it
// (about what building costs): a single short file is stepped over as before.
constexpr int SKIP_BITS = 11;
constexpr std::uint32_t SKIP_PAIRS = 7;
constexpr std::uint64_t SKIP_BUILD_AFTER = std::uint64_t{4} << SKIP_BITS;  // pairs

using LengthTable = std::array<std::uint16_t, std::size_t{1} << SKIP_BITS>;

std::unique_ptr<LengthTable> build_length_table(const HuffmanTable& table) {
    auto built = std::make_unique<LengthTable>();
    LengthTable& lengths = *built;
    const int linbits = static_cast<int>(table.linbits);
    for (std::uint64_t index = 0; index < (std::uint64_t{1} << SKIP_BITS); ++index) {
        const std::uint64_t bits = index << (64 - SKIP_BITS);  // zeros after the index
        int used = 0, first = 0;
        std::uint32_t pairs = 0;
        while (pairs < SKIP_PAIRS && used < SKIP_BITS) {
            // A code is known from its own bits whatever follows them.
            const HuffmanCode code = huffman_lookup(table, bits << used);
            if (used + code.length > SKIP_BITS) break;
            int length = code.length;
            for (const int v : {code.value >> 4, code.value & 15}) length += (v == 15 ? linbits : 0) + (v != 0 ? 1 : 0);
            used += length;
            if (pairs++ == 0) first = length;
        }
        if (pairs == 0) used = 0;
        lengths[index] = static_cast<std::uint16_t>(static_cast<std::uint32_t>(used) | (pairs << 6) |
                                                    (static_cast<std::uint32_t>(first) << 9));
    }
    return built;
}

// This thread's length tables, by table_select.
struct LengthTables {
    SkipTables mode = SkipTables::when_used;
    std::array<std::unique_ptr<LengthTable>, 32> lengths;
    std::array<std::uint64_t, 32> pairs_stepped{};

    // The length table for `select`, or null while it is not (yet) to be used.
    const std::uint16_t* find(std::uint32_t select, std::uint32_t pairs) {
        if (mode == SkipTables::never) return nullptr;
        std::unique_ptr<LengthTable>& slot = lengths[select];
        if (slot != nullptr) return slot->data();
        pairs_stepped[select] += pairs;
        if (mode == SkipTables::when_used && pairs_stepped[select] < SKIP_BUILD_AFTER) return nullptr;
        slot = build_length_table(pair_tables[select]);
        return slot->data();
    }
};
thread_local LengthTables length_tables;

// `n` pairs stepped over through a table_select's length table.
inline void skip_pairs_by_length(BitStream& stream, const HuffmanTable& table, const std::uint16_t* lengths,
                                 std::uint32_t n) {
    BitStream in = stream;
    while (n > 0) {
        if (in.valid < SKIP_BITS) in.refill();
        const std::uint32_t entry = lengths[in.bits >> (64 - SKIP_BITS)];
        std::uint32_t count = (entry >> 6) & 7u;
        int length = static_cast<int>(entry & 63u);
        if (count == 0) {
            if (in.valid < 47) in.refill();
            in.skip(general_pair(table, in.bits).used);
            n -= 1;
            continue;
        }
        if (count > n) {
            // The run ends inside the entry: its first pair alone.
            count = 1;
            length = static_cast<int>(entry >> 9);
        }
        n -= count;
        if (length <= in.valid) {
            in.skip(length);
        } else {
            // Escape bits reaching past the window: read on from where they end.
            const std::int64_t position = in.position() + length;
            in.next = position >> 3;
            in.bits = 0;
            in.valid = 0;
            in.refill();
            in.skip(static_cast<int>(position & 7));
        }
    }
    stream = in;
}

// Up to `quads` count1 quadruples of one band run with the gain `gain`, every
// STEP-th line, as long as each one's code and sign bits lie inside the
// budget; returns how many were taken.
template <int STEP>
inline std::uint32_t decode_quads(BitStream& stream, Output& output, std::int32_t& budget, const Count1Table& table,
                                  float gain, std::uint32_t quads) {
    BitStream in = stream;
    Output out = output;
    std::int32_t left = budget;
    const int width = static_cast<int>(table.bits);
    std::uint32_t done = 0;
    for (; done < quads; ++done) {
        if (in.valid < width) in.refill();
        const std::size_t index = in.bits >> (64 - width);
        const std::uint32_t entry = table.lookup[index];
        const auto length = static_cast<std::int32_t>((entry >> 8) & 15u);
        if (length > left) break;
        const std::uint32_t values = (entry >> 12) & 0xFFu;
        put_four<STEP>(out.line, QUAD_VALUES[values].v, gain);
        std::memcpy(out.quantised, QUAD_QUANTISED[values].q, 4 * sizeof(std::int16_t));
        out.nonzero |= values;
        out.line += 4 * STEP;
        out.quantised += 4;
        left -= length;
        in.skip(length);
    }
    stream = in;
    output = out;
    budget = left;
    return done;
}

// The walk over the scale-factor bands: which band the next pair lies in,
// its gain, and where its values go.
struct BandWalk {
    const GranuleInfo& granule;
    const ScaleFactors& scale_factors;
    const BandMap& map;
    int shift;
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

// The pairs of the three regions of the big values; a region that starts
// beyond big_values is empty.
std::array<std::uint32_t, 3> region_lengths(const GranuleInfo& granule) {
    const std::uint32_t bv = std::min<std::uint32_t>(granule.big_values, 288);
    const std::uint32_t r1 = granule.region1_start;
    const std::uint32_t r2 = std::max(granule.region2_start, r1);
    if (bv <= r1) return {bv, 0, 0};
    if (bv <= r2) return {r1, bv - r1, 0};
    return {r1, r2 - r1, bv - r2};
}

// Long blocks are read region by region rather than band by band: the pair
// and quadruple loops write each value's signed 4/3 power alone, and the
// lines are scaled by their bands' gains afterwards, band by band, in runs
// of vector multiplications. A loop per band run cost its set-up
// and, at its end, a mispredicted exit, some twenty times a granule; a loop
// per region costs that three times, and the scaling loop, free of the
// decoding's branches, is predicted. The product is the same float either
// way: a power times its band's gain, with a negative value the negated
// product, since rounding is symmetric, and a zero +0. Which band holds the
// highest nonzero value is found afterwards from the spectrum.

// The long band each pair of lines lies in (band edges are even), by
// sampling index.
constexpr auto LONG_BAND_OF_PAIR = [] {
    std::array<std::array<std::int8_t, 288>, BAND_INDEX.size()> bands{};
    for (std::size_t si = 0; si < BAND_INDEX.size(); ++si)
        for (std::size_t band = 0; band < 22; ++band)
            for (auto line = static_cast<std::size_t>(BAND_INDEX[si].long_index[band]);
                 line < static_cast<std::size_t>(BAND_INDEX[si].long_index[band + 1]); line += 2)
                bands[si][line / 2] = static_cast<std::int8_t>(band);
    return bands;
}();

// Scaling a long block, band by band. The band edges are constants of the
// sampling rate, so each rate's loop over the 22 bands is laid out at
// compile time: a band is its gain and a fixed run of vector
// multiplications, with no test of where the band or a turn ends. A loop
// over band edges read from a table cost two or three such tests a band.

// One band's lines times `gain`, four a turn, then a pair (band edges are
// even).
template <std::size_t SI, std::size_t BAND>
__attribute__((always_inline)) inline void scale_band(float* line, float gain) {
    constexpr auto first = static_cast<std::size_t>(BAND_INDEX[SI].long_index[BAND]);
    constexpr auto last = static_cast<std::size_t>(BAND_INDEX[SI].long_index[BAND + 1]);
    static_assert((last - first) % 2 == 0);
    const Lanes four = {gain, gain, gain, gain};
    for (std::size_t at = first; at + 4 <= last; at += 4) {
        Lanes v;
        std::memcpy(&v, line + at, sizeof v);
        v *= four;
        std::memcpy(line + at, &v, sizeof v);
    }
    if constexpr ((last - first) % 4 != 0) {
        line[last - 2] *= gain;
        line[last - 1] *= gain;
    }
}

// Every band that begins below `end`, whole, up to the first that does not.
template <std::size_t SI, std::size_t... BANDS>
void scale_bands(float* line, std::size_t end, const ScaleFactors& scale_factors, const std::int32_t* pretab,
                 int shift, int gain_long, std::index_sequence<BANDS...>) {
    (void)((static_cast<std::size_t>(BAND_INDEX[SI].long_index[BANDS]) < end
                ? (scale_band<SI, BANDS>(line, gain_at(gain_long + ((scale_factors[BANDS] + pretab[BANDS]) << shift))),
                   true)
                : false) &&
           ...);
}

// Scales the lines of a long block below `end` by their bands' gains. The
// band `end` lies in is scaled whole: its lines from `end` on must be +0,
// and stay +0.
void scale_long(float* line, std::size_t end, const ScaleFactors& scale_factors, const GranuleInfo& granule,
                std::size_t si) {
    const std::int32_t* pretab = granule.preflag ? PRETAB.data() : NO_PRETAB.data();
    const int shift = 1 + static_cast<int>(granule.scalefac_scale & 1u);
    const int gain = granule.gain_long;
    constexpr auto bands = std::make_index_sequence<22>{};
    static_assert(BAND_INDEX.size() == 9);
    switch (si) {
        case 0: return scale_bands<0>(line, end, scale_factors, pretab, shift, gain, bands);
        case 1: return scale_bands<1>(line, end, scale_factors, pretab, shift, gain, bands);
        case 2: return scale_bands<2>(line, end, scale_factors, pretab, shift, gain, bands);
        case 3: return scale_bands<3>(line, end, scale_factors, pretab, shift, gain, bands);
        case 4: return scale_bands<4>(line, end, scale_factors, pretab, shift, gain, bands);
        case 5: return scale_bands<5>(line, end, scale_factors, pretab, shift, gain, bands);
        case 6: return scale_bands<6>(line, end, scale_factors, pretab, shift, gain, bands);
        case 7: return scale_bands<7>(line, end, scale_factors, pretab, shift, gain, bands);
        default: return scale_bands<8>(line, end, scale_factors, pretab, shift, gain, bands);
    }
}

// The quantised values of a long block are written only when the caller
// keeps them (KEEP): the analysis needs the spectrum alone, and leaving their
// loads and stores out of the loops below saves a tenth of the time.

// One pair read the general way (a long code or an escape) and written to
// lines `at` and `at + 1`.
template <bool KEEP>
inline void general_pair_at(BitStream& in, float* line, std::int16_t* quantised, const HuffmanTable& table,
                            std::size_t at) {
    if (in.valid < 47) in.refill();
    const SignedPair pair = general_pair(table, in.bits);
    in.skip(pair.used);
    for (std::size_t k = 0; k < 2; ++k) {
        const int v = pair.value[k];
        line[at + k] = signed_power(v);
        if constexpr (KEEP) quantised[at + k] = static_cast<std::int16_t>(v);
    }
}

// A fast entry's pairs written to lines `at` to `at + 3` (the second pair's
// two lines zeros when it holds one pair).
template <bool KEEP>
__attribute__((always_inline)) inline void put_entry(std::uint32_t entry, float* line, std::int16_t* quantised,
                                                     std::size_t at) {
    const std::size_t first = (entry >> 12) & 1023u;
    const std::size_t second = entry >> 22;
    const Lanes v = pair_powers(first, second);
    std::memcpy(line + at, &v, sizeof v);
    if constexpr (KEEP) {
        std::memcpy(quantised + at, PAIR_QUANTISED[first].q, 2 * sizeof(std::int16_t));
        std::memcpy(quantised + at + 2, PAIR_QUANTISED[second].q, 2 * sizeof(std::int16_t));
    }
}

// The `n` pairs of a region of a long block, from line `at` on; returns the
// line after the last. As decode_pairs, without the gain.
template <bool KEEP>
__attribute__((always_inline)) inline std::size_t decode_region_pairs(BitStream& stream, float* line, std::int16_t* quantised,
                                       const HuffmanTable& table, std::size_t at, std::uint32_t n) {
    BitStream in = stream;
    const std::uint32_t* fast = table.fast;
    if (in.valid < PAIR_FAST_BITS) in.refill();
    while (n >= 2) {
        // The window holds a whole entry's bits here, so the first entry is
        // looked up before the refill (whose bits arrive below them): the
        // refill stays out of the chain from one code to the next. Three
        // entries (36 bits) then leave at least 20 of the 56.
        std::uint32_t entry = fast[in.bits >> (64 - PAIR_FAST_BITS)];
        in.refill();
        for (int k = 0;;) {
            const std::uint32_t count = (entry >> 10) & 3u;
            if (count == 0) [[unlikely]] {
                general_pair_at<KEEP>(in, line, quantised, table, at);
                if (in.valid < PAIR_FAST_BITS) in.refill();
                at += 2;
                n -= 1;
                break;
            }
            in.skip(static_cast<int>(entry & 63u));
            put_entry<KEEP>(entry, line, quantised, at);
            at += 2 * count;
            n -= count;
            if (++k == 3 || n < 2) break;
            entry = fast[in.bits >> (64 - PAIR_FAST_BITS)];
        }
    }
    if (n == 1) {
        // The last pair of the region: an entry's first pair alone, or the general way.
        if (const std::size_t first = take_last_fast_pair(in, fast); first != NO_FAST_PAIR) {
            const TwoValues& v = PAIR_POWERS[first];
            line[at] = v.v[0];
            line[at + 1] = v.v[1];
            if constexpr (KEEP) std::memcpy(quantised + at, PAIR_QUANTISED[first].q, 2 * sizeof(std::int16_t));
        } else {
            general_pair_at<KEEP>(in, line, quantised, table, at);
        }
        at += 2;
    }
    stream = in;
    return at;
}

// Up to `quads` count1 quadruples of a long block from line `at` on, as long
// as each one's code and sign bits lie inside the budget; returns the line
// after the last taken. While two quadruples or more are left, an entry's
// eight values are all written: with one quadruple in it, its second is four
// zeros that the next overwrites, as in decode_region_pairs.
template <bool KEEP>
__attribute__((always_inline)) inline std::size_t decode_region_quads(BitStream& stream, float* line, std::int16_t* quantised,
                                       std::int32_t& budget, const Count1Table& table, std::size_t at,
                                       std::uint32_t quads) {
    BitStream in = stream;
    std::int32_t left = budget;
    const std::uint32_t* lookup = table.lookup;
    const std::size_t stop = at + 4 * quads;
    const auto put = [&](std::size_t values, std::size_t to) {
        Lanes four;
        std::memcpy(&four, QUAD_VALUES[values].v, sizeof four);
        std::memcpy(line + to, &four, sizeof four);
        if constexpr (KEEP) std::memcpy(quantised + to, QUAD_QUANTISED[values].q, 4 * sizeof(std::int16_t));
    };
    bool budget_ends = false;
    if (in.valid < COUNT1_BITS) in.refill();
    while (stop - at >= 8 && !budget_ends) {
        // As in decode_region_pairs, the first entry is looked up before the
        // refill; four entries of at most COUNT1_BITS bits leave at least 16
        // of the 56.
        std::uint32_t entry = lookup[in.bits >> (64 - COUNT1_BITS)];
        in.refill();
        for (int k = 0;;) {
            const auto length = static_cast<std::int32_t>(entry & 63u);
            if (length > left) {
                budget_ends = true;  // the budget ends in it: its first alone, below
                break;
            }
            put((entry >> 12) & 0xFFu, at);
            put(entry >> 20, at + 4);
            at += (entry >> 4) & 12u;  // four lines a quadruple
            left -= length;
            in.skip(length);
            if (++k == 4 || stop - at < 8) break;
            entry = lookup[in.bits >> (64 - COUNT1_BITS)];
        }
    }
    for (; at < stop; at += 4) {
        if (in.valid < COUNT1_BITS) in.refill();
        const std::uint32_t entry = lookup[in.bits >> (64 - COUNT1_BITS)];
        const auto length = static_cast<std::int32_t>((entry >> 8) & 15u);
        if (length > left) break;
        put((entry >> 12) & 0xFFu, at);
        left -= length;
        in.skip(length);
    }
    stream = in;
    budget = left;
    return at;
}

// The line after the last nonzero value below `end`, 0 when there is none.
// Read from the floats, which the quantised values may not be kept beside: a
// value is nonzero exactly when its line is, since every gain is a normal
// float, every 4/3 power of a nonzero value at least 1, and a zero is
// written as +0, all of whose bits are 0.
std::size_t after_last_nonzero(const float* line, std::size_t end) {
    while (end >= 4) {
        std::uint64_t two[2];
        std::memcpy(two, line + end - 4, sizeof two);
        if ((two[0] | two[1]) != 0) break;
        end -= 4;
    }
    while (end > 0 && std::bit_cast<std::uint32_t>(line[end - 1]) == 0) --end;
    return end;
}

// The stream that reads on from a position of the shared reader's buffer.
BitStream stream_at(std::int64_t position) {
    BitStream in{bit_reader.buffer_begin, static_cast<std::int64_t>(bit_reader.buffer_size), position >> 3};
    in.refill();
    in.skip(static_cast<int>(position & 7));
    return in;
}

// Leaves the reader exactly part2_3_length bits after the scale factors
// began: `budget` is what is left of them. 1, after the message, when the
// granule used more.
int leave_granule(std::int32_t budget) {
    if (budget >= 0) {
        bit_reader_skip(budget);
        return 0;
    }
    dec_message(MESSAGE_STDERR, "Can't rewind stream by %d bits!\n", -budget);
    return 1;
}

// A long block (block_type 0, 1 or 3) being decoded: the regions of big
// values, then the count1 quadruples, each in one loop over lines, then the
// gains. Its stream reads on from `position` and is left where its
// values end; its budget is what is left of part2_3_length then.
struct LongBlock {
    float* line;
    std::int16_t* quantised;  // written only when kept
    GranuleInfo& granule;
    const ScaleFactors& scale_factors;
    std::size_t si;
    std::int32_t budget;
    std::int64_t big_values_start;
    BitStream in;
    std::array<std::uint32_t, 3> region_length;
    std::size_t region = 0;                // next region to enter
    const HuffmanTable* table = nullptr;   // the current region's
    std::uint32_t pairs = 0;               // pairs left in the current region
    std::size_t at = 0;                    // next line
};

LongBlock start_long(float* line, std::int16_t* quantised, const ScaleFactors& scale_factors, GranuleInfo& granule,
                     int sampling_index, int part2_bits, std::int64_t position) {
    return LongBlock{line,
                     quantised,
                     granule,
                     scale_factors,
                     static_cast<std::size_t>(sampling_index),
                     static_cast<std::int32_t>(granule.part2_3_length) - part2_bits,
                     position,
                     stream_at(position),
                     region_lengths(granule)};
}

// Moves on to the next region that reads bits; false when none is left.
// Regions of tables 0, 4 and 14, which have no codes, are all zeros and read
// no bit.
template <bool KEEP>
__attribute__((always_inline)) inline bool enter_region(LongBlock& b) {
    while (b.region < 3) {
        const std::uint32_t pairs = b.region_length[b.region];
        const HuffmanTable& table = pair_tables[b.granule.table_select[b.region] & 31u];
        ++b.region;
        if (pairs == 0) continue;
        if (table.fast == nullptr) {
            std::fill_n(b.line + b.at, 2 * pairs, 0.0f);
            if constexpr (KEEP) std::fill_n(b.quantised + b.at, 2 * pairs, std::int16_t{0});
            b.at += 2 * pairs;
            continue;
        }
        b.table = &table;
        b.pairs = pairs;
        return true;
    }
    return false;
}

// The rest of the current region, alone.
template <bool KEEP>
__attribute__((always_inline)) inline void finish_region(LongBlock& b) {
    if (b.pairs > 0) b.at = decode_region_pairs<KEEP>(b.in, b.line, b.quantised, *b.table, b.at, b.pairs);
    b.pairs = 0;
}

// The current regions of two blocks in one loop, entry by entry, until one
// of them has fewer than two pairs left. The two streams are independent, so
// the chain of one (table read, shift, next table read) runs while the other
// waits for its own: together they take less time than one after the other.
template <bool KEEP>
void decode_two_regions(LongBlock& x, LongBlock& y) {
    BitStream a = x.in;
    BitStream b = y.in;
    std::size_t at_a = x.at;
    std::size_t at_b = y.at;
    std::uint32_t na = x.pairs;
    std::uint32_t nb = y.pairs;
    const std::uint32_t* fast_a = x.table->fast;
    const std::uint32_t* fast_b = y.table->fast;
    if (a.valid < PAIR_FAST_BITS) a.refill();
    if (b.valid < PAIR_FAST_BITS) b.refill();
    while (na >= 2 && nb >= 2) {
        // An entry takes at most two pairs: this many leave both at least
        // two before each. The first entries are looked up before the
        // refills, as in decode_region_pairs.
        const std::uint32_t entries = std::min({3u, na / 2, nb / 2});
        std::uint32_t ea = fast_a[a.bits >> (64 - PAIR_FAST_BITS)];
        std::uint32_t eb = fast_b[b.bits >> (64 - PAIR_FAST_BITS)];
        a.refill();
        b.refill();
        for (std::uint32_t k = 0;;) {
            const std::uint32_t ca = (ea >> 10) & 3u;
            const std::uint32_t cb = (eb >> 10) & 3u;
            if ((ca == 0) | (cb == 0)) [[unlikely]] {
                // The general way for whichever needs it; the other's entry is
                // read again at the top.
                if (ca == 0) {
                    general_pair_at<KEEP>(a, x.line, x.quantised, *x.table, at_a);
                    at_a += 2;
                    na -= 1;
                }
                if (cb == 0) {
                    general_pair_at<KEEP>(b, y.line, y.quantised, *y.table, at_b);
                    at_b += 2;
                    nb -= 1;
                }
                if (a.valid < PAIR_FAST_BITS) a.refill();
                if (b.valid < PAIR_FAST_BITS) b.refill();
                break;
            }
            a.skip(static_cast<int>(ea & 63u));
            b.skip(static_cast<int>(eb & 63u));
            put_entry<KEEP>(ea, x.line, x.quantised, at_a);
            put_entry<KEEP>(eb, y.line, y.quantised, at_b);
            at_a += 2 * ca;
            at_b += 2 * cb;
            na -= ca;
            nb -= cb;
            if (++k == entries) break;
            ea = fast_a[a.bits >> (64 - PAIR_FAST_BITS)];
            eb = fast_b[b.bits >> (64 - PAIR_FAST_BITS)];
        }
    }
    x.in = a;
    y.in = b;
    x.at = at_a;
    y.at = at_b;
    x.pairs = na;
    y.pairs = nb;
}

// After the big values: the count1 quadruples while the budget lasts, zeros
// above, and how far up the nonzero values reach. The stream is left where
// decoding stopped.
template <bool KEEP>
__attribute__((always_inline)) inline void finish_long(LongBlock& b) {
    BitStream in = b.in;
    float* const line = b.line;
    std::int16_t* const quantised = b.quantised;
    GranuleInfo& granule = b.granule;
    std::int32_t budget = b.budget;
    std::size_t at = b.at;
    // Big values are decoded in full whatever the budget says, and pay for
    // exactly the bits they took.
    budget -= static_cast<std::int32_t>(in.position() - b.big_values_start);

    // Count1 quadruples, while the budget lasts: it may end inside a code (the
    // bits up to it are read and the quadruple counts as four zeros) or before
    // a sign bit (the values before it stand); either way decoding stops there.
    std::uint32_t quad_limit = (288 - std::min<std::uint32_t>(granule.big_values, 288)) >> 1;
    std::size_t noted = 0;  // one past a value whose sign bit the budget cut off
    if (quad_limit > 0 && budget > 0) {
        const Count1Table& count1 = count1_tables[granule.count1table_select & 1u];
        const std::size_t end = decode_region_quads<KEEP>(in, line, quantised, budget, count1, at, quad_limit);
        quad_limit -= static_cast<std::uint32_t>((end - at) / 4);
        at = end;
    }
    if (quad_limit > 0 && budget > 0) {
        // The quadruple the budget ends in, value by value.
        const HuffmanTable& quad_table = quad_tables[granule.count1table_select & 1u];
        if (in.valid < 6 + 4) in.refill();
        const std::uint64_t window = in.bits;
        const HuffmanCode code = huffman_lookup(quad_table, window);
        int used = std::min(code.length, budget);
        const int leaf = code.length > budget ? 0 : code.value;  // a cut code counts as four zeros
        budget -= used;
        for (int k = 0; k < 4; ++k) {
            float value = 0.0f;
            std::int16_t q = 0;
            if (leaf & (8 >> k)) {
                noted = at + 1;
                if (budget == 0) break;  // this value and the rest of the quadruple stay zero
                --budget;
                const std::uint32_t negative = window_bit(window, used++);
                value = with_sign(1.0f, negative);
                q = negative ? -1 : 1;
            }
            line[at] = value;
            if constexpr (KEEP) quantised[at] = q;
            ++at;
        }
        in.skip(used);
    }

    // Everything not decoded is zero.
    if constexpr (KEEP) std::fill(quantised + at, quantised + 576, std::int16_t{0});
    std::fill(line + at, line + 576, 0.0f);
    granule.spectrum_end = static_cast<std::uint32_t>(at);

    // How far up the nonzero values reach: the band of the highest one. Read
    // before the scaling, which leaves zeros +0 and every other value
    // nonzero; the bands above it hold only zeros and need no scaling.
    const std::size_t top = std::max(after_last_nonzero(line, at), noted);
    scale_long(line, top, b.scale_factors, granule, b.si);
    const int band = top > 0 ? LONG_BAND_OF_PAIR[b.si][(top - 1) / 2] : -1;
    granule.long_band_end = static_cast<std::uint32_t>(band + 1);
    granule.subband_end = static_cast<std::uint32_t>(LONG_BAND_LIMIT[b.si][granule.long_band_end]);
    b.in = in;
    b.budget = budget;
    b.at = at;
}

// A long block whose big values start at `position`, decoded in full, its
// quantised values kept in quantised_buffer when KEEP: where its values end
// and what is left of its budget. The shared reader is not touched. Always
// inlined: left to the compiler, it cost the 32 kbit/s decode 2 %.
template <bool KEEP>
__attribute__((always_inline)) inline LongBlockEnd decode_long(std::span<float, 576> spectrum,
                                                               const ScaleFactors& scale_factors, GranuleInfo& granule,
                                                               int sampling_index, int part2_bits,
                                                               std::int64_t position) {
    std::int16_t* const quantised = KEEP ? quantised_buffer.data() : nullptr;
    granule.quantised_values = quantised;
    LongBlock b = start_long(spectrum.data(), quantised, scale_factors, granule, sampling_index, part2_bits, position);
    while (enter_region<KEEP>(b)) finish_region<KEEP>(b);
    finish_long<KEEP>(b);
    return {b.in.position(), b.budget};
}

// A short or mixed block (block_type 2): band run by band run, the runs
// jumping between the windows, with the quantised values always written.
int requantise_short(std::span<float, 576> spectrum, const ScaleFactors& scale_factors, GranuleInfo& granule,
                     int sampling_index, int part2_bits) {
    const int shift = 1 + static_cast<int>(granule.scalefac_scale & 1u);
    std::int32_t budget = static_cast<std::int32_t>(granule.part2_3_length) - part2_bits;
    granule.quantised_values = quantised_buffer.data();
    std::int16_t* quantised = quantised_buffer.data();

    const std::array<std::uint32_t, 3> region_length = region_lengths(granule);
    std::uint32_t quad_limit = (288 - std::min<std::uint32_t>(granule.big_values, 288)) >> 1;

    const bool mixed = granule.mixed_block_flag != 0;
    BandWalk walk{granule, scale_factors, BAND_MAP[static_cast<std::size_t>(sampling_index)], shift, mixed};
    if (mixed)
        walk.tracker = {2, 2, 2, -1};  // short bands of a mixed block begin at band 3
    else
        walk.tracker = {-1, -1, -1, -1};
    // The runs jump between windows: the spectrum is cleared first.
    std::fill(spectrum.begin(), spectrum.end(), 0.0f);

    // Big values: decoded in full whatever the budget says, band run by band
    // run, so that the gain and the write position stay in registers.
    const std::int64_t big_values_start = bit_reader_position();
    BitStream in = stream_at(big_values_start);
    for (int region = 0; region < 2; ++region) {
        const HuffmanTable& table = pair_tables[granule.table_select[static_cast<std::size_t>(region)] & 31u];
        std::uint32_t left = region_length[static_cast<std::size_t>(region)];
        while (left > 0) {
            if (walk.pairs_left == 0) walk.enter();
            const std::uint32_t pairs = std::min(left, static_cast<std::uint32_t>(walk.pairs_left));
            walk.pairs_left -= static_cast<int>(pairs);
            left -= pairs;
            const int step = walk.step;
            if (table.fast == nullptr) {
                // Tables 0, 4 and 14 have no codes: every pair is two zeros
                // and reads no bit.
                int position = walk.position;
                for (std::uint32_t n = 2 * pairs; n > 0; --n) {
                    spectrum[static_cast<std::size_t>(position)] = 0.0f;
                    *quantised++ = 0;
                    position += step;
                }
                walk.position = position;
                continue;
            }
            Output out{spectrum.data() + walk.position, quantised, 0};
            if (step == 1)
                decode_pairs<1>(in, out, table, walk.gain, pairs);
            else
                decode_pairs<3>(in, out, table, walk.gain, pairs);
            quantised = out.quantised;
            // Every value of this run lies in the same band and window.
            if (out.nonzero != 0) walk.note();
            walk.position = static_cast<int>(out.line - spectrum.data());
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
            Output out{spectrum.data() + walk.position, quantised, 0};
            const std::uint32_t done = walk.step == 1
                                           ? decode_quads<1>(in, out, budget, count1, walk.gain, run_quads)
                                           : decode_quads<3>(in, out, budget, count1, walk.gain, run_quads);
            quantised = out.quantised;
            if (out.nonzero != 0) walk.note();
            walk.pairs_left -= static_cast<int>(2 * done);
            walk.position = static_cast<int>(out.line - spectrum.data());
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
    bit_reader_seek(in.position());

    // Everything not decoded is zero.
    std::fill(quantised, quantised_buffer.data() + quantised_buffer.size(), std::int16_t{0});
    granule.spectrum_end = 576;

    // How far up the nonzero values reach, window by window.
    const auto si = static_cast<std::size_t>(sampling_index);
    for (std::size_t w = 0; w < 3; ++w) granule.short_band_end[w] = static_cast<std::uint32_t>(walk.tracker[w] + 1);
    granule.long_band_end = static_cast<std::uint32_t>(walk.tracker[3] + 1);
    const int r = std::max({walk.tracker[0], walk.tracker[1], walk.tracker[2]}) + 1;
    granule.subband_end = static_cast<std::uint32_t>(r != 0 ? SHORT_BAND_LIMIT[si][static_cast<std::size_t>(r)]
                                                            : LONG_BAND_LIMIT[si][granule.long_band_end]);
    return leave_granule(budget);
}

}  // namespace

int layer3_huffman_requantise(std::span<float, 576> spectrum, const ScaleFactors& scale_factors,
                              GranuleInfo& granule, int sampling_index, int part2_bits, QuantisedValues keep) {
    if (granule.block_type == 2) {
        const int result = requantise_short(spectrum, scale_factors, granule, sampling_index, part2_bits);
        if (keep == QuantisedValues::drop) granule.quantised_values = nullptr;
        return result;
    }
    const std::int64_t position = bit_reader_position();
    return layer3_huffman_leave(
        keep == QuantisedValues::keep
            ? decode_long<true>(spectrum, scale_factors, granule, sampling_index, part2_bits, position)
            : decode_long<false>(spectrum, scale_factors, granule, sampling_index, part2_bits, position));
}

void layer3_huffman_requantise_two(std::array<LongBlockInput, 2> blocks, int sampling_index,
                                   std::array<LongBlockEnd, 2>& ends) {
    LongBlock x = start_long(blocks[0].spectrum.data(), nullptr, blocks[0].scale_factors, blocks[0].granule, sampling_index,
                             blocks[0].part2_bits, blocks[0].position);
    LongBlock y = start_long(blocks[1].spectrum.data(), nullptr, blocks[1].scale_factors, blocks[1].granule, sampling_index,
                             blocks[1].part2_bits, blocks[1].position);
    x.granule.quantised_values = nullptr;
    y.granule.quantised_values = nullptr;
    bool in_x = enter_region<false>(x);
    bool in_y = enter_region<false>(y);
    while (in_x && in_y) {
        decode_two_regions<false>(x, y);
        if (x.pairs < 2) {
            finish_region<false>(x);
            in_x = enter_region<false>(x);
        }
        if (y.pairs < 2) {
            finish_region<false>(y);
            in_y = enter_region<false>(y);
        }
    }
    for (LongBlock* b : {&x, &y}) {
        if (b == &x ? in_x : in_y) {
            do finish_region<false>(*b);
            while (enter_region<false>(*b));
        }
        finish_long<false>(*b);
    }
    ends = {LongBlockEnd{x.in.position(), x.budget}, LongBlockEnd{y.in.position(), y.budget}};
}

LongBlockEnd layer3_huffman_requantise_at(const LongBlockInput& block, int sampling_index) {
    return decode_long<false>(block.spectrum, block.scale_factors, block.granule, sampling_index, block.part2_bits,
                              block.position);
}

int layer3_huffman_leave(const LongBlockEnd& end) {
    bit_reader_seek(end.position);
    return leave_granule(end.budget);
}

int layer3_huffman_skip(GranuleInfo& granule, int part2_bits) {
    std::int32_t budget = static_cast<std::int32_t>(granule.part2_3_length) - part2_bits;
    const std::array<std::uint32_t, 3> region_length = region_lengths(granule);
    const std::int64_t big_values_start = bit_reader_position();
    BitStream in = stream_at(big_values_start);
    const int regions = granule.block_type == 2 ? 2 : 3;
    for (int region = 0; region < regions; ++region) {
        const HuffmanTable& table = pair_tables[granule.table_select[static_cast<std::size_t>(region)] & 31u];
        const std::uint32_t pairs = region_length[static_cast<std::size_t>(region)];
        if (table.fast == nullptr || pairs == 0) continue;
        const std::uint32_t select = granule.table_select[static_cast<std::size_t>(region)] & 31u;
        if (const std::uint16_t* lengths = length_tables.find(select, pairs))
            skip_pairs_by_length(in, table, lengths, pairs);
        else
            skip_pairs(in, table, pairs);
    }
    budget -= static_cast<std::int32_t>(in.position() - big_values_start);
    bit_reader_seek(in.position());

    // Nothing decoded: every line is zero.
    granule.quantised_values = NO_QUANTISED.data();
    granule.spectrum = NO_SPECTRUM.data();
    granule.spectrum_end = 0;
    granule.short_band_end = {0, 0, 0};
    granule.long_band_end = 0;
    granule.subband_end = 0;
    // The count1 quadruples stop where the budget ends and the reader is
    // left at that end anyway: with nothing to decode, they need no reading.
    return leave_granule(budget);
}

void layer3_huffman_skip_tables(SkipTables mode) { length_tables.mode = mode; }
