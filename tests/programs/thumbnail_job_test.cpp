// The thumbnail job end to end: the real service decodes real movies into strip
// images and answers on the requester's pipe after every tile.
#include <gtest/gtest.h>

#include <algorithm>

#include "testing/support/service_fixture.h"

using namespace testing_support;

namespace {

const std::vector<int64_t> kFourEven = {-1, -1, -1, -1};
// What they become on a 12 s movie: 1.5, 4.5, 7.5 and 10.5 s.
const std::vector<int64_t> kFourPlanned = {15000000, 45000000, 75000000, 105000000};

class ThumbnailJob : public ServiceFixture {
protected:
    ThumbnailJob() : ServiceFixture(L"job") {}


    ImagePixels Image(int32_t id) {
        ImagePixels image;
        EXPECT_TRUE(LoadImagePixels(Output(std::to_wstring(id)), image)) << id;
        return image;
    }
};

// Strips of every size can be written: more tiles than a JPEG can hold side by side are made
// smaller; a save that fails is logged while every tile is still answered.
TEST_F(ThumbnailJob, RealMoviesGiveTilesOfTheirPlannedSecondsInStripsThatCanBeWritten) {
    StartService();
    // At the frames' own size, as a BMP, with a response after every tile that tells
    // the positions used so far and the requested -1 for the rest.
    Request(1, {Movie(L"seconds_640x360_h264_aac.mp4")}, kFourEven, 0, -1, -1);
    const auto responses = ResponsesFor(1);
    ASSERT_EQ(responses.size(), 4u);
    for (size_t j = 0; j < 4; ++j) {
        const auto& r = responses[j];
        EXPECT_EQ(r.decode_count, static_cast<int32_t>(3 - j));
        EXPECT_EQ(r.request_count, j == 3 ? 0 : 1);
        EXPECT_EQ(r.error_image_used, 0);
        EXPECT_EQ(r.duration, 120000000);
        for (size_t k = 0; k < 4; ++k) EXPECT_EQ(r.positions[k], k <= j ? kFourPlanned[k] : -1);
    }
    EXPECT_EQ(ReadFileBytes(Output(L"1")).substr(0, 2), "BM");
    ImagePixels image = Image(1);
    EXPECT_EQ(image.width, 2560);
    EXPECT_EQ(image.height, 360);
    for (int j = 0; j < 4; ++j)  // the colour of each tile's planned second
        EXPECT_TRUE(Near(image.Average(j * 640, 0, 640, 360), SecondsMovieColour(kFourPlanned[j]), 40)) << j;

    // 4 x 20,000 px would not fit a JPEG: 4 x 16,375 px does, at the same aspect.
    Request(3, {Movie(L"seconds_640x360_noaudio.mp4")}, kFourEven, 1, 20000, 10);
    EXPECT_EQ(ResponsesFor(3).size(), 4u);
    const ImagePixels wide = Image(3);
    EXPECT_EQ(wide.width, 65500);
    EXPECT_EQ(wide.height, 8);
    for (int j = 0; j < 4; ++j)
        EXPECT_TRUE(Near(wide.Average(j * 16375, 0, 16375, 8), SecondsMovieColour(kFourPlanned[j]), 40)) << j;
    EXPECT_EQ(Count(List(), L"(draw) strip-fit tile=20000x10->16375x8 count=4 reason=jpeg-size possible=1 file(" +
                                Movie(L"seconds_640x360_noaudio.mp4") + L")"),
              1u);

    // A strip that cannot be written: each save's failure is listed, each tile answered.
    const std::wstring nowhere = folder.file(L"no such folder\\strip.jpg");
    ASSERT_TRUE(SendRequest(client, MakeRequest({MakeItem(4, Movie(L"seconds_640x360_noaudio.mp4"), nowhere, {-1, -1})},
                                                32, 18, 1)));
    ASSERT_TRUE(WaitForFinal(4));
    EXPECT_EQ(ResponsesFor(4).size(), 2u);
    const auto errors = Errors();
    for (const wchar_t* index : {L"index=1/2", L"index=2/2"})
        EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [&](const std::wstring& line) {
            return line.rfind(std::wstring(L"(save failed) ") + index, 0) == 0 && line.find(nowhere) != line.npos;
        })) << index;
}

// With "skip_blank_frames" a black tile gives way to the first picture among the frames
// up to halfway to the next tile, and the response tells its time; where all of them are
// black the planned frame stays. Without it the black frames are shown.
TEST_F(ThumbnailJob, BlankFramesAreSkippedOnlyWhenAsked) {
    StartService();
    const std::wstring movie = Movie(L"blank_stretches_640x360_h264.mp4");
    // 12.04 s: 1.505, 4.515, 7.525 and 10.535 s; black to 2 s and from 6 to 9.5 s.
    const std::vector<int64_t> planned = {15050000, 45150000, 75250000, 105350000};
    const unsigned red = 0xFF0000, green = 0x00FF00, black = 0, blue = 0x0000FF;
    struct Case {
        int skip, keyframes;
        std::vector<int64_t> times;
        std::vector<unsigned> colours;
    } cases[] = {
        {0, 0, planned, {black, green, black, blue}},
        // Tile 1 is found at the second try, 1.505 + 2 x 0.37625 s; tile 3's four tries are black.
        {1, 0, {22575000, 45150000, 75250000, 105350000}, {red, green, black, blue}},
        // A keyframe every second: the first try lands on the black keyframe already shown,
        // which ends the search (the second would have reached the red one at 2 s).
        {1, 1, {10000000, 40000000, 70000000, 100000000}, {black, green, black, blue}},
    };
    int32_t id = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "skip " << c.skip << " keyframes " << c.keyframes);
        Set(L"skip_blank_frames", c.skip);
        Set(L"seek_to_keyframe", c.keyframes);
        Request(id, {movie}, kFourEven, 0, 64, 36);
        EXPECT_EQ(ResponsesFor(id).back().positions, c.times);
        const ImagePixels image = Image(id);
        for (int j = 0; j < 4; ++j)
            EXPECT_TRUE(Near(image.Average(j * 64, 0, 64, 36), FromHex(c.colours[j]), 40)) << "tile " << j;
        ++id;
    }
}

// Movies that cannot be decoded: error tiles at the error image's own size, the requested positions
// kept, the items worked in order and every one listed. (A movie a crash interrupted: recovery.)
TEST_F(ThumbnailJob, UndecodableMoviesGiveErrorTiles) {
    StartService();
    const std::vector<std::wstring> missing = {folder.file(L"a.mp4"), folder.file(L"b c.mp4"), folder.file(L"d.mp4")};
    Request(1, missing, {-1, -1, -1}, 1, -1, -1);
    std::vector<int32_t> finals, counts;
    for (const auto& r : listener.Responses()) {
        EXPECT_EQ(r.error_image_used, 1);
        EXPECT_EQ(r.duration, 0);
        EXPECT_EQ(r.positions, std::vector<int64_t>(3, -1));
        if (r.decode_count != 0) continue;
        finals.push_back(r.request_id);
        counts.push_back(r.request_count);
    }
    EXPECT_EQ(finals, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(counts, (std::vector<int32_t>{2, 1, 0}));
    EXPECT_EQ(Errors(), missing);
    EXPECT_EQ(ReadFileBytes(Output(L"1")).substr(0, 2), "\xFF\xD8");  // JPEG
    const ImagePixels image = Image(1);
    EXPECT_EQ(image.width, 480);
    EXPECT_EQ(image.height, 90);
    EXPECT_EQ(TileKinds(image, 160, 3), "EEE");
}

}  // namespace
