// The strip file after each tile, in every format, and Snapwick's frame files cut from a JPEG strip
// (each tile drawn into a 16-bit bitmap): byte for byte what a save through a GDI bitmap wrote.
#include <gtest/gtest.h>

#include "client/frame_files.h"
#include "client/strip_cutter.h"
#include "common/image_encoder.h"
#include "service/thumbnail_decode/tile_strip.h"
#include "testing/support/captured_logs.h"
#include "testing/support/pixels.h"

using namespace testing_support;

namespace {

struct StripSave : CapturedLogsTest {
    // Whether the file holds the bytes of a GDI bitmap of the image saved as a new GDI+
    // bitmap made from it (megabytes: a difference is told by the sizes).
    ::testing::AssertionResult SavedThroughGdiBitmap(const std::wstring& file, Gdiplus::Bitmap& image, const wchar_t* mime) {
        GdiObject<HBITMAP> bitmap;
        image.GetHBITMAP(Gdiplus::Color(0xFF000000), bitmap.out());
        const std::wstring path = folder_.file(L"through-gdi");
        const std::string a = ReadFileBytes(file), b = bitmap && SaveBitmapAs(path, bitmap.get(), mime) ? ReadFileBytes(path) : "";
        return a == b ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << a.size() << " and " << b.size() << " bytes";
    }
};

TEST_F(StripSave, EachSaveAndEachFrameFileWritesTheBytesOfTheSaveThroughAGdiBitmap) {
    const std::wstring movie = Movie(L"testsrc2_640x360_h264.mp4");
    DShowThumbnailMaker_CL source(folder_.path(), cancel_.get());
    ASSERT_EQ(source.SetContent(movie), S_OK);
    std::unique_ptr<Gdiplus::Bitmap> frames[3];
    for (int i = 0; i < 3; ++i) {
        Gdiplus::Bitmap* frame = FrameAt(source, MidSecond(2 + 4 * i));
        ASSERT_NE(frame, nullptr) << i;
        frames[i].reset(frame->Clone(0, 0, 640, 360, PixelFormat32bppRGB));  // the source frees it at the next
    }
    for (int saveType : {0, 1, 2}) {
        for (int width : {160, -1}) {  // tiles scaled down, and at the frame's own size
            SCOPED_TRACE(testing::Message() << "type " << saveType << ", width " << width);
            DecodeRequestItem_CL request;
            request.movie_path = movie, request.output_path = folder_.file(L"strip" + std::to_wstring(saveType));
            request.save_type = saveType, request.frame_width = width, request.frame_height = width == -1 ? -1 : 90;
            TileStrip strip;
            for (int j = 0; j < 3; ++j) {
                ASSERT_TRUE(strip.Draw(j, 3, *frames[j], request));
                strip.Save(j, 3, request);
                EXPECT_TRUE(SavedThroughGdiBitmap(request.output_path, *strip.Image(), MimeTypeForSaveType(saveType))) << j;
            }
            // At the frame's own size each tile is its frame, upright, within 5-6-5 rounding.
            ImagePixels drawn, frame;
            ASSERT_TRUE(width != -1 || BitmapPixels(*strip.Image(), drawn));
            for (int j = 0; width == -1 && j < 3; ++j) {
                ASSERT_TRUE(BitmapPixels(*frames[j], frame));
                for (int y = 5; y < 360; y += 70)
                    for (int x = 3; x < 640; x += 90)
                        EXPECT_TRUE(Near(drawn.At(640 * j + x, y), frame.At(x, y), 8)) << j << " at " << x << "," << y;
            }
            if (saveType != 1) continue;
            const std::wstring frameFiles = folder_.file(L"frame.jpg");
            ASSERT_EQ(snapwick::CutStripIntoFrames(request.output_path, frameFiles, 3), std::vector<bool>(3, true));
            Gdiplus::Bitmap saved(request.output_path.c_str());
            const INT tileWidth = static_cast<INT>(saved.GetWidth() / 3), height = static_cast<INT>(saved.GetHeight());
            for (INT j = 0; j < 3; ++j) {
                Gdiplus::Bitmap tile(tileWidth, height, PixelFormat16bppRGB565);
                Gdiplus::Graphics(&tile).DrawImage(&saved, Gdiplus::Rect(0, 0, tileWidth, height), j * tileWidth, 0,
                                                   tileWidth, height, Gdiplus::UnitPixel);
                const std::wstring cut = snapwick::FrameFileName(frameFiles, static_cast<size_t>(j), 3);
                EXPECT_TRUE(SavedThroughGdiBitmap(cut, tile, L"image/jpeg")) << "frame " << j;
            }
        }
    }
}

}  // namespace
