// Made-up granule records for the evidence's tests: a file's loudness, its
// encoder's gains, and the hiding tool's change to the carriers it wrote.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "analysis/parity_evidence.h"

namespace evidence_series {

using gainscan::EvidenceRecord;
using gainscan::EvidenceResult;
using gainscan::ParityEvidence;

struct Series {
    std::int64_t carriers;   // carriers in the file
    double noise;            // sd of each record's loudness jitter, log2
    double written;          // share of the carriers whose bit was written (0: clean)
    int channels = 1;
    double coupling = 0;     // log2 energy the encoder ties to each gain step
    int max_step = 1;        // largest step of the encoder's gains from record to record
    double second_noise = -1;  // the second channel's jitter (negative: `noise`)
    double shared_noise = 0;   // jitter both channels of a granule share (the music in both)
};

// A file's records: a slowly moving loudness with a per-record jitter common
// to all bands, gains on a random walk of their own (the encoder's choice,
// unrelated to the sound but for `coupling`), and, for the written carriers, the hiding tool's
// change: the gain's parity set to the bit, the Huffman data kept, so the
// decoded energy moves by 0.5 log2 per gain step. Bits lead with a length
// field claiming exactly the written span.
inline std::vector<EvidenceRecord> make_records(const Series& s, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> jitter(0.0, 1.0), drift(0.0, 0.05);
    std::uniform_int_distribution<int> step(-s.max_step, s.max_step), coin(0, 1);
    const std::int64_t positions = 2 * s.carriers;
    const auto written = static_cast<std::int64_t>(std::llround(s.written * static_cast<double>(s.carriers)));
    // The length field for `written` carriers: 6-bit nbits, the length below its leading 1, 8 bits per byte.
    std::vector<int> bits;
    const std::int64_t bytes = written >= 24 ? (written - 16) / 8 : 0;
    if (bytes > 0) {
        int nbits = 0;
        for (std::int64_t v = bytes; v != 0; v >>= 1) ++nbits;
        for (int i = 5; i >= 0; --i) bits.push_back((nbits >> i) & 1);
        for (int i = nbits - 2; i >= 0; --i) bits.push_back(static_cast<int>((bytes >> i) & 1));
        while (static_cast<std::int64_t>(bits.size()) < 6 + nbits - 1 + 8 * bytes) bits.push_back(coin(rng));
    }
    std::vector<EvidenceRecord> records;
    double level = 10;
    std::array<int, 2> gain = {150, 148};
    double shared = 0;
    for (std::int64_t slot = 0; slot < positions; ++slot) {
        const int channel = static_cast<int>(slot % s.channels);
        if (channel == 0) {
            level += drift(rng);
            shared = s.shared_noise > 0 ? s.shared_noise * jitter(rng) : 0;
        }
        gain[channel] = std::clamp(gain[channel] + step(rng), 100, 200);
        EvidenceRecord r{};
        r.slot = slot;
        r.channel = static_cast<std::uint8_t>(channel);
        r.part2_3_length = 800;
        r.seconds = static_cast<double>(slot / s.channels) * 576.0 / 44100;
        r.slot_seconds = 576.0 / 44100 / s.channels;
        const double noise = channel == 1 && s.second_noise >= 0 ? s.second_noise : s.noise;
        const double loud = level + shared + noise * jitter(rng) - 0.5 * channel + s.coupling * (gain[channel] - 150);
        int g = gain[channel];
        double shift = 0;
        const std::int64_t carrier = slot / 2;
        if (slot % 2 == 0 && carrier < static_cast<std::int64_t>(bits.size()) && (g & 1) != bits[static_cast<std::size_t>(carrier)]) {
            // Setting the least significant bit adds one, clearing it takes one off.
            const int delta = bits[static_cast<std::size_t>(carrier)] ? 1 : -1;
            g += delta;
            shift = 0.5 * delta;
        }
        r.global_gain = static_cast<std::uint8_t>(g);
        for (std::size_t b = 0; b < gainscan::EVIDENCE_BANDS; ++b)
            r.band_log2_energy[b] = static_cast<float>(loud - 0.7 * static_cast<double>(b) + shift);
        records.push_back(r);
    }
    return records;
}

inline EvidenceResult weigh(const std::vector<EvidenceRecord>& records, bool every_carrier = false) {
    ParityEvidence evidence;
    for (const EvidenceRecord& r : records) evidence.add(r);
    return evidence.finish(false, every_carrier);
}

}  // namespace evidence_series
