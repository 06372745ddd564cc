// Snapwick.exe run as its users run it: on a real movie with the real service beside
// it, the velmar.exe stand-in recording its calls; and against a stand-in service that
// answers as told.
#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <thread>

#include "client/process_state.h"
#include "common/console.h"
#include "common/inifile.h"
#include "common/image_encoder.h"
#include "common/messages.h"
#include "common/pipe.h"
#include "testing/support/pixels.h"
#include "testing/support/test_support.h"

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

    // The client, the stand-in and (when asked) the service with its error image, side by side.
    void Install(bool withService) {
        std::vector<std::wstring> files = {L"Snapwick.exe", L"velmar.exe"};
        if (withService) files.insert(files.end(), {L"Tessaloom.exe", L"decode_err_image.JPG"});
        for (const auto& f : files)
            ASSERT_TRUE(CopyFileW((ProgramFolder() + L"\\" + f).c_str(), install.file(f).c_str(), FALSE));
    }

    // Runs the installed Snapwick.exe and returns its exit code; output: stdout and stderr.
    DWORD Run(const std::wstring& arguments, std::string& output) {
        ChildProcess snapwick;
        EXPECT_TRUE(snapwick.Start(install.file(L"Snapwick.exe"), arguments, true));
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

    ScratchFolder install{L"snapwick-install"};
    ScratchFolder out{L"snapwick out"};
    GdiplusSession gdiplus;
};

// A service already running for this client is closed first; the frames come from the
// one the run starts. A frame file that cannot be written gets no velmar call.
TEST_F(SnapwickRun, FourFramesOfARealMovieBecomeJpegsAndVelmarCallsForThoseWritten) {
    Install(true);
    ServiceProcess old(kClient, out.path());
    ASSERT_TRUE(old.Start());
    ASSERT_NE(old.WaitWindow(), nullptr);
    const std::wstring folder = out.file(L"frames & more");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\thumb_2.jpg").c_str(), nullptr));  // in the way of frame 2
    std::string output;
    EXPECT_EQ(Run(L"\"" + Movie(L"seconds_640x360_h264_aac.mp4") + L"\" -x \"" + folder + L"\\thumb.jpg\" 4 Normal", output),
              0u) << output;
    // Evenly spaced over 12 s: 1.5, 4.5, 7.5 and 10.5 s.
    const wchar_t* seconds[] = {L"1", L"4", L"7", L"10"};
    std::string calls;
    for (size_t i : {0, 1, 3}) {
        const std::wstring file = folder + L"\\thumb_" + std::to_wstring(i) + L".jpg";
        calls += VelmarCall(seconds[i], file);
        ImagePixels image;  // a JPEG of the movie's colour of that second
        ASSERT_TRUE(LoadImagePixels(file, image)) << ToUtf8(file);
        EXPECT_EQ(ReadFileBytes(file).substr(0, 2), "\xFF\xD8");
        EXPECT_TRUE(image.width == 640 && image.height == 360);
        EXPECT_TRUE(Near(image.Average(0, 0, 640, 360), SecondsMovieColour(_wtoi64(seconds[i]) * kSecond), 40));
    }
    EXPECT_EQ(VelmarCalls(), calls) << output;
    EXPECT_NE(output.find("tile 1/4\n"), std::string::npos) << output;
    EXPECT_NE(output.find("tile 4/4\n"), std::string::npos) << output;
    // The old service got WM_CLOSE and went without a request; the run's own service
    // is closed again.
    DWORD oldCode = 1;
    EXPECT_TRUE(old.process().Wait(20000, &oldCode));
    EXPECT_EQ(oldCode, 0u);
    EXPECT_EQ(Count(ReadLogMessages(out.file(L"kestrel_dec_list.txt")), L"デコードキャンセルにより終了しました。"), 1u);
    EXPECT_EQ(FindServiceWindow(kClient), nullptr);
}

// A stand-in for the service in this process, for what a real one cannot be made to
// do. Its window (class "Tessaloom", title "Snapwick") goes when closed and comes back
// at once; its first close sends an earlier run's last answer (id 1, five tiles). It
// answers the request on its pipe with three tiles after writing `strip` (if any) to
// the request's output path.
class StandInService : public PipeServer_CL {
public:
    explicit StandInService(std::string strip) : strip_(std::move(strip)) {
        pipeName = L"Tessaloom-Snapwick";
        windows_ = std::thread([this] { RunWindows(); });
    }
    ~StandInService() override {
        stop();
        PostThreadMessageW(windowThread_, WM_QUIT, 0, 0);
        windows_.join();
    }
    bool Ready() { return WaitFor([] { return FindServiceWindow(kClient) != nullptr; }) && start() == S_OK; }
    void handleMessage(const unsigned char* bytes, size_t count) override {
        ByteReader in(bytes, count);
        KRB_RequestDecodeRequest_CL request;
        int32_t type = 0;
        if (!peekMessageType(in, type) || type != DecodeRequest || request.read(in) != kReadOk || request.items.size() != 1)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requestIds_.push_back(request.items[0].request_id);
        }
        if (!strip_.empty()) WriteFileBytes(request.items[0].output_path, strip_);
        Answer(request.items[0].request_id, 3);
    }
    std::vector<int32_t> RequestIds() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requestIds_;
    }

private:
    static void Answer(int32_t id, size_t tiles) {
        KRB_ResponseDecode_CL response;
        response.request_id = id;
        response.request_count = static_cast<int32_t>(tiles);
        for (size_t i = 0; i < tiles; ++i) response.positions.push_back(static_cast<int64_t>(i + 1) * kSecond);
        const std::string payload = ToPayload(response);
        PipeClient_CL client(kClient);
        if (client.open() == PipeClient_CL::OpenResult::Opened) client.send(payload.data(), payload.size());
    }
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message != WM_CLOSE) return DefWindowProcW(hwnd, message, wParam, lParam);
        auto* self = reinterpret_cast<StandInService*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self->closes_++ == 0) Answer(1, 5);
        DestroyWindow(hwnd);
        self->MakeWindow();
        return 0;
    }
    void MakeWindow() {
        HWND hwnd = CreateWindowExW(0, L"Tessaloom", kClient, WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr,
                                    GetModuleHandleW(nullptr), nullptr);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    void RunWindows() {
        windowThread_ = GetCurrentThreadId();
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"Tessaloom";
        RegisterClassW(&wc);
        MakeWindow();
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    }

    const std::string strip_;
    std::thread windows_;
    std::atomic<DWORD> windowThread_{0};
    int closes_ = 0;
    std::mutex mutex_;
    std::vector<int32_t> requestIds_;
};

// A lossless 640-px strip (a BMP, whatever the name) of three bands, red, green and
// blue, 213 px each, and one white column at the end.
std::string ThreeBandStrip() {
    Gdiplus::Bitmap strip(640, 48, PixelFormat32bppARGB);
    Gdiplus::Graphics graphics(&strip);
    const Gdiplus::Color colours[] = {Gdiplus::Color(255, 0, 0), Gdiplus::Color(0, 255, 0), Gdiplus::Color(0, 0, 255),
                                      Gdiplus::Color(255, 255, 255)};
    for (int band = 0; band < 4; ++band) {
        Gdiplus::SolidBrush brush(colours[band]);
        graphics.FillRectangle(&brush, band * 213, 0, band < 3 ? 213 : 1, 48);
    }
    ScratchFolder scratch(L"strip");
    EXPECT_EQ(SaveImageAs(scratch.file(L"strip.bmp"), strip, L"image/bmp"), Gdiplus::Ok);
    return ReadFileBytes(scratch.file(L"strip.bmp"));
}

// Two quick runs against the stand-in. The first: an earlier run's last answer, sent
// while the run closes the service, is not taken for its own; the 640-px strip with
// three answers gives 213-px frames from columns 0, 213 and 426. The second: nothing is
// written, and the stale strip of the first run is not cut. Each run asks with an id of
// its own.
TEST_F(SnapwickRun, OnlyThisRunsAnswerAndThisRunsStripAreCut) {
    Install(false);
    const std::wstring strip = snapwick::WorkFolder() + L"\\Thumbnail.jpg";
    const std::string bands = ThreeBandStrip();
    ASSERT_FALSE(bands.empty());
    std::vector<int32_t> ids;
    for (bool writesStrip : {true, false}) {
        SCOPED_TRACE(writesStrip);
        ASSERT_TRUE(WriteFileBytes(strip, bands));  // stale: from an earlier run
        DeleteFileW(install.file(L"velmar_calls.txt").c_str());
        StandInService service(writesStrip ? bands : "");
        ASSERT_TRUE(service.Ready());
        const std::wstring output = out.file(writesStrip ? L"t.jpg" : L"u.jpg");
        std::string text;
        EXPECT_EQ(Run(L"movie.mp4 \"" + output + L"\" 3 normal", text), 0u) << text;
        ASSERT_EQ(service.RequestIds().size(), 1u) << text;
        ids.push_back(service.RequestIds()[0]);
        if (!writesStrip) {
            EXPECT_FALSE(FileExists(out.file(L"u_0.jpg")));
            EXPECT_FALSE(FileExists(install.file(L"velmar_calls.txt")));
            continue;
        }
        const unsigned bandColours[] = {0xFF0000, 0x00FF00, 0x0000FF};
        std::string calls;
        for (int i = 0; i < 3; ++i) {
            const std::wstring file = out.file(L"t_" + std::to_wstring(i) + L".jpg");
            calls += VelmarCall(std::to_wstring(i + 1), file);
            ImagePixels frame;
            ASSERT_TRUE(LoadImagePixels(file, frame)) << i;
            EXPECT_EQ(frame.width, 213);
            EXPECT_EQ(frame.height, 48);
            for (int x : {0, 212})
                EXPECT_TRUE(Near(frame.At(x, 24), FromHex(bandColours[i]), 60)) << i << " x=" << x << " " << Describe(frame.At(x, 24));
        }
        EXPECT_EQ(VelmarCalls(), calls) << text;
        EXPECT_FALSE(FileExists(out.file(L"t_3.jpg")));
    }
    EXPECT_NE(ids[0], ids[1]);
    for (int32_t id : ids) EXPECT_NE(id, 0);
}

}  // namespace
