#include "testing/support/pixels.h"

#include <shlwapi.h>
#include <wrl/client.h>
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "testing/support/test_support.h"

namespace testing_support {

Rgb ImagePixels::At(int x, int y) const { return FromHex(argb[static_cast<size_t>(y) * width + x]); }

Rgb ImagePixels::Average(int x, int y, int w, int h) const {
    long r = 0, g = 0, b = 0, n = 0;
    for (int yy = y + h / 4; yy < y + h - h / 4; ++yy)
        for (int xx = x + w / 4; xx < x + w - w / 4; ++xx) {
            const Rgb c = At(xx, yy);
            r += c.r, g += c.g, b += c.b, ++n;
        }
    return n == 0 ? Rgb{} : Rgb{static_cast<int>(r / n), static_cast<int>(g / n), static_cast<int>(b / n)};
}

bool LoadImagePixels(const std::wstring& path, ImagePixels& image) {
    const std::string bytes = ReadFileBytes(path);  // none: no picture in it
    Microsoft::WRL::ComPtr<IStream> stream =
        AdoptComRef(SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size())));
    if (!stream) return false;
    std::unique_ptr<Gdiplus::Bitmap> bitmap(Gdiplus::Bitmap::FromStream(stream.Get()));
    return bitmap && bitmap->GetLastStatus() == Gdiplus::Ok && BitmapPixels(*bitmap, image);
}

bool BitmapPixels(Gdiplus::Bitmap& bitmap, ImagePixels& image) {
    image.width = static_cast<int>(bitmap.GetWidth());
    image.height = static_cast<int>(bitmap.GetHeight());
    image.argb.assign(static_cast<size_t>(image.width) * image.height, 0);
    Gdiplus::Rect rect(0, 0, image.width, image.height);
    Gdiplus::BitmapData data = {static_cast<UINT>(image.width), static_cast<UINT>(image.height), image.width * 4,
                                PixelFormat32bppARGB, image.argb.data(), 0};
    return bitmap.LockBits(&rect, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf,
                           PixelFormat32bppARGB, &data) == Gdiplus::Ok &&
           bitmap.UnlockBits(&data) == Gdiplus::Ok;
}

bool Near(const Rgb& a, const Rgb& b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

Rgb FromHex(uint32_t rgb) {
    return {static_cast<int>((rgb >> 16) & 255), static_cast<int>((rgb >> 8) & 255), static_cast<int>(rgb & 255)};
}

Rgb SecondsMovieColour(int64_t position100ns) {
    return FromHex(kSecondColours[std::min<int64_t>(std::max<int64_t>(position100ns / kSecond, 0), 11)]);
}

}  // namespace testing_support
