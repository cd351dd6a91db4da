// The cost of whole-file evidence on top of decoding the whole file: the
// same file decoded from page cache by gainscan-batch's worker with --quick
// turned off, against the plain decoder driven to the end of the file with
// no hooks. bench/run_bench.sh prints the ratio.
#include <benchmark/benchmark.h>

#include <array>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "batch/analyse_file.h"
#include "decoder/decoder.h"

namespace {

std::string bench_file() {
    const char* chosen = std::getenv("GAINSCAN_BENCH_FILE");
    return chosen != nullptr ? chosen : GAINSCAN_FIXTURES "/long_m1_44100_mono_cbr32_40s.mp3";
}

// Reads the file in the analyser's chunks and decodes every frame.
void BM_DecodeOnly(benchmark::State& state) {
    const std::string path = bench_file();
    static DecoderState decoder{};
    std::array<std::uint8_t, 16385> chunk{};
    std::array<std::uint8_t, 8192> output{};
    std::int32_t done = 0;
    for (auto _ : state) {
        std::ifstream file(path, std::ios::binary);
        dec_init(decoder);
        while (file) {
            file.read(reinterpret_cast<char*>(chunk.data()), chunk.size());
            const auto got = static_cast<std::int32_t>(file.gcount());
            if (got <= 0) break;
            int result = dec_decode(decoder, chunk.data(), got, output.data(), output.size(), &done);
            while (result == DEC_OK) result = dec_decode(decoder, nullptr, 0, output.data(), output.size(), &done);
        }
        dec_finish(decoder);
        dec_release(decoder);
    }
}

void BM_WholeFileEvidence(benchmark::State& state) {
    const std::string path = bench_file();
    ScanOptions options;
    for (auto _ : state) benchmark::DoNotOptimize(analyse_file(path, options));
}

}  // namespace

BENCHMARK(BM_DecodeOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeFileEvidence)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
