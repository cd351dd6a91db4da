#include "batch/scan.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "batch/file_job.h"
#include "batch/bounded_queue.h"
#include "batch/progress.h"
#include "batch/reorder_window.h"
#include "batch/walker.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Job {
    std::uint64_t seq;
    WalkEntry entry;
};

constexpr std::size_t QUEUE_PER_WORKER = 16;
constexpr std::size_t WINDOW_PER_WORKER = 16;
constexpr auto PROGRESS_EVERY = std::chrono::milliseconds(200);

FileReport work(gainscan::Analysis& analysis, WalkEntry& entry, const ScanOptions& options) {
    if (!entry.error.empty()) {
        FileReport report;
        report.file = std::move(entry.path);
        report.error = std::move(entry.error);
        return report;
    }
    return run_file_job(analysis, entry.path, options);
}

void write_out(std::string& text, std::FILE* to) {
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), to);
    text.clear();
}

void render(const FileReport& report, OutputFormat format, std::string& out) {
    switch (format) {
    case OutputFormat::text: render_text(report, out); break;
    case OutputFormat::jsonl: render_jsonl(report, out); break;
    case OutputFormat::csv: render_csv(report, out); break;
    }
}

}  // namespace

bool run_scan(const BatchOptions& options, ScanSummary& summary, std::string& error) {
    const Clock::time_point start = Clock::now();
    summary.alpha = options.scan.quick ? 0 : options.scan.alpha;
    const unsigned jobs = options.jobs;
    BoundedQueue<Job> queue(QUEUE_PER_WORKER * jobs);
    ReorderWindow<FileReport> window(WINDOW_PER_WORKER * jobs);
    std::atomic<std::uint64_t> known{0};
    std::atomic<bool> list_failed{false};

    std::thread walker([&] {
        std::uint64_t seq = 0;
        const WalkSink sink = [&](WalkEntry&& entry) {
            queue.push(Job{seq++, std::move(entry)});
            known.store(seq, std::memory_order_relaxed);
        };
        for (const std::string& path : options.paths) walk_path(path, options.follow_symlinks, sink);
        if (!options.files_from.empty() &&
            !walk_name_list(options.files_from, options.null_separated, options.follow_symlinks, sink, error))
            list_failed = true;
        queue.close();
        window.set_total(seq);
    });

    std::vector<std::thread> workers;
    for (unsigned i = 0; i < jobs; ++i) {
        workers.emplace_back([&] {
            // Each worker owns its analysis (decoder, buffers) for all its files.
            gainscan::Analysis analysis(gainscan::AnalysisOptions{.whole_file = !options.scan.quick,
                                                                  .alpha = options.scan.alpha,
                                                                  .span_all = options.scan.span_all});
            while (std::optional<Job> job = queue.pop())
                window.put(job->seq, work(analysis, job->entry, options.scan));
        });
    }

    const bool stderr_terminal = isatty(STDERR_FILENO);
    const bool show_progress = !options.quiet && (options.progress || stderr_terminal);
    const bool stdout_terminal = isatty(STDOUT_FILENO);
    std::string out;
    if (options.format == OutputFormat::csv) render_csv_header(out);
    Clock::time_point last_progress = start;
    bool progress_shown = false;
    FileReport report;
    for (;;) {
        const auto taken = window.take(report, out.empty() ? PROGRESS_EVERY : std::chrono::milliseconds(0));
        if (taken == ReorderWindow<FileReport>::Take::record) {
            ++summary.files;
            summary.analysed += report.ok ? 1 : 0;
            summary.errors += report.ok ? 0 : 1;
            summary.flagged += report.flagged ? 1 : 0;
            summary.bytes += report.ok ? report.file_bytes : 0;
            if (report.ok && !report.format.empty()) ++summary.formats[report.format];
            if (!options.only_flagged || report.flagged || !report.ok) render(report, options.format, out);
            if (stdout_terminal || out.size() > 1 << 16) write_out(out, stdout);
        } else {
            // Nothing due yet: let the reader see what is finished.
            write_out(out, stdout);
            std::fflush(stdout);
        }
        const Clock::time_point now = Clock::now();
        if (show_progress && (now - last_progress >= PROGRESS_EVERY || taken == decltype(taken)::done)) {
            last_progress = now;
            ProgressCounts counts;
            counts.done = summary.files;
            counts.known = known.load(std::memory_order_relaxed);
            counts.all_known = taken == decltype(taken)::done;
            counts.bytes = summary.bytes;
            counts.flagged = summary.flagged;
            counts.elapsed_seconds = std::chrono::duration<double>(now - start).count();
            const std::string line = progress_line(counts, stderr_terminal);
            std::fputs(line.c_str(), stderr);
            progress_shown = true;
        }
        if (taken == decltype(taken)::done) break;
    }
    walker.join();
    for (std::thread& worker : workers) worker.join();
    if (progress_shown) std::fputs(progress_clear(stderr_terminal).c_str(), stderr);

    summary.elapsed_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (options.format == OutputFormat::jsonl && options.summary) render_jsonl_summary(summary, out);
    write_out(out, stdout);
    std::fflush(stdout);
    return !list_failed;
}
