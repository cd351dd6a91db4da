#include "batch/file_reader.h"

#include "batch/file_source.h"

gainscan::FileReport analyse_path(gainscan::Analysis& analysis, const std::string& path, HashChoice hash) {
    FileSource file(path);
    if (!file.is_open()) {
        gainscan::FileReport report;
        report.file = path;
        report.error = file.error();
        return report;
    }
    gainscan::FileReport report;
    if (hash.any()) {
        HashingSource hashing(file, hash);
        report = analysis.analyse(hashing, path, file.size_at_open());
        // size() has read to the end; a file that grew or shrank meanwhile
        // is an error report, and its digest would be of neither version.
        const std::uint64_t hashed = hashing.size();
        if (!hashing.failed() && (!file.size_at_open() || *file.size_at_open() == hashed)) {
            report.sha256 = hashing.sha256();
            report.md5 = hashing.md5();
        }
    } else {
        report = analysis.analyse(file, path, file.size_at_open());
    }
    report.mtime_ns = file.mtime_ns();
    return report;
}
