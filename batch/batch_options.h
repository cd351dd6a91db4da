// Everything the command line of gainscan-batch decides.
#pragma once

#include <string>
#include <vector>

#include "batch/scan_options.h"

enum class OutputFormat { text, jsonl, csv };

struct BatchOptions {
    std::vector<std::string> paths;  // files and directories, in the order named
    std::string files_from;          // --files-from FILE ("-": standard input; "": none)
    bool null_separated = false;     // -0: the list is NUL-separated
    bool follow_symlinks = false;
    OutputFormat format = OutputFormat::text;
    unsigned jobs = 0;               // 0: the number of cores
    bool progress = false;           // --progress: also when stderr is not a terminal
    bool quiet = false;              // no progress line, no summary on stderr
    bool only_flagged = false;       // print flagged files and errors only
    bool summary = false;            // jsonl: a final {"summary": ...} object; text, csv: the summary line even with -q
    std::vector<std::string> include, exclude;  // globs on walked paths
    std::string report;              // --report FILE.html ("": none)
    std::string resume;              // --resume REPORT.jsonl ("": none): continue that scan, appending to it
    ScanOptions scan;
};
