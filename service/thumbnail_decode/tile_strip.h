// The job's strip image: one tile per frame, drawn left to right, written after each tile.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <cstdint>
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
    // `first`, when given, is the first of the tiles up to j that this save brings.
    void Save(int j, int count, const DecodeRequestItem_CL& request, int first = -1);
    Gdiplus::Bitmap* Image() const { return image_.get(); }

private:
    bool Create(Gdiplus::Bitmap& frame, DecodeRequestItem_CL& request, int count);
    // Brings columns x .. x + width - 1 of the save copy up to date with the strip.
    bool Mirror(int x, int width);

    std::unique_ptr<Gdiplus::Bitmap> image_;  // 16-bit 5-6-5: what the tiles are drawn into
    // The strip as the encoders get it: its pixels as a GDI bitmap made from it has
    // them, kept up to date tile by tile, so that a save neither converts nor copies
    // the whole strip.
    std::unique_ptr<BYTE[]> savePixels_;
    Gdiplus::PixelFormat saveFormat_ = PixelFormat32bppARGB;  // what LockBits writes there
    INT saveStride_ = 0;
    std::unique_ptr<Gdiplus::Bitmap> saveImage_;  // over savePixels_
};
