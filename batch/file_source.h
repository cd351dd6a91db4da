// The bytes of one scanned file, read with plain POSIX calls so that the scan
// leaves no trace: files are opened with O_NOATIME where the kernel allows it
// (the caller owns the file, or has CAP_FOWNER; elsewhere the open falls back
// to a plain one and the file system's atime policy applies), read-only,
// never written. Standard input ("-") is one file whose size is what it holds.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "gainscan/analysis.h"

class FileSource final : public gainscan::ByteSource {
public:
    // Opens `path` ("-": standard input). On failure `error()` says why:
    // "No such file or directory", "is a directory", "not a regular file", ...
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool is_open() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    bool noatime() const { return noatime_; }  // opened with O_NOATIME

    // Of a regular file at open time; none for standard input.
    std::optional<std::uint64_t> size_at_open() const { return size_at_open_; }
    std::optional<std::int64_t> mtime_ns() const { return mtime_ns_; }

    // Up to `to.size()` bytes from `offset`, without moving the read position
    // (regular files only; 0 for standard input).
    std::size_t peek(std::uint64_t offset, std::span<std::uint8_t> to) const;

    std::size_t read(std::span<std::uint8_t> to) override;
    bool failed() const override { return failed_; }
    // A regular file's length now (fstat); standard input's: read to its end.
    std::uint64_t size() override;

private:
    int fd_ = -1;
    bool owned_ = false;  // closed by us (not standard input)
    bool stdin_ = false;
    bool noatime_ = false;
    bool failed_ = false;
    std::uint64_t read_bytes_ = 0;
    std::optional<std::uint64_t> size_at_open_;
    std::optional<std::int64_t> mtime_ns_;
    std::string error_;
};
