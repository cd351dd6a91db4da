// FNV-1a over bytes, for the benchmarks' output fingerprints (a checksum
// compared between two builds, not a digest anyone relies on).
#pragma once

#include <cstddef>
#include <cstdint>

struct Fnv1a {
    std::uint64_t hash = 1469598103934665603ull;

    void add(const void* data, std::size_t size) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        for (std::size_t i = 0; i < size; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
    }
    template <typename T>
    void add_value(T v) {
        add(&v, sizeof v);
    }
};
