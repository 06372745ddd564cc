// The size limit of frames from the Media Foundation route.
#include <gtest/gtest.h>

#include "service/frame_source/media_foundation_decode.h"

namespace {

TEST(MediaFoundationFrameSize, LongerSideIsLimitedTo1280InProportion) {
    const int cases[][4] = {{1920, 1080, 1280, 720}, {1080, 1920, 720, 1280}, {1281, 100, 1280, 99},
                            {20000, 1, 1280, 1},     {1280, 1280, 1280, 1280}, {322, 242, 322, 242},
                            {2139, 1203, 1280, 719}};
    for (const auto& c : cases) {
        const ScaledFrameSize s = MediaFoundationFrameSize(c[0], c[1]);
        EXPECT_EQ(s.width, c[2]) << c[0] << "x" << c[1];
        EXPECT_EQ(s.height, c[3]) << c[0] << "x" << c[1];
    }
}

}  // namespace
