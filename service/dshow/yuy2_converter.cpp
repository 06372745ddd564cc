#include "service/dshow/yuy2_converter.h"

#include <cstring>

namespace {
uint8_t Clamp(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }
}  // namespace

size_t Yuy2RowBytes(int width) { return width <= 0 ? 0 : static_cast<size_t>((width + 1) / 2) * 4; }

void Yuy2PixelToBgrx(int y, int u, int v, uint8_t* bgrx) {
    const int c = y - 16, d = u - 128, e = v - 128;
    bgrx[0] = Clamp((298 * c + 516 * d + 128) >> 8);
    bgrx[1] = Clamp((298 * c - 100 * d - 208 * e + 128) >> 8);
    bgrx[2] = Clamp((298 * c + 409 * e + 128) >> 8);
    bgrx[3] = 0;
}

bool ConvertYuy2ToBgrx(const uint8_t* src, size_t srcBytes, size_t srcStride, int width,
                       int height, uint8_t* dst) {
    if (width <= 0 || height <= 0) return false;
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (pixels >= (1ull << 30)) return false;
    const size_t rowBytes = Yuy2RowBytes(width);
    if (srcStride == 0) srcStride = rowBytes;
    std::memset(dst, 0, static_cast<size_t>(pixels) * 4);
    if (!src) return true;
    for (int row = 0; row < height; ++row) {
        const size_t start = static_cast<size_t>(row) * srcStride;
        if (start >= srcBytes) break;
        const size_t available = srcBytes - start < rowBytes ? srcBytes - start : rowBytes;
        const uint8_t* in = src + start;
        uint8_t* out = dst + static_cast<size_t>(row) * static_cast<size_t>(width) * 4;
        for (int x = 0; x < width; x += 2) {
            const size_t m = static_cast<size_t>(x / 2) * 4;
            if (m + 4 > available) break;
            Yuy2PixelToBgrx(in[m], in[m + 1], in[m + 3], out + static_cast<size_t>(x) * 4);
            if (x + 1 < width) Yuy2PixelToBgrx(in[m + 2], in[m + 1], in[m + 3], out + static_cast<size_t>(x + 1) * 4);
        }
    }
    return true;
}
