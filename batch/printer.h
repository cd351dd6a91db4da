// The printers: each renders one FileReport (or the run's summary) as text,
// appending to `out`. They decide nothing: the record holds every value.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "gainscan/analysis.h"

using gainscan::DecoderMessage;
using gainscan::FileReport;
using gainscan::PayloadReport;

struct ScanSummary {
    std::uint64_t files = 0;     // records produced
    std::uint64_t analysed = 0;  // records with status ok
    std::uint64_t flagged = 0;
    std::uint64_t errors = 0;
    std::uint64_t bytes = 0;     // bytes of the files analysed
    double elapsed_seconds = 0;
    double alpha = 0;                             // flagged: p_value <= alpha
    std::map<std::string, std::uint64_t> formats;  // files analysed, by format
    std::uint64_t excluded = 0;  // left out by --include / --exclude
    std::uint64_t skipped = 0;   // left out by --layer3-only
    std::uint64_t resumed = 0;   // records already in the report (--resume), counted above too
    std::string started, ended;  // UTC, ISO 8601 (started: of the scan's first run)
};

// What alpha means on a drive: the false alarms to expect, at most, per
// 10,000 clean files (rounded; p_value holds as a probability).
inline double expected_false_alarms(double alpha) { return alpha * 10000; }

// text: one line per file.
void render_text(const FileReport& report, std::string& out);
// The summary line on standard error (every format).
void render_summary_text(const ScanSummary& summary, std::string& out);

// jsonl: one JSON object per line; the summary as {"summary": {...}}.
void render_jsonl(const FileReport& report, std::string& out);
void render_jsonl_summary(const ScanSummary& summary, std::string& out);

// csv: a header row, then one row per file (RFC 4180, CRLF line ends).
void render_csv_header(std::string& out);
void render_csv(const FileReport& report, std::string& out);
