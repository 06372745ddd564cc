// A fixture for tests of the frame source: COM and GDI+ started, and the main and
// decode-list logs written into a scratch folder for the test to read back.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/logs.h"
#include "common/scoped.h"
#include "service/frame_source/thumbnail_maker.h"
#include "testing/support/pixels.h"
#include "testing/support/test_support.h"

namespace testing_support {

// The middle of second `second` of a movie, in 100 ns units.
constexpr int64_t MidSecond(int second) { return second * kSecond + kSecond / 2; }

// The frame at the position, or null when the frame source did not answer Success.
inline Gdiplus::Bitmap* FrameAt(DShowThumbnailMaker_CL& source, int64_t position) {
    DecodeFrameResult result = Failed;
    Gdiplus::Bitmap* frame = source.DecodeFrame(position, &result);
    return result == Success ? frame : nullptr;
}

class CapturedLogsTest : public ::testing::Test {
protected:
    explicit CapturedLogsTest(const wchar_t* folderName = L"frame-source") : folder_(folderName) {}
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(com_.result()));
        ASSERT_TRUE(gdiplus_.ok());
        mainLog.path = folder_.file(L"kestrel_log.txt");
        decodeListLog.path = folder_.file(L"kestrel_dec_list.txt");
    }
    void TearDown() override {
        mainLog.path.clear();
        decodeListLog.path.clear();
    }
    std::vector<std::wstring> MainLines() const { return ReadLogMessages(mainLog.path); }
    std::vector<std::wstring> ListLines() const { return ReadLogMessages(decodeListLog.path); }

    ComApartment com_;
    GdiplusSession gdiplus_;
    ScratchFolder folder_;
    UniqueHandle cancel_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // the frame source's cancel event
};

}  // namespace testing_support
