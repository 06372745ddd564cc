// Telling blank frames (black frames, fades, leaders) from pictures, and where to look
// for a picture instead of one.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <cstdint>
#include <vector>

// Luma on 0..255 (BT.601 weights) over a grid of samples of a picture.
struct LumaStats {
    double mean = 0;
    double deviation = 0;  // standard deviation
};
// `bgrx`: rows of blue-green-red-x pixels, `stride` bytes apart.
LumaStats MeasureLuma(const uint8_t* bgrx, int width, int height, int stride);
// Blank: dark and flat at once (mean below 20 and deviation below 8), which a dark
// scene with anything in it is not.
bool IsBlank(const LumaStats& luma);
// The frame's luma; false when its pixels cannot be read.
bool MeasureFrameLuma(Gdiplus::Bitmap& frame, LumaStats* luma);

// Up to 4 positions after a blank frame at `planned`, evenly spaced up to halfway to
// `limit` (the next tile's planned position, or the movie's end for the last tile);
// none when there is no room.
constexpr int kBlankTries = 4;
std::vector<int64_t> BlankSearchPositions(int64_t planned, int64_t limit);
