#include "batch/scan.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "batch/bounded_queue.h"
#include "batch/file_job.h"
#include "batch/file_source.h"
#include "batch/layer3_sniff.h"
#include "batch/progress.h"
#include "batch/reorder_window.h"
#include "batch/walker.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Job {
    std::uint64_t seq;    // place in the output (files that get a record, 0 first)
    std::uint64_t place;  // place in the walk (every file, also those resumed): names the files written
    WalkEntry entry;
};

// What a worker hands the printer: a record, or a file left out by --layer3-only.
struct Outcome {
    FileReport report;
    bool skipped = false;
};

constexpr std::size_t QUEUE_PER_WORKER = 16;
constexpr std::size_t WINDOW_PER_WORKER = 16;
constexpr auto PROGRESS_EVERY = std::chrono::milliseconds(200);
constexpr std::size_t OUT_BATCH = std::size_t{1} << 16;  // bytes of records written at once at most (about)

bool not_layer3(const std::string& path) {
    FileSource file(path);
    // A file that cannot be opened gets its error record from the analysis.
    if (!file.is_open() || !file.size_at_open()) return false;
    return !starts_like_layer3([&](std::uint64_t offset, std::span<std::uint8_t> to) { return file.peek(offset, to); },
                               *file.size_at_open());
}

Outcome work(gainscan::Analysis& analysis, Job& job, const ScanOptions& options) {
    Outcome outcome;
    WalkEntry& entry = job.entry;
    if (!entry.error.empty()) {
        outcome.report.file = std::move(entry.path);
        outcome.report.error = std::move(entry.error);
        return outcome;
    }
    // Only files found in directories: a file named on the command line is
    // always analysed and reported.
    if (options.layer3_only && entry.walked && not_layer3(entry.path)) {
        outcome.skipped = true;
        return outcome;
    }
    outcome.report = run_file_job(analysis, entry.path, job.place, options);
    return outcome;
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

// Counts the files the scan will meet, ahead of it, so that the progress
// line has a total (and an ETA) long before the scan's own walk ends. Names
// from standard input cannot be read twice and are not counted.
void count_ahead(const BatchOptions& options, const WalkOptions& walk, std::atomic<std::uint64_t>& counted) {
    std::uint64_t files = 0, excluded = 0;
    const WalkSink sink = [&](WalkEntry&&) { ++files; };
    for (const std::string& path : options.paths) walk_path(path, walk, sink, excluded);
    if (options.files_from == "-") return;
    std::string error;
    if (!options.files_from.empty()) walk_name_list(options.files_from, options.null_separated, walk, sink, excluded, error);
    if (walk.stop == nullptr || !walk.stop->load()) counted.store(std::max<std::uint64_t>(files, 1));
}

}  // namespace

bool run_scan(const BatchOptions& options, const ScanRun& run, ScanSummary& summary, std::string& error) {
    const Clock::time_point start = Clock::now();
    summary.alpha = options.scan.quick ? 0 : options.scan.alpha;
    const unsigned jobs = options.jobs;
    BoundedQueue<Job> queue(QUEUE_PER_WORKER * jobs);
    ReorderWindow<Outcome> window(WINDOW_PER_WORKER * jobs);
    std::atomic<std::uint64_t> known{0}, passed{0}, counted{0};
    std::atomic<bool> list_failed{false}, finished{false};
    WalkOptions walk{.follow_symlinks = options.follow_symlinks, .include = options.include, .exclude = options.exclude};
    std::uint64_t excluded = 0;  // the walker's; read after it is joined

    std::thread walker([&] {
        std::uint64_t seq = 0, place = 0;
        const WalkSink sink = [&](WalkEntry&& entry) {
            const std::uint64_t here = place++;
            if (run.resume != nullptr && run.resume->already_done(entry)) {
                passed.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            queue.push(Job{seq++, here, std::move(entry)});
            known.store(seq, std::memory_order_relaxed);
        };
        for (const std::string& path : options.paths) walk_path(path, walk, sink, excluded);
        if (!options.files_from.empty() &&
            !walk_name_list(options.files_from, options.null_separated, walk, sink, excluded, error))
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
            while (std::optional<Job> job = queue.pop()) window.put(job->seq, work(analysis, *job, options.scan));
        });
    }

    const bool stderr_terminal = isatty(STDERR_FILENO);
    const bool show_progress = !options.quiet && (options.progress || stderr_terminal);
    std::thread counter;
    WalkOptions count_walk = walk;
    count_walk.stop = &finished;
    if (show_progress) counter = std::thread([&] { count_ahead(options, count_walk, counted); });

    std::FILE* const to = run.out;
    std::string out;
    Clock::time_point last_progress = start;
    bool progress_shown = false;
    Outcome outcome;
    std::uint64_t this_run = 0;  // files handled by this run, skipped ones too
    for (;;) {
        // Records ready one after another are written together; before
        // waiting for the next one, everything rendered so far is written out.
        auto taken = window.take(outcome, std::chrono::milliseconds(0));
        if (taken == ReorderWindow<Outcome>::Take::timeout) {
            write_out(out, to);
            std::fflush(to);
            taken = window.take(outcome, PROGRESS_EVERY);
        }
        if (taken == ReorderWindow<Outcome>::Take::record) {
            ++this_run;
            const FileReport& report = outcome.report;
            if (outcome.skipped) {
                ++summary.skipped;
            } else {
                ++summary.files;
                summary.analysed += report.ok ? 1 : 0;
                summary.errors += report.ok ? 0 : 1;
                summary.flagged += report.flagged ? 1 : 0;
                summary.bytes += report.ok ? report.file_bytes : 0;
                if (report.ok && !report.format.empty()) ++summary.formats[report.format];
                if (!options.only_flagged || report.flagged || !report.ok) render(report, options.format, out);
                if (run.report_copy != nullptr) {
                    std::string line;
                    render_jsonl(report, line);
                    std::fputs(line.c_str(), run.report_copy);
                }
                // Whole records reach the file, flushed at the latest
                // before the printer waits: an interrupted scan loses only
                // records it has not yet written, which a resumed scan redoes.
                if (out.size() >= OUT_BATCH) {
                    write_out(out, to);
                    std::fflush(to);
                }
            }
        }
        const Clock::time_point now = Clock::now();
        if (show_progress && (now - last_progress >= PROGRESS_EVERY || taken == decltype(taken)::done)) {
            last_progress = now;
            ProgressCounts counts;
            const std::uint64_t resumed = passed.load(std::memory_order_relaxed);
            counts.done = this_run + resumed;
            counts.known = known.load(std::memory_order_relaxed) + resumed;
            counts.all_known = taken == decltype(taken)::done;
            counts.counted = counted.load(std::memory_order_relaxed);
            counts.bytes = summary.bytes;
            counts.flagged = summary.flagged;
            counts.elapsed_seconds = std::chrono::duration<double>(now - start).count();
            const std::string line =
                progress_line(counts, stderr_terminal, stderr_terminal ? terminal_width(STDERR_FILENO) : 0);
            std::fputs(line.c_str(), stderr);
            progress_shown = true;
        }
        if (taken == decltype(taken)::done) break;
    }
    write_out(out, to);
    std::fflush(to);
    finished = true;
    walker.join();
    for (std::thread& worker : workers) worker.join();
    if (counter.joinable()) counter.join();
    if (progress_shown) std::fputs(progress_clear(stderr_terminal).c_str(), stderr);
    summary.excluded += excluded;
    summary.elapsed_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return !list_failed;
}
