// What a tile shows: a YUV pixel in 32 bits, an I420 picture's planes, the size tiles get so that their strip can be
// written, blank frames and where a picture is looked for instead.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "service/dshow/yuv_converter.h"
#include "service/thumbnail_decode/blank_frames.h"
#include "service/thumbnail_decode/strip_fit.h"

namespace {

// Studio range: 16 is black and 235 white, beyond them clamped; the primaries.
TEST(TilePictureRules, Yuy2PixelStudioRangeAndPrimaries) {
    const uint32_t cases[][4] = {  // Y, U, V; RGB
        {16, 128, 128, 0x000000}, {235, 128, 128, 0xFFFFFF}, {0, 128, 128, 0x000000}, {255, 128, 128, 0xFFFFFF},
        {81, 90, 240, 0xFE0000}, {145, 54, 34, 0x00FF00}, {41, 240, 110, 0x0000FF},
    };
    for (const auto& c : cases) {
        uint8_t p[4];
        YuvPixelToBgrx(c[0], c[1], c[2], p);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(p[i], (c[3] >> (8 * i)) & 0xFF, 3) << c[0] << " " << c[1] << " " << c[2];
        EXPECT_EQ(p[3], 0);
    }
}

// A luma plane, then U, then V, each chroma sample shared by a 2x2 block (half sizes
// rounded up); a picture short of its planes converts to nothing.
TEST(TilePictureRules, I420PlanesShareEachChromaSampleWithATwoByTwoBlock) {
    for (const auto& size : {std::pair<int, int>{6, 4}, {5, 3}}) {
        const int w = size.first, h = size.second, cw = (w + 1) / 2, ch = (h + 1) / 2;
        std::vector<uint8_t> planes(I420Bytes(w, h));
        ASSERT_EQ(planes.size(), static_cast<size_t>(w * h + 2 * cw * ch));
        for (size_t i = 0; i < planes.size(); ++i) planes[i] = static_cast<uint8_t>(i * 97 + 13);
        std::vector<uint8_t> out(static_cast<size_t>(w * h * 4));
        ASSERT_TRUE(ConvertI420ToBgrx(planes.data(), planes.size(), w, h, out.data()));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t want[4];
                const int chroma = (y / 2) * cw + x / 2;
                YuvPixelToBgrx(planes[y * w + x], planes[w * h + chroma], planes[w * h + cw * ch + chroma], want);
                EXPECT_EQ(0, std::memcmp(want, &out[(y * w + x) * 4], 4)) << w << "x" << h << " at " << x << "," << y;
            }
        EXPECT_FALSE(ConvertI420ToBgrx(planes.data(), planes.size() - 1, w, h, out.data()));
    }
}

// Save type 1 is JPEG (at most 65,535 px a side), 0 and 2 are limited by memory.
TEST(TilePictureRules, TilesShrinkWithTheirAspectUntilTheStripCanBeWritten) {
    const int32_t cases[][7] = {  // width, height, count, save type; then width, height, possible
        {1920, 1080, 34, 1, 1920, 1080, 1},  // 65,280 px: fits as asked
        {1920, 1080, 36, 1, 1819, 1023, 1},  // 69,120 px would not fit; 36 x 1,819 = 65,484 does
        {16, 9, 4094, 1, 15, 8, 1},
        {100, 70000, 1, 1, 93, 65100, 1},    // a tile taller than a JPEG may be
        {3840, 2160, 36, 0, 2102, 1182, 1},  // 1.2 GB
        {3840, 2160, 4, 2, 3840, 2160, 1},
        {160, 90, 70000, 1, 160, 90, 0},     // more tiles than a JPEG has columns
    };
    for (const auto& c : cases) {
        const TileFit fit = FitTiles(c[0], c[1], c[2], c[3]);
        EXPECT_EQ(fit.possible, c[6] != 0) << c[0] << "x" << c[1] << " x" << c[2] << " type " << c[3];
        EXPECT_EQ(fit.scaled, c[0] != c[4] || !fit.possible) << c[0] << "x" << c[1] << " x" << c[2];
        EXPECT_TRUE(!fit.possible || (fit.width == c[4] && fit.height == c[5])) << fit.width << "x" << fit.height;
    }
}

// A dark and flat picture is blank; a dark scene, a flat grey card or full red is not.
TEST(TilePictureRules, BlankFramesAndWhereTheSearchLooksInstead) {
    const int cases[][3] = {{0, 0, 1}, {16, 0, 1}, {19, 7, 1}, {21, 0, 0}, {12, 9, 0}, {128, 0, 0}, {-1, 0, 0}};
    for (const auto& c : cases) {  // grey level with a chequer of +-amplitude (-1: full red); blank
        std::vector<uint8_t> bgrx(320 * 180 * 4);
        for (size_t i = 0; i < bgrx.size(); i += 4) {
            const int v = c[0] + ((i / 16 + i / 5120) % 2 ? c[1] : -c[1]);
            bgrx[i] = bgrx[i + 1] = c[0] < 0 ? 0 : static_cast<uint8_t>(v);
            bgrx[i + 2] = c[0] < 0 ? 255 : static_cast<uint8_t>(v);
        }
        const LumaStats luma = MeasureLuma(bgrx.data(), 320, 180, 320 * 4);
        EXPECT_NEAR(luma.mean, c[0] < 0 ? 76.2 : c[0], 1.0);
        EXPECT_EQ(IsBlank(luma), c[2] != 0) << c[0] << " " << c[1] << ": deviation " << luma.deviation;
    }
    // Tries are evenly spaced up to halfway to the next tile (or the end); steps that collapse go.
    EXPECT_EQ(BlankSearchPositions(15000000, 45000000), (std::vector<int64_t>{18750000, 22500000, 26250000, 30000000}));
    EXPECT_EQ(BlankSearchPositions(10, 16), (std::vector<int64_t>{11, 12, 13}));
    EXPECT_TRUE(BlankSearchPositions(50, 50).empty());
    EXPECT_TRUE(BlankSearchPositions(50, 0).empty());  // the end unknown
    EXPECT_EQ(BlankSearchPositions(INT64_MAX - 8, INT64_MAX), (std::vector<int64_t>{INT64_MAX - 7, INT64_MAX - 6,
                                                                                     INT64_MAX - 5, INT64_MAX - 4}));
}

}  // namespace
