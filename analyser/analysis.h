// One file's analysis, the code path both programs share: the leading tag
// blocks, the read-and-decode loop with its 200-record stop, the file's
// length. gainscan runs it once with the decoder's messages on the standard
// streams; gainscan-batch runs it per file, per worker, with a message sink
// and, for whole-file evidence, an observer that sees every granule record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>

#include "analyser/hooks.h"
#include "decoder/decoder.h"

inline constexpr int READ_CHUNK = 16385;  // bytes read from the file per chunk

struct FileAnalysis {
    // Set by the caller.
    bool whole_file;        // decode to the end instead of stopping where gainscan stops
    MessageSink sink;       // null write: the decoder's messages go to stdout/stderr
    std::FILE* err;         // where "decoding error" goes without a sink
    AnalyserRecords records;  // its observer is the caller's; the rest are results

    // Results.
    std::uint64_t file_length;
    std::uint64_t audio_start;   // offset of the first byte fed to the decoder
    std::uint64_t bytes_fed;     // bytes handed to the decoder so far
    bool quick_done;             // gainscan would have stopped reading here
    bool decode_error;           // dec_decode returned DEC_ERROR
    bool decoder_failed;         // the decoder's input chain failed (only with a sink)
    bool read_error;             // the stream failed other than at end of file
    // Frames and granule records at the point gainscan stops (the totals are
    // in `records`).
    std::int64_t quick_frames, quick_records;
};

// Analyses an opened binary stream; `path` is only for measuring the length
// when the stream cannot tell it. Fills the results of `job`.
void analyse_stream(std::ifstream& file, const char* path, FileAnalysis& job, DecoderState& state);

// Byte offset in the file of the frame whose hooks are running.
std::uint64_t current_frame_offset(const FileAnalysis& job);
