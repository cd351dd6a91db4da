// The one record gainscan-batch produces per file. Workers fill it; the
// printers only render it (text, jsonl, csv), never compute.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct DecoderMessage {
    int stream;        // MESSAGE_STDOUT or MESSAGE_STDERR: where gainscan prints it
    std::string text;  // exactly as gainscan prints it, line end included
};

struct PayloadReport {
    std::string file;        // path of the extracted payload ("" when not written)
    std::uint64_t bytes;     // bytes extracted
    bool complete;           // the file held all the bytes the length field claims
    std::string sha256;      // lower-case hex of the extracted bytes
    std::string mime;        // libmagic's MIME type
    std::string type;        // libmagic's description
};

// The bounded plot of a flagged file's carriers (jsonl only): at most 500
// carriers evenly spread over the file.
struct PlotReport {
    std::vector<double> seconds;
    std::vector<double> residual;
    std::vector<std::uint8_t> odd;
    double span_start = 0, span_end = 0;
};

struct FileReport {
    std::string file;   // the path as named or as walked (raw bytes)
    bool ok = false;    // status "ok"; otherwise "error" with `error`
    std::string error;

    // gainscan's own analysis of the first 200 records, exactly as it prints it.
    bool found = false;            // verdict "found" / "none"
    std::uint32_t length = 0;      // the length when found
    std::uint32_t nbits = 0;
    std::uint32_t capacity = 0;    // bytes
    std::int64_t frames = 0;       // frames decoded up to where gainscan stops
    std::int64_t records = 0;      // granule records seen up to there
    std::vector<DecoderMessage> messages;  // in order, up to where gainscan stops

    // The program's decision: the exit status follows it. With --quick it is `found`.
    bool flagged = false;

    // Whole-file evidence (absent with --quick).
    bool whole_file = false;
    std::int64_t total_frames = 0;
    std::int64_t total_records = 0;
    std::vector<DecoderMessage> later_messages;  // decoder messages past gainscan's stop
    std::string format;                // layer3, mpeg_audio_other, not_mpeg_audio, empty (from the bytes)
    std::optional<double> seconds;     // duration of the Layer III frames (layer3 files)
    std::optional<double> score;       // the parity statistic in null-standard units (see README)
    std::optional<double> p_value;     // false-alarm probability; set when evidence is "measured"
    std::string evidence;              // "measured" / "insufficient" ("" when not weighed: not layer3)
    std::string evidence_reason;       // why insufficient ("" otherwise)
    std::optional<PlotReport> plot;    // flagged files only
    std::int64_t carriers = 0;         // carrier records in the file
    std::optional<std::int64_t> span;  // carriers the length field claims, when one is read

    std::optional<PayloadReport> payload;  // with --extract / --extract-all
    std::vector<std::string> write_errors; // payload or dump files that could not be written
    std::uint64_t file_bytes = 0;          // bytes in the file (progress: MB/s)
};
