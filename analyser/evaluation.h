// Reads the length field from the recorded global_gain bits, estimates the
// capacity of a file of this length and writes the report.
#pragma once

#include <cstdint>
#include <cstdio>

#include "analyser/hooks.h"

struct Evaluation {
    std::uint32_t nbits;           // the 6-bit length-of-length field
    std::uint32_t value;           // the length with its implicit leading 1
    std::int32_t width;            // bits of a length field at this capacity
    std::uint32_t capacity_bytes;
    bool found;
};

Evaluation evaluate(const AnalyserRecords& records, std::uint64_t file_length);

// Writes the capacity line and the verdict to `out`; the first form reads the
// records of gainscan's own run.
void evaluate_records(std::uint64_t file_length, std::FILE* out);
void evaluate_records(const AnalyserRecords& records, std::uint64_t file_length, std::FILE* out);
