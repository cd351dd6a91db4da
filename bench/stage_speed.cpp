// The Huffman and requantisation stage alone: records (one granule of one
// channel) per second of processor time, with the rest of the decoder left
// out, so that this tree's stage can be set against an earlier one's
// (bench/run_decode_speed.sh builds this source against both).
//
//   stage_speed [--drop] --speed SECONDS FILE...  per file: the records, the
//                                                 frames, and frames per second
//                                                 of processor time spent in
//                                                 the stage alone
//   stage_speed [--drop] --checksum FILE...       FNV-1a over every replayed
//                                                 record's result, fields,
//                                                 spectrum (bit for bit) and
//                                                 reader position
//
// How: the stage's function is wrapped at link time (-Wl,--wrap=SYMBOL, with
// STAGE_SYMBOL naming it), so that during one ordinary decode of the file
// (through the client interface, in one chunk) every call's inputs are
// recorded: the granule record, the scale factors, the sampling index, the
// part2 bits and the reader, with the frame buffer's bytes from the reader's
// position on. Replaying them in file order, over and over, runs the stage
// exactly as the decode did, on the same bytes, and times nothing else but a
// copy of the granule record per call (the stage writes into it), which both
// trees pay alike.
//
// --drop (a tree whose stage can leave the quantised values out, built with
// STAGE_CAN_DROP): the stage as the library's clients run it, the spectrum
// alone. Without it the stage keeps the quantised values, as `gainscan FILE`
// needs and as an older stage always does.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <vector>

#include "bench/fnv1a.h"
#include "bench/load_file.h"
#include "decoder/common/bit_reader.h"
#include "decoder/decoder.h"
#include "decoder/layer3/huffman_requantise.h"

#ifndef STAGE_SYMBOL
#error "STAGE_SYMBOL must name the stage's function, as its link-time wrap does"
#endif

namespace {

// --except-reused: the spectra of granule-1 records that reuse granule 0's
// scale factors (scfsi) are left out of the checksum, to compare with a
// stage recorded from a decoder that read those scale factors as 0.
bool except_reused = false;

// What a call gave, as the checksum takes it.
struct Fingerprint : Fnv1a {
    // The band ends, the 576 floats bit for bit and where the reader was
    // left, counted from the byte it started in.
    void add_outcome(const GranuleInfo& granule, const float* spectrum, const BitReader& reader,
                     const std::uint8_t* start) {
        const std::uint32_t fields[] = {granule.short_band_end[0], granule.short_band_end[1],
                                        granule.short_band_end[2], granule.long_band_end, granule.subband_end};
        add(fields, sizeof fields);
        if (!except_reused || granule.scfsi <= 0 || granule.block_type == 2) add(spectrum, 576 * sizeof(float));
        const std::int64_t position = (reader.byte_pointer - start) * 8 + reader.bit_index;
        add(&position, sizeof position);
    }
};

// One call's inputs.
struct Call {
    GranuleInfo granule;
    ScaleFactors scale_factors;
    int sampling_index;
    int part2_bits;
    std::int32_t bit_index;
    std::size_t bytes_at;  // the frame buffer from the reader's byte on, in `Recording::bytes`
    std::size_t size;
};

struct Recording {
    bool on = false;
    std::vector<Call> calls;
    std::vector<std::uint8_t> bytes;
    Fingerprint print;  // of what the calls gave during the decode
};
Recording recording;

#ifdef STAGE_CAN_DROP
#define STAGE_VALUES_PARAMETER , QuantisedValues values
#define STAGE_VALUES_FORWARD , values
#define STAGE_VALUES_ARGUMENT(drop) , (drop) ? QuantisedValues::drop : QuantisedValues::keep
#else
#define STAGE_VALUES_PARAMETER
#define STAGE_VALUES_FORWARD
#define STAGE_VALUES_ARGUMENT(drop)
#endif

}  // namespace

// The linker sends the decoder's calls of the stage here, and its own
// definition stays reachable as the "real" one.
int real_stage(std::span<float, 576> spectrum, const ScaleFactors& scale_factors, GranuleInfo& granule,
               int sampling_index, int part2_bits STAGE_VALUES_PARAMETER) __asm__("__real_" STAGE_SYMBOL);
int wrapped_stage(std::span<float, 576> spectrum, const ScaleFactors& scale_factors, GranuleInfo& granule,
                  int sampling_index, int part2_bits STAGE_VALUES_PARAMETER) __asm__("__wrap_" STAGE_SYMBOL);

int wrapped_stage(std::span<float, 576> spectrum, const ScaleFactors& scale_factors, GranuleInfo& granule,
                  int sampling_index, int part2_bits STAGE_VALUES_PARAMETER) {
    const BitReader before = bit_reader;
    const GranuleInfo input = granule;
    const int result =
        real_stage(spectrum, scale_factors, granule, sampling_index, part2_bits STAGE_VALUES_FORWARD);
    if (recording.on) {
        // The bytes the stage read: up to where it left the reader, and
        // past that as far as its last look ahead can reach (a window of
        // eight bytes, a code of at most 19 bits), with a wide margin;
        // beyond the copy a replay reads zeros, as at the buffer's end.
        const auto start = static_cast<std::size_t>(before.byte_pointer - before.buffer_begin);
        const auto end = static_cast<std::size_t>(bit_reader.byte_pointer - before.buffer_begin) + 64;
        const std::size_t stop = std::min(end, before.buffer_size);
        const std::size_t size = start < stop ? stop - start : 0;
        recording.calls.push_back(
            Call{input, scale_factors, sampling_index, part2_bits, before.bit_index, recording.bytes.size(), size});
        recording.bytes.insert(recording.bytes.end(), before.byte_pointer, before.byte_pointer + size);
        recording.print.add(&result, sizeof result);
        recording.print.add_outcome(granule, spectrum.data(), bit_reader, before.byte_pointer);
    }
    return result;
}

namespace {

DecoderState state;
std::uint8_t output[MIN_OUTPUT_SPACE];
std::uint64_t frames_seen = 0;
void count_frame(const FrameInfo*, std::uint32_t) { ++frames_seen; }

// Records every call of the stage while `bytes` is decoded once, in full.
bool record(const std::vector<std::uint8_t>& bytes) {
    recording = Recording{};
    frames_seen = 0;
    dec_init(state);
    state.frame_hook = count_frame;
    recording.on = true;
    std::int32_t done = 0;
    int result = dec_decode(state, bytes.data(), static_cast<std::int32_t>(bytes.size()), output, MIN_OUTPUT_SPACE,
                            &done);
    while (result == DEC_OK) result = dec_decode(state, nullptr, 0, output, MIN_OUTPUT_SPACE, &done);
    dec_finish(state);
    recording.on = false;
    dec_release(state);
    return !recording.calls.empty();
}

alignas(64) float spectrum[576];

// Every recorded call once, in file order; `print`, when given, takes what
// each gave.
void replay([[maybe_unused]] bool drop, Fingerprint* print) {
    std::uint8_t* const base = recording.bytes.data();
    for (const Call& call : recording.calls) {
        GranuleInfo granule = call.granule;
        bit_reader = BitReader{base + call.bytes_at, call.bit_index, base + call.bytes_at, call.size};
        const int result = real_stage(std::span<float, 576>(spectrum), call.scale_factors, granule,
                                      call.sampling_index, call.part2_bits STAGE_VALUES_ARGUMENT(drop));
        if (print != nullptr) {
            print->add(&result, sizeof result);
            print->add_outcome(granule, spectrum, bit_reader, base + call.bytes_at);
        }
    }
}

int run(bool drop, bool checksum, double seconds, int count, char** files) {
    for (int i = 0; i < count; ++i) {
        const std::vector<std::uint8_t> bytes = load_file(files[i]);
        if (bytes.empty() || !record(bytes)) {
            std::fprintf(stderr, "%s: nothing to replay\n", files[i]);
            return 1;
        }
        if (checksum) {
            // The replay must give what the decode gave, or it times
            // something else.
            Fingerprint print;
            replay(drop, &print);
            if (print.hash != recording.print.hash) {
                std::fprintf(stderr, "%s: the replay differs from the decode\n", files[i]);
                return 1;
            }
            std::printf("%016llx records %zu %s\n", static_cast<unsigned long long>(print.hash),
                        recording.calls.size(), files[i]);
            continue;
        }
        replay(drop, nullptr);  // warm-up
        std::uint64_t runs = 0;
        // Processor time, not wall time: on a shared machine it is what the
        // stage itself costs.
        const std::clock_t start = std::clock();
        double elapsed = 0;
        do {
            replay(drop, nullptr);
            ++runs;
            elapsed = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        } while (elapsed < seconds);
        std::printf("%s %zu %llu %.6f %.1f\n", files[i], recording.calls.size(),
                    static_cast<unsigned long long>(frames_seen), elapsed / static_cast<double>(runs),
                    static_cast<double>(frames_seen * runs) / elapsed);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool drop = false;
    if (argc >= 2 && std::strcmp(argv[1], "--except-reused") == 0) {
        except_reused = true;
        --argc;
        ++argv;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--drop") == 0) {
#ifndef STAGE_CAN_DROP
        std::fprintf(stderr, "this stage always keeps the quantised values\n");
        return 1;
#endif
        drop = true;
        --argc;
        ++argv;
    }
    if (argc >= 4 && std::strcmp(argv[1], "--speed") == 0) return run(drop, false, std::atof(argv[2]), argc - 3, argv + 3);
    if (argc >= 3 && std::strcmp(argv[1], "--checksum") == 0) return run(drop, true, 0, argc - 2, argv + 2);
    std::fprintf(stderr, "usage: stage_speed [--drop] --speed SECONDS FILE... | [--except-reused] [--drop] --checksum FILE...\n");
    return 1;
}
