#include "service/thumbnail_decode/tile_schedule.h"

#include <utility>

TileSchedule::TileSchedule(int count, int abortLimit, int ahead)
    : states_(static_cast<size_t>(count > 0 ? count : 0), State::Pending),
      results_(states_.size(), Failed),
      outcomes_(states_.size()),
      abortLimit_(abortLimit),
      ahead_(ahead > 0 ? ahead : 1) {}

int TileSchedule::ClaimLocked() {
    if (stopped_) return -1;
    const int count = static_cast<int>(states_.size());
    int tile = 0;
    while (tile < count && states_[static_cast<size_t>(tile)] != State::Pending) ++tile;
    if (tile >= count || tile >= drawn_ + ahead_) return -1;
    if (abortLimit_ > 0) {
        int run = 0;  // tiles in a row that timed out or may still time out
        for (int i = 0; i < tile; ++i) {
            const bool open = states_[static_cast<size_t>(i)] != State::Done || results_[static_cast<size_t>(i)] == Timeout;
            run = open ? run + 1 : 0;
            if (run >= abortLimit_) return -1;
        }
    }
    states_[static_cast<size_t>(tile)] = State::Claimed;
    return tile;
}

int TileSchedule::Claim() {
    std::lock_guard<std::mutex> guard(lock_);
    return ClaimLocked();
}

int TileSchedule::ClaimOrWait() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        const int tile = ClaimLocked();
        if (tile >= 0) return tile;
        bool anyPending = false;
        for (State s : states_) anyPending = anyPending || s == State::Pending;
        if (stopped_ || !anyPending) return -1;
        changed_.wait(guard);
    }
}

void TileSchedule::Complete(int tile, TileOutcome outcome) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (tile < 0 || tile >= static_cast<int>(states_.size())) return;
        states_[static_cast<size_t>(tile)] = State::Done;
        results_[static_cast<size_t>(tile)] = outcome.result;
        outcomes_[static_cast<size_t>(tile)] = std::move(outcome);
        ++version_;
    }
    changed_.notify_all();
}

void TileSchedule::Release(int tile) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (tile < 0 || tile >= static_cast<int>(states_.size())) return;
        if (states_[static_cast<size_t>(tile)] == State::Claimed) states_[static_cast<size_t>(tile)] = State::Pending;
        ++version_;
    }
    changed_.notify_all();
}

bool TileSchedule::Done(int tile) const {
    std::lock_guard<std::mutex> guard(lock_);
    return tile >= 0 && tile < static_cast<int>(states_.size()) && states_[static_cast<size_t>(tile)] == State::Done;
}

TileOutcome TileSchedule::Take(int tile) {
    std::lock_guard<std::mutex> guard(lock_);
    if (tile < 0 || tile >= static_cast<int>(states_.size())) return {};
    return std::move(outcomes_[static_cast<size_t>(tile)]);
}

void TileSchedule::Drawn(int tiles) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        drawn_ = tiles;
        ++version_;
    }
    changed_.notify_all();
}

void TileSchedule::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopped_ = true;
        ++version_;
    }
    changed_.notify_all();
}

void TileSchedule::Notify() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++version_;
    }
    changed_.notify_all();
}

uint64_t TileSchedule::Version() const {
    std::lock_guard<std::mutex> guard(lock_);
    return version_;
}

void TileSchedule::WaitForChange(uint64_t seen) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return version_ != seen; });
}
