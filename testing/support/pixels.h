// Pixel checks for tests: frames of the test movies, and image files read through GDI+
// (from a copy in memory, so that the file is never held open).
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <gtest/gtest.h>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

constexpr int64_t kSecond = 10000000;  // 100 ns units
// The colour of each second of the "seconds_" movies, 0xRRGGBB.
constexpr unsigned kSecondColours[12] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF,
                                         0xFFFFFF, 0x808080, 0x800000, 0x008000, 0x000080, 0x808000};

struct Rgb { int r = 0, g = 0, b = 0; };  // 0 to 255 each

bool Near(const Rgb& a, const Rgb& b, int tolerance);
Rgb FromHex(uint32_t rgb);
Rgb SecondsMovieColour(int64_t position100ns);

struct ImagePixels {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> argb;  // row by row, top row first
    Rgb At(int x, int y) const;
    // Average colour of the rectangle's inner half (away from scaled edges).
    Rgb Average(int x, int y, int w, int h) const;
};

// Needs GDI+ started. False when the file is missing or not an image.
bool LoadImagePixels(const std::wstring& path, ImagePixels& image);
bool BitmapPixels(Gdiplus::Bitmap& bitmap, ImagePixels& image);

}  // namespace testing_support
