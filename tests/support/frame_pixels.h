// Pixel checks for decoded frames of the test movies.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <gtest/gtest.h>
#include <cstdint>
#include <cstdlib>

namespace testing_support {

constexpr int64_t kSecond = 10000000;  // 100 ns units
// The colour of each second of the "seconds_" movies, 0xRRGGBB.
constexpr unsigned kSecondColours[12] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF,
                                         0xFFFFFF, 0x808080, 0x800000, 0x008000, 0x000080, 0x808000};

// The pixel at (x, y) is `rgb` within the tolerance (per channel).
inline ::testing::AssertionResult PixelNear(Gdiplus::Bitmap& bitmap, int x, int y, unsigned rgb, int tolerance) {
    Gdiplus::Color c;
    if (bitmap.GetPixel(x, y, &c) != Gdiplus::Ok) return ::testing::AssertionFailure() << "GetPixel failed";
    const int want[3] = {static_cast<int>(rgb >> 16 & 0xFF), static_cast<int>(rgb >> 8 & 0xFF),
                         static_cast<int>(rgb & 0xFF)};
    const int got[3] = {c.GetR(), c.GetG(), c.GetB()};
    for (int i = 0; i < 3; ++i) {
        if (std::abs(got[i] - want[i]) > tolerance)
            return ::testing::AssertionFailure() << "pixel (" << x << "," << y << ") is " << got[0] << ","
                                                 << got[1] << "," << got[2] << ", want " << want[0] << ","
                                                 << want[1] << "," << want[2];
    }
    return ::testing::AssertionSuccess();
}

// The whole picture is one colour: centre, corners (a few pixels in) and edge middles.
inline ::testing::AssertionResult SolidNear(Gdiplus::Bitmap& bitmap, unsigned rgb, int tolerance) {
    const int w = static_cast<int>(bitmap.GetWidth()), h = static_cast<int>(bitmap.GetHeight());
    const int in = 3;
    for (int y : {in, h / 2, h - 1 - in})
        for (int x : {in, w / 2, w - 1 - in}) {
            ::testing::AssertionResult r = PixelNear(bitmap, x, y, rgb, tolerance);
            if (!r) return r;
        }
    return ::testing::AssertionSuccess();
}

}  // namespace testing_support
