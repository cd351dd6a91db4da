// Every granule record of a file as the whole-file analysis keeps it: the
// side information a researcher may want and the energy of the requantised
// spectrum, overall and in a few frequency bands (log2 of the sum of squares).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "analyser/hooks.h"

inline constexpr std::size_t ENERGY_BANDS = 8;
// log2 energy of a band with no energy at all: below anything real.
inline constexpr float NO_ENERGY = -1000.0f;

struct GranuleRecord {
    // Position in the hiding layout: every granule of every channel of every
    // Layer III frame, in decoding order, also those the decoder could not
    // read. Records at even positions carry a bit. Counting positions rather
    // than records keeps the bits aligned when a damaged granule is lost.
    std::int64_t slot;
    std::int64_t frame_index;
    std::uint64_t frame_offset;  // byte offset of the frame header in the file
    std::uint8_t granule;
    std::uint8_t channel;
    std::uint8_t global_gain;
    std::uint8_t block_type;
    std::uint16_t part2_3_length;
    std::uint16_t big_values;
    std::uint16_t scalefac_compress;
    float log2_energy;  // whole spectrum
    std::array<float, ENERGY_BANDS> band_log2_energy;
};

// Whole spectrum and band energies of 576 requantised lines, all zero from
// `end` up.
void measure_energy(const float* spectrum, std::uint32_t end, GranuleRecord& record);

// Collects every record of a file; installs itself as the analysis' observer.
struct RecordCollector {
    std::vector<GranuleRecord> records;
    const struct FileAnalysis* job;
    std::int64_t slot_base;  // first position of the frame being decoded
};

inline bool is_carrier(const GranuleRecord& record) { return record.slot % 2 == 0; }

RecordObserver record_observer(RecordCollector& collector);
