// gainscan-batch: many files, one record each, in order, with parallel workers.
#include <cstdio>

#include "batch/command_line.h"
#include "batch/html_report.h"
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
    // --report: every record also goes, as jsonl, to a scratch file the page
    // is made from at the end (a resumed scan's page is made from its report,
    // which holds the earlier records too).
    if (!options.report.empty() && options.resume.empty()) {
        run.report_copy = std::tmpfile();
        if (run.report_copy == nullptr) return fail("--report: cannot create a scratch file");
        std::string line;
        render_jsonl_header(header, line);
        std::fputs(line.c_str(), run.report_copy);
    }

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
    bool report_written = true;
    if (!options.report.empty()) {
        std::FILE* records = run.report_copy;
        if (records != nullptr) {
            std::string line;
            render_jsonl_summary(summary, line);
            std::fputs(line.c_str(), records);
        } else {
            records = std::fopen(options.resume.c_str(), "rb");
        }
        report_written = records != nullptr &&
                         write_html_report(records, run.report_copy != nullptr ? "this scan" : options.resume,
                                           options.report, error);
        if (records == nullptr) error = options.resume + ": cannot read it back";
        if (records != nullptr) std::fclose(records);
        if (!report_written) std::fprintf(stderr, "gainscan-batch: --report: %s\n", error.c_str());
    }
    if (summary.flagged > 0) return FLAGGED;
    return summary.errors > 0 || !list_read || !report_written ? ERRORS : NOTHING_FOUND;
}
