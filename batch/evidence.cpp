#include "batch/evidence.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "analyser/analysis.h"
#include "batch/record_dump.h"

namespace {

constexpr std::size_t DUMP_BUFFER = 1 << 16;

bool write_rows(EvidenceCollector& c) {
    std::size_t written = 0;
    while (written < c.dump_rows.size()) {
        const ssize_t n = ::write(c.dump_fd, c.dump_rows.data() + written, c.dump_rows.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            c.dump_error = std::strerror(errno);
            ::close(c.dump_fd);
            c.dump_fd = -1;
            c.dump_rows.clear();
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    c.dump_rows.clear();
    return true;
}

double sample_rate(const FrameInfo& frame) {
    return frame.sampling_index >= 0 && frame.sampling_index < static_cast<std::int32_t>(SAMPLING_RATES.size())
               ? SAMPLING_RATES[static_cast<std::size_t>(frame.sampling_index)]
               : 44100.0;
}

void on_frame_done(void* context, const FrameInfo& frame) {
    auto& c = *static_cast<EvidenceCollector*>(context);
    if (frame.layer != 3) return;
    const int granules = frame.lsf_flag ? 1 : 2;
    c.slot_base += granules * frame.channels;
    const double duration = granules * 576.0 / sample_rate(frame);
    c.seconds += duration;
    c.layer3_seconds += duration;
    c.evidence.set_positions(c.slot_base);
}

void on_record(void* context, const FrameInfo& frame, const GranuleInfo& granule, std::int32_t channel) {
    auto& c = *static_cast<EvidenceCollector*>(context);
    const FileAnalysis& job = *c.job;
    GranuleRecord record{};
    record.frame_index = job.records.frames;  // the frame hook counts after the frame
    record.frame_offset = current_frame_offset(job);
    record.channel = static_cast<std::uint8_t>(channel);
    // A second granule of the same frame and channel follows the first.
    if (record.frame_index != c.frame_index) {
        c.frame_index = record.frame_index;
        c.granules[0] = c.granules[1] = 0;
    }
    record.granule = c.granules[channel & 1]++;
    record.slot = c.slot_base + record.granule * frame.channels + channel;
    record.global_gain = static_cast<std::uint8_t>(granule.global_gain);
    record.block_type = static_cast<std::uint8_t>(granule.block_type);
    record.part2_3_length = static_cast<std::uint16_t>(granule.part2_3_length);
    record.big_values = static_cast<std::uint16_t>(granule.big_values);
    record.scalefac_compress = static_cast<std::uint16_t>(granule.scalefac_compress);
    measure_energy(granule.spectrum, granule.spectrum_end, record);

    const double granule_seconds = 576.0 / sample_rate(frame);
    gainscan::EvidenceRecord e{};
    e.slot = record.slot;
    e.channel = record.channel;
    e.global_gain = record.global_gain;
    e.part2_3_length = record.part2_3_length;
    e.band_log2_energy = record.band_log2_energy;
    e.seconds = c.seconds + record.granule * granule_seconds;
    e.slot_seconds = granule_seconds / frame.channels;
    c.evidence.add(e);

    if (c.dump_fd >= 0) {
        append_record_csv(record, c.dump_rows);
        if (c.dump_rows.size() >= DUMP_BUFFER) write_rows(c);
    }
}

}  // namespace

RecordObserver evidence_observer(EvidenceCollector& collector) {
    return RecordObserver{on_record, on_frame_done, &collector};
}

bool close_dump(EvidenceCollector& c) {
    if (c.dump_fd < 0) return c.dump_error.empty();
    const bool ok = write_rows(c);
    if (!ok) return false;
    if (::close(c.dump_fd) != 0) {
        c.dump_error = std::strerror(errno);
        c.dump_fd = -1;
        return false;
    }
    c.dump_fd = -1;
    return true;
}
