// The cost of whole-file evidence on top of decoding the whole file: the
// same file from page cache through the library's whole-file analysis (what
// a gainscan-batch worker runs), against the plain decoder driven to the end
// of the file with no observer. bench/run_bench.sh prints the ratio.
#include <benchmark/benchmark.h>

#include <array>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "gainscan/analysis.h"
#include "gainscan/decoder.h"

namespace {

std::string bench_file() {
    const char* chosen = std::getenv("GAINSCAN_BENCH_FILE");
    return chosen != nullptr ? chosen : GAINSCAN_FIXTURES "/long_m1_44100_mono_cbr32_40s.mp3";
}

// Reads the file in the analyser's chunks and decodes every frame.
void BM_DecodeOnly(benchmark::State& state) {
    const std::string path = bench_file();
    gainscan::Decoder decoder;
    std::array<std::uint8_t, 16385> chunk{};
    for (auto _ : state) {
        std::ifstream file(path, std::ios::binary);
        decoder.reset();
        while (file) {
            file.read(reinterpret_cast<char*>(chunk.data()), chunk.size());
            const auto got = static_cast<std::size_t>(file.gcount());
            if (got == 0) break;
            gainscan::Step step = decoder.feed(std::span<const std::uint8_t>(chunk.data(), got));
            while (step == gainscan::Step::frame) step = decoder.next();
        }
        decoder.finish();
    }
}

void BM_WholeFileEvidence(benchmark::State& state) {
    const std::string path = bench_file();
    gainscan::Analysis analysis;
    for (auto _ : state) benchmark::DoNotOptimize(analysis.analyse_file(path));
}

}  // namespace

BENCHMARK(BM_DecodeOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeFileEvidence)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
