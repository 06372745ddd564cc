// Snapwick's pure rules: frame file names, seconds, request ids, version comparison.
#include <gtest/gtest.h>

#include <set>

#include "client/frame_files.h"
#include "client/process_state.h"
#include "client/update/version_file.h"

using namespace snapwick;

namespace {

TEST(SnapwickRules, FrameFileNamesAndSeconds) {
    EXPECT_EQ(FrameFileName(L"C:\\out\\thumb.jpg", 0, 3), L"C:\\out\\thumb_0.jpg");
    EXPECT_EQ(FrameFileName(L"C:\\out\\thumb.png", 0, 1), L"C:\\out\\thumb.png");
    EXPECT_EQ(FrameFileName(L"C:\\my.folder\\a.b.png", 1, 2), L"C:\\my.folder\\a.b_1.jpg");
    EXPECT_EQ(FrameFileName(L"C:\\out\\noext", 1, 2), L"C:\\out\\noext_1.jpg");
    const int64_t seconds[][2] = {{125000000, 12}, {-10000000, -1}, {9999999, 0}};  // 100 ns units; whole seconds
    for (const auto& s : seconds) EXPECT_EQ(PositionSeconds(s[0]), s[1]) << s[0];
}

// Each run asks with an id of its own, never zero: an answer meant for another run never matches.
TEST(SnapwickRules, RequestIdsAreOwnedByOneRun) {
    std::set<int32_t> ids;
    for (uint64_t tick : {1000ULL, 1001ULL, 1000ULL + 32767, 0ULL, UINT64_MAX})
        for (uint32_t pid : {0x24u, 0x28u, 0u, 0xFFFFFFFFu}) {
            const int32_t id = RunRequestId(pid, tick);
            EXPECT_GT(id, 0) << pid << " " << tick;
            EXPECT_TRUE(ids.insert(id).second) << pid << " " << tick;
        }
}

TEST(SnapwickRules, VersionComparison) {
    const struct {
        const wchar_t *current, *remote;
        bool newer;
    } versions[] = {
        {L"1.0.0", L"1.0.0.1", true}, {L"1.0.0", L"1.0", false}, {L"1.9", L"1.10", true}, {L"1.10", L"1.9", false},
        {L"1.0.0", L" 1.0.1\r\n", true}, {L"1.0.0", L"2.0beta", true}, {L"1.0.0", L"..1", false},
        {L"1.0.0", L"", false}, {L"1.0.0", L"99999999999999999999999.0", true},
    };
    for (const auto& v : versions)
        EXPECT_EQ(IsNewerVersion(v.current, v.remote), v.newer) << testing::PrintToString(std::wstring(v.remote));
}

}  // namespace
