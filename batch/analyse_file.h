// One file, start to finish, on the calling worker's thread: open it (regular
// files only), run the shared analysis with the decoder's messages captured,
// and, unless quick, weigh the whole-file evidence and extract the payload.
#pragma once

#include <string>

#include "batch/file_report.h"
#include "batch/scan_options.h"

FileReport analyse_file(const std::string& path, const ScanOptions& options);
