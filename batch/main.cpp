// gainscan-batch: many files, one record each, in order, with parallel workers.
#include <cstdio>

#include "batch/command_line.h"
#include "batch/printer.h"
#include "batch/scan.h"

namespace {

constexpr int NOTHING_FOUND = 0;
constexpr int FLAGGED = 1;
constexpr int ERRORS = 2;

}  // namespace

int main(int argc, char** argv) {
    const CommandLine command = parse_command_line(argc, argv);
    if (!command.run) {
        std::fputs(command.message.c_str(), command.status == 0 ? stdout : stderr);
        return command.status;
    }
    const BatchOptions& options = command.options;
    ScanSummary summary;
    std::string error;
    const bool list_read = run_scan(options, summary, error);
    if (!list_read) std::fprintf(stderr, "gainscan-batch: %s\n", error.c_str());
    if (!options.quiet && !(options.format == OutputFormat::jsonl && options.summary)) {
        std::string line;
        render_summary_text(summary, line);
        std::fputs(line.c_str(), stderr);
    }
    if (summary.flagged > 0) return FLAGGED;
    return summary.errors > 0 || !list_read ? ERRORS : NOTHING_FOUND;
}
