// What a worker needs to know to analyse one file.
#pragma once

#include <optional>
#include <string>

// The whole-file score at or above which a file is flagged. Chosen on one
// half of the evaluation set's sources and measured on the other
// (tools/eval/evaluate.py; the figures are in the README).
inline constexpr double DEFAULT_THRESHOLD = 2.0;

struct ScanOptions {
    bool quick = false;                       // gainscan's first-200-records analysis only
    std::optional<std::string> extract_dir;   // --extract DIR
    bool extract_all = false;                 // --extract-all: every file whose length field is found
    std::optional<std::string> dump_dir;      // --dump-records DIR
    double threshold = DEFAULT_THRESHOLD;     // score at or above which a file is flagged (whole file)
};
