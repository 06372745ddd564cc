// A job's further frame sources: each opens the movie with a graph of its own on a
// thread of its own (its own COM apartment) and decodes the tiles it claims from the
// schedule. The job's first source stays on the job thread.
#pragma once
#include <windows.h>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/scoped.h"
#include "service/thumbnail_decode/decode_plan.h"
#include "service/thumbnail_decode/tile_decode.h"
#include "service/thumbnail_decode/tile_schedule.h"

class DecodeHelpers {
public:
    // Everything given must outlive Finish.
    DecodeHelpers(TileSchedule& schedule, const DecodePlan& plan, const TileDecodeSettings& settings,
                  const std::wstring& workFolder, HANDLE cancelEvent);
    ~DecodeHelpers();
    DecodeHelpers(const DecodeHelpers&) = delete;
    DecodeHelpers& operator=(const DecodeHelpers&) = delete;

    // Starts `count` more sources, numbered from 2 on. One that cannot open the movie, or
    // whose first frame does not come in time, ends without taking a tile.
    void Start(int count);
    bool Started() const { return !helpers_.empty(); }
    // Sources that may still decode a tile.
    int Running() const { return running_; }
    // Waits for every source's thread to end; stop the schedule first.
    void Finish();

    // For the crash filter, on the faulting thread: a fault on a source's thread ends
    // that thread only (its graph is left behind as it is), and the tile it was decoding
    // goes back to the schedule for another source. False on any other thread.
    static bool HandleFault();
    // For the crash filter, before a fault on the job thread ends that thread: the
    // further sources of its job take no more tiles and end, each on its own thread.
    static void StopForJobThreadFault();

private:
    struct Helper {
        DecodeHelpers* owner = nullptr;
        int number = 0;
        std::atomic<int> tile{-1};
        UniqueHandle thread;
    };
    static unsigned __stdcall ThreadProc(void* helper);
    void Run(Helper& helper);

    TileSchedule& schedule_;
    const DecodePlan& plan_;
    const TileDecodeSettings& settings_;
    std::wstring workFolder_;
    HANDLE cancelEvent_;
    std::vector<std::unique_ptr<Helper>> helpers_;
    std::atomic<int> running_{0};
    UniqueHandle finishing_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // a source still opening gives up
};
