// gainscan's per-file analysis, as a library: one file's bytes in, one
// FileReport out. It runs the classic analyser's reading of the first 200
// granule records (its verdict, length and capacity, exactly as `gainscan`
// prints them) and, for a whole-file analysis, keeps every granule record and
// weighs the evidence that the parity of global_gain was rewritten.
//
//     gainscan::Analysis analysis;              // one per thread; reuse it for many files
//     gainscan::FileReport report = analysis.analyse_file("song.mp3");
//     if (report.ok && report.flagged) { ... report.p_value, report.span ... }
//
// Uses the C++ standard library only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "gainscan/decoder.h"

namespace gainscan {

struct DecoderMessage {
    Stream stream;     // where gainscan prints it
    std::string text;  // exactly as gainscan prints it, line end included
};

// Decoder messages are counted, not all kept, so that one file's record
// stays small whatever the input (a long file of noise gives one message per
// lost frame). Messages up to gainscan's stop are what it prints: a report
// keeps them while their text adds up to MESSAGES_KEPT_BYTES and counts the
// rest (only a pathological file gets there; a normal one has a handful).
// Messages past the stop: the first LATER_MESSAGES_KEPT in full, and a count
// per distinct text for the first LATER_MESSAGE_TEXTS texts seen.
inline constexpr std::size_t MESSAGES_KEPT_BYTES = 16384;
inline constexpr std::size_t LATER_MESSAGES_KEPT = 5;
inline constexpr std::size_t LATER_MESSAGE_TEXTS = 32;

struct MessageCount {
    std::string text;
    std::uint64_t count = 0;
};

struct MessageTally {
    std::vector<DecoderMessage> first;  // the first LATER_MESSAGES_KEPT, in order
    std::vector<MessageCount> counts;   // per distinct text, in order of first appearance
    std::uint64_t other = 0;            // messages whose text did not get a count of its own
    void add(Stream stream, std::string_view text);
};

// Bytes of a payload's start kept in its report, for a person to look at.
inline constexpr std::size_t PAYLOAD_HEAD_BYTES = 64;

struct PayloadReport {
    std::string file;        // path of the extracted payload ("" when not written)
    std::uint64_t bytes = 0;  // bytes extracted
    bool complete = false;   // the file held all the bytes the length field claims
    std::string sha256;      // lower-case hex of the extracted bytes
    std::string mime;        // libmagic's MIME type
    std::string type;        // libmagic's description
    std::string head;        // lower-case hex of the first bytes (at most PAYLOAD_HEAD_BYTES)
};

// The one record of a file: what gainscan-batch prints, what Python's
// report.to_dict() gives.
// The bounded plot of a flagged file's carriers: at most 500 carriers evenly
// spread over the file (time = granule position x 576 / sample rate).
struct PlotReport {
    std::vector<double> seconds;
    std::vector<double> residual;     // the carrier's energy residual, robust deviations
    std::vector<std::uint8_t> odd;    // its gain's parity
    double span_start = 0, span_end = 0;  // seconds: the carriers the length field claims
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
    std::vector<DecoderMessage> messages;  // in order, up to where gainscan stops (see MESSAGES_KEPT_BYTES)
    std::uint64_t messages_omitted = 0;    // messages gainscan prints that `messages` does not keep

    // The decision: with a whole-file analysis the evidence, else `found`.
    bool flagged = false;

    // Whole-file evidence (absent for a quick analysis).
    bool whole_file = false;
    std::int64_t total_frames = 0;
    std::int64_t total_records = 0;
    MessageTally later_messages;       // decoder messages past gainscan's stop (bounded)
    std::string format;                // layer3, mpeg_audio_other, not_mpeg_audio, empty (from the bytes)
    std::optional<double> seconds;     // duration of the Layer III frames (layer3 files)
    std::optional<double> score;       // the parity statistic in null-standard units (measured only)
    std::optional<double> p_value;     // false-alarm probability (evidence "measured" only)
    std::string evidence;              // "measured" / "insufficient"; "" when not weighed (not layer3)
    std::string evidence_reason;       // why insufficient; "" otherwise
    std::optional<PlotReport> plot;    // flagged files only
    std::int64_t carriers = 0;         // carrier records in the file
    std::optional<std::int64_t> span;  // carriers the length field claims, when one is read

    std::optional<PayloadReport> payload;  // filled by a caller that extracts
    std::vector<std::string> write_errors; // payload or dump files that could not be written
    std::uint64_t file_bytes = 0;          // bytes in the file

    // Provenance, filled by a caller that hashes the bytes as they are read
    // and knows the file's metadata (gainscan-batch); "" / absent otherwise.
    std::string sha256;                    // lower-case hex of the file's bytes
    std::string md5;
    std::optional<std::int64_t> mtime_ns;  // modification time, nanoseconds since 1970 UTC
    std::string records_file;              // the record dump written for this file
};

inline constexpr std::size_t ENERGY_BANDS = 8;
// log2 energy of a band with no energy at all: below anything real.
inline constexpr float NO_ENERGY = -1000.0f;

// Every granule record of a file as the whole-file analysis keeps it.
struct GranuleRecord {
    std::int64_t slot;  // position in the hiding layout; even slots carry a bit
    std::int64_t frame_index;
    std::uint64_t frame_offset;  // byte offset of the frame header in the file
    std::uint8_t granule;
    std::uint8_t channel;
    std::uint8_t global_gain;
    std::uint8_t block_type;
    std::uint16_t part2_3_length;
    std::uint16_t big_values;
    std::uint16_t scalefac_compress;
    float log2_energy;  // whole spectrum; NO_ENERGY when silent
    std::array<float, ENERGY_BANDS> band_log2_energy;
};

inline bool is_carrier(const GranuleRecord& record) { return record.slot % 2 == 0; }

// The layout read from the carriers' parity bits: a 6-bit length-of-length,
// then the length below its implicit leading 1, then 8 x length payload bits.
struct LengthField {
    std::uint32_t nbits;
    std::uint64_t length;       // payload bytes
    std::uint64_t header_bits;  // 6 + nbits - 1
    std::uint64_t span;         // carriers the layout claims: header + 8 x length
};

// Where the bytes come from. read() fills as much of `to` as the source has
// and returns the count; a short count means the end was reached.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::size_t read(std::span<std::uint8_t> to) = 0;
    virtual bool failed() const { return false; }  // an error other than the end
    virtual std::uint64_t size() = 0;              // the whole length, however far it was read
};

// The false-alarm probability at or below which a file is flagged. A drive
// holds tens of thousands of files: at 0.001 at most about 10 clean files in
// 10,000 whose length field fits may be flagged (fewer in practice: most clean
// files have no length field that fits; measured figures in the README).
inline constexpr double DEFAULT_ALPHA = 0.001;

// Sees every granule record of a whole-file analysis as it is decoded (the
// analysis keeps none of them).
class RecordSink {
public:
    virtual ~RecordSink() = default;
    virtual void record(const GranuleRecord& record) = 0;
};

// Bytes the caller holds (not copied; they must outlive the source).
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::size_t read(std::span<std::uint8_t> to) override;
    std::uint64_t size() override { return bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

struct AnalysisOptions {
    // Decode to the end and weigh the evidence; false stops where gainscan
    // stops (200 granule records) and decides by its verdict alone.
    bool whole_file = true;
    double alpha = DEFAULT_ALPHA;  // whole file: flagged when p_value <= alpha
    // Calibration studies only: weigh every carrier as if a length field
    // claimed them all, whatever the bits say.
    bool span_all = false;
    // Also receives every decoder message the moment it arises (the report
    // keeps them either way). Not owned.
    MessageSink* messages = nullptr;
};

class Analysis {
public:
    explicit Analysis(AnalysisOptions options = {});
    ~Analysis();
    Analysis(Analysis&&) noexcept;
    Analysis& operator=(Analysis&&) noexcept;
    Analysis(const Analysis&) = delete;
    Analysis& operator=(const Analysis&) = delete;

    // A regular file by name; anything else gets an error report.
    FileReport analyse_file(const std::string& path);
    // Bytes in memory, reported under `name`.
    FileReport analyse_bytes(std::span<const std::uint8_t> bytes, const std::string& name);
    // Any source; `size_before` (when known) catches a file that changes while read.
    FileReport analyse(ByteSource& source, const std::string& name,
                       std::optional<std::uint64_t> size_before = std::nullopt);

    // Every granule record of the files analysed from now on goes to `sink`
    // (nullptr: none). Not owned.
    void set_record_sink(RecordSink* sink);

    // Of the last file analysed (whole file only): the carriers' parity bits
    // in layout order (a lost carrier reads 0), and the length field they give.
    std::span<const std::uint8_t> carrier_bits() const;
    std::optional<LengthField> length_field() const;
    // True when the decoder's input failed (the report says "decoder failure").
    bool decoder_failed() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The payload bytes the carriers hold after the length field (as many as
// there are); `complete` when all `field.length` bytes were there.
std::vector<std::uint8_t> payload_bytes(std::span<const std::uint8_t> bits, const LengthField& field, bool& complete);

// One CSV of every granule record (header row, then a row per record).
std::string records_csv(std::span<const GranuleRecord> records);
// The same a record at a time: the header row, then each record's row appended.
std::string records_csv_header();
void append_record_csv(const GranuleRecord& record, std::string& csv);

}  // namespace gainscan
