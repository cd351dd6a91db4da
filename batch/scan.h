// The run: one walker thread produces the files in order into a bounded
// queue; `jobs` worker threads each take the next file, analyse it with their
// own decoder and put the finished record into a bounded reorder window; the
// calling thread prints the records in order as they become due (each one
// flushed as it is printed), with the progress line.
#pragma once

#include <cstdio>
#include <string>

#include "batch/batch_options.h"
#include "batch/printer.h"
#include "batch/resume.h"

struct ScanRun {
    std::FILE* out = stdout;         // where the records go
    ResumeState* resume = nullptr;   // --resume: the files already reported are skipped
    std::FILE* report_copy = nullptr;  // --report: every record as jsonl, whatever is printed
};

// Adds this run's counts to `summary`. Returns false, with `error`, only when
// the --files-from list cannot be read.
bool run_scan(const BatchOptions& options, const ScanRun& run, ScanSummary& summary, std::string& error);
