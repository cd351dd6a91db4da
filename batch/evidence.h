// The whole-file analysis' observer: every granule record the decoder reports
// is measured (band energies), handed to the parity evidence and, with
// --dump-records, written out as a CSV row, then forgotten. Nothing grows with
// the file but the evidence's few bytes per pair of records.
#pragma once

#include <cstdint>
#include <string>

#include "analysis/parity_evidence.h"
#include "batch/granule_record.h"

struct EvidenceCollector {
    gainscan::ParityEvidence evidence;
    const struct FileAnalysis* job = nullptr;
    std::int64_t slot_base = 0;       // first position of the frame being decoded
    std::int64_t frame_index = -1;    // frame of the last record
    std::uint8_t granules[2] = {0, 0};  // records of each channel seen in that frame
    double seconds = 0;               // where the frame being decoded starts
    double layer3_seconds = 0;        // duration of the Layer III frames so far
    // --dump-records: the open file (-1: none) and rows not yet written.
    int dump_fd = -1;
    std::string dump_rows;
    std::string dump_error;
};

RecordObserver evidence_observer(EvidenceCollector& collector);

// Writes what is left of the dump and closes it; false with dump_error set on failure.
bool close_dump(EvidenceCollector& collector);
