// Files the program writes for a scanned file (payloads, record dumps) go
// into a directory the user named, under a name derived from the scanned
// file's: only safe characters, never a path outside that directory, and
// never over an existing file (a number is added until the name is free).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Writes `data` to a new file in `dir` named after `source` with `suffix`;
// returns its path, or "" with `error` set.
std::string write_exclusive(const std::string& dir, const std::string& source, std::string_view suffix,
                            std::string_view data, std::string& error);

// Creates a new file the same way and returns its open descriptor (the
// caller writes and closes it), its path in `path`; -1 with `error` set.
int open_exclusive(const std::string& dir, const std::string& source, std::string_view suffix, std::string& path,
                   std::string& error);

// The safe base name used above (exposed for tests).
std::string safe_name(const std::string& source);

// The name the files written for scanned file number `seq` (0 first) start
// with: "000043-song.mp3" (standard input, "-": "000043-stdin"). It depends
// only on the file's place in the scan, so the same scan names its files the
// same whatever the number of workers, and two files of the same base name
// never compete for one name.
std::string numbered_name(std::uint64_t seq, const std::string& source);
