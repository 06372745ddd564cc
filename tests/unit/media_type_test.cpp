// Media type copies and the video header inside a format block. (The names of
// offered types are checked in the capture renderer's trace.)
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <dvdmedia.h>
#include <cstring>

#include "service/dshow/media_type.h"

namespace {

TEST(OwnedMediaType, CopiesOwnTheirFormatBlock) {
    VIDEOINFOHEADER vih{};
    vih.bmiHeader.biWidth = 320;
    AM_MEDIA_TYPE mt{};
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(vih);
    mt.pbFormat = reinterpret_cast<BYTE*>(&vih);
    OwnedMediaType a(mt);
    ASSERT_NE(a.get().pbFormat, mt.pbFormat);
    vih.bmiHeader.biWidth = 1;
    OwnedMediaType b = a;
    ASSERT_NE(b.get().pbFormat, a.get().pbFormat);
    EXPECT_EQ(VideoBitmapHeader(b.get())->biWidth, 320);
    OwnedMediaType c = std::move(b);
    EXPECT_EQ(b.get().pbFormat, nullptr);
    EXPECT_EQ(VideoBitmapHeader(c.get())->biWidth, 320);
}

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
