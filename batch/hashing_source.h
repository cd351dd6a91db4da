// Hashes a file's bytes in the same read as the analysis: wraps the file's
// ByteSource and feeds every chunk it returns to SHA-256 (and MD5 when asked).
// The analysis may stop early (--quick, a decoding error); asking for the size
// then reads the rest through the same source, so the digest always covers
// the whole file and `size()` is the number of bytes hashed.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "gainscan/analysis.h"

// Two lower-case hex digits per byte.
std::string lower_hex(std::span<const std::uint8_t> bytes);
// Lower-case hex SHA-256 of bytes in memory ("" if hashing failed).
std::string sha256_hex(std::span<const std::uint8_t> bytes);

struct HashChoice {
    bool sha256 = true;
    bool md5 = false;
    bool any() const { return sha256 || md5; }
};

class HashingSource final : public gainscan::ByteSource {
public:
    HashingSource(gainscan::ByteSource& inner, HashChoice choice);
    ~HashingSource() override;
    HashingSource(const HashingSource&) = delete;
    HashingSource& operator=(const HashingSource&) = delete;

    std::size_t read(std::span<std::uint8_t> to) override;
    bool failed() const override { return inner_.failed() || broken_; }
    std::uint64_t size() override;  // reads to the end; the bytes hashed

    // Lower-case hex digests of every byte read (call after size());
    // "" for one not asked for, or when reading or hashing failed.
    std::string sha256();
    std::string md5();

private:
    struct Digest;
    gainscan::ByteSource& inner_;
    std::unique_ptr<Digest> sha256_, md5_;
    std::uint64_t bytes_ = 0;
    bool at_end_ = false;
    bool broken_ = false;  // a digest call failed
};
