// Captured video frames: the BT.601 YUY2 to 32-bit conversion, the video header inside
// a format block, and the size limit of frames from the Media Foundation route.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <dvdmedia.h>
#include <cstdint>
#include <vector>

#include "service/dshow/media_type.h"
#include "service/dshow/yuy2_converter.h"
#include "service/frame_source/media_foundation_decode.h"

namespace {

struct Bgrx {
    int b, g, r, x;
};
Bgrx Pixel(int y, int u, int v) {
    uint8_t p[4];
    Yuy2PixelToBgrx(y, u, v, p);
    return {p[0], p[1], p[2], p[3]};
}

TEST(Yuy2Pixel, StudioRangeEndPointsAndPrimaries) {
    const Bgrx black = Pixel(16, 128, 128), white = Pixel(235, 128, 128);
    EXPECT_EQ(black.b + black.g + black.r + black.x, 0);
    EXPECT_EQ(white.b, 255);
    EXPECT_EQ(white.g, 255);
    EXPECT_EQ(white.r, 255);
    EXPECT_EQ(white.x, 0);
    // Below black and above white clamp rather than wrap.
    EXPECT_EQ(Pixel(0, 128, 128).g, 0);
    EXPECT_EQ(Pixel(255, 128, 128).g, 255);
    // BT.601 red (Y 81, U 90, V 240) and blue (Y 41, U 240, V 110).
    const Bgrx red = Pixel(81, 90, 240), blue = Pixel(41, 240, 110);
    EXPECT_GE(red.r, 250);
    EXPECT_LE(red.g, 5);
    EXPECT_LE(red.b, 5);
    EXPECT_GE(blue.b, 250);
    EXPECT_LE(blue.r, 5);
}

TEST(ConvertYuy2ToBgrx, MacropixelsShareChromaAndRowsStayInOrder) {
    // 2 x 2: top row black then white luma, bottom row white then black.
    const uint8_t src[8] = {16, 128, 235, 128, 235, 128, 16, 128};
    std::vector<uint8_t> dst(2 * 2 * 4, 0xAA);
    ASSERT_TRUE(ConvertYuy2ToBgrx(src, sizeof(src), 0, 2, 2, dst.data()));
    EXPECT_EQ(dst[0 * 4 + 1], 0);
    EXPECT_EQ(dst[1 * 4 + 1], 255);
    EXPECT_EQ(dst[2 * 4 + 1], 255);
    EXPECT_EQ(dst[3 * 4 + 1], 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(dst[static_cast<size_t>(i) * 4 + 3], 0);
}

TEST(ConvertYuy2ToBgrx, OddWidthUsesWholeMacropixelsAndStaysInBounds) {
    // 3 pixels wide: each row holds two macropixels (8 bytes); the 4th luma is unused.
    EXPECT_EQ(Yuy2RowBytes(3), 8u);
    const uint8_t src[16] = {235, 128, 235, 128, 235, 128, 16, 128,
                             16, 128, 16, 128, 16, 128, 235, 128};
    // One guard pixel past the end of the output must stay untouched.
    std::vector<uint8_t> dst(3 * 2 * 4 + 4, 0xAA);
    ASSERT_TRUE(ConvertYuy2ToBgrx(src, sizeof(src), 0, 3, 2, dst.data()));
    EXPECT_EQ(dst[2 * 4 + 1], 255);            // row 0, last pixel: third luma
    EXPECT_EQ(dst[(3 + 2) * 4 + 1], 0);        // row 1, last pixel
    EXPECT_EQ(dst[24], 0xAA);
}

TEST(ConvertYuy2ToBgrx, ShortSourceLeavesTheRestBlackAndStrideIsHonoured) {
    const uint8_t src[6] = {235, 128, 235, 128, 235, 128};  // 1.5 macropixels of a 4 x 2 picture
    std::vector<uint8_t> dst(4 * 2 * 4, 0xAA);
    ASSERT_TRUE(ConvertYuy2ToBgrx(src, sizeof(src), 0, 4, 2, dst.data()));
    EXPECT_EQ(dst[0 * 4 + 1], 255);
    EXPECT_EQ(dst[1 * 4 + 1], 255);
    EXPECT_EQ(dst[2 * 4 + 1], 0);  // the half macropixel is not read
    EXPECT_EQ(dst[4 * 4 + 1], 0);  // the missing row
    EXPECT_EQ(dst[4 * 4 + 3], 0);

    // Rows 12 bytes apart (4 bytes of padding): the second row is read from byte 12.
    const uint8_t padded[20] = {16, 128, 16, 128, 0, 0, 0, 0, 0, 0, 0, 0, 235, 128, 235, 128};
    std::vector<uint8_t> two(2 * 2 * 4);
    ASSERT_TRUE(ConvertYuy2ToBgrx(padded, sizeof(padded), 12, 2, 2, two.data()));
    EXPECT_EQ(two[0 * 4 + 1], 0);
    EXPECT_EQ(two[2 * 4 + 1], 255);
}

TEST(ConvertYuy2ToBgrx, RefusesEmptyAndHugeSizes) {
    uint8_t src[4] = {16, 128, 16, 128};
    uint8_t dst[8];
    EXPECT_FALSE(ConvertYuy2ToBgrx(src, sizeof(src), 0, 0, 1, dst));
    EXPECT_FALSE(ConvertYuy2ToBgrx(src, sizeof(src), 0, 2, -1, dst));
    EXPECT_FALSE(ConvertYuy2ToBgrx(src, sizeof(src), 0, 1 << 15, 1 << 15, dst));
}

TEST(VideoBitmapHeader, NeedsAWholeHeaderOfTheNamedFormat) {
    VIDEOINFOHEADER2 vih2{};
    AM_MEDIA_TYPE mt{};
    mt.pbFormat = reinterpret_cast<BYTE*>(&vih2);
    mt.formattype = FORMAT_VideoInfo2;
    mt.cbFormat = sizeof(vih2);
    EXPECT_EQ(VideoBitmapHeader(mt), &vih2.bmiHeader);
    mt.cbFormat = sizeof(vih2) - 1;
    EXPECT_EQ(VideoBitmapHeader(mt), nullptr);
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(VIDEOINFOHEADER) - 1;
    EXPECT_EQ(VideoBitmapHeader(mt), nullptr);
    mt.formattype = FORMAT_MPEG2Video;
    mt.cbFormat = sizeof(vih2);
    EXPECT_EQ(VideoBitmapHeader(mt), nullptr);
}

TEST(MediaFoundationFrameSize, LongerSideIsLimitedTo1280InProportion) {
    const int cases[][4] = {{1920, 1080, 1280, 720}, {1080, 1920, 720, 1280}, {1281, 100, 1280, 99},
                            {20000, 1, 1280, 1},     {1280, 1280, 1280, 1280}, {322, 242, 322, 242},
                            {2139, 1203, 1280, 719}};
    for (const auto& c : cases) {
        const ScaledFrameSize s = MediaFoundationFrameSize(c[0], c[1]);
        EXPECT_EQ(s.width, c[2]) << c[0] << "x" << c[1];
        EXPECT_EQ(s.height, c[3]) << c[0] << "x" << c[1];
    }
}

}  // namespace
