// The thumbnail job end to end: the real service decodes real movies into strip
// images and answers on the requester's pipe after every tile.
#include <gtest/gtest.h>

#include "tests/support/service_fixture.h"

using namespace testing_support;

namespace {

const Rgb kErrorImageColour = FromHex(0xC000C0);
constexpr int64_t kTwelveSeconds = 120000000;

class ThumbnailJob : public ServiceFixture {
protected:
    explicit ThumbnailJob(bool gated = false) : ServiceFixture(L"job", gated) {}

    void SetUp() override {
        ServiceFixture::SetUp();
        StartService();
    }

    // Sends one decode request with one item per movie over the service's pipe.
    void Request(const std::vector<std::wstring>& movies, const std::vector<int64_t>& positions,
                 int saveType = 0, int width = -1, int height = -1,
                 const std::wstring& outputName = L"strip") {
        std::vector<DecodeItem_CL> items;
        int32_t id = 1;
        for (const auto& movie : movies) {
            items.push_back(MakeItem(id, movie, Output(outputName + std::to_wstring(id)), positions));
            ++id;
        }
        ASSERT_TRUE(SendRequest(client, MakeRequest(items, width, height, saveType)));
    }
};

// Every tile of the strip shows the colour of its planned second.
void ExpectTilesMatchPositions(const ImagePixels& image, int tileWidth, const std::vector<int64_t>& positions) {
    for (size_t j = 0; j < positions.size(); ++j) {
        const Rgb seen = image.Average(static_cast<int>(j) * tileWidth, 0, tileWidth, image.height);
        const Rgb want = SecondsMovieColour(positions[j]);
        EXPECT_TRUE(Near(seen, want, 40)) << "tile " << j << " at " << positions[j] << ": "
                                          << Describe(seen) << " expected " << Describe(want);
    }
}

TEST_F(ThumbnailJob, FourEvenTilesOfA640x360MovieWithProgressResponses) {
    Request({Movie(L"seconds_640x360_h264_aac.mp4")}, {-1, -1, -1, -1});
    ASSERT_TRUE(listener.WaitForCount(4));
    const auto responses = listener.Responses();
    const std::vector<int64_t> planned = {15000000, 45000000, 75000000, 105000000};
    for (int j = 0; j < 4; ++j) {
        const auto& r = responses[static_cast<size_t>(j)];
        EXPECT_EQ(r.message_type, 3);
        EXPECT_EQ(r.request_id, 1);
        EXPECT_EQ(r.decode_count, 3 - j);
        EXPECT_EQ(r.request_count, j == 3 ? 0 : 1);
        EXPECT_EQ(r.error_image_used, 0);
        EXPECT_EQ(r.duration, kTwelveSeconds);
        // Positions used so far, the requested -1 for the rest.
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(r.positions[static_cast<size_t>(k)], k <= j ? planned[static_cast<size_t>(k)] : -1);
    }
    ImagePixels image;
    ASSERT_TRUE(LoadImagePixels(Output(L"strip1"), image));
    EXPECT_EQ(image.width, 2560);
    EXPECT_EQ(image.height, 360);
    EXPECT_EQ(ReadFileBytes(Output(L"strip1")).substr(0, 2), "BM");
    ExpectTilesMatchPositions(image, 640, planned);
    ASSERT_TRUE(WaitFor([&] { return JobsEnded() == 1; }));
    EXPECT_EQ(ReadFileBytes(folder.file(L"TessaloomDataList.dat")).size(), 8u);
}

// Keyframe mode: every tile is the keyframe at or before its planned position (here
// one every 4 s), and the responses tell the keyframes' times instead of the plan's.
TEST_F(ThumbnailJob, KeyframeModeAnswersTheTimesOfTheKeyframesShown) {
    Set(L"seek_to_keyframe", 1);
    Request({Movie(L"seconds_640x360_gop4s.mp4")}, {-1, -1, -1, -1}, 0, 64, 36);
    ASSERT_TRUE(listener.WaitForCount(4));
    // Planned 1.5, 4.5, 7.5 and 10.5 s.
    const std::vector<int64_t> shown = {0, 40000000, 40000000, 80000000};
    EXPECT_EQ(listener.Responses().back().positions, shown);
    EXPECT_EQ(listener.Responses().back().error_image_used, 0);
    ImagePixels image;
    ASSERT_TRUE(LoadImagePixels(Output(L"strip1"), image));
    ExpectTilesMatchPositions(image, 64, shown);
}

TEST_F(ThumbnailJob, FixedTileSizeScalesEveryFrameIntoIt) {
    Request({Movie(L"seconds_1920x1080_h264.mp4")}, {-1, -1, -1, -1}, 2, 160, 90);
    ASSERT_TRUE(listener.WaitForCount(4));
    ImagePixels image;
    ASSERT_TRUE(LoadImagePixels(Output(L"strip1"), image));
    EXPECT_EQ(image.width, 640);
    EXPECT_EQ(image.height, 90);
    EXPECT_EQ(ReadFileBytes(Output(L"strip1")).substr(1, 3), "PNG");
    ExpectTilesMatchPositions(image, 160, {15000000, 45000000, 75000000, 105000000});
}

TEST_F(ThumbnailJob, MissingMovieGivesErrorTilesAndIsListed) {
    const std::wstring missing = folder.file(L"no such movie.mp4");
    Request({missing}, {-1, -1, -1}, 1, 80, 60);
    ASSERT_TRUE(listener.WaitForCount(3));
    for (const auto& r : listener.Responses()) {
        EXPECT_EQ(r.error_image_used, 1);
        EXPECT_EQ(r.duration, 0);
    }
    ImagePixels image;
    ASSERT_TRUE(LoadImagePixels(Output(L"strip1"), image));
    EXPECT_EQ(image.width, 240);
    EXPECT_EQ(ReadFileBytes(Output(L"strip1")).substr(0, 2), "\xFF\xD8");  // JPEG
    for (int j = 0; j < 3; ++j)
        EXPECT_TRUE(Near(image.Average(j * 80, 0, 80, 60), kErrorImageColour, 40)) << j;
    EXPECT_TRUE(Contains(ReadLogMessages(folder.file(L"kestrel_err_list.txt")), missing));
}

TEST_F(ThumbnailJob, ExceptionMarkSkipsTheMovieOnceAndIsCleared) {
    Set(L"exception", 1);
    const std::wstring movie = Movie(L"seconds_640x360_noaudio.mp4");
    Request({movie}, {-1, 30000000});
    ASSERT_TRUE(listener.WaitForCount(2));
    for (const auto& r : listener.Responses()) {
        EXPECT_EQ(r.error_image_used, 1);
        EXPECT_EQ(r.duration, 0);
        EXPECT_EQ(r.positions, (std::vector<int64_t>{-1, 30000000}));
    }
    EXPECT_EQ(Get(L"exception", -1), 0);
    EXPECT_TRUE(Contains(Main(), L"[LOG_LINE] (ini) exception=1 file(" + movie + L")"));
    EXPECT_FALSE(Contains(Main(), L"(file)" + movie));  // never opened
    EXPECT_TRUE(Contains(ReadLogMessages(folder.file(L"kestrel_err_list.txt")), movie));
    // With the error image's own size as the tile size.
    ImagePixels image;
    ASSERT_TRUE(LoadImagePixels(Output(L"strip1"), image));
    EXPECT_EQ(image.width, 320);
    EXPECT_EQ(image.height, 90);
}

TEST_F(ThumbnailJob, SaveTypesWriteBmpJpegPngOrNothing) {
    const std::wstring movie = folder.file(L"missing.mp4");
    const std::pair<int, std::string> types[] = {{0, "BM"}, {1, "\xFF\xD8"}, {2, "\x89P"}};
    for (const auto& type : types) Request({movie}, {-1}, type.first, 32, 18, L"type" + std::to_wstring(type.first) + L"-");
    Request({movie}, {-1}, 5, 32, 18, L"type5-");
    ASSERT_TRUE(listener.WaitForCount(4));
    for (const auto& type : types) {
        const std::wstring path = Output(L"type" + std::to_wstring(type.first) + L"-1");
        EXPECT_EQ(ReadFileBytes(path).substr(0, 2), type.second) << type.first;
        ImagePixels image;
        EXPECT_TRUE(LoadImagePixels(path, image));
        EXPECT_EQ(image.width, 32);
    }
    EXPECT_FALSE(FileExists(Output(L"type5-1")));
}

TEST_F(ThumbnailJob, RequestsAreWorkedInOrderAndRequestCountCountsDown) {
    const std::wstring a = folder.file(L"a.mp4"), b = folder.file(L"b.mp4"), c = folder.file(L"c.mp4");
    Request({a, b, c}, {-1}, 0, 16, 9);
    ASSERT_TRUE(listener.WaitForCount(3));
    const auto responses = listener.Responses();
    EXPECT_EQ(responses[0].request_id, 1);
    EXPECT_EQ(responses[0].request_count, 2);
    EXPECT_EQ(responses[1].request_id, 2);
    EXPECT_EQ(responses[1].request_count, 1);
    EXPECT_EQ(responses[2].request_id, 3);
    EXPECT_EQ(responses[2].request_count, 0);
    const auto errors = ReadLogMessages(folder.file(L"kestrel_err_list.txt"));
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0], a);
    EXPECT_EQ(errors[2], c);
}

TEST_F(ThumbnailJob, RequestWithoutPositionsIsRemovedSilently) {
    Request({Movie(L"seconds_640x360_noaudio.mp4")}, {});
    ASSERT_TRUE(WaitFor([&] { return JobsEnded() == 1; }));
    EXPECT_FALSE(FileExists(Output(L"strip1")));
    EXPECT_TRUE(listener.Responses().empty());
    EXPECT_EQ(ReadFileBytes(folder.file(L"TessaloomDataList.dat")).size(), 8u);
}

class GatedThumbnailJob : public ThumbnailJob {
protected:
    GatedThumbnailJob() : ThumbnailJob(true) {}
};

TEST_F(GatedThumbnailJob, AfterTheFirstTileTheFileShowsOneTileAndBlack) {
    Request({Movie(L"seconds_640x360_noaudio.mp4")}, {-1, -1, -1, -1});
    ASSERT_TRUE(listener.WaitForHeldWriter());
    // The job is held in its first response, right after saving tile 1.
    ImagePixels image;
    ASSERT_TRUE(LoadImagePixels(Output(L"strip1"), image));
    ASSERT_EQ(image.width, 2560);
    EXPECT_TRUE(Near(image.Average(0, 0, 640, 360), SecondsMovieColour(15000000), 40));
    for (int j = 1; j < 4; ++j)
        EXPECT_TRUE(Near(image.Average(j * 640, 0, 640, 360), Rgb{0, 0, 0}, 0)) << j;
    for (int i = 0; i < 4; ++i) {
        listener.Release();
        if (i < 3) {
            ASSERT_TRUE(listener.WaitForHeldWriter());
        }
    }
    ASSERT_TRUE(listener.WaitForCount(4));
    EXPECT_EQ(listener.Responses()[0].decode_count, 3);
    EXPECT_EQ(listener.Responses()[3].decode_count, 0);
}

}  // namespace
