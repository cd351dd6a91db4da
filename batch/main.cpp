// gainscan-batch: many files, one record each, in order, with parallel workers.
#include <cstdio>

#include "batch/command_line.h"
#include "batch/printer.h"
#include "batch/resume.h"
#include "batch/scan.h"
#include "batch/scan_header.h"
#include "batch/time_text.h"

namespace {

constexpr int NOTHING_FOUND = 0;
constexpr int FLAGGED = 1;
constexpr int ERRORS = 2;

int fail(const std::string& message) {
    std::fprintf(stderr, "gainscan-batch: %s\n", message.c_str());
    return ERRORS;
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine command = parse_command_line(argc, argv);
    if (!command.run) {
        std::fputs(command.message.c_str(), command.status == 0 ? stdout : stderr);
        return command.status;
    }
    const BatchOptions& options = command.options;
    ScanSummary summary;
    summary.started = iso8601_now();
    ScanRun run;
    ResumeState resume;
    std::string error, out;
    const auto header = scan_header(options, summary.started);
    bool with_summary = options.summary;
    if (!options.resume.empty()) {
        // The report is read back, cut to its complete records and appended to.
        if (!resume.load(options.resume, options, error) || !resume.trim(options.resume, error)) return fail(error);
        run.out = std::fopen(options.resume.c_str(), "ab");
        if (run.out == nullptr) return fail(options.resume + ": cannot append to it");
        run.resume = &resume;
        if (resume.fresh()) {
            render_jsonl_header(header, out);
        } else {
            const std::string started = summary.started;
            summary = resume.counts();
            summary.started = resume.started().empty() ? started : resume.started();
        }
        with_summary = with_summary || resume.had_summary();
    } else if (options.format == OutputFormat::jsonl) {
        render_jsonl_header(header, out);
    } else {
        if (options.format == OutputFormat::csv) render_csv_header(out);
        if (!options.quiet) {
            std::string comment;
            render_comment_header(header, comment);
            std::fputs(comment.c_str(), stderr);
        }
    }
    std::fputs(out.c_str(), run.out);
    std::fflush(run.out);

    const bool list_read = run_scan(options, run, summary, error);
    summary.ended = iso8601_now();
    if (!list_read) std::fprintf(stderr, "gainscan-batch: %s\n", error.c_str());
    const bool jsonl_summary = options.format == OutputFormat::jsonl && with_summary;
    if (jsonl_summary) {
        out.clear();
        render_jsonl_summary(summary, out);
        std::fputs(out.c_str(), run.out);
    }
    // Text and csv: --summary prints the summary line even with --quiet.
    if ((!options.quiet || (with_summary && !jsonl_summary)) && !jsonl_summary) {
        std::string line;
        render_summary_text(summary, line);
        std::fputs(line.c_str(), stderr);
    }
    const bool written = std::fflush(run.out) == 0 && !std::ferror(run.out);
    if (run.out != stdout && std::fclose(run.out) != 0) return fail(options.resume + ": write failed");
    if (!written) return fail("write failed");
    if (summary.flagged > 0) return FLAGGED;
    return summary.errors > 0 || !list_read ? ERRORS : NOTHING_FOUND;
}
