// Puts records that finish in any order back into sequence order. Workers
// put() record `seq`; they wait while seq is a full window ahead of the next
// one due, so at most `capacity` finished records wait here. The one reader
// takes them in order.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

template <typename T>
class ReorderWindow {
public:
    explicit ReorderWindow(std::size_t capacity) : slots_(capacity) {}

    void put(std::uint64_t seq, T record) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return seq < next_ + slots_.size(); });
        slots_[seq % slots_.size()] = std::move(record);
        if (worth_waking()) ready_.notify_one();
    }

    // The walker's final count: the reader is done after record total - 1.
    void set_total(std::uint64_t total) {
        std::lock_guard lock(mutex_);
        total_ = total;
        ready_.notify_one();
    }

    enum class Take { record, timeout, done };

    // Waits at most `wait` for the next record in order.
    Take take(T& out, std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex_);
        auto& slot = slots_[next_ % slots_.size()];
        const bool ready = ready_.wait_for(lock, wait, [&] { return slot.has_value() || next_ == total_; });
        if (!ready) return Take::timeout;
        if (!slot.has_value()) return Take::done;
        out = std::move(*slot);
        slot.reset();
        ++next_;
        room_.notify_all();
        return Take::record;
    }

private:
    // The reader is woken when a run of records in order is ready for it, not
    // for each one: small files finish faster than a thread switch per record
    // is worth. A run is WAKE_RUN records, or all that are left, or as many
    // as the window holds; a reader that is not woken looks again when its
    // wait times out, so a record waits at most that long.
    static constexpr std::size_t WAKE_RUN = 8;
    bool worth_waking() const {
        const std::uint64_t wanted = std::min<std::uint64_t>({WAKE_RUN, slots_.size(), total_ - next_});
        for (std::uint64_t k = 0; k < wanted; ++k)
            if (!slots_[(next_ + k) % slots_.size()].has_value()) return false;
        return true;
    }

    std::vector<std::optional<T>> slots_;
    std::uint64_t next_ = 0;
    std::uint64_t total_ = UINT64_MAX;
    std::mutex mutex_;
    std::condition_variable room_, ready_;
};
