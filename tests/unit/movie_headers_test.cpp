// The movie header readers on headers made by hand (well-formed ones, and odd or hostile
// ones that must be shown as stored or leave the keyframes unknown), and the displayed
// size of a stored frame.
#include <gtest/gtest.h>

#include "service/frame_source/display_geometry.h"
#include "service/frame_source/displayed_frame.h"
#include "service/frame_source/keyframe_index.h"

namespace {

std::string BigEndian(uint64_t v, int n) { return n ? BigEndian(v >> 8, n - 1) + static_cast<char>(v & 0xFF) : ""; }
std::string U32(uint32_t v) { return BigEndian(v, 4); }

// ISO boxes; a track: header (matrix a b u c d v x y w), handler, a visual sample entry.
std::string Box(const char* type, const std::string& payload, uint32_t size = 0) {
    return U32(size ? size : static_cast<uint32_t>(8 + payload.size())) + type + payload;
}
std::string Trak(int32_t a, int32_t b, int32_t c, int32_t d, const char* handler, const std::string& entry,
                 int version = 0, int32_t u = 0) {
    std::string tkhd = std::string(1, static_cast<char>(version)) + std::string(version == 1 ? 51 : 39, '\0');
    for (int32_t v : {a, b, u, c, d, 0, 0, 0, 0x40000000}) tkhd += U32(static_cast<uint32_t>(v));
    const std::string hdlr = Box("hdlr", U32(0) + U32(0) + handler + std::string(12, '\0'));
    const std::string stsd = Box("stsd", U32(0) + U32(1) + Box("avc1", std::string(78, '\0') + entry));
    return Box("trak", Box("tkhd", tkhd + U32(640 << 16) + U32(360 << 16)) +
                           Box("mdia", hdlr + Box("minf", Box("stbl", stsd))));
}
std::string Pasp(uint32_t h, uint32_t v) { return Box("pasp", U32(h) + U32(v)); }
const std::string kFtyp = Box("ftyp", "isom" + U32(512));
std::string Mp4(const std::string& moov) { return kFtyp + Box("moov", moov); }
std::string Mdat64(uint64_t size) { return kFtyp + U32(1) + "mdat" + BigEndian(size, 8) + std::string(size < 4096 ? size - 16 : 0, 'Z'); }
constexpr int32_t k1 = 0x10000;
const std::string kGoodTrak = Trak(0, k1, -k1, 0, "vide", Pasp(64, 45));  // turned 90, pixels 64:45

// EBML elements (a one- or eight-byte size), a video track entry, a file of one segment.
std::string El(const std::string& id, const std::string& data) {
    return id + (data.size() < 127 ? std::string(1, static_cast<char>(0x80 | data.size())) : "\x01" + BigEndian(data.size(), 7)) + data;
}
std::string Uint(const std::string& id, uint64_t v) { return El(id, BigEndian(v, 2)); }
std::string Video(const std::string& fields) { return El("\xAE", Uint("\x83", 1) + El("\xE0", fields)); }
const std::string kEbml = El("\x1A\x45\xDF\xA3", El("\x42\x82", "matroska"));
const std::string kSegment = "\x18\x53\x80\x67", kTracks = "\x16\x54\xAE\x6B";
const std::string kPixels = Uint("\xB0", 720) + Uint("\xBA", 576);
// Display width and height 16:9 given as an aspect ratio (unit 3), or in centimetres (1).
const std::string kDar = kPixels + Uint("\x54\xB0", 16) + Uint("\x54\xBA", 9) + Uint("\x54\xB2", 3);
const std::string kCm = kPixels + Uint("\x54\xB0", 16) + Uint("\x54\xBA", 9) + Uint("\x54\xB2", 1);
std::string Mkv(const std::string& segment) { return kEbml + El(kSegment, segment); }

TEST(DisplayGeometryHeaders, WellFormedAreReadAndOddOrHostileAreShownAsStored) {
    std::string nested = kGoodTrak;
    for (int i = 0; i < 200; ++i) nested = Box(i % 2 ? "moov" : "trak", nested);
    const std::string good = Mp4(kGoodTrak);
    const std::pair<std::string, const char*> cases[] = {  // bytes, "rotation x:y"
        {good, "90 64:45"},
        {Mp4(Trak(-k1, 0, 0, -k1, "vide", "")), "180 1:1"},
        {Mp4(Trak(0, -k1, k1, 0, "vide", "", 1)), "270 1:1"},  // version 1 track header
        {Mdat64(1016) + Box("moov", kGoodTrak), "90 64:45"},
        {Mp4(Trak(-k1, 0, 0, -k1, "soun", Pasp(2, 1)) + kGoodTrak), "90 64:45"},  // sound track first
        {Mp4(Trak(k1, 0, 0, k1, "vide", "") + kGoodTrak), "0 1:1"},  // only the first video track counts
        {Mp4(Trak(k1, 0, 0, k1, "vide", Pasp(128, 90))), "0 64:45"},
        {Mp4(Trak(-k1, 0, 0, k1, "vide", Pasp(64, 45))), "0 64:45"},          // mirrored
        {Mp4(Trak(0, 2 * k1, -2 * k1, 0, "vide", "")), "0 1:1"},              // scaled
        {Mp4(Trak(0, k1, -k1, 0, "vide", "", 0, 5)), "0 1:1"},                // perspective
        {Mp4(Trak(0, k1, -k1, 0, "vide", Pasp(64, 45), 2)), "0 64:45"},       // track header version 2
        {Mp4(Trak(0, k1, -k1, 0, "vide", Pasp(0, 45))), "90 1:1"}, {"", "0 1:1"}, {good.substr(0, good.size() - 1), "0 1:1"},
        {Mp4(Box("free", "", 7) + kGoodTrak), "0 1:1"},                       // smaller than its header
        {Mp4(Box("free", "", 16)) + Box("free", "") + kGoodTrak, "0 1:1"},   // runs past the end of moov
        {Mdat64(~0ULL - 7) + Box("moov", kGoodTrak), "0 1:1"},  // a size that wraps round
        {Mp4(nested), "0 1:1"},
        {Mkv(El(kTracks, Video(kDar))), "0 64:45"},
        {Mkv(El(kTracks, Video(kPixels + Uint("\x54\xB0", 1024) + Uint("\x54\xBA", 576) + Uint("\x54\xB2", 0)))),
         "0 64:45"},
        {Mkv(El(kTracks, El("\xAE", Uint("\x83", 2)) + Video(kDar))), "0 64:45"},  // audio track first
        {kEbml + kSegment + "\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF" + El(kTracks, Video(kDar)), "0 64:45"},  // unknown size
        {Mkv(El(kTracks, Video(kCm))), "0 1:1"},
        {Mkv(El(kTracks, Video(kDar + Uint("\x54\xCC", 400) + Uint("\x54\xDD", 400)))), "0 1:1"},  // cropped away
        {Mkv(kTracks + "\x82" + Video(kDar)), "0 1:1"},  // track entry larger than the tracks
        {Mkv(kTracks + std::string(1, '\0') + Video(kDar)), "0 1:1"},  // size without a length marker
    };
    for (const auto& c : cases) {
        MemoryByteSource source(reinterpret_cast<const uint8_t*>(c.first.data()), c.first.size());
        const DisplayGeometry g = ReadDisplayGeometry(source);
        EXPECT_EQ(std::to_string(g.rotation) + " " + std::to_string(g.pixelAspectX) + ":" +
                      std::to_string(g.pixelAspectY), c.second) << testing::PrintToString(c.first.substr(0, 120));
    }
}

// A track with a time scale, runs of samples (count, duration each) and sync samples
// (none: no sync sample table).
std::string TimedTrak(const char* handler, uint32_t timescale, std::vector<std::pair<uint32_t, uint32_t>> runs,
                      std::vector<uint32_t> syncs, int mdhdVersion = 0, int syncCountExtra = 0) {
    const std::string hdlr = Box("hdlr", U32(0) + U32(0) + handler + std::string(12, '\0'));
    const std::string mdhd = Box("mdhd", std::string(1, static_cast<char>(mdhdVersion)) +
                                             std::string(mdhdVersion == 1 ? 19 : 11, '\0') + U32(timescale) +
                                             std::string(mdhdVersion == 1 ? 12 : 8, '\0'));
    std::string stts = U32(0) + U32(static_cast<uint32_t>(runs.size()));
    for (const auto& run : runs) stts += U32(run.first) + U32(run.second);
    std::string stss = U32(0) + U32(static_cast<uint32_t>(syncs.size() + syncCountExtra));
    for (uint32_t sample : syncs) stss += U32(sample);
    const std::string stbl = Box("stts", stts) + (syncs.empty() ? "" : Box("stss", stss));
    return Box("trak", Box("mdia", hdlr + mdhd + Box("minf", Box("stbl", stbl))));
}

// Which keyframe interval a time lies in, read from the track's tables: sync samples'
// decode times from the runs of sample durations, in the time scale of the media header.
TEST(KeyframeIndexHeaders, SyncSamplesGiveKeyframeTimesAndOddTablesLeaveThemUnknown) {
    const std::vector<std::pair<uint32_t, uint32_t>> kRuns = {{1, 1000}, {99, 40}};  // 0, 1 s, then 40 ms each
    const std::pair<std::string, const char*> cases[] = {  // bytes; interval at 0, 0.999, 1, 2.959, 2.96, 100 s
        {Mp4(TimedTrak("vide", 1000, kRuns, {1, 2, 51})), "1 1 2 2 3 3"},
        {Mp4(TimedTrak("vide", 90000, {{100, 3600}}, {1, 26, 75}, 1)), "1 1 2 2 3 3"},  // version 1; 0, 1, 2.96 s
        {Mp4(TimedTrak("soun", 1000, kRuns, {1, 2}) + TimedTrak("vide", 1000, kRuns, {1, 2, 51})), "1 1 2 2 3 3"},
        {Mp4(TimedTrak("vide", 1000, kRuns, {2, 51})), "0 0 1 1 2 2"},  // the first frame is no keyframe
        {Mdat64(1016) + Box("moov", TimedTrak("vide", 1000, kRuns, {1, 2, 51})), "1 1 2 2 3 3"},
        {Mp4(TimedTrak("vide", 1000, kRuns, {})), "-1 -1 -1 -1 -1 -1"},       // every frame a keyframe
        {Mp4(TimedTrak("vide", 1000, kRuns, {1, 101})), "-1 -1 -1 -1 -1 -1"},  // past the last sample
        {Mp4(TimedTrak("vide", 1000, kRuns, {2, 2})), "-1 -1 -1 -1 -1 -1"},    // not rising
        {Mp4(TimedTrak("vide", 1000, kRuns, {1, 2}, 0, 1)), "-1 -1 -1 -1 -1 -1"},  // more than the box holds
        {Mp4(TimedTrak("vide", 0, kRuns, {1})), "-1 -1 -1 -1 -1 -1"},
        {Mp4(TimedTrak("vide", 1000, {{2, 0xFFFFFFFF}, {2, 0xFFFFFFFF}}, {1, 4})), "1 1 1 1 1 1"},
        {Mkv(El(kTracks, Video(kDar))), "-1 -1 -1 -1 -1 -1"}, {"", "-1 -1 -1 -1 -1 -1"},
    };
    for (const auto& c : cases) {
        MemoryByteSource source(reinterpret_cast<const uint8_t*>(c.first.data()), c.first.size());
        const KeyframeIndex index = ReadKeyframeIndex(source);
        std::string intervals;
        for (const int64_t ms : {0, 999, 1000, 2959, 2960, 100000})
            intervals += (intervals.empty() ? "" : " ") + std::to_string(index.IntervalOf(ms * 10000));
        EXPECT_EQ(intervals, c.second) << testing::PrintToString(c.first.substr(0, 120));
        EXPECT_EQ(index.Known(), c.second[0] != '-');
    }
    // Between a frame and a later one: only a keyframe after the first and at or before the second counts.
    const KeyframeIndex index({0, 10000000, 20000000});
    EXPECT_FALSE(index.KeyframeBetween(10000000, 19999999));
    EXPECT_TRUE(index.KeyframeBetween(9999999, 10000000));
    EXPECT_FALSE(index.KeyframeBetween(20000000, 900000000));
    EXPECT_TRUE(KeyframeIndex().KeyframeBetween(0, 1));
}

// Width times aspect to the nearest even number, never below 2 px (nor a stored 1); an
// aspect beyond 8 counts as 1:1; right angles swap the sides. A reported picture aspect.
TEST(DisplayGeometrySize, AspectRoundsToEvenWidthAndRightAnglesSwap) {
    const int cases[][7] = {  // rotation, aspect x, y, stored width, height; shown width, height
        {0, 64, 45, 720, 576, 1024, 576}, {90, 1, 1, 640, 360, 360, 640}, {270, 64, 45, 720, 576, 576, 1024},
        {180, 1, 1, 641, 361, 641, 361},  {0, 4, 3, 350, 200, 466, 200},  {0, 3, 2, 13, 10, 20, 10},
        {0, 8, 1, 100, 60, 800, 60},      {0, 9, 1, 640, 360, 640, 360},  {0, 1, 9, 640, 360, 640, 360},
        {0, 1, 8, 3, 3, 2, 3},            {90, 1, 8, 1, 5, 5, 1},         {45, 1, 1, 640, 360, 640, 360},
    };
    for (const auto& c : cases) {
        DisplayGeometry g;
        g.rotation = c[0], g.pixelAspectX = c[1], g.pixelAspectY = c[2];
        int width = -1, height = -1;
        DisplayedSize(g, c[3], c[4], &width, &height);
        EXPECT_EQ(std::make_pair(width, height), std::make_pair(c[5], c[6])) << c[0] << " " << c[1] << ":" << c[2];
    }
    // DirectShow may report a picture aspect: 720x576 shown 16:9 has pixels of 64:45, at 4:3 of 16:15.
    EXPECT_EQ(PixelAspectFromPictureAspect(16, 9, 720, 576).pixelAspectX, 64u);
    EXPECT_EQ(PixelAspectFromPictureAspect(4, 3, 720, 576).pixelAspectY, 15u);
    EXPECT_EQ(PixelAspectFromPictureAspect(0, 9, 720, 576).pixelAspectX, 1u);
}

}  // namespace
