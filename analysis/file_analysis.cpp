// One file, start to finish, on the caller's thread: the shared read loop
// with the decoder's messages captured (and passed on), the classic verdict
// on the first 200 records, and, for a whole-file analysis, the evidence
// weighed as the records come (none is kept) and the format read from the
// first bytes.
#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "analysis/granule_record.h"
#include "analysis/message_tally.h"
#include "analysis/parity_evidence.h"
#include "analysis/stream_format.h"
#include "analysis/read_loop.h"
#include "analysis/verdict.h"
#include "gainscan/analysis.h"

namespace gainscan {

namespace {

class StreamSource final : public ByteSource {
public:
    StreamSource(std::ifstream& file, const std::string& path) : file_(file), path_(path) {}
    std::size_t read(std::span<std::uint8_t> to) override {
        file_.read(reinterpret_cast<char*>(to.data()), static_cast<std::streamsize>(to.size()));
        return static_cast<std::size_t>(file_.gcount());
    }
    bool failed() const override { return file_.bad(); }
    // The whole file's length, however reading ended.
    std::uint64_t size() override {
        file_.clear();
        file_.seekg(0, std::ios::end);
        const std::streamoff end = file_.tellg();
        if (end >= 0) return static_cast<std::uint64_t>(end);
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(path_, ec);
        return ec ? 0 : static_cast<std::uint64_t>(size);
    }

private:
    std::ifstream& file_;
    const std::string& path_;
};

// Passes the bytes on and keeps the first of them: what the file is, is
// decided from them once it has been read (no second read of the file).
class ProbingSource final : public ByteSource {
public:
    ProbingSource(ByteSource& source, std::vector<std::uint8_t>& head) : source_(source), head_(head) { head_.clear(); }
    std::size_t read(std::span<std::uint8_t> to) override {
        const std::size_t n = source_.read(to);
        const std::size_t keep = std::min(n, FORMAT_PROBE_BYTES - std::min(FORMAT_PROBE_BYTES, head_.size()));
        head_.insert(head_.end(), to.data(), to.data() + keep);
        return n;
    }
    bool failed() const override { return source_.failed(); }
    std::uint64_t size() override { return source_.size(); }

private:
    ByteSource& source_;
    std::vector<std::uint8_t>& head_;
};

}  // namespace

std::size_t MemorySource::read(std::span<std::uint8_t> to) {
    const std::size_t n = std::min(to.size(), bytes_.size() - at_);
    std::copy_n(bytes_.data() + at_, n, to.data());
    at_ += n;
    return n;
}

struct Analysis::State final : DecoderObserver, MessageSink, ReadObserver {
    AnalysisOptions options;
    Decoder decoder;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(READ_BUFFER);

    // Per file.
    FileReport* report = nullptr;
    std::array<std::int32_t, MAX_RECORDS> gains{};
    std::int32_t gain_count = 0;
    std::int32_t bytes_per_granule = 0;  // first frame's body / (2 x channels)
    std::int64_t frames = 0;
    std::int64_t granule_records = 0;
    bool quick_done = false;
    std::uint64_t audio_start = 0;  // known before the first frame: the tags are read first
    std::unique_ptr<ParityEvidence> parity;
    EvidenceResult evidence;
    std::vector<std::uint8_t> head;    // the file's first bytes, for its format
    RecordSink* sink = nullptr;
    double seconds = 0;                // where the frame being decoded starts (Layer III frames)
    std::int64_t positions = 0;        // layout positions of the Layer III frames so far
    bool failed = false;
    std::size_t messages_bytes = 0;  // text kept in report->messages

    void start(FileReport& r) {
        report = &r;
        gain_count = 0;
        bytes_per_granule = 0;
        frames = 0;
        granule_records = 0;
        quick_done = false;
        audio_start = 0;
        parity = std::make_unique<ParityEvidence>();
        evidence = EvidenceResult{};
        seconds = 0;
        positions = 0;
        failed = false;
        messages_bytes = 0;
        decoder.reset();
        decoder.set_observer(this);
        decoder.set_message_sink(this);
    }

    // Messages up to the point where gainscan stops reading are the ones it
    // prints; later ones come only from decoding the rest of the file.
    void message(Stream stream, std::string_view text) override {
        if (quick_done) report->later_messages.add(stream, text);
        else keep_message(*report, messages_bytes, stream, text);
        if (options.messages != nullptr) options.messages->message(stream, text);
    }

    void on_frame(const FrameEvent& frame) override {
        // Only the first frame sets the granule size.
        if (frames++ == 0) bytes_per_granule = (frame.header.frame_bytes - 4) / (2 * frame.header.channels);
        if (frame.header.layer != 3 || frame.header.sample_rate <= 0) return;
        const int granules = frame.header.version == MpegVersion::mpeg1 ? 2 : 1;
        seconds += granules * 576.0 / frame.header.sample_rate;
        positions += granules * frame.header.channels;
        if (options.whole_file) parity->set_positions(positions);
    }

    void on_granule(const GranuleEvent& g) override {
        ++granule_records;
        if (gain_count < MAX_RECORDS) gains[static_cast<std::size_t>(gain_count++)] = static_cast<std::int32_t>(g.side_info.global_gain);
        if (!options.whole_file) return;
        GranuleRecord r{};
        r.slot = g.slot;
        r.frame_index = g.frame_index;
        r.frame_offset = audio_start + g.frame_offset;
        r.granule = static_cast<std::uint8_t>(g.granule);
        r.channel = static_cast<std::uint8_t>(g.channel);
        r.global_gain = static_cast<std::uint8_t>(g.side_info.global_gain);
        r.block_type = static_cast<std::uint8_t>(g.side_info.block_type);
        r.part2_3_length = static_cast<std::uint16_t>(g.side_info.part2_3_length);
        r.big_values = static_cast<std::uint16_t>(g.side_info.big_values);
        r.scalefac_compress = static_cast<std::uint16_t>(g.side_info.scalefac_compress);
        measure_energy(g.spectrum.data(), g.spectrum_end, r);
        const double granule_seconds = g.header != nullptr && g.header->sample_rate > 0 ? 576.0 / g.header->sample_rate : 0;
        const int channels = g.header != nullptr && g.header->channels > 0 ? g.header->channels : 1;
        EvidenceRecord e{};
        e.slot = r.slot;
        e.channel = r.channel;
        e.global_gain = r.global_gain;
        e.part2_3_length = r.part2_3_length;
        e.band_log2_energy = r.band_log2_energy;
        e.seconds = seconds + r.granule * granule_seconds;
        e.slot_seconds = granule_seconds / channels;
        parity->add(e);
        if (sink != nullptr) sink->record(r);
    }

    void mark_quick_done() {
        if (quick_done) return;
        quick_done = true;
        report->frames = frames;
        report->records = granule_records;
    }

    bool stop_after_frame() override {
        if (quick_done || gain_count < MAX_RECORDS) return false;
        mark_quick_done();
        return !options.whole_file;
    }

    void audio_starts_at(std::uint64_t offset) override { audio_start = offset; }

    // The whole-file evidence into the report: only Layer III carries bits of
    // this layout, so only a layer3 file gets a score and a p_value.
    void weigh(FileReport& r) {
        evidence = parity->finish(true, options.span_all);
        parity.reset();
        r.carriers = evidence.carriers;
        if (evidence.length_field) r.span = static_cast<std::int64_t>(evidence.length_field->span);
        r.flagged = false;
        if (r.format != format_name(StreamFormat::layer3)) return;
        r.seconds = seconds;
        r.score = evidence.score;
        r.p_value = evidence.p_value;
        const bool measured = evidence.status == EvidenceStatus::measured;
        r.evidence = measured ? "measured" : "insufficient";
        if (const char* reason = reason_text(evidence.reason)) r.evidence_reason = reason;
        r.flagged = measured && evidence.p_value && *evidence.p_value <= options.alpha;
        if (r.flagged && evidence.plot)
            r.plot = PlotReport{std::move(evidence.plot->seconds), std::move(evidence.plot->residual),
                                std::move(evidence.plot->odd), evidence.plot->span_start, evidence.plot->span_end};
        evidence.plot.reset();
    }

    FileReport run(ByteSource& source, const std::string& name, std::optional<std::uint64_t> size_before) {
        FileReport r;
        r.file = name;
        start(r);
        ProbingSource probing(source, head);
        const ReadResult read = read_and_decode(probing, decoder, buffer, *this, *this, failed);
        mark_quick_done();

        const Verdict verdict = classic_verdict(std::span(gains.data(), static_cast<std::size_t>(gain_count)),
                                                bytes_per_granule, read.file_length);
        r.found = verdict.found;
        r.length = verdict.found ? verdict.length : 0;
        r.nbits = verdict.nbits;
        r.capacity = verdict.capacity_bytes;
        r.file_bytes = read.file_length;
        r.total_frames = frames;
        r.total_records = granule_records;
        r.whole_file = options.whole_file;
        r.flagged = r.found;
        r.format = format_name(detect_format(head, read.file_length));
        if (options.whole_file) weigh(r);

        r.ok = true;
        if (read.read_error) {
            r.ok = false;
            r.error = "read error";
        } else if (failed) {
            r.ok = false;
            r.error = "decoder failure";
        } else if (size_before && *size_before != read.file_length) {
            r.ok = false;
            r.error = "file changed size while being read (" + std::to_string(*size_before) + " -> " +
                      std::to_string(read.file_length) + " bytes)";
        }
        if (!r.ok) r.flagged = false;  // an error is never a finding
        report = nullptr;
        return r;
    }
};

Analysis::Analysis(AnalysisOptions options) : state_(std::make_unique<State>()) {
    state_->options = options;
    // The first-200-records verdict reads only the side information: the
    // spectrum is computed only for the whole-file evidence.
    state_->decoder = Decoder(DecoderOptions{.spectrum = options.whole_file});
}
Analysis::~Analysis() = default;
Analysis::Analysis(Analysis&&) noexcept = default;
Analysis& Analysis::operator=(Analysis&&) noexcept = default;

FileReport Analysis::analyse(ByteSource& source, const std::string& name, std::optional<std::uint64_t> size_before) {
    return state_->run(source, name, size_before);
}

FileReport Analysis::analyse_bytes(std::span<const std::uint8_t> bytes, const std::string& name) {
    MemorySource source(bytes);
    return state_->run(source, name, std::nullopt);
}

FileReport Analysis::analyse_file(const std::string& path) {
    // A path that cannot be read leaves nothing of the file before it behind
    // (its carriers must not be extracted as this one's).
    state_->evidence = EvidenceResult{};
    FileReport report;
    report.file = path;
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec) {
        report.error = ec.message();
        return report;
    }
    if (!std::filesystem::is_regular_file(status)) {
        report.error = std::filesystem::is_directory(status) ? "is a directory" : "not a regular file";
        return report;
    }
    const std::uintmax_t size_before = std::filesystem::file_size(path, ec);
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        report.error = std::error_code(errno, std::generic_category()).message();
        return report;
    }
    StreamSource source(file, path);
    return state_->run(source, path, ec ? std::nullopt : std::optional<std::uint64_t>(size_before));
}

void Analysis::set_record_sink(RecordSink* sink) { state_->sink = sink; }
std::span<const std::uint8_t> Analysis::carrier_bits() const { return state_->evidence.bits; }
std::optional<LengthField> Analysis::length_field() const { return state_->evidence.length_field; }
bool Analysis::decoder_failed() const { return state_->failed; }

}  // namespace gainscan
