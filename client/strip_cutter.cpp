#include "client/strip_cutter.h"

#include <windows.h>
#include <gdiplus.h>
#include <memory>
#include <new>

#include "client/frame_files.h"
#include "common/console.h"
#include "common/image_encoder.h"

namespace snapwick {

namespace {
// A frame file holds its tile as a 16-bit RGB565 bitmap has it, in 24-bit pixels:
// each channel cut to its 5 or 6 bits, which come back with their top bits repeated
// below them. Done on the rows directly: drawing each tile into a 16-bit bitmap and
// converting it back costs GDI+ several times as long, for the same bytes.
void ThroughRgb565(BYTE* rows, int width, int height, int stride) {
    for (int y = 0; y < height; ++y) {
        BYTE* p = rows + static_cast<size_t>(y) * static_cast<size_t>(stride);
        for (int x = 0; x < width; ++x, p += 3) {
            p[0] = static_cast<BYTE>((p[0] & 0xF8) | (p[0] >> 5));  // blue
            p[1] = static_cast<BYTE>((p[1] & 0xFC) | (p[1] >> 6));  // green
            p[2] = static_cast<BYTE>((p[2] & 0xF8) | (p[2] >> 5));  // red
        }
    }
}

bool SaveTile(Gdiplus::Bitmap& strip, int x, int width, int height, const std::wstring& path) {
    const int stride = (width * 3 + 3) / 4 * 4;
    std::unique_ptr<BYTE[]> rows(new (std::nothrow) BYTE[static_cast<size_t>(stride) * static_cast<size_t>(height)]);
    if (!rows || !CopyPixelsAsGdiBitmap(strip, Gdiplus::Rect(x, 0, width, height), PixelFormat24bppRGB, rows.get(),
                                        stride))
        return false;
    ThroughRgb565(rows.get(), width, height, stride);
    Gdiplus::Bitmap tile(width, height, stride, PixelFormat24bppRGB, rows.get());
    if (tile.GetLastStatus() != Gdiplus::Ok) return false;
    DeleteFileW(path.c_str());  // so that only a file written now counts
    if (SaveImageAs(path, tile, L"image/jpeg") != Gdiplus::Ok) return false;
    // A folder of that name stays where it is: no file was written.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
}  // namespace

std::vector<bool> CutStripIntoFrames(const std::wstring& stripPath, const std::wstring& outputPath,
                                     size_t count) {
    std::vector<bool> written(count, false);
    if (count == 0) return written;
    Gdiplus::Bitmap strip(stripPath.c_str());
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
