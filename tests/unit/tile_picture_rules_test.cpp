// Pure rules about what a tile shows: the size tiles get so that their strip can be
// written, blank frames and where a picture is looked for instead, and a decoder's
// picture aspect as a pixel aspect.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/frame_source/displayed_frame.h"
#include "service/thumbnail_decode/blank_frames.h"
#include "service/thumbnail_decode/strip_fit.h"

namespace {

TEST(StripFit, TilesShrinkWithTheirAspectUntilTheStripCanBeWritten) {
    struct Case {
        int32_t width, height, count, saveType;
        int32_t fitWidth, fitHeight;
        bool scaled, possible;
    } cases[] = {
        {1920, 1080, 8, 1, 1920, 1080, false, true},
        // 36 full-HD frames: 69,120 px would not fit a JPEG; 36 x 1,819 = 65,484 does.
        {1920, 1080, 36, 1, 1819, 1023, true, true},
        {1920, 1080, 34, 1, 1920, 1080, false, true},  // 65,280 px: fits as asked
        {16, 9, 4093, 1, 16, 9, false, true},
        {16, 9, 4094, 1, 15, 8, true, true},
        // A tile taller than a JPEG may be.
        {100, 70000, 1, 1, 93, 65100, true, true},
        // BMP and PNG are not limited by the side but by memory: 36 frames of 4K (1.2 GB).
        {3840, 2160, 36, 0, 2102, 1182, true, true},
        {3840, 2160, 4, 2, 3840, 2160, false, true},
        // Nothing fits: more tiles than a JPEG has columns.
        {160, 90, 70000, 1, 160, 90, true, false},
        // Not a size at all: left for the caller to refuse.
        {0, 90, 4, 1, 0, 90, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " x" << c.count << " type " << c.saveType);
        const TileFit fit = FitTiles(c.width, c.height, c.count, c.saveType);
        EXPECT_EQ(fit.scaled, c.scaled);
        EXPECT_EQ(fit.possible, c.possible);
        if (!c.possible) continue;
        EXPECT_EQ(fit.width, c.fitWidth);
        EXPECT_EQ(fit.height, c.fitHeight);
        if (!fit.scaled) continue;
        const int64_t stripWidth = int64_t{fit.width} * c.count;
        const int64_t bytes = stripWidth * fit.height * (c.saveType == 1 ? 5 : 6);
        EXPECT_LE(bytes, kStripMemoryBudget);
        if (c.saveType == 1) EXPECT_LE(stripWidth, kJpegMaxSide);
        if (c.saveType == 1) EXPECT_LE(fit.height, kJpegMaxSide);
    }
}

// Pictures of one grey level with a pattern of +-amplitude around it.
std::vector<uint8_t> Picture(int width, int height, int grey, int amplitude) {
    std::vector<uint8_t> bgrx(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int v = grey + (((x / 4 + y / 4) % 2) ? amplitude : -amplitude);
            uint8_t* p = &bgrx[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = p[1] = p[2] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    return bgrx;
}

TEST(BlankFrames, DarkAndFlatIsBlankButADarkSceneIsNot) {
    struct Case {
        int grey, amplitude;
        bool blank;
    } cases[] = {
        {0, 0, true},     // black
        {16, 0, true},    // video black
        {19, 7, true},    // the end of a fade, a little noise
        {21, 0, false},   // grey enough to be a picture
        {12, 9, false},   // dark, with something in it
        {128, 0, false},  // a flat grey card is a picture
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "grey " << c.grey << " +-" << c.amplitude);
        const std::vector<uint8_t> bgrx = Picture(320, 180, c.grey, c.amplitude);
        const LumaStats luma = MeasureLuma(bgrx.data(), 320, 180, 320 * 4);
        EXPECT_NEAR(luma.mean, c.grey, 1.0);
        EXPECT_EQ(IsBlank(luma), c.blank) << "mean " << luma.mean << " deviation " << luma.deviation;
    }
    // Colour counts by its luma: full red is not dark.
    std::vector<uint8_t> red(64 * 4, 0);
    for (size_t i = 2; i < red.size(); i += 4) red[i] = 255;
    EXPECT_NEAR(MeasureLuma(red.data(), 8, 8, 32).mean, 76.2, 0.5);
}

TEST(BlankFrames, TriesAreEvenlySpacedUpToHalfwayToTheNextTile) {
    struct Case {
        int64_t planned, limit;
        std::vector<int64_t> tries;
    } cases[] = {
        {15000000, 45000000, {18750000, 22500000, 26250000, 30000000}},
        {105000000, 120000000, {106875000, 108750000, 110625000, 112500000}},  // last tile: towards the end
        {10, 16, {11, 12, 13}},  // tiny steps that collapse are dropped
        {50, 50, {}},                    // no room
        {50, 0, {}},                     // the end unknown
        {INT64_MAX - 8, INT64_MAX, {INT64_MAX - 8 + 1, INT64_MAX - 8 + 2, INT64_MAX - 8 + 3, INT64_MAX - 8 + 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.planned << " .. " << c.limit);
        EXPECT_EQ(BlankSearchPositions(c.planned, c.limit), c.tries);
    }
}

// DirectShow reports a picture aspect (VIDEOINFOHEADER2); Wine never does, so only here
// is its conversion to a pixel aspect seen.
TEST(DisplayGeometryReports, PictureAspectBecomesPixelAspect) {
    auto aspect = [](unsigned x, unsigned y, int w, int h) {
        const DisplayGeometry g = PixelAspectFromPictureAspect(x, y, w, h);
        return std::to_string(g.pixelAspectX) + ":" + std::to_string(g.pixelAspectY);
    };
    // A 720x576 picture shown 16:9 has pixels of 64:45; a 4:3 one of 16:15.
    EXPECT_EQ(aspect(16, 9, 720, 576), "64:45");
    EXPECT_EQ(aspect(4, 3, 720, 576), "16:15");
    EXPECT_EQ(aspect(0, 9, 720, 576), "1:1");
}

}  // namespace
