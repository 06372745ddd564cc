// The boxes of MP4 and QuickTime files (ISO/IEC 14496-12), read through a HeaderReader:
// a box is a 32-bit size (or 1 and a 64-bit size after the type, or 0 for "to the end"),
// a four-character type, then its payload.
#pragma once
#include <cstdint>

#include "service/frame_source/header_reader.h"

constexpr uint32_t FourCC(const char (&code)[5]) {
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
           (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}

struct Box {
    uint32_t type = 0;
    uint64_t payload = 0;  // first byte after the header
    uint64_t end = 0;      // one past the last byte
};

// The box that starts at `at` and must end by `limit` (its parent's end or the file's).
bool ReadBox(HeaderReader& reader, uint64_t at, uint64_t limit, Box* box);

enum class Step { Next, Stop, Fail };

// Calls visit(box) for each box in [begin, end) until it says Stop or Fail. Fewer than 8
// bytes left over at the end cannot be a box and are ignored (old QuickTime writers end
// some lists with four zero bytes). False when a box is odd or visit failed.
template <typename Visit>
bool ForEachBox(HeaderReader& reader, uint64_t begin, uint64_t end, int depth, Visit visit) {
    if (depth > kMaxHeaderDepth || begin > end) return false;
    for (uint64_t at = begin; end - at >= 8;) {
        Box box;
        if (!ReadBox(reader, at, end, &box)) return false;
        const Step step = visit(box);
        if (step == Step::Fail) return false;
        if (step == Step::Stop) return true;
        at = box.end;  // at least 8 bytes further: no box is read twice
    }
    return true;
}

// A media box's handler type ('vide' for a video track): after the version and flags and
// pre_defined. False when the box is too short.
bool ReadHandlerType(HeaderReader& reader, const Box& hdlr, uint32_t* type);

// The first track of the file's 'moov' box that readTrack(trak, &track) marks as video
// (track.video), in *found. False when the boxes on the way are odd, a track cannot be
// read, or there is no video track.
template <typename Track, typename ReadTrack>
bool ReadFirstVideoTrack(HeaderReader& reader, Track* found, ReadTrack readTrack) {
    bool have = false;
    const bool ok = ForEachBox(reader, 0, reader.Size(), 0, [&](const Box& moov) {
        if (moov.type != FourCC("moov")) return Step::Next;
        const bool read = ForEachBox(reader, moov.payload, moov.end, 1, [&](const Box& trak) {
            if (trak.type != FourCC("trak")) return Step::Next;
            Track track;
            if (!readTrack(trak, &track)) return Step::Fail;
            if (!track.video) return Step::Next;
            *found = track;
            have = true;
            return Step::Stop;
        });
        return read ? Step::Stop : Step::Fail;
    });
    return ok && have;
}
