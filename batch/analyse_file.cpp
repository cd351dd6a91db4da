#include "batch/analyse_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <system_error>
#include <vector>

#include "analyser/analysis.h"
#include "analyser/evaluation.h"
#include "batch/evidence.h"
#include "batch/exclusive_file.h"
#include "analysis/stream_format.h"
#include "batch/granule_record.h"
#include "batch/payload.h"
#include "batch/record_dump.h"

namespace {

struct Capture {
    FileReport* report;
    const FileAnalysis* job;
};

// Messages up to the point where gainscan stops reading are the ones it
// prints; later ones come only from decoding the rest of the file.
void capture_message(void* context, int stream, const char* text, std::size_t length) {
    auto& capture = *static_cast<Capture*>(context);
    auto& list = capture.job->quick_done ? capture.report->later_messages : capture.report->messages;
    list.push_back(DecoderMessage{stream, std::string(text, length)});
}

// What the file is, from its first bytes: a short probe settles nearly every
// file; a longer one is read only when it does not.
gainscan::StreamFormat probe_format(std::ifstream& file, std::uint64_t size) {
    std::vector<std::uint8_t> head;
    for (const std::size_t probe : {std::size_t{1} << 16, gainscan::FORMAT_PROBE_BYTES}) {
        head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(probe, size)));
        file.clear();
        file.seekg(0);
        file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
        head.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, file.gcount())));
        const gainscan::StreamFormat format = gainscan::detect_format(head, size);
        if (format == gainscan::StreamFormat::layer3 || head.size() < probe) return format;
    }
    return gainscan::detect_format(head, size);
}

// Whole-file evidence, and what the options ask to be written from it.
void weigh_whole_file(EvidenceCollector& collector, const ScanOptions& options, FileReport& report) {
    if (!close_dump(collector)) report.write_errors.push_back(collector.dump_error);
    gainscan::EvidenceResult evidence = collector.evidence.finish(true, options.span_all);
    report.carriers = evidence.carriers;
    if (evidence.length_field) report.span = static_cast<std::int64_t>(evidence.length_field->span);
    report.flagged = false;
    // Only Layer III carries bits of this layout: other files get no score.
    if (report.format == gainscan::format_name(gainscan::StreamFormat::layer3)) {
        report.seconds = collector.layer3_seconds;
        report.score = evidence.score;
        report.p_value = evidence.p_value;
        const bool measured = evidence.status == gainscan::EvidenceStatus::measured;
        report.evidence = measured ? "measured" : "insufficient";
        if (const char* reason = gainscan::reason_text(evidence.reason)) report.evidence_reason = reason;
        report.flagged = measured && evidence.p_value && *evidence.p_value <= options.alpha;
        if (report.flagged && evidence.plot)
            report.plot = PlotReport{std::move(evidence.plot->seconds), std::move(evidence.plot->residual),
                                     std::move(evidence.plot->odd), evidence.plot->span_start, evidence.plot->span_end};
    }

    std::string error;
    const bool wanted = options.extract_dir && (report.flagged || (options.extract_all && report.found));
    if (!wanted || !evidence.length_field) return;
    PayloadReport payload{};
    const std::vector<std::uint8_t> bytes = payload_bytes(evidence.bits, *evidence.length_field, payload.complete);
    identify_payload(bytes, payload);
    const std::string_view data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    payload.file = write_exclusive(*options.extract_dir, report.file, ".payload", data, error);
    if (payload.file.empty()) report.write_errors.push_back(error);
    report.payload = payload;
}

}  // namespace

FileReport analyse_file(const std::string& path, const ScanOptions& options) {
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
        report.error = std::strerror(errno);
        return report;
    }

    report.format = gainscan::format_name(probe_format(file, ec ? 0 : size_before));
    file.clear();
    file.seekg(0);

    static thread_local DecoderState decoder{};
    FileAnalysis job{};
    Capture capture{&report, &job};
    job.whole_file = !options.quick;
    job.sink = MessageSink{capture_message, &capture};
    EvidenceCollector collector;
    collector.job = &job;
    if (job.whole_file) {
        job.records.observer = evidence_observer(collector);
        if (options.dump_dir) {
            std::string dump_path;
            collector.dump_fd = open_exclusive(*options.dump_dir, report.file, ".records.csv", dump_path,
                                               collector.dump_error);
            if (collector.dump_fd >= 0) collector.dump_rows = records_csv_header();
        }
    }
    analyse_stream(file, path.c_str(), job, decoder);

    const Evaluation verdict = evaluate(job.records, job.file_length);
    report.found = verdict.found;
    report.length = verdict.found ? verdict.value : 0;
    report.nbits = verdict.nbits;
    report.capacity = verdict.capacity_bytes;
    report.frames = job.quick_frames;
    report.records = job.quick_records;
    report.file_bytes = job.file_length;
    report.total_frames = job.records.frames;
    report.total_records = job.records.granule_records;
    report.whole_file = job.whole_file;
    report.flagged = report.found;
    if (job.whole_file) weigh_whole_file(collector, options, report);

    report.ok = true;
    if (job.read_error) {
        report.ok = false;
        report.error = "read error";
    } else if (job.decoder_failed) {
        report.ok = false;
        report.error = "decoder failure";
    } else if (!ec && size_before != job.file_length) {
        report.ok = false;
        report.error = "file changed size while being read (" + std::to_string(size_before) + " -> " +
                       std::to_string(job.file_length) + " bytes)";
    }
    return report;
}
