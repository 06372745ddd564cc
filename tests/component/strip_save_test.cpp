// The strip file written after each tile: byte for byte what the save through a GDI
// bitmap of the strip wrote, in every format, on a strip of real movie frames; and
// Snapwick's frame files cut from a JPEG strip, byte for byte what drawing each tile
// into a 16-bit bitmap and saving that through a GDI bitmap wrote.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "client/frame_files.h"
#include "client/strip_cutter.h"
#include "common/image_encoder.h"
#include "service/thumbnail_decode/tile_strip.h"
#include "testing/support/captured_logs.h"

using namespace testing_support;

namespace {

// Megabytes compared: a difference is told by the sizes, not the bytes.
::testing::AssertionResult SameBytes(const std::string& a, const std::string& b) {
    if (a == b) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a.size() << " bytes and " << b.size() << " bytes differ";
}

class StripSave : public CapturedLogsTest {
protected:
    StripSave() : CapturedLogsTest(L"strip-save") {}

    // What the strip's file was before: a GDI bitmap of the strip, saved as a new GDI+
    // bitmap made from it.
    std::string SavedThroughGdiBitmap(TileStrip& strip, const wchar_t* mime) {
        const std::wstring path = folder_.file(L"through-gdi");
        GdiObject<HBITMAP> bitmap;
        strip.Image()->GetHBITMAP(Gdiplus::Color(0xFF000000), bitmap.out());
        if (!bitmap || !SaveBitmapAs(path, bitmap.get(), mime)) return "no GDI bitmap";
        return ReadFileBytes(path);
    }
};

TEST_F(StripSave, EachSaveWritesTheBytesOfTheSaveThroughAGdiBitmap) {
    // Three frames full of detail, each kept: the frame source frees a frame at the next.
    const std::wstring movie = Movie(L"testsrc2_640x360_h264.mp4");
    UniqueHandle cancel(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    DShowThumbnailMaker_CL source(folder_.path(), cancel.get());
    ASSERT_EQ(source.SetContent(movie), S_OK);
    std::unique_ptr<Gdiplus::Bitmap> frames[3];
    for (int i = 0; i < 3; ++i) {
        Gdiplus::Bitmap* frame = FrameAt(source, MidSecond(2 + 4 * i));
        ASSERT_NE(frame, nullptr) << i;
        frames[i].reset(frame->Clone(0, 0, 640, 360, PixelFormat32bppRGB));
    }

    for (int saveType : {0, 1, 2}) {
        SCOPED_TRACE(saveType);
        DecodeRequestItem_CL request;
        request.movie_path = movie;
        request.output_path = folder_.file(L"strip" + std::to_wstring(saveType));
        request.save_type = saveType;
        // Tiles scaled down, and at the frame's own size.
        for (int width : {160, -1}) {
            request.frame_width = width;
            request.frame_height = width == -1 ? -1 : 90;
            TileStrip strip;
            for (int j = 0; j < 3; ++j) {
                ASSERT_TRUE(strip.Draw(j, 3, *frames[j], request));
                strip.Save(j, 3, request);
                const std::string written = ReadFileBytes(request.output_path);
                ASSERT_GT(written.size(), 100u);
                const std::string throughGdi = SavedThroughGdiBitmap(strip, MimeTypeForSaveType(saveType));
                EXPECT_TRUE(SameBytes(written, throughGdi)) << "tile " << j << " of width " << request.frame_width;
            }
            // Snapwick's frame files: each tile of the JPEG strip as a 16-bit bitmap of
            // it, saved through a GDI bitmap, has it.
            if (saveType != 1) continue;
            const std::wstring frameFiles = folder_.file(L"frame.jpg");
            ASSERT_EQ(snapwick::CutStripIntoFrames(request.output_path, frameFiles, 3), std::vector<bool>(3, true));
            Gdiplus::Bitmap saved(request.output_path.c_str());
            const INT tileWidth = static_cast<INT>(saved.GetWidth() / 3), height = static_cast<INT>(saved.GetHeight());
            for (INT j = 0; j < 3; ++j) {
                Gdiplus::Bitmap tile(tileWidth, height, PixelFormat16bppRGB565);
                Gdiplus::Graphics(&tile).DrawImage(&saved, Gdiplus::Rect(0, 0, tileWidth, height), j * tileWidth, 0,
                                                   tileWidth, height, Gdiplus::UnitPixel);
                GdiObject<HBITMAP> bitmap;
                tile.GetHBITMAP(Gdiplus::Color(0xFF000000), bitmap.out());
                const std::wstring reference = folder_.file(L"reference.jpg");
                ASSERT_TRUE(SaveBitmapAs(reference, bitmap.get(), L"image/jpeg"));
                EXPECT_TRUE(SameBytes(ReadFileBytes(snapwick::FrameFileName(frameFiles, static_cast<size_t>(j), 3)),
                                      ReadFileBytes(reference)))
                    << "frame " << j << " of width " << request.frame_width;
            }
        }
    }
}

}  // namespace
