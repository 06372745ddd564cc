// One tile's frame, decoded by whichever of the job's frame sources took the tile, on
// that source's thread: the decode call, keyframe times and the search past a blank frame.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <cstdint>
#include <memory>
#include <string>

#include "service/frame_source/thumbnail_maker.h"
#include "service/thumbnail_decode/decode_plan.h"

struct TileDecodeSettings {
    std::wstring movie;  // for the log lines
    int64_t duration = 0;
    bool seekToKeyframe = false;
    bool skipBlankFrames = false;
};

struct TileOutcome {
    std::unique_ptr<Gdiplus::Bitmap> frame;  // null when no frame came
    DecodeFrameResult result = Failed;
    int64_t shown = 0;  // the position the tile reports: planned, or the frame's own time
};

// Tile j (0-based) of the plan. The frame is the caller's and outlives the source's next decode.
TileOutcome DecodeTile(DShowThumbnailMaker_CL& source, int j, const DecodePlan& plan,
                       const TileDecodeSettings& settings);

// The time of the frame shown, kept within the movie (a duration of 0 is unknown).
int64_t WithinMovie(int64_t time, int64_t duration);
