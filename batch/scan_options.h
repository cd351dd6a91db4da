// What a worker needs to know to analyse one file.
#pragma once

#include <optional>
#include <string>

// The false-alarm probability at or below which a file is flagged. A drive
// holds tens of thousands of files: at 0.001 at most about 10 clean files in
// 10,000 whose length field fits may be flagged (fewer in practice: most
// clean files have no length field that fits; measured figures in the README).
inline constexpr double DEFAULT_ALPHA = 0.001;

struct ScanOptions {
    bool quick = false;                       // gainscan's first-200-records analysis only
    std::optional<std::string> extract_dir;   // --extract DIR
    bool extract_all = false;                 // --extract-all: every file whose length field is found
    std::optional<std::string> dump_dir;      // --dump-records DIR
    bool span_all = false;                    // --span-all: weigh every carrier (calibration studies)
    double alpha = DEFAULT_ALPHA;             // p_value at or below which a file is flagged (whole file)
};
