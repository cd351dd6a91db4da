// The decoder's computed tables: gains, the 4/3 power, the band walks of the
// requantiser, subband limits and the packed LSF scale-factor length words.
// tools/gen_layer3_tables.py computes them once, with the formulas given at
// each table, into computed_tables.cpp: they are constant data of the
// program, ready before any decoder starts and shared by every thread without
// any initialisation to wait for.
#pragma once

#include <array>
#include <cstdint>

// GAIN_TABLE holds 2^(-(i + 210) / 4) for positions i from GAIN_MIN to GAIN_MAX.
// The second channel of an LSF intensity-stereo frame with 5-bit scale factors
// and a small global_gain reaches position 182, so the table runs beyond it.
// Each entry is pow(2.0, -0.25 * (i + 210)) in double precision rounded to float.
inline constexpr int GAIN_MIN = -256;
inline constexpr int GAIN_MAX = 255;
extern const std::array<float, GAIN_MAX - GAIN_MIN + 1> GAIN_TABLE_STORAGE;

inline float gain_at(int position) {
    return GAIN_TABLE_STORAGE[static_cast<std::size_t>(position - GAIN_MIN)];
}

// POW43_TABLE[q] = q^(4/3), from pow in double precision rounded to float.
inline constexpr int POW43_SIZE = 8207;  // 15 + 2^13 - 1 is the largest magnitude
extern const std::array<float, POW43_SIZE> POW43_TABLE;
// The values of a fast Huffman entry's pair, by its two 5-bit fields (each a
// signed value plus 15; index x_field + 32 * y_field): PAIR_POWERS holds
// v^(4/3) with the sign of v (the entries of POW43_TABLE, negated for negative
// v) ready to be scaled by a band's gain, PAIR_QUANTISED the values themselves.
// Field 31 is no value and gives 0.
struct alignas(8) TwoValues {
    float v[2];
};
struct alignas(4) TwoQuantised {
    std::int16_t q[2];
};
extern const std::array<TwoValues, 1024> PAIR_POWERS;
extern const std::array<TwoQuantised, 1024> PAIR_QUANTISED;

// The values of a count1 entry, by its four 2-bit fields (the first in bits
// 0-1; 0 zero, 1 plus one, 2 minus one, 3 no value and 0): as floats ready to
// be scaled by a band's gain, and as quantised values.
struct alignas(16) FourValues {
    float v[4];
};
struct alignas(8) FourQuantised {
    std::int16_t q[4];
};
extern const std::array<FourValues, 256> QUAD_VALUES;
extern const std::array<FourQuantised, 256> QUAD_QUANTISED;

// One run of a short or mixed band walk.
struct BandRun {
    std::int32_t pair_count;
    std::int32_t first_line;
    std::int32_t window;  // 0..2 short window, 3 long band
    std::int32_t band;
};
struct LongRun {
    std::int32_t pair_count;
    std::int32_t band;
};

struct BandMap {
    std::array<BandRun, 39> mixed;
    std::int32_t mixed_end;  // number of runs in `mixed`
    std::array<BandRun, 39> short_runs;
    std::int32_t short_end;
    std::array<LongRun, 22> long_runs;
};
// Per sampling index: mixed runs (long bands 0-7 at 32 kHz and above, 0-5
// below, then short bands 3-12 window by window), short runs (bands 0-12) and
// long runs (bands 0-21); pair count = width / 2.
extern const std::array<BandMap, 9> BAND_MAP;

// 18-line subbands up to each band boundary, capped at the decoder's subband
// limit 32: (long_index + 7) / 18 + 1 and (short_index - 1) / 18 + 1.
extern const std::array<std::array<std::int32_t, 23>, 9> LONG_BAND_LIMIT;
extern const std::array<std::array<std::int32_t, 14>, 9> SHORT_BAND_LIMIT;

// Packed words: bits 0-2, 3-5, 6-8, 9-11 the lengths of partitions 0..3,
// bits 12-14 the partition-size case, bit 15 preflag.
extern const std::array<std::uint32_t, 512> LSF_SLEN_NORMAL;
extern const std::array<std::uint32_t, 256> LSF_SLEN_INTENSITY;

// Every table is constant data, ready before the first decoder starts: dec_init
// builds nothing, and decoders on several threads share them.
