#include "analyser/driver.h"

#include <cinttypes>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "gainscan/analysis.h"

namespace {

// The decoder's messages are part of the report: each goes to its stream the
// moment it arises, between the report's own lines.
class StandardStreams final : public gainscan::MessageSink {
public:
    StandardStreams(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
    void message(gainscan::Stream stream, std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stream == gainscan::Stream::out ? out_ : err_);
    }

private:
    std::FILE* out_;
    std::FILE* err_;
};

}  // namespace

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
    file.close();

    // The decoder's messages go straight to the streams, as they arise.
    StandardStreams streams(stdout, stderr);
    gainscan::Analysis analysis(gainscan::AnalysisOptions{.whole_file = false, .messages = &streams});
    const gainscan::FileReport report = analysis.analyse_file(path);
    // The decoder's input bookkeeping broke: it has said so, and the file has
    // no report.
    if (analysis.decoder_failed()) return 1;
    std::fprintf(out, "capacity: about %" PRIu32 " bytes\n", report.capacity);
    if (report.found)
        std::fprintf(out, "Possible length specification found: %" PRIu32 "\n", report.length);
    else
        std::fputs("File does not contain any qavex hidden data.\n", out);
    return 0;
}

int analyser_main(int argc, const char* const* argv) { return analyser_run(argc, argv, stdout, stderr); }
