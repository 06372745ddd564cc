// Matroska and WebM: the first TrackEntry whose TrackType is video gives the pixel aspect
// from its DisplayWidth and DisplayHeight against its PixelWidth and PixelHeight (less
// the PixelCrop margins, which the display size applies to). Elements are walked along the
// path EBML header, Segment, Tracks, TrackEntry, Video only; everything else, Clusters
// included, is skipped by its size.
#include "service/frame_source/header_reader.h"

namespace {

constexpr uint32_t kEbmlHeader = 0x1A45DFA3, kSegment = 0x18538067, kTracks = 0x1654AE6B, kTrackEntry = 0xAE,
                   kTrackType = 0x83, kVideo = 0xE0, kPixelWidth = 0xB0, kPixelHeight = 0xBA,
                   kDisplayWidth = 0x54B0, kDisplayHeight = 0x54BA, kDisplayUnit = 0x54B2,
                   kPixelCropBottom = 0x54AA, kPixelCropTop = 0x54BB, kPixelCropLeft = 0x54CC,
                   kPixelCropRight = 0x54DD;
constexpr uint64_t kVideoTrack = 1;

struct Element {
    uint32_t id = 0;
    uint64_t data = 0;  // first byte after the header
    uint64_t end = 0;   // one past the last byte
    bool unknownSize = false;
};

// A variable-length number at `at`: its length is one more than the leading zero bits of
// the first byte. Ids keep their length marker and have at most 4 bytes; sizes drop it and
// have at most 8, and a size of all ones means "unknown".
bool ReadVint(HeaderReader& reader, uint64_t at, uint64_t limit, bool isId, uint64_t* value, uint64_t* length,
              bool* allOnes) {
    uint64_t first = 0;
    if (at >= limit || !reader.ReadBigEndian(at, 1, &first) || first == 0) return false;
    uint64_t n = 1;
    while (!(first & (0x80u >> (n - 1)))) ++n;
    if ((isId && n > 4) || limit - at < n || !reader.ReadBigEndian(at, static_cast<size_t>(n), value)) return false;
    const uint64_t bits = 7 * n;
    const uint64_t mask = (uint64_t(1) << bits) - 1;  // bits <= 56
    if (!isId) *value &= mask;
    *allOnes = (*value & mask) == mask;
    *length = n;
    return true;
}

// The element that starts at `at` and must end by `limit`. With `clampToLimit`, an element
// that runs past the limit ends there (a Segment of a file cut short); an unknown size
// always runs to the limit.
bool ReadElement(HeaderReader& reader, uint64_t at, uint64_t limit, bool clampToLimit, Element* element) {
    uint64_t id = 0, idLength = 0, size = 0, sizeLength = 0;
    bool ignored = false, unknown = false;
    if (!reader.Visit() || !ReadVint(reader, at, limit, true, &id, &idLength, &ignored) ||
        !ReadVint(reader, at + idLength, limit, false, &size, &sizeLength, &unknown))
        return false;
    element->id = static_cast<uint32_t>(id);
    element->data = at + idLength + sizeLength;
    element->unknownSize = unknown;
    if (unknown || (clampToLimit && size > limit - element->data)) {
        element->end = limit;
    } else {
        if (size > limit - element->data) return false;
        element->end = element->data + size;
    }
    return true;
}

enum class Step { Next, Stop, Fail };

// Calls visit(element) for each element in [begin, end) until it says Stop or Fail. Only
// the caller knows whether an element of unknown size may run to the end; elsewhere it
// is odd, as the end of such an element cannot be told without reading its content.
template <typename Visit>
bool ForEachElement(HeaderReader& reader, uint64_t begin, uint64_t end, int depth, Visit visit) {
    if (depth > kMaxHeaderDepth || begin > end) return false;
    for (uint64_t at = begin; at < end;) {
        Element element;
        if (!ReadElement(reader, at, end, false, &element)) return false;
        const Step step = visit(element);
        if (step == Step::Fail) return false;
        if (step == Step::Stop) return true;
        if (element.unknownSize) return false;
        at = element.end;  // the header alone moves at least 2 bytes on
    }
    return true;
}

bool ReadUnsigned(HeaderReader& reader, const Element& element, uint64_t* value) {
    const uint64_t size = element.end - element.data;
    if (element.unknownSize || size > 8) return false;
    *value = 0;
    return size == 0 || reader.ReadBigEndian(element.data, static_cast<size_t>(size), value);
}

struct VideoFields {
    uint64_t pixelWidth = 0, pixelHeight = 0, displayWidth = 0, displayHeight = 0, unit = 0;
    uint64_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    bool hasDisplayWidth = false, hasDisplayHeight = false, odd = false;
};

// Pixel aspect = display size against the cropped stored size, for a size in pixels (0)
// or a display aspect ratio (3); centimetres, inches and unknown units are not used.
bool PixelAspect(const VideoFields& v, uint64_t* x, uint64_t* y) {
    if (v.odd || (v.unit != 0 && v.unit != 3)) return false;
    if (v.cropLeft >= v.pixelWidth || v.cropRight >= v.pixelWidth - v.cropLeft || v.cropTop >= v.pixelHeight ||
        v.cropBottom >= v.pixelHeight - v.cropTop)
        return false;
    const uint64_t width = v.pixelWidth - v.cropLeft - v.cropRight;
    const uint64_t height = v.pixelHeight - v.cropTop - v.cropBottom;
    const uint64_t displayWidth = v.hasDisplayWidth ? v.displayWidth : width;
    const uint64_t displayHeight = v.hasDisplayHeight ? v.displayHeight : height;
    constexpr uint64_t kLargest = UINT32_MAX;  // keeps the products below 2^64
    if (displayWidth == 0 || displayHeight == 0 || displayWidth > kLargest || displayHeight > kLargest ||
        width > kLargest || height > kLargest)
        return false;
    *x = displayWidth * height;
    *y = displayHeight * width;
    return true;
}

bool ReadVideo(HeaderReader& reader, const Element& video, int depth, VideoFields* v) {
    if (video.unknownSize) return false;
    return ForEachElement(reader, video.data, video.end, depth + 1, [&](const Element& e) {
        uint64_t* field = nullptr;
        switch (e.id) {
            case kPixelWidth: field = &v->pixelWidth; break;
            case kPixelHeight: field = &v->pixelHeight; break;
            case kDisplayWidth: field = &v->displayWidth; v->hasDisplayWidth = true; break;
            case kDisplayHeight: field = &v->displayHeight; v->hasDisplayHeight = true; break;
            case kDisplayUnit: field = &v->unit; break;
            case kPixelCropLeft: field = &v->cropLeft; break;
            case kPixelCropRight: field = &v->cropRight; break;
            case kPixelCropTop: field = &v->cropTop; break;
            case kPixelCropBottom: field = &v->cropBottom; break;
            default: return Step::Next;
        }
        if (!ReadUnsigned(reader, e, field)) v->odd = true;  // this track's aspect is then unknown
        return Step::Next;
    });
}

// One TrackEntry; `video` tells whether it is a video track.
bool ReadTrackEntry(HeaderReader& reader, const Element& entry, int depth, bool* video, RawGeometry* geometry) {
    if (entry.unknownSize) return false;
    uint64_t type = 0;
    VideoFields fields;
    bool hasVideo = false;
    const bool ok = ForEachElement(reader, entry.data, entry.end, depth + 1, [&](const Element& e) {
        if (e.id == kTrackType && !ReadUnsigned(reader, e, &type)) return Step::Fail;
        if (e.id == kVideo) {
            if (hasVideo || !ReadVideo(reader, e, depth + 1, &fields)) return Step::Fail;
            hasVideo = true;
        }
        return Step::Next;
    });
    if (!ok) return false;
    *video = type == kVideoTrack;
    if (*video && hasVideo && !PixelAspect(fields, &geometry->aspectX, &geometry->aspectY))
        geometry->aspectX = geometry->aspectY = 1;
    return true;
}

}  // namespace

bool ReadMatroskaGeometry(HeaderReader& reader, RawGeometry* geometry) {
    Element header;
    if (!ReadElement(reader, 0, reader.Size(), false, &header) || header.id != kEbmlHeader || header.unknownSize)
        return false;
    bool found = false;
    // Top level after the EBML header: the Segment, whose size may be unknown or, in a
    // file cut short, larger than what is left.
    for (uint64_t at = header.end; at < reader.Size() && !found;) {
        Element segment;
        if (!ReadElement(reader, at, reader.Size(), true, &segment)) return false;
        if (segment.id == kSegment) {
            const bool read = ForEachElement(reader, segment.data, segment.end, 1, [&](const Element& tracks) {
                if (tracks.id != kTracks) return Step::Next;
                if (tracks.unknownSize) return Step::Fail;
                const bool entries = ForEachElement(reader, tracks.data, tracks.end, 2, [&](const Element& entry) {
                    if (entry.id != kTrackEntry) return Step::Next;
                    bool video = false;
                    if (!ReadTrackEntry(reader, entry, 2, &video, geometry)) return Step::Fail;
                    found = video;
                    return video ? Step::Stop : Step::Next;
                });
                return entries ? Step::Stop : Step::Fail;
            });
            if (!read) return false;
            break;
        }
        if (segment.unknownSize) return false;
        at = segment.end;
    }
    return found;
}
