// The real service decoding one movie with two frame sources at once: what a requester
// sees (tiles, their order, one response per tile) is what one source gives, while a
// stall or a fault hits one source.
#include <gtest/gtest.h>

#include "testing/support/service_fixture.h"

using namespace testing_support;

namespace {

constexpr int64_t kMs = 10000;  // 100 ns units

class ParallelDecode : public ServiceFixture {
protected:
    explicit ParallelDecode(bool gated = false) : ServiceFixture(L"parallel", gated) {}

    // Where the line stands in the main log; npos when it is not there.
    size_t Where(const std::wstring& line) {
        const auto lines = Main();
        const auto it = std::find(lines.begin(), lines.end(), line);
        return it == lines.end() ? std::wstring::npos : static_cast<size_t>(it - lines.begin());
    }
};

// Six tiles; the first source is held at tile 2 for some seconds, during which the
// second source decodes tiles 3 on. A stall times out in its own source only; a fault
// on the second source's thread (in its seek of tile 4) ends that source, and the first
// takes the tile over; one source at a time decodes the same tiles in plan order.
TEST_F(ParallelDecode, AStallOrAFaultInOneSourceLeavesTheOtherDecodingAndTheAnswersInOrder) {
    Set(L"decode_use_media_foundation_on_dshow_fail", 0);
    // Long enough for the second source to open and decode on, also on a busy machine.
    Set(L"decode_frame_timeout_ms", 6000);
    StartService();
    const struct {
        const char* name;
        const char* instructions;
        int parallel;
        const char* tiles;
        bool overlapped;  // tile 3 returned before tile 2
    } cases[] = {
        {"stall", "stall=2000-2999", 2, "DEDDDD", true},
        {"fault", "stall=2000-2999\nstall_for_ms=5000\ncrash=seek\ncrash_at_ms=4000-4999\ncrash_once=1", 2, "DDDDDD", true},
        {"one at a time", "stall=2000-2999", 1, "DEDDDD", false},
    };
    int32_t id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++id;
        Set(L"decode_parallel", c.parallel);
        const std::wstring movie = Fault(L"case" + std::to_wstring(id), c.instructions);
        const std::wstring file = L" file(" + movie + L")";
        Send(id, movie, 6);
        ASSERT_TRUE(WaitForFinal(id));
        EXPECT_EQ(Tiles(id, 6), c.tiles);
        const auto responses = ResponsesFor(id);
        ASSERT_EQ(responses.size(), 6u);
        for (int j = 0; j < 6; ++j) {
            EXPECT_EQ(responses[static_cast<size_t>(j)].decode_count, 5 - j);
            // The positions of the tiles answered so far, the requested ones for the rest.
            for (int k = 0; k < 6; ++k) EXPECT_EQ(responses[static_cast<size_t>(j)].positions[static_cast<size_t>(k)], (k + 1) * 1000 * kMs);
        }
        EXPECT_TRUE(Contains(Main(), L"[LOG_LINE] (ini) decode_parallel=" + std::to_wstring(c.parallel) + file));
        const size_t second = Where(L"[LOG_LINE]  decode-return index=2/6 frame=20000000 result=" +
                                    std::wstring(c.tiles[1] == 'E' ? L"1 has_bitmap=0" : L"0 has_bitmap=1") + file);
        const size_t third = Where(L"[LOG_LINE]  decode-return index=3/6 frame=30000000 result=0 has_bitmap=1" + file);
        ASSERT_NE(second, std::wstring::npos);
        ASSERT_NE(third, std::wstring::npos);
        EXPECT_EQ(third < second, c.overlapped);
        EXPECT_EQ(Contains(Main(), L"[LOG_LINE]  decode-source index=3/6 source=2" + file), c.parallel > 1);
        EXPECT_EQ(Contains(List(), L"(decode-parallel) source=2 fault index=4" + file), std::string(c.name) == "fault");
    }
    EXPECT_TRUE(service.process().Running());
    EXPECT_EQ(Count(Main(), L"★アプリ開始(Tessaloom-" + client + L")"), 1u);
}

class GatedParallelDecode : public ParallelDecode {
protected:
    GatedParallelDecode() : ParallelDecode(true) {}
};

// Each response held until the test looked at the file: it holds at least every tile
// answered so far. Tiles that the second source decoded while the job was held in a
// response are drawn and saved together; the strip and the responses are byte for byte
// those of one source at a time.
TEST_F(GatedParallelDecode, TilesDecodedMeanwhileShareOneSaveAndTheFileHoldsEveryAnsweredTile) {
    StartService();
    const std::wstring movie = Movie(L"seconds_640x360_noaudio.mp4");
    const std::wstring file = L" file(" + movie + L")";
    const std::vector<int64_t> planned = {10000000, 30000000, 50000000, 70000000, 90000000, 110000000};
    // Tiles [0, tiles) of the strip show their seconds.
    const auto shows = [&](int32_t id, int tiles) {
        ImagePixels image;
        if (!LoadImagePixels(Output(std::to_wstring(id)), image)) return false;
        for (int j = 0; j < tiles; ++j)
            if (!Near(image.Average(j * 64, 0, 64, 36), SecondsMovieColour(planned[static_cast<size_t>(j)]), 40)) return false;
        return true;
    };
    for (int32_t id : {1, 2}) {
        SCOPED_TRACE(id);
        Set(L"decode_parallel", id == 1 ? 2 : 1);
        ASSERT_TRUE(SendRequest(client, MakeRequest({MakeItem(id, movie, Output(std::to_wstring(id)),
                                                              std::vector<int64_t>(6, -1))}, 64, 36)));
        for (int answered = 0; answered < 6; ++answered) {
            ASSERT_TRUE(listener.WaitForHeldWriter()) << answered;
            EXPECT_EQ(ResponsesFor(id).size(), static_cast<size_t>(answered));
            EXPECT_TRUE(shows(id, answered + 1)) << answered;
            if (id == 1 && answered == 0) {
                // Held in the first response: the second source decodes tiles 3 and 4 meanwhile.
                ASSERT_TRUE(WaitForLine(L"kestrel_log.txt", L"[LOG_LINE]  decode-return index=4/6 frame=70000000 result=0 has_bitmap=1" + file));
            }
            if (id == 1 && answered == 1) {
                EXPECT_TRUE(shows(id, 4));
            }
            listener.Release();
        }
        ASSERT_TRUE(WaitForFinal(id));
    }
    size_t together = 0;
    for (const auto& line : Main()) together += line.rfind(L"[LOG_LINE]  save-tiles index=2-", 0) == 0;
    EXPECT_EQ(together, 1u);
    EXPECT_EQ(ReadFileBytes(Output(L"1")), ReadFileBytes(Output(L"2")));
    const auto parallel = ResponsesFor(1), serial = ResponsesFor(2);
    ASSERT_EQ(parallel.size(), 6u);
    ASSERT_EQ(serial.size(), 6u);
    for (size_t j = 0; j < 6; ++j) {
        EXPECT_EQ(parallel[j].decode_count, serial[j].decode_count);
        EXPECT_EQ(parallel[j].positions, serial[j].positions);
        EXPECT_EQ(parallel[j].error_image_used, 0);
    }
}

}  // namespace
