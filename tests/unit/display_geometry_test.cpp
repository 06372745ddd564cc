// The movie header reader on headers made by hand (well-formed ones, and hostile ones that
// must be shown as stored), and the displayed size of a stored frame.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "service/frame_source/display_geometry.h"

namespace {

std::string BigEndian(uint64_t v, int bytes) {
    std::string s;
    for (int i = bytes - 1; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}
std::string U32(uint32_t v) { return BigEndian(v, 4); }

// ISO boxes: a 32-bit size, or (size == 1) a 64-bit one after the type.
std::string SizedBox(uint32_t size, const char* type, const std::string& payload) {
    return U32(size) + type + payload;
}
std::string Box(const char* type, const std::string& payload) {
    return SizedBox(static_cast<uint32_t>(8 + payload.size()), type, payload);
}
std::string LargeBox(uint64_t size, const char* type, const std::string& payload) {
    return U32(1) + type + BigEndian(size, 8) + payload;
}

using Matrix = std::vector<int32_t>;  // a b u c d v x y w
const Matrix kIdentity = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
const Matrix kTurn90 = {0, 0x10000, 0, -0x10000, 0, 0, 0, 0, 0x40000000};
const Matrix kTurn180 = {-0x10000, 0, 0, 0, -0x10000, 0, 0, 0, 0x40000000};
const Matrix kTurn270 = {0, -0x10000, 0, 0x10000, 0, 0, 0, 0, 0x40000000};

std::string Tkhd(const Matrix& m, int version = 0) {
    std::string payload = std::string(1, static_cast<char>(version)) + std::string(3, '\0');
    payload += std::string(version == 1 ? 32 : 20, '\0') + std::string(16, '\0');
    for (int32_t v : m) payload += U32(static_cast<uint32_t>(v));
    return Box("tkhd", payload + U32(640 << 16) + U32(360 << 16));
}
std::string Pasp(uint32_t h, uint32_t v) { return Box("pasp", U32(h) + U32(v)); }
std::string Hdlr(const char* handler) { return Box("hdlr", U32(0) + U32(0) + handler + std::string(12, '\0') + "name"); }
// A track: header, handler, and one visual sample entry holding `entryBoxes`.
std::string Trak(const Matrix& m, const char* handler, const std::string& entryBoxes, int version = 0) {
    const std::string stsd = Box("stsd", U32(0) + U32(1) + Box("avc1", std::string(78, '\0') + entryBoxes));
    return Box("trak", Tkhd(m, version) + Box("mdia", Hdlr(handler) + Box("minf", Box("stbl", stsd))));
}
std::string Mp4(const std::string& afterFtyp) { return Box("ftyp", "isom" + U32(512) + "isomavc1") + afterFtyp; }
const std::string kGoodTrak = Trak(kTurn90, "vide", Pasp(64, 45));
const std::string kGoodMp4 = Mp4(Box("moov", kGoodTrak));

// EBML elements: the id's bytes, a size (1 byte when small, else 8), the data.
std::string Element(const std::string& id, const std::string& data) {
    const std::string size = data.size() < 127 ? std::string(1, static_cast<char>(0x80 | data.size()))
                                               : "\x01" + BigEndian(data.size(), 7);
    return id + size + data;
}
std::string RawElement(const std::string& id, const std::string& size, const std::string& data) {
    return id + size + data;
}
std::string Uint(const std::string& id, uint64_t v) { return Element(id, BigEndian(v, v > 0xFFFF ? 4 : 2)); }
const std::string kEbml = Element("\x1A\x45\xDF\xA3", Element("\x42\x82", "matroska"));
const std::string kSegmentId = "\x18\x53\x80\x67", kTracksId = "\x16\x54\xAE\x6B", kClusterId = "\x1F\x43\xB6\x75";
// A track entry of `type` (1 video, 2 audio) with these Video fields.
std::string TrackEntry(int type, const std::string& videoFields) {
    return Element("\xAE", Uint("\x83", type) + (videoFields.empty() ? "" : Element("\xE0", videoFields)));
}
std::string Mkv(const std::string& segmentData) { return kEbml + Element(kSegmentId, segmentData); }
const std::string kDar16by9 = Uint("\xB0", 720) + Uint("\xBA", 576) + Uint("\x54\xB0", 16) +
                              Uint("\x54\xBA", 9) + Uint("\x54\xB2", 3);
const std::string kGoodTracks = Element(kTracksId, TrackEntry(1, kDar16by9));

struct Expected {
    int rotation;
    uint32_t x, y;
};
const Expected kAsStored = {0, 1, 1};

DisplayGeometry Read(const std::string& bytes) {
    MemoryByteSource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return ReadDisplayGeometry(source);
}

std::string Cut(const std::string& s, size_t size) { return s.substr(0, size); }

TEST(DisplayGeometryHeaders, WellFormedAreReadAndHostileAreShownAsStored) {
    std::string manyEmptyBoxes;
    for (int i = 0; i < 20000; ++i) manyEmptyBoxes += Box("free", "");
    std::string nested = kGoodTrak;
    for (int i = 0; i < 200; ++i) nested = Box(i % 2 ? "moov" : "trak", nested);
    const std::string mdatThenMoov = Mp4(LargeBox(16 + 1000, "mdat", std::string(1000, '\x5A')) + Box("moov", kGoodTrak));
    const std::string moov = Box("moov", kGoodTrak);

    const struct {
        const char* what;
        std::string bytes;
        Expected expected;
    } cases[] = {
        // MP4 and MOV as writers make them.
        {"turned 90, pixels 64:45", kGoodMp4, {90, 64, 45}},
        {"turned 180", Mp4(Box("moov", Trak(kTurn180, "vide", ""))), {180, 1, 1}},
        {"turned 270, version 1 track header", Mp4(Box("moov", Trak(kTurn270, "vide", "", 1))), {270, 1, 1}},
        {"moov after a 64-bit mdat", mdatThenMoov, {90, 64, 45}},
        {"sound track first", Mp4(Box("moov", Trak(kTurn180, "soun", Pasp(2, 1)) + kGoodTrak)), {90, 64, 45}},
        {"only the first video track counts", Mp4(Box("moov", Trak(kIdentity, "vide", "") + kGoodTrak)), kAsStored},
        {"pasp not reduced", Mp4(Box("moov", Trak(kIdentity, "vide", Pasp(128, 90)))), {0, 64, 45}},
        // Property by property: what is odd is shown as stored, the rest still counts.
        {"mirrored matrix", Mp4(Box("moov", Trak({-0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000}, "vide",
                                                 Pasp(64, 45)))), {0, 64, 45}},
        {"turn with scaling", Mp4(Box("moov", Trak({0, 0x20000, 0, -0x20000, 0, 0, 0, 0, 0x40000000}, "vide", ""))),
         kAsStored},
        {"turn with perspective", Mp4(Box("moov", Trak({0, 0x10000, 5, -0x10000, 0, 0, 0, 0, 0x40000000}, "vide",
                                                       ""))), kAsStored},
        {"track header version 2", Mp4(Box("moov", Trak(kTurn90, "vide", Pasp(64, 45), 2))), {0, 64, 45}},
        {"pasp with a zero term", Mp4(Box("moov", Trak(kTurn90, "vide", Pasp(0, 45)))), {90, 1, 1}},
        {"pasp beyond 8:1", Mp4(Box("moov", Trak(kTurn90, "vide", Pasp(100, 1)))), {90, 1, 1}},
        {"pasp of 4 bytes", Mp4(Box("moov", Trak(kTurn90, "vide", Box("pasp", U32(64))))), {90, 1, 1}},
        // Hostile structure: nothing is taken from it.
        {"moov cut in its middle", Cut(kGoodMp4, kGoodMp4.size() / 2), kAsStored},
        {"moov one byte short", Cut(kGoodMp4, kGoodMp4.size() - 1), kAsStored},
        {"cut inside a box header", Cut(kGoodMp4, 24 + 4), kAsStored},
        {"zero-size box runs to the end of moov", Mp4(Box("moov", SizedBox(0, "free", "") + kGoodTrak)), kAsStored},
        {"box smaller than its header", Mp4(Box("moov", SizedBox(7, "free", "") + kGoodTrak)), kAsStored},
        {"trak larger than moov", Mp4(Box("moov", SizedBox(static_cast<uint32_t>(kGoodTrak.size() + 8), "trak",
                                                           kGoodTrak.substr(8)))), kAsStored},
        {"box running past the end of moov", Mp4(Box("moov", SizedBox(16, "free", "")) + Box("free", "") + kGoodTrak),
         kAsStored},
        {"moov larger than the file", Mp4(SizedBox(static_cast<uint32_t>(moov.size() + 1), "moov", moov.substr(8))),
         kAsStored},
        {"64-bit mdat beyond the file", Mp4(LargeBox(1ULL << 40, "mdat", "") + moov), kAsStored},
        {"64-bit size that wraps round", Mp4(LargeBox(~0ULL - 7, "mdat", "") + moov), kAsStored},
        {"64-bit size below its header", Mp4(LargeBox(15, "mdat", "") + moov), kAsStored},
        {"more boxes than are visited", Mp4(manyEmptyBoxes + moov), kAsStored},
        {"boxes nested 200 deep", Mp4(Box("moov", nested)), kAsStored},
        {"hdlr too short for its type", Mp4(Box("moov", Box("trak", Box("mdia", Box("hdlr", U32(0)))) + kGoodTrak)),
         kAsStored},
        {"sample description of huge count and no entry", Mp4(Box("moov", Box("trak", Tkhd(kTurn90) +
             Box("mdia", Hdlr("vide") + Box("minf", Box("stbl", Box("stsd", U32(0) + U32(0xFFFFFFFF)))))))),
         kAsStored},
        // Matroska and WebM.
        {"display aspect ratio 16:9", Mkv(kGoodTracks), {0, 64, 45}},
        {"display size in pixels", Mkv(Element(kTracksId, TrackEntry(1, Uint("\xB0", 720) + Uint("\xBA", 576) +
             Uint("\x54\xB0", 1024) + Uint("\x54\xBA", 576) + Uint("\x54\xB2", 0)))), {0, 64, 45}},
        {"display width only, after cropping", Mkv(Element(kTracksId, TrackEntry(1, Uint("\xB0", 740) +
             Uint("\xBA", 576) + Uint("\x54\xCC", 10) + Uint("\x54\xDD", 10) + Uint("\x54\xB0", 1024)))), {0, 64, 45}},
        {"audio track first", Mkv(Element(kTracksId, TrackEntry(2, "") + TrackEntry(1, kDar16by9))), {0, 64, 45}},
        {"segment of unknown size", kEbml + RawElement(kSegmentId, "\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", kGoodTracks),
         {0, 64, 45}},
        {"segment cut short", Mkv(kGoodTracks + Element(kClusterId, std::string(300, '\0'))).substr(0, 200),
         {0, 64, 45}},
        {"cluster skipped before the tracks", Mkv(Element(kClusterId, std::string(300, '\0')) + kGoodTracks),
         {0, 64, 45}},
        {"display size in centimetres", Mkv(Element(kTracksId, TrackEntry(1, Uint("\xB0", 720) + Uint("\xBA", 576) +
             Uint("\x54\xB0", 16) + Uint("\x54\xBA", 9) + Uint("\x54\xB2", 1)))), kAsStored},
        {"display width 0", Mkv(Element(kTracksId, TrackEntry(1, Uint("\xB0", 720) + Uint("\xBA", 576) +
             Uint("\x54\xB0", 0)))), kAsStored},
        {"display width of 9 bytes", Mkv(Element(kTracksId, TrackEntry(1, Uint("\xB0", 720) + Uint("\xBA", 576) +
             Element("\x54\xB0", std::string(8, '\0') + "\x10")))), kAsStored},
        {"crop wider than the picture", Mkv(Element(kTracksId, TrackEntry(1, kDar16by9 + Uint("\x54\xCC", 400) +
             Uint("\x54\xDD", 400)))), kAsStored},
        {"tracks of unknown size", kEbml + Element(kSegmentId, RawElement(kTracksId, "\xFF", TrackEntry(1, kDar16by9))),
         kAsStored},
        {"track entry larger than the tracks", Mkv(RawElement(kTracksId, "\x82", TrackEntry(1, kDar16by9))), kAsStored},
        {"cluster of unknown size before the tracks", Mkv(RawElement(kClusterId, "\xFF", "") + kGoodTracks),
         kAsStored},
        {"cluster beyond the file before the tracks", Mkv(RawElement(kClusterId, std::string("\x01\x00\x00\x00\x10\x00\x00\x00", 8),
             "") + kGoodTracks), kAsStored},
        {"size with no length marker", Mkv(RawElement(kTracksId, std::string(1, '\0'), TrackEntry(1, kDar16by9))),
         kAsStored},
        {"id longer than 4 bytes", kEbml + RawElement(std::string("\x08\x53\x80\x67\x00", 5), "\x90",
             kGoodTracks.substr(0, 16)), kAsStored},
        {"EBML header cut short", kEbml.substr(0, 6), kAsStored},
        // Not a movie at all.
        {"nothing", "", kAsStored},
        {"seven bytes", std::string("\x00\x00\x00\x08""fty", 7), kAsStored},
        {"text", "This is not a movie. This is not a movie.", kAsStored},
    };
    for (const auto& c : cases) {
        const DisplayGeometry g = Read(c.bytes);
        EXPECT_EQ(g.rotation, c.expected.rotation) << c.what;
        EXPECT_EQ(g.pixelAspectX, c.expected.x) << c.what;
        EXPECT_EQ(g.pixelAspectY, c.expected.y) << c.what;
    }
}

TEST(DisplayGeometrySize, AspectRoundsToEvenWidthAndRightAnglesSwap) {
    const struct {
        DisplayGeometry g;
        int storedWidth, storedHeight, width, height;
    } cases[] = {
        {{0, 64, 45}, 720, 576, 1024, 576},  // anamorphic PAL, shown 16:9
        {{90, 1, 1}, 640, 360, 360, 640},
        {{270, 64, 45}, 720, 576, 576, 1024},
        {{180, 1, 1}, 640, 360, 640, 360},
        {{0, 1, 1}, 641, 361, 641, 361},      // square pixels: as stored, odd or not
        {{0, 4, 3}, 350, 200, 466, 200},      // 466.7: nearest even is 466
        {{0, 3, 2}, 13, 10, 20, 10},          // 19.5: nearest even is 20
        {{0, 8, 1}, 100, 60, 800, 60},        // the widest aspect taken
        {{0, 9, 1}, 640, 360, 640, 360},      // beyond 8:1: as stored
        {{0, 1, 9}, 640, 360, 640, 360},
        {{0, 0, 1}, 640, 360, 640, 360},
        {{0, 1, 8}, 3, 3, 2, 3},              // never below 2 px
        {{0, 1, 8}, 1, 1, 1, 1},              // nor below a stored 1
        {{90, 1, 8}, 1, 5, 5, 1},
        {{45, 1, 1}, 640, 360, 640, 360},     // not a right angle: not turned
    };
    for (const auto& c : cases) {
        int width = -1, height = -1;
        DisplayedSize(c.g, c.storedWidth, c.storedHeight, &width, &height);
        EXPECT_EQ(width, c.width) << c.g.rotation << " " << c.g.pixelAspectX << ":" << c.g.pixelAspectY << " "
                                  << c.storedWidth << "x" << c.storedHeight;
        EXPECT_EQ(height, c.height) << c.g.rotation << " " << c.g.pixelAspectX << ":" << c.g.pixelAspectY << " "
                                    << c.storedWidth << "x" << c.storedHeight;
    }
}

}  // namespace
