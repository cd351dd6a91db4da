#include "batch/file_job.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "batch/exclusive_file.h"
#include "batch/file_reader.h"
#include "batch/hashing_source.h"
#include "batch/identify.h"

#include <optional>

using gainscan::FileReport;

namespace {

// --dump-records: each record's row is written as the record is decoded, so
// a long file's dump never sits in memory.
class DumpWriter final : public gainscan::RecordSink {
public:
    explicit DumpWriter(int fd) : fd_(fd) { rows_ = gainscan::records_csv_header(); }
    void record(const gainscan::GranuleRecord& record) override {
        gainscan::append_record_csv(record, rows_);
        if (rows_.size() >= (1u << 16)) flush();
    }
    // Writes what is left and closes the file; "" or what went wrong.
    std::string close(const std::string& path) {
        flush();
        if (::close(fd_) != 0 && error_.empty()) error_ = std::strerror(errno);
        return error_.empty() ? "" : path + ": " + error_;
    }

private:
    void flush() {
        std::size_t written = 0;
        while (error_.empty() && written < rows_.size()) {
            const ssize_t n = ::write(fd_, rows_.data() + written, rows_.size() - written);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) error_ = std::strerror(errno);
            else written += static_cast<std::size_t>(n);
        }
        rows_.clear();
    }
    int fd_;
    std::string rows_;
    std::string error_;
};

}  // namespace

FileReport run_file_job(gainscan::Analysis& analysis, const std::string& path, std::uint64_t seq,
                         const ScanOptions& options) {
    // Named by the file's place in the scan, not by which worker got there first.
    const std::string name = numbered_name(seq, path);
    std::string error;
    std::optional<DumpWriter> dump;
    std::string dump_path;
    if (options.dump_dir && !options.quick) {
        const int fd = open_exclusive(*options.dump_dir, name, ".records.csv", dump_path, error);
        if (fd >= 0) dump.emplace(fd);
    }
    analysis.set_record_sink(dump ? &*dump : nullptr);
    FileReport report = analyse_path(analysis, path, options.hash);
    analysis.set_record_sink(nullptr);
    if (options.dump_dir && !options.quick) {
        if (dump) error = dump->close(dump_path);
        if (error.empty() && dump) report.records_file = dump_path;
        if (!error.empty()) report.write_errors.push_back(error);
    }
    if (!report.ok || !report.whole_file) return report;
    const std::optional<gainscan::LengthField> field = analysis.length_field();
    const bool wanted = options.extract_dir && (report.flagged || (options.extract_all && report.found));
    if (!wanted || !field) return report;
    gainscan::PayloadReport payload{};
    const std::vector<std::uint8_t> bytes = gainscan::payload_bytes(analysis.carrier_bits(), *field, payload.complete);
    identify_payload(bytes, payload);
    payload.head = lower_hex(std::span(bytes).first(std::min(bytes.size(), gainscan::PAYLOAD_HEAD_BYTES)));
    const std::string_view data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    payload.file = write_exclusive(*options.extract_dir, name, ".payload", data, error);
    if (payload.file.empty()) report.write_errors.push_back(error);
    report.payload = payload;
    return report;
}
