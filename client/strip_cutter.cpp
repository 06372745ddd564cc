#include "client/strip_cutter.h"

#include <windows.h>
#include <gdiplus.h>
#include <memory>

#include "client/frame_files.h"
#include "common/console.h"
#include "common/image_encoder.h"

namespace snapwick {

namespace {
bool SaveTile(Gdiplus::Image& strip, int x, int width, int height, const std::wstring& path) {
    Gdiplus::Bitmap tile(width, height, PixelFormat16bppRGB565);
    if (tile.GetLastStatus() != Gdiplus::Ok) return false;
    {
        Gdiplus::Graphics graphics(&tile);
        if (graphics.DrawImage(&strip, Gdiplus::Rect(0, 0, width, height), x, 0, width, height,
                               Gdiplus::UnitPixel) != Gdiplus::Ok)
            return false;
    }
    DeleteFileW(path.c_str());  // so that only a file written now counts
    // The bytes of the tile's GDI bitmap saved as JPEG, without making one.
    return SaveOpaqueBitmapAs(path, tile, L"image/jpeg") && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
}  // namespace

std::vector<bool> CutStripIntoFrames(const std::wstring& stripPath, const std::wstring& outputPath,
                                     size_t count) {
    std::vector<bool> written(count, false);
    if (count == 0) return written;
    Gdiplus::Image strip(stripPath.c_str());
    if (strip.GetLastStatus() != Gdiplus::Ok) {
        WriteStderrLine(L"the strip image cannot be read: " + stripPath);
        return written;
    }
    const unsigned height = strip.GetHeight();
    const unsigned width = TileWidth(strip.GetWidth(), count);
    for (size_t i = 0; i < count; ++i) {
        const std::wstring path = FrameFileName(outputPath, i, count);
        written[i] = width > 0 && height > 0 &&
                     SaveTile(strip, static_cast<int>(i * width), static_cast<int>(width),
                              static_cast<int>(height), path);
        if (!written[i]) WriteStderrLine(L"frame file not written: " + path);
    }
    return written;
}

}  // namespace snapwick
