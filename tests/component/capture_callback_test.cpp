// The capture callback's bitmaps: RGB32 rows as a bottom-up or top-down connection holds
// them come out upright.
#include <gtest/gtest.h>

#include "common/scoped.h"
#include "service/dshow/thumbnail_sample_grabber.h"

// Two rows of two pixels, bottom row (red) first as a bottom-up sample holds them; a
// top-down connection (negative height) keeps its first row at the top.
TEST(CaptureCallback, Rgb32RowsComeOutUpright) {
    GdiplusSession gdiplus;
    const uint8_t rows[16] = {0, 0, 255, 0, 0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 0};
    for (const int height : {2, -2}) {
        auto bitmap = BitmapFromVideoSample(rows, sizeof(rows), true, 2, height);
        Gdiplus::Color top;
        ASSERT_TRUE(bitmap && bitmap->GetPixel(1, 0, &top) == Gdiplus::Ok);
        EXPECT_EQ(top.GetR(), height < 0 ? 255 : 0) << height;
    }
}
