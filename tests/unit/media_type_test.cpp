// The video header inside a format block.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <dvdmedia.h>
#include <cstring>

#include "service/dshow/media_type.h"

namespace {

TEST(VideoBitmapHeader, NeedsAWholeHeaderOfTheNamedFormat) {
    VIDEOINFOHEADER2 vih2{};
    AM_MEDIA_TYPE mt{};
    mt.pbFormat = reinterpret_cast<BYTE*>(&vih2);
    mt.formattype = FORMAT_VideoInfo2;
    mt.cbFormat = sizeof(vih2);
    EXPECT_EQ(VideoBitmapHeader(mt), &vih2.bmiHeader);
    mt.cbFormat = sizeof(vih2) - 1;
    EXPECT_EQ(VideoBitmapHeader(mt), nullptr);
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(VIDEOINFOHEADER) - 1;
    EXPECT_EQ(VideoBitmapHeader(mt), nullptr);
    mt.formattype = FORMAT_MPEG2Video;
    mt.cbFormat = sizeof(vih2);
    EXPECT_EQ(VideoBitmapHeader(mt), nullptr);
}

}  // namespace
