#include "service/thumbnail_decode/blank_frames.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kBlankMeanBelow = 20.0;
constexpr double kBlankDeviationBelow = 8.0;
// About 16,000 samples judge a picture as well as all of its pixels.
constexpr int kSamplesPerSide = 128;
}  // namespace

LumaStats MeasureLuma(const uint8_t* bgrx, int width, int height, int stride) {
    LumaStats stats;
    if (!bgrx || width <= 0 || height <= 0) return stats;
    const int stepX = std::max(1, width / kSamplesPerSide);
    const int stepY = std::max(1, height / kSamplesPerSide);
    double sum = 0, sumSquares = 0;
    long long n = 0;
    for (int y = stepY / 2; y < height; y += stepY) {
        const uint8_t* row = bgrx + static_cast<ptrdiff_t>(y) * stride;
        for (int x = stepX / 2; x < width; x += stepX) {
            const uint8_t* p = row + static_cast<size_t>(x) * 4;
            const double luma = 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
            sum += luma;
            sumSquares += luma * luma;
            ++n;
        }
    }
    stats.mean = sum / static_cast<double>(n);
    stats.deviation = std::sqrt(std::max(0.0, sumSquares / static_cast<double>(n) - stats.mean * stats.mean));
    return stats;
}

bool IsBlank(const LumaStats& luma) { return luma.mean < kBlankMeanBelow && luma.deviation < kBlankDeviationBelow; }

bool MeasureFrameLuma(Gdiplus::Bitmap& frame, LumaStats* luma) {
    Gdiplus::Rect all(0, 0, static_cast<INT>(frame.GetWidth()), static_cast<INT>(frame.GetHeight()));
    Gdiplus::BitmapData data = {};
    if (all.Width <= 0 || all.Height <= 0 ||
        frame.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppRGB, &data) != Gdiplus::Ok)
        return false;
    *luma = MeasureLuma(static_cast<const uint8_t*>(data.Scan0), all.Width, all.Height, data.Stride);
    frame.UnlockBits(&data);
    return true;
}

std::vector<int64_t> BlankSearchPositions(int64_t planned, int64_t limit) {
    std::vector<int64_t> positions;
    if (limit <= planned) return positions;
    const int64_t reach = (limit - planned) / 2;
    for (int k = 1; k <= kBlankTries; ++k) {
        // Split so that positions near the int64 limit cannot overflow.
        const int64_t p = planned + reach / kBlankTries * k + reach % kBlankTries * k / kBlankTries;
        if (p > (positions.empty() ? planned : positions.back())) positions.push_back(p);
    }
    return positions;
}
