// The movie header reader on the real test movies (turned by the display matrix, or with
// wide pixels) and on seeded mutations of their headers, each read from memory that ends
// at a no-access page. (What the movies come out as is the frame source's test.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "service/frame_source/display_geometry.h"
#include "testing/support/test_support.h"
#include "testing/intake_fuzz/guarded_bytes.h"

using namespace testing_support;

namespace {

// Reads from guarded memory and counts every request for bytes outside it (the reader
// must check before it asks).
class CountingSource : public ByteSource {
public:
    explicit CountingSource(const GuardedBytes& bytes) : bytes_(bytes) {}
    uint64_t Size() const override { return bytes_.size(); }
    bool Read(uint64_t offset, void* into, size_t count) override {
        if (offset > bytes_.size() || count > bytes_.size() - offset) {
            ++outside;
            return false;
        }
        if (count > 0) std::memcpy(into, bytes_.data() + offset, count);
        requested += count;
        return true;
    }
    int outside = 0;
    uint64_t requested = 0;

private:
    const GuardedBytes& bytes_;
};

uint64_t BigEndian(const std::string& s, size_t at, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

// An MP4 without its 'mdat': the headers, in a few kilobytes.
std::string WithoutMediaData(const std::string& mp4) {
    std::string headers;
    for (size_t at = 0; mp4.size() - at >= 16;) {
        uint64_t size = BigEndian(mp4, at, 4);
        if (size == 1) size = BigEndian(mp4, at + 8, 8);
        if (size < 8 || size > mp4.size() - at) break;
        if (mp4.compare(at + 4, 4, "mdat") != 0) headers += mp4.substr(at, static_cast<size_t>(size));
        at += static_cast<size_t>(size);
    }
    return headers;
}

struct Seed {
    const wchar_t* movie;
    bool isoBoxes;  // else EBML
    DisplayGeometry unchanged;
    std::string bytes;
    std::vector<size_t> sizeFields;  // where a box's or element's size is (or may be)
};

// Offsets of size fields: before each 4-letter box type, or after each known EBML id.
std::vector<size_t> SizeFields(const std::string& bytes, bool isoBoxes) {
    std::vector<size_t> at;
    if (isoBoxes) {
        for (size_t i = 0; i + 8 <= bytes.size(); ++i) {
            bool type = true;
            for (size_t k = 4; k < 8; ++k) type = type && ((bytes[i + k] >= 'a' && bytes[i + k] <= 'z') ||
                                                             (bytes[i + k] >= '0' && bytes[i + k] <= '9'));
            if (type) at.push_back(i);
        }
        return at;
    }
    static const char* const kIds[] = {"\x1A\x45\xDF\xA3", "\x18\x53\x80\x67", "\x16\x54\xAE\x6B", "\x15\x49\xA9\x66",
                                       "\x11\x4D\x9B\x74", "\x1F\x43\xB6\x75", "\x54\xB0", "\x54\xBA", "\x54\xB2",
                                       "\xAE", "\xE0", "\xB0", "\xBA", "\x83"};
    for (const char* id : kIds)
        for (size_t i = bytes.find(id); i != std::string::npos; i = bytes.find(id, i + 1))
            at.push_back(i + std::strlen(id));
    return at;
}

// Sizes that break things: nothing, less than a header, exactly a header, huge, unknown.
const std::vector<std::string> kBoxSizes = {std::string("\0\0\0\0", 4), std::string("\0\0\0\1", 4),
                                            std::string("\0\0\0\7", 4), std::string("\0\0\0\x08", 4),
                                            "\xFF\xFF\xFF\xFF", "\x7F\xFF\xFF\xF0",
                                            std::string("\0\0\0\1", 4) + "mdat\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xF0"};
const std::vector<std::string> kElementSizes = {"\x80", "\x81", "\x87", "\x88", "\xFF", std::string(1, '\0'),
                                                "\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", "\x01\x7F\xFF\xFF\xFF\xFF\xFF\xFF",
                                                "\x10\xFF\xFF\xF0"};

std::string Mutated(const Seed& seed, uint64_t caseSeed) {
    std::mt19937_64 random(caseSeed);
    std::string bytes = seed.bytes;
    const int mutations = 1 + static_cast<int>(random() % 4);
    for (int m = 0; m < mutations && !bytes.empty(); ++m) {
        switch (random() % 4) {
            case 0:  // cut at a random point
                bytes.resize(static_cast<size_t>(random() % (bytes.size() + 1)));
                break;
            case 1:  // flip a bit
                bytes[static_cast<size_t>(random() % bytes.size())] ^= static_cast<char>(1 << (random() % 8));
                break;
            default: {  // a hostile size where a size is
                const auto& sizes = seed.isoBoxes ? kBoxSizes : kElementSizes;
                const std::string& size = sizes[static_cast<size_t>(random() % sizes.size())];
                const size_t at = seed.sizeFields[static_cast<size_t>(random() % seed.sizeFields.size())];
                if (at < bytes.size()) bytes.replace(at, std::min(size.size(), bytes.size() - at), size);
                break;
            }
        }
    }
    return bytes;
}

bool Plausible(const DisplayGeometry& g, std::string* why) {
    const uint64_t x = g.pixelAspectX, y = g.pixelAspectY;
    uint64_t a = x, b = y;
    while (b != 0) a %= b, std::swap(a, b);
    if (g.rotation != 0 && g.rotation != 90 && g.rotation != 180 && g.rotation != 270) *why = "rotation";
    else if (x == 0 || y == 0 || x > 8 * y || y > 8 * x) *why = "aspect out of range";
    else if (a != 1) *why = "aspect not reduced";
    return why->empty();
}

TEST(DisplayGeometryMovies, SeededMutationsOfRealHeadersReadNothingOutside) {
    ASSERT_TRUE(GuardedBytes("abc").Guarded());
    std::vector<Seed> seeds = {
        {L"rotated90_640x360_h264.mp4", true, {90, 1, 1}, {}, {}},
        {L"rotated270_640x360_h264.mp4", true, {270, 1, 1}, {}, {}},
        {L"rotated90_640x360_h264.mov", true, {90, 1, 1}, {}, {}},
        {L"anamorphic_720x576_par64x45_h264.mp4", true, {0, 64, 45}, {}, {}},
        {L"anamorphic_720x576_par64x45_h264.mkv", false, {0, 64, 45}, {}, {}},
        {L"seconds_640x360_vp9.webm", false, {0, 1, 1}, {}, {}},
    };
    for (Seed& seed : seeds) {
        const std::string file = ReadFileBytes(Movie(seed.movie));
        seed.bytes = seed.isoBoxes ? WithoutMediaData(file) : file.substr(0, 4096);
        seed.sizeFields = SizeFields(seed.bytes, seed.isoBoxes);
        ASSERT_FALSE(seed.sizeFields.empty()) << ::testing::PrintToString(std::wstring(seed.movie));
        // Unmutated, the whole movie and its headers alone say what the movie carries; of
        // the whole movie only headers are read (an MP4's mdat comes before its moov).
        GuardedBytes whole(file), headers(seed.bytes);
        CountingSource wholeSource(whole), headerSource(headers);
        const DisplayGeometry g = ReadDisplayGeometry(wholeSource);
        EXPECT_LT(wholeSource.requested, 4096u) << ::testing::PrintToString(std::wstring(seed.movie));
        for (const DisplayGeometry& read : {g, ReadDisplayGeometry(headerSource)}) {
            EXPECT_EQ(read.rotation, seed.unchanged.rotation) << ::testing::PrintToString(std::wstring(seed.movie));
            EXPECT_EQ(read.pixelAspectX, seed.unchanged.pixelAspectX);
            EXPECT_EQ(read.pixelAspectY, seed.unchanged.pixelAspectY);
        }
    }

    const uint64_t kFirstSeed = 20261207;
    const int kCases = 20000;
    int failures = 0, changed = 0;
    for (int i = 0; i < kCases && failures < 5; ++i) {
        const uint64_t caseSeed = kFirstSeed + i;
        const Seed& seed = seeds[i % seeds.size()];
        GuardedBytes bytes(Mutated(seed, caseSeed));
        ASSERT_TRUE(bytes.data() || bytes.size() == 0);
        CountingSource source(bytes);
        const DisplayGeometry g = ReadDisplayGeometry(source);
        std::string why;
        if (source.outside > 0) why = "read outside the bytes";
        if (!Plausible(g, &why) || !why.empty()) {
            ++failures;
            ADD_FAILURE() << why << ": seed " << caseSeed << " (" << ::testing::PrintToString(std::wstring(seed.movie))
                          << "), rotation " << g.rotation << ", aspect " << g.pixelAspectX << ":" << g.pixelAspectY;
        }
        if (g.rotation != seed.unchanged.rotation || g.pixelAspectX != seed.unchanged.pixelAspectX) ++changed;
    }
    // The mutations reach the fields that matter: many cases lose what the movie carries.
    EXPECT_GT(changed, kCases / 10);
}

}  // namespace
