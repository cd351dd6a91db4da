// The decoder's Huffman stage and computed tables as they were before the
// lookup tables, the word-wide bit reader and the generated tables: the
// reference for fuzz_huffman_differential.
#include "fuzz/reference_huffman.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "decoder/common/bit_reader.h"
#include "decoder/common/messages.h"
#include "decoder/tables/decoder_tables.h"
#include "decoder/tables/layer3_tables.h"

namespace reference {
namespace {

std::array<float, GAIN_MAX - GAIN_MIN + 1> REF_GAIN_TABLE_STORAGE{};
std::array<float, POW43_SIZE> REF_POW43_TABLE{};
std::array<BandMap, 9> REF_BAND_MAP{};
std::array<std::array<std::int32_t, 23>, 9> REF_LONG_BAND_LIMIT{};
std::array<std::array<std::int32_t, 14>, 9> REF_SHORT_BAND_LIMIT{};
std::array<std::uint32_t, 512> REF_LSF_SLEN_NORMAL{};
std::array<std::uint32_t, 256> REF_LSF_SLEN_INTENSITY{};

float ref_gain_at(int position) { return REF_GAIN_TABLE_STORAGE[static_cast<std::size_t>(position - GAIN_MIN)]; }

// The byte-wise reads: two or three bytes per call, zeros outside the buffer.
std::uint32_t ref_bits_read(int n) {
    if (n == 0) return 0;
    const std::uint8_t* p = bit_reader.byte_pointer;
    std::uint32_t w = (bit_reader_byte_at(p) << 16) | (bit_reader_byte_at(p + 1) << 8) | bit_reader_byte_at(p + 2);
    w = (w << bit_reader.bit_index) & 0xFFFFFFu;
    bit_reader.bit_index += n;
    bit_reader.byte_pointer += bit_reader.bit_index >> 3;
    bit_reader.bit_index &= 7;
    return w >> (24 - n);
}

std::uint32_t ref_bits_read_one() {
    const std::uint32_t w = (bit_reader_byte_at(bit_reader.byte_pointer) << bit_reader.bit_index) & 0xFFu;
    bit_reader.bit_index += 1;
    bit_reader.byte_pointer += bit_reader.bit_index >> 3;
    bit_reader.bit_index &= 7;
    return w >> 7;
}


std::uint32_t slen_word(unsigned a, unsigned b, unsigned c, unsigned d, unsigned row,
                        unsigned preflag) {
    return a | (b << 3) | (c << 6) | (d << 9) | (row << 12) | (preflag << 15);
}

// Short band runs for bands first..12, three windows each, from line `start`.
int append_short_runs(std::array<BandRun, 39>& runs, int count, const BandIndex& bands,
                      int first, int start) {
    for (int b = first; b <= 12; ++b) {
        const int w = bands.short_width[static_cast<std::size_t>(b)] >> 1;
        for (int window = 0; window < 3; ++window)
            runs[static_cast<std::size_t>(count++)] = {w, start + window, window, b};
        start += 6 * w;
    }
    return count;
}

void build_band_map(int j) {
    const BandIndex& bands = BAND_INDEX[static_cast<std::size_t>(j)];
    BandMap& map = REF_BAND_MAP[static_cast<std::size_t>(j)];

    // A mixed block has long bands up to the line where short band 3 begins:
    // eight bands at 32 kHz and above, six at the lower rates.
    const int long_bands = j < 3 ? 8 : 6;
    int start = 0;
    int count = 0;
    for (int b = 0; b < long_bands; ++b) {
        const int width = bands.long_width[static_cast<std::size_t>(b)];
        map.mixed[static_cast<std::size_t>(count++)] = {width >> 1, start, 3, b};
        start += width;
    }
    map.mixed_end = append_short_runs(map.mixed, count, bands, 3, start);
    map.short_end = append_short_runs(map.short_runs, 0, bands, 0, 0);
    for (int b = 0; b < 22; ++b)
        map.long_runs[static_cast<std::size_t>(b)] = {bands.long_width[static_cast<std::size_t>(b)] >> 1, b};
}

void build_tables(int subband_limit) {
    for (int i = GAIN_MIN; i <= GAIN_MAX; ++i)
        REF_GAIN_TABLE_STORAGE[static_cast<std::size_t>(i - GAIN_MIN)] =
            static_cast<float>(std::pow(2.0, -0.25 * (i + 210)));
    for (int i = 0; i < POW43_SIZE; ++i)
        REF_POW43_TABLE[static_cast<std::size_t>(i)] = static_cast<float>(std::pow(static_cast<double>(i), 4.0 / 3.0));

    for (int j = 0; j < 9; ++j) {
        build_band_map(j);
        const BandIndex& bands = BAND_INDEX[static_cast<std::size_t>(j)];
        for (std::size_t k = 0; k < 23; ++k) {
            const int limit = (bands.long_index[k] + 7) / 18 + 1;
            REF_LONG_BAND_LIMIT[static_cast<std::size_t>(j)][k] = limit > subband_limit ? subband_limit : limit;
        }
        for (std::size_t k = 0; k < 14; ++k) {
            const int limit = (bands.short_index[k] - 1) / 18 + 1;
            REF_SHORT_BAND_LIMIT[static_cast<std::size_t>(j)][k] = limit > subband_limit ? subband_limit : limit;
        }
    }

    for (unsigned a = 0; a < 5; ++a)
        for (unsigned b = 0; b < 5; ++b)
            for (unsigned c = 0; c < 4; ++c)
                for (unsigned d = 0; d < 4; ++d)
                    REF_LSF_SLEN_NORMAL[80 * a + 16 * b + 4 * c + d] = slen_word(a, b, c, d, 0, 0);
    for (unsigned a = 0; a < 5; ++a)
        for (unsigned b = 0; b < 5; ++b)
            for (unsigned c = 0; c < 4; ++c)
                REF_LSF_SLEN_NORMAL[400 + 20 * a + 4 * b + c] = slen_word(a, b, c, 0, 1, 0);
    for (unsigned a = 0; a < 4; ++a)
        for (unsigned b = 0; b < 3; ++b)
            REF_LSF_SLEN_NORMAL[500 + 3 * a + b] = slen_word(a, b, 0, 0, 2, 1);

    for (unsigned a = 0; a < 5; ++a)
        for (unsigned b = 0; b < 6; ++b)
            for (unsigned c = 0; c < 6; ++c)
                REF_LSF_SLEN_INTENSITY[36 * a + 6 * b + c] = slen_word(a, b, c, 0, 3, 0);
    for (unsigned a = 0; a < 4; ++a)
        for (unsigned b = 0; b < 4; ++b)
            for (unsigned c = 0; c < 4; ++c)
                REF_LSF_SLEN_INTENSITY[180 + 16 * a + 4 * b + c] = slen_word(a, b, c, 0, 4, 0);
    for (unsigned a = 0; a < 4; ++a)
        for (unsigned b = 0; b < 3; ++b)
            REF_LSF_SLEN_INTENSITY[244 + 3 * a + b] = slen_word(a, b, 0, 0, 5, 0);
}

template <typename T>
bool same_bytes(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Pre-emphasis of the long bands, added to their scale factors when preflag is set.
constexpr std::array<std::int32_t, 22> PRETAB = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                 1, 1, 1, 1, 2, 2, 3, 3, 3, 2, 0};
constexpr std::array<std::int32_t, 22> NO_PRETAB{};

inline int walk_tree(const std::int16_t* tree, std::int32_t& budget) {
    int i = 0;
    while (tree[i] < 0) {
        const int k = -tree[i];
        --budget;
        i = ref_bits_read_one() ? i + 1 + k : i + 1;
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
            gain = ref_gain_at(granule.gain_long + ((sf + pretab[static_cast<std::size_t>(band)]) << shift));
            return;
        }
        const BandRun& r = mixed ? map.mixed[static_cast<std::size_t>(run++)]
                                 : map.short_runs[static_cast<std::size_t>(run++)];
        pairs_left = r.pair_count;
        band = r.band;
        window = r.window;
        position = r.first_line;
        if (window == 3) {
            gain = ref_gain_at(granule.gain_long + (sf << shift));
            step = 1;
        } else {
            gain = ref_gain_at(granule.gain_short[static_cast<std::size_t>(window)] + (sf << shift));
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

int huffman_requantise(std::span<float, 576> spectrum, std::span<std::int16_t, 576> quantised_buffer,
                       const ScaleFactors& scale_factors, GranuleInfo& granule, int sampling_index,
                       int part2_bits) {
    const int shift = 1 + static_cast<int>(granule.scalefac_scale & 1u);
    std::int32_t budget = static_cast<std::int32_t>(granule.part2_3_length) - part2_bits;
    std::fill(quantised_buffer.begin(), quantised_buffer.end(), std::int16_t{0});
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
    BandWalk walk{granule,    scale_factors, REF_BAND_MAP[static_cast<std::size_t>(sampling_index)],
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
                        c += static_cast<int>(ref_bits_read(static_cast<int>(table.linbits)));
                    } else {
                        budget -= 1;
                    }
                    const float magnitude = REF_POW43_TABLE[static_cast<std::size_t>(c)] * walk.gain;
                    const bool negative = ref_bits_read_one() != 0;
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
            i = ref_bits_read_one() ? i + 1 - quad_tree[i] : i + 1;
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
                const bool negative = ref_bits_read_one() != 0;
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
            r != 0 ? REF_SHORT_BAND_LIMIT[si][static_cast<std::size_t>(r)]
                   : REF_LONG_BAND_LIMIT[si][granule.long_band_end]);
    } else {
        granule.long_band_end = static_cast<std::uint32_t>(walk.tracker[3] + 1);
        granule.subband_end = static_cast<std::uint32_t>(REF_LONG_BAND_LIMIT[si][granule.long_band_end]);
    }

    // Leave the reader exactly part2_3_length bits after the scale factors began.
    while (budget > 16) {
        ref_bits_read(16);
        budget -= 16;
    }
    if (budget > 0) {
        ref_bits_read(budget);
        return 0;
    }
    if (budget == 0) return 0;
    dec_message(MESSAGE_STDERR, "Can't rewind stream by %d bits!\n", -budget);
    return 1;
}

namespace {

// A code of `tree` read from bit `at` of the `width`-bit index (first bit
// most significant): its leaf value and the bits used, or -1 when the code
// runs past the index.
struct TreeCode {
    int value;
    int end;
};
TreeCode walk_tree(const std::int16_t* tree, std::uint32_t index, int width, int at) {
    std::size_t node = 0;
    while (tree[node] < 0) {
        if (at >= width) return {-1, at};
        const std::uint32_t bit = (index >> (width - 1 - at)) & 1u;
        ++at;
        node = bit ? node + 1 + static_cast<std::size_t>(-tree[node]) : node + 1;
    }
    return {tree[node], at};
}

// One pair with its sign bits from bit `at`: signed values and the end, or
// end -1 when it runs past the index or takes escape bits.
struct IndexPair {
    int value[2];
    int end;
};
IndexPair pair_in_index(const HuffmanTable& table, std::uint32_t index, int width, int at) {
    const TreeCode code = walk_tree(table.tree, index, width, at);
    IndexPair pair{{code.value >> 4, code.value & 15}, code.end};
    if (code.value < 0) return {{0, 0}, -1};
    for (int& v : pair.value) {
        if (v == 15 && table.linbits != 0) return {{0, 0}, -1};
        if (v == 0) continue;
        if (pair.end >= width) return {{0, 0}, -1};
        if ((index >> (width - 1 - pair.end)) & 1u) v = -v;
        ++pair.end;
    }
    return pair;
}

// The fast pair entries of every pair table, worked out from the code trees
// one index at a time; true when all equal the generated ones.
bool fast_tables_match() {
    for (const HuffmanTable& table : pair_tables) {
        if (table.fast == nullptr) {
            if (table.first_bits != 0) return false;
            continue;
        }
        for (std::uint32_t index = 0; index < (1u << PAIR_FAST_BITS); ++index) {
            const IndexPair first = pair_in_index(table, index, PAIR_FAST_BITS, 0);
            std::uint32_t expected = 0;
            if (first.end >= 0) {
                IndexPair second = pair_in_index(table, index, PAIR_FAST_BITS, first.end);
                const std::uint32_t count = second.end >= 0 ? 2 : 1;
                if (second.end < 0) second = {{0, 0}, first.end};
                expected = count << 10 | static_cast<std::uint32_t>(first.end) << 6 |
                           static_cast<std::uint32_t>(second.end);
                const int values[4] = {first.value[0], first.value[1], second.value[0], second.value[1]};
                for (int k = 0; k < 4; ++k) expected |= static_cast<std::uint32_t>(values[k] + 15) << (12 + 5 * k);
            }
            if (table.fast[index] != expected) return false;
        }
    }
    return true;
}

// The values behind the fields of fast pair and count1 entries, from the
// run-time powers.
bool value_tables_match() {
    for (std::uint32_t i = 0; i < 1024; ++i) {
        for (int k = 0; k < 2; ++k) {
            const int field = static_cast<int>((i >> (5 * k)) & 31u);
            const int v = field == 31 ? 0 : field - 15;
            const float power = REF_POW43_TABLE[static_cast<std::size_t>(v < 0 ? -v : v)];
            const float expected = v < 0 ? -power : power;
            if (std::memcmp(&PAIR_POWERS[i].v[k], &expected, sizeof expected) != 0) return false;
            if (PAIR_QUANTISED[i].q[k] != v) return false;
        }
    }
    for (std::uint32_t i = 0; i < 256; ++i) {
        for (int k = 0; k < 4; ++k) {
            const std::uint32_t field = (i >> (2 * k)) & 3u;
            const int v = field == 1 ? 1 : field == 2 ? -1 : 0;
            const float expected = static_cast<float>(v);
            if (std::memcmp(&QUAD_VALUES[i].v[k], &expected, sizeof expected) != 0) return false;
            if (QUAD_QUANTISED[i].q[k] != v) return false;
        }
    }
    return true;
}

}  // namespace

int build_tables_and_compare() {
    build_tables(32);
    if (!same_bytes(REF_GAIN_TABLE_STORAGE, GAIN_TABLE_STORAGE)) return 1;
    if (!same_bytes(REF_POW43_TABLE, POW43_TABLE)) return 2;
    if (!same_bytes(REF_BAND_MAP, BAND_MAP)) return 3;
    if (!same_bytes(REF_LONG_BAND_LIMIT, LONG_BAND_LIMIT)) return 4;
    if (!same_bytes(REF_SHORT_BAND_LIMIT, SHORT_BAND_LIMIT)) return 5;
    if (!same_bytes(REF_LSF_SLEN_NORMAL, LSF_SLEN_NORMAL)) return 6;
    if (!same_bytes(REF_LSF_SLEN_INTENSITY, LSF_SLEN_INTENSITY)) return 7;
    if (!fast_tables_match()) return 8;
    if (!value_tables_match()) return 9;
    return 0;
}

}  // namespace reference
