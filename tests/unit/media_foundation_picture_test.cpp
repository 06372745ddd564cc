// Pure parts of the Media Foundation route: the size limit, and reading a locked
// picture (pitch, bottom-up rows, YUY2) without ever leaving the buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "service/frame_source/media_foundation_decode.h"

namespace {

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

// A 2x3 BGRX picture whose row r holds bytes r*16 .. r*16+7, rows |pitch| apart with
// 0xEE padding, bottom-up in memory when pitch < 0. Returns the top row.
const uint8_t* MakeBgrx(long pitch, std::vector<uint8_t>& buffer) {
    const long step = pitch < 0 ? -pitch : pitch;
    buffer.assign(static_cast<size_t>(step) * 3, 0xEE);
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < 8; ++i) buffer[(pitch < 0 ? 2 - r : r) * step + i] = static_cast<uint8_t>(r * 16 + i);
    return buffer.data() + (pitch < 0 ? 2 * step : 0);
}

TEST(MediaFoundationPicture, PaddedAndBottomUpRowsComeOutPackedAndUpright) {
    for (long pitch : {8L, 12L, -8L, -12L}) {
        std::vector<uint8_t> buffer, out;
        const uint8_t* top = MakeBgrx(pitch, buffer);
        ASSERT_TRUE(CopyMfPictureToBgrx(buffer.data(), buffer.size(), top, pitch, MfPixelLayout::Bgrx, 2, 3, out));
        ASSERT_EQ(out.size(), 24u);
        for (int i = 0; i < 24; ++i) EXPECT_EQ(out[i], (i / 8) * 16 + i % 8) << "pitch " << pitch << " byte " << i;
    }
    // YUY2, 2x2 with 4 bytes of padding per row: a white row above a black row.
    const uint8_t yuy2[16] = {235, 128, 235, 128, 0, 0, 0, 0, 16, 128, 16, 128, 0, 0, 0, 0};
    std::vector<uint8_t> out;
    ASSERT_TRUE(CopyMfPictureToBgrx(yuy2, sizeof yuy2, yuy2, 8, MfPixelLayout::Yuy2, 2, 2, out));
    EXPECT_EQ(out, (std::vector<uint8_t>{255, 255, 255, 0, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(MediaFoundationPicture, PictureReachingPastTheBufferIsRefused) {
    std::vector<uint8_t> buffer, out;
    const uint8_t* top = MakeBgrx(12, buffer);
    // The last row needs 8 bytes from offset 24: 31 bytes are one short.
    EXPECT_TRUE(MfPictureFits(buffer.data(), 32, top, 12, 8, 3));
    EXPECT_FALSE(CopyMfPictureToBgrx(buffer.data(), 31, top, 12, MfPixelLayout::Bgrx, 2, 3, out));
    // Bottom-up rows that would start before the buffer; a top row past its end.
    EXPECT_FALSE(MfPictureFits(buffer.data(), 36, buffer.data() + 12, -12, 8, 3));
    EXPECT_FALSE(MfPictureFits(buffer.data(), 12, buffer.data() + 24, 12, 8, 1));
    // An unknown layout or a zero size reads nothing.
    EXPECT_FALSE(CopyMfPictureToBgrx(buffer.data(), 36, top, 12, MfPixelLayout::Unknown, 2, 3, out));
    EXPECT_FALSE(CopyMfPictureToBgrx(buffer.data(), 36, top, 12, MfPixelLayout::Bgrx, 0, 3, out));
}

}  // namespace
