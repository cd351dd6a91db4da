#include "analyser/driver.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "analyser/analysis.h"
#include "analyser/evaluation.h"

int analyser_run(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    if (argc < 2) {
        std::fprintf(err, "usage: %s <filename>\n", argc > 0 && argv[0] ? argv[0] : "gainscan");
        return 1;
    }
    const char* path = argv[1];
    std::fprintf(out, "Analysing file %s\n", path);

    // Only regular files: a directory, a FIFO or a device has no length to
    // measure, and reading one could block or never end.
    std::error_code ec;
    std::ifstream file;
    if (std::filesystem::is_regular_file(path, ec)) file.open(path, std::ios::binary);
    if (!file.is_open() || file.fail()) {
        std::fprintf(err, "unable to open file %s", path);
        return 1;
    }

    FileAnalysis job{};
    job.err = err;
    analyse_stream(file, path, job, analyser_decoder);
    analyser_records = job.records;  // what a caller of the single-run interface reads afterwards
    evaluate_records(job.records, job.file_length, out);
    return 0;
}

int analyser_main(int argc, const char* const* argv) { return analyser_run(argc, argv, stdout, stderr); }
