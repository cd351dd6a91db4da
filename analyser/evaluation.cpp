#include "analyser/evaluation.h"

#include <cinttypes>

namespace {

constexpr int RECORD_STRIDE = 2;  // every second record carries a bit
constexpr std::uint32_t SLACK = 106;

std::uint32_t bit_at(const AnalyserRecords& records, int k) {
    if (k >= records.record_count) return 0;
    return static_cast<std::uint32_t>(records.gain_records[static_cast<std::size_t>(k)]) & 1u;
}

// Capacity in bits. Measured in 64 bits: files over 4 GiB are real. A file too
// short for the 6-bit header, or one whose first frame has no granule size
// (none found, Layer I/II, free format), can carry nothing.
std::uint32_t capacity_bits(std::int32_t bytes_per_granule, std::uint64_t file_length) {
    if (bytes_per_granule <= 0) return 0;
    const std::uint64_t granules = file_length / (2 * static_cast<std::uint64_t>(bytes_per_granule));
    if (granules < 6) return 0;
    const std::uint64_t bits = granules - 6;
    return bits > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(bits);
}

}  // namespace

Evaluation evaluate(const AnalyserRecords& records, std::uint64_t file_length) {
    Evaluation e{};
    for (int i = 0; i < 6; ++i) e.nbits = (e.nbits << 1) | bit_at(records, RECORD_STRIDE * i);

    std::uint32_t capacity = capacity_bits(records.bytes_per_granule, file_length);
    int i = 0;
    while (i <= 31 && ((capacity - static_cast<std::uint32_t>(i)) >> i) != 0) ++i;
    e.width = i - 1;
    capacity -= static_cast<std::uint32_t>(e.width);
    e.capacity_bytes = capacity >> 3;

    e.value = 1;
    for (std::uint32_t j = 0; j + 1 < e.nbits; ++j)
        e.value = (e.value << 1) | bit_at(records, RECORD_STRIDE * static_cast<int>(j + 6));

    e.found = e.nbits <= 32 && e.nbits != 0 && e.value <= e.nbits + e.capacity_bytes + SLACK;
    return e;
}

void evaluate_records(std::uint64_t file_length, std::FILE* out) {
    evaluate_records(analyser_records, file_length, out);
}

void evaluate_records(const AnalyserRecords& records, std::uint64_t file_length, std::FILE* out) {
    const Evaluation e = evaluate(records, file_length);
    if (records.trace_enabled) {
        for (int k = 0; k < 79; ++k) std::fputc(bit_at(records, k) ? '1' : '0', out);
        std::fputc('\n', out);
        for (int k = 0; k < 6; ++k) std::fputc(bit_at(records, RECORD_STRIDE * k) ? '1' : '0', out);
        std::fputc('\n', out);
        std::fprintf(out, "i=%d\n", e.width);
    }
    std::fprintf(out, "capacity: about %" PRIu32 " bytes\n", e.capacity_bytes);
    if (records.trace_enabled) {
        for (std::uint32_t j = 0; j + 1 < e.nbits; ++j)
            std::fputc(bit_at(records, RECORD_STRIDE * static_cast<int>(j + 6)) ? '1' : '0', out);
        std::fputc('\n', out);
    }
    if (e.found) {
        std::fprintf(out, "Possible length specification found: %" PRIu32, e.value);
        if (records.trace_enabled) std::fprintf(out, "\nnBits: %" PRIu32, e.nbits);
        std::fputc('\n', out);
    } else {
        std::fputs("File does not contain any qavex hidden data.\n", out);
    }
}
