// One named file through the analysis: opened without touching its access
// time (FileSource), hashed in the same read (HashingSource), and its
// modification time into the report.
#pragma once

#include <string>

#include "batch/hashing_source.h"
#include "gainscan/analysis.h"

// `path` "-" is standard input, read to its end. A file that cannot be opened
// gets an error report. The digests are set when every byte was read.
gainscan::FileReport analyse_path(gainscan::Analysis& analysis, const std::string& path, HashChoice hash);
