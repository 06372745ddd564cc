// How many frame sources a job opens on one movie ("decode_parallel").
#pragma once
#include <cstdint>

constexpr int kMaxFrameSources = 4;
// Each source costs about this much per pixel of the movie's frame: the decoder's
// reference pictures, the sample and its 32-bit picture, and up to two decoded frames
// waiting to be drawn. The sources of a job together stay within the budget.
constexpr int64_t kSourceBytesPerPixel = 24;
constexpr int64_t kSourceMemoryBudget = 512ll * 1024 * 1024;

struct SourceCount {
    int sources;
    const wchar_t* reason;  // "setting", "cores", "memory", "size unknown"
};

// `setting`: 1 one at a time; 2..4 that many; 0 (or anything else) automatic: one per
// core up to 4, fewer when the frame size would pass the budget.
SourceCount ChooseSourceCount(int setting, int cores, int width, int height);

// Decoded frames waiting to be drawn (32-bit) stay within this; at least two per source
// may wait, so that every source can go on while the job draws and saves.
constexpr int64_t kWaitingFramesBudget = 128ll * 1024 * 1024;
// How many tiles past the last one drawn may be decoded.
int TilesAhead(int sources, int count, int width, int height);
