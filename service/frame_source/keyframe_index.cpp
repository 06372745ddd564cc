#include "service/frame_source/keyframe_index.h"

#include <algorithm>
#include <cstdint>

#include "service/frame_source/header_reader.h"
#include "service/frame_source/iso_boxes.h"

namespace {

// The tables of the first video track: its time scale, decode time deltas and sync samples.
struct VideoTables {
    bool video = false;
    uint64_t timescale = 0;
    Box stts, stss;
    bool haveStts = false, haveStss = false;
};

// A full box's entries: version and flags, a 32-bit count, then `count` entries of
// `entryBytes`, read in one piece. False when the box does not hold them all.
bool ReadEntries(HeaderReader& reader, const Box& box, size_t entryBytes, std::vector<uint8_t>* bytes,
                 uint64_t* count) {
    if (box.end - box.payload < 8 || !reader.ReadBigEndian(box.payload + 4, 4, count)) return false;
    if (*count > (box.end - box.payload - 8) / entryBytes) return false;
    bytes->resize(static_cast<size_t>(*count) * entryBytes);
    return bytes->empty() || reader.Read(box.payload + 8, bytes->data(), bytes->size());
}

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Media header: version and flags, then creation and modification times (4 bytes each,
// or 8 for version 1), then the time scale.
bool ReadTimescale(HeaderReader& reader, const Box& mdhd, uint64_t* timescale) {
    uint64_t version = 0;
    if (!reader.ReadBigEndian(mdhd.payload, 1, &version) || version > 1) return false;
    const uint64_t at = mdhd.payload + (version == 1 ? 20 : 12);
    return mdhd.end >= at + 4 && reader.ReadBigEndian(at, 4, timescale);
}

bool ReadMediaTables(HeaderReader& reader, const Box& mdia, VideoTables* tables) {
    return ForEachBox(reader, mdia.payload, mdia.end, 3, [&](const Box& box) {
        if (box.type == FourCC("hdlr")) {
            uint32_t handler = 0;
            if (!ReadHandlerType(reader, box, &handler)) return Step::Fail;
            tables->video = handler == FourCC("vide");
        } else if (box.type == FourCC("mdhd")) {
            if (!ReadTimescale(reader, box, &tables->timescale)) return Step::Fail;
        } else if (box.type == FourCC("minf")) {
            const bool ok = ForEachBox(reader, box.payload, box.end, 4, [&](const Box& stbl) {
                if (stbl.type != FourCC("stbl")) return Step::Next;
                const bool read = ForEachBox(reader, stbl.payload, stbl.end, 5, [&](const Box& table) {
                    if (table.type == FourCC("stts")) {
                        tables->stts = table;
                        tables->haveStts = true;
                    } else if (table.type == FourCC("stss")) {
                        tables->stss = table;
                        tables->haveStss = true;
                    }
                    return Step::Next;
                });
                return read ? Step::Stop : Step::Fail;
            });
            if (!ok) return Step::Fail;
        }
        return Step::Next;
    });
}

// Decode times of the sync samples, from the time deltas of runs of samples.
KeyframeIndex KeyframeTimes(HeaderReader& reader, const VideoTables& tables) {
    std::vector<uint8_t> deltas, syncs;
    uint64_t runs = 0, keyframes = 0;
    if (tables.timescale == 0 || !tables.haveStts || !tables.haveStss ||
        !ReadEntries(reader, tables.stts, 8, &deltas, &runs) || !ReadEntries(reader, tables.stss, 4, &syncs, &keyframes) ||
        keyframes == 0)
        return {};
    std::vector<int64_t> times;
    times.reserve(static_cast<size_t>(keyframes));
    uint64_t run = 0, runStart = 1, runStartTime = 0;  // the run that holds the sample, its first sample and time
    for (uint64_t k = 0; k < keyframes; ++k) {
        const uint64_t sample = BigEndian32(&syncs[static_cast<size_t>(k) * 4]);
        if (sample == 0 || (k > 0 && sample <= BigEndian32(&syncs[static_cast<size_t>(k - 1) * 4]))) return {};
        uint64_t delta = 0;
        for (;;) {
            if (run >= runs) return {};
            const uint8_t* entry = &deltas[static_cast<size_t>(run) * 8];
            const uint64_t count = BigEndian32(entry);
            delta = BigEndian32(entry + 4);
            if (sample < runStart + count) break;
            runStartTime += count * delta;
            runStart += count;
            ++run;
        }
        const uint64_t decodeTime = runStartTime + (sample - runStart) * delta;
        // 100 ns units without overflow for any 32-bit time scale.
        const uint64_t seconds = decodeTime / tables.timescale, rest = decodeTime % tables.timescale;
        if (seconds > static_cast<uint64_t>(INT64_MAX / 10000000 - 1)) return {};
        const int64_t time = static_cast<int64_t>(seconds * 10000000 + rest * 10000000 / tables.timescale);
        if (!times.empty() && time < times.back()) return {};  // the deltas overflowed
        times.push_back(time);
    }
    return KeyframeIndex(std::move(times));
}

}  // namespace

bool KeyframeIndex::KeyframeBetween(int64_t after, int64_t upTo) const {
    if (!Known()) return true;
    const auto next = std::upper_bound(times_.begin(), times_.end(), after);
    return next != times_.end() && *next <= upTo;
}

int64_t KeyframeIndex::KeyframeAtOrBefore(int64_t time) const {
    const auto next = std::upper_bound(times_.begin(), times_.end(), time);
    return next == times_.begin() ? -1 : *(next - 1);
}

int64_t KeyframeIndex::IntervalOf(int64_t time) const {
    if (!Known()) return -1;
    return std::upper_bound(times_.begin(), times_.end(), time) - times_.begin();
}

KeyframeIndex ReadKeyframeIndex(ByteSource& source) {
    try {
        HeaderReader reader(source);
        VideoTables tables;
        const bool found = ReadFirstVideoTrack(reader, &tables, [&](const Box& trak, VideoTables* track) {
            return ForEachBox(reader, trak.payload, trak.end, 2, [&](const Box& mdia) {
                if (mdia.type != FourCC("mdia")) return Step::Next;
                return ReadMediaTables(reader, mdia, track) ? Step::Stop : Step::Fail;
            });
        });
        return found ? KeyframeTimes(reader, tables) : KeyframeIndex();
    } catch (...) {  // a failed allocation, say: no index
        return {};
    }
}

KeyframeIndex ReadKeyframeIndex(const std::wstring& moviePath) {
    try {
        FileByteSource file(moviePath);
        return ReadKeyframeIndex(file);
    } catch (...) {
        return {};
    }
}
