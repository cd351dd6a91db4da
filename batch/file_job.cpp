#include "batch/file_job.h"

#include <string_view>
#include <vector>

#include "batch/exclusive_file.h"
#include "batch/identify.h"

using gainscan::FileReport;

FileReport run_file_job(gainscan::Analysis& analysis, const std::string& path, const ScanOptions& options) {
    FileReport report = analysis.analyse_file(path);
    if (!report.ok || !report.whole_file) return report;

    std::string error;
    if (options.dump_dir) {
        if (write_exclusive(*options.dump_dir, report.file, ".records.csv", gainscan::records_csv(analysis.records()),
                            error)
                .empty())
            report.write_errors.push_back(error);
    }
    const std::optional<gainscan::LengthField> field = analysis.length_field();
    const bool wanted = options.extract_dir && (report.flagged || (options.extract_all && report.found));
    if (!wanted || !field) return report;
    gainscan::PayloadReport payload{};
    const std::vector<std::uint8_t> bytes = gainscan::payload_bytes(analysis.carrier_bits(), *field, payload.complete);
    identify_payload(bytes, payload);
    const std::string_view data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    payload.file = write_exclusive(*options.extract_dir, report.file, ".payload", data, error);
    if (payload.file.empty()) report.write_errors.push_back(error);
    report.payload = payload;
    return report;
}
