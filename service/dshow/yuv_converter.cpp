#include "service/dshow/yuv_converter.h"

#include <cstring>

namespace {
uint8_t Clamp(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }
}  // namespace

size_t Yuy2RowBytes(int width) { return width <= 0 ? 0 : static_cast<size_t>((width + 1) / 2) * 4; }

void YuvPixelToBgrx(int y, int u, int v, uint8_t* bgrx) {
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
            YuvPixelToBgrx(in[m], in[m + 1], in[m + 3], out + static_cast<size_t>(x) * 4);
            if (x + 1 < width) YuvPixelToBgrx(in[m + 2], in[m + 1], in[m + 3], out + static_cast<size_t>(x + 1) * 4);
        }
    }
    return true;
}

size_t I420Bytes(int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    return w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
}

bool ConvertI420ToBgrx(const uint8_t* src, size_t srcBytes, int width, int height, uint8_t* dst) {
    if (!src || width <= 0 || height <= 0) return false;
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (pixels >= (1ull << 30) || srcBytes < I420Bytes(width, height)) return false;
    const size_t w = static_cast<size_t>(width), chromaWidth = (w + 1) / 2;
    const uint8_t* uPlane = src + w * static_cast<size_t>(height);
    const uint8_t* vPlane = uPlane + chromaWidth * ((static_cast<size_t>(height) + 1) / 2);
    // YuvPixelToBgrx's arithmetic, with each chroma pair's terms worked out once for its
    // two pixels: a full-HD frame is converted on the streaming thread for every tile.
    for (size_t row = 0; row < static_cast<size_t>(height); ++row) {
        const uint8_t* y = src + row * w;
        const uint8_t* u = uPlane + (row / 2) * chromaWidth;
        const uint8_t* v = vPlane + (row / 2) * chromaWidth;
        uint8_t* out = dst + row * w * 4;
        for (size_t x = 0; x < w; x += 2) {
            const int d = u[x / 2] - 128, e = v[x / 2] - 128;
            const int blue = 516 * d + 128, green = -100 * d - 208 * e + 128, red = 409 * e + 128;
            for (size_t k = x; k < x + 2 && k < w; ++k) {
                const int c = 298 * (y[k] - 16);
                uint8_t* p = out + k * 4;
                p[0] = Clamp((c + blue) >> 8);
                p[1] = Clamp((c + green) >> 8);
                p[2] = Clamp((c + red) >> 8);
                p[3] = 0;
            }
        }
    }
    return true;
}
