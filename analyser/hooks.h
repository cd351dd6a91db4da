// What the analyser observes through the decoder's hooks: the global_gain of
// the first granule records and the granule size of the first frame, plus
// counts of everything seen and an optional observer of every record.
#pragma once

#include <array>
#include <cstdint>

#include "decoder/decoder.h"

inline constexpr int MAX_RECORDS = 200;

// Sees every frame and granule record the decoder reports, also past the 200th.
struct RecordObserver {
    void (*granule)(void* context, const FrameInfo& frame, const GranuleInfo& granule, std::int32_t channel);
    void (*frame)(void* context, const FrameInfo& frame);
    void* context;
};

struct AnalyserRecords {
    std::array<std::int32_t, MAX_RECORDS> gain_records;
    std::int32_t record_count;
    std::int32_t bytes_per_granule;  // first frame's frame_size / (2 * channels)
    bool trace_enabled;              // diagnostic trace; nothing turns it on
    std::int64_t frames;             // frames reported so far
    std::int64_t granule_records;    // granule records reported so far
    RecordObserver observer;
};

// The records of gainscan's single run, and the decoder state they belong to.
extern AnalyserRecords analyser_records;
extern DecoderState analyser_decoder;

void reset_analyser_records();

// The hooks record into the AnalyserRecords that is the decoder's client
// pointer (analyser_records when there is none).
void on_frame(const FrameInfo* frame, std::uint32_t user_data);
void on_granule(const GranuleInfo* granule, std::uint32_t user_data, std::int32_t channel);
