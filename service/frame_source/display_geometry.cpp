#include "service/frame_source/display_geometry.h"

#include <windows.h>
#include <algorithm>
#include <climits>
#include <cstring>

#include "service/frame_source/byte_source.h"
#include "service/frame_source/header_reader.h"

namespace {

uint64_t Gcd(uint64_t a, uint64_t b) {
    while (b != 0) {
        const uint64_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

// Within 1/8..8: beyond that no real movie goes, and a wild value must not blow a tile up.
bool AspectInRange(uint64_t x, uint64_t y) {
    return x > 0 && y > 0 && x <= (UINT64_MAX / 8) && y <= (UINT64_MAX / 8) && x <= 8 * y && y <= 8 * x;
}

bool IsRightAngle(int rotation) { return rotation == 0 || rotation == 90 || rotation == 180 || rotation == 270; }

}  // namespace

DisplayGeometry CheckedGeometry(int rotation, uint64_t aspectX, uint64_t aspectY) {
    DisplayGeometry geometry;
    if (IsRightAngle(rotation)) geometry.rotation = rotation;
    if (AspectInRange(aspectX, aspectY)) {
        const uint64_t d = Gcd(aspectX, aspectY);
        const uint64_t x = aspectX / d, y = aspectY / d;
        if (x <= UINT32_MAX && y <= UINT32_MAX) {
            geometry.pixelAspectX = static_cast<uint32_t>(x);
            geometry.pixelAspectY = static_cast<uint32_t>(y);
        }
    }
    return geometry;
}

DisplayGeometry ReadDisplayGeometry(ByteSource& source) {
    try {
        HeaderReader reader(source);
        uint8_t first[8];
        if (!reader.Read(0, first, sizeof first)) return {};
        RawGeometry raw;
        bool read = false;
        if (first[0] == 0x1A && first[1] == 0x45 && first[2] == 0xDF && first[3] == 0xA3) {
            read = ReadMatroskaGeometry(reader, &raw);
        } else {
            // MP4 starts with ftyp; QuickTime movies may start with any of these.
            static const char* const kFirstBoxes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot"};
            for (const char* type : kFirstBoxes)
                if (std::memcmp(first + 4, type, 4) == 0) read = ReadIsoMediaGeometry(reader, &raw);
        }
        return read ? CheckedGeometry(raw.rotation, raw.aspectX, raw.aspectY) : DisplayGeometry{};
    } catch (...) {  // a failed allocation, say: shown as stored
        return {};
    }
}

DisplayGeometry ReadDisplayGeometry(const std::wstring& moviePath) {
    try {
        FileByteSource file(moviePath);
        return ReadDisplayGeometry(file);
    } catch (...) {
        return {};
    }
}

void DisplayedSize(const DisplayGeometry& g, int storedWidth, int storedHeight, int* width, int* height) {
    int w = storedWidth, h = storedHeight;
    const uint64_t ax = g.pixelAspectX, ay = g.pixelAspectY;
    if (w > 0 && ax != ay && AspectInRange(ax, ay)) {
        // Nearest even width: 2 * round(w * ax / (2 * ay)).
        const uint64_t even = (static_cast<uint64_t>(w) * ax + ay) / (2 * ay) * 2;
        const uint64_t smallest = w == 1 ? 1 : 2;
        w = static_cast<int>(std::min<uint64_t>(std::max(even, smallest), INT_MAX - 1));
    }
    if (g.rotation == 90 || g.rotation == 270) std::swap(w, h);
    *width = w;
    *height = h;
}
