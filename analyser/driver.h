// The classic analyser's entry: the command line, the one file, then the
// capacity line and the verdict.
#pragma once

#include <cstdio>

// Returns the process exit status: 0 after an analysis, 1 on a usage error or
// a file that cannot be opened. The report goes to `out`, complaints to `err`;
// the decoder's own messages go to the standard streams as they arise.
int analyser_run(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

int analyser_main(int argc, const char* const* argv);
