// Snapwick.exe run as its users run it: on a real movie with the real service beside
// it, the velmar.exe stand-in recording its calls.
#include <gtest/gtest.h>

#include <atomic>

#include "client/process_state.h"
#include "common/console.h"
#include "common/inifile.h"
#include "common/messages.h"
#include "common/pipe.h"
#include "testing/support/pixels.h"
#include "testing/support/test_support.h"

using namespace testing_support;

namespace {

const wchar_t kClient[] = L"Snapwick";

// Holds the service's pipe, so that the service keeps waiting for it; answers a request
// at once with its final response of two tiles, without any strip written.
struct PipeTaker : PipeServer_CL {
    PipeTaker() { pipeName = std::wstring(L"Tessaloom-") + kClient; }
    ~PipeTaker() override { stop(); }
    void handleMessage(const unsigned char* bytes, size_t count) override {
        ByteReader in(bytes, count);
        KRB_RequestDecodeRequest_CL request;
        int32_t type = 0;
        if (!peekMessageType(in, type) || type != DecodeRequest || request.read(in) != kReadOk || request.items.empty())
            return;
        KRB_ResponseDecode_CL response;
        response.request_id = request.items[0].request_id;
        response.positions.assign(2, kSecond);
        answered = SendWhenFree(kClient, ToPayload(response));
    }
    std::atomic<bool> answered{false};
};

// A service already running for this client is closed first; the frames come from the
// one the run starts. A frame file that cannot be written gets no velmar call. A second
// run answered without a strip cuts nothing: the first run's strip is not its own.
TEST(SnapwickRun, FramesOfARealMovieBecomeJpegsWithVelmarCallsAndNoStaleStripIsCut) {
    const std::wstring work = snapwick::WorkFolder();
    CreateDirectoryW(work.c_str(), nullptr);
    Inifile_CL ini;  // no run here depends on an update server
    ini.SetPath(work + L"\\Snapwick.ini");
    ini.SetInt(L"VERSION", L"notify", 1);
    ScratchFolder install(L"snapwick-install"), out(L"snapwick out");
    GdiplusSession gdiplus;
    for (const wchar_t* f : {L"Snapwick.exe", L"velmar.exe", L"Tessaloom.exe", L"decode_err_image.JPG"})
        ASSERT_TRUE(CopyFileW((ProgramFolder() + L"\\" + f).c_str(), install.file(f).c_str(), FALSE));
    const std::wstring calls = install.file(L"velmar_calls.txt");
    const std::wstring movie = Movie(L"seconds_640x360_h264_aac.mp4");
    // Runs the installed Snapwick.exe: its exit code, its stdout and stderr.
    const auto run = [&](const std::wstring& output, int frames, std::string& text) {
        ChildProcess snapwick;
        const std::wstring args = L"\"" + movie + L"\" -x \"" + output + L"\" " + std::to_wstring(frames) + L" Normal";
        EXPECT_TRUE(snapwick.Start(install.file(L"Snapwick.exe"), args, out.file(L"output.txt")));
        DWORD code = 1;
        EXPECT_TRUE(snapwick.Wait(180000, &code));
        text = ReadFileBytes(out.file(L"output.txt"));
        return code;
    };

    ServiceProcess old(kClient, out.path());
    ASSERT_TRUE(old.Start());
    ASSERT_NE(old.WaitWindow(), nullptr);
    const std::wstring folder = out.file(L"frames & more");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\thumb_2.jpg").c_str(), nullptr));  // in the way of frame 2
    std::string output;
    EXPECT_EQ(run(folder + L"\\thumb.jpg", 4, output), 0u) << output;
    // Evenly spaced over 12 s: 1.5, 4.5, 7.5 and 10.5 s.
    const wchar_t* seconds[] = {L"1", L"4", L"7", L"10"};
    std::string expected;
    for (size_t i : {0, 1, 3}) {
        const std::wstring file = folder + L"\\thumb_" + std::to_wstring(i) + L".jpg";
        expected += "-s\n0\n" + ToUtf8(seconds[i]) + "\n" + ToUtf8(file) + "\n";
        ImagePixels image;  // a JPEG of the movie's colour of that second
        ASSERT_TRUE(LoadImagePixels(file, image)) << ToUtf8(file);
        EXPECT_EQ(ReadFileBytes(file).substr(0, 2), "\xFF\xD8");
        EXPECT_TRUE(image.width == 640 && image.height == 360);
        EXPECT_TRUE(Near(image.Average(0, 0, 640, 360), SecondsMovieColour(_wtoi64(seconds[i]) * kSecond), 40));
    }
    EXPECT_EQ(ReadFileBytes(calls), expected) << output;
    EXPECT_NE(output.find("tile 1/4\n"), std::string::npos) << output;
    EXPECT_NE(output.find("tile 4/4\n"), std::string::npos) << output;
    // The old service got WM_CLOSE and went without a request; the run's own one is closed again.
    DWORD oldCode = 1;
    EXPECT_TRUE(old.process().Wait(20000, &oldCode));
    EXPECT_EQ(oldCode, 0u);
    EXPECT_EQ(Count(ReadLogMessages(out.file(L"kestrel_dec_list.txt")), L"デコードキャンセルにより終了しました。"), 1u);
    EXPECT_EQ(FindServiceWindow(kClient), nullptr);

    // The second run's request comes here: the pipe is taken before its service starts.
    ASSERT_FALSE(ReadFileBytes(work + L"\\Thumbnail.jpg").empty());  // the first run's
    PipeTaker taker;
    ASSERT_EQ(taker.start(), S_OK);
    ASSERT_TRUE(DeleteFileW(calls.c_str()));
    EXPECT_EQ(run(out.file(L"u.jpg"), 2, output), 0u) << output;
    EXPECT_TRUE(taker.answered) << output;
    EXPECT_FALSE(FileExists(out.file(L"u_0.jpg"))) << output;
    EXPECT_FALSE(FileExists(calls));
}

}  // namespace
