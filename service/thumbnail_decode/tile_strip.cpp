#include "service/thumbnail_decode/tile_strip.h"

#include <cstring>
#include <new>

#include "common/image_encoder.h"
#include "common/scoped.h"
#include "service/logs.h"
#include "service/thumbnail_decode/strip_fit.h"

namespace {
constexpr Gdiplus::ARGB kOpaqueBlack = 0xFF000000;

// A 32-bit DIB section, top row first; null when it cannot be made.
HBITMAP CreateTopDownDib(HDC dc, int width, int height, void** pixels) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return CreateDIBSection(dc, &info, DIB_RGB_COLORS, pixels, nullptr, 0);
}

// A GDI bitmap of the frame, over opaque black. Opaque 32-bit frames (what the frame
// sources give) are copied row by row into a DIB section: the same pixels as GetHBITMAP,
// without its blending of every pixel over the background, which takes about 20 ms for a
// full-HD frame.
void MakeGdiBitmap(Gdiplus::Bitmap& frame, GdiObject<HBITMAP>& bitmap) {
    const INT width = static_cast<INT>(frame.GetWidth());
    const INT height = static_cast<INT>(frame.GetHeight());
    if (frame.GetPixelFormat() == PixelFormat32bppRGB && width > 0 && height > 0 && width <= INT32_MAX / 4) {
        void* pixels = nullptr;
        bitmap.reset(CreateTopDownDib(nullptr, width, height, &pixels));
        if (bitmap && CopyPixelsAsGdiBitmap(frame, Gdiplus::Rect(0, 0, width, height), PixelFormat32bppRGB,
                                            static_cast<BYTE*>(pixels), width * 4))
            return;
    }
    frame.GetHBITMAP(Gdiplus::Color(kOpaqueBlack), bitmap.out());
}
}  // namespace

bool TileStrip::Create(Gdiplus::Bitmap& frame, DecodeRequestItem_CL& request, int count) {
    if (request.frame_width == -1 || request.frame_height == -1) {
        request.frame_width = static_cast<int32_t>(frame.GetWidth());
        request.frame_height = static_cast<int32_t>(frame.GetHeight());
    }
    const TileFit fit = FitTiles(request.frame_width, request.frame_height, count, request.save_type);
    if (fit.scaled) {
        const wchar_t* file = request.movie_path.c_str();
        WriteLog(mainLog, L"[LOG_LINE]  strip-fit tile=%dx%d->%dx%d count=%d reason=%s possible=%d file(%s)",
                 request.frame_width, request.frame_height, fit.width, fit.height, count, fit.reason,
                 fit.possible ? 1 : 0, file);
        WriteLog(decodeListLog, L"(draw) strip-fit tile=%dx%d->%dx%d count=%d reason=%s possible=%d file(%s)",
                 request.frame_width, request.frame_height, fit.width, fit.height, count, fit.reason,
                 fit.possible ? 1 : 0, file);
        if (!fit.possible) return false;
        request.frame_width = fit.width;
        request.frame_height = fit.height;
    }
    const int64_t width = static_cast<int64_t>(request.frame_width) * count;
    if (request.frame_width <= 0 || request.frame_height <= 0 || width > INT32_MAX) return false;
    const INT w = static_cast<INT>(width);
    const INT h = request.frame_height;
    image_.reset(new Gdiplus::Bitmap(w, h, PixelFormat16bppRGB565));
    // A JPEG encoder takes 24-bit pixels (it would convert 32-bit ones first); the other
    // formats keep the 32-bit pixels a GDI bitmap of the strip has (a BMP file keeps all 4 bytes).
    const bool jpeg = request.save_type == 1;
    saveFormat_ = jpeg ? PixelFormat24bppRGB : PixelFormat32bppARGB;
    const size_t stride = jpeg ? (static_cast<size_t>(w) * 3 + 3) / 4 * 4 : static_cast<size_t>(w) * 4;
    saveStride_ = static_cast<INT>(stride);
    const size_t bytes = stride * static_cast<size_t>(h);
    savePixels_.reset(stride <= INT32_MAX ? new (std::nothrow) BYTE[bytes] : nullptr);
    if (savePixels_) {
        // Black, as the new strip is: 0x000000 read as opaque pixels.
        if (jpeg) {
            std::memset(savePixels_.get(), 0, bytes);
        } else {
            for (size_t i = 0; i < bytes; i += 4) {
                const uint32_t opaqueBlack = kOpaqueBlack;
                std::memcpy(savePixels_.get() + i, &opaqueBlack, 4);
            }
        }
        saveImage_.reset(new Gdiplus::Bitmap(w, h, saveStride_, jpeg ? PixelFormat24bppRGB : PixelFormat32bppRGB,
                                             savePixels_.get()));
    }
    if (image_->GetLastStatus() != Gdiplus::Ok || !saveImage_ || saveImage_->GetLastStatus() != Gdiplus::Ok) {
        image_.reset();
        saveImage_.reset();
        savePixels_.reset();
    }
    return image_ != nullptr;
}

bool TileStrip::Mirror(int x, int width) {
    const size_t pixelBytes = saveFormat_ == PixelFormat24bppRGB ? 3 : 4;
    return CopyPixelsAsGdiBitmap(*image_, Gdiplus::Rect(x, 0, width, static_cast<INT>(image_->GetHeight())),
                                 saveFormat_, savePixels_.get() + static_cast<size_t>(x) * pixelBytes, saveStride_);
}

bool TileStrip::Draw(int j, int count, Gdiplus::Bitmap& frame, DecodeRequestItem_CL& request) {
    if (!image_ && !Create(frame, request, count)) return false;
    const int index = j + 1;
    const wchar_t* file = request.movie_path.c_str();
    const int srcWidth = static_cast<int>(frame.GetWidth());
    const int srcHeight = static_cast<int>(frame.GetHeight());
    WriteLog(mainLog, L"[LOG_LINE]  draw-start index=%d/%d src=%dx%d dst=%dx%d file(%s)", index,
             count, srcWidth, srcHeight, request.frame_width, request.frame_height, file);
    WriteLog(decodeListLog, L"(draw) start index=%d/%d src=%dx%d dst=%dx%d file(%s)", index, count,
             srcWidth, srcHeight, request.frame_width, request.frame_height, file);

    WriteLog(decodeListLog, L"(draw) gethbitmap-src-start index=%d/%d file(%s)", index, count, file);
    GdiObject<HBITMAP> source;
    MakeGdiBitmap(frame, source);
    WriteLog(decodeListLog, L"(draw) gethbitmap-src-end index=%d/%d hbitmap=%p file(%s)", index,
             count, static_cast<void*>(source.get()), file);
    if (!source) {
        WriteLog(decodeListLog, L"(draw) gethbitmap-src-null index=%d/%d file(%s)", index, count, file);
        return false;
    }
    {
        // The halftone stretch goes into a 32-bit tile; GDI+ then puts the tile into
        // the 16-bit strip. GDI drawing straight into the strip's own DC gives wrong
        // colours on some platforms (5-5-5 pixels in a 5-6-5 bitmap).
        WriteLog(decodeListLog, L"(draw) gethdc-start index=%d/%d file(%s)", index, count, file);
        WindowDC screen(nullptr);
        MemoryDC destination(screen.get());
        void* tilePixels = nullptr;
        GdiObject<HBITMAP> tile(CreateTopDownDib(screen.get(), request.frame_width, request.frame_height, &tilePixels));
        if (!tile || !destination.get()) return false;
        SelectedObject tileSelected(destination.get(), tile.get());
        WriteLog(decodeListLog, L"(draw) gethdc-end index=%d/%d hdc=%p file(%s)", index, count,
                 static_cast<void*>(destination.get()), file);
        {
            MemoryDC sourceDC(destination.get());
            WriteLog(decodeListLog, L"(draw) createsrcdc-end index=%d/%d hdc=%p file(%s)", index,
                     count, static_cast<void*>(sourceDC.get()), file);
            SelectedObject selected(sourceDC.get(), source.get());
            WriteLog(decodeListLog, L"(draw) selectobject-end index=%d/%d old=%p file(%s)", index,
                     count, static_cast<void*>(selected.previous()), file);
            SetStretchBltMode(destination.get(), HALFTONE);
            WriteLog(decodeListLog, L"(draw) stretchblt-start index=%d/%d file(%s)", index, count, file);
            StretchBlt(destination.get(), 0, 0, request.frame_width, request.frame_height,
                       sourceDC.get(), 0, 0, srcWidth, srcHeight, SRCCOPY);
            GdiFlush();
            WriteLog(decodeListLog, L"(draw) stretchblt-end index=%d/%d file(%s)", index, count, file);
        }
        WriteLog(decodeListLog, L"(draw) releasehdc-start index=%d/%d file(%s)", index, count, file);
        // GDI+ converts the tile's rows into the strip's place as it unlocks it: the
        // pixels a copying DrawImage gives, at a fraction of its cost.
        Gdiplus::BitmapData data = {};
        data.Width = static_cast<UINT>(request.frame_width);
        data.Height = static_cast<UINT>(request.frame_height);
        data.Stride = request.frame_width * 4;
        data.PixelFormat = PixelFormat32bppRGB;
        data.Scan0 = tilePixels;
        Gdiplus::Rect place(request.frame_width * j, 0, request.frame_width, request.frame_height);
        if (image_->LockBits(&place, Gdiplus::ImageLockModeWrite | Gdiplus::ImageLockModeUserInputBuf,
                             PixelFormat32bppRGB, &data) != Gdiplus::Ok ||
            image_->UnlockBits(&data) != Gdiplus::Ok)
            return false;
    }
    WriteLog(decodeListLog, L"(draw) releasehdc-end index=%d/%d file(%s)", index, count, file);
    Mirror(request.frame_width * j, request.frame_width);
    source.reset();
    WriteLog(decodeListLog, L"(draw) delete-srcbitmap-end index=%d/%d file(%s)", index, count, file);
    WriteLog(mainLog, L"[LOG_LINE]  draw-end index=%d/%d file(%s)", index, count, file);
    WriteLog(decodeListLog, L"(draw) end index=%d/%d file(%s)", index, count, file);
    return true;
}

void TileStrip::Save(int j, int count, const DecodeRequestItem_CL& request, int first) {
    const int index = j + 1;
    const wchar_t* file = request.movie_path.c_str();
    const wchar_t* out = request.output_path.c_str();
    WriteLog(sequenceLog, L"ThumbnailDecode_010");
    if (first >= 0 && first < j)
        WriteLog(mainLog, L"[LOG_LINE]  save-tiles index=%d-%d/%d file(%s)", first + 1, index, count, file);
    WriteLog(mainLog, L"[LOG_LINE]  save-start index=%d/%d type=%d out(%s) file(%s)", index, count,
             request.save_type, out, file);
    WriteLog(decodeListLog, L"(save) start index=%d/%d type=%d out(%s) file(%s)", index, count,
             request.save_type, out, file);
    // The save copy stands where the GDI bitmap of the strip used to: the same pixels,
    // without converting and copying the whole strip twice per tile.
    Gdiplus::Bitmap* strip = saveImage_.get();
    WriteLog(mainLog, L"[LOG_LINE]  gethbitmap-end index=%d/%d hbitmap=%p file(%s)", index, count,
             static_cast<void*>(strip), file);
    WriteLog(decodeListLog, L"(save) gethbitmap-end index=%d/%d hbitmap=%p file(%s)", index, count,
             static_cast<void*>(strip), file);
    const wchar_t* mime = MimeTypeForSaveType(request.save_type);
    if (mime) {
        const Gdiplus::Status status = strip ? SaveImageAs(request.output_path, *strip, mime) : Gdiplus::InvalidParameter;
        if (status != Gdiplus::Ok) {
            // The job goes on: later tiles may still be written, and every tile is answered.
            const wchar_t* reason = !strip ? L"no strip image" : SaveStatusText(status);
            WriteLog(mainLog, L"[LOG_LINE]  save-failed index=%d/%d status=%d reason=%s out(%s) file(%s)", index,
                     count, static_cast<int>(status), reason, out, file);
            WriteLog(errorListLog, L"(save failed) index=%d/%d status=%d reason=%s out(%s) file(%s)", index, count,
                     static_cast<int>(status), reason, out, file);
        }
    }
    WriteLog(mainLog, L"[LOG_LINE]  save-end index=%d/%d out(%s) file(%s)", index, count, out, file);
    WriteLog(decodeListLog, L"(save) end index=%d/%d out(%s) file(%s)", index, count, out, file);
}
