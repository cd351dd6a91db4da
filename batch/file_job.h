// A worker's job for one file: the library's analysis, then what the options
// ask to be written from it (the record dump, the extracted payload).
#pragma once

#include <cstdint>
#include <string>

#include "batch/scan_options.h"
#include "gainscan/analysis.h"

// `seq` is the file's place in the scan (0 first): it names the files written.
gainscan::FileReport run_file_job(gainscan::Analysis& analysis, const std::string& path, std::uint64_t seq,
                                  const ScanOptions& options);
