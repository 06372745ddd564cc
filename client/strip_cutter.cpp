#include "client/strip_cutter.h"

#include <windows.h>
#include <gdiplus.h>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

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

// One tile's pixels, copied out of the strip, on their way into a frame file.
struct TileRows {
    std::unique_ptr<BYTE[]> rows;
    int stride = 0;
    bool written = false;
    bool done = false;  // written or not: nothing more comes of it
};

bool CopyTile(Gdiplus::Bitmap& strip, int x, int width, int height, TileRows& tile) {
    tile.stride = (width * 3 + 3) / 4 * 4;
    tile.rows.reset(new (std::nothrow) BYTE[static_cast<size_t>(tile.stride) * static_cast<size_t>(height)]);
    return tile.rows && CopyPixelsAsGdiBitmap(strip, Gdiplus::Rect(x, 0, width, height), PixelFormat24bppRGB,
                                              tile.rows.get(), tile.stride);
}

bool SaveTile(TileRows& tile, int width, int height, const std::wstring& path) {
    ThroughRgb565(tile.rows.get(), width, height, tile.stride);
    Gdiplus::Bitmap bitmap(width, height, tile.stride, PixelFormat24bppRGB, tile.rows.get());
    if (bitmap.GetLastStatus() != Gdiplus::Ok) return false;
    DeleteFileW(path.c_str());  // so that only a file written now counts
    if (SaveImageAs(path, bitmap, L"image/jpeg") != Gdiplus::Ok) return false;
    // A folder of that name stays where it is: no file was written.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
}  // namespace

std::vector<bool> CutStripIntoFrames(const std::wstring& stripPath, const std::wstring& outputPath, size_t count,
                                     const std::function<void(size_t)>& handOver) {
    std::vector<bool> written(count, false);
    if (count == 0) return written;
    std::vector<TileRows> tiles(count);
    int width = 0, height = 0;
    {
        Gdiplus::Bitmap strip(stripPath.c_str());
        if (strip.GetLastStatus() != Gdiplus::Ok) {
            WriteStderrLine(L"the strip image cannot be read: " + stripPath);
            return written;
        }
        width = static_cast<int>(TileWidth(strip.GetWidth(), count));
        height = static_cast<int>(strip.GetHeight());
        // A bitmap is read through one lock at a time: the tiles come out of it in turn.
        for (size_t i = 0; i < count; ++i)
            if (width <= 0 || height <= 0 || !CopyTile(strip, static_cast<int>(i) * width, width, height, tiles[i]))
                tiles[i].rows.reset();
    }
    // Encoding takes most of the time: two threads share it, and each file is handed over
    // as soon as it is written, while the tiles after it are still being encoded.
    std::mutex lock;
    std::condition_variable finished;
    size_t next = 0;
    auto encode = [&] {
        for (;;) {
            size_t i = 0;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (next >= count) return;
                i = next++;
            }
            const bool ok = tiles[i].rows && SaveTile(tiles[i], width, height, FrameFileName(outputPath, i, count));
            tiles[i].rows.reset();
            {
                std::lock_guard<std::mutex> guard(lock);
                tiles[i].written = ok;
                tiles[i].done = true;
            }
            finished.notify_all();
        }
    };
    std::vector<std::thread> encoders;
    for (int k = 0; k < 2; ++k) {
        try {
            encoders.emplace_back(encode);
        } catch (const std::system_error&) {
            break;
        }
    }
    if (encoders.empty()) encode();
    for (size_t i = 0; i < count; ++i) {
        {
            std::unique_lock<std::mutex> guard(lock);
            finished.wait(guard, [&] { return tiles[i].done; });
            written[i] = tiles[i].written;
        }
        if (!written[i]) WriteStderrLine(L"frame file not written: " + FrameFileName(outputPath, i, count));
        else if (handOver) handOver(i);
    }
    for (std::thread& encoder : encoders) encoder.join();
    return written;
}

}  // namespace snapwick
