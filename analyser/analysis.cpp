#include "analyser/analysis.h"

#include <array>
#include <filesystem>
#include <system_error>

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

void mark_quick_done(FileAnalysis& job) {
    if (job.quick_done) return;
    job.quick_done = true;
    job.quick_frames = job.records.frames;
    job.quick_records = job.records.granule_records;
}

}  // namespace

std::uint64_t current_frame_offset(const FileAnalysis& job) {
    const DecoderState* state = dec_current();
    if (state == nullptr) return 0;
    // The frame's body has just been taken out of the buffered input.
    const auto behind = static_cast<std::uint64_t>(state->bytes_buffered) +
                        static_cast<std::uint64_t>(state->frame.frame_size) + 4;
    const std::uint64_t end = job.audio_start + job.bytes_fed;
    return end >= behind ? end - behind : 0;
}

void analyse_stream(std::ifstream& file, const char* path, FileAnalysis& job, DecoderState& state) {
    dec_init(state);
    state.frame_hook = on_frame;
    state.granule_hook = on_granule;
    state.message_sink = job.sink;
    state.client = &job.records;

    static thread_local InputBuffer input{};
    static thread_local std::array<std::uint8_t, 8192> output{};
    std::int32_t done = 0;
    if (file.good()) {
        skip_leading_blocks(file, input);
        const std::streamoff at = file.tellg();
        job.audio_start = at >= 4 ? static_cast<std::uint64_t>(at) - 4 : 0;
    }

    std::streamsize carry = 4;  // the last four bytes read above start the audio
    bool stop = false;
    while (!stop && file.good()) {
        const std::streamsize length = read_into(file, input.data() + carry, READ_CHUNK) + carry;
        carry = 0;
        if (length < 1) break;
        job.bytes_fed += static_cast<std::uint64_t>(length);
        int result = dec_decode(state, input.data(), static_cast<std::int32_t>(length), output.data(),
                                static_cast<std::int32_t>(output.size()), &done);
        while (result == DEC_OK) {
            result = dec_decode(state, nullptr, 0, output.data(), static_cast<std::int32_t>(output.size()),
                                &done);
            // The 200-record stop is tested only after calls without new data.
            if (!job.quick_done && job.records.record_count >= MAX_RECORDS) {
                mark_quick_done(job);
                if (!job.whole_file) {
                    stop = true;
                    break;
                }
            }
        }
        if (stop) break;
        if (result == DEC_ERROR) {
            job.decode_error = true;
            job.decoder_failed = state.failed != 0;
            if (job.sink.write != nullptr)
                job.sink.write(job.sink.context, MESSAGE_STDERR, "decoding error", 14);
            else
                std::fputs("decoding error", job.err != nullptr ? job.err : stderr);
            break;
        }
    }

    dec_finish(state);
    mark_quick_done(job);
    job.read_error = file.bad();
    job.file_length = file_length(file, path);
    file.close();
    dec_release(state);
}
