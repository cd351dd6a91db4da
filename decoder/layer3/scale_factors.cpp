#include "decoder/layer3/scale_factors.h"

#include <algorithm>

#include "decoder/common/bit_reader.h"
#include "decoder/tables/decoder_tables.h"
#include "decoder/tables/layer3_tables.h"

namespace {

// Scale-factor values read from a local window that the shared reader is
// asked for and moved past only when a run of values does not fit in what is
// left of it: a window and a call per group cost 2 % of a 32 kbit/s decode.
struct GroupReader {
    std::uint64_t window = bit_reader_window();
    int used = 0;  // of the window

    // `count` values of `length` bits, count * length at most BIT_WINDOW_VALID.
    void read(ScaleFactors& sf, std::size_t at, int count, int length) {
        if (used + count * length > BIT_WINDOW_VALID) {
            bit_reader_skip(used);
            window = bit_reader_window();
            used = 0;
        }
        std::uint64_t bits = window << used;
        for (int i = 0; i < count; ++i) {
            sf[at++] = static_cast<std::int32_t>(bit_window_take(bits, length));
            bits <<= length;
        }
        used += count * length;
    }
    void finish() { bit_reader_skip(used); }
};

// Reads `count` values of `length` bits from position `at`, or only steps
// over their bits when the values are not wanted; returns the new position.
std::size_t read_values(ScaleFactors& sf, std::size_t at, int count, int length, ScaleFactorValues how) {
    if (how == ScaleFactorValues::skip) {
        bit_reader_skip(count * length);
        return at + static_cast<std::size_t>(count);
    }
    // Up to 18 values of up to 5 bits: as many as one window holds, then the
    // rest from a second one.
    const int in_first = count * length <= BIT_WINDOW_VALID ? count : BIT_WINDOW_VALID / length;
    GroupReader in;
    in.read(sf, at, in_first, length);
    if (in_first < count) in.read(sf, at + static_cast<std::size_t>(in_first), count - in_first, length);
    in.finish();
    return at + static_cast<std::size_t>(count);
}

std::size_t write_zeros(ScaleFactors& sf, std::size_t at, int count) {
    for (int i = 0; i < count; ++i) sf[at++] = 0;
    return at;
}

}  // namespace

int layer3_scale_factors_v1(ScaleFactors& sf, const GranuleInfo& granule, ScaleFactorValues how) {
    const int slen1 = MPEG1_SLEN[0][granule.scalefac_compress & 15u];
    const int slen2 = MPEG1_SLEN[1][granule.scalefac_compress & 15u];
    std::size_t at = 0;

    if (granule.block_type == 2) {
        if (granule.mixed_block_flag) {
            at = read_values(sf, at, 8, slen1, how);  // long bands 0-7
            at = read_values(sf, at, 9, slen1, how);  // short bands 3-5
        } else {
            at = read_values(sf, at, 18, slen1, how);  // short bands 0-5
        }
        at = read_values(sf, at, 18, slen2, how);  // short bands 6-11
        write_zeros(sf, at, 3);
        return granule.mixed_block_flag ? 17 * slen1 + 18 * slen2 : 18 * (slen1 + slen2);
    }

    // A long block: bands 0-5 and 6-10 of slen1 bits, 11-15 and 16-20 of
    // slen2. In granule 1 a group whose reuse bit is set is not transmitted:
    // it is read as values of no bits, 0, and layer3_scale_factors_reuse
    // then copies granule 0's values in.
    const std::int32_t reuse = granule.scfsi < 0 ? 0 : granule.scfsi;
    const int lengths[4] = {reuse & 8 ? 0 : slen1, reuse & 4 ? 0 : slen1, reuse & 2 ? 0 : slen2,
                            reuse & 1 ? 0 : slen2};
    const int bits = 6 * lengths[0] + 5 * lengths[1] + 5 * lengths[2] + 5 * lengths[3];
    if (how == ScaleFactorValues::skip) {
        bit_reader_skip(bits);
        return bits;
    }
    // Bands 0-10 take at most 44 bits and 11-20 at most 30: a window for
    // each half, whose groups always fit in it.
    GroupReader low;
    low.read(sf, 0, 6, lengths[0]);
    low.read(sf, 6, 5, lengths[1]);
    low.finish();
    GroupReader high;  // after low has moved the reader on
    high.read(sf, 11, 5, lengths[2]);
    high.read(sf, 16, 5, lengths[3]);
    high.finish();
    sf[21] = 0;
    return bits;
}

void layer3_scale_factors_reuse(ScaleFactors& sf, const GranuleInfo& granule, LongScaleFactors first,
                                const GranuleInfo& first_granule) {
    if (granule.scfsi <= 0 || granule.block_type == 2 || first_granule.block_type == 2) return;
    struct Group {
        std::int32_t bit;
        std::size_t begin, end;  // bands
    };
    static constexpr Group GROUPS[] = {{8, 0, 6}, {4, 6, 11}, {2, 11, 16}, {1, 16, 21}};
    for (const Group& group : GROUPS) {
        if ((granule.scfsi & group.bit) != 0)
            std::copy(first.begin() + group.begin, first.begin() + group.end, sf.begin() + group.begin);
    }
}

int layer3_scale_factors_lsf(ScaleFactors& sf, GranuleInfo& granule, int intensity, ScaleFactorValues how) {
    const std::uint32_t word = intensity ? LSF_SLEN_INTENSITY[(granule.scalefac_compress >> 1) & 255u]
                                         : LSF_SLEN_NORMAL[granule.scalefac_compress & 511u];
    granule.preflag = (word >> 15) & 1u;
    const std::size_t kind = granule.block_type != 2 ? 0 : (granule.mixed_block_flag ? 2 : 1);
    const auto& counts = LSF_PARTITION_SIZES[kind][(word >> 12) & 7u];

    std::size_t at = 0;
    int bits = 0;
    for (std::size_t p = 0; p < 4; ++p) {
        const int length = static_cast<int>((word >> (3 * p)) & 7u);
        if (length != 0) {
            at = read_values(sf, at, counts[p], length, how);
            bits += counts[p] * length;
        } else {
            at = write_zeros(sf, at, counts[p]);
        }
    }
    write_zeros(sf, at, static_cast<int>(2 * kind + 1));
    return bits;
}
