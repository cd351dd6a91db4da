// Throughput of the analyser and of the decoder on a long file.
//
// The input is $GAINSCAN_BENCH_FILE, or else the biggest *.mp3 among the test
// fixtures. Benchmarks:
//   Analyser/run            analyser_run on the file, report to /dev/null
//   Stdio/analyser_bytes    fopen + fread in 16385-byte chunks of as many bytes
//                           as one analyser run reads (it stops after 200
//                           records, so usually far less than the file)
//   Stdio/whole_file        the same, to the end of the file
//   Decoder/whole_file      the file decoded to the end from memory, one chunk
//   Decoder/chunked_16385   the same, fed in the analyser's read size
//   Decoder/repeated_x8     the file's bytes eight times over, one chunk
//   Decoder/init            dec_init alone (it clears the state; the computed
//                           tables are generated constants),
//                           a fixed cost inside every analyser run
// bench/run_bench.sh turns the times into ratios.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "analyser/driver.h"
#include "analysis/read_loop.h"
#include "decoder/decoder.h"
#include "bench/load_file.h"

namespace {

std::string bench_file;
std::vector<std::uint8_t> file_bytes;
std::vector<std::uint8_t> repeated_bytes;
std::uint64_t analyser_read_bytes = 0;
std::FILE* dev_null = nullptr;

std::string pick_file() {
    if (const char* env = std::getenv("GAINSCAN_BENCH_FILE"); env != nullptr && *env != '\0') return env;
    std::string best;
    std::uintmax_t best_size = 0;
    for (const auto& entry : std::filesystem::directory_iterator(GAINSCAN_FIXTURES)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".mp3") continue;
        if (entry.file_size() > best_size) {
            best_size = entry.file_size();
            best = entry.path().string();
        }
    }
    return best;
}

// Bytes this process has read through read(2) and friends so far, or -1.
long long read_chars() {
    std::FILE* f = std::fopen("/proc/self/io", "r");
    if (f == nullptr) return -1;
    long long value = -1;
    char line[128];
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "rchar: %lld", &value) == 1) break;
    std::fclose(f);
    return value;
}

int run_analyser() {
    const char* argv[] = {"gainscan", bench_file.c_str(), nullptr};
    return analyser_run(2, argv, dev_null, dev_null);
}

// What one analyser run reads from its file. The counter is read before and
// after; the two reads of /proc/self/io itself are measured and taken off.
std::uint64_t measure_analyser_read() {
    const long long a = read_chars();
    const long long b = read_chars();
    run_analyser();
    const long long c = read_chars();
    if (a < 0 || b < 0 || c < 0) return 0;
    const long long probe = b - a;
    const long long delta = c - b - probe;
    return delta > 0 ? static_cast<std::uint64_t>(delta) : 0;
}

// fread in the analyser's chunk size until `limit` bytes or end of file.
std::uint64_t stdio_read(std::uint64_t limit) {
    std::FILE* f = std::fopen(bench_file.c_str(), "rb");
    if (f == nullptr) return 0;
    static std::uint8_t buffer[gainscan::READ_CHUNK];
    std::uint64_t total = 0;
    while (total < limit) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(gainscan::READ_CHUNK, limit - total));
        const std::size_t got = std::fread(buffer, 1, want, f);
        benchmark::DoNotOptimize(buffer[0]);
        total += got;
        if (got < want) break;
    }
    std::fclose(f);
    return total;
}

void BM_AnalyserRun(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(run_analyser());
    state.counters["bytes_read"] = static_cast<double>(analyser_read_bytes);
    state.counters["file_bytes"] = static_cast<double>(file_bytes.size());
}

void BM_StdioRead(benchmark::State& state, bool whole_file) {
    const std::uint64_t limit = whole_file ? file_bytes.size() : analyser_read_bytes;
    std::uint64_t total = 0;
    for (auto _ : state) total += stdio_read(limit);
    state.counters["bytes_read"] = static_cast<double>(limit);
    state.SetBytesProcessed(static_cast<std::int64_t>(total));
}

struct DecodeCounts {
    std::uint64_t frames = 0;
    std::uint64_t granules = 0;
};
DecodeCounts counts;

void count_frame(const FrameInfo* /*frame*/, std::uint32_t /*user_data*/) { ++counts.frames; }
void count_granule(const GranuleInfo* /*granule*/, std::uint32_t /*user_data*/, std::int32_t /*channel*/) {
    ++counts.granules;
}

DecoderState decoder_state;
std::uint8_t decoder_output[MIN_OUTPUT_SPACE];

// Decodes `bytes` to the end in chunks of `chunk` bytes (0: one chunk).
void decode_all(const std::vector<std::uint8_t>& bytes, std::size_t chunk) {
    DecoderState& s = decoder_state;
    dec_init(s);
    s.frame_hook = count_frame;
    s.granule_hook = count_granule;
    std::int32_t done = 0;
    const std::size_t step = chunk == 0 ? bytes.size() : chunk;
    for (std::size_t pos = 0; pos < bytes.size(); pos += step) {
        const auto n = static_cast<std::int32_t>(std::min(step, bytes.size() - pos));
        int result = dec_decode(s, bytes.data() + pos, n, decoder_output, MIN_OUTPUT_SPACE, &done);
        while (result == DEC_OK) result = dec_decode(s, nullptr, 0, decoder_output, MIN_OUTPUT_SPACE, &done);
        if (result == DEC_ERROR) break;
    }
    dec_finish(s);
    dec_release(s);
}

void BM_Decode(benchmark::State& state, const std::vector<std::uint8_t>* bytes, std::size_t chunk) {
    counts = DecodeCounts{};
    for (auto _ : state) decode_all(*bytes, chunk);
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(counts.frames), benchmark::Counter::kIsRate);
    state.counters["frames"] = static_cast<double>(counts.frames) / iterations;
    state.counters["granule_records"] = static_cast<double>(counts.granules) / iterations;
    state.counters["input_bytes"] = static_cast<double>(bytes->size());
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes->size()) * state.iterations());
}

void BM_DecInit(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(dec_init(decoder_state));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    bench_file = pick_file();
    file_bytes = load_file(bench_file);
    if (file_bytes.empty()) {
        std::fprintf(stderr, "no input: set GAINSCAN_BENCH_FILE or add *.mp3 fixtures (tried '%s')\n",
                     bench_file.c_str());
        return 1;
    }
    for (int i = 0; i < 8; ++i) repeated_bytes.insert(repeated_bytes.end(), file_bytes.begin(), file_bytes.end());
    dev_null = std::fopen("/dev/null", "w");
    if (dev_null == nullptr) return 1;
    analyser_read_bytes = measure_analyser_read();
    if (analyser_read_bytes == 0) analyser_read_bytes = file_bytes.size();  // no /proc: assume all of it

    benchmark::AddCustomContext("bench_file", bench_file);
    benchmark::AddCustomContext("file_bytes", std::to_string(file_bytes.size()));
    benchmark::AddCustomContext("analyser_bytes_read", std::to_string(analyser_read_bytes));

    benchmark::RegisterBenchmark("Analyser/run", BM_AnalyserRun)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Stdio/analyser_bytes", BM_StdioRead, false)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Stdio/whole_file", BM_StdioRead, true)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Decoder/whole_file", BM_Decode, &file_bytes, std::size_t{0})
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Decoder/chunked_16385", BM_Decode, &file_bytes, std::size_t{gainscan::READ_CHUNK})
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Decoder/repeated_x8", BM_Decode, &repeated_bytes, std::size_t{0})
        ->Unit(benchmark::kMillisecond);

    benchmark::RegisterBenchmark("Decoder/init", BM_DecInit)->Unit(benchmark::kMicrosecond);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::fclose(dev_null);
    return 0;
}
