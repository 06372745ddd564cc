// The Media Foundation frame route on real movies: pixels, sizes, and the log lines of
// its success, end-of-stream, cancel and open-failure paths.
#include <gtest/gtest.h>

#include <memory>

#include "service/frame_source/media_foundation_decode.h"
#include "testing/support/captured_logs.h"

using namespace testing_support;

namespace {

class MediaFoundationDecode : public CapturedLogsTest {
protected:
    MediaFoundationDecode() : CapturedLogsTest(L"mf-decode") {}
    std::unique_ptr<Gdiplus::Bitmap> Decode(const wchar_t* movie, int64_t mfFrame, HANDLE cancel = nullptr) {
        path_ = Movie(movie);
        return std::unique_ptr<Gdiplus::Bitmap>(DecodeFrameWithMediaFoundation(path_, cancel, mfFrame));
    }
    std::wstring path_;
};

// Frames show their second; full HD comes back scaled to 1280x720, with a scale-down line.
TEST_F(MediaFoundationDecode, FramesComeWithTheirColourAtMost1280Wide) {
    auto frame = Decode(L"seconds_640x360_noaudio.mp4", MidSecond(3));
    ASSERT_NE(frame, nullptr) << Dump(MainLines());
    EXPECT_TRUE(frame->GetWidth() == 640 && SolidNear(*frame, kSecondColours[3], 24));
    EXPECT_TRUE(Contains(ListLines(), L"(mf-fallback) success iter=0 frame=35000000 file(" + path_ + L")"));

    frame = Decode(L"seconds_1920x1080_h264.mp4", 95 * kSecond / 10);
    ASSERT_NE(frame, nullptr) << Dump(MainLines());
    EXPECT_TRUE(frame->GetWidth() == 1280 && frame->GetHeight() == 720 && SolidNear(*frame, kSecondColours[9], 24));
    EXPECT_TRUE(Contains(ListLines(), L"(mf-fallback) scale-down 1920x1080 -> 1280x720 frame=95000000 file(" + path_ + L")"));
}

// A position past the end, a cancel already set (the service's auto-reset event: a look
// that takes it must give it back), a file that is not a movie.
TEST_F(MediaFoundationDecode, EndOfStreamCancelAndNotAMovieFail) {
    UniqueHandle cancel(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    const struct {
        const wchar_t* movie;
        int64_t frame;
        HANDLE cancel;
        const wchar_t* failure;  // the line before "exit fail"
    } cases[] = {
        {L"seconds_640x360_h264_aac.mp4", 20 * kSecond, nullptr, L"(mf-fallback) EOS iter=0 "},
        {L"seconds_640x360_h264_aac.mp4", 2 * kSecond, cancel.get(), L"(mf-fallback) cancel iter=0 "},
        {L"not_a_movie.mp4", 1, nullptr, L"(mf-fallback) MFCreateSourceReaderFromURL failed hr=0x80004005 "},
    };
    for (const auto& c : cases) {
        DeleteFileW(decodeListLog.path.c_str());
        EXPECT_EQ(Decode(c.movie, c.frame, c.cancel), nullptr);
        const std::wstring tail = L"frame=" + std::to_wstring(c.frame) + L" file(" + path_ + L")";
        const auto list = ListLines();
        ASSERT_GE(list.size(), 2u);
        EXPECT_EQ(list[list.size() - 2], c.failure + tail) << Dump(list);
        EXPECT_EQ(list.back(), L"(mf-fallback) exit fail " + tail);
    }
    EXPECT_EQ(WaitForSingleObject(cancel.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));  // still set
}

}  // namespace
