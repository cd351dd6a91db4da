// The analyser's entry: command line, leading tag blocks, the read-and-decode
// loop with its stop rule, then the evaluation.
#pragma once

#include <cstdio>

#include "analyser/analysis.h"

// Returns the process exit status: 0 after an analysis, 1 on a usage error or
// a file that cannot be opened. The report goes to `out`, complaints to `err`;
// the decoder's own messages go to the standard streams.
int analyser_run(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

int analyser_main(int argc, const char* const* argv);
