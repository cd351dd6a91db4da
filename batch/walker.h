// Turns the names given on the command line (or in --files-from) into the
// stream of files to analyse, in order: a name that is not a directory is
// passed on as it is (the worker reports it if it is missing or not a regular
// file); a directory is walked recursively, entries in byte order of their
// names. Inside directories only regular files are passed on; FIFOs, sockets
// and devices are skipped, and so are symbolic links unless `follow_symlinks`.
// A directory that cannot be read, and a followed link that leads back into
// a directory being walked (a loop), come out as entries with an error.
#pragma once

//
// --include and --exclude select among the files found inside directories
// (fnmatch(3) without flags on the path as walked, so `*` also matches `/`):
// a file is passed on when it matches some include (or there is none) and no
// exclude; a directory matching an exclude is not entered. Names given on the
// command line or in the list are always passed on.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct WalkEntry {
    std::string path;     // as named or as walked (raw bytes)
    std::string error;    // empty: analyse the file; otherwise the error record's message
    bool walked = false;  // found inside a directory (not named)
};

struct WalkOptions {
    bool follow_symlinks = false;
    std::vector<std::string> include, exclude;
    const std::atomic<bool>* stop = nullptr;  // when set and true, the walk ends early
};

using WalkSink = std::function<void(WalkEntry&&)>;

// `excluded` counts the files left out by include and exclude (a pruned
// directory counts as one).
void walk_path(const std::string& path, const WalkOptions& options, const WalkSink& sink, std::uint64_t& excluded);

// Reads names from `list` ("-": standard input), one per line or NUL-separated,
// and walks each. Returns false (with `error`) when the list cannot be opened.
bool walk_name_list(const std::string& list, bool null_separated, const WalkOptions& options, const WalkSink& sink,
                    std::uint64_t& excluded, std::string& error);
