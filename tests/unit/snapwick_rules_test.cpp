// Snapwick's pure rules: arguments, frame file names and tiles, seconds, the outside
// program's command line, the version file and version comparison.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <algorithm>

#include "client/command_line.h"
#include "client/frame_files.h"
#include "client/outside_program.h"
#include "client/process_state.h"
#include "client/update/version_file.h"
#include "common/scoped.h"

using namespace snapwick;

namespace {

class SilentCommandLine : public CommandLine_CL {
protected:
    void onArgument(const std::wstring&) override {}
};

struct ArgumentCase {
    const wchar_t* commandLine;
    bool accepted;
    const wchar_t* movie;
    const wchar_t* output;
    int frames;
    int64_t mode;
};

TEST(SnapwickArguments, PositionalsOptionsAndRules) {
    const ArgumentCase cases[] = {
        {L"s.exe movie.mp4 out.jpg 3 Random", true, L"movie.mp4", L"out.jpg", 3, kRandom},
        {L"s.exe movie.mp4 out.jpg 12 NORMAL", true, L"movie.mp4", L"out.jpg", 12, kEvenlySpaced},
        // Options anywhere do not move the positionals.
        {L"s.exe -x movie.mp4 /y out.jpg -z 2 normal /w", true, L"movie.mp4", L"out.jpg", 2, kEvenlySpaced},
        {L"s.exe \"C:\\my movies\\a b.mp4\" \"C:\\out & more\\t.jpg\" 1 random", true,
         L"C:\\my movies\\a b.mp4", L"C:\\out & more\\t.jpg", 1, kRandom},
        {L"s.exe movie.mp4 out.jpg 0 normal", false},
        {L"s.exe movie.mp4 out.jpg -3 normal", false},
        {L"s.exe movie.mp4 out.jpg 3 fast", false},
        {L"s.exe movie.mp4 out.jpg 3", false},
        {L"s.exe \"\" out.jpg 3 normal", false},
        {L"s.exe movie.mp4 \"\" 3 normal", false},
        // Not a number, or more frames than a JPEG strip can hold at 16 px each.
        {L"s.exe movie.mp4 out.jpg 3x normal", false},
        {L"s.exe movie.mp4 out.jpg 99999999999 normal", false},
        {L"s.exe movie.mp4 out.jpg 4094 normal", false},
        {L"s.exe movie.mp4 out.jpg 4093 normal", true, L"movie.mp4", L"out.jpg", 4093, kEvenlySpaced},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.commandLine, c.commandLine + wcslen(c.commandLine)));
        SilentCommandLine commandLine;
        commandLine.parse(c.commandLine);
        ClientArguments arguments;
        ASSERT_EQ(CheckArguments(commandLine, arguments), c.accepted);
        if (!c.accepted) continue;
        EXPECT_EQ(arguments.movie, c.movie);
        EXPECT_EQ(arguments.output, c.output);
        EXPECT_EQ(arguments.frames, c.frames);
        EXPECT_EQ(arguments.modeCode, c.mode);
    }
}

TEST(SnapwickFrames, FileNames) {
    struct Case {
        const wchar_t* output;
        size_t index, count;
        const wchar_t* name;
    } cases[] = {
        {L"C:\\out\\thumb.jpg", 0, 3, L"C:\\out\\thumb_0.jpg"},
        {L"C:\\out\\thumb.jpg", 2, 3, L"C:\\out\\thumb_2.jpg"},
        {L"C:\\out\\thumb.png", 0, 1, L"C:\\out\\thumb.png"},
        {L"C:\\out\\a.b.png", 1, 2, L"C:\\out\\a.b_1.jpg"},
        {L"thumb.jpg", 0, 2, L"\\thumb_0.jpg"},
        {L"C:\\out\\noext", 1, 2, L"C:\\out\\noext_1.jpg"},
        {L"C:\\out\\.hidden", 0, 2, L"C:\\out\\_0.jpg"},
        {L"C:\\my.folder\\thumb", 0, 2, L"C:\\my.folder\\thumb_0.jpg"},
        {L"C:/out/thumb.jpg", 1, 2, L"C:/out\\thumb_1.jpg"},
    };
    for (const auto& c : cases) EXPECT_EQ(FrameFileName(c.output, c.index, c.count), c.name);
}

TEST(SnapwickFrames, TileWidthsAndSeconds) {
    EXPECT_EQ(TileWidth(640, 3), 213u);  // columns 0, 213, 426; the last column is unused
    EXPECT_EQ(TileWidth(2560, 4), 640u);
    EXPECT_EQ(TileWidth(2, 3), 0u);
    EXPECT_EQ(TileWidth(640, 0), 0u);
    EXPECT_EQ(PositionSeconds(125000000), 12);
    for (int64_t p : {-9999999LL, -1LL, 0LL, 9999999LL}) EXPECT_EQ(PositionSeconds(p), 0) << p;
    EXPECT_EQ(PositionSeconds(-10000000), -1);
    EXPECT_EQ(PositionSeconds(INT64_MAX), 922337203685LL);
}

// Each run asks with an id of its own: an answer meant for another run never matches.
TEST(SnapwickRequestId, NeverZeroAndOwnedByOneRun) {
    const struct {
        uint32_t pid;
        uint64_t tick;
    } runs[] = {{0x24, 1000}, {0x24, 1001}, {0x24, 1000 + 32767}, {0x28, 1000}, {0, 0}, {1, 0},
                {0xFFFFFFFF, UINT64_MAX}};
    std::vector<int32_t> ids;
    for (const auto& run : runs) {
        const int32_t id = RunRequestId(run.pid, run.tick);
        EXPECT_NE(id, 0) << run.pid << " " << run.tick;
        EXPECT_GE(id, 0) << run.pid << " " << run.tick;
        EXPECT_EQ(std::count(ids.begin(), ids.end(), id), 0) << run.pid << " " << run.tick;
        ids.push_back(id);
    }
}

TEST(SnapwickOutsideProgram, CommandLineSplitsBackIntoTheSameArguments) {
    // Quotes only where they must be.
    EXPECT_EQ(OutsideProgramCommandLine(L"C:\\app\\velmar.exe", 12, L"C:\\out\\thumb_0.jpg"),
              L"C:\\app\\velmar.exe -s 0 12 C:\\out\\thumb_0.jpg");
    EXPECT_EQ(OutsideProgramCommandLine(L"C:\\Program Files\\velmar.exe", 3, L"C:\\a\tb\\t.jpg"),
              L"\"C:\\Program Files\\velmar.exe\" -s 0 3 \"C:\\a\tb\\t.jpg\"");
    for (const std::wstring program : {L"C:\\Program Files\\Snap wick\\velmar.exe", L"C:\\app\\velmar.exe"}) {
        for (const std::wstring file : {L"C:\\out\\t_0.jpg", L"C:\\a b & c | d %PATH%\\t_1.jpg", L"C:\\日本語 フォルダ\\t.jpg",
                                        L"C:\\odd\\", L"C:\\q\"uote\\x.jpg", L"", L"C:\\odd folder\\"}) {
            const std::wstring line = OutsideProgramCommandLine(program, 12, file);
            int argc = 0;
            LocalMemory<LPWSTR*> argv(CommandLineToArgvW(line.c_str(), &argc));
            ASSERT_EQ(argc, 5) << std::string(line.begin(), line.end());
            EXPECT_EQ(std::wstring(argv.get()[0]), program);
            EXPECT_EQ(std::wstring(argv.get()[1]), L"-s");
            EXPECT_EQ(std::wstring(argv.get()[2]), L"0");
            EXPECT_EQ(std::wstring(argv.get()[3]), L"12");
            EXPECT_EQ(std::wstring(argv.get()[4]), file);
        }
    }
}

TEST(SnapwickVersionFile, BothForms) {
    struct Case {
        std::string bytes;
        const wchar_t* version;
        const wchar_t* url;
        std::string extra;
    } cases[] = {
        {"{ \"version\" : \" 1.2.0 \",\n \"url\": \"https://example.com/dl\" }", L"1.2.0", L"https://example.com/dl", ""},
        {"{\"url\":\"http://x/\",\"version\":\"2.0\"}", L"2.0", L"http://x/", ""},
        // Older form: 7 bytes, a line break, the URL; text after a NUL is extra.
        {"1.2.3.4\r\nhttp://example.com/old\r\n", L"1.2.3.4", L"http://example.com/old", ""},
        {std::string("1.2.3.4\r\nhttp://x/\0notes", 24), L"1.2.3.4", L"http://x/", "notes"},
        {"1.0\r\n", L"1.0", L"", ""},
        {"<html><body>Not Found</body></html>", L"<html><", L"dy>Not Found</body></html>", ""},
        {"{\"version\": \"3.0\"}", L"{\"versi", L"\": \"3.0\"}", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const VersionFile file = ParseVersionFile(c.bytes);
        EXPECT_EQ(file.version, c.version);
        EXPECT_EQ(file.url, c.url);
        EXPECT_EQ(file.extraText, c.extra);
    }
}

TEST(SnapwickVersionFile, IsNewerVersion) {
    struct Case {
        const wchar_t* current;
        const wchar_t* remote;
        bool newer;
    } cases[] = {
        {L"1.0.0", L"1.0.0.1", true}, {L"1.0.0", L"1.0", false},     {L"1.9", L"1.10", true},
        {L"1.10", L"1.9", false},     {L"1.0.0", L" 1.0.1\r\n", true}, {L"1.0.0", L"0.0.0.0", false},
        {L"1.0.0", L"2.0beta", true}, {L"1.0.0", L"..1", false},      {L"1.0.0", L"", false},
        {L"1.0.0", L"99999999999999999999999.0", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsNewerVersion(c.current, c.remote), c.newer)
            << std::string(c.current, c.current + wcslen(c.current)) << " vs "
            << std::string(c.remote, c.remote + wcslen(c.remote));
}

}  // namespace
