// The progress line on standard error, at most a few times a second: on a
// terminal redrawn in place ("\r", erase to the end of the line) and cleared
// at the end; elsewhere (--progress into a file or pipe) one plain line each
// time, without escape sequences.
#pragma once

#include <cstdint>
#include <string>

struct ProgressCounts {
    std::uint64_t done = 0;
    std::uint64_t known = 0;       // files found so far
    bool all_known = false;        // the walk has finished
    std::uint64_t bytes = 0;
    std::uint64_t flagged = 0;
    double elapsed_seconds = 0;
};

std::string progress_line(const ProgressCounts& counts, bool terminal);
std::string progress_clear(bool terminal);
