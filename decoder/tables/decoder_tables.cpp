#include "decoder/tables/decoder_tables.h"

#include "decoder/tables/layer3_tables.h"

// The tables themselves are generated into computed_tables.cpp.
void build_decoder_tables(int subband_limit) {
    for (std::size_t j = 0; j < 9; ++j) {
        const BandIndex& bands = BAND_INDEX[j];
        for (std::size_t k = 0; k < 23; ++k) {
            const int limit = (bands.long_index[k] + 7) / 18 + 1;
            LONG_BAND_LIMIT[j][k] = limit > subband_limit ? subband_limit : limit;
        }
        for (std::size_t k = 0; k < 14; ++k) {
            const int limit = (bands.short_index[k] - 1) / 18 + 1;
            SHORT_BAND_LIMIT[j][k] = limit > subband_limit ? subband_limit : limit;
        }
    }
}
