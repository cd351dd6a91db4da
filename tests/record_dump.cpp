// Decodes a file with the decoder library and prints what its hooks see: one
// line per granule record, then one per frame, the decoder's messages where
// they arise, and the skipped-byte count at the end.
//
//   record_dump [--frames N] [--chunks A,B,...] FILE
//
// Frames past the first N (default all) are folded into a hash. Each chunk
// size (default: the whole file at once) decodes the file in its own thread at
// the same time as the others; every run must print the same.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "decoder/decoder.h"
#include "decoder/layer3/granule_loop.h"

namespace {

struct Dump {
    long frames_shown = 0;
    std::string text;
    long frames = 0;
    std::uint64_t hash = 14695981039346656037u;  // FNV-1a of everything not shown
    void add(const std::string& line) {
        if (frames < frames_shown) {
            text += line;
        } else {
            for (unsigned char c : line) hash = (hash ^ c) * 1099511628211u;
        }
    }
};

Dump& dump() { return *static_cast<Dump*>(dec_client()); }

// Sum over the lines of (line + 1) * sign: where the nonzero values lie.
long signs(const float* values) {
    long sum = 0;
    for (long i = 0; i < 576; ++i) sum += (i + 1) * ((values[i] > 0) - (values[i] < 0));
    return sum;
}

void on_granule(const GranuleInfo* g, std::uint32_t, std::int32_t channel) {
    // Each requantised line is sign(q) * |q|^4/3 * 2^(-step/4): the steps
    // (weighted by line) show every gain. Short blocks store their lines
    // reordered, so there each line takes the smallest |q| of the granule that
    // gives it a whole step. A line that fits no step counts as odd.
    long nonzero = 0, odd = 0;
    std::int64_t weighted = 0, steps = 0;
    std::vector<int> magnitudes;
    for (int i = 0; i < 576; ++i) {
        const int q = g->quantised_values[i];
        nonzero += q != 0;
        weighted += static_cast<std::int64_t>(i + 1) * q;
        if (q != 0) magnitudes.push_back(std::abs(q));
    }
    std::sort(magnitudes.begin(), magnitudes.end());
    for (int i = 0; i < 576; ++i) {
        const int q = g->quantised_values[i];
        const float x = g->spectrum[i];
        bool fits = false;
        for (std::size_t k = 0; k < magnitudes.size() && !fits && x != 0; ++k) {
            if (g->block_type != 2 && (k > 0 || q == 0 || (x < 0) != (q < 0))) break;
            const double step = -4 * std::log2(std::fabs(x) / std::pow(g->block_type != 2 ? std::abs(q) : magnitudes[k], 4.0 / 3.0));
            fits = std::fabs(step - std::round(step)) < 1e-3;
            if (fits) steps += (i + 1) * std::llround(step);
        }
        odd += (x != 0 && !fits) || (g->block_type != 2 && (x == 0) != (q == 0));
    }
    char line[400];
    std::snprintf(line, sizeof line,
                  "  ch%d scfsi=%d p23=%u bv=%u gg=%u sfc=%u bt=%u mix=%u ts=%u,%u,%u r=%u,%u pre=%u sfs=%u c1=%u "
                  "gain=%d,%d,%d,%d end=%u,%u,%u,%u,%u q=%ld,%" PRId64 " steps=%" PRId64 " odd=%ld\n",
                  channel, g->scfsi, g->part2_3_length, g->big_values, g->global_gain, g->scalefac_compress,
                  g->block_type, g->mixed_block_flag, g->table_select[0], g->table_select[1], g->table_select[2],
                  g->region1_start, g->region2_start, g->preflag, g->scalefac_scale, g->count1table_select,
                  g->gain_long, g->gain_short[0], g->gain_short[1], g->gain_short[2], g->long_band_end,
                  g->short_band_end[0], g->short_band_end[1], g->short_band_end[2], g->subband_end, nonzero, weighted,
                  steps, odd);
    dump().add(line);
}

void on_frame(const FrameInfo* f, std::uint32_t) {
    char line[400];
    std::snprintf(line, sizeof line,
                  "frame %ld %08X layer=%d lsf=%d mpeg25=%d rate=%d br=%d mode=%d ext=%d crc=%d pad=%d priv=%d "
                  "copy=%d orig=%d emph=%d size=%d skipped=%d mdb=%d err=%d signs=%ld,%ld\n",
                  dump().frames, f->header_word, f->layer, f->lsf_flag, f->mpeg25_flag, f->sampling_index,
                  f->bitrate_index, f->mode, f->mode_extension, f->crc_present, f->padding_bit, f->private_bit,
                  f->copyright, f->original, f->emphasis, f->frame_size, f->skipped_bytes, f->main_data_begin,
                  f->error_flag, signs(spectral_buffers[0].data()), signs(spectral_buffers[1].data()));
    dump().add(line);
    ++dump().frames;
}

void on_message(void* context, int stream, const char* text, std::size_t length) {
    static_cast<Dump*>(context)->add((stream == MESSAGE_STDOUT ? "! stdout: " : "! stderr: ") +
                                     std::string(text, length));
}

std::string decode(const std::vector<std::uint8_t>& bytes, std::size_t chunk, long frames_shown) {
    Dump d;
    d.frames_shown = frames_shown;
    DecoderState state;
    dec_init(state);
    state.frame_hook = on_frame;
    state.granule_hook = on_granule;
    state.client = &d;
    state.message_sink = {on_message, &d};
    std::vector<std::uint8_t> output(MIN_OUTPUT_SPACE);
    std::int32_t done = 0;
    int result = DEC_NEED_MORE;
    for (std::size_t at = 0; at < bytes.size() && result != DEC_ERROR; at += chunk) {
        const auto size = static_cast<std::int32_t>(std::min(chunk, bytes.size() - at));
        result = dec_decode(state, bytes.data() + at, size, output.data(), MIN_OUTPUT_SPACE, &done);
        while (result == DEC_OK) result = dec_decode(state, nullptr, 0, output.data(), MIN_OUTPUT_SPACE, &done);
    }
    if (result == DEC_ERROR) d.text += "decoding error\n";
    dec_finish(state);
    unsigned histogram = 0;
    for (std::size_t b = 0; b < 256; ++b) histogram += static_cast<unsigned>(b + 1) * state.skipped_histogram[b];
    dec_release(state);
    char line[200];
    std::snprintf(line, sizeof line, "end frames=%ld skipped=%d histogram=%u rest=%016" PRIx64 "\n", d.frames,
                  state.skipped_total, histogram, d.hash);
    return d.text + line;
}

}  // namespace

int main(int argc, char** argv) {
    long frames_shown = 1L << 30;
    std::vector<std::size_t> chunks;
    std::string item;
    int i = 1;
    for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
        if (std::string(argv[i]) == "--frames") frames_shown = std::stol(argv[i + 1]);
        else
            for (std::istringstream list(argv[i + 1]); std::getline(list, item, ',');) chunks.push_back(std::stoul(item));
    }
    if (i + 1 != argc) {
        std::cerr << "usage: record_dump [--frames N] [--chunks A,B,...] FILE\n";
        return 2;
    }
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (chunks.empty()) chunks.push_back(bytes.size() + 1);
    std::vector<std::string> dumps(chunks.size());
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < chunks.size(); ++k)
        threads.emplace_back([&, k] { dumps[k] = decode(bytes, chunks[k], frames_shown); });
    for (auto& t : threads) t.join();
    std::cout << dumps[0];
    for (std::size_t k = 1; k < chunks.size(); ++k) {
        if (dumps[k] != dumps[0]) {
            std::cout << "chunks of " << chunks[k] << " bytes give another dump:\n" << dumps[k];
            return 1;
        }
    }
    return 0;
}
