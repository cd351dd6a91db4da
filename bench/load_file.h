// The whole of a file's bytes, for the benchmarks (empty when it cannot be read).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline std::vector<std::uint8_t> load_file(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    std::uint8_t buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
    return bytes;
}
