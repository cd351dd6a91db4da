#include "analyser/hooks.h"

AnalyserRecords analyser_records{};
DecoderState analyser_decoder{};

void reset_analyser_records() { analyser_records = AnalyserRecords{}; }

namespace {

AnalyserRecords& client_records() {
    void* client = dec_client();
    return client != nullptr ? *static_cast<AnalyserRecords*>(client) : analyser_records;
}

}  // namespace

void on_frame(const FrameInfo* frame, std::uint32_t /*user_data*/) {
    AnalyserRecords& records = client_records();
    // Only the first frame sets the granule size.
    if (records.frames++ == 0) records.bytes_per_granule = frame->frame_size / (2 * frame->channels);
    if (records.observer.frame != nullptr) records.observer.frame(records.observer.context, *frame);
}

void on_granule(const GranuleInfo* granule, std::uint32_t /*user_data*/, std::int32_t channel) {
    AnalyserRecords& records = client_records();
    ++records.granule_records;
    if (records.record_count < MAX_RECORDS)
        records.gain_records[static_cast<std::size_t>(records.record_count++)] =
            static_cast<std::int32_t>(granule->global_gain);
    const DecoderState* state = dec_current();
    if (records.observer.granule != nullptr && state != nullptr)
        records.observer.granule(records.observer.context, state->frame, *granule, channel);
}
