// Snapwick.exe run as its users run it: on real movies with the real service beside
// it, the velmar.exe stand-in recording its calls; rejected arguments and a second
// run; no service; and the ZIP of the files that go side by side.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>

#include "client/process_state.h"
#include "common/console.h"
#include "common/inifile.h"
#include "common/pipe.h"
#include "tests/support/pixels.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const wchar_t kClient[] = L"Snapwick";

class SnapwickRun : public ::testing::Test {
protected:
    void SetUp() override {
        // No run here depends on an update server.
        const std::wstring work = snapwick::WorkFolder();
        CreateDirectoryW(work.c_str(), nullptr);
        Inifile_CL ini;
        ini.SetPath(work + L"\\Snapwick.ini");
        ini.SetInt(L"VERSION", L"notify", 1);
    }
    void TearDown() override {
        if (FindServiceWindow(kClient)) KillServiceWindows(kClient);
    }

    // The client, the stand-in and (when asked) the service with its error image, side by side.
    void Install(bool withService) {
        std::vector<std::wstring> files = {L"Snapwick.exe", L"velmar.exe"};
        if (withService) files.insert(files.end(), {L"Tessaloom.exe", L"decode_err_image.JPG"});
        for (const auto& f : files)
            ASSERT_TRUE(CopyFileW((ProgramFolder() + L"\\" + f).c_str(), install.file(f).c_str(), FALSE));
    }

    // Runs Snapwick.exe from `folder` and returns its exit code; output: stdout and stderr.
    DWORD Run(const std::wstring& folder, const std::wstring& arguments, std::string& output) {
        ChildProcess snapwick;
        EXPECT_TRUE(snapwick.Start(folder + L"\\Snapwick.exe", arguments, true));
        DWORD code = 1;
        EXPECT_TRUE(snapwick.Wait(180000, &code));
        output = snapwick.Stdout();
        return code;
    }

    // What the stand-in recorded: its arguments, one per line, in UTF-8.
    std::string VelmarCalls() { return ReadFileBytes(install.file(L"velmar_calls.txt")); }
    static std::string VelmarCall(const std::wstring& seconds, const std::wstring& file) {
        return "-s\n0\n" + ToUtf8(seconds) + "\n" + ToUtf8(file) + "\n";
    }

    // The frame file shows the movie's colour of that second.
    void ExpectFrameOfSecond(const std::wstring& file, const std::wstring& seconds, int width, int height) {
        ImagePixels image;
        ASSERT_TRUE(LoadImagePixels(file, image)) << ToUtf8(file);
        EXPECT_EQ(ReadFileBytes(file).substr(0, 2), "\xFF\xD8");
        EXPECT_EQ(image.width, width);
        EXPECT_EQ(image.height, height);
        const Rgb want = SecondsMovieColour(_wtoi64(seconds.c_str()) * kSecond);
        EXPECT_TRUE(Near(image.Average(0, 0, image.width, image.height), want, 40))
            << Describe(image.Average(0, 0, image.width, image.height)) << " want " << Describe(want);
    }

    ScratchFolder install{L"snapwick-install"};
    ScratchFolder out{L"snapwick out"};
    GdiplusSession gdiplus;
};

TEST_F(SnapwickRun, FourFramesOfARealMovieBecomeFourJpegsAndFourVelmarCalls) {
    Install(true);
    const std::wstring folder = out.file(L"frames & more");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::string output;
    const DWORD code = Run(install.path(),
                           L"\"" + Movie(L"seconds_640x360_h264_aac.mp4") + L"\" -x \"" + folder + L"\\thumb.jpg\" 4 Normal",
                           output);
    EXPECT_EQ(code, 0u) << output;
    // Evenly spaced over 12 s: 1.5, 4.5, 7.5 and 10.5 s.
    const wchar_t* seconds[] = {L"1", L"4", L"7", L"10"};
    std::string calls;
    for (size_t i = 0; i < 4; ++i) {
        const std::wstring file = folder + L"\\thumb_" + std::to_wstring(i) + L".jpg";
        calls += VelmarCall(seconds[i], file);
        ExpectFrameOfSecond(file, seconds[i], 640, 360);
    }
    EXPECT_EQ(VelmarCalls(), calls) << output;
    EXPECT_NE(output.find("tile 1/4\n"), std::string::npos) << output;
    EXPECT_NE(output.find("tile 4/4\n"), std::string::npos) << output;
    // The service it started is closed again.
    EXPECT_EQ(FindServiceWindow(kClient), nullptr);
}

TEST_F(SnapwickRun, JapaneseMovieNameAndOneRandomFrameWrittenToTheOutputItself) {
    Install(true);
    const std::wstring movie = out.file(L"動画 テスト.mp4");
    ASSERT_TRUE(CopyFileW(Movie(L"seconds_640x360_noaudio.mp4").c_str(), movie.c_str(), FALSE));
    const std::wstring output = out.file(L"結果.jpg");
    std::string text;
    EXPECT_EQ(Run(install.path(), L"\"" + movie + L"\" \"" + output + L"\" 1 RANDOM", text), 0u) << text;
    // One call, for a random second of the movie.
    const std::string calls = VelmarCalls();
    int second = -1;
    for (int s = 0; s < 12; ++s)
        if (calls == VelmarCall(std::to_wstring(s), output)) second = s;
    ASSERT_NE(second, -1) << calls << text;
    ExpectFrameOfSecond(output, std::to_wstring(second), 640, 360);
}

// More frames than a JPEG strip holds side by side (36 x 1,920 px): the service makes
// them smaller, 1,819 px wide at the same aspect, and every one is written and handed on.
TEST_F(SnapwickRun, MoreFramesThanAJpegStripHoldsAreAllWrittenSmaller) {
    Install(true);
    std::string output;
    EXPECT_EQ(Run(install.path(),
                  L"\"" + Movie(L"seconds_1920x360_h264.mp4") + L"\" \"" + out.file(L"w.jpg") + L"\" 36 normal", output),
              0u)
        << output;
    std::string calls;
    for (int i = 0; i < 36; ++i) {
        const std::wstring file = out.file(L"w_" + std::to_wstring(i) + L".jpg");
        const std::wstring seconds = std::to_wstring((1666666 + int64_t{i} * 3333333) / kSecond);
        calls += VelmarCall(seconds, file);
        ExpectFrameOfSecond(file, seconds, 1819, 341);
    }
    EXPECT_EQ(VelmarCalls(), calls) << output;
}

TEST_F(SnapwickRun, RejectedArgumentsAndABusyPipeLeaveTheRunningServiceAlone) {
    // A service serving this client: a rejected run must not close it.
    ServiceProcess running(kClient, out.path());
    ASSERT_TRUE(running.Start());
    const HWND window = running.WaitWindow();
    ASSERT_NE(window, nullptr);
    for (const wchar_t* arguments : {L"movie.mp4 out.jpg 0 normal", L"movie.mp4 out.jpg 3 fast",
                                     L"\"\" out.jpg 3 normal", L"movie.mp4 \"\" 3 normal"}) {
        std::string output;
        EXPECT_EQ(Run(ProgramFolder(), arguments, output), 0xFFFFFFFFu) << ToUtf8(arguments);
        EXPECT_NE(output.find("usage: Snapwick"), std::string::npos) << output;
    }
    // Too many frames for a strip is said as such.
    std::string tooMany;
    EXPECT_EQ(Run(ProgramFolder(), L"movie.mp4 out.jpg 4094 normal", tooMany), 0xFFFFFFFFu);
    EXPECT_NE(tooMany.find("at most 4093 frames"), std::string::npos) << tooMany;
    // Nor may a run while another run holds the response pipe.
    PipeServer_CL otherRun;
    otherRun.pipeName = kClient;
    ASSERT_EQ(otherRun.start(), S_OK);
    std::string output;
    EXPECT_EQ(Run(ProgramFolder(), L"movie.mp4 out.jpg 1 normal", output), 0u);
    EXPECT_NE(output.find("another Snapwick run is in progress"), std::string::npos) << output;

    EXPECT_EQ(FindServiceWindow(kClient), window);
    EXPECT_FALSE(FileExists(out.file(L"TessaloomDataList.dat")));
    EXPECT_TRUE(running.Close());
}

TEST_F(SnapwickRun, WithoutTheServiceItWaitsItsMinuteAndWritesNothing) {
    Install(false);
    std::string output;
    EXPECT_EQ(Run(install.path(), L"\"" + Movie(L"seconds_640x360_noaudio.mp4") + L"\" \"" + out.file(L"t.jpg") + L"\" 2 normal", output),
              0u);
    EXPECT_NE(output.find("no answer from the service within 60 s"), std::string::npos) << output;
    EXPECT_FALSE(FileExists(out.file(L"t_0.jpg")));
    EXPECT_FALSE(FileExists(out.file(L"t_1.jpg")));
    EXPECT_FALSE(FileExists(install.file(L"velmar_calls.txt")));
}

// Names and uncompressed sizes from a ZIP's central directory (bounds-checked).
std::map<std::string, uint32_t> ZipEntries(const std::string& zip) {
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(static_cast<unsigned char>(zip[at]) | static_cast<unsigned char>(zip[at + 1]) << 8); };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    std::map<std::string, uint32_t> entries;
    const size_t end = zip.rfind(std::string("PK\x05\x06", 4));
    if (end == std::string::npos || end + 22 > zip.size()) return entries;
    size_t at = u32(end + 16);
    for (uint32_t i = 0, count = u16(end + 10); i < count; ++i) {
        if (at + 46 > zip.size() || zip.compare(at, 4, std::string("PK\x01\x02", 4)) != 0) return {};
        const size_t name = u16(at + 28), extra = u16(at + 30), comment = u16(at + 32);
        if (at + 46 + name > zip.size()) return {};
        entries[zip.substr(at + 46, name)] = u32(at + 24);
        at += 46 + name + extra + comment;
    }
    return entries;
}

TEST(SnapwickPackage, HoldsExactlyTheFilesThatGoSideBySide) {
    const auto entries = ZipEntries(ReadFileBytes(ProgramFolder() + L"\\..\\package-test\\Tessaloom.zip"));
    std::vector<std::string> names;
    for (const auto& e : entries) {
        names.push_back(e.first);
        EXPECT_GT(e.second, 0u) << e.first;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"DEPLOY.txt", "Snapwick.exe", "Snapwick.ini", "Tessaloom.exe", "Thumbnail.ini",
                                               "decode_err_image.JPG", "frame_dump.exe", "requester.exe"}));
}

}  // namespace
