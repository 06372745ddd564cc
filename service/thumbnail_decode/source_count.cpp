#include "service/thumbnail_decode/source_count.h"

#include <algorithm>

SourceCount ChooseSourceCount(int setting, int cores, int width, int height) {
    if (setting >= 1) return {std::min(setting, kMaxFrameSources), L"setting"};
    if (width <= 0 || height <= 0) return {1, L"size unknown"};
    const int byCores = std::max(1, std::min(cores, kMaxFrameSources));
    const int64_t perSource = static_cast<int64_t>(width) * height * kSourceBytesPerPixel;
    const int64_t byMemory = std::max<int64_t>(1, kSourceMemoryBudget / perSource);
    if (byMemory < byCores) return {static_cast<int>(byMemory), L"memory"};
    return {byCores, L"cores"};
}

int TilesAhead(int sources, int count, int width, int height) {
    const int least = 2 * std::max(1, sources);
    if (width <= 0 || height <= 0) return least;
    const int64_t frames = kWaitingFramesBudget / (static_cast<int64_t>(width) * height * 4);
    return static_cast<int>(std::max<int64_t>(least, std::min<int64_t>(count, frames)));
}
