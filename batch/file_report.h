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
    std::optional<double> score;       // evidence; larger means more (see README)
    std::int64_t carriers = 0;         // carrier records in the file
    std::optional<std::int64_t> span;  // carriers the length field claims, when one is read

    std::optional<PayloadReport> payload;  // with --extract / --extract-all
    std::vector<std::string> write_errors; // payload or dump files that could not be written
    std::uint64_t file_bytes = 0;          // bytes in the file (progress: MB/s)
};
