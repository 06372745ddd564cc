// Which tile each of a job's frame sources decodes next, and what came back. Sources
// take the lowest tile still to do, so each source's positions rise; the job draws the
// results strictly in plan order. Where the movie's keyframe index is known, a source
// goes on with the next tile of the keyframe interval it decoded last, which the other
// sources leave to it, so that it decodes on instead of seeking back to the keyframe. Two limits keep decoding ahead of drawing in bounds:
// at most `ahead` tiles past the last one drawn, and no tile that the consecutive-timeout
// abort could still cancel (a run of `abortLimit` tiles before it that timed out or are
// still decoding), so a movie that stalls is decoded no further than one at a time would.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "service/thumbnail_decode/tile_decode.h"

class TileSchedule {
public:
    // `intervals`: for each tile, the keyframe interval its position lies in (-1: unknown);
    // empty when the index is unknown.
    TileSchedule(int count, int abortLimit, int ahead, std::vector<int64_t> intervals = {});

    // Claims for a source (1 for the job's first, 2 and on for the others) the tile that
    // may be decoded now; -1 when none may (yet).
    int Claim(int source);
    // Claim, waiting while none may be decoded yet; -1 once stopped or when no tile is
    // left to take.
    int ClaimOrWait(int source);
    void Complete(int tile, TileOutcome outcome);
    // A source gave the claimed tile up undecoded: another one takes it.
    void Release(int tile);
    bool Done(int tile) const;
    // The outcome, moved out (its result code stays known to the schedule).
    TileOutcome Take(int tile);
    // Tiles [0, tiles) are drawn.
    void Drawn(int tiles);
    // No tile is claimed from now on.
    void Stop();
    // A source has ended: the tile after its last is free for the others, and the waits wake.
    void Leave(int source);
    // A number that changes whenever a tile is done or given back, and a wait for that.
    uint64_t Version() const;
    void WaitForChange(uint64_t seen);

private:
    enum class State { Pending, Claimed, Done };
    int ClaimLocked(int source);
    bool Allowed(int tile) const;
    bool SameInterval(int a, int b) const;
    // The source's last tile while it may still go on from it; -1 otherwise.
    int& LastOf(int source);
    // A tile of the interval another source is decoding on through, left to that source.
    bool LeftToAnother(int tile, int source);

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<State> states_;
    std::vector<DecodeFrameResult> results_;
    std::vector<TileOutcome> outcomes_;
    std::vector<int64_t> intervals_;
    std::vector<int> claimedBy_;  // the source that claimed each tile last; 0: none
    std::vector<int> last_;       // by source
    int abortLimit_;
    int ahead_;
    int drawn_ = 0;
    bool stopped_ = false;
    uint64_t version_ = 0;
};
