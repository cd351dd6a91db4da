#include "batch/file_job.h"

#include <string_view>
#include <vector>

#include "batch/exclusive_file.h"
#include "batch/file_reader.h"
#include "batch/identify.h"

using gainscan::FileReport;

FileReport run_file_job(gainscan::Analysis& analysis, const std::string& path, std::uint64_t seq,
                        const ScanOptions& options) {
    FileReport report = analyse_path(analysis, path, options.hash);
    if (!report.ok || !report.whole_file) return report;

    // Named by the file's place in the scan, not by which worker got there first.
    const std::string name = numbered_name(seq, report.file);
    std::string error;
    if (options.dump_dir) {
        report.records_file =
            write_exclusive(*options.dump_dir, name, ".records.csv", gainscan::records_csv(analysis.records()), error);
        if (report.records_file.empty()) report.write_errors.push_back(error);
    }
    const std::optional<gainscan::LengthField> field = analysis.length_field();
    const bool wanted = options.extract_dir && (report.flagged || (options.extract_all && report.found));
    if (!wanted || !field) return report;
    gainscan::PayloadReport payload{};
    const std::vector<std::uint8_t> bytes = gainscan::payload_bytes(analysis.carrier_bits(), *field, payload.complete);
    identify_payload(bytes, payload);
    const std::string_view data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    payload.file = write_exclusive(*options.extract_dir, name, ".payload", data, error);
    if (payload.file.empty()) report.write_errors.push_back(error);
    report.payload = payload;
    return report;
}
