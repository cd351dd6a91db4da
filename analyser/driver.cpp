#include "analyser/driver.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "analyser/evaluation.h"
#include "analyser/hooks.h"
#include "decoder/decoder.h"

namespace {

using InputBuffer = std::array<std::uint8_t, 16400>;

std::streamsize read_into(std::ifstream& file, std::uint8_t* to, std::streamsize count) {
    file.read(reinterpret_cast<char*>(to), count);
    return file.gcount();
}

// Reads and discards `count` bytes, stopping early only at end of file.
void skip_bytes(std::ifstream& file, std::uint64_t count) {
    file.ignore(static_cast<std::streamsize>(count));
}

// Steps over an ID3v2 tag and then an "AiD" block; leaves the first four
// bytes after them at the start of `buffer`.
void skip_leading_blocks(std::ifstream& file, InputBuffer& buffer) {
    read_into(file, buffer.data(), 4);
    if (buffer[0] == 'I' && buffer[1] == 'D' && buffer[2] == '3') {
        // Minor version, flags, then a 28-bit synchsafe size (top bits ignored).
        read_into(file, buffer.data(), 6);
        const std::uint64_t size = (std::uint64_t{buffer[2] & 0x7Fu} << 21) | ((buffer[3] & 0x7Fu) << 14) |
                                   ((buffer[4] & 0x7Fu) << 7) | (buffer[5] & 0x7Fu);
        skip_bytes(file, size);
        read_into(file, buffer.data(), 4);
    }
    if (buffer[0] == 'A' && buffer[1] == 'i' && buffer[2] == 'D' && buffer[3] == 0x01) {
        // The length counts the four magic bytes and its own two bytes.
        read_into(file, buffer.data(), 2);
        const int length = buffer[0] | (buffer[1] << 8);
        if (length - 6 > 0) skip_bytes(file, static_cast<std::uint64_t>(length - 6));
        read_into(file, buffer.data(), 4);
    }
}

// The whole file's length, however reading ended.
std::uint64_t file_length(std::ifstream& file, const char* path) {
    file.clear();
    file.seekg(0, std::ios::end);
    const std::streamoff end = file.tellg();
    if (end >= 0) return static_cast<std::uint64_t>(end);
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint64_t>(size);
}

}  // namespace

int analyser_run(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    if (argc < 2) {
        std::fprintf(err, "usage: %s <filename>\n", argc > 0 && argv[0] ? argv[0] : "gainscan");
        return 1;
    }
    const char* path = argv[1];
    std::fprintf(out, "Analysing file %s\n", path);

    // Only regular files: a directory, a FIFO or a device has no length to
    // measure, and reading one could block or never end.
    std::error_code ec;
    std::ifstream file;
    if (std::filesystem::is_regular_file(path, ec)) file.open(path, std::ios::binary);
    if (!file.is_open() || file.fail()) {
        std::fprintf(err, "unable to open file %s", path);
        return 1;
    }

    reset_analyser_records();
    DecoderState& state = analyser_decoder;
    dec_init(state);
    state.frame_hook = on_frame;
    state.granule_hook = on_granule;

    static thread_local InputBuffer input{};
    static thread_local std::array<std::uint8_t, 8192> output{};
    std::int32_t done = 0;
    if (file.good()) skip_leading_blocks(file, input);

    std::streamsize carry = 4;  // the last four bytes read above start the audio
    bool stop = false;
    while (!stop && file.good()) {
        const std::streamsize length = read_into(file, input.data() + carry, READ_CHUNK) + carry;
        carry = 0;
        if (length < 1) break;
        int result = dec_decode(state, input.data(), static_cast<std::int32_t>(length), output.data(),
                                static_cast<std::int32_t>(output.size()), &done);
        while (result == DEC_OK) {
            result = dec_decode(state, nullptr, 0, output.data(), static_cast<std::int32_t>(output.size()),
                                &done);
            if (analyser_records.record_count >= MAX_RECORDS) {
                stop = true;
                break;
            }
        }
        if (stop) break;
        if (result == DEC_ERROR) {
            std::fputs("decoding error", err);
            break;
        }
    }

    dec_finish(state);
    const std::uint64_t length = file_length(file, path);
    file.close();
    dec_release(state);
    evaluate_records(length, out);
    return 0;
}

int analyser_main(int argc, const char* const* argv) { return analyser_run(argc, argv, stdout, stderr); }
