// Turns the names given on the command line (or in --files-from) into the
// stream of files to analyse, in order: a name that is not a directory is
// passed on as it is (the worker reports it if it is missing or not a regular
// file); a directory is walked recursively, entries in byte order of their
// names. Inside directories only regular files are passed on; FIFOs, sockets
// and devices are skipped, and so are symbolic links unless `follow_symlinks`.
// A directory that cannot be read, and a followed link that leads back into
// a directory being walked (a loop), come out as entries with an error.
#pragma once

#include <functional>
#include <string>

struct WalkEntry {
    std::string path;   // as named or as walked (raw bytes)
    std::string error;  // empty: analyse the file; otherwise the error record's message
};

using WalkSink = std::function<void(WalkEntry&&)>;

void walk_path(const std::string& path, bool follow_symlinks, const WalkSink& sink);

// Reads names from `list` ("-": standard input), one per line or NUL-separated,
// and walks each. Returns false (with `error`) when the list cannot be opened.
bool walk_name_list(const std::string& list, bool null_separated, bool follow_symlinks, const WalkSink& sink,
                    std::string& error);
