#include "service/thumbnail_decode/tile_schedule.h"

#include <utility>

TileSchedule::TileSchedule(int count, int abortLimit, int ahead, std::vector<int64_t> intervals)
    : states_(static_cast<size_t>(count > 0 ? count : 0), State::Pending),
      results_(states_.size(), Failed),
      outcomes_(states_.size()),
      intervals_(intervals.size() == states_.size() ? std::move(intervals) : std::vector<int64_t>()),
      claimedBy_(states_.size(), 0),
      abortLimit_(abortLimit),
      ahead_(ahead > 0 ? ahead : 1) {}

bool TileSchedule::Allowed(int tile) const {
    if (tile >= drawn_ + ahead_) return false;
    if (abortLimit_ > 0) {
        int run = 0;  // tiles in a row that timed out or may still time out
        for (int i = 0; i < tile; ++i) {
            const bool open = states_[static_cast<size_t>(i)] != State::Done || results_[static_cast<size_t>(i)] == Timeout;
            run = open ? run + 1 : 0;
            if (run >= abortLimit_) return false;
        }
    }
    return true;
}

bool TileSchedule::SameInterval(int a, int b) const {
    return !intervals_.empty() && intervals_[static_cast<size_t>(a)] >= 0 &&
           intervals_[static_cast<size_t>(a)] == intervals_[static_cast<size_t>(b)];
}

int& TileSchedule::LastOf(int source) {
    const size_t slot = source > 0 ? static_cast<size_t>(source) : 0;
    if (last_.size() <= slot) last_.resize(slot + 1, -1);
    return last_[slot];
}

bool TileSchedule::LeftToAnother(int tile, int source) {
    // Positions rise with the tiles: an interval's tiles follow one another.
    for (int before = tile - 1; before >= 0 && SameInterval(before, tile); --before) {
        if (states_[static_cast<size_t>(before)] == State::Pending) continue;
        const int other = claimedBy_[static_cast<size_t>(before)];
        return other != 0 && other != source && LastOf(other) == before;
    }
    return false;
}

int TileSchedule::ClaimLocked(int source) {
    if (stopped_) return -1;
    const int count = static_cast<int>(states_.size());
    int tile = -1;
    const int last = LastOf(source);
    if (last >= 0 && last + 1 < count && states_[static_cast<size_t>(last + 1)] == State::Pending &&
        SameInterval(last, last + 1) && Allowed(last + 1))
        tile = last + 1;
    for (int t = 0; tile < 0 && t < count; ++t) {
        if (states_[static_cast<size_t>(t)] != State::Pending || LeftToAnother(t, source)) continue;
        if (!Allowed(t)) return -1;
        tile = t;
    }
    if (tile < 0) return -1;
    states_[static_cast<size_t>(tile)] = State::Claimed;
    claimedBy_[static_cast<size_t>(tile)] = source;
    LastOf(source) = tile;
    return tile;
}

int TileSchedule::Claim(int source) {
    std::lock_guard<std::mutex> guard(lock_);
    return ClaimLocked(source);
}

int TileSchedule::ClaimOrWait(int source) {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        const int tile = ClaimLocked(source);
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

void TileSchedule::Leave(int source) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        LastOf(source) = -1;
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
