// Snapwick's side of a run in one process: its pipe server keeps only the final
// response, and the strip is cut into one JPEG per frame.
#include <gtest/gtest.h>

#include "client/frame_files.h"
#include "client/response_pipe_server.h"
#include "client/strip_cutter.h"
#include "common/image_encoder.h"
#include "common/pipe.h"
#include "tests/support/image_file.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

void Send(const std::wstring& pipe, const std::string& payload) {
    PipeClient_CL client(pipe);
    ASSERT_EQ(client.open(), PipeClient_CL::OpenResult::Opened);
    ASSERT_TRUE(client.send(payload.data(), payload.size()));
}

KRB_ResponseDecode_CL Response(int32_t id, int32_t decodeCount) {
    KRB_ResponseDecode_CL r;
    r.request_id = id;
    r.decode_count = decodeCount;
    r.positions = {10000000, 20000000, 30000000};
    return r;
}

TEST(SnapwickPipeServer, KeepsOnlyTheFinalResponseOfItsRequest) {
    const std::wstring name = UniqueName(L"snapwick-pipe");
    UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    snapwick::MyPipeServer_CL server(name, event.get(), 1);
    ASSERT_EQ(server.start(), S_OK);

    Send(name, ToPayload(Response(1, 2)));
    Send(name, ToPayload(Response(7, 0)));  // another request's last response
    KRB_RequestDecodeRequest_CL request;     // not a response at all
    Send(name, ToPayload(request));
    Send(name, std::string("\x03\x00\x00", 3));  // truncated
    // Messages are handled in order: when the event comes, all of the above were seen.
    Send(name, ToPayload(Response(1, 0)));
    ASSERT_EQ(WaitForSingleObject(event.get(), 20000), WAIT_OBJECT_0);
    auto response = server.takeResponse();
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->request_id, 1);
    EXPECT_EQ(response->decode_count, 0);
    EXPECT_EQ(server.takeResponse(), nullptr);  // handed out once
    EXPECT_EQ(response->positions, Response(1, 0).positions);
}

class StripCutting : public ::testing::Test {
protected:
    // A strip of three 100x40 tiles in red, green and blue, plus a 2-pixel grey edge.
    void WriteStrip(const std::wstring& path) {
        Gdiplus::Bitmap strip(302, 40, PixelFormat32bppRGB);
        Gdiplus::Graphics g(&strip);
        g.Clear(Gdiplus::Color(128, 128, 128));
        const Gdiplus::Color colours[3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
        for (int i = 0; i < 3; ++i) {
            Gdiplus::SolidBrush brush(colours[i]);
            g.FillRectangle(&brush, i * 100, 0, 100, 40);
        }
        GdiObject<HBITMAP> bitmap;
        ASSERT_EQ(strip.GetHBITMAP(Gdiplus::Color(0, 0, 0), bitmap.out()), Gdiplus::Ok);
        ASSERT_TRUE(SaveBitmapAs(path, bitmap.get(), L"image/jpeg"));
    }

    GdiplusSession gdiplus;
    ScratchFolder folder{L"strip cut"};
};

TEST_F(StripCutting, EachTileBecomesAJpegOfItsOwnColour) {
    const std::wstring strip = folder.file(L"Thumbnail.jpg");
    WriteStrip(strip);
    const std::wstring output = folder.file(L"thumb.png");
    EXPECT_EQ(snapwick::CutStripIntoFrames(strip, output, 3), (std::vector<bool>{true, true, true}));
    const Rgb want[3] = {FromHex(0xFF0000), FromHex(0x00FF00), FromHex(0x0000FF)};
    for (size_t i = 0; i < 3; ++i) {
        const std::wstring file = snapwick::FrameFileName(output, i, 3);
        EXPECT_EQ(ReadFileBytes(file).substr(0, 2), "\xFF\xD8");  // JPEG, whatever the name says
        ImagePixels image;
        ASSERT_TRUE(LoadImagePixels(file, image));
        EXPECT_EQ(image.width, 100);
        EXPECT_EQ(image.height, 40);
        EXPECT_TRUE(Near(image.Average(0, 0, 100, 40), want[i], 24)) << i << Describe(image.Average(0, 0, 100, 40));
    }
}

TEST_F(StripCutting, AMissingStripWritesNothing) {
    const std::wstring output = folder.file(L"thumb.jpg");
    EXPECT_EQ(snapwick::CutStripIntoFrames(folder.file(L"none.jpg"), output, 2), (std::vector<bool>{false, false}));
    EXPECT_FALSE(FileExists(snapwick::FrameFileName(output, 0, 2)));
}

}  // namespace
