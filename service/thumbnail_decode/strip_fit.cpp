#include "service/thumbnail_decode/strip_fit.h"

#include <algorithm>
#include <cmath>

namespace {
int64_t BytesPerPixel(int32_t saveType) { return 2 + (saveType == 1 ? 3 : 4); }

bool Fits(int64_t width, int64_t height, int64_t count, int32_t saveType) {
    const int64_t stripWidth = width * count;
    if (saveType == 1 && (stripWidth > kJpegMaxSide || height > kJpegMaxSide)) return false;
    if (stripWidth > INT32_MAX || height > INT32_MAX) return false;
    // Divided, not multiplied: width x height x count may pass int64 for absurd requests.
    return height <= kStripMemoryBudget / BytesPerPixel(saveType) / stripWidth;
}
}  // namespace

TileFit FitTiles(int32_t width, int32_t height, int32_t count, int32_t saveType) {
    TileFit fit;
    fit.width = width;
    fit.height = height;
    if (width <= 0 || height <= 0 || count <= 0 || Fits(width, height, count, saveType)) return fit;
    fit.scaled = true;
    const bool jpegSize =
        saveType == 1 && (int64_t{width} * count > kJpegMaxSide || int64_t{height} > kJpegMaxSide);
    fit.reason = jpegSize ? L"jpeg-size" : L"memory";
    if (!Fits(1, 1, count, saveType)) {
        fit.possible = false;
        return fit;
    }
    // A first guess from the limits, then down a pixel at a time while rounding the
    // height keeps it too big (a step or two at most).
    double scale = 1.0;
    if (saveType == 1) {
        scale = std::min(scale, static_cast<double>(kJpegMaxSide) / (static_cast<double>(width) * count));
        scale = std::min(scale, static_cast<double>(kJpegMaxSide) / height);
    }
    const double bytes = static_cast<double>(width) * count * height * static_cast<double>(BytesPerPixel(saveType));
    if (bytes > static_cast<double>(kStripMemoryBudget))
        scale = std::min(scale, std::sqrt(static_cast<double>(kStripMemoryBudget) / bytes));
    int64_t w = std::max<int64_t>(1, static_cast<int64_t>(std::floor(width * scale)));
    auto heightFor = [&](int64_t w2) {
        return std::max<int64_t>(1, (int64_t{height} * w2 * 2 + width) / (int64_t{width} * 2));  // rounded
    };
    while (w > 1 && !Fits(w, heightFor(w), count, saveType)) --w;
    int64_t h = heightFor(w);
    // A very tall tile whose width is already 1: lower the height alone.
    while (h > 1 && !Fits(w, h, count, saveType)) h = std::max<int64_t>(1, h * 15 / 16);
    fit.width = static_cast<int32_t>(w);
    fit.height = static_cast<int32_t>(h);
    return fit;
}
