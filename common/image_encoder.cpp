#include "common/image_encoder.h"

#include <gdiplus.h>
#include <cwchar>
#include <memory>
#include <new>

bool FindImageEncoder(const wchar_t* mimeType, CLSID* clsid) {
    UINT count = 0, bytes = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return false;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[bytes]);
    if (!buffer) return false;
    auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.get());
    if (Gdiplus::GetImageEncoders(count, bytes, encoders) != Gdiplus::Ok) return false;
    for (UINT i = 0; i < count; ++i) {
        if (encoders[i].MimeType && wcscmp(encoders[i].MimeType, mimeType) == 0) {
            *clsid = encoders[i].Clsid;
            return true;
        }
    }
    return false;
}

bool SaveBitmapAs(const std::wstring& path, HBITMAP bitmap, const wchar_t* mimeType) {
    Gdiplus::Bitmap image(bitmap, static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE)));
    return SaveImageAs(path, image, mimeType) == Gdiplus::Ok;
}

Gdiplus::Status SaveImageAs(const std::wstring& path, Gdiplus::Image& image, const wchar_t* mimeType) {
    CLSID clsid;
    if (!FindImageEncoder(mimeType, &clsid)) return Gdiplus::UnknownImageFormat;
    return image.Save(path.c_str(), &clsid, nullptr);
}

const wchar_t* SaveStatusText(Gdiplus::Status status) {
    switch (status) {
    case Gdiplus::Ok: return L"saved";
    case Gdiplus::UnknownImageFormat: return L"no encoder for the format";
    case Gdiplus::OutOfMemory: return L"out of memory";
    case Gdiplus::Win32Error: return L"the file cannot be written";
    case Gdiplus::FileNotFound: return L"the folder does not exist";
    case Gdiplus::AccessDenied: return L"access denied";
    case Gdiplus::InvalidParameter: return L"the image is too large or invalid for the format";
    default: return L"the encoder failed";
    }
}

bool CopyPixelsAsGdiBitmap(Gdiplus::Bitmap& bitmap, const Gdiplus::Rect& area, Gdiplus::PixelFormat format,
                           BYTE* scan0, INT stride) {
    // GDI+ converts straight into the caller's rows, as it does into a GDI bitmap; the
    // 32-bit pixels opaque (a BMP file keeps the fourth byte).
    Gdiplus::BitmapData data = {};
    data.Width = static_cast<UINT>(area.Width);
    data.Height = static_cast<UINT>(area.Height);
    data.Stride = stride;
    data.PixelFormat = format;
    data.Scan0 = scan0;
    Gdiplus::Rect rect = area;
    if (bitmap.LockBits(&rect, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf, format, &data) !=
        Gdiplus::Ok)
        return false;
    return bitmap.UnlockBits(&data) == Gdiplus::Ok;
}

const wchar_t* MimeTypeForSaveType(int saveType) {
    switch (saveType) {
    case 0: return L"image/bmp";
    case 1: return L"image/jpeg";
    case 2: return L"image/png";
    default: return nullptr;
    }
}
