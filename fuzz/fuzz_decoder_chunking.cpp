// The decoder must see the same stream whatever way it is cut into chunks.
//
// Input layout: byte 0 picks how chunk sizes are drawn (bits 0-3) and whether
// the chunked decode computes no spectrum (bit 4: the granules' codes are then
// only stepped over, which must change nothing below), bytes 1..3 seed the
// generator, the rest is the stream. The stream is decoded twice, once in the
// drawn chunks and once in a single chunk, and everything the hooks and the
// state show must agree: every frame's header fields, sizes, skipped bytes,
// main_data_begin and error flag, every granule record's global_gain and
// channel in order, whether decoding ended on an error, and after dec_finish
// the pending frame size, the skipped-byte count and the histogram.
//
// The header search only starts with at least 4 bytes buffered, so a chunked
// client can be left with up to 3 bytes that are never searched, where the
// single chunk searches them all. That is how the decoder is meant to work,
// not a chunking fault. To compare like with like, the stream gets 8 bytes of
// 0xFF behind it: a header can end at most on the first of them (a window
// ending on a later one has bitrate index 15), and the unsearched bytes are
// always among the last 3. What is still left unsearched is added back to
// skipped_total before comparing.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "decoder/decoder.h"

namespace {

constexpr std::size_t MAX_STREAM = 64 * 1024;
constexpr std::size_t PREFIX = 4;
constexpr std::size_t TAIL = 8;

// One hook call. Frames and granules share one log so their order is compared too.
struct Event {
    std::int32_t kind;  // 0 frame, 1 granule
    std::array<std::int32_t, 19> fields;

    bool operator==(const Event&) const = default;
};

struct Run {
    std::vector<Event> events;
    bool ended_on_error = false;
    std::int32_t skipped_total = 0;
    std::int32_t bytes_left = 0;  // unread at dec_finish
    std::int32_t pending_frame_size = 0;
    std::array<std::uint32_t, 256> histogram{};
};

Run* current_run = nullptr;

// Says what differed (visible when a reproducer is run without
// -close_fd_mask) and stops with a crash the fuzzer records.
[[noreturn]] void mismatch(const char* what, std::size_t index) {
    std::fprintf(stderr, "chunked and whole decoding differ: %s (at %zu)\n", what, index);
    std::fflush(stderr);
    __builtin_trap();
}

void frame_hook(const FrameInfo* f, std::uint32_t /*user_data*/) {
    Event e{0, {f->channels, f->lsf_flag, f->mpeg25_flag, f->layer, f->crc_present, f->bitrate_index,
                f->sampling_index, f->padding_bit, f->private_bit, f->mode, f->mode_extension, f->copyright,
                f->original, f->emphasis, f->frame_size, f->skipped_bytes, f->main_data_begin, f->error_flag,
                static_cast<std::int32_t>(f->header_word)}};
    current_run->events.push_back(e);
}

void granule_hook(const GranuleInfo* g, std::uint32_t /*user_data*/, std::int32_t channel) {
    Event e{1, {}};
    e.fields[0] = static_cast<std::int32_t>(g->global_gain);
    e.fields[1] = channel;
    current_run->events.push_back(e);
}

// xorshift32: cheap and fully determined by the seed bytes.
struct Prng {
    std::uint32_t s;
    std::uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};

// Largest chunk for each mode; small ones split headers and bodies everywhere,
// the last one is the analyser's own read size.
constexpr std::array<std::uint32_t, 8> MAX_CHUNK = {1, 2, 3, 7, 64, 417, 4096, 16385};

DecoderState state;
std::array<std::uint8_t, MIN_OUTPUT_SPACE> output;

// Feeds one chunk and then drains what is buffered. False once the decoder
// reported an error: the stream is then abandoned, as a client would.
bool feed(const std::uint8_t* chunk, std::int32_t size) {
    std::int32_t done = 0;
    int result = dec_decode(state, chunk, size, output.data(), static_cast<std::int32_t>(output.size()), &done);
    while (result == DEC_OK)
        result = dec_decode(state, nullptr, 0, output.data(), static_cast<std::int32_t>(output.size()), &done);
    return result != DEC_ERROR;
}

void decode(Run& run, const std::uint8_t* data, std::size_t size, bool chunked, std::uint8_t mode,
            std::uint32_t seed) {
    current_run = &run;
    dec_init(state);
    state.frame_hook = frame_hook;
    state.granule_hook = granule_hook;
    state.skip_spectrum = chunked && (mode & 16u) != 0 ? 1 : 0;

    // A private copy, so a decoder that read past a chunk would trip ASan on
    // exactly that chunk rather than on the fuzzer's buffer.
    bool ok = true;
    if (!chunked) {
        std::vector<std::uint8_t> whole(data, data + size);
        if (size > 0) ok = feed(whole.data(), static_cast<std::int32_t>(size));
    } else {
        Prng prng{seed | 1u};
        const std::uint32_t max_chunk = MAX_CHUNK[mode & 7u];
        const bool empty_chunks = (mode & 8u) != 0;
        std::size_t pos = 0;
        while (ok && pos < size) {
            std::size_t n = 1 + prng.next() % max_chunk;
            if (empty_chunks && prng.next() % 8 == 0) n = 0;
            if (n > size - pos) n = size - pos;
            std::vector<std::uint8_t> chunk(data + pos, data + pos + n);
            // An empty chunk still comes with a real pointer.
            static std::uint8_t empty_byte = 0;
            ok = feed(n > 0 ? chunk.data() : &empty_byte, static_cast<std::int32_t>(n));
            pos += n;
        }
    }
    run.ended_on_error = !ok;
    dec_finish(state);
    run.skipped_total = state.skipped_total;
    run.bytes_left = state.bytes_buffered;
    run.pending_frame_size = state.pending_frame_size;
    run.histogram = state.skipped_histogram;
    dec_release(state);
    current_run = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The decoder talks on stdout; run with -close_fd_mask=3 to silence stderr
    // as well (libFuzzer keeps its own and the sanitizers' reports).
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::perror("freopen");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > MAX_STREAM + PREFIX) return -1;
    std::uint8_t mode = 0;
    std::uint32_t seed = 0;
    if (size >= PREFIX) {
        mode = data[0];
        seed = data[1] | (data[2] << 8) | (std::uint32_t{data[3]} << 16);
        data += PREFIX;
        size -= PREFIX;
    }
    static std::vector<std::uint8_t> stream;
    stream.assign(data, data + size);
    stream.insert(stream.end(), TAIL, 0xFF);
    data = stream.data();
    size = stream.size();

    static Run chunked;
    static Run whole;
    chunked = Run{};
    whole = Run{};
    decode(chunked, data, size, true, mode, seed);
    decode(whole, data, size, false, mode, seed);

    const std::size_t common = std::min(chunked.events.size(), whole.events.size());
    for (std::size_t i = 0; i < common; ++i)
        if (!(chunked.events[i] == whole.events[i]))
            mismatch(whole.events[i].kind == 0 ? "frame record" : "granule record", i);
    if (chunked.events.size() != whole.events.size()) mismatch("number of hook calls", common);
    if (chunked.ended_on_error != whole.ended_on_error) mismatch("error result", 0);
    if (chunked.pending_frame_size != whole.pending_frame_size) mismatch("pending_frame_size", 0);
    // Left unsearched: at most 3 bytes, all from the tail.
    if (chunked.pending_frame_size == 0 && !chunked.ended_on_error && chunked.bytes_left > 3)
        mismatch("bytes left unsearched", static_cast<std::size_t>(chunked.bytes_left));
    if (chunked.skipped_total + chunked.bytes_left != whole.skipped_total + whole.bytes_left)
        mismatch("skipped_total", 0);
    for (std::size_t b = 0; b < 256; ++b)
        if (chunked.histogram[b] != whole.histogram[b]) mismatch("skipped_histogram byte", b);
    return 0;
}
