// MP4 and QuickTime: the first track whose handler is 'vide' gives the rotation from its
// track header's matrix and the pixel aspect from the 'pasp' box of its first sample entry.
// Boxes are walked along that one path only; every other box is skipped by its size (an
// 'mdat' of gigabytes before the 'moov' costs one header read).
#include "service/frame_source/header_reader.h"
#include "service/frame_source/iso_boxes.h"

namespace {

// Exactly the right-angle turns of ISO/IEC 14496-12's matrix {a b u c d v x y w}, which
// maps a stored point (p, q) to (a p + c q + x, b p + d q + y); with y downwards,
// a = 0, b = 1, c = -1, d = 0 turns the picture clockwise by 90 degrees. The translation
// is not looked at; anything else (mirrors, scaling, other angles) is shown as stored.
int RotationOf(const int32_t m[9]) {
    constexpr int32_t kOne = 0x10000, kW = 0x40000000;  // 16.16 and 2.30 fixed point
    if (m[2] != 0 || m[5] != 0 || m[8] != kW) return 0;
    const int32_t a = m[0], b = m[1], c = m[3], d = m[4];
    if (a == 0 && b == kOne && c == -kOne && d == 0) return 90;
    if (a == -kOne && b == 0 && c == 0 && d == -kOne) return 180;
    if (a == 0 && b == -kOne && c == kOne && d == 0) return 270;
    return 0;
}

// Track header: version and flags, then times, ids and duration (20 bytes, or 32 for
// version 1), 8 reserved bytes, layer, group, volume and 2 reserved bytes, then the matrix.
int ReadTrackRotation(HeaderReader& reader, const Box& tkhd) {
    uint64_t version = 0;
    if (!reader.ReadBigEndian(tkhd.payload, 1, &version) || version > 1) return 0;
    const uint64_t matrixAt = tkhd.payload + 4 + (version == 1 ? 32 : 20) + 16;
    if (tkhd.end - tkhd.payload < matrixAt - tkhd.payload + 36) return 0;
    int32_t m[9];
    for (int i = 0; i < 9; ++i) {
        uint64_t v = 0;
        if (!reader.ReadBigEndian(matrixAt + 4 * i, 4, &v)) return 0;
        m[i] = static_cast<int32_t>(static_cast<uint32_t>(v));
    }
    return RotationOf(m);
}

struct Track {
    bool video = false;
    int rotation = 0;
    uint64_t aspectX = 1, aspectY = 1;
};

// The first sample entry of 'stsd' (version and flags, entry count, then the entries);
// in a visual sample entry the boxes follow 78 bytes of fixed fields.
bool ReadSampleDescription(HeaderReader& reader, const Box& stsd, int depth, Track* track) {
    uint64_t count = 0;
    if (stsd.end - stsd.payload < 8 || !reader.ReadBigEndian(stsd.payload + 4, 4, &count)) return false;
    if (count == 0) return true;
    Box entry;
    if (!ReadBox(reader, stsd.payload + 8, stsd.end, &entry)) return false;
    constexpr uint64_t kVisualFields = 78;
    if (entry.end - entry.payload < kVisualFields) return true;  // not a picture's entry: no aspect
    return ForEachBox(reader, entry.payload + kVisualFields, entry.end, depth + 1, [&](const Box& box) {
        if (box.type != FourCC("pasp")) return Step::Next;
        uint64_t h = 0, v = 0;
        if (box.end - box.payload < 8 || !reader.ReadBigEndian(box.payload, 4, &h) ||
            !reader.ReadBigEndian(box.payload + 4, 4, &v))
            return Step::Stop;  // shown as stored
        if (h != 0 && v != 0) {
            track->aspectX = h;
            track->aspectY = v;
        }
        return Step::Stop;
    });
}

// mdia holds hdlr and minf, minf holds stbl, stbl holds stsd.
bool ReadMedia(HeaderReader& reader, const Box& mdia, int depth, Track* track) {
    return ForEachBox(reader, mdia.payload, mdia.end, depth + 1, [&](const Box& box) {
        if (box.type == FourCC("hdlr")) {
            uint32_t handler = 0;
            if (!ReadHandlerType(reader, box, &handler)) return Step::Fail;
            track->video = handler == FourCC("vide");
        } else if (box.type == FourCC("minf")) {
            const bool ok = ForEachBox(reader, box.payload, box.end, depth + 2, [&](const Box& stbl) {
                if (stbl.type != FourCC("stbl")) return Step::Next;
                const bool found = ForEachBox(reader, stbl.payload, stbl.end, depth + 3, [&](const Box& stsd) {
                    if (stsd.type != FourCC("stsd")) return Step::Next;
                    return ReadSampleDescription(reader, stsd, depth + 3, track) ? Step::Stop : Step::Fail;
                });
                return found ? Step::Stop : Step::Fail;
            });
            if (!ok) return Step::Fail;
        }
        return Step::Next;
    });
}

bool ReadTrack(HeaderReader& reader, const Box& trak, int depth, Track* track) {
    return ForEachBox(reader, trak.payload, trak.end, depth + 1, [&](const Box& box) {
        if (box.type == FourCC("tkhd")) track->rotation = ReadTrackRotation(reader, box);
        if (box.type == FourCC("mdia") && !ReadMedia(reader, box, depth + 1, track)) return Step::Fail;
        return Step::Next;
    });
}

}  // namespace

bool ReadIsoMediaGeometry(HeaderReader& reader, RawGeometry* geometry) {
    Track track;
    if (!ReadFirstVideoTrack(reader, &track, [&](const Box& trak, Track* read) { return ReadTrack(reader, trak, 1, read); }))
        return false;
    geometry->rotation = track.rotation;
    geometry->aspectX = track.aspectX;
    geometry->aspectY = track.aspectY;
    return true;
}
