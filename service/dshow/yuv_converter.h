// YUY2 (Y0 U Y1 V macropixels) and I420 (a luma plane, then quarter-size U and V planes)
// to 32-bit blue-green-red-0 pixels, BT.601 studio range.
#pragma once
#include <cstddef>
#include <cstdint>

// Bytes in one YUY2 row of `width` pixels: whole macropixels, so an odd width
// carries one unused luma value at the end.
size_t Yuy2RowBytes(int width);

// Converts height rows of width pixels, top row first, into dst (width * height * 4
// bytes). srcStride is the distance between source rows (0 = Yuy2RowBytes(width)).
// Never reads past srcBytes: rows (or row ends) that the source does not hold come
// out black. Returns false, converting nothing, for sizes of 2^30 pixels or more
// or a non-positive width or height.
bool ConvertYuy2ToBgrx(const uint8_t* src, size_t srcBytes, size_t srcStride, int width,
                       int height, uint8_t* dst);

// One pixel, for tests and for callers that convert by hand.
void YuvPixelToBgrx(int y, int u, int v, uint8_t* bgrx);

// Bytes of a packed I420 picture: rows of `width` luma bytes, then U and V planes whose
// rows and columns are halved, rounded up. 0 for a non-positive size.
size_t I420Bytes(int width, int height);

// Converts a packed I420 picture, top row first, into dst (width * height * 4 bytes).
// False, converting nothing, when srcBytes is short of I420Bytes(width, height), and for
// the sizes ConvertYuy2ToBgrx refuses.
bool ConvertI420ToBgrx(const uint8_t* src, size_t srcBytes, int width, int height, uint8_t* dst);
