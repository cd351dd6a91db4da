#include "python/src/ordered_scan.h"

#include <utility>

#include "batch/file_reader.h"
#include "batch/printer.h"
#include "batch/walker.h"

namespace gainscan_python {

namespace {

// As gainscan-batch: 16 queued files and 16 finished reports per worker keep
// every worker busy while the consumer is briefly away.
constexpr std::size_t PER_WORKER = 16;

}  // namespace

namespace {

OrderedScanOptions at_least_one_job(OrderedScanOptions options) {
    if (options.jobs == 0) options.jobs = 1;
    return options;
}

}  // namespace

OrderedScan::OrderedScan(OrderedScanOptions options)
    : options_(at_least_one_job(options)),
      chunk_(PER_WORKER * options_.jobs),
      job_capacity_(PER_WORKER * options_.jobs),
      window_(PER_WORKER * options_.jobs),
      finished_(window_) {
    walker_ = std::thread([this] { walk(); });
    workers_.reserve(options_.jobs);
    for (unsigned i = 0; i < options_.jobs; ++i) workers_.emplace_back([this] { work(); });
}

OrderedScan::~OrderedScan() { stop(); }

void OrderedScan::add(std::string name) {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    names_.push_back(std::move(name));
    walker_wake_.notify_one();
}

void OrderedScan::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    walker_wake_.notify_one();
}

void OrderedScan::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        closed_ = true;
        walker_wake_.notify_all();
        worker_wake_.notify_all();
        job_room_.notify_all();
        window_room_.notify_all();
        consumer_wake_.notify_all();
    }
    if (walker_.joinable()) walker_.join();
    for (std::thread& worker : workers_)
        if (worker.joinable()) worker.join();
}

OrderedScan::Next OrderedScan::next(ScanItem& out, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    std::optional<ScanItem>* slot = nullptr;
    const auto wants_names = [&] { return !closed_ && names_.size() < chunk_; };
    const bool ready = consumer_wake_.wait_for(lock, wait, [&] {
        slot = &finished_[next_due_ % window_];
        return stopping_ || wants_names() || slot->has_value() || (walk_done_ && next_due_ == walked_);
    });
    if (!ready) return Next::waiting;
    if (stopping_) return Next::done;
    // Names first: handing them over is quick and keeps the walker ahead.
    if (wants_names()) return Next::need_names;
    if (!slot->has_value()) return Next::done;
    out = std::move(**slot);
    slot->reset();
    ++next_due_;
    window_room_.notify_all();
    return Next::item;
}

void OrderedScan::walk() {
    std::uint64_t seq = 0;
    const WalkSink sink = [&](WalkEntry&& entry) {
        std::unique_lock lock(mutex_);
        job_room_.wait(lock, [&] { return jobs_.size() < job_capacity_ || stopping_; });
        // Once stopped, the rest of the current name's walk is passed over.
        if (stopping_) return;
        jobs_.push_back(Job{seq++, std::move(entry.path), std::move(entry.error)});
        walked_ = seq;
        worker_wake_.notify_one();
    };
    for (;;) {
        std::string name;
        {
            std::unique_lock lock(mutex_);
            walker_wake_.wait(lock, [&] { return !names_.empty() || closed_ || stopping_; });
            if (stopping_ || names_.empty()) break;
            name = std::move(names_.front());
            names_.pop_front();
            consumer_wake_.notify_one();  // it may want to hand over more names
        }
        WalkOptions walk;
        walk.follow_symlinks = options_.follow_symlinks;
        std::uint64_t excluded = 0;  // no globs here: nothing is left out
        walk_path(name, walk, sink, excluded);
    }
    std::lock_guard lock(mutex_);
    walk_done_ = true;
    worker_wake_.notify_all();
    consumer_wake_.notify_all();
}

void OrderedScan::work() {
    // Each worker owns its analysis (decoder, buffers) for all its files.
    gainscan::Analysis analysis(
        gainscan::AnalysisOptions{.whole_file = !options_.quick, .alpha = options_.alpha});
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            worker_wake_.wait(lock, [&] { return !jobs_.empty() || walk_done_ || stopping_; });
            if (stopping_ || jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            job_room_.notify_one();
        }
        ScanItem item;
        if (!job.error.empty()) {
            item.report.file = std::move(job.path);
            item.report.error = std::move(job.error);
        } else {
            RecordCollector collector;
            analysis.set_record_sink(options_.keep_records ? &collector : nullptr);
            item.report = ::analyse_path(analysis, job.path, HashChoice{});
            analysis.set_record_sink(nullptr);
            if (options_.keep_records && item.report.ok && item.report.whole_file)
                item.records = std::move(collector.records);
        }
        render_jsonl(item.report, item.json);
        if (!item.json.empty() && item.json.back() == '\n') item.json.pop_back();
        std::unique_lock lock(mutex_);
        window_room_.wait(lock, [&] { return job.seq < next_due_ + window_ || stopping_; });
        if (stopping_) return;
        finished_[job.seq % window_] = std::move(item);
        if (job.seq == next_due_) consumer_wake_.notify_one();
    }
}

}  // namespace gainscan_python
