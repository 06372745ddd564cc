// One frame of a movie through the Media Foundation source reader: the frame
// source's second route, used when DirectShow fails. Each call stands alone.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <cstdint>
#include <string>
#include <vector>

#include "service/frame_source/display_geometry.h"

// Time stamps around one Media Foundation frame, in 100 ns units.
struct MfFrameTimes {
    bool readFirst = false;  // asked: the movie's first sample too, read before the seek
    bool haveFirst = false;  // that sample's time stamp was read
    int64_t first = 0;
    int64_t sample = 0;      // the time stamp of the sample the frame came from
};

// Caller owns the result, the picture as stored; null on failure. mfFrame >= 1, in
// 100 ns units. `reported`, when given, receives the turn and pixel aspect that the
// movie's video type reports (none reported: 0 and 1:1).
Gdiplus::Bitmap* DecodeFrameWithMediaFoundation(const std::wstring& path, HANDLE cancelEvent, int64_t mfFrame,
                                                MfFrameTimes* times = nullptr, DisplayGeometry* reported = nullptr);

// The size a decoded picture is given: its longer side limited to 1280 pixels, the
// other side in proportion, truncated (at least 1). Unchanged when already within.
struct ScaledFrameSize {
    int width;
    int height;
};
ScaledFrameSize MediaFoundationFrameSize(int width, int height);

// How the reader lays out a picture's pixels: blue-green-red-x (RGB32/ARGB32) or YUY2.
enum class MfPixelLayout { Unknown, Bgrx, Yuy2 };

// Bytes one row of `width` pixels takes in that layout; 0 when unknown or too wide.
size_t MfPictureRowBytes(MfPixelLayout layout, uint32_t width);

// True when all `height` rows of `rowBytes`, the first at `top` and each `pitch` bytes
// after the one above it (negative: bottom-up in memory), lie inside the buffer.
bool MfPictureFits(const uint8_t* bufferStart, size_t bufferLength, const uint8_t* top, long pitch,
                   size_t rowBytes, uint32_t height);

// The picture as packed top-down blue-green-red-x rows (width * 4 bytes each); false,
// reading nothing, when it does not fit in the buffer or has 2^30 pixels or more.
bool CopyMfPictureToBgrx(const uint8_t* bufferStart, size_t bufferLength, const uint8_t* top, long pitch,
                         MfPixelLayout layout, uint32_t width, uint32_t height, std::vector<uint8_t>& out);
