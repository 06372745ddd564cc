// The size a strip's tiles are given so that the strip can be written: pure arithmetic.
#pragma once
#include <cstdint>

// What one strip may take. A JPEG holds 65,535 pixels a side by its format, but the
// encoders (libjpeg's) refuse more than 65,500. The 16-bit strip and the copy kept for
// saving (3 bytes a pixel for JPEG, 4 for the others) stay within the memory budget.
constexpr int64_t kJpegMaxSide = 65500;
constexpr int64_t kStripMemoryBudget = int64_t{512} * 1024 * 1024;

struct TileFit {
    int32_t width = 0;
    int32_t height = 0;
    bool scaled = false;        // smaller than asked
    const wchar_t* reason = L"";  // "jpeg-size" or "memory" when scaled
    bool possible = true;       // false: not even 1-pixel tiles fit
};

// The largest tile size, at most the asked one and of the same aspect, with which
// `count` tiles side by side fit the format of `saveType` (1 = JPEG) and the budget.
TileFit FitTiles(int32_t width, int32_t height, int32_t count, int32_t saveType);
