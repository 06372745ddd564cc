// The capture callback's bitmaps: RGB32 rows as a bottom-up or top-down connection holds
// them come out upright.
#include <gtest/gtest.h>

#include "common/scoped.h"
#include "service/dshow/thumbnail_sample_grabber.h"

namespace {

// Two rows of two pixels, bottom row (red) first as a bottom-up sample holds them; a
// top-down connection (negative height) keeps its first row at the top.
TEST(CaptureCallback, Rgb32RowsComeOutUpright) {
    GdiplusSession gdiplus;
    const uint8_t rows[16] = {0, 0, 255, 0, 0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 0};
    auto bottomUp = BitmapFromVideoSample(rows, sizeof(rows), true, 2, 2);
    auto topDown = BitmapFromVideoSample(rows, sizeof(rows), true, 2, -2);
    ASSERT_TRUE(bottomUp && topDown);
    const auto red = [](Gdiplus::Bitmap& b, int x, int y) {
        Gdiplus::Color c;
        b.GetPixel(x, y, &c);
        return c.GetR();
    };
    EXPECT_EQ(red(*bottomUp, 0, 0), 0);
    EXPECT_EQ(red(*bottomUp, 1, 1), 255);
    EXPECT_EQ(red(*topDown, 0, 0), 255);
}

}  // namespace
