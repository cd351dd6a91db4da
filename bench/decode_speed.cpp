// Whole-file decoding speed and a fingerprint of everything the decoder hands
// out, through the client interface only, so that the same source can be
// linked against the current decoder and against an older build of it
// (bench/run_decode_speed.sh does both and prints the ratios).
//
//   decode_speed --speed SECONDS FILE...   frames per second of processor time
//                                          per file, decoding the whole file
//                                          from memory in one chunk, repeated
//                                          for at least SECONDS
//   decode_speed --checksum FILE...        one line per file: FNV-1a over every
//                                          frame record, granule record (fields,
//                                          the 576 spectral floats bit for bit,
//                                          the 576 quantised values, the bit
//                                          position after the granule), every
//                                          message and every dec_decode result,
//                                          decoded in one chunk and in the
//                                          analyser's 16385-byte chunks
//   decode_speed --spectrum-only --speed|--checksum ...
//                                          the same, decoding only what the
//                                          library's clients get (the spectrum
//                                          before stereo processing, no
//                                          quantised values), where the
//                                          decoder can be asked to: one built
//                                          before it could decodes in full
//   decode_speed --except-reused [--spectrum-only] --checksum FILE...
//                                          the fingerprint without the spectra
//                                          of granule-1 records that reuse
//                                          granule 0's scale factors (scfsi),
//                                          to compare with a decoder built
//                                          before it reused them (it read them
//                                          as 0): everything else the same
//   decode_speed --read N FILE             reads N bytes of FILE with fread in
//                                          16385-byte chunks and exits: the
//                                          whole-process floor for hyperfine
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "decoder/common/bit_reader.h"
#include "decoder/decoder.h"
#include "bench/fnv1a.h"
#include "bench/load_file.h"

namespace {

constexpr std::size_t ANALYSER_CHUNK = 16385;

struct Fingerprint : Fnv1a {
    std::uint64_t frames = 0;
    std::uint64_t granules = 0;
    std::uint64_t messages = 0;
};

Fingerprint print;
std::uint64_t frames_seen = 0;
volatile std::uint8_t read_sink = 0;

void count_frame(const FrameInfo*, std::uint32_t) { ++frames_seen; }
void count_granule(const GranuleInfo*, std::uint32_t, std::int32_t) {}

bool spectrum_only = false;  // --spectrum-only
bool except_reused = false;  // --except-reused

void hash_frame(const FrameInfo* f, std::uint32_t) {
    ++print.frames;
    const std::int32_t fields[] = {f->channels,      f->lsf_flag,       f->mpeg25_flag,  f->layer,
                                   f->crc_present,   f->bitrate_index,  f->sampling_index, f->padding_bit,
                                   f->mode,          f->mode_extension, f->frame_size,   f->skipped_bytes,
                                   f->main_data_begin, f->error_flag};
    print.add(fields, sizeof fields);
    print.add_value(f->header_word);
}

void hash_granule(const GranuleInfo* g, std::uint32_t, std::int32_t channel) {
    ++print.granules;
    print.add_value(channel);
    const std::uint32_t fields[] = {g->part2_3_length, g->big_values,       g->global_gain,   g->block_type,
                                    g->mixed_block_flag, g->short_band_end[0], g->short_band_end[1],
                                    g->short_band_end[2], g->long_band_end,   g->subband_end};
    print.add(fields, sizeof fields);
    if (!except_reused || g->scfsi <= 0 || g->block_type == 2) print.add(g->spectrum, 576 * sizeof(float));
    if (!spectrum_only) print.add(g->quantised_values, 576 * sizeof(std::int16_t));
    // Where the reader stands, as an offset from the first frame buffer (the
    // two lie one after the other in the state).
    const auto base = reinterpret_cast<std::uintptr_t>(dec_current()->frame_buffers[0].data());
    const auto offset = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(bit_reader.byte_pointer) - base) * 8 +
                        bit_reader.bit_index;
    print.add_value(offset);
}

void hash_message(void*, int stream, const char* text, std::size_t length) {
    ++print.messages;
    print.add_value(stream);
    print.add(text, length);
}

DecoderState state;
std::uint8_t output[MIN_OUTPUT_SPACE];

// Asks for the spectrum alone where the decoder has the switches (this
// source is also compiled against decoders from before them).
template <typename State>
void ask_for_spectrum_only(State& s) {
    if constexpr (requires { s.skip_quantised = 1; s.skip_stereo = 1; }) {
        s.skip_quantised = 1;
        s.skip_stereo = 1;
    }
}

// Decodes `bytes` to the end in chunks of `chunk` bytes (0: one chunk).
void decode_all(const std::vector<std::uint8_t>& bytes, std::size_t chunk, bool fingerprint) {
    dec_init(state);
    if (spectrum_only) ask_for_spectrum_only(state);
    if (fingerprint) {
        state.frame_hook = hash_frame;
        state.granule_hook = hash_granule;
        state.message_sink = MessageSink{hash_message, nullptr};
    } else {
        state.frame_hook = count_frame;
        state.granule_hook = count_granule;
    }
    std::int32_t done = 0;
    const std::size_t step = chunk == 0 ? bytes.size() : chunk;
    for (std::size_t pos = 0; pos < bytes.size(); pos += step) {
        const auto n = static_cast<std::int32_t>(std::min(step, bytes.size() - pos));
        int result = dec_decode(state, bytes.data() + pos, n, output, MIN_OUTPUT_SPACE, &done);
        while (result == DEC_OK) result = dec_decode(state, nullptr, 0, output, MIN_OUTPUT_SPACE, &done);
        if (fingerprint) print.add_value(result);
        if (result == DEC_ERROR) break;
    }
    dec_finish(state);
    if (fingerprint) {
        print.add(state.skipped_histogram.data(), sizeof state.skipped_histogram);
        print.add_value(state.skipped_total);
    }
    dec_release(state);
}

int run_speed(double seconds, int count, char** files) {
    for (int i = 0; i < count; ++i) {
        const std::vector<std::uint8_t> bytes = load_file(files[i]);
        if (bytes.empty()) {
            std::fprintf(stderr, "cannot read %s\n", files[i]);
            return 1;
        }
        decode_all(bytes, 0, false);  // warm-up
        frames_seen = 0;
        std::uint64_t runs = 0;
        // Processor time, not wall time: on a shared machine it is what the
        // decoder itself costs.
        const std::clock_t start = std::clock();
        double elapsed = 0;
        do {
            decode_all(bytes, 0, false);
            ++runs;
            elapsed = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        } while (elapsed < seconds);
        std::printf("%s %llu %.6f %.1f\n", files[i], static_cast<unsigned long long>(frames_seen / runs),
                    elapsed / static_cast<double>(runs), static_cast<double>(frames_seen) / elapsed);
    }
    return 0;
}

int run_checksum(int count, char** files) {
    for (int i = 0; i < count; ++i) {
        const std::vector<std::uint8_t> bytes = load_file(files[i]);
        print = Fingerprint{};
        decode_all(bytes, 0, true);
        decode_all(bytes, ANALYSER_CHUNK, true);
        std::printf("%016llx frames %llu granules %llu messages %llu %s\n",
                    static_cast<unsigned long long>(print.hash), static_cast<unsigned long long>(print.frames),
                    static_cast<unsigned long long>(print.granules),
                    static_cast<unsigned long long>(print.messages), files[i]);
    }
    return 0;
}

int run_read(std::uint64_t limit, const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return 1;
    static std::uint8_t buffer[ANALYSER_CHUNK];
    std::uint64_t total = 0;
    while (total < limit) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(ANALYSER_CHUNK, limit - total));
        const std::size_t got = std::fread(buffer, 1, want, f);
        total += got;
        if (got < want) break;
    }
    std::fclose(f);
    read_sink = buffer[0];  // keeps the reads observable
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (; argc >= 2; --argc, ++argv) {
        if (std::strcmp(argv[1], "--spectrum-only") == 0)
            spectrum_only = true;
        else if (std::strcmp(argv[1], "--except-reused") == 0)
            except_reused = true;
        else
            break;
    }
    if (argc >= 4 && std::strcmp(argv[1], "--speed") == 0) return run_speed(std::atof(argv[2]), argc - 3, argv + 3);
    if (argc >= 3 && std::strcmp(argv[1], "--checksum") == 0) return run_checksum(argc - 2, argv + 2);
    if (argc == 4 && std::strcmp(argv[1], "--read") == 0) return run_read(std::strtoull(argv[2], nullptr, 10), argv[3]);
    std::fprintf(stderr,
                 "usage: decode_speed [--spectrum-only] --speed SECONDS FILE... | [--except-reused] [--spectrum-only] "
                 "--checksum FILE... "
                 "| --read N FILE\n");
    return 1;
}
