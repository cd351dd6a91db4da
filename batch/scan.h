// The run: one walker thread produces the files in order into a bounded
// queue; `jobs` worker threads each take the next file, analyse it with their
// own decoder and put the finished record into a bounded reorder window; the
// calling thread prints the records in order as they become due, with the
// progress line and the summary.
#pragma once

#include <string>

#include "batch/batch_options.h"
#include "batch/printer.h"

// Returns false, with `error`, only when the --files-from list cannot be read.
bool run_scan(const BatchOptions& options, ScanSummary& summary, std::string& error);
