#include <cstdio>

#include "gainscan/analysis.h"

namespace gainscan {

std::string records_csv_header() {
    std::string csv =
        "slot,frame_index,frame_offset,granule,channel,carrier,global_gain,part2_3_length,big_values,block_type,"
        "scalefac_compress,log2_energy";
    for (std::size_t b = 0; b < ENERGY_BANDS; ++b) csv += ",band" + std::to_string(b) + "_log2_energy";
    csv += '\n';
    return csv;
}

void append_record_csv(const GranuleRecord& r, std::string& csv) {
    char field[32];
    csv += std::to_string(r.slot) + ',' + std::to_string(r.frame_index) + ',' + std::to_string(r.frame_offset) + ',' +
           std::to_string(r.granule) + ',' + std::to_string(r.channel) + ',' + (is_carrier(r) ? '1' : '0') + ',' +
           std::to_string(r.global_gain) + ',' + std::to_string(r.part2_3_length) + ',' +
           std::to_string(r.big_values) + ',' + std::to_string(r.block_type) + ',' + std::to_string(r.scalefac_compress);
    // Silent spectra and bands are left empty rather than given a number.
    auto energy = [&](float value) {
        csv += ',';
        if (value <= NO_ENERGY) return;
        std::snprintf(field, sizeof field, "%.4f", static_cast<double>(value));
        csv += field;
    };
    energy(r.log2_energy);
    for (float band : r.band_log2_energy) energy(band);
    csv += '\n';
}

std::string records_csv(std::span<const GranuleRecord> records) {
    std::string csv = records_csv_header();
    for (const GranuleRecord& r : records) append_record_csv(r, csv);
    return csv;
}

}  // namespace gainscan
