// A worker's job for one file: the library's analysis, then what the options
// ask to be written from it (the record dump, the extracted payload).
#pragma once

#include <string>

#include "batch/scan_options.h"
#include "gainscan/analysis.h"

gainscan::FileReport run_file_job(gainscan::Analysis& analysis, const std::string& path, const ScanOptions& options);
