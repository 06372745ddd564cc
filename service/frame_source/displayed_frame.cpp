#include "service/frame_source/displayed_frame.h"

#include <cstdint>

DisplayGeometry CombineGeometry(const DisplayGeometry& reported, const DisplayGeometry& headers) {
    DisplayGeometry g = headers;
    if (reported.rotation != 0) g.rotation = reported.rotation;
    if (reported.pixelAspectX != reported.pixelAspectY) {
        g.pixelAspectX = reported.pixelAspectX;
        g.pixelAspectY = reported.pixelAspectY;
    }
    return g;
}

DisplayGeometry PixelAspectFromPictureAspect(unsigned pictureX, unsigned pictureY, int width, int height) {
    if (width <= 0 || height <= 0) return DisplayGeometry();
    // pixel aspect = (pictureX / pictureY) / (width / height)
    return CheckedGeometry(0, uint64_t{pictureX} * static_cast<uint64_t>(height),
                           uint64_t{pictureY} * static_cast<uint64_t>(width));
}

std::unique_ptr<Gdiplus::Bitmap> ShowAsDisplayed(std::unique_ptr<Gdiplus::Bitmap> frame, const DisplayGeometry& g) {
    if (!frame) return frame;
    const int storedWidth = static_cast<int>(frame->GetWidth());
    const int storedHeight = static_cast<int>(frame->GetHeight());
    // The size before the turn: DisplayedSize swaps the sides for 90 and 270.
    int width = 0, height = 0;
    DisplayedSize(DisplayGeometry{0, g.pixelAspectX, g.pixelAspectY}, storedWidth, storedHeight, &width, &height);
    if (width != storedWidth || height != storedHeight) {
        auto stretched = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppRGB);
        if (stretched->GetLastStatus() != Gdiplus::Ok) return frame;
        {
            Gdiplus::Graphics graphics(stretched.get());
            if (graphics.GetLastStatus() != Gdiplus::Ok) return frame;
            graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBilinear);
            graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
            Gdiplus::ImageAttributes edges;  // the border pixels repeat instead of fading to nothing
            edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
            if (graphics.DrawImage(frame.get(), Gdiplus::Rect(0, 0, width, height), 0, 0, storedWidth, storedHeight,
                                   Gdiplus::UnitPixel, &edges) != Gdiplus::Ok)
                return frame;
        }
        frame = std::move(stretched);
    }
    Gdiplus::RotateFlipType turn = Gdiplus::RotateNoneFlipNone;
    switch (g.rotation) {
    case 90: turn = Gdiplus::Rotate90FlipNone; break;  // clockwise, as GDI+ counts
    case 180: turn = Gdiplus::Rotate180FlipNone; break;
    case 270: turn = Gdiplus::Rotate270FlipNone; break;
    default: return frame;
    }
    frame->RotateFlip(turn);
    return frame;
}
