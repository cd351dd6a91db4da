#include "batch/granule_record.h"

#include <cmath>

#include "analyser/analysis.h"

namespace {

// Band edges in spectral lines, roughly octaves: a gain change moves every
// band by the same amount, the music rarely does.
constexpr std::array<std::size_t, ENERGY_BANDS + 1> BAND_EDGES = {0, 4, 12, 24, 48, 96, 192, 384, 576};

float log2_or_none(double energy) { return energy > 0 ? static_cast<float>(std::log2(energy)) : NO_ENERGY; }

void on_frame_done(void* context, const FrameInfo& frame) {
    auto& collector = *static_cast<RecordCollector*>(context);
    if (frame.layer == 3) collector.slot_base += (frame.lsf_flag ? 1 : 2) * frame.channels;
}

void on_record(void* context, const FrameInfo& frame, const GranuleInfo& granule, std::int32_t channel) {
    auto& collector = *static_cast<RecordCollector*>(context);
    const FileAnalysis& job = *collector.job;
    GranuleRecord record{};
    record.frame_index = job.records.frames;  // the frame hook counts after the frame
    record.frame_offset = current_frame_offset(job);
    record.channel = static_cast<std::uint8_t>(channel);
    // A second granule of the same frame and channel follows the first.
    const auto& records = collector.records;
    for (auto it = records.rbegin(); it != records.rend() && it->frame_index == record.frame_index; ++it)
        if (it->channel == record.channel) record.granule = static_cast<std::uint8_t>(it->granule + 1);
    record.slot = collector.slot_base + record.granule * frame.channels + channel;
    record.global_gain = static_cast<std::uint8_t>(granule.global_gain);
    record.block_type = static_cast<std::uint8_t>(granule.block_type);
    record.part2_3_length = static_cast<std::uint16_t>(granule.part2_3_length);
    record.big_values = static_cast<std::uint16_t>(granule.big_values);
    record.scalefac_compress = static_cast<std::uint16_t>(granule.scalefac_compress);
    measure_energy(granule.spectrum, record);
    collector.records.push_back(record);
}

}  // namespace

void measure_energy(const float* spectrum, GranuleRecord& record) {
    double total = 0;
    for (std::size_t b = 0; b < ENERGY_BANDS; ++b) {
        double sum = 0;
        for (std::size_t i = BAND_EDGES[b]; i < BAND_EDGES[b + 1]; ++i) sum += double{spectrum[i]} * spectrum[i];
        record.band_log2_energy[b] = log2_or_none(sum);
        total += sum;
    }
    record.log2_energy = log2_or_none(total);
}

RecordObserver record_observer(RecordCollector& collector) {
    return RecordObserver{on_record, on_frame_done, &collector};
}
