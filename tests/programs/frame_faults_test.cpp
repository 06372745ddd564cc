// The real service meets codecs that stall: timeouts that abort a movie, and the
// first-frame limit.
#include <gtest/gtest.h>

#include "tests/support/service_fixture.h"

using namespace testing_support;

namespace {

constexpr int64_t kMs = 10000;  // 100 ns units
constexpr int kTileWidth = 32, kTileHeight = 24;

class FrameFaults : public ServiceFixture {
protected:
    FrameFaults() : ServiceFixture(L"frame-faults") {}

    size_t LinesAbout(const std::vector<std::wstring>& lines, const std::wstring& prefix, const std::wstring& movie) {
        const std::wstring suffix = L"file(" + movie + L")";
        size_t n = 0;
        for (const auto& l : lines)
            if (l.rfind(prefix, 0) == 0 && l.size() >= suffix.size() &&
                l.compare(l.size() - suffix.size(), suffix.size(), suffix) == 0)
                ++n;
        return n;
    }
    size_t FirstFrameTimeouts() {
        size_t n = 0;
        for (const auto& l : Main())
            if (l.rfind(L"(timeout)decode_frame wait ", 0) == 0 && l.size() > 8 && l.substr(l.size() - 8) == L" (first)")
                ++n;
        return n;
    }
};

// One service, one request per case, the settings changed between them: a timeout
// ends the wait for a frame; the abort limit's third timeout in a row stops decoding
// (later tiles are error tiles without a decode call), a frame that decodes resets
// the count, limit 0 never aborts; the first frame has its own limit.
TEST_F(FrameFaults, ConsecutiveTimeoutsAndTheFirstFrameLimit) {
    Set(L"decode_use_media_foundation_on_dshow_fail", 0);
    Set(L"decode_first_frame_timeout_ms", 500);
    StartService();
    const struct {
        const char* name;
        const char* instructions;
        int abortLimit;
        int frameLimitMs;
        std::vector<int64_t> positionsMs;
        size_t decodeCalls;
        size_t firstFrameTimeouts;
        const char* tiles;
    } cases[] = {
        {"reset", "stall=1000-2999,4000-", 3, 500, {500, 1500, 2500, 3500, 4500, 5500, 6500, 7500}, 7, 0, "DEEDEEEE"},
        {"never", "stall=0-", 0, 500, {500, 1500, 2500, 3500}, 4, 1, "EEEE"},
        {"past the end", "", 3, 500, {20000, 21000, 22000, 23000, 24000}, 3, 1, "EEEEE"},
        {"first frame", "first_frame_delay_ms=1500", 3, 5000, {500, 1500, 2500}, 3, 1, "EDD"},
    };
    int32_t id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++id;
        Set(L"decode_abort_after_consecutive_frame_timeouts", c.abortLimit);
        Set(L"decode_frame_timeout_ms", c.frameLimitMs);
        const std::wstring movie = WriteFaultMovie(folder.file(L"case" + std::to_wstring(id) + L".fault"), c.instructions);
        std::vector<int64_t> positions;
        for (int64_t ms : c.positionsMs) positions.push_back(ms * kMs);
        const size_t firstBefore = FirstFrameTimeouts();
        const std::wstring strip = Output(L"strip" + std::to_wstring(id));
        ASSERT_TRUE(SendRequest(client, MakeRequest({MakeItem(id, movie, strip, positions)}, kTileWidth, kTileHeight)));
        ASSERT_TRUE(WaitForFinal(id));
        EXPECT_EQ(LinesAbout(Main(), L"[LOG_LINE]  decode-call index=", movie), c.decodeCalls);
        EXPECT_EQ(FirstFrameTimeouts() - firstBefore, c.firstFrameTimeouts);
        ImagePixels image;
        ASSERT_TRUE(LoadImagePixels(strip, image));
        EXPECT_EQ(TileKinds(image, kTileWidth, static_cast<int>(positions.size())), c.tiles);
    }
}

}  // namespace
