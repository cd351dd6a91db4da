#include "analyser/hooks.h"

AnalyserRecords analyser_records{};
DecoderState analyser_decoder{};

void reset_analyser_records() { analyser_records = AnalyserRecords{}; }

void on_frame(const FrameInfo* frame, std::uint32_t /*user_data*/) {
    analyser_records.bytes_per_granule = frame->frame_size / (2 * frame->channels);
    // Only the first frame sets the granule size.
    analyser_decoder.frame_hook = nullptr;
}

void on_granule(const GranuleInfo* granule, std::uint32_t /*user_data*/, std::int32_t /*channel*/) {
    if (analyser_records.record_count < MAX_RECORDS)
        analyser_records.gain_records[static_cast<std::size_t>(analyser_records.record_count++)] =
            static_cast<std::int32_t>(granule->global_gain);
}
