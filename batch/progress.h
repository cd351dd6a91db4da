// The progress line on standard error, at most a few times a second: on a
// terminal redrawn in place ("\r", erase to the end of the line) and cleared
// at the end; elsewhere (--progress into a file or pipe) one plain line each
// time, without escape sequences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ProgressCounts {
    std::uint64_t done = 0;
    std::uint64_t known = 0;       // files found so far
    bool all_known = false;        // the walk has finished
    std::uint64_t counted = 0;     // files a counting walk ahead of the scan found (0: none yet)
    std::uint64_t bytes = 0;
    std::uint64_t flagged = 0;
    double elapsed_seconds = 0;
};

// Until the walk has finished, the total is the counting walk's when it has
// finished (the ETA follows from it), else the files found so far with "+".
// On a terminal `width` columns wide (0: unknown) the line is cut to
// width - 1 characters, so that it never wraps and each redraw replaces it.
std::string progress_line(const ProgressCounts& counts, bool terminal, std::size_t width = 0);
// The width of the terminal on `fd`, or 0.
std::size_t terminal_width(int fd);
std::string progress_clear(bool terminal);
