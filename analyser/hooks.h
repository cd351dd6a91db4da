// What the analyser observes through the decoder's hooks: the global_gain of
// the first granule records and the granule size of the first frame.
#pragma once

#include <array>
#include <cstdint>

#include "decoder/decoder.h"

inline constexpr int MAX_RECORDS = 200;

struct AnalyserRecords {
    std::array<std::int32_t, MAX_RECORDS> gain_records;
    std::int32_t record_count;
    std::int32_t bytes_per_granule;  // first frame's frame_size / (2 * channels)
    bool trace_enabled;              // diagnostic trace; nothing turns it on
};

// The run's records and the decoder state the hooks belong to.
extern AnalyserRecords analyser_records;
extern DecoderState analyser_decoder;

void reset_analyser_records();

void on_frame(const FrameInfo* frame, std::uint32_t user_data);
void on_granule(const GranuleInfo* granule, std::uint32_t user_data, std::int32_t channel);
