// What a worker needs to know to analyse one file.
#pragma once

#include <optional>
#include <string>

#include "batch/hashing_source.h"
#include "gainscan/analysis.h"

struct ScanOptions {
    bool quick = false;                       // gainscan's first-200-records analysis only
    std::optional<std::string> extract_dir;   // --extract DIR
    bool extract_all = false;                 // --extract-all: every file whose length field is found
    std::optional<std::string> dump_dir;      // --dump-records DIR
    bool span_all = false;                    // --span-all: weigh every carrier (calibration studies)
    double alpha = gainscan::DEFAULT_ALPHA;   // p_value at or below which a file is flagged (whole file)
    bool layer3_only = false;                 // skip walked files that do not start like Layer III
    HashChoice hash;                          // --hash: digests of every file's bytes
};
