// The skipping decoder (DecoderOptions::spectrum false) over whole files held
// in memory, with and without the length tables, alternating, in processor
// time of this thread: the ratio of the two is what the tables gain on this
// machine, whatever else runs on it. A benchmark, never a test.
//
//   skip_speed ROUNDS FILE...
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "decoder/include/gainscan/decoder.h"
#include "decoder/layer3/huffman_requantise.h"
#include "bench/load_file.h"

namespace {

double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Frames decoded, so that the work cannot be dropped.
std::int64_t decode_all(gainscan::Decoder& decoder, const std::vector<std::vector<std::uint8_t>>& files) {
    std::int64_t frames = 0;
    for (const std::vector<std::uint8_t>& bytes : files) {
        decoder.reset();
        gainscan::Step step = decoder.feed(bytes);
        while (step == gainscan::Step::frame) step = decoder.next();
        decoder.finish();
        frames += decoder.frames();
    }
    return frames;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: skip_speed ROUNDS FILE...\n");
        return 2;
    }
    const int rounds = std::atoi(argv[1]);
    std::vector<std::vector<std::uint8_t>> files;
    for (int i = 2; i < argc; ++i) files.push_back(load_file(argv[i]));
    gainscan::Decoder decoder(gainscan::DecoderOptions{.spectrum = false});
    double seconds[2] = {0, 0};
    std::int64_t frames[2] = {0, 0};
    for (int round = 0; round < rounds; ++round) {
        for (int with = 0; with < 2; ++with) {
            layer3_huffman_skip_tables(with ? SkipTables::always : SkipTables::never);
            const double start = thread_seconds();
            frames[with] += decode_all(decoder, files);
            seconds[with] += thread_seconds() - start;
        }
    }
    std::printf("%zu files, %d rounds: fast table %.3f s, length tables %.3f s (%.2fx), %lld frames each\n", files.size(),
                rounds, seconds[0], seconds[1], seconds[0] / seconds[1], static_cast<long long>(frames[0]));
    return frames[0] == frames[1] ? 0 : 1;
}
