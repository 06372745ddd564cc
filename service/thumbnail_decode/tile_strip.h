// The job's strip image: one tile per frame, drawn left to right, written after each tile.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <memory>

#include "service/request_list.h"

class TileStrip {
public:
    // Stretches the frame into tile j (0-based) with halftone. The strip is made at the
    // first tile, taking the frame's size when the request's width or height is -1.
    // False when nothing was drawn: the frame gave no GDI bitmap, or the strip could
    // not be made.
    bool Draw(int j, int count, Gdiplus::Bitmap& frame, DecodeRequestItem_CL& request);
    // Writes the whole strip to the request's output path in its save_type's format.
    void Save(int j, int count, const DecodeRequestItem_CL& request);
    Gdiplus::Bitmap* Image() const { return image_.get(); }

private:
    bool Create(Gdiplus::Bitmap& frame, DecodeRequestItem_CL& request, int count);
    std::unique_ptr<Gdiplus::Bitmap> image_;
};
