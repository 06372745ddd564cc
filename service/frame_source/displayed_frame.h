// Turning and stretching a decoded frame into the picture a player shows.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <memory>

#include "service/frame_source/display_geometry.h"

// What the decoder itself reports wins where it reports anything (a turn, or pixels
// that are not square); the container's headers tell the rest.
DisplayGeometry CombineGeometry(const DisplayGeometry& reported, const DisplayGeometry& headers);

// Pixel aspect from a picture aspect ratio (VIDEOINFOHEADER2's) of a w x h picture;
// 1:1 when any term is 0 or the result is out of range.
DisplayGeometry PixelAspectFromPictureAspect(unsigned pictureX, unsigned pictureY, int width, int height);

// The frame as shown: stretched to its displayed width, then turned clockwise. The
// frame as it is when nothing is to be done or the new picture cannot be made (a frame
// as stored is better than none).
std::unique_ptr<Gdiplus::Bitmap> ShowAsDisplayed(std::unique_ptr<Gdiplus::Bitmap> frame, const DisplayGeometry& g);
