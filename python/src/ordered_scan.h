// The Python module's scan: the names Python hands over are walked like
// gainscan-batch walks its arguments (batch/walker.h), `jobs` worker threads
// analyse the files, each with its own gainscan::Analysis, and the finished
// reports come back to the one consumer in the order the files were walked.
//
// Nothing here touches Python, so the consumer may wait in next() with the
// interpreter lock released. Memory stays bounded whatever the number of
// files: at most 2 x chunk() names wait to be walked, 16 walked files per
// worker wait to be analysed, and 16 finished reports per worker wait to be
// taken.
//
// The consumer drives it:
//     OrderedScan scan(options);
//     for (;;) switch (scan.next(item)) {
//         case Next::need_names: scan.add(...) up to chunk() names, or close(); break;
//         case Next::item: use(item); break;
//         case Next::done: return;
//     }
// next() asks for names only while close() has not been called, so a name
// list that is fed as asked for can never leave it waiting for ever.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gainscan/analysis.h"

namespace gainscan_python {

struct ScanItem {
    gainscan::FileReport report;
    std::string json;  // the report as gainscan-batch's jsonl line, without the line end
    std::vector<gainscan::GranuleRecord> records;  // whole file, when kept
};

// Keeps every granule record the analysis reports (the analysis itself keeps
// none): Python asks for them as an array.
struct RecordCollector final : gainscan::RecordSink {
    std::vector<gainscan::GranuleRecord> records;
    void record(const gainscan::GranuleRecord& r) override { records.push_back(r); }
};

struct OrderedScanOptions {
    unsigned jobs = 1;
    bool quick = false;
    double alpha = gainscan::DEFAULT_ALPHA;
    bool follow_symlinks = false;
    bool keep_records = true;
};

class OrderedScan {
public:
    explicit OrderedScan(OrderedScanOptions options);
    // Stops the workers (reports not yet taken are dropped) and joins them.
    ~OrderedScan();
    OrderedScan(const OrderedScan&) = delete;
    OrderedScan& operator=(const OrderedScan&) = delete;

    enum class Next { item, need_names, done, waiting };

    // How many names to add() when asked.
    std::size_t chunk() const { return chunk_; }
    // A file or directory name (raw bytes), after those added before.
    void add(std::string name);
    // No more names.
    void close();
    // Waits (at most `wait`, then `waiting`) for the next report in order;
    // asks for names when few are left to walk and the list is not closed;
    // done after the last report.
    Next next(ScanItem& out, std::chrono::milliseconds wait);
    // Stops early: the walker and the workers finish what they hold and
    // leave; next() is done from then on. Waits for the threads.
    void stop();

private:
    struct Job {
        std::uint64_t seq;
        std::string path;
        std::string error;  // from the walker: report this instead of analysing
    };

    void walk();
    void work();

    const OrderedScanOptions options_;
    const std::size_t chunk_;
    const std::size_t job_capacity_;
    const std::size_t window_;

    std::mutex mutex_;
    std::condition_variable walker_wake_, worker_wake_, job_room_, window_room_, consumer_wake_;
    std::deque<std::string> names_;
    bool closed_ = false;
    bool stopping_ = false;
    std::deque<Job> jobs_;
    std::uint64_t walked_ = 0;               // files the walker has produced
    bool walk_done_ = false;                  // walked_ is the total
    std::vector<std::optional<ScanItem>> finished_;  // ring of window_ slots by seq
    std::uint64_t next_due_ = 0;

    std::thread walker_;
    std::vector<std::thread> workers_;
};

}  // namespace gainscan_python
