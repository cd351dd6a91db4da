#include "decoder/tables/decoder_tables.h"

#include <cmath>

#include "decoder/tables/layer3_tables.h"

constinit thread_local std::array<float, GAIN_MAX - GAIN_MIN + 1> GAIN_TABLE_STORAGE{};
constinit thread_local std::array<float, POW43_SIZE> POW43_TABLE{};
constinit thread_local std::array<BandMap, 9> BAND_MAP{};
constinit thread_local std::array<std::array<std::int32_t, 23>, 9> LONG_BAND_LIMIT{};
constinit thread_local std::array<std::array<std::int32_t, 14>, 9> SHORT_BAND_LIMIT{};
constinit thread_local std::array<std::uint32_t, 512> LSF_SLEN_NORMAL{};
constinit thread_local std::array<std::uint32_t, 256> LSF_SLEN_INTENSITY{};

namespace {

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
    BandMap& map = BAND_MAP[static_cast<std::size_t>(j)];

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

}  // namespace

void build_decoder_tables(int subband_limit) {
    for (int i = GAIN_MIN; i <= GAIN_MAX; ++i)
        GAIN_TABLE_STORAGE[static_cast<std::size_t>(i - GAIN_MIN)] =
            static_cast<float>(std::pow(2.0, -0.25 * (i + 210)));
    for (int i = 0; i < POW43_SIZE; ++i)
        POW43_TABLE[static_cast<std::size_t>(i)] = static_cast<float>(std::pow(static_cast<double>(i), 4.0 / 3.0));

    for (int j = 0; j < 9; ++j) {
        build_band_map(j);
        const BandIndex& bands = BAND_INDEX[static_cast<std::size_t>(j)];
        for (std::size_t k = 0; k < 23; ++k) {
            const int limit = (bands.long_index[k] + 7) / 18 + 1;
            LONG_BAND_LIMIT[static_cast<std::size_t>(j)][k] = limit > subband_limit ? subband_limit : limit;
        }
        for (std::size_t k = 0; k < 14; ++k) {
            const int limit = (bands.short_index[k] - 1) / 18 + 1;
            SHORT_BAND_LIMIT[static_cast<std::size_t>(j)][k] = limit > subband_limit ? subband_limit : limit;
        }
    }

    for (unsigned a = 0; a < 5; ++a)
        for (unsigned b = 0; b < 5; ++b)
            for (unsigned c = 0; c < 4; ++c)
                for (unsigned d = 0; d < 4; ++d)
                    LSF_SLEN_NORMAL[80 * a + 16 * b + 4 * c + d] = slen_word(a, b, c, d, 0, 0);
    for (unsigned a = 0; a < 5; ++a)
        for (unsigned b = 0; b < 5; ++b)
            for (unsigned c = 0; c < 4; ++c)
                LSF_SLEN_NORMAL[400 + 20 * a + 4 * b + c] = slen_word(a, b, c, 0, 1, 0);
    for (unsigned a = 0; a < 4; ++a)
        for (unsigned b = 0; b < 3; ++b)
            LSF_SLEN_NORMAL[500 + 3 * a + b] = slen_word(a, b, 0, 0, 2, 1);

    for (unsigned a = 0; a < 5; ++a)
        for (unsigned b = 0; b < 6; ++b)
            for (unsigned c = 0; c < 6; ++c)
                LSF_SLEN_INTENSITY[36 * a + 6 * b + c] = slen_word(a, b, c, 0, 3, 0);
    for (unsigned a = 0; a < 4; ++a)
        for (unsigned b = 0; b < 4; ++b)
            for (unsigned c = 0; c < 4; ++c)
                LSF_SLEN_INTENSITY[180 + 16 * a + 4 * b + c] = slen_word(a, b, c, 0, 4, 0);
    for (unsigned a = 0; a < 4; ++a)
        for (unsigned b = 0; b < 3; ++b)
            LSF_SLEN_INTENSITY[244 + 3 * a + b] = slen_word(a, b, 0, 0, 5, 0);
}
