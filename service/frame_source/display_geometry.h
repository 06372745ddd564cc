// How a movie's stored pictures are shown by players: the turn of its display matrix and
// the shape of its pixels, read from the container's headers (the decoders under Wine
// report neither). A movie whose headers say nothing usable is shown as stored.
#pragma once
#include <cstdint>
#include <string>

#include "service/frame_source/byte_source.h"

// How a movie's stored pictures are shown by players.
struct DisplayGeometry {
    int rotation = 0;            // clockwise degrees to turn the stored picture for display: 0, 90, 180 or 270
    uint32_t pixelAspectX = 1;   // width : height of one stored pixel (1:1 when unknown)
    uint32_t pixelAspectY = 1;
};

// Reads MP4/MOV (first video track: tkhd matrix -> rotation; pasp in its visual sample entry -> pixel aspect)
// and Matroska/WebM (first video TrackEntry: DisplayWidth/DisplayHeight against PixelWidth/PixelHeight, when
// DisplayUnit is pixels (0), absent, or display aspect ratio (3); rotation 0). Anything odd, unknown or
// inconsistent gives the default (shown as stored) for that property. Never throws.
DisplayGeometry ReadDisplayGeometry(ByteSource& source);
// Opens the file read-only, sharing read, write and delete with others.
DisplayGeometry ReadDisplayGeometry(const std::wstring& moviePath);

// A turn and pixel aspect as found: a turn other than 0, 90, 180 or 270 counts as 0,
// an aspect outside 1/8..8 (or with a zero term) as 1:1; the aspect reduced.
DisplayGeometry CheckedGeometry(int rotation, uint64_t aspectX, uint64_t aspectY);

// The picture size a player shows for a stored w x h frame: width = w * aspect rounded to an even number
// (720x576 at 64:45 -> 1024x576; at 1:1 the width stays as stored), height unchanged, then width and height
// swapped for 90 and 270. Never below 2 px a side (1 where the stored side is 1); an aspect outside 1/8..8
// counts as 1:1.
void DisplayedSize(const DisplayGeometry& g, int storedWidth, int storedHeight, int* width, int* height);
