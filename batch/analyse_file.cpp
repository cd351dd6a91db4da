#include "batch/analyse_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "analyser/analysis.h"
#include "analyser/evaluation.h"

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

std::string describe(const std::error_code& ec) { return ec.message(); }

}  // namespace

FileReport analyse_file(const std::string& path, const ScanOptions& options) {
    FileReport report;
    report.file = path;

    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec) {
        report.error = describe(ec);
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

    static thread_local DecoderState decoder{};
    FileAnalysis job{};
    Capture capture{&report, &job};
    job.whole_file = !options.quick;
    job.sink = MessageSink{capture_message, &capture};
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
